// Files and directories with Windows semantics. Paths accept "\" and "/".
//  - Directory listing: FindFirstFileA/FindNextFileA over a "dir\pattern"
//    path; the pattern knows "*" and "?" and matches names ignoring letter
//    case, as Windows does. "." and ".." are listed like Windows lists them.
//  - Attributes: FILE_ATTRIBUTE_DIRECTORY for directories; a name that starts
//    with "." is FILE_ATTRIBUTE_HIDDEN; FILE_ATTRIBUTE_SYSTEM is never set
//    (POSIX has no such notion); a plain file with no other attribute is
//    FILE_ATTRIBUTE_NORMAL; a file the process cannot write is also READONLY.
#pragma once

#include <memory>
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
[[nodiscard]] bool MatchesPattern(std::string_view pattern, std::string_view name) noexcept;

/// Writes `content` to `path` so that the old file stays whole on any failure:
/// a temporary file in the same directory, flushed to disk, renamed over the
/// old one. `mode` is the permission of a new file (the old file's own mode
/// is not kept: callers that hold secrets pass 0600).
Result<void> WriteFileAtomically(std::string_view path, std::string_view content, unsigned mode = 0644);
}  // namespace telmo::platform
