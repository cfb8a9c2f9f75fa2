#include "housekeeping/server_removal.h"

#include <algorithm>

#include "config/globals.h"
#include "config/manager_log.h"
#include "config/server_file.h"
#include "external/telmo_config.h"
#include "external/telmo_log.h"
#include "external/telmo_services.h"
#include "housekeeping/snf_cleanup.h"
#include "platform/files.h"
#include "platform/win_error.h"
#include "util/text.h"

namespace telmo::housekeeping {
namespace {

constexpr const char* kFunction = "TELMO_MGMT_RemoveServer";
/// The controller DLGP's service: its entry is never removed.
constexpr std::string_view kControllerService = "TELMOVXPL";

bool SameService(std::string_view a, std::string_view b) { return a.size() == b.size() && EqualsIgnoreCase(a, b); }

// The port the entry held (0 when there was none, or when it could not be
// removed: the services file logs that itself).
int RemoveEntry(std::string_view service) {
  if (service.empty() || SameService(service, kControllerService)) return 0;
  const auto removed = RemoveServiceEntry(service);
  return removed ? *removed : 0;
}

void RemoveServiceEntries(const ServerRecord& server) {
  const std::string_view dlgp = server.dlgp_service.view();
  const std::string_view hist = server.hist_service.view();
  bool dlgp_done = false;
  bool hist_done = hist.empty();
  const int n = server.component_count();
  for (int i = 0; i < n; ++i) {
    const ComponentRecord* component = server.components[static_cast<std::size_t>(i)].get();
    if (component == nullptr || component->tcp_service.empty()) continue;
    const std::string_view service = component->tcp_service.view();
    if (SameService(service, dlgp) && SameService(dlgp, kControllerService)) {
      TELMO_MGMT_UTILS_LOG(kFunction, "[%d:%d] Skipping Removal of service: %s\n", i, n, component->tcp_service.c_str());
    } else {
      TELMO_MGMT_UTILS_LOG(kFunction, "[%d:%d] Removing service: %s\n", i, n, component->tcp_service.c_str());
      const int port = RemoveEntry(service);
      TELMO_MGMT_UTILS_LOG(kFunction, "Removed process service %s  %d/tcp\n", component->tcp_service.c_str(), port);
    }
    if (SameService(service, dlgp)) dlgp_done = true;
    if (SameService(service, hist)) hist_done = true;
  }
  if (!dlgp_done && !SameService(dlgp, kControllerService)) {
    const int port = RemoveEntry(dlgp);
    TELMO_MGMT_UTILS_LOG(kFunction, "Removed DLGP service %s  %d/tcp\n", server.dlgp_service.c_str(), port);
  }
  if (!hist_done) {
    const int port = RemoveEntry(hist);
    TELMO_MGMT_UTILS_LOG(kFunction, "Removed Historical DLGP service %s  %d/tcp\n", server.hist_service.c_str(),
                         port);
  }
  Text32 scanner;
  Text32 store;
  Text32 forward;
  TELMO_MGMT_GetStoFwdServ(dlgp, scanner, store, forward);
  for (const Text32* service : {&scanner, &store, &forward}) RemoveEntry(service->view());
}

}  // namespace

void RemoveServer(const IdentityRecord& requester, ServerTable& table, ServerRecord& server,
                  const RemovalOptions& options, StatusBlock& status) {
  ServerTableLock lock(table, status);
  if (!lock.owns()) {
    TELMO_MGMT_UTILS_LOG(kFunction, "Error getting mutex.  Aborted..\n");
    LogBlockUnderApplicationName(status);
    return;
  }
  // This very record (compared by address, never read unless it is listed).
  const auto& records = table.records();
  if (std::none_of(records.begin(), records.end(), [&](const auto& r) { return r.get() == &server; })) return;

  // The file goes first: a server whose file stays would come back at the
  // next start, so when it cannot be deleted nothing else is removed either.
  if (!options.keep_server_file) {
    if (const auto path = config::ServerFilePath(server); path && !DeleteFileA(*path)) {
      const DWORD error = GetLastError();
      if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
        TELMO_MGMT_UTILS_LOG(kFunction, "Failed to delete file *%s* with error=%d\n", path->c_str(),
                             static_cast<int>(error));
        TELMO_SERVER_LDBLK(kFacilityManagement, 15001, status);
        return;
      }
    }
  }

  gWatchdogTable.Clear(server);
  TELMO_MGMT_DeleteScannerKey(server.dlgp_service.view(), requester.node.view());
  if (options.remove_services) RemoveServiceEntries(server);

  const Text32 service = server.dlgp_service;
  config::FreeServerRecord(gProcessTable, table.Unlink(server));
  TELMO_MGMT_RemoveSnfData(service.view());
}

}  // namespace telmo::housekeeping

void TELMO_MGMT_RemoveServer(const IdentityRecord& requester, ServerTable& table, ServerRecord& server,
                             int remove_services, StatusBlock& status) {
  telmo::housekeeping::RemoveServer(requester, table, server, {.remove_services = remove_services == 1}, status);
}

void TELMO_MGMT_RemoveSnfServices(std::string_view dlgp_service, StatusBlock& status) {
  telmo::Text32 scanner;
  telmo::Text32 store;
  telmo::Text32 forward;
  TELMO_MGMT_GetStoFwdServ(dlgp_service, scanner, store, forward);
  bool failed = false;
  for (const telmo::Text32* service : {&scanner, &store, &forward}) {
    if (!telmo::RemoveServiceEntry(service->view())) failed = true;
  }
  if (failed) TELMO_SERVER_LDBLK(kFacilityManagement, 15001, status);
}
