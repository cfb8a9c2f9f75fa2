// The node's lock file held with LockFileEx. The lock covers one byte far past
// the end of the file, so that whoever finds the node taken can still read the
// holder's process id at its start (Windows locks keep others from reading
// the bytes they cover).
#include "platform/node_lock.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>

#include "platform/environment.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/win32/native.h"
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
  if (fd_ >= 0) ::_close(std::exchange(fd_, -1));  // closing the file drops the lock
}

std::string NodeLockPath(std::string_view name) { return JoinPath(StateDir(), std::string(name) + ".lock"); }

Result<NodeLock> TryLockNode(std::string_view name, DWORD* holder_pid) {
  if (holder_pid != nullptr) *holder_pid = 0;
  const std::string path = NodeLockPath(name);
  std::error_code ec;
  std::filesystem::create_directories(StateDir(), ec);
  int fd = -1;
  if (::_sopen_s(&fd, path.c_str(), _O_RDWR | _O_CREAT | _O_BINARY | _O_NOINHERIT, _SH_DENYNO,
                 _S_IREAD | _S_IWRITE) != 0) {
    return Error{Win32FromErrno(errno)};
  }
  NodeLock lock(fd);
  const auto handle = reinterpret_cast<win32::Handle>(::_get_osfhandle(fd));
  if (!win32::TryLockFarByte(handle)) {
    const DWORD error = GetLastError();
    // ERROR_LOCK_VIOLATION (33): another process holds it.
    if (error != 33) return Error{error};
    if (holder_pid != nullptr) {
      char text[32] = {};
      ::_lseek(fd, 0, SEEK_SET);
      const int n = ::_read(fd, text, sizeof text - 1);
      if (n > 0) *holder_pid = static_cast<DWORD>(std::strtoul(text, nullptr, 10));
    }
    return Error{ERROR_SERVICE_ALREADY_RUNNING};
  }
  // Who holds the node, for whoever finds it taken.
  const std::string pid = std::to_string(GetCurrentProcessId()) + "\n";
  if (::_chsize(fd, 0) == 0 && ::_lseek(fd, 0, SEEK_SET) == 0) {
    const int written = ::_write(fd, pid.data(), static_cast<unsigned>(pid.size()));
    (void)written;
  }
  return lock;
}

}  // namespace telmo::platform
