// telmoctl log [--follow] [--lines N] [--file NAME]: the node's logs from
// $TELMO_LOG_DIR, read locally (like journalctl -u): the management log by
// default, or the client, diagnostic, trace or event log.
//
// --follow keeps printing what is appended, across rotations (the writer
// renames NAME to NAME.1 and starts a new file), until interrupted.
// With --json: one document {"ok", "path", "lines"}; with --follow, one
// compact {"line": TEXT} object per line instead (JSON Lines).
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
#include "platform/file_io.h"

namespace telmoctl {
namespace {

using telmo::platform::FollowedFile;

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

/// Reads what `file` holds from `*offset` on; complete lines are handed to
/// `line`, an unfinished last line waits in `*partial` for its end.
template <typename Line>
void ReadOn(const FollowedFile& file, std::uint64_t* offset, std::string* partial, Line line) {
  char buffer[65536];
  for (;;) {
    const auto n = file.ReadAt(*offset, buffer);
    if (!n || *n == 0) return;
    *offset += *n;
    for (std::size_t i = 0; i < *n; ++i) {
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
std::uint64_t StartOfLastLines(const FollowedFile& file, std::uint64_t size, int count) {
  if (count <= 0) return size;
  // The last byte is the end of the last complete line; look for count more
  // line ends before it.
  std::uint64_t at = size > 0 ? size - 1 : 0;
  int seen = 0;
  char buffer[65536];
  while (at > 0) {
    const std::uint64_t from = at > sizeof buffer ? at - sizeof buffer : 0;
    const auto n = file.ReadAt(from, std::span(buffer, static_cast<std::size_t>(at - from)));
    if (!n || *n == 0) return 0;
    for (std::size_t i = *n; i-- > 0;) {
      if (buffer[i] == '\n' && ++seen == count) return from + i + 1;
    }
    at = from;
  }
  return 0;
}

/// The size up to the last line end (an unfinished line is not shown yet).
std::uint64_t CompleteSize(const FollowedFile& file, std::uint64_t size) {
  char c = 0;
  while (size > 0) {
    const auto n = file.ReadAt(size - 1, std::span(&c, 1));
    if (n && *n == 1 && c == '\n') break;
    --size;
  }
  return size;
}

int Show(const Console& console, const LogArgs& args) {
  const std::string path = PathOf(args.file);
  auto opened = FollowedFile::Open(path);
  FollowedFile file = opened ? std::move(*opened) : FollowedFile();
  if (!file && !args.follow) {
    return Fail(console, kFailed, "no " + args.file + " log at " + path + " (has a manager run with this TELMO_LOG_DIR?)",
                {{"path", path}});
  }
  std::uint64_t offset = 0;
  std::string partial;
  if (file) {
    const std::uint64_t end = CompleteSize(file, file.Size());
    offset = StartOfLastLines(file, end, args.lines);
    std::vector<std::string> lines;
    std::string text(static_cast<std::size_t>(end - offset), '\0');
    if (!text.empty()) {
      const auto got = file.ReadAt(offset, text);
      if (got && *got == text.size()) {
        for (std::size_t at = 0; at < text.size();) {
          const std::size_t stop = text.find('\n', at);
          lines.push_back(text.substr(at, stop - at));
          at = stop + 1;
        }
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
  telmo::platform::FileIdentity open_id = file ? file.Identity() : telmo::platform::FileIdentity{};
  for (;;) {
    if (file) {
      ReadOn(file, &offset, &partial, emit);
      std::fflush(stdout);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto now = telmo::platform::LookAtFile(path);
    if (now && (!file || now->identity != open_id)) {
      // Rotated (or created): finish the old file, then read the new one from its start.
      if (file) ReadOn(file, &offset, &partial, emit);
      auto next = FollowedFile::Open(path);
      if (!next) continue;
      file = std::move(*next);
      open_id = file.Identity();
      offset = 0;
      partial.clear();
    } else if (now && now->size < offset) {
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
