// What "-install" and "-remove" do: register the manager with the service
// control manager and register its event source, or stop the service, delete
// it and remove the event source. Both report on standard output; a failed
// Windows call ends the process with exit code 1 after the console error report.
#pragma once

#include <optional>
#include <string>

namespace telmo::service {

/// Installs "AutoStartTELMO" (an existing service is not changed, its account
/// neither) and registers the event source. No account: the local system account.
void InstallService(const std::optional<std::string>& account, const std::optional<std::string>& password);

/// Registers the event source "TELMOManager" (message file: this program).
void RegisterEventSource();

/// Stops the service if it runs, deletes it, removes the event source.
void RemoveService();

}  // namespace telmo::service
