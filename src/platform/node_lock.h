// One manager per node: an exclusive lock (flock; LockFileEx on Windows) on a
// file in the state directory
// ($TELMO_STATE_DIR, the node), held as long as its NodeLock lives and
// released by the system whenever the process ends, however it ends. The
// descriptor is close-on-exec: a started component never holds the node.
#pragma once

#include <string>
#include <string_view>

#include "platform/win_types.h"
#include "util/result.h"

namespace telmo::platform {

class NodeLock {
 public:
  NodeLock() = default;
  NodeLock(NodeLock&& other) noexcept;
  NodeLock& operator=(NodeLock&& other) noexcept;
  NodeLock(const NodeLock&) = delete;
  NodeLock& operator=(const NodeLock&) = delete;
  ~NodeLock();

  [[nodiscard]] bool held() const noexcept { return fd_ >= 0; }
  /// Releases the lock (a held lock is released by the destructor too).
  void Release() noexcept;

 private:
  friend Result<NodeLock> TryLockNode(std::string_view name, DWORD* holder_pid);
  explicit NodeLock(int fd) noexcept : fd_(fd) {}
  int fd_ = -1;
};

/// The lock file of `name` in the state directory (its path for messages).
[[nodiscard]] std::string NodeLockPath(std::string_view name);

/// Takes the lock `name` without waiting and writes this process's id into
/// its file. Errors: ERROR_SERVICE_ALREADY_RUNNING when another process holds
/// it (its id in `holder_pid` when given and known, else 0); the Win32 error
/// of the file otherwise (a missing state directory is created first).
[[nodiscard]] Result<NodeLock> TryLockNode(std::string_view name, DWORD* holder_pid = nullptr);

}  // namespace telmo::platform
