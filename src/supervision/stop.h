// Stopping and killing server processes.
#pragma once

#include <string>
#include <vector>

#include "config/process_table.h"
#include "config/records.h"
#include "config/server_table.h"
#include "external/telmo_status.h"

/// Stops a server: `desired_state` 0, then each component is asked to shut
/// down and killed if it still runs.
void TELMO_MGMT_StopServer(ServerRecord& server, StatusBlock& status);

/// Asks one component to shut down through its TCP service, then kills what
/// still runs. A component that acknowledged the request is first given up to
/// kShutdownGraceMs to end. A component that has already ended (nothing
/// answers on its service) or that ignores the request is no failure: the
/// kill covers it.
void TELMO_MGMT_StopComponent(ComponentRecord& component, ServerRecord& server, StatusBlock& status);

/// Kills every process of the node that carries this manager's marker and
/// whose image name is the file name of a configured component's executable
/// (start-up and shut-down). Writes the kill lines to TASKKILL.LOG.
void TELMO_MGMT_TerminateProcesses(ServerTable& table, StatusBlock& status);

namespace telmo::supervision {
/// How long a component that acknowledged a shut-down request is given to end
/// before it is killed (milliseconds).
inline constexpr DWORD kShutdownGraceMs = 2000;
/// The names TELMO_MGMT_TerminateProcesses kills: the file name of every
/// configured executable, once each (letter case ignored), at most 128.
[[nodiscard]] std::vector<std::string> BuildKillList(ServerTable& table);
/// %PROGRAMDATA%\ZARVELCO\TELMO\LOG\TASKKILL.LOG, expanded.
[[nodiscard]] std::string TaskKillLogPath();
}  // namespace telmo::supervision
