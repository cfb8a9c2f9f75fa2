#include <string>

#include "config/process_table.h"
#include "external/telmo_log.h"
#include "platform/process.h"
#include "util/text.h"

namespace {
// The termination text is built in one 512-byte buffer: at most 511 characters.
constexpr std::size_t kKillTextLimit = 511;
}  // namespace

int TELMO_MGMT_KillComponent(ProcessTable& table, ServerRecord& server, ComponentRecord& component) {
  const int index = table.Find(&server, &component);
  if (index < 0) return -1;
  ProcessEntry& entry = table.entry(index);
  if (entry.process) {
    DWORD exit_code = 0;
    if (GetExitCodeProcess(entry.process, &exit_code) && exit_code == STILL_ACTIVE) {
      std::string text = "Zarvel Telmo Manager forcibly terminating process";
      text += telmo::Format("\nServer  name - \"%s\" Dlgp Service -\"%s\"",
                            telmo::EscapeControlCharacters(server.name).c_str(),
                            telmo::EscapeControlCharacters(server.dlgp_service.view()).c_str());
      text += telmo::Format("\nProcess name - \"%s\" Service -\"%s\"\n",
                            telmo::EscapeControlCharacters(component.name).c_str(),
                            telmo::EscapeControlCharacters(component.tcp_service.view()).c_str());
      if (text.size() > kKillTextLimit) text.resize(kKillTextLimit);
      // The names are data, never a format; their control characters are written out.
      TELMO_MGMT_LogText("telmo_manager_utils", "TELMO_MGMT_KillComponent", __LINE__, text);
      TerminateProcess(entry.process, 0);
    }
    CloseHandle(entry.process);
  }
  return index;
}
