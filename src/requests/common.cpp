#include "config/globals.h"
#include "config/manager_log.h"
#include "config/manager_state.h"
#include "external/telmo_server.h"
#include "requests/handlers.h"
#include "util/period_slots.h"

namespace telmo::requests {

void LogAndClear(StatusBlock& general) {
  if (!general.failed()) return;
  StatusBlock scratch;
  TELMO_SERVER_LOGBLK(kOwnServiceName, general, scratch);
  TELMO_SERVER_INITBLK(general);
}

void SendReply(TelmoMessage& reply, StatusBlock& general) {
  TELMO_SERVER_SEND(gMgmtParameters.timeout.load(), reply, general);
  if (general.failed()) {
    StatusBlock scratch;
    TELMO_SERVER_LOGBLK(kOwnServiceName, general, scratch);
  }
}

void CarryGeneralIntoReply(RequestContext& context) {
  if (!context.general.failed()) return;
  TELMO_LoadCodes(context.general, context.reply);
  LogAndClear(context.general);
}

void AnswerRequest(RequestContext& context, const std::function<int(TelmoMessage&)>& build) {
  CarryGeneralIntoReply(context);
  TelmoMessage reply;
  if (build(reply)) {
    SendReply(reply, context.general);
  } else {
    LogAndClear(context.general);
  }
}

void HandleInvalidTransactionType(RequestContext& context) {
  const char* node = context.requester.node.c_str();
  MGR_TRACE("Invalid transaction type %d received from node %s", context.tt, node);
  constexpr std::size_t kInvalidTypeSlot = 4;
  if (LogSlots().Allow(kInvalidTypeSlot, TELMO_SERVER_GENERATE_TRANSNUM())) {
    MGR_LOG("** Invalid transaction type received, TT = %d from node %s\n", context.tt, node);
  }
}

}  // namespace telmo::requests
