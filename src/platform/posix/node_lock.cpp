#include "platform/node_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>

#include "platform/environment.h"
#include "platform/paths.h"
#include "platform/posix/unique_fd.h"
#include "platform/win_error.h"

namespace telmo::platform {

NodeLock::NodeLock(NodeLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

NodeLock& NodeLock::operator=(NodeLock&& other) noexcept {
  if (this != &other) {
    Release();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

NodeLock::~NodeLock() { Release(); }

void NodeLock::Release() noexcept {
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));  // closing the descriptor drops the lock
}

std::string NodeLockPath(std::string_view name) { return JoinPath(StateDir(), std::string(name) + ".lock"); }

Result<NodeLock> TryLockNode(std::string_view name, DWORD* holder_pid) {
  if (holder_pid != nullptr) *holder_pid = 0;
  const std::string path = NodeLockPath(name);
  std::error_code ec;
  std::filesystem::create_directories(StateDir(), ec);
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!fd) return Error{Win32FromErrno(errno)};
  while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return Error{Win32FromErrno(errno)};
    if (holder_pid != nullptr) {
      char text[32] = {};
      const ssize_t n = ::pread(fd.get(), text, sizeof text - 1, 0);
      if (n > 0) *holder_pid = static_cast<DWORD>(std::strtoul(text, nullptr, 10));
    }
    return Error{ERROR_SERVICE_ALREADY_RUNNING};
  }
  // Who holds the node, for whoever finds it taken.
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd.get(), 0) == 0) {
    const ssize_t written = ::pwrite(fd.get(), pid.data(), pid.size(), 0);
    (void)written;
  }
  return NodeLock(fd.release());
}

}  // namespace telmo::platform
