// Files and directories on POSIX with the Windows semantics of files.h.
//
// What does not map one to one:
//  - A search reads the directory's matching names when it starts and returns
//    them sorted (upper-case order, as NTFS lists them), so a listing is stable
//    and deleting entries while walking it is safe. Attributes are read when an
//    entry is returned; an entry that has vanished by then is passed over.
//  - Symbolic links are followed for attributes (a link to a directory is a
//    directory); a dangling link is listed as a plain file.
//  - READONLY is given to files only: a directory the process cannot write is
//    still a plain directory (0x10), as directories are on Windows.
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/posix/unique_fd.h"
#include "platform/win_error.h"

namespace telmo::platform::detail {

struct FindState {
  UniqueFd dir;
  std::vector<std::string> names;
  std::size_t next = 0;
};

}  // namespace telmo::platform::detail

using telmo::platform::UniqueFd;
using telmo::platform::detail::FindState;

FindHandle::FindHandle() noexcept = default;
FindHandle::FindHandle(std::unique_ptr<FindState> s) : state_(std::move(s)) {}
FindHandle::FindHandle(FindHandle&&) noexcept = default;
FindHandle& FindHandle::operator=(FindHandle&&) noexcept = default;
FindHandle::~FindHandle() = default;
void FindHandle::reset() noexcept { state_.reset(); }

namespace {

char Upper(char c) noexcept { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

bool IsDotEntry(std::string_view name) noexcept { return name == "." || name == ".."; }

DWORD AttributesOf(const struct stat& st, std::string_view name, bool writable) noexcept {
  DWORD attributes = 0;
  if (S_ISDIR(st.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  if (!name.empty() && name.front() == '.' && !IsDotEntry(name)) attributes |= FILE_ATTRIBUTE_HIDDEN;
  if (!S_ISDIR(st.st_mode) && !writable) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

// Attributes of `name` inside the open directory; false when it has gone.
bool EntryAttributes(int dir, const std::string& name, DWORD& attributes) noexcept {
  struct stat st {};
  int follow = 0;
  if (::fstatat(dir, name.c_str(), &st, 0) != 0) {
    follow = AT_SYMLINK_NOFOLLOW;  // a dangling link: the link itself
    if (::fstatat(dir, name.c_str(), &st, follow) != 0) return false;
  }
  const bool writable = ::faccessat(dir, name.c_str(), W_OK, AT_EACCESS | follow) == 0;
  attributes = AttributesOf(st, name, writable);
  return true;
}

bool NextEntry(FindState& state, WIN32_FIND_DATAA* data) {
  while (state.next < state.names.size()) {
    const std::string& name = state.names[state.next++];
    DWORD attributes = 0;
    if (!EntryAttributes(state.dir.get(), name, attributes)) continue;
    if (data != nullptr) {
      data->dwFileAttributes = attributes;
      data->cFileName = name;
    }
    return true;
  }
  return false;
}

bool NtfsOrder(const std::string& a, const std::string& b) noexcept {
  const auto upper_less = [](char x, char y) { return Upper(x) < Upper(y); };
  if (std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), upper_less)) return true;
  if (std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end(), upper_less)) return false;
  return a < b;
}

void RecordErrno(int err) noexcept {
  errno = err;
  telmo::platform::SetLastErrorFromErrno();
}

}  // namespace

FindHandle FindFirstFileA(std::string_view path_with_pattern, WIN32_FIND_DATAA* data) {
  const std::string_view pattern = telmo::platform::PathTail(path_with_pattern);
  const std::string_view head = telmo::platform::PathHead(path_with_pattern);
  const std::string dir_path = head.empty() ? std::string(".") : telmo::platform::NativePath(head);
  if (pattern.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return {};
  }

  auto state = std::make_unique<FindState>();
  state->dir.reset(::open(dir_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!state->dir) {
    // A directory that is not there is a path that is not found, as on Windows.
    if (errno == ENOENT || errno == ENOTDIR) {
      SetLastError(ERROR_PATH_NOT_FOUND);
    } else {
      telmo::platform::SetLastErrorFromErrno();
    }
    return {};
  }
  // fdopendir takes the descriptor it is given; the search keeps its own for fstatat.
  const int listing_fd = ::fcntl(state->dir.get(), F_DUPFD_CLOEXEC, 0);
  if (listing_fd < 0) {
    telmo::platform::SetLastErrorFromErrno();
    return {};
  }
  DIR* listing = ::fdopendir(listing_fd);
  if (listing == nullptr) {
    const int err = errno;
    ::close(listing_fd);
    RecordErrno(err);
    return {};
  }
  const std::unique_ptr<DIR, int (*)(DIR*)> listing_owner(listing, ::closedir);
  errno = 0;
  while (const dirent* entry = ::readdir(listing)) {
    if (telmo::platform::MatchesPattern(pattern, entry->d_name)) state->names.emplace_back(entry->d_name);
    errno = 0;
  }
  if (errno != 0) {
    telmo::platform::SetLastErrorFromErrno();
    return {};
  }
  std::sort(state->names.begin(), state->names.end(), NtfsOrder);

  if (!NextEntry(*state, data)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return {};
  }
  SetLastError(ERROR_SUCCESS);
  return FindHandle(std::move(state));
}

BOOL FindNextFileA(const FindHandle& find, WIN32_FIND_DATAA* data) {
  if (!find) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!NextEntry(*find.get(), data)) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  return TRUE;
}

BOOL FindClose(FindHandle& find) {
  if (!find) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  find.reset();
  return TRUE;
}

DWORD GetFileAttributesA(std::string_view path) {
  const std::string native = telmo::platform::NativePath(path);
  struct stat st {};
  if (native.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (::stat(native.c_str(), &st) != 0) {
    telmo::platform::SetLastErrorFromErrno();
    return INVALID_FILE_ATTRIBUTES;
  }
  std::string_view trimmed = path;
  while (trimmed.size() > 1 && telmo::platform::IsSeparator(trimmed.back())) trimmed.remove_suffix(1);
  const bool writable = ::faccessat(AT_FDCWD, native.c_str(), W_OK, AT_EACCESS) == 0;
  return AttributesOf(st, telmo::platform::PathTail(trimmed), writable);
}

BOOL DeleteFileA(std::string_view path) {
  const std::string native = telmo::platform::NativePath(path);
  if (::unlink(native.c_str()) != 0) {
    telmo::platform::SetLastErrorFromErrno();
    return FALSE;
  }
  return TRUE;
}

BOOL RemoveDirectoryA(std::string_view path) {
  const std::string native = telmo::platform::NativePath(path);
  if (::rmdir(native.c_str()) != 0) {
    telmo::platform::SetLastErrorFromErrno();
    return FALSE;
  }
  return TRUE;
}

BOOL CreateDirectoryA(std::string_view path, void* /*security*/) {
  const std::string native = telmo::platform::NativePath(path);
  if (::mkdir(native.c_str(), 0777) != 0) {
    telmo::platform::SetLastErrorFromErrno();
    return FALSE;
  }
  return TRUE;
}

DWORD GetCurrentDirectoryA(DWORD buffer_length, std::string& out) {
  std::vector<char> buffer(PATH_MAX);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE || buffer.size() >= (1u << 20)) {
      telmo::platform::SetLastErrorFromErrno();
      return 0;
    }
    buffer.resize(buffer.size() * 2);
  }
  const std::string_view cwd(buffer.data());
  // As on Windows: a buffer too small for the text and its NUL gets nothing,
  // and the size it would need is returned.
  if (cwd.size() + 1 > buffer_length) return static_cast<DWORD>(cwd.size() + 1);
  out.assign(cwd);
  return static_cast<DWORD>(cwd.size());
}

BOOL SetCurrentDirectoryA(std::string_view path) {
  const std::string native = telmo::platform::NativePath(path);
  if (::chdir(native.c_str()) != 0) {
    telmo::platform::SetLastErrorFromErrno();
    return FALSE;
  }
  return TRUE;
}

BOOL MoveFileExA(std::string_view from, std::string_view to, DWORD flags) {
  const std::string source = telmo::platform::NativePath(from);
  const std::string target = telmo::platform::NativePath(to);
  if ((flags & MOVEFILE_REPLACE_EXISTING) != 0) {
    if (::rename(source.c_str(), target.c_str()) != 0) {
      telmo::platform::SetLastErrorFromErrno();
      return FALSE;
    }
    return TRUE;
  }
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return TRUE;
  if (errno != EINVAL && errno != ENOSYS) {
    telmo::platform::SetLastErrorFromErrno();
    return FALSE;
  }
  // The file system cannot refuse to replace by itself: test first (racy, but
  // only on file systems without RENAME_NOREPLACE).
  struct stat st {};
  if (::lstat(target.c_str(), &st) == 0) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  if (::rename(source.c_str(), target.c_str()) != 0) {
    telmo::platform::SetLastErrorFromErrno();
    return FALSE;
  }
  return TRUE;
}

namespace telmo::platform {

namespace {

std::atomic<detail::AtomicWriteHook> gAtomicWriteHook{nullptr};

Error FailWith(int err) noexcept {
  RecordErrno(err);
  return Error{Win32FromErrno(err)};
}

bool WriteAll(int fd, std::string_view content) noexcept {
  while (!content.empty()) {
    const ssize_t n = ::write(fd, content.data(), content.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    content.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

Result<void> WriteFileAtomically(std::string_view path, std::string_view content, unsigned mode,
                                 WriteFailure* failure) {
  WriteFailure scratch = WriteFailure::kNone;
  WriteFailure& stage = failure != nullptr ? *failure : scratch;
  stage = WriteFailure::kCreate;
  const std::string target = NativePath(path);
  const std::string_view name = PathTail(target);
  if (name.empty()) return FailWith(EISDIR);
  const std::string dir_path = PathHead(target).empty() ? std::string(".") : std::string(PathHead(target));

  const UniqueFd dir(::open(dir_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return FailWith(errno);

  // The temporary name starts with "." and ends in random letters, so no
  // listing pattern of the manager ("*.csd", ...) ever picks it up.
  std::string temp = std::string(PathHead(target)) + "." + std::string(name) + ".XXXXXX";
  UniqueFd file(::mkostemp(temp.data(), O_CLOEXEC));
  if (!file) return FailWith(errno);

  const auto fail = [&](int err) {
    file.reset();
    ::unlink(temp.c_str());
    return FailWith(err);
  };
  if (::fchmod(file.get(), static_cast<mode_t>(mode & 07777)) != 0) return fail(errno);
  stage = WriteFailure::kWrite;
  if (!WriteAll(file.get(), content)) return fail(errno);
  if (::fsync(file.get()) != 0) return fail(errno);
  if (::close(file.release()) != 0) return fail(errno);
  if (const auto hook = gAtomicWriteHook.load(); hook != nullptr) {
    if (const int injected = hook(path); injected != 0) return fail(injected);
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) return fail(errno);
  // The rename is durable only once the directory itself is on disk.
  if (::fsync(dir.get()) != 0 && errno != EINVAL) return FailWith(errno);
  stage = WriteFailure::kNone;
  return {};
}

Result<void> RewriteFileAtomically(std::string_view path, std::string_view content, WriteFailure* failure) {
  const std::string native = NativePath(path);
  const std::unique_ptr<char, void (*)(void*)> resolved(::realpath(native.c_str(), nullptr), std::free);
  struct stat st {};
  if (!resolved || ::stat(resolved.get(), &st) != 0) return WriteFileAtomically(path, content, 0644, failure);
  return WriteFileAtomically(resolved.get(), content, st.st_mode & 07777, failure);
}

bool FileHolds(std::string_view path, std::string_view content, unsigned mode) {
  const UniqueFd fd(::open(NativePath(path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
      (st.st_mode & 07777) != (mode & 07777) || static_cast<std::uint64_t>(st.st_size) != content.size()) {
    return false;
  }
  // One byte more than expected tells a file that grew meanwhile.
  std::string on_disk(content.size() + 1, '\0');
  std::size_t have = 0;
  while (have < on_disk.size()) {
    const ssize_t n = ::read(fd.get(), on_disk.data() + have, on_disk.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    have += static_cast<std::size_t>(n);
  }
  return have == content.size() && std::string_view(on_disk.data(), have) == content;
}

InputFile::InputFile(InputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(std::exchange(other.size_, 0)) {}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

InputFile::~InputFile() {
  if (fd_ >= 0) ::close(fd_);
}

InputFile InputFile::OpenRegular(std::string_view path, int& error) {
  const std::string native = NativePath(path);
  UniqueFd fd(::open(native.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) {
    error = errno;
    return {};
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    error = errno;
    return {};
  }
  if (!S_ISREG(st.st_mode)) {
    error = kNotRegularFile;
    return {};
  }
  error = 0;
  InputFile file;
  file.fd_ = fd.release();
  file.size_ = static_cast<std::uint64_t>(st.st_size);
  return file;
}

long InputFile::Read(std::span<char> buffer, int& error) noexcept {
  for (;;) {
    const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    error = errno;
    return -1;
  }
}

Result<std::string> ReadWholeFile(std::string_view path) {
  const std::string native = NativePath(path);
  UniqueFd fd(::open(native.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return Error{Win32FromErrno(errno)};
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error{Win32FromErrno(errno)};
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

ExclusiveFileLock::ExclusiveFileLock(ExclusiveFileLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

ExclusiveFileLock& ExclusiveFileLock::operator=(ExclusiveFileLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

ExclusiveFileLock::~ExclusiveFileLock() {
  if (fd_ >= 0) ::close(fd_);  // closing the descriptor releases the lock
}

Result<ExclusiveFileLock> ExclusiveFileLock::Acquire(std::string_view lock_path) {
  const std::string native = NativePath(lock_path);
  UniqueFd fd(::open(native.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!fd) return Error{Win32FromErrno(errno)};
  while (::flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return Error{Win32FromErrno(errno)};
  }
  ExclusiveFileLock lock;
  lock.fd_ = fd.release();
  return lock;
}

bool ResolvesInside(std::string_view path, std::string_view directory) {
  const std::string native_path = NativePath(path);
  const std::string native_dir = NativePath(directory);
  char resolved_path[PATH_MAX];
  char resolved_dir[PATH_MAX];
  if (::realpath(native_path.c_str(), resolved_path) == nullptr) return false;
  if (::realpath(native_dir.c_str(), resolved_dir) == nullptr) return false;
  const std::string_view inner(resolved_path);
  std::string_view outer(resolved_dir);
  if (inner == outer) return true;
  if (outer == "/") return true;
  return inner.size() > outer.size() && inner.substr(0, outer.size()) == outer && inner[outer.size()] == '/';
}

namespace detail {
void SetAtomicWriteHook(AtomicWriteHook hook) noexcept { gAtomicWriteHook.store(hook); }
}  // namespace detail

}  // namespace telmo::platform
