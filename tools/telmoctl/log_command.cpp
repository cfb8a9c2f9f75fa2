// telmoctl log [--follow] [--lines N] [--file NAME]: the node's logs from
// $TELMO_LOG_DIR, read locally (like journalctl -u): the management log by
// default, or the client, diagnostic, trace or event log.
//
// --follow keeps printing what is appended, across rotations (the writer
// renames NAME to NAME.1 and starts a new file), until interrupted.
// With --json: one document {"ok", "path", "lines"}; with --follow, one
// compact {"line": TEXT} object per line instead (JSON Lines).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "console.h"
#include "external/telmo_log.h"
#include "platform/eventlog.h"
#include "platform/posix/unique_fd.h"

namespace telmoctl {
namespace {

using telmo::platform::UniqueFd;

struct LogArgs {
  bool follow = false;
  int lines = 20;
  std::string file = "management";
};

std::string PathOf(const std::string& file) {
  if (file == "client") return telmo::LogPath(telmo::LogKind::kClient);
  if (file == "diagnostic") return telmo::LogPath(telmo::LogKind::kDiagnostic);
  if (file == "trace") return telmo::LogPath(telmo::LogKind::kTrace);
  if (file == "event") return telmo::platform::EventLogPath();
  return telmo::LogPath(telmo::LogKind::kManagement);
}

void Emit(const Console& console, const std::string& line) {
  if (console.json) {
    const nlohmann::json record{{"line", line}};
    std::printf("%s\n", record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
  } else {
    std::printf("%s\n", Printable(line).c_str());
  }
}

/// Reads what `fd` holds from `*offset` on; complete lines are handed to
/// `line`, an unfinished last line waits in `*partial` for its end.
template <typename Line>
void ReadOn(int fd, off_t* offset, std::string* partial, Line line) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, *offset);
    if (n <= 0) return;
    *offset += n;
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] == '\n') {
        line(*partial);
        partial->clear();
      } else {
        partial->push_back(buffer[i]);
      }
    }
  }
}

/// The start of the last `count` complete lines of the first `size` bytes.
off_t StartOfLastLines(int fd, off_t size, int count) {
  if (count <= 0) return size;
  // The last byte is the end of the last complete line; look for count more
  // line ends before it.
  off_t at = size - 1;
  int seen = 0;
  char buffer[65536];
  while (at > 0) {
    const off_t from = at > static_cast<off_t>(sizeof buffer) ? at - static_cast<off_t>(sizeof buffer) : 0;
    const ssize_t n = ::pread(fd, buffer, static_cast<std::size_t>(at - from), from);
    if (n <= 0) return 0;
    for (ssize_t i = n - 1; i >= 0; --i) {
      if (buffer[i] == '\n' && ++seen == count) return from + i + 1;
    }
    at = from;
  }
  return 0;
}

/// The size up to the last line end (an unfinished line is not shown yet).
off_t CompleteSize(int fd, off_t size) {
  char c = 0;
  while (size > 0 && (::pread(fd, &c, 1, size - 1) != 1 || c != '\n')) --size;
  return size;
}

int Show(const Console& console, const LogArgs& args) {
  const std::string path = PathOf(args.file);
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd && !args.follow) {
    return Fail(console, kFailed, "no " + args.file + " log at " + path + " (has a manager run with this TELMO_LOG_DIR?)",
                {{"path", path}});
  }
  off_t offset = 0;
  std::string partial;
  if (fd) {
    struct stat st {};
    ::fstat(fd.get(), &st);
    const off_t end = CompleteSize(fd.get(), st.st_size);
    offset = StartOfLastLines(fd.get(), end, args.lines);
    std::vector<std::string> lines;
    std::string text(static_cast<std::size_t>(end - offset), '\0');
    if (!text.empty() && ::pread(fd.get(), text.data(), text.size(), offset) == static_cast<ssize_t>(text.size())) {
      for (std::size_t at = 0; at < text.size();) {
        const std::size_t stop = text.find('\n', at);
        lines.push_back(text.substr(at, stop - at));
        at = stop + 1;
      }
    }
    offset = end;
    if (console.json && !args.follow) {
      PrintJson({{"ok", true}, {"path", path}, {"lines", lines}});
      return kSuccess;
    }
    for (const auto& line : lines) Emit(console, line);
  }
  if (!args.follow) return kSuccess;

  const auto emit = [&console](const std::string& line) { Emit(console, line); };
  struct stat open_st {};
  if (fd) ::fstat(fd.get(), &open_st);
  for (;;) {
    if (fd) {
      ReadOn(fd.get(), &offset, &partial, emit);
      std::fflush(stdout);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    struct stat now {};
    const bool exists = ::stat(path.c_str(), &now) == 0;
    if (exists && (!fd || now.st_ino != open_st.st_ino || now.st_dev != open_st.st_dev)) {
      // Rotated (or created): finish the old file, then read the new one from its start.
      if (fd) ReadOn(fd.get(), &offset, &partial, emit);
      UniqueFd next(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
      if (!next) continue;
      fd = std::move(next);
      ::fstat(fd.get(), &open_st);
      offset = 0;
      partial.clear();
    } else if (exists && now.st_size < offset) {
      offset = 0;  // cut short in place
      partial.clear();
    }
  }
}

}  // namespace

void AddLogCommands(CLI::App& app, Console& console) {
  auto args = std::make_shared<LogArgs>();
  CLI::App* log = app.add_subcommand("log", "Show the node's management log (local, from TELMO_LOG_DIR)");
  log->add_flag("-f,--follow", args->follow, "Keep printing new lines (across rotations) until interrupted");
  log->add_option("-n,--lines", args->lines, "Lines to show from the end (default 20)")->check(CLI::Range(0, 1000000));
  log->add_option("--file", args->file, "Which log: management (default), client, diagnostic, trace or event")
      ->check(CLI::IsMember({"management", "client", "diagnostic", "trace", "event"}));
  log->callback([&console, args] { console.action = [&console, args] { return Show(console, *args); }; });
}

}  // namespace telmoctl
