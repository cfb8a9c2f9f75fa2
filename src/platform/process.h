// Processes. A process handle owns a pidfd, so it always names the process it
// was opened for, whatever becomes of the pid afterwards.
//  - GetExitCodeProcess gives STILL_ACTIVE (259) while the process lives.
//    The manager reaps its children (a background reaper collects those whose
//    handles were all closed), so an ended child never counts as alive.
//  - OpenProcess by id fails once the process has gone.
//  - TerminateProcess is SIGKILL through the pidfd; the exit code it is given
//    is what GetExitCodeProcess reports afterwards. A process that died of
//    another signal reports 128 + the signal number. A process that is not
//    our child reports exit code 0 once it has ended (its status is not ours).
//  - The snapshot lists every process of the node by id and image name (the
//    file name of its executable).
// On Windows (win32/) the handles, exit codes, snapshot and TerminateProcess
// are the system's own, and the marker of FindMarkedProcesses/CarriesMarker is
// kept by the manager in $TELMO_STATE_DIR/children (process id and creation
// time of every child it started), since Windows gives no sound way to read
// another process's environment.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/accounts.h"
#include "platform/win_types.h"
#include "util/result.h"

inline constexpr DWORD PROCESS_TERMINATE = 0x0001;
inline constexpr DWORD PROCESS_SET_INFORMATION = 0x0200;
inline constexpr DWORD PROCESS_QUERY_INFORMATION = 0x0400;
inline constexpr DWORD PROCESS_ALL_ACCESS = 0x1FFFFF;

namespace telmo::platform::detail {
struct ProcessObject;
}

/// Move-only owner of a process handle. Empty is the "0" handle.
class ProcessHandle {
 public:
  ProcessHandle() = default;
  explicit ProcessHandle(std::shared_ptr<telmo::platform::detail::ProcessObject> o);
  ProcessHandle(ProcessHandle&&) noexcept = default;
  ProcessHandle& operator=(ProcessHandle&&) noexcept = default;
  ProcessHandle(const ProcessHandle&) = delete;
  ProcessHandle& operator=(const ProcessHandle&) = delete;
  ~ProcessHandle();

  [[nodiscard]] bool valid() const noexcept { return obj_ != nullptr; }
  explicit operator bool() const noexcept { return valid(); }
  /// A number for log lines ("hprocess =[%d]"): the pidfd (the HANDLE on Windows), 0 when empty.
  [[nodiscard]] int value() const noexcept;
  [[nodiscard]] telmo::platform::detail::ProcessObject* get() const noexcept { return obj_.get(); }
  void reset() noexcept;

 private:
  std::shared_ptr<telmo::platform::detail::ProcessObject> obj_;
};

ProcessHandle OpenProcess(DWORD desired_access, BOOL inherit, DWORD process_id);
BOOL GetExitCodeProcess(const ProcessHandle& process, DWORD* exit_code);
BOOL TerminateProcess(const ProcessHandle& process, UINT exit_code);
/// 0 for an empty handle.
DWORD GetProcessId(const ProcessHandle& process);
BOOL CloseHandle(ProcessHandle& process);
DWORD GetCurrentProcessId();
/// Waits until the process has ended: WAIT_OBJECT_0, WAIT_TIMEOUT, or
/// WAIT_FAILED (ERROR_INVALID_HANDLE) for an empty handle. `milliseconds` may
/// be INFINITE.
DWORD WaitForSingleObject(const ProcessHandle& process, DWORD milliseconds);

// Process snapshot (CreateToolhelp32Snapshot with TH32CS_SNAPPROCESS).
inline constexpr DWORD TH32CS_SNAPPROCESS = 0x2;
struct PROCESSENTRY32 {
  DWORD th32ProcessID = 0;
  std::string szExeFile;  ///< image name: the file name of the executable
};
namespace telmo::platform::detail {
struct Snapshot;
}
class SnapshotHandle {
 public:
  SnapshotHandle() = default;
  explicit SnapshotHandle(std::shared_ptr<telmo::platform::detail::Snapshot> s) : snap_(std::move(s)) {}
  [[nodiscard]] bool valid() const noexcept { return snap_ != nullptr; }
  explicit operator bool() const noexcept { return valid(); }
  [[nodiscard]] telmo::platform::detail::Snapshot* get() const noexcept { return snap_.get(); }
  void reset() noexcept { snap_.reset(); }

 private:
  std::shared_ptr<telmo::platform::detail::Snapshot> snap_;
};
SnapshotHandle CreateToolhelp32Snapshot(DWORD flags, DWORD process_id);
BOOL Process32First(const SnapshotHandle& snapshot, PROCESSENTRY32* entry);
BOOL Process32Next(const SnapshotHandle& snapshot, PROCESSENTRY32* entry);
BOOL CloseHandle(SnapshotHandle& snapshot);

namespace telmo::platform {

/// How to start a program. Nothing here ever goes through a shell.
struct SpawnOptions {
  std::string program;                    ///< path; "\" or "/" separators
  std::vector<std::string> arguments;     ///< argv[1..]; argv[0] is the program path
  std::string working_directory;          ///< empty: the manager's own
  const AccessToken* account = nullptr;   ///< switch to this account in the child (setgid, initgroups, setuid)
  std::vector<std::pair<std::string, std::string>> environment;  ///< added to (or replacing in) the manager's own
  std::string output_path;                ///< stdout and stderr appended here; empty: /dev/null
};

/// Starts the program. A program that cannot be executed is reported as an
/// error (ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_BAD_EXE_FORMAT...),
/// never as a process that exits 127. No zombie is left behind on failure.
[[nodiscard]] Result<ProcessHandle> SpawnProcess(const SpawnOptions& options);

/// Splits a command line with the Windows rules (CommandLineToArgvW):
/// blanks and tabs separate, double quotes group, 2n backslashes before a
/// quote give n backslashes, 2n+1 give n and a literal quote.
[[nodiscard]] std::vector<std::string> SplitCommandLine(std::string_view command_line);
/// Quotes one argument so that SplitCommandLine gives it back unchanged.
[[nodiscard]] std::string QuoteArgument(std::string_view argument);

/// The command interpreter the site scripts run through: /bin/sh on Linux,
/// %ComSpec% (cmd.exe) on Windows.
[[nodiscard]] std::string CommandInterpreter();
/// Its arguments for running the script at `path`: the quoted path on Linux,
/// "/c" and the quoted path on Windows.
[[nodiscard]] std::string ScriptArguments(std::string_view path);

/// The marker every child of the manager carries in its environment: the
/// management directory of the manager that launched it and its image name.
inline constexpr const char* kMarkerDirectoryVariable = "TELMO_MANAGED_BY";
inline constexpr const char* kMarkerImageVariable = "TELMO_MANAGED_IMAGE";
/// The management directory this manager marks its children with (TELMOMGMT,
/// or the state directory when TELMOMGMT is not set).
[[nodiscard]] std::string MarkerDirectory();

/// Processes of the node that carry this manager's marker with the image name
/// `image` (compared ignoring case).
[[nodiscard]] std::vector<DWORD> FindMarkedProcesses(std::string_view image);
/// Every process of the node that carries this manager's marker, by the
/// image name of its marker in upper case: one pass over the processes
/// serves any number of image names.
[[nodiscard]] std::map<std::string, std::vector<DWORD>> MarkedProcessesByImage();

/// True when the process of this handle carries this manager's marker with the
/// image name `image` (ignoring case) and still lives. Checked through the
/// handle, so a pid taken over by another process after FindMarkedProcesses
/// listed it is never mistaken for the marked one: open, check, then kill.
[[nodiscard]] bool CarriesMarker(const ProcessHandle& process, std::string_view image);

/// True when the process of this handle runs the program file `path` (the
/// same file, not merely the same name) and still lives. A process this one
/// may not inspect (another account's, without privilege) never counts.
[[nodiscard]] bool RunsProgramFile(const ProcessHandle& process, std::string_view path);

/// True when the process of this handle was started for `service` by the
/// service control manager and still lives: it carries the mark the service
/// control manager gives what it starts (kScmServiceVariable naming the
/// service in its environment, which what that process starts inherits), and
/// the service runs now from this process or one of its forebears.
[[nodiscard]] bool StartedForService(const ProcessHandle& process, std::string_view service);

}  // namespace telmo::platform
