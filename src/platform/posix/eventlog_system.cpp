// The system log of the Linux backend: syslog under the source name.
#include <syslog.h>

#include <mutex>

#include "platform/eventlog.h"

namespace telmo::platform::detail {
namespace {

int Priority(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE: return LOG_ERR;
    case EVENTLOG_WARNING_TYPE:
    case EVENTLOG_AUDIT_FAILURE: return LOG_WARNING;
    case EVENTLOG_AUDIT_SUCCESS: return LOG_NOTICE;
    default: return LOG_INFO;
  }
}

}  // namespace

// openlog keeps the identifier it is given and is process-wide, so the
// identifier lives here and the pair openlog/syslog runs under a lock.
void ReportToSystemLog(const std::string& source, WORD type, DWORD event_id, const std::vector<std::string>& strings) {
  const int priority = Priority(type);
  static std::mutex mutex;
  static std::string ident;
  std::string text;
  for (const auto& s : strings) {
    if (!text.empty()) text += ' ';
    text += s;
  }
  std::lock_guard lock(mutex);
  if (ident != source) {
    ident = source;
    ::openlog(ident.c_str(), LOG_PID, LOG_DAEMON);
  }
  ::syslog(priority, "[0x%08X] %s", static_cast<unsigned>(event_id), text.c_str());
}

}  // namespace telmo::platform::detail
