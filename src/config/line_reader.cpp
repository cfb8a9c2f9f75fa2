#include "config/line_reader.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <span>

#include "external/telmo_log.h"

namespace telmo::config {

namespace {
constexpr std::size_t kPiece = 16384;
}  // namespace

std::optional<LineReader> LineReader::Open(std::string_view path, int& error) {
  platform::InputFile file = platform::InputFile::OpenRegular(path, error);
  if (!file) return std::nullopt;
  if (file.size() > kMaxFileSize) {
    error = EFBIG;
    return std::nullopt;
  }
  error = 0;
  return LineReader(std::move(file), std::string(path));
}

LineReader::LineReader(std::string content, std::string name)
    : name_(std::move(name)), buffer_(std::move(content)), at_end_(true) {}

LineReader::LineReader(platform::InputFile file, std::string name) : file_(std::move(file)), name_(std::move(name)) {}

std::string LineReader::ErrorText(int error) {
  if (error == platform::kNotRegularFile) return "Not a regular file";
  return std::strerror(error);
}

bool LineReader::Fill() {
  if (at_end_) return false;
  // What was handed out goes; the part of a line not yet complete stays.
  buffer_.erase(0, pos_);
  pos_ = 0;
  std::array<char, kPiece> piece;
  int error = 0;
  const long n = file_.Read(piece, error);
  if (n < 0) {
    error_ = error;
    at_end_ = true;
    TELMO_MGMT_LogMessage("telmo_manager_utils", "TELMO_MGMT_ReadLine", __LINE__, "Error %s reading file %s\n",
                          ErrorText(error).c_str(), name_.c_str());
    return false;
  }
  if (n == 0) {
    at_end_ = true;
    return false;
  }
  read_ += static_cast<std::size_t>(n);
  if (read_ > kMaxFileSize) {
    error_ = EFBIG;
    at_end_ = true;
    return false;
  }
  buffer_.append(piece.data(), static_cast<std::size_t>(n));
  return true;
}

std::optional<std::string_view> LineReader::NextLine() {
  for (;;) {
    std::size_t feed = buffer_.find('\n', pos_);
    while (feed == std::string::npos && Fill()) feed = buffer_.find('\n', pos_);
    if (error_ != 0) return std::nullopt;
    if (pos_ >= buffer_.size()) return std::nullopt;
    const std::size_t end = feed == std::string::npos ? buffer_.size() : feed;
    std::string_view line = std::string_view(buffer_).substr(pos_, end - pos_);
    pos_ = feed == std::string::npos ? buffer_.size() : feed + 1;
    ++line_number_;
    // The line is a C text: it ends at a NUL byte.
    if (const std::size_t nul = line.find('\0'); nul != std::string_view::npos) line = line.substr(0, nul);
    // Carriage returns at the end of a line are line-end residue, never data:
    // the writer could not write them back.
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    const std::size_t first = line.find_first_not_of(" \t");
    if (first != std::string_view::npos && line[first] == '#') continue;
    return line;
  }
}

}  // namespace telmo::config
