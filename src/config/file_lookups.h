// File lookups that choose what is run: a search for an executable in a
// directory tree, an iterator over the matching files of one directory, and
// the choice between the 32-bit and 64-bit historian DLGP executables.
#pragma once

#include <string>
#include <string_view>

#include "platform/files.h"

/// Searches `file_name` (".exe" appended when it has no dot) in `directory`
/// and its subdirectories. Returns 1 and the full path in `found`, else 0.
/// Changes the process-wide current directory while it runs and restores it.
int TELMO_MGMT_FindFileInTree(std::string_view directory, std::string_view file_name, std::string& found);

/// State of a directory scan of TELMO_MGMT_NextFile.
struct NextFileState {
  std::string current_path;
  FindHandle find;
};

/// Returns true and the next file of `directory` matching `pattern` in
/// `path`; false (and the search closed) at the end. `first_call` is cleared
/// by the first call. Plain directories are never returned.
bool TELMO_MGMT_NextFile(bool& first_call, std::string_view directory, std::string_view pattern, NextFileState& state,
                         std::string& path);

/// The historian DLGP executable to run for `executable` on this host.
void TELMO_MGMT_SelectTarnexDlgp(std::string_view executable, std::string& chosen);
