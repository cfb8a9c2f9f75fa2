// The node's TCP services file. Readers take no lock: every change replaces
// the file by rename, so a reader sees the old file or the new one, whole.
// Writers serialise on an exclusive lock of "<file>.lock" (a separate file,
// because the services file itself is replaced under them) and re-read the
// file under that lock before changing it.

#include <chrono>
#include <charconv>
#include <filesystem>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "external/line_file.h"
#include "external/telmo_log.h"
#include "external/telmo_services.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/file_io.h"
#include "platform/win_error.h"
#include "util/text.h"

namespace telmo {
namespace {

constexpr int kFirstFreePort = 7000;
constexpr int kMaxPort = 65535;
constexpr std::size_t kMaxServiceName = 31;

std::optional<int> ParsePort(std::string_view text) {
  int port = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (ec != std::errc() || end != text.data() + text.size() || port < 1 || port > kMaxPort) return std::nullopt;
  return port;
}

// "name port/proto [aliases...] [# comment]"; only tcp lines are entries.
std::optional<ServiceEntry> ParseLine(std::string_view line) {
  if (const auto hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
  auto next_token = [&line]() -> std::string_view {
    line = TrimLeft(line);
    std::size_t n = 0;
    while (n < line.size() && line[n] != ' ' && line[n] != '\t' && line[n] != '\r') ++n;
    const std::string_view token = line.substr(0, n);
    line = line.substr(n);
    return token;
  };
  const std::string_view name = next_token();
  const std::string_view port_proto = next_token();
  if (name.empty() || port_proto.empty()) return std::nullopt;
  const auto slash = port_proto.find('/');
  if (slash == std::string_view::npos || !EqualsIgnoreCase(port_proto.substr(slash + 1), "tcp")) return std::nullopt;
  const auto port = ParsePort(port_proto.substr(0, slash));
  if (!port) return std::nullopt;
  return ServiceEntry{std::string(name), *port};
}

struct ServicesFile : detail::LineFile<ServiceEntry> {
  [[nodiscard]] const ServiceEntry* Find(std::string_view service) const {
    for (const auto& l : lines) {
      if (l.entry && EqualsIgnoreCase(l.entry->name, service)) return &*l.entry;
    }
    return nullptr;
  }
  [[nodiscard]] bool PortUsed(int port) const {
    for (const auto& l : lines) {
      if (l.entry && l.entry->port == port) return true;
    }
    return false;
  }
};

// nullopt when the file exists and cannot be read: a change must then not
// go on, or it would replace the file with one that lacks its entries. A
// missing file is an empty one.
std::optional<ServicesFile> TryLoad(const std::string& path) {
  auto loaded = detail::LoadLineFile<ServiceEntry>(path, ParseLine);
  if (!loaded) return std::nullopt;
  ServicesFile file;
  file.lines = std::move(loaded->lines);
  return file;
}

ServicesFile Load(const std::string& path) { return TryLoad(path).value_or(ServicesFile{}); }

// Held for the whole read-modify-write of a change, on "<file>.lock" (the
// services file itself is replaced under it).
Result<platform::ExclusiveFileLock> LockForChange(const std::string& services_path) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(services_path).parent_path(), ec);
  return platform::ExclusiveFileLock::Acquire(services_path + ".lock");
}

// A name that can stand as one field of a line: no blank, no comment sign, no
// control character (a line end in a name would forge another entry).
bool ValidServiceName(std::string_view service) {
  if (service.empty() || service.size() > kMaxServiceName) return false;
  for (const char c : service) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= ' ' || u == 0x7f || c == '#') return false;
  }
  return true;
}

void LogWriteFailure(const std::string& path, std::uint32_t error) {
  TELMO_MGMT_LogMessage("telmo_services", "services", __LINE__, "Cannot write the services file %s, error %u\n",
                        path.c_str(), static_cast<unsigned>(error));
}

}  // namespace

std::string ServicesFilePath() {
  return platform::LookupConfig("TELMO_SERVICES_FILE").value_or(platform::StateDir() + "/services");
}

std::vector<ServiceEntry> ListServices() {
  std::vector<ServiceEntry> out;
  for (auto& l : Load(ServicesFilePath()).lines) {
    if (l.entry) out.push_back(*l.entry);
  }
  return out;
}

}  // namespace telmo

namespace telmo {
namespace {

// Lookups by name keep the parsed file for as long as it is the same file:
// every change replaces it by rename (a new inode), and an edit in place
// changes its size or modification time. File times are coarse (a few
// milliseconds), so a file changed within the last two seconds is read again
// on every lookup: a second edit in the same tick would look unchanged. A
// watchdog pass asks for the port of every watched DLGP; reading a file of a
// thousand entries for each would cost more than the pass itself.
class PortCache {
 public:
  int Port(std::string_view service) {
    const std::string path = ServicesFilePath();
    std::lock_guard lock(mutex_);
    const auto facts = platform::LookAtFile(path);
    std::error_code ec;
    const auto mtime = std::filesystem::last_write_time(path, ec);
    if (!facts || ec) {
      valid_ = false;
      return 0;
    }
    const bool settled = std::filesystem::file_time_type::clock::now() - mtime > std::chrono::seconds(2);
    if (!valid_ || !settled || path != path_ || facts->identity != identity_ || facts->size != size_ ||
        mtime != mtime_) {
      ports_ = ServicePorts::Load(path);
      path_ = path;
      identity_ = facts->identity;
      size_ = facts->size;
      mtime_ = mtime;
      valid_ = settled;
    }
    return ports_.Port(service);
  }

 private:
  std::mutex mutex_;
  bool valid_ = false;
  std::string path_;
  platform::FileIdentity identity_;
  std::uint64_t size_ = 0;
  std::filesystem::file_time_type mtime_{};
  ServicePorts ports_;
};

}  // namespace
}  // namespace telmo

int TELMO_MGMT_GetServicePort(std::string_view service) {
  if (service.empty()) return 0;
  static telmo::PortCache cache;
  return cache.Port(service);
}

namespace telmo {

ServicePorts ServicePorts::Load() { return Load(ServicesFilePath()); }

ServicePorts ServicePorts::Load(const std::string& path) {
  ServicePorts ports;
  for (const auto& line : telmo::Load(path).lines) {
    // The first entry of a name wins.
    if (line.entry) ports.ports_.emplace(ToUpper(line.entry->name), line.entry->port);
  }
  return ports;
}

int ServicePorts::Port(std::string_view service) const {
  if (service.empty()) return 0;
  const auto it = ports_.find(ToUpper(service));
  return it == ports_.end() ? 0 : it->second;
}

}  // namespace telmo

int CheckPortNumber(std::string_view service, int* port, int* found) {
  const auto file = telmo::Load(telmo::ServicesFilePath());
  if (const auto* entry = service.empty() ? nullptr : file.Find(service)) {
    if (found) *found = 1;
    if (port) *port = entry->port;
    return entry->port;
  }
  if (found) *found = 0;
  const int proposal = (port && *port > 0) ? *port : telmo::kFirstFreePort;
  for (int candidate = proposal; candidate <= telmo::kMaxPort; ++candidate) {
    if (!file.PortUsed(candidate)) return candidate;
  }
  return 0;  // no free port at or above the proposal
}

bool AddServiceToFile(std::string_view service, int port) {
  if (!telmo::ValidServiceName(service) || port < 1 || port > telmo::kMaxPort) return false;
  const std::string path = telmo::ServicesFilePath();
  const auto lock = telmo::LockForChange(path);
  if (!lock) return false;
  auto loaded = telmo::TryLoad(path);
  if (!loaded) return false;
  auto& file = *loaded;
  if (file.Find(service)) return false;  // an existing entry is never changed
  file.lines.push_back({telmo::Format("%.*s %d/tcp", static_cast<int>(service.size()), service.data(), port),
                        telmo::ServiceEntry{std::string(service), port}});
  if (auto r = telmo::platform::WriteFileAtomically(path, file.Text(), 0644); !r) {
    telmo::LogWriteFailure(path, r.error());
    return false;
  }
  return true;
}

int RemoveServiceFromFile(std::string_view service) {
  const auto removed = telmo::RemoveServiceEntry(service);
  return removed ? *removed : 0;
}

namespace telmo {

Result<int> RemoveServiceEntry(std::string_view service) {
  if (service.empty()) return 0;
  const std::string path = ServicesFilePath();
  auto lock = LockForChange(path);
  if (!lock) {
    LogWriteFailure(path, lock.error());
    return Error{lock.error()};
  }
  auto loaded = TryLoad(path);
  if (!loaded) {
    LogWriteFailure(path, ERROR_READ_FAULT);
    return Error{ERROR_READ_FAULT};
  }
  auto& file = *loaded;
  int removed = 0;
  std::erase_if(file.lines, [&](const ServicesFile::Line& l) {
    if (!l.entry || !EqualsIgnoreCase(l.entry->name, service)) return false;
    if (removed == 0) removed = l.entry->port;
    return true;
  });
  if (removed == 0) return 0;
  if (auto r = platform::WriteFileAtomically(path, file.Text(), 0644); !r) {
    LogWriteFailure(path, r.error());
    return Error{r.error()};
  }
  return removed;
}

}  // namespace telmo
