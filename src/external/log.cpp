
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>

#include "external/telmo_log.h"
#include "platform/environment.h"
#include "platform/paths.h"
#include "platform/file_io.h"
#include "util/text.h"

namespace telmo {
namespace {

std::atomic<std::size_t> g_rotation_limit{16u << 20};

const char* FileName(LogKind kind) {
  switch (kind) {
    case LogKind::kManagement: return "management.log";
    case LogKind::kClient: return "client.log";
    case LogKind::kDiagnostic: return "diagnostic.log";
    case LogKind::kTrace: return "trace.log";
  }
  return "telmo.log";
}

std::string TimeStamp() { return platform::LocalTimestamp(); }

// Control characters other than line feeds and tabs written out ("\x1b"):
// nothing in a log reaches the terminal of whoever reads it.
std::string KeepLinesEscapeRest(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t from = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] != '\n') continue;
    out += EscapeControlCharacters(text.substr(from, i - from));
    if (i < text.size()) out += '\n';
    from = i + 1;
  }
  return out;
}

// printf for log lines whose values may come from anywhere (a peer, a file):
// the format's own line feeds stay, a control character inside a %s value is
// written out, so that no value can start a line of its own. Each conversion
// is handed to snprintf with its own argument type.
std::string FormatEscapingValues(const char* format, va_list args) {
  std::string out;
  char piece[512];
  const char* p = format;
  while (*p != '\0') {
    if (*p != '%') {
      out += *p++;
      continue;
    }
    std::string spec = "%";
    ++p;
    while (*p != '\0' && std::strchr("-+ #0'", *p) != nullptr) spec += *p++;
    auto number = [&] {
      if (*p == '*') {
        spec += std::to_string(va_arg(args, int));
        ++p;
        return;
      }
      while (*p >= '0' && *p <= '9') spec += *p++;
    };
    number();
    if (*p == '.') {
      spec += *p++;
      number();
    }
    std::string length;
    while (*p != '\0' && std::strchr("hlLjzt", *p) != nullptr) length += *p++;
    const char conversion = *p;
    if (conversion == '\0') break;
    ++p;
    spec += length;
    spec += conversion;
    int n = 0;
    switch (conversion) {
      case '%': out += '%'; continue;
      case 's': {
        if (!length.empty()) {  // wide strings: no log writes them
          out += spec;
          continue;
        }
        const char* value = va_arg(args, const char*);
        const std::string escaped = EscapeControlCharacters(value != nullptr ? value : "(null)");
        // Width and precision apply to what is shown.
        const std::string shown = Format(spec.c_str(), escaped.c_str());
        out += shown;
        continue;
      }
      case 'c':
        n = std::snprintf(piece, sizeof piece, spec.c_str(), va_arg(args, int));
        if (n > 0) out += EscapeControlCharacters(std::string_view(piece, std::min<std::size_t>(n, sizeof piece - 1)));
        continue;
      case 'p': n = std::snprintf(piece, sizeof piece, spec.c_str(), va_arg(args, void*)); break;
      case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
        n = length == "L" ? std::snprintf(piece, sizeof piece, spec.c_str(), va_arg(args, long double))
                          : std::snprintf(piece, sizeof piece, spec.c_str(), va_arg(args, double));
        break;
      case 'd': case 'i':
        if (length == "l") {
          n = std::snprintf(piece, sizeof piece, spec.c_str(), va_arg(args, long));
        } else if (length == "ll" || length == "j") {
          n = std::snprintf(piece, sizeof piece, spec.c_str(), va_arg(args, long long));
        } else if (length == "z" || length == "t") {
          n = std::snprintf(piece, sizeof piece, spec.c_str(), va_arg(args, std::ptrdiff_t));
        } else {
          n = std::snprintf(piece, sizeof piece, spec.c_str(), va_arg(args, int));
        }
        break;
      case 'u': case 'x': case 'X': case 'o':
        if (length == "l") {
          n = std::snprintf(piece, sizeof piece, spec.c_str(), va_arg(args, unsigned long));
        } else if (length == "ll" || length == "j") {
          n = std::snprintf(piece, sizeof piece, spec.c_str(), va_arg(args, unsigned long long));
        } else if (length == "z" || length == "t") {
          n = std::snprintf(piece, sizeof piece, spec.c_str(), va_arg(args, std::size_t));
        } else {
          n = std::snprintf(piece, sizeof piece, spec.c_str(), va_arg(args, unsigned));
        }
        break;
      default:  // %n and what no log format uses: shown as written, nothing read
        out += spec;
        continue;
    }
    if (n > 0) out.append(piece, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof piece - 1));
  }
  return out;
}

// One log file. The directory is looked up at every write so that a change of
// TELMO_LOG_DIR (tests) is followed; the descriptor stays open otherwise.
class LogFile {
 public:
  explicit LogFile(LogKind kind) : kind_(kind) {}

  /// `one_line`: the record is one line whatever the text holds (its line
  /// ends dropped, line feeds inside written out); else the text keeps its
  /// own line feeds. Other control characters are always written out.
  void Write(std::string_view prefix, std::string_view text, bool one_line) {
    while (!text.empty() && (text.back() == '\n' || (one_line && text.back() == '\r'))) text.remove_suffix(1);
    std::string record = TimeStamp();
    record += ' ';
    record += EscapeControlCharacters(prefix);
    record += one_line ? EscapeControlCharacters(text) : KeepLinesEscapeRest(text);
    record += '\n';

    const std::string path = LogPath(kind_);
    std::lock_guard lock(mutex_);
    if (path != path_ || !file_) Open(path);
    if (!file_) return;
    if (size_ > 0 && size_ + record.size() > g_rotation_limit.load()) {
      std::error_code ec;
      std::filesystem::rename(path_, path_ + ".1", ec);
      Open(path_);
      if (!file_) return;
    }
    // One write per record: O_APPEND keeps records whole between writers.
    if (file_.Write(record)) size_ += record.size();
  }

 private:
  void Open(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    auto file = platform::AppendFile::Open(path);
    file_ = file ? std::move(*file) : platform::AppendFile();
    path_ = path;
    size_ = static_cast<std::size_t>(file_.Size());
  }

  LogKind kind_;
  std::mutex mutex_;
  std::string path_;
  platform::AppendFile file_;
  std::size_t size_ = 0;
};

LogFile& Log(LogKind kind) {
  static std::array<LogFile, 4> logs{LogFile(LogKind::kManagement), LogFile(LogKind::kClient),
                                     LogFile(LogKind::kDiagnostic), LogFile(LogKind::kTrace)};
  return logs[static_cast<std::size_t>(kind)];
}

}  // namespace

std::string LogPath(LogKind kind) { return platform::JoinPath(platform::LogDir(), FileName(kind)); }

void SetLogRotationLimit(std::size_t bytes) { g_rotation_limit = bytes; }

}  // namespace telmo

void TELMO_MGMT_LogMessage(const char* file, const char* function, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = telmo::FormatEscapingValues(format, args);
  va_end(args);
  TELMO_MGMT_LogText(file, function, line, text);
}

void TELMO_MGMT_LogText(const char* file, const char* function, int line, std::string_view text) {
  const std::string prefix = telmo::Format("%s %s(%d): ", file ? file : "", function ? function : "", line);
  telmo::Log(telmo::LogKind::kManagement).Write(prefix, text, false);
}

int TELMO_DIAG_LOGSTATE() { return telmo::platform::FlagEnabled("TELMO_DIAG") ? 0 : 1; }

void TELMO_DIAG_LOG(const char* category, int code, std::string_view text, StatusBlock& block) {
  TELMO_SERVER_INITBLK(block);
  telmo::Log(telmo::LogKind::kDiagnostic).Write(telmo::Format("%s %d: ", category ? category : "", code), text, true);
}

void KernelDebugLogEx(const char* category, int code, const char* format, ...) {
  if (!telmo::platform::FlagEnabled("TELMO_TRACE")) return;
  va_list args;
  va_start(args, format);
  const std::string text = telmo::FormatEscapingValues(format, args);
  va_end(args);
  telmo::Log(telmo::LogKind::kTrace).Write(telmo::Format("%s %d: ", category ? category : "", code), text, false);
}

void TELMO_CLIENT_LOGMSG(std::string_view source, std::string_view text, StatusBlock& block) {
  TELMO_CLIENT_INITBLK(block);
  telmo::Log(telmo::LogKind::kClient).Write(std::string(source) + ": ", text, true);
}

void TELMO_SERVER_LOGMSG(std::string_view source, std::string_view text, StatusBlock& block) {
  TELMO_CLIENT_LOGMSG(source, text, block);
}

void TELMO_SERVER_LOGBLK(std::string_view source, const StatusBlock& block, StatusBlock& scratch) {
  TELMO_CLIENT_INITBLK(scratch);
  if (block.count == 0 && !block.failed()) return;
  telmo::Log(telmo::LogKind::kClient).Write(std::string(source) + ": ", "status " + block.describe(), true);
}
