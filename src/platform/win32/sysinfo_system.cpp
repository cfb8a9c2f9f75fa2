// System information from Windows itself: the program's path, WOW64, the
// version of Shell32.dll and the process token's privileges.
#include "platform/sysinfo.h"
#include "platform/win32/native.h"
#include "platform/win_error.h"

namespace telmo::platform {

Result<std::string> ModuleFileName() {
  std::string path = win32::ModulePath();
  if (path.empty()) return Error{GetLastError()};
  return path;
}

std::uint64_t RaiseOpenFileLimit() {
  // Windows has no per-process cap on kernel handles to raise (the system's
  // is about 16 million per process).
  return 16u * 1024u * 1024u;
}

// The Windows heap keeps freed blocks for reuse on its own (the
// low-fragmentation heap); there is nothing to tune.
void KeepFreedMemoryForReuse(std::size_t /*largest*/) {}

Result<void> EnablePrivilege(std::string_view name) {
  if (name.empty()) return Error{ERROR_INVALID_PARAMETER};
  const DWORD error = win32::EnableTokenPrivilege(std::string(name));
  if (error != ERROR_SUCCESS) return Error{error};
  return {};
}

namespace detail {

bool SystemIsWow64() { return win32::IsWow64() == 1; }

bool SystemShellVersion(DWORD* major, DWORD* minor, DWORD* build) {
  return win32::ShellDllVersion(major, minor, build);
}

}  // namespace detail
}  // namespace telmo::platform
