// Inside the service control manager: the database records, its lock, the
// liveness test and the detached launch. Only src/platform/posix/scm*.cpp use it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/unique_fd.h"
#include "platform/scm.h"
#include "util/result.h"

namespace telmo::platform::detail {

/// What a service handle or a manager handle stands for.
struct ScObject {
  enum class Kind { kManager, kService };
  Kind kind = Kind::kManager;
  DWORD access = 0;
  std::string name;             ///< service: the record's name
  std::uint64_t generation = 0; ///< service: the record it was opened on
};

/// A service's configuration (<key>.service).
struct ServiceConfig {
  std::string name;
  std::string display_name;
  std::string binary_path;
  std::string load_order_group;
  std::string account;  ///< empty: LocalSystem
  std::vector<std::string> dependencies;
  DWORD service_type = SERVICE_WIN32_OWN_PROCESS;
  DWORD start_type = SERVICE_DEMAND_START;
  DWORD error_control = SERVICE_ERROR_NORMAL;
  DWORD tag_id = 0;
  bool installed = true;       ///< false: a status-only record of a dispatcher started by hand
  bool delete_pending = false;
  std::uint64_t generation = 0;  ///< new for every CreateServiceA; handles and status carry it
};

/// A service's live status (<key>/status).
struct LiveStatus {
  std::uint64_t generation = 0;
  SERVICE_STATUS status;
  DWORD pid = 0;
  std::uint64_t start_time = 0;  ///< of pid, in clock ticks since boot (/proc/PID/stat); 0 unknown
  bool present = false;          ///< false: never started
};

/// The database lock: an exclusive flock on services.d/.lock. Never taken
/// twice by one thread (flock locks per open file, so a nested lock would
/// wait for itself).
class DbLock {
 public:
  [[nodiscard]] static Result<DbLock> Acquire();
  DbLock(DbLock&&) noexcept = default;
  DbLock& operator=(DbLock&&) noexcept = default;

 private:
  explicit DbLock(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

/// Creates services.d when it is missing.
Result<void> EnsureDatabaseDir();
/// Lower case, with characters outside [a-z0-9 _.-] (and a leading ".")
/// written as %XX; long names end in a hash so the key stays short.
[[nodiscard]] std::string ServiceKey(std::string_view name);
[[nodiscard]] std::string ConfigPath(std::string_view name);
[[nodiscard]] std::string RunDir(std::string_view name);
[[nodiscard]] std::string StatusPath(std::string_view name);
[[nodiscard]] std::string HistoryPath(std::string_view name);
[[nodiscard]] std::string ControlSocketPath(std::string_view name);

/// Windows rules for a service name: 1 to 256 characters, no "/" or "\",
/// no control character.
[[nodiscard]] bool ValidServiceName(std::string_view name) noexcept;

/// nullopt when there is no record; ERROR_INVALID_DATA when it cannot be read.
[[nodiscard]] Result<std::optional<ServiceConfig>> LoadConfig(std::string_view name);
[[nodiscard]] Result<void> StoreConfig(const DbLock& lock, const ServiceConfig& config);
/// Every record of the database (unreadable ones are skipped).
[[nodiscard]] std::vector<ServiceConfig> LoadAllConfigs();
/// Removes the record, its status, history and run directory.
void RemoveService(const DbLock& lock, std::string_view name);

/// The status as stored; not present when missing or of another generation.
[[nodiscard]] LiveStatus LoadStatus(const ServiceConfig& config);
[[nodiscard]] Result<void> StoreStatus(const DbLock& lock, const ServiceConfig& config, const LiveStatus& status,
                                       std::string_view source);

/// True when `pid` names a live (not zombie) process started at `start_time`
/// (0: any start time).
[[nodiscard]] bool ProcessAlive(DWORD pid, std::uint64_t start_time);
/// Start time of a process, 0 when it cannot be read.
[[nodiscard]] std::uint64_t ProcessStartTime(DWORD pid);

/// True when the status says the service runs and its process lives.
[[nodiscard]] bool StatusRunning(const LiveStatus& status);

/// The status callers see: a stored non-STOPPED status whose process has died
/// becomes STOPPED with ERROR_PROCESS_ABORTED (stored when the database can be
/// written); a missing one is STOPPED with ERROR_SERVICE_NEVER_STARTED. A
/// record marked for deletion whose service is found stopped is removed.
/// `lock`: the caller's lock, or nullptr (then it is taken when needed).
[[nodiscard]] LiveStatus EffectiveStatus(const DbLock* lock, const ServiceConfig& config);

/// Loads the record a service handle stands for: ERROR_INVALID_HANDLE for a
/// handle that is not a service's, ERROR_ACCESS_DENIED when it lacks
/// `access`, ERROR_SERVICE_MARKED_FOR_DELETE when its record is gone or
/// replaced.
[[nodiscard]] Result<ServiceConfig> ConfigOfHandle(const SC_HANDLE& handle, DWORD access);

/// Appends a history line (caller holds the lock); trims the file when large.
void AppendHistory(const DbLock& lock, std::string_view name, std::string_view source, DWORD pid,
                   const SERVICE_STATUS& status);

/// An AF_UNIX address for a path of any length: a long path is reached
/// through /proc/self/fd of its directory, which `dir_fd` keeps open.
struct UnixAddress {
  std::vector<unsigned char> bytes;  ///< a sockaddr_un
  UniqueFd dir_fd;
};
[[nodiscard]] Result<UnixAddress> MakeUnixAddress(const std::string& path);

/// Control socket messages: request {kControlMagic, control}, answer {Win32 error}.
inline constexpr std::uint32_t kControlMagic = 0x54534331;  // "TSC1"

/// A local account a launched service switches to.
struct LaunchIdentity {
  std::string user;
  std::string home;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
};
/// The local user an account names; nullopt for LocalSystem or no account.
/// ERROR_LOGON_FAILURE when the user does not exist.
[[nodiscard]] Result<std::optional<LaunchIdentity>> ResolveAccount(std::string_view account);

struct LaunchRequest {
  std::string program;
  std::vector<std::string> arguments;  ///< argv, argv[0] included
  std::vector<std::string> environment;  ///< NAME=VALUE
  std::string output_path;  ///< appended; empty or not openable: /dev/null
  std::optional<LaunchIdentity> identity;
};
struct LaunchedProcess {
  DWORD pid = 0;
  std::uint64_t start_time = 0;
};
/// Starts the program detached: in a session of its own and not a child of
/// the caller. Fails (never a process that exits 127) when it cannot be
/// executed.
[[nodiscard]] Result<LaunchedProcess> LaunchDetached(const LaunchRequest& request);

}  // namespace telmo::platform::detail
