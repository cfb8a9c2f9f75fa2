#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <utility>

#include "platform/win_error.h"

namespace telmo::platform {

Result<AppendFile> AppendFile::Open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
  if (fd < 0) return Error{Win32FromErrno(errno)};
  AppendFile file;
  file.native_ = fd;
  return file;
}

AppendFile::AppendFile(AppendFile&& other) noexcept : native_(std::exchange(other.native_, kInvalid)) {}
AppendFile& AppendFile::operator=(AppendFile&& other) noexcept {
  if (this != &other) {
    Close();
    native_ = std::exchange(other.native_, kInvalid);
  }
  return *this;
}
AppendFile::~AppendFile() { Close(); }

void AppendFile::Close() noexcept {
  if (native_ != kInvalid) ::close(static_cast<int>(std::exchange(native_, kInvalid)));
}

Result<void> AppendFile::Write(std::string_view bytes) {
  if (!valid()) return Error{ERROR_INVALID_HANDLE};
  // One write per record: O_APPEND keeps records of concurrent writers whole.
  while (!bytes.empty()) {
    const ssize_t n = ::write(static_cast<int>(native_), bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error{Win32FromErrno(errno)};
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

std::uint64_t AppendFile::Size() const {
  struct stat st {};
  if (!valid() || ::fstat(static_cast<int>(native_), &st) != 0) return 0;
  return static_cast<std::uint64_t>(st.st_size);
}

Result<FollowedFile> FollowedFile::Open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return Error{Win32FromErrno(errno)};
  FollowedFile file;
  file.native_ = fd;
  return file;
}

FollowedFile::FollowedFile(FollowedFile&& other) noexcept : native_(std::exchange(other.native_, kInvalid)) {}
FollowedFile& FollowedFile::operator=(FollowedFile&& other) noexcept {
  if (this != &other) {
    if (native_ != kInvalid) ::close(static_cast<int>(native_));
    native_ = std::exchange(other.native_, kInvalid);
  }
  return *this;
}
FollowedFile::~FollowedFile() {
  if (native_ != kInvalid) ::close(static_cast<int>(native_));
}

Result<std::size_t> FollowedFile::ReadAt(std::uint64_t offset, std::span<char> buffer) const {
  if (!valid()) return Error{ERROR_INVALID_HANDLE};
  for (;;) {
    const ssize_t n = ::pread(static_cast<int>(native_), buffer.data(), buffer.size(), static_cast<off_t>(offset));
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return Error{Win32FromErrno(errno)};
  }
}

std::uint64_t FollowedFile::Size() const {
  struct stat st {};
  if (!valid() || ::fstat(static_cast<int>(native_), &st) != 0) return 0;
  return static_cast<std::uint64_t>(st.st_size);
}

FileIdentity FollowedFile::Identity() const {
  struct stat st {};
  if (!valid() || ::fstat(static_cast<int>(native_), &st) != 0) return {};
  return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

bool FollowedFile::IsRegular() const {
  struct stat st {};
  return valid() && ::fstat(static_cast<int>(native_), &st) == 0 && S_ISREG(st.st_mode);
}

bool RenewKeepingPrevious(const std::string& path) {
  const std::string previous = path + ".1";
  if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, previous.c_str(), RENAME_EXCHANGE) != 0) {
    // No earlier file to swap with (or a file system that cannot swap).
    return ::rename(path.c_str(), previous.c_str()) == 0 || errno == ENOENT;
  }
  // The name now holds the file before last. Only a plain file is emptied
  // and reused; anything else put there is removed and a new file is made.
  const int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat facts {};
  const bool reused = fd >= 0 && ::fstat(fd, &facts) == 0 && S_ISREG(facts.st_mode) && ::ftruncate(fd, 0) == 0;
  if (fd >= 0) ::close(fd);
  return reused || ::unlink(path.c_str()) == 0;
}

std::optional<FileFacts> LookAtFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileFacts{{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)},
                   static_cast<std::uint64_t>(st.st_size)};
}

std::string LocalTimestamp() {
  timeval tv{};
  ::gettimeofday(&tv, nullptr);
  std::tm tm{};
  ::localtime_r(&tv.tv_sec, &tm);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(tv.tv_usec / 1000));
  return buf;
}

}  // namespace telmo::platform
