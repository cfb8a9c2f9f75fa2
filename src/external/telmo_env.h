// The product's environment: libk42's lookup and the messaging library's
// environment record and file-name expansion.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

/// libk42's lookup: the value of a configuration name (process environment,
/// then $TELMO_STATE_DIR/environment, then the contract defaults); nullopt
/// when the name is not defined (TELMOMGMT and TELMOIODATA have no default).
[[nodiscard]] std::optional<std::string> k42_getenv(std::string_view name);

/// The environment record of the messaging library. `base_directory` is the
/// product's base directory ($TELMOROOT) and ends in a path separator.
struct TelmoEnvironment {
  std::string base_directory;
};
void TELMO_CLIENT_ENVIRONMENT(TelmoEnvironment& env);

/// Expands the %NAME% references of `text` into `out`. False when a name is
/// not defined or the result would not fit `capacity` bytes (NUL included);
/// `out` then holds the text with the undefined names left as written.
bool TELMO_MGMT_ExpandFileName(std::string_view text, std::string& out, std::size_t capacity = 1024);
