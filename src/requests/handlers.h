// The request handlers the worker dispatches to. Each answers its own request
// (or, where the contract says so, sends nothing).
#pragma once

#include <functional>

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
void HandleGetServerConfiguration(RequestContext& context);  // TT 24
void HandleSetServerConfiguration(RequestContext& context);  // TT 25 and 26
void HandleRemoveServer(RequestContext& context);            // TT 27
void HandleSetLogicalDevice(RequestContext& context);        // TT 28
void HandleDeleteLogicalDevice(RequestContext& context);     // TT 32
void HandleRemoveSnfServices(RequestContext& context);       // TT 33
void HandleRemoveTcpipService(RequestContext& context);      // TT 34

/// An unknown TT: traced, logged at most once per period, never answered.
void HandleInvalidTransactionType(RequestContext& context);

/// Logs `general` under the own service name when it holds an error and clears it.
void LogAndClear(StatusBlock& general);

/// Sends `reply` with the "Timeout" parameter; a failed send is logged.
void SendReply(TelmoMessage& reply, StatusBlock& general);

/// Errors of the library's calls go back to the requester as they are:
/// logged under the own service name, loaded into the reply status, cleared.
void CarryGeneralIntoReply(RequestContext& context);

/// The end of a handler that answers: CarryGeneralIntoReply, then `build`
/// (the handler's build call, filling the reply from context.reply) and the
/// send; a failed build is logged.
void AnswerRequest(RequestContext& context, const std::function<int(TelmoMessage&)>& build);

}  // namespace telmo::requests
