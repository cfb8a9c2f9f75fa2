// The periodic checks the request loop runs on idle passes.
#pragma once

#include "config/server_table.h"
#include "external/telmo_status.h"

/// Walks the server table: restarts the dead components of started servers
/// whose health check is on, kills what is left of stopped servers. Returns 1
/// when an error was counted.
BYTE TELMO_MGMT_CheckServers(ServerTable& table);

/// Restarts the dead components of one started server (nothing when its
/// health check is off). Errors in `status`.
void TELMO_MGMT_RestartServer(ServerRecord& server, StatusBlock& status);

/// Asks the watched servers' DLGPs for a watchdog report. Returns 1 when an
/// error was counted.
BYTE TELMO_MGMT_CheckServersWatchdogs(ServerTable& table);
