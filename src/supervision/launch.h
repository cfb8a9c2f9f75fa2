// Starting servers: log on as the server's account, start each component in
// order as a process of its own, record each process in the process table.
// Also the command scripts of start-up and shut-down, and the adoption of
// the controller DLGP, which a Windows service starts rather than the manager.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "config/process_table.h"
#include "config/records.h"
#include "external/telmo_process.h"
#include "external/telmo_status.h"

/// Starts every component of the server in order, stopping at the first that
/// fails; sets `desired_state` to 2 first (so a failed start is retried by
/// the periodic check).
void TELMO_MGMT_StartServer(ServerRecord& server, StatusBlock& status);

/// Starts one component unless its process still runs or it has no executable.
void TELMO_MGMT_StartComponent(ComponentRecord& component, ServerRecord& server, LogonToken& logon,
                               StatusBlock& status);

/// Logs on as the server's account. True when it has none or the logon
/// succeeded; false (with (121, error) and (15, 15014)) when it failed.
bool TELMO_MGMT_LogonServerUser(const ServerRecord& server, LogonToken& logon, StatusBlock& status);

/// Records a started process for (server, component); returns the entry's index.
int TELMO_MGMT_RecordProcess(ProcessTable& table, ServerRecord& server, ComponentRecord& component,
                             ProcessHandle& process);

/// Runs a command script (path with %NAME% references) through the command
/// interpreter, without waiting for it.
void TELMO_MGMT_RunScript(std::string_view script, StatusBlock& status);

/// The first process whose image name contains `text` (letter case counts):
/// its id, and a handle to it in `process`; 0 and an empty handle when none.
DWORD TELMO_MGMT_FindProcessByName(std::string_view text, ProcessHandle& process);

namespace telmo::supervision {

/// "runas" when the system's shell is newer than version 6.0, else "open".
[[nodiscard]] std::string LaunchVerb();

/// (15, 15046): what a start refused because the manager is stopping loads,
/// after the request's own failure code.
inline constexpr std::int32_t kStatusManagerStopping = 15046;

/// The process id of a handle for log lines: -1 for the empty handle.
[[nodiscard]] int LoggedProcessId(const ProcessHandle& process);

}  // namespace telmo::supervision
