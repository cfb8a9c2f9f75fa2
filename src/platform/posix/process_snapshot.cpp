// The process snapshot and the search for marked processes, both over /proc.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/posix/process_internal.h"
#include "platform/win_error.h"
#include "util/text.h"

namespace telmo::platform::detail {

struct Snapshot {
  std::vector<PROCESSENTRY32> entries;
  std::size_t next = 0;
};

std::optional<std::string> ReadProcFile(const std::string& path, std::size_t limit) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  std::string content;
  char buffer[4096];
  while (content.size() < limit) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(std::min<std::size_t>(static_cast<std::size_t>(n), limit - content.size())));
  }
  return content;
}

std::optional<std::string_view> EnvironmentValue(std::string_view block, std::string_view name) {
  while (!block.empty()) {
    const auto end = block.find('\0');
    const std::string_view entry = block.substr(0, end);
    if (entry.size() > name.size() && entry[name.size()] == '=' && entry.substr(0, name.size()) == name) {
      return entry.substr(name.size() + 1);
    }
    if (end == std::string_view::npos) break;
    block.remove_prefix(end + 1);
  }
  return std::nullopt;
}

namespace {

constexpr std::size_t kEnvironmentLimit = 8u << 20;

/// The pids listed in /proc, in the order the directory gives them.
std::vector<pid_t> ListPids() {
  std::vector<pid_t> pids;
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) return pids;
  while (const dirent* e = ::readdir(dir)) {
    const std::string_view name(e->d_name);
    pid_t pid = 0;
    const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (ec == std::errc{} && end == name.data() + name.size() && pid > 0) pids.push_back(pid);
  }
  ::closedir(dir);
  return pids;
}

/// The image name of a process: the file name of its executable; where that
/// cannot be read (a kernel thread, another account's process), the file
/// name of its command line's first word, then its command name.
std::optional<std::string> ImageName(pid_t pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  std::string target(PATH_MAX, '\0');
  const ssize_t n = ::readlink((base + "/exe").c_str(), target.data(), target.size());
  if (n > 0) {
    target.resize(static_cast<std::size_t>(n));
    // The link of a program whose file was replaced or removed since it started.
    constexpr std::string_view kDeleted = " (deleted)";
    if (target.ends_with(kDeleted)) target.resize(target.size() - kDeleted.size());
    return std::string(PathTail(target));
  }
  if (auto cmdline = ReadProcFile(base + "/cmdline", 64 * 1024)) {
    const std::string_view first(cmdline->c_str());
    if (!first.empty()) return std::string(PathTail(first));
  }
  if (auto comm = ReadProcFile(base + "/comm", 256)) {
    while (!comm->empty() && comm->back() == '\n') comm->pop_back();
    return *comm;
  }
  return std::nullopt;  // gone meanwhile
}

/// The image name the environment of `pid` carries in this manager's marker
/// (`directory`); nullopt for a process without it. A process whose
/// environment cannot be read is never taken for marked.
std::optional<std::string> MarkerImage(pid_t pid, const std::string& directory) {
  const auto block = ReadProcFile("/proc/" + std::to_string(pid) + "/environ", kEnvironmentLimit);
  if (!block) return std::nullopt;
  const auto marked_by = EnvironmentValue(*block, kMarkerDirectoryVariable);
  const auto marked_image = EnvironmentValue(*block, kMarkerImageVariable);
  if (!marked_by || !marked_image || *marked_by != directory || marked_image->empty()) return std::nullopt;
  return std::string(*marked_image);
}

/// Whether the environment of `pid` carries this manager's marker for `image`.
bool EnvironmentMarked(pid_t pid, std::string_view image, const std::string& directory) {
  const auto marked_image = MarkerImage(pid, directory);
  return marked_image && EqualsIgnoreCase(*marked_image, image);
}

}  // namespace
}  // namespace telmo::platform::detail

using telmo::platform::detail::Snapshot;

SnapshotHandle CreateToolhelp32Snapshot(DWORD flags, DWORD /*process_id*/) {
  if ((flags & TH32CS_SNAPPROCESS) == 0) {
    // Module, heap and thread lists have no use here.
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return {};
  }
  auto snapshot = std::make_shared<Snapshot>();
  for (const pid_t pid : telmo::platform::detail::ListPids()) {
    if (auto image = telmo::platform::detail::ImageName(pid)) {
      snapshot->entries.push_back(PROCESSENTRY32{static_cast<DWORD>(pid), std::move(*image)});
    }
  }
  return SnapshotHandle(std::move(snapshot));
}

BOOL Process32First(const SnapshotHandle& snapshot, PROCESSENTRY32* entry) {
  if (!snapshot || entry == nullptr) {
    SetLastError(snapshot ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  snapshot.get()->next = 0;
  return Process32Next(snapshot, entry);
}

BOOL Process32Next(const SnapshotHandle& snapshot, PROCESSENTRY32* entry) {
  if (!snapshot || entry == nullptr) {
    SetLastError(snapshot ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  Snapshot& s = *snapshot.get();
  if (s.next >= s.entries.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  *entry = s.entries[s.next++];
  return TRUE;
}

BOOL CloseHandle(SnapshotHandle& snapshot) {
  if (!snapshot) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  snapshot.reset();
  return TRUE;
}

namespace telmo::platform {

std::map<std::string, std::vector<DWORD>> MarkedProcessesByImage() {
  std::map<std::string, std::vector<DWORD>> found;
  const std::string directory = MarkerDirectory();
  const pid_t self = ::getpid();
  for (const pid_t pid : detail::ListPids()) {
    if (pid == self) continue;
    if (auto image = detail::MarkerImage(pid, directory)) found[ToUpper(*image)].push_back(static_cast<DWORD>(pid));
  }
  return found;
}

std::vector<DWORD> FindMarkedProcesses(std::string_view image) {
  if (image.empty()) return {};
  auto all = MarkedProcessesByImage();
  const auto it = all.find(ToUpper(image));
  return it == all.end() ? std::vector<DWORD>{} : std::move(it->second);
}

bool CarriesMarker(const ProcessHandle& process, std::string_view image) {
  if (!process || image.empty()) return false;
  const auto* object = process.get();
  if (object->pid == ::getpid()) return false;
  if (!detail::EnvironmentMarked(object->pid, image, MarkerDirectory())) return false;
  // The environment was read by pid. Still alive now, the process of the
  // handle held that pid the whole time, so what was read was its own.
  pollfd pfd{object->fd(), POLLIN, 0};
  return ::poll(&pfd, 1, 0) == 0;
}

}  // namespace telmo::platform

namespace telmo::platform {

std::string CommandInterpreter() { return "/bin/sh"; }
std::string ScriptArguments(std::string_view path) { return QuoteArgument(NativePath(path)); }

}  // namespace telmo::platform
