// The service database: records, status, history, the lock and the liveness test.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/environment.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/posix/scm_internal.h"
#include "platform/win_error.h"
#include "util/text.h"

namespace telmo::platform {

std::string ServiceDatabaseDir() { return JoinPath(StateDir(), "services.d"); }

namespace detail {
namespace {

constexpr std::size_t kMaxKeyLength = 96;
constexpr off_t kHistoryTrimSize = 512 * 1024;
constexpr std::size_t kHistoryKeepLines = 2000;

Error LastErrno() { return Error{Win32FromErrno(errno)}; }

std::uint64_t Fnv1a(std::string_view text) {
  std::uint64_t h = 1469598103934665603ull;
  for (const char c : text) {
    h ^= static_cast<unsigned char>(c);
    h *= 1099511628211ull;
  }
  return h;
}

nlohmann::json ConfigToJson(const ServiceConfig& c) {
  return nlohmann::json{{"name", c.name},
                        {"display_name", c.display_name},
                        {"binary_path", c.binary_path},
                        {"load_order_group", c.load_order_group},
                        {"account", c.account},
                        {"dependencies", c.dependencies},
                        {"service_type", c.service_type},
                        {"start_type", c.start_type},
                        {"error_control", c.error_control},
                        {"tag_id", c.tag_id},
                        {"installed", c.installed},
                        {"delete_pending", c.delete_pending},
                        {"generation", c.generation}};
}

std::optional<ServiceConfig> ConfigFromJson(const std::string& text) {
  const auto j = nlohmann::json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return std::nullopt;
  try {
    ServiceConfig c;
    c.name = j.at("name").get<std::string>();
    c.display_name = j.value("display_name", c.name);
    c.binary_path = j.value("binary_path", std::string());
    c.load_order_group = j.value("load_order_group", std::string());
    c.account = j.value("account", std::string());
    c.dependencies = j.value("dependencies", std::vector<std::string>());
    c.service_type = j.value("service_type", SERVICE_WIN32_OWN_PROCESS);
    c.start_type = j.value("start_type", SERVICE_DEMAND_START);
    c.error_control = j.value("error_control", SERVICE_ERROR_NORMAL);
    c.tag_id = j.value("tag_id", DWORD{0});
    c.installed = j.value("installed", true);
    c.delete_pending = j.value("delete_pending", false);
    c.generation = j.at("generation").get<std::uint64_t>();
    if (c.name.empty()) return std::nullopt;
    return c;
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void TrimHistory(const std::string& path) {
  auto text = ReadWholeFile(path);
  if (!text) return;
  std::vector<std::string_view> lines;
  std::string_view rest = *text;
  while (!rest.empty()) {
    const auto nl = rest.find('\n');
    if (nl == std::string_view::npos) break;  // a torn last line is dropped
    lines.push_back(rest.substr(0, nl + 1));
    rest.remove_prefix(nl + 1);
  }
  std::string kept;
  const std::size_t first = lines.size() > kHistoryKeepLines ? lines.size() - kHistoryKeepLines : 0;
  for (std::size_t i = first; i < lines.size(); ++i) kept.append(lines[i]);
  (void)WriteFileAtomically(path, kept);
}

std::optional<ServiceStatusReport> ParseHistoryLine(std::string_view line) {
  ServiceStatusReport r;
  int seen = 0;
  while (!line.empty()) {
    const auto sp = line.find(' ');
    const std::string_view field = line.substr(0, sp);
    line = sp == std::string_view::npos ? std::string_view() : line.substr(sp + 1);
    const auto eq = field.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    const std::string_view key = field.substr(0, eq);
    const std::string value(field.substr(eq + 1));
    if (key == "src") {
      r.source = value;
      ++seen;
      continue;
    }
    char* end = nullptr;
    errno = 0;
    const long long n = std::strtoll(value.c_str(), &end, 10);
    if (errno != 0 || end == value.c_str() || *end != '\0') return std::nullopt;
    const auto d = static_cast<DWORD>(n);
    if (key == "t") r.time_ms = n;
    else if (key == "pid") r.pid = d;
    else if (key == "state") r.status.dwCurrentState = d;
    else if (key == "type") r.status.dwServiceType = d;
    else if (key == "controls") r.status.dwControlsAccepted = d;
    else if (key == "win32") r.status.dwWin32ExitCode = d;
    else if (key == "specific") r.status.dwServiceSpecificExitCode = d;
    else if (key == "checkpoint") r.status.dwCheckPoint = d;
    else if (key == "wait") r.status.dwWaitHint = d;
    else continue;
    ++seen;
  }
  if (seen < 2 || r.status.dwCurrentState == 0) return std::nullopt;
  return r;
}

}  // namespace

Result<DbLock> DbLock::Acquire() {
  if (auto made = EnsureDatabaseDir(); !made) return Error{made.error()};
  const std::string path = JoinPath(ServiceDatabaseDir(), ".lock");
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 && (errno == EACCES || errno == EROFS)) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return LastErrno();
  UniqueFd owned(fd);
  while (::flock(owned.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return LastErrno();
  }
  return DbLock(std::move(owned));
}

Result<void> EnsureDatabaseDir() {
  const std::string dir = ServiceDatabaseDir();
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return {};
    return Error{ERROR_PATH_NOT_FOUND};
  }
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return Error{Win32FromErrno(ec.value())};
  return {};
}

bool ValidServiceName(std::string_view name) noexcept {
  if (name.empty() || name.size() > 256) return false;
  for (const char c : name) {
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  }
  return true;
}

std::string ServiceKey(std::string_view name) {
  const std::string lower = ToLower(name);
  std::string key;
  for (std::size_t i = 0; i < lower.size(); ++i) {
    const auto c = static_cast<unsigned char>(lower[i]);
    const bool plain = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ' || c == '_' || c == '-' ||
                       (c == '.' && i > 0);
    if (plain) {
      key.push_back(static_cast<char>(c));
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      key.append(hex);
    }
  }
  if (key.size() > kMaxKeyLength) {
    char hash[20];
    std::snprintf(hash, sizeof hash, "~%016llx", static_cast<unsigned long long>(Fnv1a(lower)));
    key.resize(kMaxKeyLength - 17);
    // Never cut an escape in two.
    if (const auto pct = key.rfind('%'); pct != std::string::npos && pct + 3 > key.size()) key.resize(pct);
    key.append(hash);
  }
  return key;
}

std::string ConfigPath(std::string_view name) { return JoinPath(ServiceDatabaseDir(), ServiceKey(name) + ".service"); }
std::string RunDir(std::string_view name) { return JoinPath(ServiceDatabaseDir(), ServiceKey(name)); }
std::string StatusPath(std::string_view name) { return JoinPath(RunDir(name), "status"); }
std::string HistoryPath(std::string_view name) { return JoinPath(RunDir(name), "history"); }
std::string ControlSocketPath(std::string_view name) { return JoinPath(RunDir(name), "control"); }

Result<std::optional<ServiceConfig>> LoadConfig(std::string_view name) {
  auto text = ReadWholeFile(ConfigPath(name));
  if (!text) {
    if (text.error() == ERROR_FILE_NOT_FOUND || text.error() == ERROR_PATH_NOT_FOUND)
      return std::optional<ServiceConfig>();
    return Error{text.error()};
  }
  auto config = ConfigFromJson(*text);
  if (!config || !EqualsIgnoreCase(config->name, name)) return Error{ERROR_INVALID_DATA};
  return std::optional<ServiceConfig>(std::move(*config));
}

Result<void> StoreConfig(const DbLock&, const ServiceConfig& config) {
  return WriteFileAtomically(ConfigPath(config.name), ConfigToJson(config).dump(2) + "\n");
}

std::vector<ServiceConfig> LoadAllConfigs() {
  std::vector<ServiceConfig> all;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(ServiceDatabaseDir(), ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().extension() != ".service") continue;
    auto text = ReadWholeFile(it->path().string());
    if (!text) continue;
    if (auto config = ConfigFromJson(*text)) all.push_back(std::move(*config));
  }
  return all;
}

void RemoveService(const DbLock&, std::string_view name) {
  std::error_code ec;
  std::filesystem::remove(ConfigPath(name), ec);
  std::filesystem::remove_all(RunDir(name), ec);
}

LiveStatus LoadStatus(const ServiceConfig& config) {
  LiveStatus s;
  auto text = ReadWholeFile(StatusPath(config.name));
  if (!text) return s;
  const auto j = nlohmann::json::parse(*text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return s;
  try {
    if (j.at("generation").get<std::uint64_t>() != config.generation) return s;
    s.generation = config.generation;
    s.status.dwServiceType = j.value("type", config.service_type);
    s.status.dwCurrentState = j.at("state").get<DWORD>();
    s.status.dwControlsAccepted = j.value("controls", DWORD{0});
    s.status.dwWin32ExitCode = j.value("win32_exit_code", DWORD{0});
    s.status.dwServiceSpecificExitCode = j.value("service_exit_code", DWORD{0});
    s.status.dwCheckPoint = j.value("checkpoint", DWORD{0});
    s.status.dwWaitHint = j.value("wait_hint", DWORD{0});
    s.pid = j.value("pid", DWORD{0});
    s.start_time = j.value("start_time", std::uint64_t{0});
    s.present = s.status.dwCurrentState >= SERVICE_STOPPED && s.status.dwCurrentState <= SERVICE_PAUSED;
  } catch (const nlohmann::json::exception&) {
    s = LiveStatus{};
  }
  return s;
}

Result<void> StoreStatus(const DbLock& lock, const ServiceConfig& config, const LiveStatus& status,
                         std::string_view source) {
  const std::string dir = RunDir(config.name);
  if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return LastErrno();
  const nlohmann::json j{{"generation", config.generation},
                         {"type", status.status.dwServiceType},
                         {"state", status.status.dwCurrentState},
                         {"controls", status.status.dwControlsAccepted},
                         {"win32_exit_code", status.status.dwWin32ExitCode},
                         {"service_exit_code", status.status.dwServiceSpecificExitCode},
                         {"checkpoint", status.status.dwCheckPoint},
                         {"wait_hint", status.status.dwWaitHint},
                         {"pid", status.pid},
                         {"start_time", status.start_time}};
  if (auto written = WriteFileAtomically(StatusPath(config.name), j.dump() + "\n"); !written) return written;
  AppendHistory(lock, config.name, source, status.pid, status.status);
  return {};
}

std::uint64_t ProcessStartTime(DWORD pid) {
  if (pid == 0) return 0;
  auto text = ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
  if (!text) return 0;
  const auto paren = text->rfind(')');
  if (paren == std::string::npos) return 0;
  std::istringstream in(text->substr(paren + 1));
  std::string field;
  // Fields after the command: 3 (state) ... 22 (start time).
  for (int i = 3; i <= 22; ++i) {
    if (!(in >> field)) return 0;
  }
  return std::strtoull(field.c_str(), nullptr, 10);
}

bool ProcessAlive(DWORD pid, std::uint64_t start_time) {
  if (pid == 0) return false;
  auto text = ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
  if (!text) return false;
  const auto paren = text->rfind(')');
  if (paren == std::string::npos || paren + 2 >= text->size()) return false;
  const char state = (*text)[paren + 2];
  // A zombie has ended: nobody may have reaped it yet (it is not our child).
  if (state == 'Z' || state == 'X' || state == 'x') return false;
  return start_time == 0 || ProcessStartTime(pid) == start_time;
}

bool StatusRunning(const LiveStatus& status) {
  return status.present && status.status.dwCurrentState != SERVICE_STOPPED &&
         ProcessAlive(status.pid, status.start_time);
}

LiveStatus EffectiveStatus(const DbLock* lock, const ServiceConfig& config) {
  LiveStatus s = LoadStatus(config);
  if (!s.present) {
    s.generation = config.generation;
    s.status = SERVICE_STATUS{config.service_type, SERVICE_STOPPED, 0, ERROR_SERVICE_NEVER_STARTED, 0, 0, 0};
    s.pid = 0;
  } else if (s.status.dwCurrentState != SERVICE_STOPPED && !ProcessAlive(s.pid, s.start_time)) {
    const LiveStatus seen = s;
    s.status = SERVICE_STATUS{s.status.dwServiceType, SERVICE_STOPPED, 0, ERROR_PROCESS_ABORTED, 0, 0, 0};
    s.pid = 0;
    s.start_time = 0;
    // Record the finding, unless the service has reported meanwhile.
    auto persist = [&](const DbLock& held) {
      const LiveStatus now = LoadStatus(config);
      if (now.present && now.pid == seen.pid && now.start_time == seen.start_time &&
          now.status.dwCurrentState == seen.status.dwCurrentState)
        (void)StoreStatus(held, config, s, "aborted");
    };
    if (lock != nullptr) {
      persist(*lock);
    } else if (auto taken = DbLock::Acquire()) {
      persist(*taken);
    }
  }
  if (config.delete_pending && s.status.dwCurrentState == SERVICE_STOPPED) {
    auto finish = [&](const DbLock& held) {
      auto current = LoadConfig(config.name);
      if (current && *current && (*current)->generation == config.generation && (*current)->delete_pending)
        RemoveService(held, config.name);
    };
    if (lock != nullptr) {
      finish(*lock);
    } else if (auto taken = DbLock::Acquire()) {
      finish(*taken);
    }
  }
  return s;
}

Result<ServiceConfig> ConfigOfHandle(const SC_HANDLE& handle, DWORD access) {
  const ScObject* object = handle.get();
  if (object == nullptr || object->kind != ScObject::Kind::kService) return Error{ERROR_INVALID_HANDLE};
  if ((access & ~object->access) != 0) return Error{ERROR_ACCESS_DENIED};
  auto loaded = LoadConfig(object->name);
  if (!loaded) return Error{loaded.error()};
  if (!*loaded || (*loaded)->generation != object->generation) return Error{ERROR_SERVICE_MARKED_FOR_DELETE};
  return std::move(**loaded);
}

void AppendHistory(const DbLock&, std::string_view name, std::string_view source, DWORD pid,
                   const SERVICE_STATUS& s) {
  const std::string path = HistoryPath(name);
  const std::string line = Format("t=%lld src=%.*s pid=%u type=%u state=%u controls=%u win32=%u specific=%u "
                                  "checkpoint=%u wait=%u\n",
                                  static_cast<long long>(NowMs()), static_cast<int>(source.size()), source.data(), pid,
                                  s.dwServiceType, s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode,
                                  s.dwServiceSpecificExitCode, s.dwCheckPoint, s.dwWaitHint);
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (!fd) return;
  // One write per line: readers never see half a line from an append.
  if (::write(fd.get(), line.data(), line.size()) < 0) return;
  struct stat st {};
  if (::fstat(fd.get(), &st) == 0 && st.st_size > kHistoryTrimSize) {
    fd.reset();
    TrimHistory(path);
  }
}

Result<UnixAddress> MakeUnixAddress(const std::string& path) {
  UnixAddress address;
  sockaddr_un un{};
  un.sun_family = AF_UNIX;
  std::string target = path;
  if (target.size() >= sizeof un.sun_path) {
    // Too long for sun_path: name the directory through its descriptor.
    const std::string_view head = PathHead(path);
    const std::string dir(head.empty() ? std::string_view(".") : head);
    address.dir_fd.reset(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!address.dir_fd) return LastErrno();
    target = "/proc/self/fd/" + std::to_string(address.dir_fd.get()) + "/" + std::string(PathTail(path));
    if (target.size() >= sizeof un.sun_path) return Error{ERROR_FILENAME_EXCED_RANGE};
  }
  std::memcpy(un.sun_path, target.c_str(), target.size() + 1);
  const auto* raw = reinterpret_cast<const unsigned char*>(&un);
  address.bytes.assign(raw, raw + offsetof(sockaddr_un, sun_path) + target.size() + 1);
  return address;
}

}  // namespace detail

std::vector<ServiceStatusReport> ReadServiceHistory(std::string_view service_name) {
  std::vector<ServiceStatusReport> reports;
  auto text = ReadWholeFile(detail::HistoryPath(service_name));
  if (!text) return reports;
  std::string_view rest = *text;
  while (!rest.empty()) {
    const auto nl = rest.find('\n');
    if (nl == std::string_view::npos) break;
    if (auto r = detail::ParseHistoryLine(rest.substr(0, nl))) reports.push_back(std::move(*r));
    rest.remove_prefix(nl + 1);
  }
  return reports;
}

}  // namespace telmo::platform
