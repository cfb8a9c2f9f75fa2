// Small operations on Windows services and files: start a service of
// automatic start type that is not running (and wait until it runs), stop a
// service (and wait until it has stopped), delete a file with a log line,
// rewrite the matching lines of a text file. None reports failure to its
// caller: each logs what went wrong and returns.
#pragma once

#include <string_view>

#include "platform/win_types.h"

void StartWindowsService(std::string_view service_name);
void StopWindowsService(std::string_view service_name);
void DeleteFileLogged(std::string_view file, const char* directory, bool log);
/// Replaces every line holding `first` (and `second`, when given) by
/// `replacement`; comment and empty lines are dropped. Written through a
/// temporary file renamed over the original.
void ReplaceMatchingLines(std::string_view path, std::string_view first, const char* second,
                          std::string_view replacement);

namespace telmo::housekeeping {
/// A tenth of the wait hint, at least 1000 and at most 10000 milliseconds.
[[nodiscard]] constexpr DWORD PollInterval(DWORD wait_hint) noexcept {
  const DWORD tenth = wait_hint / 10;
  return tenth < 1000 ? 1000 : (tenth > 10000 ? 10000 : tenth);
}
}  // namespace telmo::housekeeping
