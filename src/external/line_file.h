// The text files the library keeps (the services file, the logical device
// store): read whole, one entry a line, every other line kept as it stands,
// written back whole. Internal to the library.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/win_error.h"
#include "util/result.h"

namespace telmo::detail {

template <typename Entry>
struct LineFile {
  struct Line {
    std::string text;            ///< as in the file, without its line end
    std::optional<Entry> entry;  ///< set for a line that is an entry
  };
  std::vector<Line> lines;

  [[nodiscard]] std::string Text() const {
    std::string out;
    for (const auto& l : lines) {
      out += l.text;
      out += '\n';
    }
    return out;
  }
};

/// The lines of `path`, each given to `parse` (std::optional<Entry>(std::string_view)).
/// A missing file is an empty one; the Win32 error when it exists and cannot
/// be read (a change must then not go on, or it would lose its lines).
template <typename Entry, typename Parse>
Result<LineFile<Entry>> LoadLineFile(const std::string& path, Parse parse) {
  LineFile<Entry> file;
  auto text = platform::ReadWholeFile(path);
  if (!text) {
    if (text.error() == ERROR_FILE_NOT_FOUND) return file;
    return Error{text.error()};
  }
  std::size_t pos = 0;
  while (pos < text->size()) {
    std::size_t end = text->find('\n', pos);
    if (end == std::string::npos) end = text->size();
    typename LineFile<Entry>::Line line{text->substr(pos, end - pos), std::nullopt};
    line.entry = parse(std::string_view(line.text));
    file.lines.push_back(std::move(line));
    pos = end + 1;
  }
  return file;
}

}  // namespace telmo::detail
