#include "supervision/liveness.h"

#include "config/server_table.h"
#include "platform/process.h"
#include "platform/sync.h"

int TELMO_MGMT_IsComponentRunning(ProcessTable& table, ServerRecord& server, ComponentRecord& component) {
  telmo::platform::CriticalSectionLock lock(table.lock);
  component.run_status = 0;
  const int index = table.Find(&server, &component);
  if (index < 0) return 0;
  ProcessEntry& entry = table.entry(index);
  if (!entry.process) return 0;
  const DWORD pid = GetProcessId(entry.process);
  if (pid == 0) return 0;
  // The recorded handle owns a process descriptor: it names its process for
  // good and tells when that process has ended, even while the manager still
  // holds it and whatever became of the id since. An open by id adds nothing
  // but two system calls per component per check.
  DWORD code = 0;
  if (!GetExitCodeProcess(entry.process, &code) || code != STILL_ACTIVE) {
    CloseHandle(entry.process);
    return 0;
  }
  component.run_status = 1;
  return component.run_status;
}

int TELMO_MGMT_GetServerRunStatus(ProcessTable& table, ServerRecord& server) {
  telmo::platform::CriticalSectionLock lock(table.lock);
  server.run_status = 0;
  server.component_cursor = -1;
  bool some_running = false;
  bool some_down = false;
  while (ComponentRecord* component = telmo::config::NextComponent(server)) {
    component->run_status = 0;
    // A component with nothing to run counts neither way. One that has an
    // executable and no live process is down, whether it never started (its
    // start failed, no process entry) or has ended since.
    if (component->executable.empty()) continue;
    if (table.Find(&server, component) >= 0) TELMO_MGMT_IsComponentRunning(table, server, *component);
    if (component->run_status == 0 || component->run_status == 2) {
      some_down = true;
      component->conn_status = 0;
    } else {
      some_running = true;
    }
  }
  if (some_running) server.run_status = some_down ? 1 : 2;
  return server.run_status;
}
