// The Win32 calls the backend makes, declared without <windows.h>.
//
// The interface headers of src/platform keep the Windows names with types of
// their own (DWORD is std::uint32_t, HKEY a class, SC_HANDLE an owner...), so
// a file that includes them cannot include <windows.h> as well: the two would
// define the same names twice. The backend is therefore split in two layers:
//  - win32/<area>.cpp implement the interface headers and call only this file;
//  - win32/native_<area>.cpp include <windows.h> and nothing of the interface,
//    and forward each call here to the system with the same meaning.
// Handles cross the seam as `void*` (HANDLE, HKEY, SC_HANDLE, SOCKET are all
// pointer-sized). Every call leaves the system's last error as the system set it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace telmo::platform::win32 {

using Handle = void*;
using u32 = std::uint32_t;

/// Closes a kernel handle (CloseHandle) when it is neither null nor
/// INVALID_HANDLE_VALUE.
void CloseKernelHandle(Handle h) noexcept;
[[nodiscard]] bool IsInvalid(Handle h) noexcept;

/// Owner of a kernel handle.
class KernelHandle {
 public:
  KernelHandle() noexcept = default;
  explicit KernelHandle(Handle h) noexcept : h_(h) {}
  KernelHandle(KernelHandle&& o) noexcept : h_(o.release()) {}
  KernelHandle& operator=(KernelHandle&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  KernelHandle(const KernelHandle&) = delete;
  KernelHandle& operator=(const KernelHandle&) = delete;
  ~KernelHandle() { reset(); }
  [[nodiscard]] Handle get() const noexcept { return h_; }
  [[nodiscard]] bool valid() const noexcept { return !IsInvalid(h_); }
  explicit operator bool() const noexcept { return valid(); }
  Handle release() noexcept {
    Handle h = h_;
    h_ = nullptr;
    return h;
  }
  void reset(Handle h = nullptr) noexcept {
    CloseKernelHandle(h_);
    h_ = h;
  }

 private:
  Handle h_ = nullptr;
};

// ---- errors, time, threads -------------------------------------------------
u32 LastError() noexcept;
void SetLastErrorCode(u32 error) noexcept;
void SleepMs(u32 milliseconds) noexcept;
u32 TickCount() noexcept;
u32 CurrentProcessId() noexcept;
/// WaitForSingleObject on any waitable handle.
u32 Wait(Handle h, u32 milliseconds) noexcept;

Handle NewMutex(bool initial_owner) noexcept;
bool ReleaseMutexHandle(Handle h) noexcept;
Handle NewEvent(bool manual_reset, bool initial_state) noexcept;
bool SetEventHandle(Handle h) noexcept;
bool ResetEventHandle(Handle h) noexcept;
/// _beginthreadex(entry(arg)); null on failure.
Handle BeginThread(unsigned (*entry)(void*), void* arg) noexcept;
bool ExitCodeOf(Handle process_or_thread, u32* code, bool thread) noexcept;

/// Storage for a system CRITICAL_SECTION (40 bytes on x64).
struct alignas(8) CriticalSectionStorage {
  unsigned char bytes[64];
};
void InitCriticalSection(CriticalSectionStorage& cs) noexcept;
void EnterCriticalSectionNative(CriticalSectionStorage& cs) noexcept;
void LeaveCriticalSectionNative(CriticalSectionStorage& cs) noexcept;
void DeleteCriticalSectionNative(CriticalSectionStorage& cs) noexcept;

// ---- environment and system -------------------------------------------------
[[nodiscard]] std::string ComputerName();
/// The user this process runs as ("" when it cannot be told).
[[nodiscard]] std::string UserName();
/// GetModuleFileNameA of this program, whatever its length; "" on failure.
[[nodiscard]] std::string ModulePath();
/// IsWow64Process of this process: 1, 0, or -1 on failure.
int IsWow64() noexcept;
/// Shell32.dll DllGetVersion: false when the library or the call is missing.
bool ShellDllVersion(u32* major, u32* minor, u32* build) noexcept;
/// Enables a privilege in this process's token (AdjustTokenPrivileges); the
/// Win32 error (ERROR_NOT_ALL_ASSIGNED when the token lacks it).
u32 EnableTokenPrivilege(const std::string& name) noexcept;
/// Sets or removes (value null) a variable of this process's environment.
bool SetEnvironment(const std::string& name, const std::string* value) noexcept;

// ---- files -------------------------------------------------------------------
struct FindEntry {
  u32 attributes = 0;
  std::string name;
};
/// FindFirstFileA; invalid handle on failure.
Handle FindFirst(const std::string& pattern, FindEntry* entry) noexcept;
bool FindNext(Handle find, FindEntry* entry) noexcept;
void FindCloseNative(Handle find) noexcept;
u32 FileAttributes(const std::string& path) noexcept;
bool DeleteFileNative(const std::string& path) noexcept;
bool RemoveDirectoryNative(const std::string& path) noexcept;
bool CreateDirectoryNative(const std::string& path) noexcept;
/// "" with the last error set on failure.
std::string CurrentDirectory();
bool SetCurrentDirectoryNative(const std::string& path) noexcept;
bool MoveFileNative(const std::string& from, const std::string& to, u32 flags) noexcept;
/// Creates `path` (new or truncated), writes `content`, flushes it to disk.
bool WriteNewFile(const std::string& path, std::string_view content) noexcept;
/// A file opened for appending from several processes (FILE_APPEND_DATA:
/// each write lands whole at the end). Invalid handle on failure.
Handle OpenAppend(const std::string& path, bool inheritable) noexcept;
bool WriteHandle(Handle h, std::string_view bytes) noexcept;
/// Size of an open file; -1 on failure.
std::int64_t HandleFileSize(Handle h) noexcept;
/// Opens an existing file for reading; others may write, rename or delete it
/// meanwhile. Not inherited. Invalid handle on failure.
Handle OpenForReading(const std::string& path) noexcept;
/// ReadFile at `offset`: the count read (0 at the end), -1 with the last error set.
std::int64_t ReadHandleAt(Handle h, std::uint64_t offset, char* buffer, u32 size) noexcept;
/// Volume serial number and file index of an open file; false on failure.
bool HandleIdentity(Handle h, std::uint64_t* volume, std::uint64_t* index) noexcept;
/// A disk file that is not a directory.
bool HandleIsRegularFile(Handle h) noexcept;
/// Opens (creates) `path` and locks it exclusively (LockFileEx), waiting.
Handle LockFileExclusive(const std::string& path) noexcept;
/// Locks the byte at 4 GiB of an open file exclusively (LockFileEx), without
/// waiting: false (ERROR_LOCK_VIOLATION) when another handle holds it.
[[nodiscard]] bool TryLockFarByte(Handle file) noexcept;

// ---- registry ------------------------------------------------------------------
/// Root 1..4: classes root, current user, local machine, users.
Handle RegistryRoot(int root) noexcept;
u32 RegOpen(Handle parent, const std::string& subkey, u32 access, Handle* result) noexcept;
u32 RegCreate(Handle parent, const std::string& subkey, u32 access, Handle* result, u32* disposition) noexcept;
void RegClose(Handle key) noexcept;
/// RegQueryValueExA with the system's buffer rules.
u32 RegQuery(Handle key, const char* name, u32* type, unsigned char* data, u32* size) noexcept;
u32 RegSet(Handle key, const char* name, u32 type, const unsigned char* data, u32 size) noexcept;
u32 RegDeleteValueNative(Handle key, const char* name) noexcept;
/// RegDeleteKeyExA with the view bits of `access`.
u32 RegDeleteKeyNative(Handle parent, const std::string& subkey, u32 access) noexcept;
u32 RegDeleteTreeNative(Handle key, const char* subkey) noexcept;
u32 RegEnumSubkeyAt(Handle key, u32 index, std::string* name) noexcept;
u32 RegEnumValueAt(Handle key, u32 index, std::string* name, u32* type, std::vector<unsigned char>* data) noexcept;

// ---- event log -----------------------------------------------------------------
Handle RegisterEventSourceNative(const std::string& source) noexcept;
bool ReportEventNative(Handle source, std::uint16_t type, std::uint16_t category, u32 id,
                       const std::vector<const char*>& strings) noexcept;
void DeregisterEventSourceNative(Handle source) noexcept;

// ---- processes -----------------------------------------------------------------
struct ProcessEntry {
  u32 pid = 0;
  std::string image;
  u32 parent = 0;  ///< the process that started it (its id may be reused since)
};
/// Toolhelp snapshot of every process; false on failure.
bool SnapshotProcesses(std::vector<ProcessEntry>* out);
Handle OpenProcessNative(u32 access, u32 pid) noexcept;
bool TerminateProcessNative(Handle process, u32 exit_code) noexcept;
u32 ProcessIdOf(Handle process) noexcept;
/// Creation time of the process (FILETIME as one number); 0 on failure.
std::uint64_t ProcessCreationTime(Handle process) noexcept;
/// The full path of the program file the process runs
/// (QueryFullProcessImageNameA); false on failure.
bool ProcessImagePath(Handle process, std::string* out);
/// The process id the service `name` runs in now (QueryServiceStatusEx); 0
/// when it is not running or cannot be asked.
u32 ServiceProcessId(const std::string& name) noexcept;

struct CreateProcessRequest {
  std::string application;        ///< full path of the program
  std::string command_line;       ///< quoted program and arguments
  std::string environment_block;  ///< NAME=VALUE\0...\0\0
  std::string working_directory;  ///< "" for the caller's
  Handle token = nullptr;         ///< CreateProcessAsUserA when set
  Handle output = nullptr;        ///< inheritable handle for stdout and stderr; null: the null device
};
/// Starts the process; on success *process is its handle. The Win32 error.
u32 CreateProcessNative(const CreateProcessRequest& request, Handle* process, u32* pid) noexcept;
/// This process's environment as NAME=VALUE strings.
std::vector<std::string> EnvironmentStrings();

// ---- accounts --------------------------------------------------------------------
/// LogonUserA; the token on success, else null with the last error set.
Handle LogonUserNative(const std::string& user, const std::string& domain, const std::string& password, u32 type,
                       u32 provider) noexcept;

// ---- service control manager -----------------------------------------------------
Handle ScOpenManager(const char* machine, const char* database, u32 access) noexcept;
Handle ScCreateService(Handle manager, const char* name, const char* display, u32 access, u32 type, u32 start,
                       u32 error_control, const char* binary, const char* group, u32* tag, const char* dependencies,
                       const char* account, const char* password) noexcept;
Handle ScOpenService(Handle manager, const char* name, u32 access) noexcept;
bool ScClose(Handle h) noexcept;
bool ScDelete(Handle service) noexcept;
bool ScStart(Handle service, u32 argc, const char** argv) noexcept;
/// `status` points to seven u32 (SERVICE_STATUS).
bool ScControl(Handle service, u32 control, u32* status) noexcept;
bool ScQueryStatus(Handle service, u32* status) noexcept;
/// SERVICE_STATUS_PROCESS into `buffer`.
bool ScQueryStatusEx(Handle service, unsigned char* buffer, u32 size, u32* needed) noexcept;
/// QUERY_SERVICE_CONFIGA into `buffer` (the same layout as the interface's record).
bool ScQueryConfig(Handle service, void* buffer, u32 size, u32* needed) noexcept;
bool ScChangeConfig(Handle service, u32 type, u32 start, u32 error_control, const char* binary, const char* group,
                    u32* tag, const char* dependencies, const char* account, const char* password,
                    const char* display) noexcept;

/// The service side. `main` and `handler` are called by the system; the
/// dispatcher call returns when the service has stopped.
using ServiceMain = void (*)(u32 argc, char** argv);
using ServiceHandler = void (*)(u32 control);
bool ScRunDispatcher(const char* name, ServiceMain main) noexcept;
Handle ScRegisterHandler(const char* name, ServiceHandler handler) noexcept;
/// `status` points to seven u32 (SERVICE_STATUS).
bool ScSetStatus(Handle status_handle, const u32* status) noexcept;

// ---- sockets (Winsock) -------------------------------------------------------------
/// WSAStartup once per process; false when Winsock cannot start.
bool StartSockets() noexcept;

}  // namespace telmo::platform::win32
