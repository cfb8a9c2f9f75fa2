// Accounts through the system's LogonUserA. Domain "." and the local node
// name mean local accounts, as on Windows; the token is what a component is
// started with (CreateProcessAsUserA).
#include "platform/accounts.h"
#include "platform/win32/native.h"
#include "platform/win_error.h"

BOOL LogonUserA(std::string_view user, std::string_view domain, std::string_view password, DWORD logon_type,
                DWORD logon_provider, TokenHandle& token) {
  namespace win32 = telmo::platform::win32;
  token.reset();
  const std::string name(user);
  const std::string where = domain.empty() ? std::string(".") : std::string(domain);
  win32::Handle h = win32::LogonUserNative(name, where, std::string(password), logon_type, logon_provider);
  if (h == nullptr) return FALSE;  // the system's error stays the last error
  auto result = std::make_unique<AccessToken>();
  result->user = name;
  result->system_token = std::shared_ptr<void>(h, [](void* p) { win32::CloseKernelHandle(p); });
  token = std::move(result);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

namespace telmo::platform {

std::string CurrentUserName() { return win32::UserName(); }

}  // namespace telmo::platform
