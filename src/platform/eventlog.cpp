// The event log on every system: the log file and its line format. The
// system's own log is the backend's (eventlog_system.cpp).
#include "platform/eventlog.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/environment.h"
#include "platform/file_io.h"
#include "platform/paths.h"
#include "platform/win_error.h"

namespace telmo::platform {
namespace {

struct TypeName {
  WORD type;
  std::string_view name;
};
constexpr TypeName kTypes[] = {
    {EVENTLOG_SUCCESS, "SUCCESS"},
    {EVENTLOG_ERROR_TYPE, "ERROR"},
    {EVENTLOG_WARNING_TYPE, "WARNING"},
    {EVENTLOG_INFORMATION_TYPE, "INFORMATION"},
    {EVENTLOG_AUDIT_SUCCESS, "AUDIT_SUCCESS"},
    {EVENTLOG_AUDIT_FAILURE, "AUDIT_FAILURE"},
};

const TypeName* FindType(WORD type) {
  for (const auto& t : kTypes) {
    if (t.type == type) return &t;
  }
  return nullptr;
}

void AppendEscaped(std::string& out, std::string_view field) {
  for (const char c : field) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      default: out += c;
    }
  }
}

std::string Unescape(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\' || i + 1 == field.size()) {
      out += field[i];
      continue;
    }
    switch (field[++i]) {
      case 't': out += '\t'; break;
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      default: out += field[i];
    }
  }
  return out;
}

bool AppendLine(const std::string& line) {
  const std::string path = EventLogPath();
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  auto file = AppendFile::Open(path);
  if (!file) {
    SetLastError(file.error());
    return false;
  }
  // One write of the whole line keeps lines of concurrent writers apart.
  if (auto written = file->Write(line + "\n"); !written) {
    SetLastError(written.error());
    return false;
  }
  return true;
}

}  // namespace

std::string EventLogPath() { return JoinPath(LogDir(), "eventlog.log"); }

std::string_view EventTypeName(WORD type) noexcept {
  const TypeName* t = FindType(type);
  return t ? t->name : std::string_view();
}

std::string FormatEventLine(std::string_view time, std::string_view source, WORD type, DWORD event_id,
                            const std::vector<std::string>& strings) {
  std::string line;
  AppendEscaped(line, time);
  line += '\t';
  AppendEscaped(line, source);
  line += '\t';
  line += EventTypeName(type);
  char id[16];
  std::snprintf(id, sizeof id, "\t0x%08X", static_cast<unsigned>(event_id));
  line += id;
  for (const auto& s : strings) {
    line += '\t';
    AppendEscaped(line, s);
  }
  return line;
}

bool WriteEvent(std::string_view source, WORD type, DWORD event_id, const std::vector<std::string>& strings) {
  const std::string name(source);
  EventSourceHandle handle = RegisterEventSourceA(nullptr, name.c_str());
  if (!handle) return false;
  std::vector<const char*> pointers;
  pointers.reserve(strings.size());
  for (const auto& s : strings) pointers.push_back(s.c_str());
  const BOOL ok = ReportEventA(handle, type, 0, event_id, nullptr, static_cast<WORD>(pointers.size()), 0,
                               pointers.data(), nullptr);
  DeregisterEventSource(handle);
  return ok != FALSE;
}

std::vector<EventRecord> ReadEventLog(const std::string& path) {
  std::vector<EventRecord> events;
  std::ifstream in(path, std::ios::binary);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string_view> fields;
    std::string_view rest(line);
    for (;;) {
      const auto tab = rest.find('\t');
      fields.push_back(rest.substr(0, tab));
      if (tab == std::string_view::npos) break;
      rest.remove_prefix(tab + 1);
    }
    if (fields.size() < 4) continue;
    EventRecord e;
    e.time = Unescape(fields[0]);
    e.source = Unescape(fields[1]);
    const auto* type = [&]() -> const TypeName* {
      for (const auto& t : kTypes) {
        if (t.name == fields[2]) return &t;
      }
      return nullptr;
    }();
    if (type == nullptr) continue;
    e.type = type->type;
    const std::string id(fields[3]);
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(id.c_str(), &end, 16);
    if (id.size() != 10 || id.compare(0, 2, "0x") != 0 || errno != 0 || end == nullptr || *end != '\0') continue;
    e.event_id = static_cast<DWORD>(v);
    for (std::size_t i = 4; i < fields.size(); ++i) e.strings.push_back(Unescape(fields[i]));
    events.push_back(std::move(e));
  }
  return events;
}

std::vector<EventRecord> ReadEventLog() { return ReadEventLog(EventLogPath()); }

}  // namespace telmo::platform

EventSourceHandle RegisterEventSourceA(const char* /*server_name*/, const char* source_name) {
  if (source_name == nullptr || *source_name == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return {};
  }
  return EventSourceHandle(source_name);
}

BOOL ReportEventA(const EventSourceHandle& source, WORD type, WORD /*category*/, DWORD event_id,
                  const void* /*user_sid*/, WORD num_strings, DWORD /*data_size*/, const char* const* strings,
                  const void* /*raw_data*/) {
  if (!source) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const auto* kind = telmo::platform::FindType(type);
  if (kind == nullptr || (num_strings > 0 && strings == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<std::string> texts;
  texts.reserve(num_strings);
  for (WORD i = 0; i < num_strings; ++i) texts.emplace_back(strings[i] ? strings[i] : "");

  telmo::platform::detail::ReportToSystemLog(source.source(), type, event_id, texts);
  const std::string line =
      telmo::platform::FormatEventLine(telmo::platform::LocalTimestamp(), source.source(), type, event_id, texts);
  return telmo::platform::AppendLine(line) ? TRUE : FALSE;
}

BOOL DeregisterEventSource(EventSourceHandle& source) {
  if (!source) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  source.reset();
  return TRUE;
}
