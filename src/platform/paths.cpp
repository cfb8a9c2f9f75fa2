#include "platform/paths.h"

namespace telmo::platform {

std::string NativePath(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

std::string_view PathTail(std::string_view path) noexcept {
  const auto pos = path.find_last_of("\\/");
  return pos == std::string_view::npos ? path : path.substr(pos + 1);
}

std::string_view PathHead(std::string_view path) noexcept {
  const auto pos = path.find_last_of("\\/");
  return pos == std::string_view::npos ? std::string_view{} : path.substr(0, pos + 1);
}

std::string JoinPath(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && !IsSeparator(out.back())) out += '/';
  out += name;
  return out;
}

}  // namespace telmo::platform
