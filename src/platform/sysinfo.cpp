// System information on every system: the test overrides and the Windows
// buffer rules. What the system itself answers is the backend's
// (sysinfo_system.cpp).
#include "platform/sysinfo.h"

#include <charconv>
#include <cstring>

#include "platform/environment.h"
#include "platform/win_error.h"

namespace telmo::platform {
namespace {

bool ParseNumber(std::string_view text, DWORD& out) {
  if (text.empty()) return false;
  const auto* end = text.data() + text.size();
  const auto [p, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc() && p == end && out <= 0xFFFF;
}

}  // namespace

DWORD ShellVersion() {
  DLLVERSIONINFO info;
  info.cbSize = sizeof info;
  if (DllGetVersion(&info) != NOERROR) return 0;
  return (info.dwMajorVersion << 16) | (info.dwMinorVersion & 0xFFFF);
}

}  // namespace telmo::platform

int TELMO_IsWow64() {
  if (const auto v = telmo::platform::LookupEnvironment("TELMO_WOW64")) {
    if (*v == "1") return 1;
    if (*v == "0") return 0;
  }
  return telmo::platform::detail::SystemIsWow64() ? 1 : 0;
}

DWORD GetModuleFileNameA(const void* module, char* buffer, DWORD size) {
  if (module != nullptr) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
  }
  if (buffer == nullptr && size > 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto path = telmo::platform::ModuleFileName();
  if (!path) {
    SetLastError(path.error());
    return 0;
  }
  if (size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path->size() >= size) {
    std::memcpy(buffer, path->data(), size - 1);
    buffer[size - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(buffer, path->data(), path->size());
  buffer[path->size()] = '\0';
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(path->size());
}

LONG DllGetVersion(DLLVERSIONINFO* info) {
  if (info == nullptr || info->cbSize != sizeof(DLLVERSIONINFO)) return E_INVALIDARG;
  DWORD major = 0;
  DWORD minor = 0;
  DWORD build = 0;
  if (const auto v = telmo::platform::LookupEnvironment("TELMO_SHELL_VERSION")) {
    const std::string_view text = *v;
    const auto dot = text.find('.');
    if (dot == std::string_view::npos || !telmo::platform::ParseNumber(text.substr(0, dot), major) ||
        !telmo::platform::ParseNumber(text.substr(dot + 1), minor)) {
      return E_FAIL;
    }
  } else if (!telmo::platform::detail::SystemShellVersion(&major, &minor, &build)) {
    return E_FAIL;
  }
  info->dwMajorVersion = major;
  info->dwMinorVersion = minor;
  info->dwBuildNumber = build;
  info->dwPlatformID = DLLVER_PLATFORM_NT;
  return NOERROR;
}
