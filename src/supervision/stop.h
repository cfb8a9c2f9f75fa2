// Stopping and killing server processes.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "config/process_table.h"
#include "config/records.h"
#include "config/server_table.h"
#include "external/telmo_status.h"

/// Stops a server: `desired_state` 0, then its components are stopped
/// together (StopComponents).
void TELMO_MGMT_StopServer(ServerRecord& server, StatusBlock& status);

/// Stops one component the same way.
void TELMO_MGMT_StopComponent(ComponentRecord& component, ServerRecord& server, StatusBlock& status);

/// Kills every process of the node that carries this manager's marker and
/// whose image name is the file name of a configured component's executable
/// (start-up and shut-down). Writes the kill lines to TASKKILL.LOG.
void TELMO_MGMT_TerminateProcesses(ServerTable& table, StatusBlock& status);

namespace telmo::supervision {
/// The longest a stop waits for components that were sent a shut-down
/// request to end before it kills them (milliseconds).
inline constexpr DWORD kShutdownGraceMs = 2000;
/// The wait of a stop: kShutdownGraceMs, or a quarter of the reply time-out
/// ("Timeout") when that is shorter.
[[nodiscard]] DWORD ShutdownGraceMs();
/// Stops components of one server: logs "Stopping server %s, component %s"
/// for each and sends each its shut-down request through its TCP service
/// without waiting for the answer; then waits, once and against one deadline
/// (ShutdownGraceMs), for the processes of those that were reached to end;
/// then kills what still runs. A component that cannot be reached (not
/// serving, ended already) or that ignores the request is no failure: the
/// kill covers it.
void StopComponents(ServerRecord& server, std::span<ComponentRecord* const> components);
/// The names TELMO_MGMT_TerminateProcesses kills: the file name of every
/// configured executable, once each (letter case ignored), at most 128.
[[nodiscard]] std::vector<std::string> BuildKillList(ServerTable& table);
/// %PROGRAMDATA%\ZARVELCO\TELMO\LOG\TASKKILL.LOG, expanded.
[[nodiscard]] std::string TaskKillLogPath();
}  // namespace telmo::supervision
