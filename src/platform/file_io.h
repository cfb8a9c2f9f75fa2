// Plain file input and output for the messaging library, the event log and
// the registry: what the C library does differently on each system.
//  - AppendFile: every Write lands whole at the end of the file, also between
//    processes (O_APPEND; FILE_APPEND_DATA on Windows). Never inherited by
//    child processes.
//  - FollowedFile: a file read by offset while others may go on writing it,
//    rename it or delete it (a log being followed).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "util/result.h"

namespace telmo::platform {

class AppendFile {
 public:
  AppendFile() noexcept = default;
  /// Opens (creates) `path` for appending; Win32 error on failure.
  [[nodiscard]] static Result<AppendFile> Open(const std::string& path);
  AppendFile(AppendFile&& other) noexcept;
  AppendFile& operator=(AppendFile&& other) noexcept;
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;
  ~AppendFile();

  [[nodiscard]] bool valid() const noexcept { return native_ != kInvalid; }
  explicit operator bool() const noexcept { return valid(); }
  /// One write of all of `bytes`.
  Result<void> Write(std::string_view bytes);
  /// The file's size now (0 when it cannot be told).
  [[nodiscard]] std::uint64_t Size() const;
  void Close() noexcept;

 private:
  static constexpr std::intptr_t kInvalid = -1;
  std::intptr_t native_ = kInvalid;  ///< descriptor or HANDLE
};

/// Which file a path stands for: device and inode (volume serial number and
/// file index on Windows). A file renamed away and a new one made under its
/// name differ.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool operator==(const FileIdentity&) const = default;
};

class FollowedFile {
 public:
  FollowedFile() noexcept = default;
  /// Opens `path` for reading; Win32 error on failure (ERROR_FILE_NOT_FOUND
  /// when it does not exist). Never waits for the writer of a FIFO, never
  /// inherited by child processes.
  [[nodiscard]] static Result<FollowedFile> Open(const std::string& path);
  FollowedFile(FollowedFile&& other) noexcept;
  FollowedFile& operator=(FollowedFile&& other) noexcept;
  FollowedFile(const FollowedFile&) = delete;
  FollowedFile& operator=(const FollowedFile&) = delete;
  ~FollowedFile();

  [[nodiscard]] bool valid() const noexcept { return native_ != kInvalid; }
  explicit operator bool() const noexcept { return valid(); }
  /// Reads at most `buffer.size()` bytes at `offset`: the count, 0 at the
  /// end; the Win32 error on failure.
  [[nodiscard]] Result<std::size_t> ReadAt(std::uint64_t offset, std::span<char> buffer) const;
  /// The file's size now (0 when it cannot be told).
  [[nodiscard]] std::uint64_t Size() const;
  [[nodiscard]] FileIdentity Identity() const;
  /// A plain file (not a directory, FIFO, device...).
  [[nodiscard]] bool IsRegular() const;

 private:
  static constexpr std::intptr_t kInvalid = -1;
  std::intptr_t native_ = kInvalid;  ///< descriptor or HANDLE
};

/// The identity and size of the file `path` names; nullopt when there is none.
struct FileFacts {
  FileIdentity identity;
  std::uint64_t size = 0;
};
[[nodiscard]] std::optional<FileFacts> LookAtFile(const std::string& path);

/// Empties `path` for a new writer and keeps what it held as "`path`.1",
/// dropping what that held. Where the system can swap two names the same two
/// files are reused, so that a node starting hundreds of components does not
/// make and delete a file for each. Nothing to do (true) when `path` does
/// not exist; false when it could not be done.
[[nodiscard]] bool RenewKeepingPrevious(const std::string& path);

/// The local time now as "YYYY-MM-DD HH:MM:SS.mmm".
[[nodiscard]] std::string LocalTimestamp();

}  // namespace telmo::platform
