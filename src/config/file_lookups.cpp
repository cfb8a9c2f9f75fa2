#include "config/file_lookups.h"

#include <set>

#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/sysinfo.h"
#include "platform/win_error.h"
#include "util/text.h"

namespace telmo::detail {
namespace {

// Room for any current directory the system gives (PATH_MAX and more).
constexpr DWORD kCurrentDirectoryRoom = 1u << 16;
// A bind mount of a directory inside itself makes paths that never repeat;
// no product tree is anywhere near this deep.
constexpr int kMaxTreeDepth = 64;

// Puts the saved current directory back however the scope ends.
class CurrentDirectoryRestorer {
 public:
  explicit CurrentDirectoryRestorer(std::string saved) : saved_(std::move(saved)) {}
  CurrentDirectoryRestorer(const CurrentDirectoryRestorer&) = delete;
  CurrentDirectoryRestorer& operator=(const CurrentDirectoryRestorer&) = delete;
  ~CurrentDirectoryRestorer() { SetCurrentDirectoryA(saved_); }

 private:
  std::string saved_;
};

bool SaveCurrentDirectory(std::string& saved) {
  const DWORD n = GetCurrentDirectoryA(kCurrentDirectoryRoom, saved);
  return n != 0 && n < kCurrentDirectoryRoom;
}

// The first entry named `name` (letter case ignored) in the current directory
// that is not a directory: a directory of that name is no executable.
bool FindHere(std::string_view name, std::string& entry) {
  WIN32_FIND_DATAA data;
  FindHandle find = FindFirstFileA(name, &data);
  if (!find) return false;
  do {
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      entry = data.cFileName;
      return true;
    }
  } while (FindNextFileA(find, &data));
  return false;
}

// `visited` holds every directory entered so far by its real path (the system's
// current directory resolves symbolic links), so a link back up the tree, or
// two links to one directory, never make the walk enter a directory twice.
bool SearchTree(std::string_view directory, std::string_view name, std::string& found, std::set<std::string>& visited,
                int depth) {
  std::string saved;
  if (!SaveCurrentDirectory(saved)) return false;
  if (directory == "." || directory == "..") return false;
  if (depth > kMaxTreeDepth) return false;
  if (!SetCurrentDirectoryA(directory)) return false;
  const CurrentDirectoryRestorer restore(std::move(saved));

  std::string here;
  if (!SaveCurrentDirectory(here) || !visited.insert(here).second) return false;

  std::string entry;
  if (FindHere(name, entry)) {
    found = platform::JoinPath(here, entry);
    return true;
  }

  WIN32_FIND_DATAA data;
  FindHandle find = FindFirstFileA("*.*", &data);
  if (!find) return false;
  do {
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        SearchTree(data.cFileName, name, found, visited, depth + 1)) {
      return true;
    }
  } while (FindNextFileA(find, &data));
  return false;
}

constexpr std::string_view kTarnexDlgp = "telmo_tarnex_dlgp";
constexpr std::string_view kTarnexHistDlgp = "telmo_tarnex_hist_dlgp";

// The 64-bit historian is installed when its product version can be read.
bool Historian64Installed() {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvelco\\Setup\\Products\\Corvanisx64\\", 0,
                    KEY_READ | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS) {
    return false;
  }
  BYTE version[256];
  DWORD size = sizeof version;
  const LSTATUS status = RegQueryValueExA(key, "ProductVersion", nullptr, nullptr, version, &size);
  RegCloseKey(key);
  // A version text longer than the buffer still says the product is there.
  return status == ERROR_SUCCESS || status == ERROR_MORE_DATA;
}

}  // namespace
}  // namespace telmo::detail

int TELMO_MGMT_FindFileInTree(std::string_view directory, std::string_view file_name, std::string& found) {
  std::string name(file_name);
  if (name.find('.') == std::string::npos) name += ".exe";
  std::set<std::string> visited;
  std::string result;
  if (!telmo::detail::SearchTree(directory, name, result, visited, 0)) return 0;
  found = std::move(result);
  return 1;
}

bool TELMO_MGMT_NextFile(bool& first_call, std::string_view directory, std::string_view pattern, NextFileState& state,
                         std::string& path) {
  WIN32_FIND_DATAA data;
  bool have_entry = false;
  if (first_call) {
    first_call = false;
    state.find = FindFirstFileA(telmo::platform::JoinPath(directory, pattern), &data);
    have_entry = state.find.valid();
  } else {
    state.current_path.clear();
    have_entry = FindNextFileA(state.find, &data) != FALSE;
  }
  while (have_entry && data.dwFileAttributes == FILE_ATTRIBUTE_DIRECTORY) {
    have_entry = FindNextFileA(state.find, &data) != FALSE;
  }
  if (!have_entry) {
    state.current_path.clear();
    if (state.find) FindClose(state.find);
    return false;
  }
  state.current_path = telmo::platform::JoinPath(directory, data.cFileName);
  path = state.current_path;
  return true;
}

void TELMO_MGMT_SelectTarnexDlgp(std::string_view executable, std::string& chosen) {
  using telmo::detail::kTarnexDlgp;
  using telmo::detail::kTarnexHistDlgp;
  const std::string lower = telmo::ToLower(executable);
  if (lower.find(kTarnexDlgp) == std::string::npos && lower.find(kTarnexHistDlgp) == std::string::npos) {
    chosen.assign(executable);
    return;
  }
  // The directory part as written, the file name part in lower case.
  const std::string_view directory = telmo::platform::PathHead(executable);
  const std::string_view file_name = std::string_view(lower).substr(directory.size());
  const bool is_dlgp = file_name.find(kTarnexDlgp) != std::string_view::npos;
  const bool is_hist = !is_dlgp && file_name.find(kTarnexHistDlgp) != std::string_view::npos;

  std::string_view name;
  if (TELMO_IsWow64() == 1) {
    const bool x64 = telmo::detail::Historian64Installed();
    if (is_dlgp) name = x64 ? "telmo_tarnex_dlgp_x64.exe" : "telmo_tarnex_dlgp.exe";
    if (is_hist) name = x64 ? "telmo_tarnex_hist_dlgp_x64.exe" : "telmo_tarnex_hist_dlgp.exe";
  } else if (file_name.find("_x64") != std::string_view::npos) {
    if (is_dlgp) name = "telmo_tarnex_dlgp.exe";
    if (is_hist) name = "telmo_tarnex_hist_dlgp.exe";
  }
  if (name.empty()) {
    chosen.assign(executable);
    return;
  }
  std::string result(directory);
  result += name;
  chosen = std::move(result);
}
