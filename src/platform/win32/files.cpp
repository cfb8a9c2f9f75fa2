// Files and directories through the system's own calls. The system matches
// the search patterns and keeps every attribute (SYSTEM included); paths may
// use "/" or "\" (the system takes both).
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <cerrno>
#include <memory>
#include <random>
#include <utility>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/win32/native.h"
#include "platform/win_error.h"
#include "util/text.h"

namespace telmo::platform::detail {

struct FindState {
  win32::Handle handle = nullptr;
  FindState() = default;
  FindState(const FindState&) = delete;
  FindState& operator=(const FindState&) = delete;
  ~FindState() {
    if (!win32::IsInvalid(handle)) win32::FindCloseNative(handle);
  }
};

}  // namespace telmo::platform::detail

using telmo::platform::detail::FindState;
namespace win32 = telmo::platform::win32;

FindHandle::FindHandle() noexcept = default;
FindHandle::FindHandle(std::unique_ptr<FindState> s) : state_(std::move(s)) {}
FindHandle::FindHandle(FindHandle&&) noexcept = default;
FindHandle& FindHandle::operator=(FindHandle&&) noexcept = default;
FindHandle::~FindHandle() = default;
void FindHandle::reset() noexcept { state_.reset(); }

namespace {

std::string Native(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  return out;
}

void Fill(const win32::FindEntry& entry, WIN32_FIND_DATAA* data) {
  if (data == nullptr) return;
  data->dwFileAttributes = entry.attributes;
  data->cFileName = entry.name;
}

}  // namespace

FindHandle FindFirstFileA(std::string_view path_with_pattern, WIN32_FIND_DATAA* data) {
  win32::FindEntry entry;
  auto state = std::make_unique<FindState>();
  state->handle = win32::FindFirst(Native(path_with_pattern), &entry);
  if (win32::IsInvalid(state->handle)) return {};
  Fill(entry, data);
  return FindHandle(std::move(state));
}

BOOL FindNextFileA(const FindHandle& find, WIN32_FIND_DATAA* data) {
  if (!find) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  win32::FindEntry entry;
  if (!win32::FindNext(find.get()->handle, &entry)) return FALSE;
  Fill(entry, data);
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

DWORD GetFileAttributesA(std::string_view path) { return win32::FileAttributes(Native(path)); }
BOOL DeleteFileA(std::string_view path) { return win32::DeleteFileNative(Native(path)) ? TRUE : FALSE; }
BOOL RemoveDirectoryA(std::string_view path) { return win32::RemoveDirectoryNative(Native(path)) ? TRUE : FALSE; }
BOOL CreateDirectoryA(std::string_view path, void* /*security*/) {
  return win32::CreateDirectoryNative(Native(path)) ? TRUE : FALSE;
}

DWORD GetCurrentDirectoryA(DWORD buffer_length, std::string& out) {
  std::string dir = win32::CurrentDirectory();
  if (dir.empty()) return 0;
  for (char& c : dir) {
    if (c == '\\') c = '/';
  }
  const auto needed = static_cast<DWORD>(dir.size() + 1);
  if (buffer_length < needed) return needed;
  out = std::move(dir);
  return needed - 1;
}

BOOL SetCurrentDirectoryA(std::string_view path) {
  return win32::SetCurrentDirectoryNative(Native(path)) ? TRUE : FALSE;
}

BOOL MoveFileExA(std::string_view from, std::string_view to, DWORD flags) {
  return win32::MoveFileNative(Native(from), Native(to), flags) ? TRUE : FALSE;
}

namespace telmo::platform {

namespace {
std::atomic<detail::AtomicWriteHook> gAtomicWriteHook{nullptr};
}  // namespace

Result<void> WriteFileAtomically(std::string_view path, std::string_view content, unsigned /*mode*/,
                                 WriteFailure* failure) {
  // Permissions come from the folder's access list on Windows; `mode` has
  // no meaning here.
  WriteFailure scratch = WriteFailure::kNone;
  WriteFailure& stage = failure != nullptr ? *failure : scratch;
  stage = WriteFailure::kCreate;
  const std::string target = Native(path);
  const std::string_view name = PathTail(target);
  if (name.empty()) return Error{ERROR_ACCESS_DENIED};
  static thread_local std::minstd_rand random{std::random_device{}()};
  // The temporary name starts with "." and ends in random digits, so no
  // listing pattern of the manager ("*.csd", ...) ever picks it up.
  const std::string temp =
      std::string(PathHead(target)) + "." + std::string(name) + "." + std::to_string(random() % 1000000);
  if (!win32::WriteNewFile(temp, content)) {
    const DWORD error = GetLastError();
    if (error != ERROR_ACCESS_DENIED && error != ERROR_PATH_NOT_FOUND) stage = WriteFailure::kWrite;
    win32::DeleteFileNative(temp);
    return Error{error};
  }
  if (const auto hook = gAtomicWriteHook.load(); hook != nullptr) {
    if (const int injected = hook(path); injected != 0) {
      win32::DeleteFileNative(temp);
      stage = WriteFailure::kWrite;
      return Error{Win32FromErrno(injected)};
    }
  }
  // MOVEFILE_WRITE_THROUGH (8): the call returns once the rename is on disk.
  if (!win32::MoveFileNative(temp, target, MOVEFILE_REPLACE_EXISTING | 0x8)) {
    const DWORD error = GetLastError();
    win32::DeleteFileNative(temp);
    stage = WriteFailure::kWrite;
    SetLastError(error);
    return Error{error};
  }
  stage = WriteFailure::kNone;
  return {};
}

Result<void> RewriteFileAtomically(std::string_view path, std::string_view content, WriteFailure* failure) {
  return WriteFileAtomically(path, content, 0644, failure);
}

InputFile::InputFile(InputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(std::exchange(other.size_, 0)) {}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::_close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

InputFile::~InputFile() {
  if (fd_ >= 0) ::_close(fd_);
}

InputFile InputFile::OpenRegular(std::string_view path, int& error) {
  const std::string native = Native(path);
  const int fd = ::_open(native.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (fd < 0) {
    error = errno;
    return {};
  }
  InputFile file;
  file.fd_ = fd;
  struct _stat64 st {};
  if (::_fstat64(fd, &st) != 0) {
    error = errno;
    return {};
  }
  if ((st.st_mode & _S_IFMT) != _S_IFREG) {
    error = kNotRegularFile;
    return {};
  }
  error = 0;
  file.size_ = static_cast<std::uint64_t>(st.st_size);
  return file;
}

long InputFile::Read(std::span<char> buffer, int& error) noexcept {
  const unsigned count = static_cast<unsigned>(std::min<std::size_t>(buffer.size(), 1u << 30));
  const int n = ::_read(fd_, buffer.data(), count);
  if (n >= 0) return static_cast<long>(n);
  error = errno;
  return -1;
}

// Windows keeps no POSIX permission bits: the file must be a plain file (no
// link) that holds exactly `content`.
bool FileHolds(std::string_view path, std::string_view content, unsigned /*mode*/) {
  constexpr DWORD kReparsePoint = 0x400;
  const DWORD attributes = win32::FileAttributes(Native(path));
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & (FILE_ATTRIBUTE_DIRECTORY | kReparsePoint)) != 0) {
    return false;
  }
  int error = 0;
  InputFile file = InputFile::OpenRegular(path, error);
  if (!file || file.size() != content.size()) return false;
  // One byte more than expected tells a file that grew meanwhile.
  std::string on_disk(content.size() + 1, '\0');
  std::size_t have = 0;
  while (have < on_disk.size()) {
    const long n = file.Read(std::span<char>(on_disk).subspan(have), error);
    if (n < 0) return false;
    if (n == 0) break;
    have += static_cast<std::size_t>(n);
  }
  return have == content.size() && std::string_view(on_disk.data(), have) == content;
}

Result<std::string> ReadWholeFile(std::string_view path) {
  const std::string native = Native(path);
  const int fd = ::_open(native.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (fd < 0) return Error{Win32FromErrno(errno)};
  std::string text;
  char buffer[65536];
  for (;;) {
    const int n = ::_read(fd, buffer, sizeof buffer);
    if (n < 0) {
      const int error = errno;
      ::_close(fd);
      return Error{Win32FromErrno(error)};
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::_close(fd);
  return text;
}

ExclusiveFileLock::ExclusiveFileLock(ExclusiveFileLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

ExclusiveFileLock& ExclusiveFileLock::operator=(ExclusiveFileLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::_close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

ExclusiveFileLock::~ExclusiveFileLock() {
  if (fd_ >= 0) ::_close(fd_);  // closing the handle under it releases the lock
}

Result<ExclusiveFileLock> ExclusiveFileLock::Acquire(std::string_view lock_path) {
  win32::Handle h = win32::LockFileExclusive(Native(lock_path));
  if (win32::IsInvalid(h)) return Error{GetLastError()};
  const int fd = ::_open_osfhandle(reinterpret_cast<std::intptr_t>(h), _O_RDWR | _O_NOINHERIT);
  if (fd < 0) {
    win32::CloseKernelHandle(h);
    return Error{ERROR_TOO_MANY_OPEN_FILES};
  }
  ExclusiveFileLock lock;
  lock.fd_ = fd;
  return lock;
}

// Windows compares paths ignoring letter case; links and ".." are resolved first.
bool ResolvesInside(std::string_view path, std::string_view directory) {
  std::error_code ec;
  const auto inner = std::filesystem::canonical(std::filesystem::path(Native(path)), ec);
  if (ec) return false;
  const auto outer = std::filesystem::canonical(std::filesystem::path(Native(directory)), ec);
  if (ec) return false;
  const std::string in = ToUpper(inner.string());
  const std::string out = ToUpper(outer.string());
  if (in == out) return true;
  if (!out.empty() && out.back() == '\\') return in.starts_with(out);  // a drive's root
  return in.size() > out.size() && in.starts_with(out) && in[out.size()] == '\\';
}

namespace detail {
void SetAtomicWriteHook(AtomicWriteHook hook) noexcept { gAtomicWriteHook.store(hook); }
}  // namespace detail

}  // namespace telmo::platform
