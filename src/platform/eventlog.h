// The Windows event log. ReportEventA writes each event twice:
//  - to the system's log: syslog on Linux, under the source name as the
//    identifier; the Application event log on Windows (a system log that is
//    not there is no error: the line below is the record that counts);
//  - as one line appended to $TELMO_LOG_DIR/eventlog.log, fields separated by
//    a tab: local time ("YYYY-MM-DD HH:MM:SS.mmm"), source, type word
//    ("ERROR", "WARNING", "INFORMATION", "SUCCESS", "AUDIT_SUCCESS",
//    "AUDIT_FAILURE"), identifier as "0x%08X", then each insertion string.
//    A backslash, tab, carriage return or line feed inside a field is written
//    as \\, \t, \r, \n, so that one event is always one line.
// The category is accepted and not recorded; the server name of
// RegisterEventSourceA is ignored (events are always local), and nothing
// needs registering first: any source name may report.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/win_types.h"

inline constexpr WORD EVENTLOG_SUCCESS = 0x0000;
inline constexpr WORD EVENTLOG_ERROR_TYPE = 0x0001;
inline constexpr WORD EVENTLOG_WARNING_TYPE = 0x0002;
inline constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x0004;
inline constexpr WORD EVENTLOG_AUDIT_SUCCESS = 0x0008;
inline constexpr WORD EVENTLOG_AUDIT_FAILURE = 0x0010;

/// A registered event source. Move-only; DeregisterEventSource or the
/// destructor ends it.
class EventSourceHandle {
 public:
  EventSourceHandle() = default;
  explicit EventSourceHandle(std::string source) : source_(std::move(source)) {}
  EventSourceHandle(EventSourceHandle&& other) noexcept : source_(std::move(other.source_)) { other.source_.clear(); }
  EventSourceHandle& operator=(EventSourceHandle&& other) noexcept {
    if (this != &other) {
      source_ = std::move(other.source_);
      other.source_.clear();
    }
    return *this;
  }
  EventSourceHandle(const EventSourceHandle&) = delete;
  EventSourceHandle& operator=(const EventSourceHandle&) = delete;
  ~EventSourceHandle() = default;

  [[nodiscard]] bool valid() const noexcept { return !source_.empty(); }
  explicit operator bool() const noexcept { return valid(); }
  [[nodiscard]] const std::string& source() const noexcept { return source_; }
  void reset() noexcept { source_.clear(); }

 private:
  std::string source_;
};

/// Empty handle (ERROR_INVALID_PARAMETER) for a null or empty source name.
EventSourceHandle RegisterEventSourceA(const char* server_name, const char* source_name);

/// Writes one event with `num_strings` insertion strings (a null entry counts
/// as an empty text). FALSE with the last error when the handle is empty, the
/// type is unknown (ERROR_INVALID_PARAMETER) or the line cannot be appended
/// to the log file. The user and the raw data are ignored.
BOOL ReportEventA(const EventSourceHandle& source, WORD type, WORD category, DWORD event_id, const void* user_sid,
                  WORD num_strings, DWORD data_size, const char* const* strings, const void* raw_data);

/// FALSE (ERROR_INVALID_HANDLE) for an empty handle.
BOOL DeregisterEventSource(EventSourceHandle& source);

namespace telmo::platform {

/// One event as read back from the log file.
struct EventRecord {
  std::string time;
  std::string source;
  WORD type = 0;
  DWORD event_id = 0;
  std::vector<std::string> strings;
};

/// $TELMO_LOG_DIR/eventlog.log
[[nodiscard]] std::string EventLogPath();

/// The type word of the log line ("ERROR"...); empty for an unknown type.
[[nodiscard]] std::string_view EventTypeName(WORD type) noexcept;

/// Writes an event in one call (register, report, deregister).
bool WriteEvent(std::string_view source, WORD type, DWORD event_id, const std::vector<std::string>& strings);

/// The log line of an event, without its line end (what ReportEventA appends).
[[nodiscard]] std::string FormatEventLine(std::string_view time, std::string_view source, WORD type, DWORD event_id,
                                          const std::vector<std::string>& strings);

/// Parses the lines of the log file; lines that are not event lines are passed
/// over. A missing file reads as no events.
[[nodiscard]] std::vector<EventRecord> ReadEventLog(const std::string& path);
[[nodiscard]] std::vector<EventRecord> ReadEventLog();

namespace detail {
/// The system's own log (eventlog_system.cpp of the backend): syslog on
/// Linux, the Application event log on Windows. Failures are not reported:
/// the log file is the record that counts.
void ReportToSystemLog(const std::string& source, WORD type, DWORD event_id, const std::vector<std::string>& strings);
}  // namespace detail

}  // namespace telmo::platform
