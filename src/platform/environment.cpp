// The configuration contract on every system; the system's own part (host
// name, default folders) is the backend's.
#include "platform/environment.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

#include "util/text.h"

namespace telmo::platform {
namespace {

// The environment file. Lookups are frequent (every path the manager builds,
// every trace line asks for TELMO_TRACE) and the file rarely changes: it is
// read once, and looked at again (one stat) at most once a second, or at once
// when TELMO_STATE_DIR names another directory; it is read again only when its
// modification time or size changed.
class EnvironmentFile {
 public:
  std::optional<std::string> Get(std::string_view name) {
    const char* state = std::getenv("TELMO_STATE_DIR");
    const std::string_view dir = state && *state ? state : detail::kDefaultStateDir;
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (dir != dir_ || now - checked_at_ >= kRecheck) {
      if (dir != dir_) {
        dir_ = std::string(dir);
        loaded_ = false;
      }
      checked_at_ = now;
      Refresh(dir_ + "/environment");
    }
    auto it = values_.find(name);
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }

 private:
  static constexpr auto kRecheck = std::chrono::seconds(1);

  void Refresh(const std::string& path) {
    std::error_code ec;
    const auto mtime = std::filesystem::last_write_time(path, ec);
    const auto size = ec ? 0 : std::filesystem::file_size(path, ec);
    if (ec) {
      values_.clear();
      loaded_ = false;
      return;
    }
    if (loaded_ && size == size_ && mtime == mtime_) return;
    Load(path);
    loaded_ = true;
    mtime_ = mtime;
    size_ = size;
  }

  void Load(const std::string& path) {
    values_.clear();
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
      const std::string_view l = Trim(line);
      if (l.empty() || l.front() == '#') continue;
      const auto eq = l.find('=');
      if (eq == std::string_view::npos || eq == 0) continue;
      values_[std::string(Trim(l.substr(0, eq)))] = std::string(Trim(l.substr(eq + 1)));
    }
  }

  std::mutex mutex_;
  std::string dir_;
  std::chrono::steady_clock::time_point checked_at_{};
  std::filesystem::file_time_type mtime_{};
  std::uintmax_t size_ = 0;
  bool loaded_ = false;  // false: no file read
  std::map<std::string, std::string, std::less<>> values_;
};

EnvironmentFile& TheEnvironmentFile() {
  static EnvironmentFile file;
  return file;
}

}  // namespace

std::optional<std::string> LookupEnvironment(std::string_view name) {
  const std::string key(name);
  if (const char* v = std::getenv(key.c_str())) return std::string(v);
  return TheEnvironmentFile().Get(name);
}

std::string StateDir() { return LookupConfig("TELMO_STATE_DIR").value_or(detail::kDefaultStateDir); }
std::string LogDir() { return LookupConfig("TELMO_LOG_DIR").value_or(detail::kDefaultLogDir); }

std::optional<std::string> LookupConfig(std::string_view name) {
  if (auto v = LookupEnvironment(name)) return v;
  if (name == "TELMO_STATE_DIR") return std::string(detail::kDefaultStateDir);
  if (name == "TELMO_LOG_DIR") return std::string(detail::kDefaultLogDir);
  if (name == "TELMO_NODE") return detail::HostName();
  if (name == "TELMO_SERVICES_FILE") return detail::DefaultServicesFile();
  if (name == "TELMO_LISTEN") return std::string("127.0.0.1");
  if (name == "TELMOROOT") return std::string(detail::kDefaultRoot);
  if (name == "TELMOROOTQ") return LookupConfig("TELMOROOT");
  if (name == "TELMOIO") return *LookupConfig("TELMOROOT") + "/io";
  if (name == "PROGRAMDATA") return StateDir() + "/ProgramData";
  if (name == "APPDATA") return StateDir() + "/AppData";
  if (name == "SystemRoot") return StateDir() + "/Windows";
  if (name == "ProgramFiles") return StateDir() + "/ProgramFiles";
  if (name == "ProgramFiles(x86)") return StateDir() + "/ProgramFilesX86";
  return std::nullopt;
}

bool FlagEnabled(std::string_view name) { return LookupEnvironment(name).value_or("") == "1"; }

std::string ExpandReferences(std::string_view text, bool* all_expanded) {
  std::string out;
  out.reserve(text.size());
  bool all = true;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '%') {
      const auto close = text.find('%', i + 1);
      if (close != std::string_view::npos && close > i + 1) {
        const std::string_view name = text.substr(i + 1, close - i - 1);
        if (name.find_first_of(" \t\\/") == std::string_view::npos) {
          if (auto value = LookupConfig(name)) {
            out += *value;
          } else {
            all = false;
            out.append(text.substr(i, close - i + 1));
          }
          i = close + 1;
          continue;
        }
      }
    }
    out += text[i++];
  }
  if (all_expanded) *all_expanded = all;
  return out;
}

}  // namespace telmo::platform
