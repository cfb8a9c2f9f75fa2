#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "external/telmo_env.h"
#include "external/telmo_files.h"
#include "platform/paths.h"

int TELMO_GetProductVersionFromFileName(std::string_view path, int& major, int& minor, int& build, int& revision) {
  major = minor = build = revision = 0;
  std::ifstream in(telmo::platform::NativePath(path) + ".version");
  std::string line;
  if (!in || !std::getline(in, line)) return 0;
  return std::sscanf(line.c_str(), "%d.%d.%d.%d", &major, &minor, &build, &revision) > 0 ? 1 : 0;
}

int TELMO_MGMT_CheckFileExistance(std::string_view path, std::string_view /*mode*/) {
  std::string expanded;
  if (!TELMO_MGMT_ExpandFileName(path, expanded)) return 0;
  std::error_code ec;
  return std::filesystem::is_regular_file(telmo::platform::NativePath(expanded), ec) ? 1 : 0;
}
