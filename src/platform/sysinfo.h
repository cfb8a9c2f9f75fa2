// System information the manager asks Windows for.
//  - TELMO_IsWow64: 1 when the process runs as a 32-bit program on 64-bit
//    Windows. The manager is built as a 32-bit program, so on a 64-bit host it
//    answers 1, which makes the manager add KEY_WOW64_32KEY to its registry
//    opens (harmless here: one registry view). TELMO_WOW64="0"/"1" in the
//    environment overrides the answer (tests of both views).
//  - GetModuleFileNameA: the running program's own path (/proc/self/exe).
//  - DllGetVersion stands in for the one of Shell32.dll: version 6.1, above
//    6.0, so the launch verb is "runas". TELMO_SHELL_VERSION="MAJOR.MINOR"
//    overrides it; a text that is not such a version makes the call fail, as
//    a missing library would.
//  - EnablePrivilege stands in for enabling a Windows privilege such as
//    "SeDebugPrivilege". It always succeeds: the manager needs that privilege
//    on Windows to open and end its components' processes, and on Linux it
//    only signals and waits for its own children (pidfds), which needs no
//    privilege at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/win_types.h"
#include "util/result.h"

int TELMO_IsWow64();

/// Only the own program (`module` null) is known: another module fails with
/// ERROR_CALL_NOT_IMPLEMENTED. Windows buffer rules: the length copied
/// (without the NUL); a buffer too small receives size-1 characters and a NUL,
/// and the call returns `size` with ERROR_INSUFFICIENT_BUFFER; 0 on failure.
DWORD GetModuleFileNameA(const void* module, char* buffer, DWORD size);

/// The record DllGetVersion fills: 20 bytes, cbSize set by the caller.
struct DLLVERSIONINFO {
  DWORD cbSize = 0;
  DWORD dwMajorVersion = 0;
  DWORD dwMinorVersion = 0;
  DWORD dwBuildNumber = 0;
  DWORD dwPlatformID = 0;
};
static_assert(sizeof(DLLVERSIONINFO) == 20);
inline constexpr LONG NOERROR = 0;
inline constexpr LONG E_INVALIDARG = static_cast<LONG>(0x80070057u);
inline constexpr LONG E_FAIL = static_cast<LONG>(0x80004005u);
inline constexpr DWORD DLLVER_PLATFORM_NT = 2;

/// NOERROR and the version; E_INVALIDARG when cbSize is not 20; E_FAIL when
/// the TELMO_SHELL_VERSION override is not a version.
LONG DllGetVersion(DLLVERSIONINFO* info);

namespace telmo::platform {

/// The program's own path, whatever its length.
[[nodiscard]] Result<std::string> ModuleFileName();

/// (major << 16) | (minor & 0xFFFF) of the shell; 0 when it cannot be told.
[[nodiscard]] DWORD ShellVersion();

/// Always succeeds for a named privilege (see above); ERROR_INVALID_PARAMETER
/// for an empty name.
Result<void> EnablePrivilege(std::string_view name);

/// Raises the soft limit of open descriptors to the hard limit. Every
/// component the manager supervises holds a process descriptor, so the
/// usual soft limit of 1024 would cap a node at a few hundred servers.
/// Returns the limit now in force.
std::uint64_t RaiseOpenFileLimit();

/// Lets the allocator keep the memory of a request's large buffers (a
/// listing of a whole node, a configuration, up to a frame of `largest`
/// bytes) for the next request instead of giving it back to the system and
/// faulting it in again each time. The transport gives idle memory back on
/// its own schedule.
void KeepFreedMemoryForReuse(std::size_t largest);

namespace detail {
// The system's answers (sysinfo_system.cpp of the backend).
/// True when this process runs as a 32-bit program on a 64-bit system.
[[nodiscard]] bool SystemIsWow64();
/// The shell library's version; false when it cannot be told.
bool SystemShellVersion(DWORD* major, DWORD* minor, DWORD* build);
}  // namespace detail

}  // namespace telmo::platform
