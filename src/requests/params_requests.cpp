// GET_MGMT_PARAMS (TT 29) and SET_MGMT_PARAMS (TT 30).
#include "config/globals.h"
#include "config/manager_log.h"
#include "external/telmo_mgmt.h"
#include "requests/handlers.h"

namespace telmo::requests {

void HandleGetMgmtParams(RequestContext& context) {
  TelmoMessage reply;
  if (TELMO_MGMT_BLD_GETMGMTCONFREPLY(context.request, gMgmtParameters.timeout.load(),
                                      gMgmtParameters.check_period.load(), reply, context.general)) {
    SendReply(reply, context.general);
  } else {
    LogAndClear(context.general);
  }
}

void HandleSetMgmtParams(RequestContext& context) {
  const char* user = context.requester.user.c_str();
  const char* node = context.requester.node.c_str();
  if (!RequesterIsLocal(context.requester)) {
    TELMO_SERVER_LDBLK(kFacilityManagement, 15045, context.reply);
    MGR_LOG("Setting manager parameters, timeout = %d, check period = %d DENIED on request of %s@%s\n",
            gMgmtParameters.timeout.load(), gMgmtParameters.check_period.load(), user, node);
    return;
  }
  // Parsed aside: a request that does not parse changes neither the values
  // nor the file. Values that parse are taken as they are.
  std::int32_t timeout = 0;
  std::int32_t check_period = 0;
  if (TELMO_MGMT_PARSE_SETMGMTCONFREQ(context.request, timeout, check_period, context.general)) {
    gMgmtParameters.timeout = timeout;
    gMgmtParameters.check_period = check_period;
    config::WriteParameters(gMgmtParameters, context.general);
    MGR_LOG("Setting manager parameters, timeout = %d, check period = %d on request of %s@%s\n", timeout,
            check_period, user, node);
  }
  LogAndClear(context.general);
}

}  // namespace telmo::requests
