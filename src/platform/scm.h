// The service control manager: a service database with the Windows calls,
// types and error numbers, and the service side (dispatcher, control handler,
// status reports).
//
// Database. $TELMO_STATE_DIR/services.d holds, for each service:
//   <key>.service    its configuration (name, display name, binary path, type,
//                    start type, error control, account, dependencies);
//   <key>/status     its live status (state, controls accepted, exit codes,
//                    checkpoint, wait hint, pid);
//   <key>/history    one line per status change, bounded (ReadServiceHistory);
//   <key>/control    the control socket of its running dispatcher.
// <key> is the service name in lower case with unsafe characters escaped, so
// names compare ignoring case. Every record write is a temp-file-and-rename,
// made under one lock (services.d/.lock, flock) shared by every process that
// uses the database. The run directory <key>/ belongs to the service's
// account while it runs under one, so that the service can write its status.
//
// What maps and what does not:
//  - Only SERVICE_WIN32_OWN_PROCESS services (optionally interactive) exist;
//    a dispatcher table holds one entry. Other types give
//    ERROR_INVALID_PARAMETER; a table of several entries gives
//    ERROR_CALL_NOT_IMPLEMENTED. Only the local machine and the active
//    database can be opened.
//  - Passwords are never stored or checked: only the account is recorded.
//    StartServiceA run by root switches the process to the account's local
//    user ("user", ".\user", "DOMAIN\user" or "user@domain" name the local
//    user "user"); "LocalSystem" or no account runs as the caller.
//  - Dependencies and load order groups are recorded, not enforced.
//  - A service whose process has ended without reporting SERVICE_STOPPED is
//    reported SERVICE_STOPPED with Win32 exit code ERROR_PROCESS_ABORTED; a
//    service that was never started reports ERROR_SERVICE_NEVER_STARTED.
//  - DeleteService of a running service marks it; its record is removed once
//    it has stopped. Every call on a handle whose service has been removed
//    (or replaced by a new one of the same name) fails with
//    ERROR_SERVICE_MARKED_FOR_DELETE.
//  - StartServiceA launches the binary path (split with the Windows
//    command-line rules, never through a shell) detached in its own session,
//    with TELMO_SCM_SERVICE naming the service, the start arguments in
//    TELMO_SCM_SERVICE_ARGS, standard input from /dev/null and standard output
//    and error appended to $TELMO_LOG_DIR/<name>.out.
//  - ControlService returns once the service's dispatcher has taken the
//    control, with the status at that moment; it does not wait for the
//    handler. INTERROGATE is accepted whenever the service runs.
//  - The dispatcher turns SIGTERM and SIGINT into SERVICE_CONTROL_STOP. A
//    stop signal that arrives while the service does not accept stop is kept
//    and delivered as soon as it does. Under systemd (NOTIFY_SOCKET) status
//    reports also go out as READY=1, STOPPING=1 and STATUS= lines.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win_types.h"

// Service types.
inline constexpr DWORD SERVICE_KERNEL_DRIVER = 0x1;
inline constexpr DWORD SERVICE_FILE_SYSTEM_DRIVER = 0x2;
inline constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
inline constexpr DWORD SERVICE_WIN32_SHARE_PROCESS = 0x20;
inline constexpr DWORD SERVICE_INTERACTIVE_PROCESS = 0x100;

// Start types.
inline constexpr DWORD SERVICE_BOOT_START = 0;
inline constexpr DWORD SERVICE_SYSTEM_START = 1;
inline constexpr DWORD SERVICE_AUTO_START = 2;
inline constexpr DWORD SERVICE_DEMAND_START = 3;
inline constexpr DWORD SERVICE_DISABLED = 4;

// Error control.
inline constexpr DWORD SERVICE_ERROR_IGNORE = 0;
inline constexpr DWORD SERVICE_ERROR_NORMAL = 1;
inline constexpr DWORD SERVICE_ERROR_SEVERE = 2;
inline constexpr DWORD SERVICE_ERROR_CRITICAL = 3;

/// ChangeServiceConfigA: leave this value as it is.
inline constexpr DWORD SERVICE_NO_CHANGE = 0xFFFFFFFFu;

// Service states.
inline constexpr DWORD SERVICE_STOPPED = 1;
inline constexpr DWORD SERVICE_START_PENDING = 2;
inline constexpr DWORD SERVICE_STOP_PENDING = 3;
inline constexpr DWORD SERVICE_RUNNING = 4;
inline constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
inline constexpr DWORD SERVICE_PAUSE_PENDING = 6;
inline constexpr DWORD SERVICE_PAUSED = 7;

// Controls (128 to 255 are the service's own).
inline constexpr DWORD SERVICE_CONTROL_STOP = 1;
inline constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
inline constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
inline constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
inline constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;

// Controls accepted.
inline constexpr DWORD SERVICE_ACCEPT_STOP = 0x1;
inline constexpr DWORD SERVICE_ACCEPT_PAUSE_CONTINUE = 0x2;
inline constexpr DWORD SERVICE_ACCEPT_SHUTDOWN = 0x4;

// Access rights.
inline constexpr DWORD DELETE = 0x10000;
inline constexpr DWORD STANDARD_RIGHTS_REQUIRED = 0xF0000;
inline constexpr DWORD SC_MANAGER_CONNECT = 0x1;
inline constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x2;
inline constexpr DWORD SC_MANAGER_ENUMERATE_SERVICE = 0x4;
inline constexpr DWORD SC_MANAGER_LOCK = 0x8;
inline constexpr DWORD SC_MANAGER_QUERY_LOCK_STATUS = 0x10;
inline constexpr DWORD SC_MANAGER_MODIFY_BOOT_CONFIG = 0x20;
inline constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
inline constexpr DWORD SERVICE_QUERY_CONFIG = 0x1;
inline constexpr DWORD SERVICE_CHANGE_CONFIG = 0x2;
inline constexpr DWORD SERVICE_QUERY_STATUS = 0x4;
inline constexpr DWORD SERVICE_ENUMERATE_DEPENDENTS = 0x8;
inline constexpr DWORD SERVICE_START = 0x10;
inline constexpr DWORD SERVICE_STOP = 0x20;
inline constexpr DWORD SERVICE_PAUSE_CONTINUE = 0x40;
inline constexpr DWORD SERVICE_INTERROGATE = 0x80;
inline constexpr DWORD SERVICE_USER_DEFINED_CONTROL = 0x100;
inline constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;

inline constexpr const char* SERVICES_ACTIVE_DATABASEA = "ServicesActive";

enum SC_STATUS_TYPE : DWORD { SC_STATUS_PROCESS_INFO = 0 };

struct SERVICE_STATUS {
  DWORD dwServiceType = 0;
  DWORD dwCurrentState = 0;
  DWORD dwControlsAccepted = 0;
  DWORD dwWin32ExitCode = 0;
  DWORD dwServiceSpecificExitCode = 0;
  DWORD dwCheckPoint = 0;
  DWORD dwWaitHint = 0;
};

struct SERVICE_STATUS_PROCESS {
  DWORD dwServiceType = 0;
  DWORD dwCurrentState = 0;
  DWORD dwControlsAccepted = 0;
  DWORD dwWin32ExitCode = 0;
  DWORD dwServiceSpecificExitCode = 0;
  DWORD dwCheckPoint = 0;
  DWORD dwWaitHint = 0;
  DWORD dwProcessId = 0;
  DWORD dwServiceFlags = 0;
};

/// QueryServiceConfigA's result. The texts live in the caller's buffer, after
/// the record; lpDependencies is a list of NUL-terminated names ending in an
/// empty one.
struct QUERY_SERVICE_CONFIGA {
  DWORD dwServiceType = 0;
  DWORD dwStartType = 0;
  DWORD dwErrorControl = 0;
  char* lpBinaryPathName = nullptr;
  char* lpLoadOrderGroup = nullptr;
  DWORD dwTagId = 0;
  char* lpDependencies = nullptr;
  char* lpServiceStartName = nullptr;
  char* lpDisplayName = nullptr;
};

using LPSERVICE_MAIN_FUNCTIONA = void (*)(DWORD argc, char** argv);
using LPHANDLER_FUNCTION = void (*)(DWORD control);

struct SERVICE_TABLE_ENTRYA {
  const char* lpServiceName = nullptr;
  LPSERVICE_MAIN_FUNCTIONA lpServiceProc = nullptr;
};

namespace telmo::platform::detail {
struct ScObject;
}

/// Move-only owner of a service control manager handle or a service handle
/// (one type, as on Windows). Empty is the NULL handle; CloseServiceHandle
/// or the destructor closes it.
class SC_HANDLE {
 public:
  SC_HANDLE() noexcept;
  explicit SC_HANDLE(std::unique_ptr<telmo::platform::detail::ScObject> object) noexcept;
  SC_HANDLE(SC_HANDLE&&) noexcept;
  SC_HANDLE& operator=(SC_HANDLE&&) noexcept;
  SC_HANDLE(const SC_HANDLE&) = delete;
  SC_HANDLE& operator=(const SC_HANDLE&) = delete;
  ~SC_HANDLE();

  [[nodiscard]] bool valid() const noexcept { return object_ != nullptr; }
  explicit operator bool() const noexcept { return valid(); }
  [[nodiscard]] telmo::platform::detail::ScObject* get() const noexcept { return object_.get(); }
  void reset() noexcept;

 private:
  std::unique_ptr<telmo::platform::detail::ScObject> object_;
};

/// The handle RegisterServiceCtrlHandlerA gives for SetServiceStatus. A plain
/// value, never closed (as on Windows); it stays valid until its dispatcher
/// returns. Default-constructed it is the NULL handle.
class SERVICE_STATUS_HANDLE {
 public:
  SERVICE_STATUS_HANDLE() noexcept = default;
  explicit SERVICE_STATUS_HANDLE(std::uint64_t run) noexcept : run_(run) {}
  [[nodiscard]] bool valid() const noexcept { return run_ != 0; }
  explicit operator bool() const noexcept { return valid(); }
  [[nodiscard]] std::uint64_t run() const noexcept { return run_; }

 private:
  std::uint64_t run_ = 0;
};

// Controller side. Texts that Windows allows to be NULL are const char*
// (NULL and "" differ for ChangeServiceConfigA). Failures return an empty
// handle or FALSE with the last error set.

/// `machine` must be NULL or empty (this computer); `database` NULL or
/// SERVICES_ACTIVE_DATABASEA.
SC_HANDLE OpenSCManagerA(const char* machine, const char* database, DWORD desired_access);
/// ERROR_SERVICE_EXISTS when the name (or ERROR_DUPLICATE_SERVICE_NAME when
/// the display name) is taken: the existing record is not changed.
/// `dependencies` is a list of NUL-terminated names ending in an empty one.
/// `password` is accepted and dropped.
SC_HANDLE CreateServiceA(const SC_HANDLE& manager, const char* service_name, const char* display_name,
                         DWORD desired_access, DWORD service_type, DWORD start_type, DWORD error_control,
                         const char* binary_path, const char* load_order_group, DWORD* tag_id,
                         const char* dependencies, const char* service_start_name, const char* password);
/// ERROR_SERVICE_DOES_NOT_EXIST when there is no such service.
SC_HANDLE OpenServiceA(const SC_HANDLE& manager, const char* service_name, DWORD desired_access);
BOOL CloseServiceHandle(SC_HANDLE& handle);
BOOL DeleteService(const SC_HANDLE& service);
BOOL StartServiceA(const SC_HANDLE& service, DWORD argc, const char** argv);
/// On ERROR_SERVICE_CANNOT_ACCEPT_CTRL and ERROR_SERVICE_NOT_ACTIVE `status`
/// is filled too. ERROR_SERVICE_REQUEST_TIMEOUT when the service's process
/// lives but its dispatcher does not take the control within 30 s.
BOOL ControlService(const SC_HANDLE& service, DWORD control, SERVICE_STATUS* status);
BOOL QueryServiceStatus(const SC_HANDLE& service, SERVICE_STATUS* status);
/// `buffer` receives a SERVICE_STATUS_PROCESS; a smaller `buffer_size` gives
/// ERROR_INSUFFICIENT_BUFFER with the size in `bytes_needed`.
BOOL QueryServiceStatusEx(const SC_HANDLE& service, SC_STATUS_TYPE level, BYTE* buffer, DWORD buffer_size,
                          DWORD* bytes_needed);
/// The two-call protocol: a buffer smaller than needed (NULL with size 0 is
/// the usual first call) gives ERROR_INSUFFICIENT_BUFFER and the size in
/// `bytes_needed`. The buffer must be aligned for the record (LocalAlloc,
/// operator new and std::vector storage are).
BOOL QueryServiceConfigA(const SC_HANDLE& service, QUERY_SERVICE_CONFIGA* config, DWORD buffer_size,
                         DWORD* bytes_needed);
/// SERVICE_NO_CHANGE and NULL texts leave a value as it is.
BOOL ChangeServiceConfigA(const SC_HANDLE& service, DWORD service_type, DWORD start_type, DWORD error_control,
                          const char* binary_path, const char* load_order_group, DWORD* tag_id,
                          const char* dependencies, const char* service_start_name, const char* password,
                          const char* display_name);

// Service side.

/// Runs the (single) table entry's service main on a thread of its own and
/// delivers controls to the registered handler on the calling thread, one at
/// a time. Returns TRUE once the service main has returned and the service
/// has reported SERVICE_STOPPED (a service main that returns without ever
/// reporting is recorded stopped with ERROR_PROCESS_ABORTED). SIGTERM and
/// SIGINT are blocked in the calling thread (and so in every thread started
/// from it) while it runs; the caller's mask is restored at the end.
/// The record it reports to: the service named by TELMO_SCM_SERVICE; else
/// the one installed service whose binary path names this program; else a
/// status-only record under the entry's name (kept in memory only when the
/// database cannot be written). ERROR_SERVICE_ALREADY_RUNNING when a
/// dispatcher already runs in this process or another live process reports
/// for that record.
BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table);
/// Only inside a running dispatcher (else ERROR_SERVICE_DOES_NOT_EXIST).
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(const char* service_name, LPHANDLER_FUNCTION handler);
/// Writes the status record and its history line. ERROR_INVALID_HANDLE once
/// the handle's dispatcher has returned; ERROR_INVALID_DATA for a state
/// outside 1..7.
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status);

namespace telmo::platform {

/// Environment names of the service protocol.
inline constexpr const char* kScmServiceVariable = "TELMO_SCM_SERVICE";
inline constexpr const char* kScmArgumentsVariable = "TELMO_SCM_SERVICE_ARGS";
/// "N:ERROR": the Nth SetServiceStatus call after the dispatcher starts fails
/// with Win32 error ERROR (read once at dispatcher start; for tests).
inline constexpr const char* kScmFailSetStatusVariable = "TELMO_SCM_FAIL_SET_STATUS";

/// $TELMO_STATE_DIR/services.d
[[nodiscard]] std::string ServiceDatabaseDir();

/// One line of a service's status history.
struct ServiceStatusReport {
  std::int64_t time_ms = 0;  ///< wall clock, milliseconds since the epoch
  /// Who wrote it: "service" (SetServiceStatus), "start" (StartServiceA),
  /// "dispatcher" (a service main that returned without reporting),
  /// "aborted" (the process was found dead without having reported STOPPED).
  std::string source;
  DWORD pid = 0;
  SERVICE_STATUS status;
};

/// The service's history, oldest first; empty when there is none. The file
/// keeps at least the last 1000 lines.
[[nodiscard]] std::vector<ServiceStatusReport> ReadServiceHistory(std::string_view service_name);

}  // namespace telmo::platform

namespace telmo::platform::scm_test_hooks {
/// Makes the `nth` SetServiceStatus call from now (1 = the next) fail with
/// `error`, without writing anything. TELMO_SCM_FAIL_SET_STATUS arms the same.
void FailSetServiceStatus(unsigned nth, DWORD error);
void ClearFaults();
}  // namespace telmo::platform::scm_test_hooks
