// Accounts: LogonUserA verifies a password (PAM on Linux, the system's own
// LogonUserA on Windows) and yields a token that carries the account's uid,
// gid and groups on Linux, the system's logon token on Windows. Domain "." or the local node name
// means local accounts; any other domain cannot be reached (1355). Every
// failure to authenticate is ERROR_LOGON_FAILURE (1326).
//
// PAM service: "telmo" (TELMO_PAM_SERVICE overrides it); TELMO_PAM_CONFDIR, when
// set, is the directory of PAM service files to use instead of the system's
// (pam_start_confdir), which is how tests use pam_permit/pam_deny.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win_types.h"

inline constexpr DWORD LOGON32_LOGON_INTERACTIVE = 2;
inline constexpr DWORD LOGON32_LOGON_SERVICE = 5;
inline constexpr DWORD LOGON32_PROVIDER_DEFAULT = 0;

/// What a logon yields: the identity a child process takes on.
struct AccessToken {
  std::string user;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::vector<std::uint32_t> groups;  ///< supplementary groups (initgroups)
  std::string home;
  /// The system's logon token (Windows; closed with the last copy); empty on Linux.
  std::shared_ptr<void> system_token;
};

/// Owning token handle: empty means no token (the "0" of a Windows handle).
using TokenHandle = std::unique_ptr<AccessToken>;

/// On success fills `token` and returns TRUE; else FALSE with the last error set.
BOOL LogonUserA(std::string_view user, std::string_view domain, std::string_view password, DWORD logon_type,
                DWORD logon_provider, TokenHandle& token);

namespace telmo::platform {
/// The name of the account this process runs as ("" when it cannot be told).
[[nodiscard]] std::string CurrentUserName();
}  // namespace telmo::platform

/// Releases a token (CloseHandle of a token handle).
inline BOOL CloseHandle(TokenHandle& token) {
  token.reset();
  return TRUE;
}
