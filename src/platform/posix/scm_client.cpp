// The controller's calls: open, create, delete, start, control and query services.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>

#include "platform/environment.h"
#include "platform/paths.h"
#include "platform/posix/scm_internal.h"
#include "platform/process.h"
#include "platform/win_error.h"
#include "util/text.h"

extern char** environ;

SC_HANDLE::SC_HANDLE() noexcept = default;
SC_HANDLE::SC_HANDLE(std::unique_ptr<telmo::platform::detail::ScObject> object) noexcept : object_(std::move(object)) {}
SC_HANDLE::SC_HANDLE(SC_HANDLE&&) noexcept = default;
SC_HANDLE& SC_HANDLE::operator=(SC_HANDLE&&) noexcept = default;
SC_HANDLE::~SC_HANDLE() = default;
void SC_HANDLE::reset() noexcept { object_.reset(); }

namespace telmo::platform::detail {
namespace {

constexpr int kControlTimeoutMs = 30000;
/// The wait hint StartServiceA records with START_PENDING until the service reports.
constexpr DWORD kStartWaitHint = 2000;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

SC_HANDLE FailHandle(DWORD error) {
  SetLastError(error);
  return SC_HANDLE();
}

/// Rights that write the database: refused early, as Windows does at open,
/// when this process cannot write it.
bool CanWriteDatabase() { return ::access(ServiceDatabaseDir().c_str(), W_OK) == 0; }

std::uint64_t NewGeneration() {
  std::random_device rd;
  std::uint64_t g = 0;
  while (g == 0) g = (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
  return g;
}

std::vector<std::string> ParseMultiString(const char* list) {
  std::vector<std::string> out;
  if (list == nullptr) return out;
  while (*list != '\0') {
    out.emplace_back(list);
    list += out.back().size() + 1;
  }
  return out;
}

bool ValidType(DWORD type) {
  return type == SERVICE_WIN32_OWN_PROCESS || type == (SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS);
}
bool ValidStartType(DWORD start) {
  return start == SERVICE_AUTO_START || start == SERVICE_DEMAND_START || start == SERVICE_DISABLED;
}
bool ValidErrorControl(DWORD control) { return control <= SERVICE_ERROR_CRITICAL; }

/// ERROR_DUPLICATE_SERVICE_NAME when another service uses `display` as its
/// name or display name.
DWORD CheckDisplayName(std::string_view own_name, std::string_view display) {
  for (const auto& other : LoadAllConfigs()) {
    if (EqualsIgnoreCase(other.name, own_name)) continue;
    if (EqualsIgnoreCase(other.display_name, display) || EqualsIgnoreCase(other.name, display))
      return ERROR_DUPLICATE_SERVICE_NAME;
  }
  return ERROR_SUCCESS;
}

SERVICE_STATUS_PROCESS ToProcessStatus(const LiveStatus& s) {
  SERVICE_STATUS_PROCESS p;
  p.dwServiceType = s.status.dwServiceType;
  p.dwCurrentState = s.status.dwCurrentState;
  p.dwControlsAccepted = s.status.dwControlsAccepted;
  p.dwWin32ExitCode = s.status.dwWin32ExitCode;
  p.dwServiceSpecificExitCode = s.status.dwServiceSpecificExitCode;
  p.dwCheckPoint = s.status.dwCheckPoint;
  p.dwWaitHint = s.status.dwWaitHint;
  p.dwProcessId = s.status.dwCurrentState == SERVICE_STOPPED ? 0 : s.pid;
  p.dwServiceFlags = 0;
  return p;
}

DWORD AccessForControl(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      return SERVICE_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
      return SERVICE_PAUSE_CONTINUE;
    case SERVICE_CONTROL_INTERROGATE:
      return SERVICE_INTERROGATE;
    default:
      return control >= 128 && control <= 255 ? SERVICE_USER_DEFINED_CONTROL : 0;
  }
}

/// Sends a control to the service's dispatcher and waits until it has taken
/// it (not until its handler has run). The dispatcher's answer is a Win32 error.
DWORD SendControl(const ServiceConfig& config, DWORD control) {
  auto address = MakeUnixAddress(ControlSocketPath(config.name));
  if (!address) return address.error();
  UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!fd) return Win32FromErrno(errno);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(address->bytes.data()),
                static_cast<socklen_t>(address->bytes.size())) != 0) {
    // The process lives but no dispatcher listens (yet): it cannot take controls.
    return ERROR_SERVICE_REQUEST_TIMEOUT;
  }
  const std::uint32_t request[2] = {kControlMagic, control};
  if (::send(fd.get(), request, sizeof request, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof request))
    return ERROR_SERVICE_REQUEST_TIMEOUT;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kControlTimeoutMs);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return ERROR_SERVICE_REQUEST_TIMEOUT;
    pollfd p{fd.get(), POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return ERROR_SERVICE_REQUEST_TIMEOUT;
    std::uint32_t answer = 0;
    const ssize_t n = ::recv(fd.get(), &answer, sizeof answer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n != static_cast<ssize_t>(sizeof answer)) return ERROR_SERVICE_REQUEST_TIMEOUT;
    return answer;
  }
}

std::vector<std::string> ServiceEnvironment(const ServiceConfig& config, DWORD argc, const char** argv,
                                            const std::optional<LaunchIdentity>& identity) {
  auto drop = [&](std::string_view entry) {
    const auto eq = entry.find('=');
    const std::string_view name = entry.substr(0, eq);
    // The service reports for itself: it must not speak for our systemd unit,
    // nor take our socket activation or our name.
    return name == "NOTIFY_SOCKET" || name == "LISTEN_FDS" || name == "LISTEN_PID" || name == "LISTEN_FDNAMES" ||
           name == kScmServiceVariable || name == kScmArgumentsVariable ||
           (identity && (name == "HOME" || name == "USER" || name == "LOGNAME"));
  };
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (!drop(*e)) env.emplace_back(*e);
  }
  env.push_back(std::string(kScmServiceVariable) + "=" + config.name);
  if (argc > 0 && argv != nullptr) {
    std::string line;
    for (DWORD i = 0; i < argc; ++i) {
      if (i > 0) line.push_back(' ');
      line += QuoteArgument(argv[i] != nullptr ? argv[i] : "");
    }
    env.push_back(std::string(kScmArgumentsVariable) + "=" + line);
  }
  if (identity) {
    env.push_back("HOME=" + identity->home);
    env.push_back("USER=" + identity->user);
    env.push_back("LOGNAME=" + identity->user);
  }
  return env;
}

std::string OutputPath(const ServiceConfig& config) {
  const std::string dir = LogDir();
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return JoinPath(dir, config.name + ".out");
}

/// Hands the run directory to the account the service runs under, so that it
/// can write its own status.
void GiveRunDir(const ServiceConfig& config, const LaunchIdentity& identity) {
  const std::string dir = RunDir(config.name);
  (void)::mkdir(dir.c_str(), 0755);
  (void)::chown(dir.c_str(), identity.uid, identity.gid);
  for (const auto& file : {StatusPath(config.name), HistoryPath(config.name)})
    (void)::chown(file.c_str(), identity.uid, identity.gid);
}

}  // namespace
}  // namespace telmo::platform::detail

using telmo::platform::detail::ScObject;
using namespace telmo::platform::detail;

SC_HANDLE OpenSCManagerA(const char* machine, const char* database, DWORD desired_access) {
  if (machine != nullptr && *machine != '\0') return FailHandle(ERROR_CALL_NOT_IMPLEMENTED);
  if (database != nullptr && !telmo::EqualsIgnoreCase(database, SERVICES_ACTIVE_DATABASEA))
    return FailHandle(ERROR_INVALID_NAME);
  const bool writes = (desired_access & (SC_MANAGER_CREATE_SERVICE | SC_MANAGER_LOCK | SC_MANAGER_MODIFY_BOOT_CONFIG)) != 0;
  if (auto made = EnsureDatabaseDir(); !made && writes) return FailHandle(made.error());
  if (writes && !CanWriteDatabase()) return FailHandle(ERROR_ACCESS_DENIED);
  auto object = std::make_unique<ScObject>();
  object->kind = ScObject::Kind::kManager;
  object->access = desired_access;
  return SC_HANDLE(std::move(object));
}

namespace {
// A handle on the service `config` describes, with the rights asked for.
SC_HANDLE ServiceHandle(const ServiceConfig& config, DWORD desired_access) {
  auto object = std::make_unique<ScObject>();
  object->kind = ScObject::Kind::kService;
  object->access = desired_access;
  object->name = config.name;
  object->generation = config.generation;
  return SC_HANDLE(std::move(object));
}
}  // namespace

SC_HANDLE CreateServiceA(const SC_HANDLE& manager, const char* service_name, const char* display_name,
                         DWORD desired_access, DWORD service_type, DWORD start_type, DWORD error_control,
                         const char* binary_path, const char* load_order_group, DWORD* tag_id,
                         const char* dependencies, const char* service_start_name, const char* /*password*/) {
  const ScObject* m = manager.get();
  if (m == nullptr || m->kind != ScObject::Kind::kManager) return FailHandle(ERROR_INVALID_HANDLE);
  if ((m->access & SC_MANAGER_CREATE_SERVICE) == 0) return FailHandle(ERROR_ACCESS_DENIED);
  if (service_name == nullptr || !ValidServiceName(service_name)) return FailHandle(ERROR_INVALID_NAME);
  const std::string display = display_name != nullptr && *display_name != '\0' ? display_name : service_name;
  if (display.size() > 256) return FailHandle(ERROR_INVALID_NAME);
  if (binary_path == nullptr || *binary_path == '\0' || !ValidType(service_type) || !ValidStartType(start_type) ||
      !ValidErrorControl(error_control) || tag_id != nullptr)
    return FailHandle(ERROR_INVALID_PARAMETER);

  auto lock = DbLock::Acquire();
  if (!lock) return FailHandle(lock.error());
  auto existing = LoadConfig(service_name);
  if (!existing) return FailHandle(existing.error());
  if (*existing) {
    if ((*existing)->delete_pending) return FailHandle(ERROR_SERVICE_MARKED_FOR_DELETE);
    if ((*existing)->installed) return FailHandle(ERROR_SERVICE_EXISTS);
  }
  if (const DWORD dup = CheckDisplayName(service_name, display); dup != ERROR_SUCCESS) return FailHandle(dup);

  ServiceConfig config;
  if (*existing) {
    // A status-only record of a dispatcher run by hand becomes the installed
    // service; its status stays.
    config = std::move(**existing);
  } else {
    config.generation = NewGeneration();
    std::error_code ec;
    std::filesystem::remove_all(RunDir(service_name), ec);  // leftovers of an older service of that name
  }
  config.name = service_name;
  config.display_name = display;
  config.binary_path = binary_path;
  config.load_order_group = load_order_group != nullptr ? load_order_group : "";
  config.account = service_start_name != nullptr ? service_start_name : "";
  config.dependencies = ParseMultiString(dependencies);
  config.service_type = service_type;
  config.start_type = start_type;
  config.error_control = error_control;
  config.installed = true;
  config.delete_pending = false;
  if (auto stored = StoreConfig(*lock, config); !stored) return FailHandle(stored.error());

  return ServiceHandle(config, desired_access);
}

SC_HANDLE OpenServiceA(const SC_HANDLE& manager, const char* service_name, DWORD desired_access) {
  const ScObject* m = manager.get();
  if (m == nullptr || m->kind != ScObject::Kind::kManager) return FailHandle(ERROR_INVALID_HANDLE);
  if (service_name == nullptr || !ValidServiceName(service_name)) return FailHandle(ERROR_INVALID_NAME);
  auto loaded = LoadConfig(service_name);
  if (!loaded) return FailHandle(loaded.error());
  if (!*loaded) return FailHandle(ERROR_SERVICE_DOES_NOT_EXIST);
  const ServiceConfig& config = **loaded;
  if (config.delete_pending) {
    // A marked service that has stopped meanwhile is gone now.
    (void)EffectiveStatus(nullptr, config);
    auto again = LoadConfig(service_name);
    if (!again || !*again) return FailHandle(ERROR_SERVICE_DOES_NOT_EXIST);
  }
  if ((desired_access & (SERVICE_CHANGE_CONFIG | SERVICE_START | DELETE)) != 0 && !CanWriteDatabase())
    return FailHandle(ERROR_ACCESS_DENIED);
  return ServiceHandle(config, desired_access);
}

BOOL CloseServiceHandle(SC_HANDLE& handle) {
  if (!handle) return Fail(ERROR_INVALID_HANDLE);
  handle.reset();
  return TRUE;
}

BOOL DeleteService(const SC_HANDLE& service) {
  auto lock = DbLock::Acquire();
  if (!lock) return Fail(lock.error());
  auto config = ConfigOfHandle(service, DELETE);
  if (!config) return Fail(config.error());
  if (config->delete_pending) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  const LiveStatus status = EffectiveStatus(&*lock, *config);
  if (status.status.dwCurrentState != SERVICE_STOPPED) {
    // Running: removed once it reports SERVICE_STOPPED (or is found dead).
    config->delete_pending = true;
    if (auto stored = StoreConfig(*lock, *config); !stored) return Fail(stored.error());
    return TRUE;
  }
  RemoveService(*lock, config->name);
  return TRUE;
}

BOOL StartServiceA(const SC_HANDLE& service, DWORD argc, const char** argv) {
  auto lock = DbLock::Acquire();
  if (!lock) return Fail(lock.error());
  auto config = ConfigOfHandle(service, SERVICE_START);
  if (!config) return Fail(config.error());
  if (config->delete_pending) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  const LiveStatus status = EffectiveStatus(&*lock, *config);
  if (status.status.dwCurrentState != SERVICE_STOPPED) return Fail(ERROR_SERVICE_ALREADY_RUNNING);
  if (config->start_type == SERVICE_DISABLED) return Fail(ERROR_SERVICE_DISABLED);
  if (!config->installed || config->binary_path.empty()) return Fail(ERROR_FILE_NOT_FOUND);

  const std::vector<std::string> words = telmo::platform::SplitCommandLine(config->binary_path);
  if (words.empty() || words[0].empty()) return Fail(ERROR_FILE_NOT_FOUND);
  std::optional<LaunchIdentity> identity;
  if (::geteuid() == 0) {
    auto resolved = ResolveAccount(config->account);
    if (!resolved) return Fail(resolved.error());
    identity = std::move(*resolved);
  }

  LaunchRequest request;
  request.program = telmo::platform::NativePath(words[0]);
  request.arguments = words;
  request.environment = ServiceEnvironment(*config, argc, argv, identity);
  request.output_path = OutputPath(*config);
  request.identity = identity;
  if (identity) GiveRunDir(*config, *identity);

  // The lock is held until START_PENDING is recorded, so the service's own
  // first report (which waits for the lock) always comes after it.
  auto launched = LaunchDetached(request);
  if (!launched) return Fail(launched.error());
  LiveStatus pending;
  pending.generation = config->generation;
  pending.status = SERVICE_STATUS{config->service_type, SERVICE_START_PENDING, 0, 0, 0, 0, kStartWaitHint};
  pending.pid = launched->pid;
  pending.start_time = launched->start_time;
  pending.present = true;
  if (auto stored = StoreStatus(*lock, *config, pending, "start"); !stored) {
    // A start that reports failure leaves nothing running behind.
    if (ProcessAlive(launched->pid, launched->start_time)) ::kill(static_cast<pid_t>(launched->pid), SIGKILL);
    return Fail(stored.error());
  }
  if (identity) GiveRunDir(*config, *identity);
  return TRUE;
}

BOOL ControlService(const SC_HANDLE& service, DWORD control, SERVICE_STATUS* status) {
  if (status == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const DWORD access = AccessForControl(control);
  if (access == 0) return Fail(ERROR_INVALID_PARAMETER);
  auto config = ConfigOfHandle(service, access);
  if (!config) return Fail(config.error());
  LiveStatus live = EffectiveStatus(nullptr, *config);
  *status = live.status;
  const DWORD state = live.status.dwCurrentState;
  const DWORD accepted = live.status.dwControlsAccepted;
  if (state == SERVICE_STOPPED) return Fail(ERROR_SERVICE_NOT_ACTIVE);
  bool allowed = false;
  switch (control) {
    case SERVICE_CONTROL_STOP: allowed = (accepted & SERVICE_ACCEPT_STOP) != 0; break;
    case SERVICE_CONTROL_SHUTDOWN: allowed = (accepted & SERVICE_ACCEPT_SHUTDOWN) != 0; break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE: allowed = (accepted & SERVICE_ACCEPT_PAUSE_CONTINUE) != 0; break;
    case SERVICE_CONTROL_INTERROGATE: allowed = true; break;
    default: allowed = state != SERVICE_START_PENDING && state != SERVICE_STOP_PENDING; break;
  }
  if (!allowed) return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);

  const DWORD answer = SendControl(*config, control);
  live = EffectiveStatus(nullptr, *config);
  *status = live.status;
  if (answer != ERROR_SUCCESS) {
    // The process may have ended while we were talking to it.
    return Fail(live.status.dwCurrentState == SERVICE_STOPPED ? ERROR_SERVICE_NOT_ACTIVE : answer);
  }
  return TRUE;
}

BOOL QueryServiceStatus(const SC_HANDLE& service, SERVICE_STATUS* status) {
  if (status == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  auto config = ConfigOfHandle(service, SERVICE_QUERY_STATUS);
  if (!config) return Fail(config.error());
  *status = EffectiveStatus(nullptr, *config).status;
  return TRUE;
}

BOOL QueryServiceStatusEx(const SC_HANDLE& service, SC_STATUS_TYPE level, BYTE* buffer, DWORD buffer_size,
                          DWORD* bytes_needed) {
  if (level != SC_STATUS_PROCESS_INFO || bytes_needed == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  auto config = ConfigOfHandle(service, SERVICE_QUERY_STATUS);
  if (!config) return Fail(config.error());
  *bytes_needed = sizeof(SERVICE_STATUS_PROCESS);
  if (buffer == nullptr || buffer_size < sizeof(SERVICE_STATUS_PROCESS)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  const SERVICE_STATUS_PROCESS p = ToProcessStatus(EffectiveStatus(nullptr, *config));
  std::memcpy(buffer, &p, sizeof p);
  return TRUE;
}

BOOL QueryServiceConfigA(const SC_HANDLE& service, QUERY_SERVICE_CONFIGA* config_out, DWORD buffer_size,
                         DWORD* bytes_needed) {
  if (bytes_needed == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  auto config = ConfigOfHandle(service, SERVICE_QUERY_CONFIG);
  if (!config) return Fail(config.error());

  const std::string account = config->account.empty() ? "LocalSystem" : config->account;
  std::string dependencies;
  for (const auto& d : config->dependencies) dependencies.append(d).push_back('\0');
  dependencies.push_back('\0');
  const std::size_t needed = sizeof(QUERY_SERVICE_CONFIGA) + config->binary_path.size() + 1 +
                             config->load_order_group.size() + 1 + dependencies.size() + account.size() + 1 +
                             config->display_name.size() + 1;
  *bytes_needed = static_cast<DWORD>(needed);
  if (config_out == nullptr) {
    if (buffer_size == 0) return Fail(ERROR_INSUFFICIENT_BUFFER);
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (buffer_size < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (reinterpret_cast<std::uintptr_t>(config_out) % alignof(QUERY_SERVICE_CONFIGA) != 0)
    return Fail(ERROR_NOACCESS);

  char* const base = reinterpret_cast<char*>(config_out);
  char* cursor = base + sizeof(QUERY_SERVICE_CONFIGA);
  auto place = [&](std::string_view text, bool add_nul) {
    char* at = cursor;
    std::memcpy(cursor, text.data(), text.size());
    cursor += text.size();
    if (add_nul) *cursor++ = '\0';
    return at;
  };
  QUERY_SERVICE_CONFIGA result;
  result.dwServiceType = config->service_type;
  result.dwStartType = config->start_type;
  result.dwErrorControl = config->error_control;
  result.dwTagId = config->tag_id;
  result.lpBinaryPathName = place(config->binary_path, true);
  result.lpLoadOrderGroup = place(config->load_order_group, true);
  result.lpDependencies = place(dependencies, false);
  result.lpServiceStartName = place(account, true);
  result.lpDisplayName = place(config->display_name, true);
  std::memcpy(base, &result, sizeof result);
  return TRUE;
}

BOOL ChangeServiceConfigA(const SC_HANDLE& service, DWORD service_type, DWORD start_type, DWORD error_control,
                          const char* binary_path, const char* load_order_group, DWORD* tag_id,
                          const char* dependencies, const char* service_start_name, const char* /*password*/,
                          const char* display_name) {
  if ((service_type != SERVICE_NO_CHANGE && !ValidType(service_type)) ||
      (start_type != SERVICE_NO_CHANGE && !ValidStartType(start_type)) ||
      (error_control != SERVICE_NO_CHANGE && !ValidErrorControl(error_control)) || tag_id != nullptr ||
      (binary_path != nullptr && *binary_path == '\0'))
    return Fail(ERROR_INVALID_PARAMETER);
  auto lock = DbLock::Acquire();
  if (!lock) return Fail(lock.error());
  auto config = ConfigOfHandle(service, SERVICE_CHANGE_CONFIG);
  if (!config) return Fail(config.error());
  if (config->delete_pending) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  if (display_name != nullptr) {
    const std::string display = *display_name != '\0' ? display_name : config->name;
    if (display.size() > 256) return Fail(ERROR_INVALID_NAME);
    if (const DWORD dup = CheckDisplayName(config->name, display); dup != ERROR_SUCCESS) return Fail(dup);
    config->display_name = display;
  }
  if (service_type != SERVICE_NO_CHANGE) config->service_type = service_type;
  if (start_type != SERVICE_NO_CHANGE) config->start_type = start_type;
  if (error_control != SERVICE_NO_CHANGE) config->error_control = error_control;
  if (binary_path != nullptr) config->binary_path = binary_path;
  if (load_order_group != nullptr) config->load_order_group = load_order_group;
  if (dependencies != nullptr) config->dependencies = ParseMultiString(dependencies);
  if (service_start_name != nullptr) config->account = service_start_name;
  config->installed = true;
  if (auto stored = StoreConfig(*lock, *config); !stored) return Fail(stored.error());
  return TRUE;
}
