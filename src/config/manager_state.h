// Process-wide state of the manager that the service host, the workers and
// process supervision share. Each flag is written by one thread at a time and
// polled by the others (atomics keep that well defined).
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/win_types.h"
#include "util/fixed_text.h"

/// The manager's own service name: the dispatcher entry, the control handler,
/// the event source, the name given to TELMO_SERVER_INIT and the manager's
/// entry in the services file.
inline constexpr const char* kOwnServiceName = "TELMOManager";
/// The Windows service the manager is installed as, and its display name.
inline constexpr const char* kInstalledServiceName = "AutoStartTELMO";
inline constexpr const char* kServiceDisplayName = "Zarvel Telmo Manager";

/// Set by the service main during stop; the request loop ends when it sees it.
extern std::atomic<bool> gManagerExiting;
/// Running workers; the service main waits for it to fall to 0 at stop.
extern std::atomic<std::int8_t> gWorkerCount;
/// Set while the service is starting: a fatal error then ends the process.
extern std::atomic<bool> gManagerStarting;
/// Win32 exit code of the final stopped report (set by the service error reporter).
extern std::atomic<DWORD> gServiceExitCode;
/// Set by the "-infinite" developer hook: the next worker waits before it starts.
extern std::atomic<bool> gWorkerWait;
/// Set at the first moment of a stop (the stop or shutdown control, the stop
/// worker): from then on no server is checked, restarted or started.
extern std::atomic<bool> gManagerStopping;

namespace telmo {
/// The developer wait of "-infinite": sleeps 1000 ms at a time until one
/// release more than the waits before it has come. Each wait takes one release.
void DeveloperWait();
/// Releases the current (or next) developer wait. Safe in a signal handler.
void ReleaseDeveloperWait() noexcept;

/// The local node name that TELMO_SERVER_INIT filled (empty before).
[[nodiscard]] Text32 LocalNode();
void SetLocalNode(const Text32& node);
}  // namespace telmo
