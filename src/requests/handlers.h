// The request handlers the worker dispatches to. Each answers its own request
// (or, where the contract says so, sends nothing).
#pragma once

#include "requests/worker.h"

namespace telmo::requests {

void HandleStartServer(RequestContext& context);         // TT 20
void HandleStopServer(RequestContext& context);          // TT 21
void HandleServerStatus(RequestContext& context);        // TT 22 and 36
void HandleNotifyServerStatus(RequestContext& context);  // TT 35
void HandleGetMgmtParams(RequestContext& context);  // TT 29
void HandleSetMgmtParams(RequestContext& context);  // TT 30
void HandleRefreshCollaborative(RequestContext& context);        // TT 37
void HandleCollaborativeChangeType(RequestContext& context);     // TT 38
void HandleResumeCollaborative(RequestContext& context);         // TT 39
void HandleCollaborativeForwardStatus(RequestContext& context);  // TT 40

/// An unknown TT: traced, logged at most once per period, never answered.
void HandleInvalidTransactionType(RequestContext& context);

/// Logs `general` under the own service name when it holds an error and clears it.
void LogAndClear(StatusBlock& general);

/// Sends `reply` with the "Timeout" parameter; a failed send is logged.
void SendReply(TelmoMessage& reply, StatusBlock& general);

}  // namespace telmo::requests
