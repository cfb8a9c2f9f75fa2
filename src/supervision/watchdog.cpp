#include "supervision/watchdog.h"

#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "config/globals.h"
#include "config/manager_log.h"
#include "config/manager_state.h"
#include "external/telmo_send.h"
#include "external/telmo_server.h"
#include "external/telmo_watchdog.h"
#include "platform/sync.h"
#include "supervision/checks.h"
#include "util/period_slots.h"
#include "util/text.h"

namespace {

constexpr std::size_t kCheckFailedSlot = 1;
constexpr std::size_t kSendFailedSlot = 5;
constexpr std::size_t kNotSupportedSlot = 6;  // one-shot

void Diag(const std::string& line) { telmo::DiagLine(kTraceCategory, 3002, line); }
// A diagnostic line formatted only when diagnostics are wanted.
template <typename... Values>
void DiagFormat(const char* format, Values... values) {
  if (telmo::DiagnosticsWanted()) Diag(telmo::Format(format, values...));
}

// The line to the client log under the manager's application name, followed
// by the status block.
void ClientLogWithBlock(const std::string& line, const StatusBlock& status) {
  telmo::ClientLogUnderApplicationName(line);
  telmo::LogBlockUnderApplicationName(status);
}

// The sends to DLGPs run on the sender's thread, so that a DLGP that does not
// answer never holds up the request loop. A service is asked again only
// once its previous request has ended.
struct Sends {
  std::mutex mutex;
  std::unique_ptr<telmo::MessageSender> sender;
  std::set<std::string> in_flight;  // services in upper case
};
Sends& TheSends() {
  static Sends sends;
  return sends;
}

// The cached items of a DLGP that could not be asked: failed, or stale when
// the report is older than its watchdog time-out. Runs on the sender's
// thread: the cache is reached under the locks the named requests and the
// checks take, in their order.
void MarkItemsFailed(const std::string& service) {
  telmo::platform::CriticalSectionLock process_lock(gProcessTable.lock);
  StatusBlock lock_status;
  ServerTableLock table_lock(gServerTable, lock_status);
  if (!table_lock.owns()) return;
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

// What the request's outcome leads to (steps after the send).
void GetWatchDogDataOutcome(const std::string& service, const std::string& node, std::uint32_t transnum,
                            const StatusBlock& status) {
  const auto number = static_cast<unsigned long>(transnum);
  if (!status.failed()) {
    DiagFormat(
        "TELMO_MGMT_GetWatchDogData: success requesting watchdog data update, node [%s], service [%s], "
        "transnum [%lu]\n",
        node.c_str(), service.c_str(), number);
  } else if (status.severity == kWatchdogNotSupported) {
    if (telmo::LogSlots().Allow(kNotSupportedSlot, TELMO_SERVER_GENERATE_TRANSNUM(), true)) {
      const std::string line = telmo::Format(
          "TELMO_MGMT_GetWatchDogData: Watchdog function not supported, node [%s], service [%s], transnum [%lu]\n",
          node.c_str(), service.c_str(), number);
      Diag(line);
      ClientLogWithBlock(line, status);
    }
  } else {
    const std::string line = telmo::Format(
        "TELMO_MGMT_GetWatchDogData: request for watchdog data update failed, node [%s], service [%s], "
        "transnum [%lu]\n",
        node.c_str(), service.c_str(), number);
    Diag(line);
    if (telmo::LogSlots().Allow(kSendFailedSlot, TELMO_SERVER_GENERATE_TRANSNUM())) ClientLogWithBlock(line, status);
    MarkItemsFailed(service);
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
  const std::string name = server.name.empty() ? "N/A" : server.name;
  const std::string service = server.dlgp_service.str();
  const int timeout = gMgmtParameters.timeout.load();
  DiagFormat("TELMO_MGMT_CheckServerWatchdog: Request from server %s, service %s, tag %s, timeout=%d.\n",
             name.c_str(), service.c_str(), tag.c_str(), timeout);
  TELMO_MGMT_GetWatchDogData(server.dlgp_service.view(), telmo::LocalNode().view(), timeout, status,
                             [name, service, tag](const StatusBlock& outcome) {
                               if (outcome.failed()) {
                                 const std::string line = telmo::Format(
                                     "TELMO_MGMT_CheckServerWatchdog: requesting watchdog data update failed, server "
                                     "%s, service %s.\n",
                                     name.c_str(), service.c_str());
                                 Diag(line);
                                 if (telmo::LogSlots().Allow(kCheckFailedSlot, TELMO_SERVER_GENERATE_TRANSNUM())) {
                                   ClientLogWithBlock(line, outcome);
                                 }
                               } else {
                                 DiagFormat(
                                     "TELMO_MGMT_CheckServerWatchdog: Success requesting watchdog data update, server "
                                     "%s, service %s, tag %s.\n",
                                     name.c_str(), service.c_str(), tag.c_str());
                               }
                             });
}

void TELMO_MGMT_GetWatchDogData(std::string_view service, std::string_view node, int timeout, StatusBlock& status,
                                std::function<void(const StatusBlock&)> then) {
  const std::uint32_t transnum = TELMO_SERVER_GENERATE_TRANSNUM();
  IdentityRecord identity;
  TELMO_USR_GetApplicationID(identity);
  TELMO_SERVER_INITBLK(status);
  if (service.empty() || service.size() > telmo::Text32::kMaxLength || node.empty() ||
      node.size() > telmo::Text32::kMaxLength) {
    return;
  }
  std::string service_text(service);
  std::string node_text(node);
  Sends& sends = TheSends();
  std::lock_guard lock(sends.mutex);
  const std::string key = telmo::ToUpper(service);
  if (sends.in_flight.contains(key)) return;  // still waiting for the last one
  std::vector<std::uint8_t> message;
  try {
    message = telmo::watchdog::EncodeWatchdogRequest(service);
    if (!sends.sender) sends.sender = std::make_unique<telmo::MessageSender>();
    sends.in_flight.insert(key);
  } catch (const std::bad_alloc&) {
    TELMO_SERVER_LDBLK(kFacilityWatchdog, 4055, status);
    return;
  }
  DiagFormat(
      "TELMO_MGMT_GetWatchDogData: requesting watchdog data update, node [%s], service [%s], timeout [%d], "
      "transnum [%lu]\n",
      node_text.c_str(), service_text.c_str(), timeout, static_cast<unsigned long>(transnum));
  const MessageDestination destination{telmo::Text32(node), telmo::Text32(service)};
  sends.sender->Send(identity, destination, timeout, message, transnum,
                     [service_text, node_text, transnum, key, then = std::move(then)](const StatusBlock& outcome) {
                       GetWatchDogDataOutcome(service_text, node_text, transnum, outcome);
                       if (then) then(outcome);
                       Sends& s = TheSends();
                       std::lock_guard done_lock(s.mutex);
                       s.in_flight.erase(key);
                     });
}

bool TELMO_MGMT_WaitWatchdogRequests(std::chrono::milliseconds limit) {
  telmo::MessageSender* sender = nullptr;
  {
    std::lock_guard lock(TheSends().mutex);
    sender = TheSends().sender.get();
  }
  return sender == nullptr || sender->WaitIdle(limit);
}

void TELMO_MGMT_AbandonWatchdogRequests() {
  std::unique_ptr<telmo::MessageSender> sender;
  {
    std::lock_guard lock(TheSends().mutex);
    sender = std::move(TheSends().sender);
  }
  sender.reset();  // ends its thread; requests in flight are dropped
  std::lock_guard lock(TheSends().mutex);
  TheSends().in_flight.clear();
}
