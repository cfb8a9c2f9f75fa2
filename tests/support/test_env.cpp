#include "test_env.h"

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

namespace telmo::test {

TempNode::TempNode(std::string node) : node_(std::move(node)) {
  root_ = MakeTempDir("telmo-test-");
  for (const auto& p : {state_dir(), log_dir(), product_root(), mgmt_dir(), iodata_dir()}) {
    std::filesystem::create_directories(p);
  }
  Set("TELMO_STATE_DIR", state_dir().string());
  Set("TELMO_LOG_DIR", log_dir().string());
  Set("TELMOROOT", product_root().string());
  Set("TELMOROOTQ", std::nullopt);
  Set("TELMOIO", std::nullopt);
  Set("TELMOMGMT", mgmt_dir().string());
  Set("TELMOIODATA", iodata_dir().string());
  Set("TELMO_NODE", node_);
  Set("TELMO_LISTEN", "127.0.0.1");
  Set("TELMO_SERVICES_FILE", services_file().string());
  Set("PROGRAMDATA", std::nullopt);
  Set("APPDATA", std::nullopt);
  Set("TELMO_DIAG", std::nullopt);
  Set("TELMO_TRACE", std::nullopt);
}

TempNode::~TempNode() {
  env_.clear();
  if (!std::getenv("TELMO_KEEP_TEST_DIRS")) RemoveTree(root_);
}

void TempNode::Set(const std::string& name, const std::optional<std::string>& value) {
  env_.push_back(std::make_unique<ScopedEnv>(name, value));
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::filesystem::path& path, const std::string& content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::vector<std::string> ReadLines(const std::filesystem::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

int CountLinesWith(const std::filesystem::path& path, const std::string& needle) {
  int n = 0;
  for (const auto& line : ReadLines(path)) {
    if (line.find(needle) != std::string::npos) ++n;
  }
  return n;
}

std::filesystem::path BuiltProgram(const std::string& name) {
  const char* dir = std::getenv("TELMO_TEST_BINARY_DIR");
  const std::filesystem::path base = dir ? dir : ".";
  for (const auto& sub : {"", "tests/fixtures", "tools/telmoctl", "src"}) {
    // Absolute, so that another process (a service control manager) finds it too.
    auto p = std::filesystem::absolute(base / sub / name);
    if (std::filesystem::exists(p)) return p;
    p += kProgramSuffix;  // ".exe" on Windows
    if (std::filesystem::exists(p)) return p;
  }
  return base / name;
}

}  // namespace telmo::test
