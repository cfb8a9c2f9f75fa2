// Watchdog checks: the manager asks the DLGP of every fully running, started,
// watched server for a fresh watchdog report (the DLGP answers later with the
// named request "GetWatchDogDataReply"), and marks the cached report's items
// when the DLGP cannot be asked. TELMO_MGMT_CheckServersWatchdogs (checks.h)
// walks the table.
#pragma once

#include <chrono>
#include <string_view>

#include "config/records.h"
#include "external/telmo_status.h"

/// Asks one server's DLGP when the server has a watchdog monitor entry with a
/// tag name; nothing otherwise. Errors in `status`.
void TELMO_MGMT_CheckServerWatchdog(ServerRecord& server, StatusBlock& status);

/// Hands "GetWatchDogData" to `service` on `node`, waiting up to `timeout`
/// (tenths of a second) for it to be taken. On failure the cached items of the
/// service are marked (status 77116, state 2, or 4 when the report is older
/// than its watchdog time-out), except for a DLGP without watchdog support.
/// The error stays in `status`.
void TELMO_MGMT_GetWatchDogData(std::string_view service, std::string_view node, int timeout, StatusBlock& status);

/// Waits until every request handed to a DLGP has ended; false when `limit`
/// passed first (tests and benchmarks).
bool TELMO_MGMT_WaitWatchdogRequests(std::chrono::milliseconds limit);
