// START_SERVER (TT 20), STOP_SERVER (TT 21), GET_SERVER_STATUS (TT 22),
// GET_SERVER_STATUS_V1 (TT 36) and NOTIFY_SERVER_STATUS (TT 35).
#include "config/globals.h"
#include "config/manager_log.h"
#include "config/manager_state.h"
#include "external/telmo_mgmt.h"
#include "requests/handlers.h"
#include "supervision/launch.h"
#include "supervision/liveness.h"
#include "supervision/stop.h"
#include "util/text.h"

namespace telmo::requests {
namespace {

enum class Control { kStart, kStop };

void StartOrStop(RequestContext& context, Control control) {
  const bool start = control == Control::kStart;
  Text32 service;
  const int parsed = start ? TELMO_MGMT_PARSE_STARTDEVREQ(context.request, service, context.general)
                           : TELMO_MGMT_PARSE_STOPDEVREQ(context.request, service, context.general);
  if (parsed) {
    // The record is used under the table mutex: the stop worker may free the
    // table while a request is being served.
    ServerTableLock table_lock(gServerTable, context.general);
    ServerRecord* server = table_lock.owns() ? TELMO_MGMT_FindServer(service, gServerTable) : nullptr;
    if (!server) {
      TELMO_SERVER_LDBLK(kFacilityManagement, 15017, context.reply);
    } else if (start && RequesterIsLocal(context.requester) && gManagerStopping) {
      // A server started now would outlive the stop that has begun.
      TELMO_SERVER_LDBLK(kFacilityManagement, 15018, context.reply);
      TELMO_SERVER_LDBLK(kFacilityManagement, supervision::kStatusManagerStopping, context.reply);
      MGR_LOG("Starting REFUSED for server %s on request of %s@%s: the manager is stopping\n", server->name.c_str(),
              context.requester.user.c_str(), context.requester.node.c_str());
    } else if (RequesterIsLocal(context.requester)) {
      MGR_LOG(start ? "Starting server %s on request of %s@%s\n" : "Stopping server %s on request of %s@%s\n",
              server->name.c_str(), context.requester.user.c_str(), context.requester.node.c_str());
      if (start) {
        TELMO_MGMT_StartServer(*server, context.general);
      } else {
        TELMO_MGMT_StopServer(*server, context.general);
      }
    } else {
      TELMO_SERVER_LDBLK(kFacilityManagement, 15045, context.reply);
      MGR_LOG(start ? "Starting DENIED for server %s on request of %s@%s\n"
                    : "Stopping DENIED for server %s on request of %s@%s\n",
              server->name.c_str(), context.requester.user.c_str(), context.requester.node.c_str());
    }
  }
  if (context.general.failed()) {
    LogAndClear(context.general);
    TELMO_SERVER_LDBLK(kFacilityManagement, start ? 15018 : 15019, context.reply);
  }
  TelmoMessage reply;
  const int built = start ? TELMO_MGMT_BLD_STARTDEVREPLY(context.request, context.reply, reply, context.general)
                          : TELMO_MGMT_BLD_STOPDEVREPLY(context.request, context.reply, reply, context.general);
  if (built) {
    SendReply(reply, context.general);
  } else {
    LogAndClear(context.general);
  }
}

ServerStatusRecord FillStatusRecord(ServerRecord& server, StatusBlock& reply_status) {
  ServerStatusRecord record;
  record.server_name = server.name;
  record.run_status = server.run_status;
  try {
    server.component_cursor = -1;
    while (ComponentRecord* component = config::NextComponent(server)) {
      record.components.push_back({component->name, component->run_status, component->conn_status});
    }
  } catch (const std::bad_alloc&) {
    record.components.clear();
    TELMO_SERVER_LDBLK(kFacilityManagement, 15022, reply_status);
  }
  return record;
}

}  // namespace

void HandleStartServer(RequestContext& context) { StartOrStop(context, Control::kStart); }
void HandleStopServer(RequestContext& context) { StartOrStop(context, Control::kStop); }

void HandleServerStatus(RequestContext& context) {
  TELMO_SERVER_INITBLK(context.reply);
  ServerStatusRecord record;
  Text32 service;
  const bool parsed = TELMO_MGMT_PARSE_GETDEVSTATREQ(context.request, service, context.general) != 0;
  if (!parsed) {
    // An empty record under a clear status would read as "exists and is
    // stopped": a request that names no server gets "no status given".
    TELMO_SERVER_LDBLK(kFacilityManagement, 15022, context.reply);
  } else {
    ServerTableLock table_lock(gServerTable, context.general);
    ServerRecord* server = table_lock.owns() ? TELMO_MGMT_FindServer(service, gServerTable) : nullptr;
    if (!server) {
      TELMO_SERVER_LDBLK(kFacilityManagement, 15017, context.reply);
    } else {
      const bool diag = DiagnosticsWanted();
      const std::uint32_t begin = diag ? TELMO_SERVER_GENERATE_TRANSNUM() : 0;
      TELMO_MGMT_GetServerRunStatus(gProcessTable, *server);
      if (diag) {
        DiagLine(kPerformanceCategory, 3005,
                 Format(">>>_Performance: TELMO_TT_GET_SERVER_STATUS: TT=[%d] Server=[%s,%s] Elapsed time [%d]\n",
                        context.tt, context.requester.node.c_str(), server->dlgp_service.c_str(),
                        static_cast<int>(TELMO_DIFFTIME(TELMO_SERVER_GENERATE_TRANSNUM(), begin))));
      }
      if (!context.general.failed() && !context.reply.failed()) {
        record = FillStatusRecord(*server, context.reply);
      }
    }
  }
  if (context.general.failed()) {
    LogAndClear(context.general);
  } else if (context.reply.failed() && !context.reply.holds(kFacilityManagement, 15022)) {
    TELMO_SERVER_LDBLK(kFacilityManagement, 15022, context.reply);
  }
  TelmoMessage reply;
  const int built =
      context.tt == TELMO_TT_GET_SERVER_STATUS_V1
          ? TELMO_MGMT_BLD_GETDEVSTATREPLY_V1(context.request, context.reply, record, reply, context.general)
          : TELMO_MGMT_BLD_GETDEVSTATREPLY(context.request, context.reply, record, reply, context.general);
  if (built) {
    SendReply(reply, context.general);
  } else {
    LogAndClear(context.general);
  }
}

void HandleNotifyServerStatus(RequestContext& context) {
  ServerStatusNotice notice;
  // A notice that does not parse names no server: nothing is read from it.
  if (!TELMO_MGMT_PARSE_UADEVICE_STATUS(context.request, notice, context.general)) {
    LogAndClear(context.general);
    return;
  }
  MGR_LOG("[%s][%s] TELMO_TT_NOTIFY_SERVER_STATUS message received. CONNSTATUS:%d \n", notice.service.c_str(),
          notice.component_service.c_str(), notice.conn_status);
  // Under the table mutex: the stop worker may free the table meanwhile.
  StatusBlock lock_status;
  ServerTableLock table_lock(gServerTable, lock_status);
  if (!table_lock.owns()) {
    LogMutexFailure(kHandlerFunction, lock_status);
    return;
  }
  for (const auto& server : gServerTable.records()) {
    if (server->dlgp_service.view() != notice.service.view()) continue;
    server->component_cursor = -1;
    while (ComponentRecord* component = config::NextComponent(*server)) {
      if (component->tcp_service.view() != notice.component_service.view()) continue;
      component->conn_status = notice.conn_status;
      MGR_LOG("[TELMO_TT_NOTIFY_SERVER_STATUS] UPDATED SERVICE:%s, COMPONENT:%s CONNSTATUS:%d, Server:%d, "
              "Component:%d\n",
              server->dlgp_service.c_str(), component->tcp_service.c_str(), component->conn_status,
              static_cast<int>(reinterpret_cast<std::uintptr_t>(server.get()) & 0x7fffffff),
              static_cast<int>(reinterpret_cast<std::uintptr_t>(component) & 0x7fffffff));
      break;
    }
    break;
  }
}

}  // namespace telmo::requests
