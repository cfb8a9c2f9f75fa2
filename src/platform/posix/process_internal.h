// What the POSIX process files share: the process object behind a handle and
// the registry of the manager's own children.
//
// Ownership: every child the manager starts is entered in the registry, which
// holds it until the child has been reaped. Reaping happens in whichever place
// first sees the child ended (the reaper thread, GetExitCodeProcess, a wait),
// always under the registry lock, so a pid in the registry is never recycled.
#pragma once

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <csignal>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/posix/unique_fd.h"
#include "platform/process.h"

namespace telmo::platform::detail {

// pidfds through the system calls themselves: this C library declares its
// wrappers without C linkage, so C++ code cannot link against them.
// A pidfd is always close-on-exec.
inline int PidfdOpen(pid_t pid) noexcept { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
inline int PidfdSendSignal(int pidfd, int sig) noexcept {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

/// One child of the manager. Fields other than pid and pidfd are guarded by
/// the registry lock.
struct ChildState {
  pid_t pid = 0;
  UniqueFd pidfd;  ///< the registry's own pidfd, polled by the reaper
  bool ended = false;
  DWORD exit_code = 0;
  std::optional<UINT> terminate_code;  ///< set by TerminateProcess
};

struct ProcessObject {
  pid_t pid = 0;
  UniqueFd pidfd;                      ///< this handle's own pidfd, if it has one
  std::shared_ptr<ChildState> child;   ///< set when the process is our child

  /// The pidfd to use: the handle's own, else (the first handle to a child
  /// the manager started) the child's, which stays open as long as the
  /// handle holds the child.
  [[nodiscard]] int fd() const noexcept { return pidfd ? pidfd.get() : child ? child->pidfd.get() : -1; }
};

/// Takes a freshly started child into the registry (and the reaper's care)
/// and returns the first handle to it. `pidfd` refers to the child.
[[nodiscard]] ProcessHandle AdoptChild(pid_t pid, UniqueFd pidfd);

/// Reads a small /proc file whole (at most `limit` bytes); nullopt when it
/// cannot be opened or read.
[[nodiscard]] std::optional<std::string> ReadProcFile(const std::string& path, std::size_t limit);

/// The value of `name` in a NUL-separated environment block, nullopt when
/// the block does not define it.
[[nodiscard]] std::optional<std::string_view> EnvironmentValue(std::string_view block, std::string_view name);

}  // namespace telmo::platform::detail
