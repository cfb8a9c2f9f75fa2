// Watchdog checks: the manager asks the DLGP of every fully running, started,
// watched server for a fresh watchdog report (the DLGP answers later with the
// named request "GetWatchDogDataReply"), and marks the cached report's items
// when the DLGP cannot be asked. TELMO_MGMT_CheckServersWatchdogs (checks.h)
// walks the table.
//
// The requests to the DLGPs are handed over on a thread of their own (one
// MessageSender, telmo_send.h), so a DLGP that hangs never holds up the
// request loop: the pass only hands the requests over. What a request's
// outcome leads to (its lines, the marks of the cached items) happens on that
// thread when the outcome is known, under the process table lock and the
// server table mutex, in that order. A DLGP is asked again only once its
// previous request has ended.
#pragma once

#include <chrono>
#include <functional>
#include <string_view>

#include "config/records.h"
#include "external/telmo_status.h"

/// Asks one server's DLGP when the server has a watchdog monitor entry with a
/// tag name; nothing otherwise. `status` holds only what failed before the
/// request was handed over; its outcome is logged when it comes.
void TELMO_MGMT_CheckServerWatchdog(ServerRecord& server, StatusBlock& status);

/// Hands "GetWatchDogData" to `service` on `node`, to be taken within
/// `timeout` (tenths of a second). When the outcome is known (on the sender's
/// thread): a failure marks the cached items of the service (status 77116,
/// state 2, or 4 when the report is older than its watchdog time-out), except
/// for a DLGP without watchdog support; then `then` runs with the outcome.
/// Nothing is sent while the service's previous request has not ended.
void TELMO_MGMT_GetWatchDogData(std::string_view service, std::string_view node, int timeout, StatusBlock& status,
                                std::function<void(const StatusBlock&)> then = {});

/// Waits until every request handed to a DLGP has ended; false when `limit`
/// passed first (tests and benchmarks; not while another thread abandons).
bool TELMO_MGMT_WaitWatchdogRequests(std::chrono::milliseconds limit);

/// Drops the requests still in flight (their outcome is never logged) and
/// ends the sender's thread. The request loop calls it when it ends; the
/// caller holds neither the process table lock nor the server table mutex.
void TELMO_MGMT_AbandonWatchdogRequests();
