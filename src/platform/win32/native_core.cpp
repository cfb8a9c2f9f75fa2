// Errors, time, synchronisation, system information and files: the system
// calls behind native.h.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <process.h>
#include <shlwapi.h>

#include <cstring>

#include "platform/win32/native.h"

namespace telmo::platform::win32 {

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(CriticalSectionStorage));
static_assert(sizeof(DWORD) == sizeof(u32));

void CloseKernelHandle(Handle h) noexcept {
  if (!IsInvalid(h)) ::CloseHandle(h);
}
bool IsInvalid(Handle h) noexcept { return h == nullptr || h == INVALID_HANDLE_VALUE; }

u32 LastError() noexcept { return ::GetLastError(); }
void SetLastErrorCode(u32 error) noexcept { ::SetLastError(error); }
void SleepMs(u32 milliseconds) noexcept { ::Sleep(milliseconds); }
u32 TickCount() noexcept { return ::GetTickCount(); }
u32 CurrentProcessId() noexcept { return ::GetCurrentProcessId(); }
u32 Wait(Handle h, u32 milliseconds) noexcept { return ::WaitForSingleObject(h, milliseconds); }

Handle NewMutex(bool initial_owner) noexcept { return ::CreateMutexA(nullptr, initial_owner, nullptr); }
bool ReleaseMutexHandle(Handle h) noexcept { return ::ReleaseMutex(h) != 0; }
Handle NewEvent(bool manual_reset, bool initial_state) noexcept {
  return ::CreateEventA(nullptr, manual_reset, initial_state, nullptr);
}
bool SetEventHandle(Handle h) noexcept { return ::SetEvent(h) != 0; }
bool ResetEventHandle(Handle h) noexcept { return ::ResetEvent(h) != 0; }

Handle BeginThread(unsigned (*entry)(void*), void* arg) noexcept {
  // _beginthreadex, not CreateThread: the C runtime of the thread is set up.
  const auto h = ::_beginthreadex(nullptr, 0, reinterpret_cast<_beginthreadex_proc_type>(entry), arg, 0, nullptr);
  return reinterpret_cast<Handle>(h);
}

bool ExitCodeOf(Handle h, u32* code, bool thread) noexcept {
  DWORD c = 0;
  const BOOL ok = thread ? ::GetExitCodeThread(h, &c) : ::GetExitCodeProcess(h, &c);
  if (ok && code) *code = c;
  return ok != 0;
}

namespace {
CRITICAL_SECTION* Cs(CriticalSectionStorage& s) { return reinterpret_cast<CRITICAL_SECTION*>(s.bytes); }
}  // namespace
void InitCriticalSection(CriticalSectionStorage& cs) noexcept { ::InitializeCriticalSection(Cs(cs)); }
void EnterCriticalSectionNative(CriticalSectionStorage& cs) noexcept { ::EnterCriticalSection(Cs(cs)); }
void LeaveCriticalSectionNative(CriticalSectionStorage& cs) noexcept { ::LeaveCriticalSection(Cs(cs)); }
void DeleteCriticalSectionNative(CriticalSectionStorage& cs) noexcept { ::DeleteCriticalSection(Cs(cs)); }

std::string ComputerName() {
  char buf[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof buf;
  if (!::GetComputerNameA(buf, &size)) return "localhost";
  return std::string(buf, size);
}

std::string UserName() {
  char buf[257] = {};
  DWORD size = sizeof buf;
  // GetUserNameA lives in advapi32, which every program of ours links.
  if (!::GetUserNameA(buf, &size) || size == 0) return {};
  return std::string(buf);
}

std::string ModulePath() {
  std::string out(MAX_PATH, '\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameA(nullptr, out.data(), static_cast<DWORD>(out.size()));
    if (n == 0) return {};
    if (n < out.size()) {
      out.resize(n);
      return out;
    }
    if (out.size() > 32768) return {};
    out.resize(out.size() * 2);
  }
}

int IsWow64() noexcept {
  BOOL wow = FALSE;
  if (!::IsWow64Process(::GetCurrentProcess(), &wow)) return -1;
  return wow ? 1 : 0;
}

bool ShellDllVersion(u32* major, u32* minor, u32* build) noexcept {
  HMODULE shell = ::LoadLibraryA("shell32.dll");
  if (shell == nullptr) return false;
  using GetVersionFn = HRESULT(CALLBACK*)(DLLVERSIONINFO*);
  const auto proc = ::GetProcAddress(shell, "DllGetVersion");
  bool ok = false;
  if (proc != nullptr) {
    GetVersionFn fn;
    static_assert(sizeof fn == sizeof proc);
    std::memcpy(&fn, &proc, sizeof fn);  // FARPROC to its real type
    DLLVERSIONINFO info{};
    info.cbSize = sizeof info;
    if (SUCCEEDED(fn(&info))) {
      *major = info.dwMajorVersion;
      *minor = info.dwMinorVersion;
      *build = info.dwBuildNumber;
      ok = true;
    }
  }
  ::FreeLibrary(shell);
  return ok;
}

u32 EnableTokenPrivilege(const std::string& name) noexcept {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    return ::GetLastError();
  }
  TOKEN_PRIVILEGES tp{};
  tp.PrivilegeCount = 1;
  tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  DWORD error = ERROR_SUCCESS;
  if (!::LookupPrivilegeValueA(nullptr, name.c_str(), &tp.Privileges[0].Luid)) {
    error = ::GetLastError();
  } else if (!::AdjustTokenPrivileges(token, FALSE, &tp, sizeof tp, nullptr, nullptr)) {
    error = ::GetLastError();
  } else {
    error = ::GetLastError();  // ERROR_NOT_ALL_ASSIGNED when the token lacks it
  }
  ::CloseHandle(token);
  return error;
}

bool SetEnvironment(const std::string& name, const std::string* value) noexcept {
  // Both the system's block (inherited by children) and the C runtime's copy
  // (getenv) are changed.
  const bool ok = ::SetEnvironmentVariableA(name.c_str(), value ? value->c_str() : nullptr) != 0;
  const std::string assignment = name + "=" + (value ? *value : std::string());
  ::_putenv(assignment.c_str());
  return ok;
}

namespace {
void Fill(const WIN32_FIND_DATAA& data, FindEntry* entry) {
  if (entry == nullptr) return;
  entry->attributes = data.dwFileAttributes;
  entry->name = data.cFileName;
}
}  // namespace

Handle FindFirst(const std::string& pattern, FindEntry* entry) noexcept {
  WIN32_FIND_DATAA data{};
  HANDLE h = ::FindFirstFileA(pattern.c_str(), &data);
  if (h != INVALID_HANDLE_VALUE) Fill(data, entry);
  return h;
}
bool FindNext(Handle find, FindEntry* entry) noexcept {
  WIN32_FIND_DATAA data{};
  if (!::FindNextFileA(find, &data)) return false;
  Fill(data, entry);
  return true;
}
void FindCloseNative(Handle find) noexcept { ::FindClose(find); }
u32 FileAttributes(const std::string& path) noexcept { return ::GetFileAttributesA(path.c_str()); }
bool DeleteFileNative(const std::string& path) noexcept { return ::DeleteFileA(path.c_str()) != 0; }
bool RemoveDirectoryNative(const std::string& path) noexcept { return ::RemoveDirectoryA(path.c_str()) != 0; }
bool CreateDirectoryNative(const std::string& path) noexcept { return ::CreateDirectoryA(path.c_str(), nullptr) != 0; }

std::string CurrentDirectory() {
  const DWORD n = ::GetCurrentDirectoryA(0, nullptr);
  if (n == 0) return {};
  std::string out(n, '\0');
  const DWORD got = ::GetCurrentDirectoryA(n, out.data());
  if (got == 0 || got >= n) return {};
  out.resize(got);
  return out;
}
bool SetCurrentDirectoryNative(const std::string& path) noexcept { return ::SetCurrentDirectoryA(path.c_str()) != 0; }
bool MoveFileNative(const std::string& from, const std::string& to, u32 flags) noexcept {
  return ::MoveFileExA(from.c_str(), to.c_str(), flags) != 0;
}

bool WriteHandle(Handle h, std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    const DWORD chunk = bytes.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!::WriteFile(h, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

bool WriteNewFile(const std::string& path, std::string_view content) noexcept {
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = WriteHandle(h, content) && ::FlushFileBuffers(h);
  const DWORD error = ::GetLastError();
  ok = (::CloseHandle(h) != 0) && ok;
  if (!ok) ::SetLastError(error);
  return ok;
}

Handle OpenAppend(const std::string& path, bool inheritable) noexcept {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, inheritable ? TRUE : FALSE};
  return ::CreateFileA(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       &sa, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::int64_t HandleFileSize(Handle h) noexcept {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(h, &size)) return -1;
  return size.QuadPart;
}

Handle OpenForReading(const std::string& path) noexcept {
  return ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::int64_t ReadHandleAt(Handle h, std::uint64_t offset, char* buffer, u32 size) noexcept {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD read = 0;
  if (!::ReadFile(h, buffer, size, &read, &at)) {
    if (::GetLastError() == ERROR_HANDLE_EOF) return 0;
    return -1;
  }
  return read;
}

bool HandleIdentity(Handle h, std::uint64_t* volume, std::uint64_t* index) noexcept {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h, &info)) return false;
  *volume = info.dwVolumeSerialNumber;
  *index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

bool HandleIsRegularFile(Handle h) noexcept {
  if (::GetFileType(h) != FILE_TYPE_DISK) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  return ::GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

Handle LockFileExclusive(const std::string& path) noexcept {
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return h;
  OVERLAPPED at{};
  if (!::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) {
    const DWORD error = ::GetLastError();
    ::CloseHandle(h);
    ::SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  return h;  // closing the handle releases the lock
}

bool TryLockFarByte(Handle file) noexcept {
  OVERLAPPED at{};
  at.OffsetHigh = 1;
  return ::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != FALSE;
}

}  // namespace telmo::platform::win32
