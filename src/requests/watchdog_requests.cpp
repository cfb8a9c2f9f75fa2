// The watchdog named requests: "GetWatchDogData" answers a server's cached
// watchdog report, "GetWatchDogDataReply" (a DLGP's answer) replaces it.
// Both run inside the envelope, under the process table lock; the table
// mutex is taken inside it for the lookup and the cache.
#include <string>

#include "config/globals.h"
#include "config/manager_log.h"
#include "external/telmo_watchdog.h"
#include "requests/named_requests.h"
#include "util/period_slots.h"
#include "util/text.h"

namespace telmo::requests {
namespace {

constexpr std::size_t kRequestNotFoundSlot = 2;
constexpr std::size_t kReplyNotFoundSlot = 3;

const char* OrNA(const std::string& text) { return text.empty() ? "N/A" : text.c_str(); }
template <std::size_t N>
const char* OrNA(const FixedText<N>& text) {
  return text.empty() ? "N/A" : text.c_str();
}

void NotFound(std::size_t slot, const std::string& line) {
  DiagLine(kTraceCategory, 3002, line);
  if (LogSlots().Allow(slot, TELMO_SERVER_GENERATE_TRANSNUM())) ClientLogUnderApplicationName(line);
}

// The cached report of a server, when it has an entry with a tag name.
WatchdogReport* CachedReport(const ServerRecord& server) {
  const int index = gWatchdogTable.Find(server.dlgp_service.view());
  if (index < 0) return nullptr;
  WatchdogReport& report = gWatchdogTable.entry(index).report;
  return report.tag_name.empty() ? nullptr : &report;
}

std::string RenderStamp(std::int64_t stamp) {
  std::array<char, 64> buffer{};
  if (TELMO_DIAG_ASCTIME_WRAPPER(stamp, buffer) == 0) return "<------ Bad TimeStamp ----->";
  std::string text(buffer.data());
  return text.substr(0, text.find('\n'));
}

}  // namespace

void HandleGetWatchDogData(NamedRequest& request) {
  const auto text = request.Text();
  if (!text) return;
  const std::string service(*text);
  watchdog::Block block{};
  {
    StatusBlock lock_status;
    ServerTableLock table_lock(gServerTable, lock_status);
    const ServerRecord* server = table_lock.owns() ? TELMO_MGMT_FindServer(service, gServerTable) : nullptr;
    if (server == nullptr) {
      NotFound(kRequestNotFoundSlot, Format("GetWatchDogData: Not found server for service: %s, transnum: %lu.\n",
                                            service.c_str(), static_cast<unsigned long>(request.transnum)));
    } else if (const WatchdogReport* report = CachedReport(*server)) {
      block = watchdog::EncodeReport(*report);
      DiagLine(kTraceCategory, 3002,
               Format("GetWatchDogData: Returning server %s watchdog info in cache, service %s, tag %s, transnum %lu, "
                      "value = %s\n",
                      OrNA(server->name), service.c_str(), report->tag_name.c_str(),
                      static_cast<unsigned long>(request.transnum), OrNA(report->items[0].value)));
    }
  }
  SendNamedReply(request, block);
}

void HandleGetWatchDogDataReply(NamedRequest& request) {
  const auto text = request.Text();
  if (!text) return;
  const std::string service(*text);
  // A block that ends early changes nothing.
  const auto received = watchdog::DecodeReport(request.Rest());
  if (!received) return;
  StatusBlock lock_status;
  ServerTableLock table_lock(gServerTable, lock_status);
  const ServerRecord* server = table_lock.owns() ? TELMO_MGMT_FindServer(service, gServerTable) : nullptr;
  if (server == nullptr) {
    NotFound(kReplyNotFoundSlot, Format("GetWatchDogDataReply: Not found server for service: %s, transnum: %lu.\n",
                                        service.c_str(), static_cast<unsigned long>(request.transnum)));
    return;
  }
  WatchdogReport* report = CachedReport(*server);
  if (report == nullptr) return;
  *report = *received;
  DiagLine(kTraceCategory, 3002,
           Format("GetWatchDogDataReply: Updated Server %s watchdog cache, service: %s, tag %s, transnum: %lu, value "
                  "[%s], timestamp [%s].\n",
                  server->name.c_str(), service.c_str(), report->tag_name.c_str(),
                  static_cast<unsigned long>(request.transnum), OrNA(report->items[0].value),
                  RenderStamp(report->items[0].stamp).c_str()));
}

}  // namespace telmo::requests
