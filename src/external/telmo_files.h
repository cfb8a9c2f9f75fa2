// File calls of the messaging library.
#pragma once

#include <string_view>

/// Reads the product version of an executable into the four numbers. Linux
/// executables carry no version resource: the numbers are those of a
/// "<path>.version" file beside the program ("MAJOR.MINOR.BUILD.REVISION")
/// when there is one, else 0.0.0.0. Returns nonzero when a version was read.
int TELMO_GetProductVersionFromFileName(std::string_view path, int& major, int& minor, int& build, int& revision);

/// Nonzero when the file named by `path` (%NAME% references expanded, "\" or
/// "/" separators) exists. `mode` is accepted and not used.
int TELMO_MGMT_CheckFileExistance(std::string_view path, std::string_view mode);
