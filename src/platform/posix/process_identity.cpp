// What a process is, read through its handle: the program file it runs and
// the mark of the service control manager that started it.
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <string>

#include "platform/paths.h"
#include "platform/posix/process_internal.h"
#include "platform/scm.h"

namespace telmo::platform {
namespace {

constexpr std::size_t kEnvironmentLimit = 8u << 20;

// Whatever was read by pid belonged to the handle's process when that
// process still lives afterwards: its pid cannot have been taken meanwhile.
bool StillLives(const detail::ProcessObject& object) {
  pollfd pfd{object.fd(), POLLIN, 0};
  return ::poll(&pfd, 1, 0) == 0;
}

constexpr int kLineageLimit = 64;

// The process the service control manager records for a running `service`,
// 0 when the service is not running (or not installed).
DWORD RunningServiceProcess(std::string_view service) {
  const std::string name(service);
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return 0;
  SC_HANDLE handle = OpenServiceA(manager, name.c_str(), SERVICE_QUERY_STATUS);
  if (!handle) return 0;
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(handle, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                            &needed) ||
      status.dwCurrentState == SERVICE_STOPPED) {
    return 0;
  }
  return status.dwProcessId;
}

// The parent of `pid` (field 4 of /proc/PID/stat, after the command name in
// parentheses, which may itself hold blanks and parentheses); 0 when unknown.
pid_t ParentOf(pid_t pid) {
  const auto stat = detail::ReadProcFile("/proc/" + std::to_string(pid) + "/stat", 4096);
  if (!stat) return 0;
  const auto close = stat->rfind(')');
  if (close == std::string::npos || close + 4 > stat->size()) return 0;
  // ") S 1234 ..."
  const auto begin = stat->find(' ', close + 2);
  if (begin == std::string::npos) return 0;
  pid_t parent = 0;
  const char* first = stat->data() + begin + 1;
  const auto [end, ec] = std::from_chars(first, stat->data() + stat->size(), parent);
  return ec == std::errc{} && end != first ? parent : 0;
}

}  // namespace

bool RunsProgramFile(const ProcessHandle& process, std::string_view path) {
  if (!process || path.empty()) return false;
  const auto& object = *process.get();
  struct stat program {};
  struct stat running {};
  if (::stat(NativePath(path).c_str(), &program) != 0) return false;
  // The link names the very file the process was started from, even when it
  // has been renamed since; reading it needs the right to inspect the process.
  if (::stat(("/proc/" + std::to_string(object.pid) + "/exe").c_str(), &running) != 0) return false;
  return program.st_dev == running.st_dev && program.st_ino == running.st_ino && StillLives(object);
}

bool StartedForService(const ProcessHandle& process, std::string_view service) {
  if (!process || service.empty()) return false;
  const auto& object = *process.get();
  const auto block = detail::ReadProcFile("/proc/" + std::to_string(object.pid) + "/environ", kEnvironmentLimit);
  if (!block) return false;
  const auto named = detail::EnvironmentValue(*block, kScmServiceVariable);
  if (!named || *named != service) return false;
  // The mark alone can be copied by anyone: the service must also be running
  // now, from the process recorded for it or one of its forebears.
  const DWORD service_pid = RunningServiceProcess(service);
  if (service_pid == 0) return false;
  pid_t pid = object.pid;
  for (int depth = 0; depth < kLineageLimit && pid > 1; ++depth) {
    if (static_cast<DWORD>(pid) == service_pid) return StillLives(object);
    pid = ParentOf(pid);
  }
  return false;
}

}  // namespace telmo::platform
