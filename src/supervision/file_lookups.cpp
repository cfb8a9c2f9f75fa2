#include "supervision/file_lookups.h"

#include <set>

#include "platform/paths.h"
#include "platform/win_error.h"

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
