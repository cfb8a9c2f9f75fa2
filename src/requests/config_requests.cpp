// GET_SERVER_CONFIGURATION (TT 24), ADD_SERVER (TT 25) and
// MODIFY_SERVER_CONFIGURATION (TT 26), REMOVE_SERVER (TT 27),
// REMOVE_SF_SERVICES (TT 33) and REMOVE_TCPIP_SERVICE (TT 34).
//
// Every handler that reaches a server record holds the server table mutex for
// as long as it uses it: the stop worker frees the table at shut-down.
#include <filesystem>
#include <optional>
#include <system_error>

#include "config/components.h"
#include "config/config_check.h"
#include "config/configuration_wire.h"
#include "config/globals.h"
#include "config/manager_log.h"
#include "config/server_file.h"
#include "external/telmo_config_requests.h"
#include "external/telmo_services.h"
#include "housekeeping/server_removal.h"
#include "housekeeping/snf_cleanup.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "requests/handlers.h"
#include "supervision/stop.h"

namespace telmo::requests {
namespace {

const char* User(const RequestContext& context) { return context.requester.user.c_str(); }
const char* Node(const RequestContext& context) { return context.requester.node.c_str(); }

// The processes of a server that is removed or replaced are stopped the way
// STOP_SERVER stops them (asked to shut down first); the removal then kills
// whatever is left.
void StopIfRunning(ServerRecord& server) {
  bool running = server.desired_state == kDesiredStateStarted;
  for (const auto& component : server.components) {
    if (running) break;
    if (!component) continue;
    const int index = gProcessTable.Find(&server, component.get());
    running = index >= 0 && gProcessTable.entry(index).process;
  }
  if (!running) return;
  StatusBlock status;
  TELMO_MGMT_StopServer(server, status);
  LogAndClear(status);
}

// Puts the file at `path` back as it was before a write that is undone.
void RestoreFile(const std::string& path, const std::optional<std::string>& previous) {
  if (previous) {
    (void)platform::WriteFileAtomically(path, *previous, 0600);
  } else {
    DeleteFileA(path);
  }
}

// True when both paths name the same directory entry (the separators or a
// doubled one may differ: a loaded record keeps the path it was loaded from).
bool SameFile(const std::optional<std::string>& a, const std::optional<std::string>& b) {
  if (!a || !b) return false;
  const std::string left = platform::NativePath(*a);
  const std::string right = platform::NativePath(*b);
  std::error_code ec;
  return left == right || std::filesystem::equivalent(left, right, ec);
}

// Writes the new configuration's file, loads it back, and only then replaces
// `current` (when there is one) by the loaded record. On any failure the table
// and the files stay as they were and the error is in the reply status.
void SaveConfiguration(RequestContext& context, ServerRecord* current, const ServerRecord& configuration) {
  const auto path = config::ServerFilePath(configuration);
  const auto old_path = current != nullptr ? config::ServerFilePath(*current) : std::nullopt;
  std::optional<std::string> previous;
  if (path) {
    if (auto bytes = platform::ReadWholeFile(*path)) previous = std::move(bytes).value();
  }
  if (!config::WriteServerFile(configuration, context.reply) || !path) return;

  // The watchdog entry is taken once the old server is gone (its removal
  // clears the entry of the same service).
  StatusBlock load_status;
  WatchdogTable validation;
  auto loaded = config::LoadServer(*path, load_status, validation);
  if (!loaded) {
    MGR_LOG("Server file %s does not load back; the server is not changed\n", path->c_str());
    TELMO_LoadCodes(load_status, context.reply);
    RestoreFile(*path, previous);
    return;
  }
  if (current != nullptr) {
    StopIfRunning(*current);
    StatusBlock removal;
    housekeeping::RemoveServer(context.requester, gServerTable, *current,
                               {.remove_services = false, .keep_server_file = SameFile(old_path, path)}, removal);
    if (removal.failed()) {
      TELMO_LoadCodes(removal, context.reply);
      RestoreFile(*path, previous);
      return;
    }
  }
  if (config::IsAsyncDlgp(*loaded)) gWatchdogTable.Register(*loaded, context.reply);
  gServerTable.Append(std::move(loaded));
}

void AnswerRemoval(RequestContext& context) {
  AnswerRequest(context, [&](TelmoMessage& reply) {
    return TELMO_MGMT_BLD_REMOVESRVREPLY(context.request, context.reply, reply, context.general);
  });
}

void Deny(RequestContext& context) { TELMO_SERVER_LDBLK(kFacilityManagement, 15045, context.reply); }

}  // namespace

void HandleGetServerConfiguration(RequestContext& context) {
  Text32 service;
  std::optional<ServerConfiguration> found;
  if (TELMO_MGMT_PARSE_GETSERVCONFREQ(context.request, service, context.general)) {
    ServerTableLock table_lock(gServerTable, context.general);
    ServerRecord* server = table_lock.owns() ? TELMO_MGMT_FindServer(service, gServerTable) : nullptr;
    if (server == nullptr) {
      TELMO_SERVER_LDBLK(kFacilityManagement, 15017, context.reply);
    } else {
      found = config::ToConfiguration(*server);
      // Account passwords are kept from other nodes, which may read but never
      // change a configuration.
      if (!RequesterIsLocal(context.requester)) found->password.clear();
    }
  }
  AnswerRequest(context, [&](TelmoMessage& reply) {
    return TELMO_MGMT_BLD_GETSERVCONFREPLY(context.request, context.reply, found ? &*found : nullptr, reply,
                                           context.general);
  });
}

void HandleSetServerConfiguration(RequestContext& context) {
  Text32 service;
  std::uint8_t add_flag = 0;
  ServerConfiguration parsed;
  int component_index = -1;
  const auto answer = [&] {
    AnswerRequest(context, [&](TelmoMessage& reply) {
      return TELMO_MGMT_BLD_SETSERVCONFREPLY(context.request, context.reply, component_index, reply,
                                             context.general);
    });
  };
  if (!TELMO_MGMT_PARSE_SETSERVCONFREQ(context.request, service, add_flag, parsed, context.general)) {
    answer();
    return;
  }
  const bool adding = add_flag != 0;
  const char* action = adding ? "Adding" : "Modifying";

  ServerTableLock table_lock(gServerTable, context.general);
  if (!table_lock.owns()) {
    MGR_LOG("%s, Error getting mutex.  Continued..\n", TELMO_MGMT_DecodeTT(context.tt));
    LogAndClear(context.general);
    TELMO_MGMT_FreeSrvCfg(parsed);
    return;  // no reply
  }
  ServerRecord* current = TELMO_MGMT_FindServer(service, gServerTable);
  if (!RequesterIsLocal(context.requester)) {
    Deny(context);
    MGR_LOG("%s DENIED for server %s on request of %s@%s\n", action, parsed.name.c_str(), User(context),
            Node(context));
    TELMO_MGMT_FreeSrvCfg(parsed);
    answer();
    return;
  }
  // The configuration's own DLGP service names its file: when that is the
  // service of another server, saving would overwrite that server's file.
  ServerRecord* holder = TELMO_MGMT_FindServer(parsed.dlgp_service, gServerTable);
  if (adding && (current != nullptr || holder != nullptr)) {
    TELMO_MGMT_FreeSrvCfg(parsed);
    answer();
    return;
  }
  if (!adding && current == nullptr) TELMO_SERVER_LDBLK(kFacilityManagement, 15017, context.reply);

  const auto configuration = config::FromConfiguration(parsed);
  TELMO_MGMT_FreeSrvCfg(parsed);
  if (!context.reply.failed()) config::CheckConfiguration(*configuration, component_index, context.reply);
  MGR_LOG("%s server %s on request of %s@%s\n", action, configuration->name.c_str(), User(context), Node(context));
  if (holder != nullptr && holder != current) {
    MGR_LOG("DLGP TCP service %s belongs to server %s. Server %s not saved\n", holder->dlgp_service.c_str(),
            holder->name.c_str(), configuration->name.c_str());
    TELMO_SERVER_LDBLK(kFacilityManagement, 15001, context.reply);
  } else if (config::CheckReadsBack(*configuration, context.reply)) {
    SaveConfiguration(context, current, *configuration);
  }
  answer();
}

void HandleRemoveServer(RequestContext& context) {
  Text32 service;
  std::uint8_t remove_services = 0;
  if (TELMO_MGMT_PARSE_REMOVESRVREQ2(context.request, service, remove_services, context.general)) {
    ServerTableLock table_lock(gServerTable, context.general);
    ServerRecord* server = table_lock.owns() ? TELMO_MGMT_FindServer(service, gServerTable) : nullptr;
    if (server == nullptr) {
      TELMO_SERVER_LDBLK(kFacilityManagement, 15017, context.reply);
    } else if (!RequesterIsLocal(context.requester)) {
      Deny(context);
      MGR_LOG("Removing DENIED for server %s on request of %s@%s\n", server->name.c_str(), User(context),
              Node(context));
    } else {
      MGR_LOG("Removing server %s on request of %s@%s\n", server->name.c_str(), User(context), Node(context));
      const bool has_queues = config::IsAsyncDlgp(*server) || config::IsOpcUaDlgp(*server);
      const Text32 kept_service = server->dlgp_service;
      StopIfRunning(*server);
      StatusBlock removal;
      TELMO_MGMT_RemoveServer(context.requester, gServerTable, *server, remove_services, removal);
      TELMO_LoadCodes(removal, context.reply);
      if (has_queues && !removal.failed()) TELMO_MGMT_RemoveQueueDirectories(kept_service.view());
    }
  }
  AnswerRemoval(context);
}

void HandleRemoveSnfServices(RequestContext& context) {
  Text32 service;
  std::uint8_t flag = 1;
  if (TELMO_MGMT_PARSE_REMOVESRVREQ2(context.request, service, flag, context.general)) {
    if (RequesterIsLocal(context.requester)) {
      MGR_LOG("Removing S&F services matching service %s on request of %s@%s\n", service.c_str(), User(context),
              Node(context));
      TELMO_MGMT_RemoveSnfServices(service.view(), context.reply);
    } else {
      Deny(context);
      MGR_LOG("Removing S&F services matching service %s DENIED on request of %s@%s\n", service.c_str(),
              User(context), Node(context));
    }
  }
  AnswerRemoval(context);
}

void HandleRemoveTcpipService(RequestContext& context) {
  Text32 service;
  std::uint8_t flag = 1;
  if (TELMO_MGMT_PARSE_REMOVESRVREQ2(context.request, service, flag, context.general)) {
    if (RequesterIsLocal(context.requester)) {
      MGR_LOG("Removing TCP/IP service %s on request of %s@%s\n", service.c_str(), User(context), Node(context));
      // An entry that is not there is removed all the same; a services file
      // that cannot be changed is a failure.
      if (!RemoveServiceEntry(service.view())) TELMO_SERVER_LDBLK(kFacilityManagement, 15001, context.reply);
    } else {
      Deny(context);
      MGR_LOG("Removing TCP/IP service %s DENIED on request of %s@%s\n", service.c_str(), User(context),
              Node(context));
    }
  }
  AnswerRemoval(context);
}

}  // namespace telmo::requests
