// REFRESH_COLLABORATIVE (TT 37), COLLABORATIVE_STATUS (TT 38),
// RESUME_COLLABORATIVE (TT 39) and COLLAB_SOURCE_FWD_STATUS (TT 40).
#include "requests/collaborative.h"

#include <functional>
#include <string>

#include "config/components.h"
#include "config/globals.h"
#include "config/manager_log.h"
#include "config/manager_state.h"
#include "external/telmo_server.h"
#include "requests/handlers.h"
#include "util/text.h"

namespace telmo::requests {
namespace {

constexpr int kOrderTimeout = 300;

void LogUnderApplicationName(const std::string& text) {
  IdentityRecord id;
  TELMO_USR_GetApplicationID(id);
  StatusBlock scratch;
  TELMO_SERVER_LOGMSG(id.user.view(), text, scratch);
}

/// {local node, own service name}: the source of every order.
IdentityRecord ManagerIdentity() { return IdentityRecord{LocalNode(), Text32(kOwnServiceName)}; }

bool SameNodeName(const CollaborativeNode& a, const CollaborativeNode& b) {
  return EqualsIgnoreCase(a.node.view(), b.node.view());
}

bool Contains(const CollaborativeConfig& config, const CollaborativeNode& node) {
  for (std::int32_t i = 0; i < config.node_count && i < CollaborativeConfig::kMaxNodes; ++i) {
    if (SameNodeName(config.nodes[static_cast<std::size_t>(i)], node)) return true;
  }
  return false;
}

/// Applies `order` to the store address of every collaborative store, in
/// table order, under the server table mutex (the stop worker may free the
/// table meanwhile). A failed order is logged with `error_format` and its
/// block; the walk goes on.
void WalkStores(const char* error_format, const std::function<int(const CollabStoreAddress&, StatusBlock&)>& order) {
  StatusBlock lock_status;
  ServerTableLock table_lock(gServerTable, lock_status);
  if (!table_lock.owns()) {
    LogMutexFailure(kHandlerFunction, lock_status);
    return;
  }
  for (const auto& server : gServerTable.records()) {
    const auto service = CollaborativeStoreService(*server);
    if (!service) continue;
    CollabStoreAddress store{LocalNode(), *service};
    StatusBlock block;
    TELMO_CLIENT_INITBLK(block);
    if (!order(store, block) || block.failed()) {
      MGR_LOG(error_format, service->c_str());
      LogBlockUnderApplicationName(block);
    }
  }
}

void Answer(int built, TelmoMessage& reply, StatusBlock& general) {
  if (built) {
    TELMO_SERVER_SEND(gMgmtParameters.timeout.load(), reply, general);
  }
  if (general.failed()) {
    StatusBlock scratch;
    TELMO_SERVER_LOGBLK(kOwnServiceName, general, scratch);
    TELMO_SERVER_INITBLK(general);
  }
}

}  // namespace

void LoadCurrentCollaborative(CollaborativeConfig& current) {
  TELMO_COLLAB_LOAD(current);
  if (current.load_status == kCollabLoaded) {
    LogUnderApplicationName(Format("Telmo Collaborative - Collaborative information loaded from configuration file. "
                                   "Total Nodes in collaborative are %d, Status:%d \n",
                                   current.node_count, current.load_status));
  } else if (current.load_status == kCollabNotConfigured) {
    LogUnderApplicationName("Telmo Collaborative - Collaborative does not exists.\n");
  } else {
    LogUnderApplicationName(Format(
        "Telmo Collaborative - Collaborative information not loaded from configuration file. Status:%d \n",
        current.load_status));
  }
}

std::int32_t CollaborativeChangeType(const CollaborativeConfig& current, const CollaborativeConfig& fresh) {
  // Only 2 means loaded: a configuration that could not be read is never
  // compared, whatever its status.
  if (fresh.load_status != kCollabLoaded) return fresh.load_status;
  std::int32_t change = 3;
  for (std::int32_t i = 0; i < current.node_count && i < CollaborativeConfig::kMaxNodes; ++i) {
    if (!Contains(fresh, current.nodes[static_cast<std::size_t>(i)])) {
      change = 6;
      break;
    }
  }
  for (std::int32_t i = 0; i < fresh.node_count && i < CollaborativeConfig::kMaxNodes; ++i) {
    const auto& node = fresh.nodes[static_cast<std::size_t>(i)];
    if (Contains(current, node)) continue;
    if (!node.second.empty()) return 5;
    change = 4;
  }
  return change;
}

std::optional<Text32> CollaborativeStoreService(const ServerRecord& server) {
  if (server.run_status != 2) return std::nullopt;
  if (!config::IsAsyncDlgp(server) && !config::IsOpcUaDlgp(server)) return std::nullopt;
  if (server.snf_usage != 1 || server.component_count() < 2) return std::nullopt;
  const ComponentRecord* store = server.components[static_cast<std::size_t>(server.component_count() - 2)].get();
  if (store == nullptr || store->run_status != 1) return std::nullopt;
  return store->tcp_service;
}

void HandleRefreshCollaborative(RequestContext& context) {
  TELMO_SERVER_INITBLK(context.reply);
  TELMO_SERVER_INITBLK(context.general);
  std::int32_t is_finish = 0;
  if (!TELMO_MGMT_PARSE_REFRESH_COLLABREQ(context.request, is_finish, context.general)) {
    // Nothing that did not parse is acted on: the requester gets the parse
    // error, no store is ordered and the configuration is not reloaded.
    StatusBlock scratch;
    TELMO_SERVER_LOGBLK(kOwnServiceName, context.general, scratch);
    context.reply = context.general;
    TELMO_SERVER_INITBLK(context.general);
    TelmoMessage reply;
    Answer(TELMO_MGMT_BLD_REFRESH_COLLABREPLY(context.request, context.reply, reply, context.general), reply,
           context.general);
    return;
  }
  MGR_LOG("Telmo Collaborative - TELMO_TT_REFRESH_COLLABORATIVE message received. isFinish:%d \n", is_finish);
  const IdentityRecord manager = ManagerIdentity();
  WalkStores("Telmo Collaborative -  Error returned while sending refresh collaborative message to [%s].\n",
             [&](const CollabStoreAddress& store, StatusBlock& block) {
               return TELMO_MGMT_REFRESH_COLLABORATIVE(manager, store, kOrderTimeout, 0, block);
             });
  TelmoMessage reply;
  Answer(TELMO_MGMT_BLD_REFRESH_COLLABREPLY(context.request, context.reply, reply, context.general), reply,
         context.general);
  if (is_finish == 1 && context.collaborative != nullptr) LoadCurrentCollaborative(*context.collaborative);
}

void HandleResumeCollaborative(RequestContext& context) {
  TELMO_SERVER_INITBLK(context.reply);
  TELMO_SERVER_INITBLK(context.general);
  MGR_LOG("Telmo Collaborative - TELMO_TT_RESUME_COLLABORATIVE message received.\n");
  const IdentityRecord manager = ManagerIdentity();
  const int timeout = gMgmtParameters.check_period.load();
  WalkStores("Telmo Collaborative - Error returned while sending resume collaborative message to [%s].\n",
             [&](const CollabStoreAddress& store, StatusBlock& block) {
               return TELMO_MGMT_RESUME_COLLABORATIVE(manager, store, timeout, block);
             });
  TelmoMessage reply;
  Answer(TELMO_MGMT_BLD_RESUME_COLLABREPLY(context.request, context.reply, reply, context.general), reply,
         context.general);
  if (context.collaborative != nullptr) LoadCurrentCollaborative(*context.collaborative);
}

void HandleCollaborativeChangeType(RequestContext& context) {
  TELMO_SERVER_INITBLK(context.reply);
  TELMO_SERVER_INITBLK(context.general);
  MGR_LOG("Telmo Collaborative - TELMO_TT_GET_COLLAB_CHANGE_TYPE message received.\n");
  CollaborativeConfig fresh;
  TELMO_COLLAB_LOAD(fresh);
  if (fresh.load_status != kCollabLoaded) {
    LogUnderApplicationName(
        Format("Telmo Collaborative - Collaborative information not loaded. Status: %d \n", fresh.load_status));
  }
  static const CollaborativeConfig kNone;
  const std::int32_t change =
      CollaborativeChangeType(context.collaborative != nullptr ? *context.collaborative : kNone, fresh);
  TelmoMessage reply;
  Answer(TELMO_MGMT_BLD_COLLAB_CHANGETYPE_REPLY(context.request, context.reply, change, reply, context.general), reply,
         context.general);
}

void HandleCollaborativeForwardStatus(RequestContext& context) {
  TELMO_SERVER_INITBLK(context.reply);
  TELMO_SERVER_INITBLK(context.general);
  MGR_LOG("Telmo Collaborative - TELMO_TT_GET_COLLAB_SOURCE_FWD_STATUS message received.\n");
  const IdentityRecord manager = ManagerIdentity();
  std::int32_t summary = 0;
  WalkStores("Telmo Collaborative - Error returned while getting the forward status of [%s].\n",
             [&](const CollabStoreAddress& store, StatusBlock& block) {
               std::int32_t status = 0;
               const int ok = TELMO_MGMT_GET_COLLAB_SRC_FWD_STS(manager, store, kOrderTimeout, status, block);
               if (summary == 0) summary = status;
               return ok;
             });
  MGR_LOG("Telmo Collaborative - collaborative forward status summary: %d\n", summary);
  TelmoMessage reply;
  Answer(TELMO_MGMT_GET_COLLAB_SRC_FWD_STS_REPLY(context.request, context.reply, summary, reply, context.general),
         reply, context.general);
}

}  // namespace telmo::requests
