// The parts of processes that do not depend on the system: the Windows
// command-line rules and the marker directory.
#include <string>

#include "platform/environment.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace telmo::platform {

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> out;
  std::size_t i = 0;
  const std::size_t n = line.size();
  for (;;) {
    while (i < n && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= n) break;
    std::string arg;
    bool quoted = false;
    while (i < n) {
      const char c = line[i];
      if (!quoted && (c == ' ' || c == '\t')) break;
      if (c == '\\') {
        std::size_t j = i;
        while (j < n && line[j] == '\\') ++j;
        const std::size_t count = j - i;
        if (j < n && line[j] == '"') {
          arg.append(count / 2, '\\');
          if (count % 2 == 1) {
            arg += '"';
            ++j;
          }
        } else {
          arg.append(count, '\\');
        }
        i = j;
        continue;
      }
      if (c == '"') {
        if (quoted && i + 1 < n && line[i + 1] == '"') {  // "" inside quotes: one literal quote
          arg += '"';
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      arg += c;
      ++i;
    }
    out.push_back(std::move(arg));
  }
  return out;
}

std::string QuoteArgument(std::string_view argument) {
  if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string_view::npos) {
    return std::string(argument);
  }
  std::string out = "\"";
  for (std::size_t i = 0;; ++i) {
    std::size_t backslashes = 0;
    while (i < argument.size() && argument[i] == '\\') {
      ++backslashes;
      ++i;
    }
    if (i == argument.size()) {
      // Doubled, so that none of them escapes the closing quote.
      out.append(backslashes * 2, '\\');
      break;
    }
    if (argument[i] == '"') {
      out.append(backslashes * 2 + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    out += argument[i];
  }
  out += '"';
  return out;
}

std::string MarkerDirectory() {
  auto directory = LookupEnvironment("TELMOMGMT");
  std::string path = NativePath(directory && !directory->empty() ? *directory : StateDir());
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace telmo::platform
