#include "supervision/watchdog.h"

#include <string>

#include "config/globals.h"
#include "config/manager_log.h"
#include "config/manager_state.h"
#include "external/telmo_send.h"
#include "external/telmo_server.h"
#include "external/telmo_watchdog.h"
#include "supervision/checks.h"
#include "util/period_slots.h"
#include "util/text.h"

namespace {

constexpr std::size_t kCheckFailedSlot = 1;
constexpr std::size_t kSendFailedSlot = 5;
constexpr std::size_t kNotSupportedSlot = 6;  // one-shot

void Diag(const std::string& line) { telmo::DiagLine(kTraceCategory, 3002, line); }

// The line to the client log under the manager's application name, followed
// by the status block.
void ClientLogWithBlock(const std::string& line, const StatusBlock& status) {
  telmo::ClientLogUnderApplicationName(line);
  telmo::LogBlockUnderApplicationName(status);
}

const char* NameOrNA(const ServerRecord& server) { return server.name.empty() ? "N/A" : server.name.c_str(); }

// The cached items of a DLGP that could not be asked: failed, or stale when
// the report is older than its watchdog time-out.
void MarkItemsFailed(std::string_view service) {
  const int index = gWatchdogTable.Find(service);
  if (index < 0) return;
  WatchdogReport& report = gWatchdogTable.entry(index).report;
  if (report.tag_name.empty()) return;
  const auto age = static_cast<std::int64_t>(TELMO_DIFFTIME(TELMO_SERVER_GENERATE_TRANSNUM(), report.update_stamp[1]));
  const std::int32_t state = age > report.watchdog_timeout ? kWatchdogItemStale : kWatchdogItemFailed;
  for (WatchdogItem& item : report.items) {
    item.words[2] = kWatchdogRequestFailed;
    item.state = state;
  }
}

}  // namespace

BYTE TELMO_MGMT_CheckServersWatchdogs(ServerTable& table) {
  BYTE error = 0;
  StatusBlock status;
  ServerTableLock lock(table, status);
  if (!lock.owns()) {
    TELMO_MGMT_LOG("TELMO_MGMT_CheckServersWatchdogs", "Error getting mutex.  Aborted..\n");
    telmo::LogBlockUnderApplicationName(status);
    return 1;
  }
  table.ResetCursor();
  while (!gManagerExiting) {
    ServerRecord* server = table.NextServer();
    if (server == nullptr) break;
    if (server->desired_state != kDesiredStateStarted || server->run_status != 2) continue;
    TELMO_SERVER_INITBLK(status);
    TELMO_MGMT_CheckServerWatchdog(*server, status);
    if (status.failed()) error = 1;
  }
  return error;
}

void TELMO_MGMT_CheckServerWatchdog(ServerRecord& server, StatusBlock& status) {
  const int index = gWatchdogTable.Find(server.dlgp_service.view());
  if (index < 0) return;
  const std::string tag = gWatchdogTable.entry(index).report.tag_name.str();
  if (tag.empty()) return;
  const char* service = server.dlgp_service.c_str();
  const int timeout = gMgmtParameters.timeout.load();
  Diag(telmo::Format("TELMO_MGMT_CheckServerWatchdog: Request from server %s, service %s, tag %s, timeout=%d.\n",
                     NameOrNA(server), service, tag.c_str(), timeout));
  TELMO_MGMT_GetWatchDogData(server.dlgp_service.view(), telmo::LocalNode().view(), timeout, status);
  if (status.failed()) {
    const std::string line =
        telmo::Format("TELMO_MGMT_CheckServerWatchdog: requesting watchdog data update failed, server %s, service %s.\n",
                      NameOrNA(server), service);
    Diag(line);
    if (telmo::LogSlots().Allow(kCheckFailedSlot, TELMO_SERVER_GENERATE_TRANSNUM())) ClientLogWithBlock(line, status);
  } else {
    Diag(telmo::Format(
        "TELMO_MGMT_CheckServerWatchdog: Success requesting watchdog data update, server %s, service %s, tag %s.\n",
        NameOrNA(server), service, tag.c_str()));
  }
}

void TELMO_MGMT_GetWatchDogData(std::string_view service, std::string_view node, int timeout, StatusBlock& status) {
  std::uint32_t transnum = TELMO_SERVER_GENERATE_TRANSNUM();
  IdentityRecord identity;
  TELMO_USR_GetApplicationID(identity);
  TELMO_SERVER_INITBLK(status);
  if (service.empty() || service.size() > telmo::Text32::kMaxLength || node.empty() ||
      node.size() > telmo::Text32::kMaxLength) {
    return;
  }
  const std::string service_text(service);
  const std::string node_text(node);
  const auto message = telmo::watchdog::EncodeWatchdogRequest(service);
  const auto number = [&transnum] { return static_cast<unsigned long>(transnum); };
  Diag(telmo::Format(
      "TELMO_MGMT_GetWatchDogData: requesting watchdog data update, node [%s], service [%s], timeout [%d], "
      "transnum [%lu]\n",
      node_text.c_str(), service_text.c_str(), timeout, number()));
  const MessageDestination destination{telmo::Text32(node), telmo::Text32(service)};
  TELMO_SERVER_SEND_MESSAGE(identity, destination, timeout, message, transnum, 0, status);
  if (!status.failed()) {
    Diag(telmo::Format(
        "TELMO_MGMT_GetWatchDogData: success requesting watchdog data update, node [%s], service [%s], "
        "transnum [%lu]\n",
        node_text.c_str(), service_text.c_str(), number()));
  } else if (status.severity == kWatchdogNotSupported) {
    if (telmo::LogSlots().Allow(kNotSupportedSlot, TELMO_SERVER_GENERATE_TRANSNUM(), true)) {
      const std::string line = telmo::Format(
          "TELMO_MGMT_GetWatchDogData: Watchdog function not supported, node [%s], service [%s], transnum [%lu]\n",
          node_text.c_str(), service_text.c_str(), number());
      Diag(line);
      ClientLogWithBlock(line, status);
    }
  } else {
    const std::string line = telmo::Format(
        "TELMO_MGMT_GetWatchDogData: request for watchdog data update failed, node [%s], service [%s], "
        "transnum [%lu]\n",
        node_text.c_str(), service_text.c_str(), number());
    Diag(line);
    if (telmo::LogSlots().Allow(kSendFailedSlot, TELMO_SERVER_GENERATE_TRANSNUM())) ClientLogWithBlock(line, status);
    MarkItemsFailed(service);
  }
}

bool TELMO_MGMT_WaitWatchdogRequests(std::chrono::milliseconds /*limit*/) { return true; }
