// Files and directories with Windows semantics. Paths accept "\" and "/".
//  - Directory listing: FindFirstFileA/FindNextFileA over a "dir\pattern"
//    path; the pattern knows "*" and "?" and matches names ignoring letter
//    case, as Windows does. "." and ".." are listed like Windows lists them.
//  - Attributes: FILE_ATTRIBUTE_DIRECTORY for directories; a name that starts
//    with "." is FILE_ATTRIBUTE_HIDDEN; FILE_ATTRIBUTE_SYSTEM is never set
//    (POSIX has no such notion); a plain file with no other attribute is
//    FILE_ATTRIBUTE_NORMAL; a file the process cannot write is also READONLY.
#pragma once

#include <cerrno>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/win_types.h"
#include "util/result.h"

inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;
inline constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x2;
inline constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x4;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;

/// MoveFileExA flag: replace an existing target (without it, an existing
/// target fails with ERROR_ALREADY_EXISTS).
inline constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;

struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes = 0;
  std::string cFileName;  ///< name only, no directory
};

namespace telmo::platform::detail {
struct FindState;
}

/// Owns an open directory search.
class FindHandle {
 public:
  FindHandle() noexcept;  // out of line: FindState is complete only there
  explicit FindHandle(std::unique_ptr<telmo::platform::detail::FindState> s);
  FindHandle(FindHandle&&) noexcept;
  FindHandle& operator=(FindHandle&&) noexcept;
  ~FindHandle();
  [[nodiscard]] bool valid() const noexcept { return state_ != nullptr; }
  explicit operator bool() const noexcept { return valid(); }
  [[nodiscard]] telmo::platform::detail::FindState* get() const noexcept { return state_.get(); }
  void reset() noexcept;

 private:
  std::unique_ptr<telmo::platform::detail::FindState> state_;
};

/// Starts a search; an empty handle (last error ERROR_FILE_NOT_FOUND or
/// ERROR_PATH_NOT_FOUND) when nothing matches or the directory is missing.
FindHandle FindFirstFileA(std::string_view path_with_pattern, WIN32_FIND_DATAA* data);
/// FALSE with ERROR_NO_MORE_FILES at the end.
BOOL FindNextFileA(const FindHandle& find, WIN32_FIND_DATAA* data);
BOOL FindClose(FindHandle& find);

DWORD GetFileAttributesA(std::string_view path);
BOOL DeleteFileA(std::string_view path);
BOOL RemoveDirectoryA(std::string_view path);
BOOL CreateDirectoryA(std::string_view path, void* security);
/// The process-wide current directory (with "/" separators).
DWORD GetCurrentDirectoryA(DWORD buffer_length, std::string& out);
BOOL SetCurrentDirectoryA(std::string_view path);
BOOL MoveFileExA(std::string_view from, std::string_view to, DWORD flags);

namespace telmo::platform {
/// True when `name` matches the Windows wildcard `pattern` ("*", "?"), ignoring case.
[[nodiscard]] bool MatchesPattern(std::string_view pattern, std::string_view name);

/// Where WriteFileAtomically failed: creating the temporary file, or writing,
/// flushing or renaming it.
enum class WriteFailure { kNone, kCreate, kWrite };

/// Writes `content` to `path` so that the old file stays whole on any failure:
/// a temporary file ".NAME.XXXXXX" in the same directory, flushed to disk,
/// renamed over the old one. `mode` is the permission of a new file (the old
/// file's own mode is not kept: callers that hold secrets pass 0600). A
/// symbolic link at `path` is replaced by the new file. On failure `failure`
/// (when given) tells the stage.
Result<void> WriteFileAtomically(std::string_view path, std::string_view content, unsigned mode = 0644,
                                 WriteFailure* failure = nullptr);

/// The same for a file that is rewritten rather than replaced: the new file
/// keeps the old one's permission, and when `path` is a symbolic link the
/// file it leads to is rewritten (its temporary file beside it) and the link
/// stays. A path that names no file yet is written as WriteFileAtomically
/// does, with 0644.
Result<void> RewriteFileAtomically(std::string_view path, std::string_view content, WriteFailure* failure = nullptr);

/// True when `path` names a regular file (not a symbolic link) of this
/// process's user, with permission `mode`, that holds exactly `content`:
/// writing it again would change nothing on disk.
[[nodiscard]] bool FileHolds(std::string_view path, std::string_view content, unsigned mode);

/// A file open for reading, closed with the object. Error numbers are the C
/// library's (errno), as its fopen would report them.
class InputFile {
 public:
  InputFile() noexcept = default;
  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&& other) noexcept;
  ~InputFile();

  /// Opens `path` for reading without ever blocking (an open of a FIFO that
  /// has no writer would wait forever) and keeps it only when it is a
  /// regular file; anything else (a FIFO, a device, a socket, a directory)
  /// fails with kNotRegularFile. Symbolic links are followed.
  static InputFile OpenRegular(std::string_view path, int& error);
  /// The size the file had when it was opened.
  [[nodiscard]] std::uint64_t size() const noexcept { return size_; }
  /// Reads at most `buffer.size()` bytes: their count, 0 at the end of the
  /// file, -1 with `error` on failure.
  long Read(std::span<char> buffer, int& error) noexcept;
  explicit operator bool() const noexcept { return fd_ >= 0; }

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

/// The error number InputFile::OpenRegular gives for a path that names no
/// regular file.
inline constexpr int kNotRegularFile = EINVAL;

/// The bytes of a file; the Win32 error of the failure otherwise
/// (ERROR_FILE_NOT_FOUND when it is missing).
[[nodiscard]] Result<std::string> ReadWholeFile(std::string_view path);

/// An exclusive lock on a lock file, held until the object is destroyed
/// (flock: it serialises processes as well as threads that each take their
/// own). The lock file is created when missing; its directory must exist.
class ExclusiveFileLock {
 public:
  ExclusiveFileLock() noexcept = default;
  ExclusiveFileLock(ExclusiveFileLock&& other) noexcept;
  ExclusiveFileLock& operator=(ExclusiveFileLock&& other) noexcept;
  ExclusiveFileLock(const ExclusiveFileLock&) = delete;
  ExclusiveFileLock& operator=(const ExclusiveFileLock&) = delete;
  ~ExclusiveFileLock();

  /// Waits for the lock on `lock_path`.
  [[nodiscard]] static Result<ExclusiveFileLock> Acquire(std::string_view lock_path);

 private:
  int fd_ = -1;
};

/// True when `path` exists and, with every symbolic link on the way
/// resolved, is `directory` (resolved the same way) or lies below it. Paths
/// that would lead out of a directory by a link or by ".." are not inside it.
[[nodiscard]] bool ResolvesInside(std::string_view path, std::string_view directory);

namespace detail {
/// Test hook: called by WriteFileAtomically with the target path after the
/// temporary file is written and before it is renamed; a result other than
/// 0 is taken as the errno of a failed rename (the old file stays). Null to
/// remove.
using AtomicWriteHook = int (*)(std::string_view path);
void SetAtomicWriteHook(AtomicWriteHook hook) noexcept;
}  // namespace detail
}  // namespace telmo::platform
