// Files and directories through the system's own calls. The system matches
// the search patterns and keeps every attribute (SYSTEM included); paths may
// use "/" or "\" (the system takes both).
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <random>
#include <utility>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/win32/native.h"
#include "platform/win_error.h"

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

}  // namespace telmo::platform
