#include "test_env.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace telmo::test {

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) old_ = old;
  if (value) {
    ::setenv(name_.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (old_) {
    ::setenv(name_.c_str(), old_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

TempNode::TempNode(std::string node) : node_(std::move(node)) {
  std::string tmpl = (std::filesystem::temp_directory_path() / "telmo-test-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = tmpl;
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
  Set("TELMO_SERVICES_FILE", std::nullopt);
  Set("PROGRAMDATA", std::nullopt);
  Set("APPDATA", std::nullopt);
  Set("TELMO_DIAG", std::nullopt);
  Set("TELMO_TRACE", std::nullopt);
}

TempNode::~TempNode() {
  env_.clear();
  std::error_code ec;
  if (!std::getenv("TELMO_KEEP_TEST_DIRS")) std::filesystem::remove_all(root_, ec);
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

int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("no free port");
  }
  ::close(fd);
  return ntohs(addr.sin_port);
}

std::filesystem::path BuiltProgram(const std::string& name) {
  const char* dir = std::getenv("TELMO_TEST_BINARY_DIR");
  const std::filesystem::path base = dir ? dir : ".";
  for (const auto& sub : {"", "tests/fixtures", "tools/telmoctl", "src"}) {
    auto p = base / sub / name;
    if (std::filesystem::exists(p)) return p;
  }
  return base / name;
}

}  // namespace telmo::test
