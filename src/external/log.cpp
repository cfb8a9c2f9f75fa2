#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>

#include "external/telmo_log.h"
#include "platform/environment.h"
#include "platform/paths.h"
#include "platform/posix/unique_fd.h"
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

std::string TimeStamp() {
  timeval tv{};
  ::gettimeofday(&tv, nullptr);
  std::tm tm{};
  ::localtime_r(&tv.tv_sec, &tm);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(tv.tv_usec / 1000));
  return buf;
}

// One log file. The directory is looked up at every write so that a change of
// TELMO_LOG_DIR (tests) is followed; the descriptor stays open otherwise.
class LogFile {
 public:
  explicit LogFile(LogKind kind) : kind_(kind) {}

  void Write(std::string_view prefix, std::string_view text) {
    // One record, one line: the line ends a text brings are dropped and every
    // control character inside is written out, so that no value (a user name
    // from the wire, a file name) can start a line of its own or reach the
    // terminal of whoever reads the log.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    std::string record = TimeStamp();
    record += ' ';
    record += EscapeControlCharacters(prefix);
    record += EscapeControlCharacters(text);
    record += '\n';

    const std::string path = LogPath(kind_);
    std::lock_guard lock(mutex_);
    if (path != path_ || !fd_) Open(path);
    if (!fd_) return;
    if (size_ > 0 && size_ + record.size() > g_rotation_limit.load()) {
      std::error_code ec;
      std::filesystem::rename(path_, path_ + ".1", ec);
      Open(path_);
      if (!fd_) return;
    }
    // One write per record: O_APPEND keeps records whole between writers.
    const ssize_t n = ::write(fd_.get(), record.data(), record.size());
    if (n > 0) size_ += static_cast<std::size_t>(n);
  }

 private:
  void Open(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    fd_.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640));
    path_ = path;
    size_ = 0;
    struct stat st {};
    if (fd_ && ::fstat(fd_.get(), &st) == 0) size_ = static_cast<std::size_t>(st.st_size);
  }

  LogKind kind_;
  std::mutex mutex_;
  std::string path_;
  platform::UniqueFd fd_;
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
  const std::string text = telmo::VFormat(format, args);
  va_end(args);
  TELMO_MGMT_LogText(file, function, line, text);
}

void TELMO_MGMT_LogText(const char* file, const char* function, int line, std::string_view text) {
  const std::string prefix = telmo::Format("%s %s(%d): ", file ? file : "", function ? function : "", line);
  telmo::Log(telmo::LogKind::kManagement).Write(prefix, text);
}

int TELMO_DIAG_LOGSTATE() { return telmo::platform::FlagEnabled("TELMO_DIAG") ? 0 : 1; }

void TELMO_DIAG_LOG(const char* category, int code, std::string_view text, StatusBlock& block) {
  TELMO_SERVER_INITBLK(block);
  telmo::Log(telmo::LogKind::kDiagnostic).Write(telmo::Format("%s %d: ", category ? category : "", code), text);
}

void KernelDebugLogEx(const char* category, int code, const char* format, ...) {
  if (!telmo::platform::FlagEnabled("TELMO_TRACE")) return;
  va_list args;
  va_start(args, format);
  const std::string text = telmo::VFormat(format, args);
  va_end(args);
  telmo::Log(telmo::LogKind::kTrace).Write(telmo::Format("%s %d: ", category ? category : "", code), text);
}

void TELMO_CLIENT_LOGMSG(std::string_view source, std::string_view text, StatusBlock& block) {
  TELMO_CLIENT_INITBLK(block);
  telmo::Log(telmo::LogKind::kClient).Write(std::string(source) + ": ", text);
}

void TELMO_SERVER_LOGMSG(std::string_view source, std::string_view text, StatusBlock& block) {
  TELMO_CLIENT_LOGMSG(source, text, block);
}

void TELMO_SERVER_LOGBLK(std::string_view source, const StatusBlock& block, StatusBlock& scratch) {
  TELMO_CLIENT_INITBLK(scratch);
  if (block.count == 0 && !block.failed()) return;
  telmo::Log(telmo::LogKind::kClient).Write(std::string(source) + ": ", "status " + block.describe());
}
