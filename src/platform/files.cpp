// What files.h means on every system: the Windows wildcard rules.
#include <cctype>

#include "platform/files.h"

namespace telmo::platform {
namespace {

char Upper(char c) noexcept { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

// "*" matches any run of characters, "?" exactly one; letter case is ignored.
bool GlobMatch(std::string_view pattern, std::string_view name) noexcept {
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t star = std::string_view::npos;
  std::size_t resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (p < pattern.size() && (pattern[p] == '?' || Upper(pattern[p]) == Upper(name[n]))) {
      ++p;
      ++n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace

bool MatchesPattern(std::string_view pattern, std::string_view name) {
  if (GlobMatch(pattern, name)) return true;
  // Windows lets a trailing ".*" match no extension at all: "*.*" lists every
  // name, "readme.*" also finds "readme".
  if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == ".*") {
    return GlobMatch(pattern.substr(0, pattern.size() - 2), name);
  }
  return false;
}

}  // namespace telmo::platform
