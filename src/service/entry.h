// The process entry: prepares the process-wide state (privilege, the process
// table lock, registry defaults, the manager's own services-file entry, the
// process table, the collaborative configuration file), then by the first
// argument hands the process to the service control manager, runs start-up
// and shut-down once in the console ("-debug"), installs ("-install") or
// removes ("-remove") the service.
#pragma once

#include <string>
#include <vector>

namespace telmo::service {

inline constexpr const char* kUsageText = "Usage : TelmoManager [-install [UserName Password] | -remove]\n";

/// The whole program: `args` are the command-line arguments after the program
/// name. Returns the process exit code.
int ManagerMain(const std::vector<std::string>& args);

/// The console run of "-debug": start-up then shut-down on this thread.
int ConsoleRun();

}  // namespace telmo::service
