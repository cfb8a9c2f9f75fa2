#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "win32/system_log.h"

namespace telmo::test {

bool ReadNewestSystemEvent(const std::string& source, std::uint32_t* id, std::vector<std::string>* strings) {
  HANDLE log = ::OpenEventLogA(nullptr, "Application");
  if (log == nullptr) return false;
  bool found = false;
  std::vector<unsigned char> buf(64 * 1024);
  while (!found) {
    DWORD read = 0;
    DWORD needed = 0;
    if (!::ReadEventLogA(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0, buf.data(),
                         static_cast<DWORD>(buf.size()), &read, &needed)) {
      if (::GetLastError() == ERROR_INSUFFICIENT_BUFFER && needed > buf.size()) {
        buf.resize(needed);
        continue;
      }
      break;
    }
    DWORD offset = 0;
    while (offset + sizeof(EVENTLOGRECORD) <= read) {
      const auto* rec = reinterpret_cast<const EVENTLOGRECORD*>(buf.data() + offset);
      const char* rec_source = reinterpret_cast<const char*>(rec) + sizeof(EVENTLOGRECORD);
      if (source == rec_source) {
        *id = rec->EventID;
        strings->clear();
        const char* s = reinterpret_cast<const char*>(rec) + rec->StringOffset;
        for (WORD i = 0; i < rec->NumStrings; ++i) {
          strings->emplace_back(s);
          s += strings->back().size() + 1;
        }
        found = true;
        break;
      }
      if (rec->Length == 0) break;
      offset += rec->Length;
    }
  }
  ::CloseEventLog(log);
  return found;
}

}  // namespace telmo::test
