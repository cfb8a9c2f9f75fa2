// The system log of the Windows backend: the Application event log, through
// RegisterEventSourceA and ReportEventA (the source's message file, when it
// is registered, is what the event viewer formats the strings with).
#include "platform/eventlog.h"
#include "platform/win32/native.h"

namespace telmo::platform::detail {

void ReportToSystemLog(const std::string& source, WORD type, DWORD event_id, const std::vector<std::string>& strings) {
  win32::Handle handle = win32::RegisterEventSourceNative(source);
  if (handle == nullptr) return;
  std::vector<const char*> pointers;
  pointers.reserve(strings.size());
  for (const auto& s : strings) pointers.push_back(s.c_str());
  win32::ReportEventNative(handle, type, 0, event_id, pointers);
  win32::DeregisterEventSourceNative(handle);
}

}  // namespace telmo::platform::detail
