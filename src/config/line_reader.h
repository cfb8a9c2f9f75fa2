// The line reader of the manager's text files: the server files, the
// management parameters file and the files the line replacement rewrites.
//
// A physical line is read whole, whatever its length (callers that can write
// back only shorter lines check the length themselves); the line feed is
// removed, and the carriage returns before it too (the text mode of the
// files' home system turns "\r\n" into "\n"; further ones could not be
// written back). A line ends at a NUL byte. A line whose first character that
// is not a blank or tab is "#" is a comment; comments and empty lines are
// skipped but counted.
//
// A file is opened without blocking and only when it is a regular file, and
// is read in pieces up to kMaxFileSize bytes: a FIFO, a device or a huge file
// named like a configuration file can neither hang nor exhaust the manager.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/files.h"

namespace telmo::config {

class LineReader {
 public:
  /// The largest file read: a configuration file is small.
  static constexpr std::size_t kMaxFileSize = std::size_t{1} << 20;
  /// The longest line the manager writes back to a server or parameters file.
  static constexpr std::size_t kMaxLine = 1023;

  /// Opens `path` ("\" or "/" separators). nullopt when it cannot be opened,
  /// is no regular file (platform::kNotRegularFile) or is larger than
  /// kMaxFileSize (EFBIG), with `error` the error number.
  static std::optional<LineReader> Open(std::string_view path, int& error);
  /// A reader over text already in memory; `name` is used in messages.
  LineReader(std::string content, std::string name);

  /// The next line that is neither empty nor a comment; nullopt at the end
  /// of the file, or when reading failed (error()). The view stays valid
  /// until the next call.
  std::optional<std::string_view> NextLine();
  /// Physical lines read so far (skipped ones included).
  [[nodiscard]] int line_number() const noexcept { return line_number_; }
  [[nodiscard]] const std::string& name() const noexcept { return name_; }
  /// 0, or the error number that ended the reading before the end of the
  /// file: a read error (logged as "Error %s reading file %s\n"), or EFBIG
  /// for a file that grew past kMaxFileSize while it was read.
  [[nodiscard]] int error() const noexcept { return error_; }

  /// The text of an error number from Open or error() for log lines.
  [[nodiscard]] static std::string ErrorText(int error);

 private:
  LineReader(platform::InputFile file, std::string name);
  // Reads the next piece of the file into the buffer; false at the end.
  bool Fill();

  platform::InputFile file_;
  std::string name_;
  std::string buffer_;   ///< bytes read and not yet handed out start at pos_
  std::size_t pos_ = 0;
  std::size_t read_ = 0;  ///< bytes read from the file so far
  bool at_end_ = false;
  int error_ = 0;
  int line_number_ = 0;
};

}  // namespace telmo::config
