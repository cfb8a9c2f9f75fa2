#include "platform/sysinfo.h"

#include <malloc.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "platform/environment.h"
#include "platform/win_error.h"

namespace telmo::platform {
namespace {

constexpr DWORD kShellMajor = 6;
constexpr DWORD kShellMinor = 1;

bool HostIs64Bit() {
  utsname u{};
  if (::uname(&u) != 0) return sizeof(void*) == 8;
  const std::string_view m = u.machine;
  return m == "x86_64" || m == "aarch64" || m == "arm64" || m == "ppc64" || m == "ppc64le" || m == "s390x" ||
         m == "riscv64" || m == "loongarch64" || m == "mips64";
}

bool ParseNumber(std::string_view text, DWORD& out) {
  if (text.empty()) return false;
  const auto* end = text.data() + text.size();
  const auto [p, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc() && p == end && out <= 0xFFFF;
}

}  // namespace

Result<std::string> ModuleFileName() {
  std::string path(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
    if (n < 0) return Error{Win32FromErrno(errno)};
    if (static_cast<std::size_t>(n) < path.size()) {
      path.resize(static_cast<std::size_t>(n));
      return path;
    }
    path.resize(path.size() * 2);  // readlink fills the buffer when the path may be longer
  }
}

DWORD ShellVersion() {
  DLLVERSIONINFO info;
  info.cbSize = sizeof info;
  if (DllGetVersion(&info) != NOERROR) return 0;
  return (info.dwMajorVersion << 16) | (info.dwMinorVersion & 0xFFFF);
}

std::uint64_t RaiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur;
}

void KeepFreedMemoryForReuse(std::size_t largest) {
#ifdef __GLIBC__
  // Blocks up to twice the largest frame come from the heap, not from a
  // mapping of their own, and the heap keeps four times that free at its
  // top: a frame, its payload and their copies fit without a page fault.
  const auto mapped = static_cast<int>(std::min<std::size_t>(largest * 2, 32u << 20));
  ::mallopt(M_MMAP_THRESHOLD, mapped);
  ::mallopt(M_TRIM_THRESHOLD, mapped * 2);
#else
  (void)largest;
#endif
}

Result<void> EnablePrivilege(std::string_view name) {
  if (name.empty()) return Error{ERROR_INVALID_PARAMETER};
  return {};
}

}  // namespace telmo::platform

int TELMO_IsWow64() {
  if (const auto v = telmo::platform::LookupEnvironment("TELMO_WOW64")) {
    if (*v == "1") return 1;
    if (*v == "0") return 0;
  }
  return telmo::platform::HostIs64Bit() ? 1 : 0;
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
  DWORD major = telmo::platform::kShellMajor;
  DWORD minor = telmo::platform::kShellMinor;
  if (const auto v = telmo::platform::LookupEnvironment("TELMO_SHELL_VERSION")) {
    const std::string_view text = *v;
    const auto dot = text.find('.');
    if (dot == std::string_view::npos || !telmo::platform::ParseNumber(text.substr(0, dot), major) ||
        !telmo::platform::ParseNumber(text.substr(dot + 1), minor)) {
      return E_FAIL;
    }
  }
  info->dwMajorVersion = major;
  info->dwMinorVersion = minor;
  info->dwBuildNumber = 0;
  info->dwPlatformID = DLLVER_PLATFORM_NT;
  return NOERROR;
}
