// SET_LOGICAL_DEVICE (TT 28) and DEL_LOGICAL_DEVICE (TT 32).
#include "config/manager_log.h"
#include "external/telmo_config_requests.h"
#include "external/telmo_devices.h"
#include "requests/handlers.h"

namespace telmo::requests {

// Anyone may set a device: the request has no rights check.
void HandleSetLogicalDevice(RequestContext& context) {
  LogicalDevice device;
  if (TELMO_MGMT_PARSE_SETLOGDEVREQ(context.request, device, context.general)) {
    // The view's own failure (no such device) only chooses between adding
    // and changing: it never reaches the reply.
    Text32 value1;
    Text32 value2;
    Text32 value3;
    StatusBlock view;
    const std::string_view name = device.name.view();
    const auto& v = device.values;
    if (TELMO_CLIENT_VIEW_DEVICE(name, value1, value2, value3, view)) {
      TELMO_CLIENT_MODIF_DEVICE(name, v[0].view(), v[1].view(), v[2].view(), context.general);
    } else {
      TELMO_CLIENT_ADD_DEVICE(name, v[0].view(), v[1].view(), v[2].view(), context.general);
    }
  }
  if (context.general.failed()) TELMO_SERVER_LDBLK(kFacilityManagement, 15018, context.reply);
  AnswerRequest(context, [&](TelmoMessage& reply) {
    return TELMO_MGMT_BLD_SETLOGDEVREPLY(context.request, context.reply, reply, context.general);
  });
}

void HandleDeleteLogicalDevice(RequestContext& context) {
  Text32 name;
  if (TELMO_MGMT_PARSE_DELLOGDEVREQ(context.request, name, context.general)) {
    const char* user = context.requester.user.c_str();
    const char* node = context.requester.node.c_str();
    if (RequesterIsLocal(context.requester)) {
      TELMO_CLIENT_DELETE_DEVICE(name.view(), context.general);
      MGR_LOG("Deleting device %s on request of %s@%s\n", name.c_str(), user, node);
    } else {
      TELMO_SERVER_LDBLK(kFacilityManagement, 15045, context.reply);
      MGR_LOG("Deleting device %s DENIED on request of %s@%s\n", name.c_str(), user, node);
    }
  }
  AnswerRequest(context, [&](TelmoMessage& reply) {
    return TELMO_MGMT_BLD_DELLOGDEVREPLY(context.request, context.reply, reply, context.general);
  });
}

}  // namespace telmo::requests
