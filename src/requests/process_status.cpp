// GetProcessStatus: this manager's own named request (see
// external/telmo_process_status.h). Runs inside the envelope, under the
// process table lock; the server record is read under the table mutex, which
// the stop worker holds while it frees records.
#include <chrono>

#include "config/globals.h"
#include "external/telmo_process_status.h"
#include "requests/named_requests.h"

namespace telmo::requests {

void HandleGetProcessStatus(NamedRequest& request) {
  const auto service = request.Text(31);  // what a 32-byte service field holds
  if (!service) return;
  std::optional<std::vector<mgmt::ProcessStatusEntry>> entries;
  {
    StatusBlock lock_status;
    ServerTableLock table_lock(gServerTable, lock_status);
    ServerRecord* server = table_lock.owns() ? TELMO_MGMT_FindServer(*service, gServerTable) : nullptr;
    if (server != nullptr) {
      entries.emplace();
      const auto now = std::chrono::steady_clock::now();
      for (const auto& component : server->components) {
        if (!component) continue;
        mgmt::ProcessStatusEntry entry{component->name, 0, 0, component->restarts};
        const int index = gProcessTable.Find(server, component.get());
        if (index >= 0) {
          const ProcessEntry& process = gProcessTable.entry(index);
          DWORD exit_code = 0;
          if (process.process && GetExitCodeProcess(process.process, &exit_code) && exit_code == STILL_ACTIVE) {
            entry.pid = GetProcessId(process.process);
            entry.uptime_seconds =
                std::chrono::duration_cast<std::chrono::seconds>(now - process.recorded).count();
          }
        }
        entries->push_back(std::move(entry));
      }
    }
  }
  SendNamedReply(request, mgmt::EncodeProcessStatusReply(*service, entries));
}

}  // namespace telmo::requests
