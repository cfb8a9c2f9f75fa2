// Load tool: the stop of a whole node, end to end.
//
//   node_stop_bench [--servers N] [--images distinct|shared] [--rounds R] [--manager PATH]
//
// Sets up a temporary node of N server files (default 200), each with one
// component, a copy of /bin/sleep: by default one image per server (as on a
// node whose servers run programs of their own), with --images shared all the
// same image. It runs telmo_manager (default: the one built next to this
// tool) in service mode in the foreground, waits until every component runs,
// sends SIGTERM (a stop control) and measures the time until the manager has
// ended and until no component is left. R rounds (default 3); everything is
// removed at the end.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

struct Options {
  int servers = 200;
  bool distinct_images = true;
  int rounds = 3;
  fs::path manager;
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::string Image(const Options& o, int server) {
  return o.distinct_images ? "stop_bench_" + std::to_string(server) + ".exe" : "stop_bench.exe";
}

int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

void Write(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

void SetUpNode(const fs::path& dir, const Options& o) {
  for (const char* sub : {"state", "log", "root/bin", "root/management", "root/commands"}) {
    fs::create_directories(dir / sub);
  }
  ::setenv("TELMO_STATE_DIR", (dir / "state").c_str(), 1);
  ::setenv("TELMO_LOG_DIR", (dir / "log").c_str(), 1);
  ::setenv("TELMOROOT", (dir / "root").c_str(), 1);
  ::setenv("TELMOMGMT", (dir / "root/management").c_str(), 1);
  ::setenv("TELMO_NODE", "STOPBENCH", 1);
  for (int s = 0; s < o.servers; ++s) {
    const fs::path image = dir / "root/bin" / Image(o, s);
    if (!fs::exists(image)) fs::copy_file("/bin/sleep", image);
    const std::string service = "STOPBENCH" + std::to_string(s);
    Write(dir / "root/management" / (service + ".csd"),
          "Bench server " + std::to_string(s) + "," + service + ",\nRun,,\n1\nNoStoreForward,,,,,,,,,,\n1\nGateway,," +
              "%TELMOROOTQ%\\bin\\" + Image(o, s) + ",3600\n");
  }
  Write(dir / "state/services", "TELMOManager " + std::to_string(FreeLoopbackPort()) + "/tcp\n");
  Write(dir / "root/management/telmo_k_mgmt_parameters.def", "600\n100\n");
}

// Every process of the node carrying the manager's marker is a component:
// one pass over the processes, so that the poll does not outlast the stop.
int RunningComponents(const Options& /*o*/) {
  std::size_t running = 0;
  for (const auto& [image, pids] : telmo::platform::MarkedProcessesByImage()) running += pids.size();
  return static_cast<int>(running);
}

bool Round(const Options& o, std::vector<double>& exit_ms, std::vector<double>& gone_ms) {
  const pid_t manager = ::fork();
  if (manager == 0) {
    ::execl(o.manager.c_str(), o.manager.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  const auto started = Clock::now();
  while (RunningComponents(o) < o.servers) {
    if (Clock::now() - started > std::chrono::seconds(120)) {
      std::fprintf(stderr, "node_stop_bench: only %d of %d components started\n", RunningComponents(o), o.servers);
      ::kill(manager, SIGKILL);
      ::waitpid(manager, nullptr, 0);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // Let start-up end and the request worker run (the stop is accepted then).
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const auto begin = Clock::now();
  ::kill(manager, SIGTERM);
  int status = 0;
  ::waitpid(manager, &status, 0);
  exit_ms.push_back(Ms(Clock::now() - begin));
  while (RunningComponents(o) > 0 && Clock::now() - begin < std::chrono::seconds(30)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  gone_ms.push_back(Ms(Clock::now() - begin));
  return true;
}

void Print(const char* what, std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  std::printf("%s: min %.0f ms, median %.0f ms, max %.0f ms over %zu rounds\n", what, samples.front(),
              samples[samples.size() / 2], samples.back(), samples.size());
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  o.manager = fs::canonical("/proc/self/exe").parent_path().parent_path() / "src" / "telmo_manager";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--servers") o.servers = std::atoi(argv[i + 1]);
    if (arg == "--images") o.distinct_images = std::string(argv[i + 1]) != "shared";
    if (arg == "--rounds") o.rounds = std::atoi(argv[i + 1]);
    if (arg == "--manager") o.manager = argv[i + 1];
  }
  const fs::path dir = fs::temp_directory_path() / ("telmo-node-stop-bench-" + std::to_string(::getpid()));
  SetUpNode(dir, o);
  std::vector<double> exit_ms;
  std::vector<double> gone_ms;
  for (int r = 0; r < o.rounds; ++r) {
    if (!Round(o, exit_ms, gone_ms)) break;
  }
  if (!exit_ms.empty()) {
    std::printf("stop of a node of %d servers (%s images):\n", o.servers, o.distinct_images ? "distinct" : "shared");
    Print("  SIGTERM to manager ended", exit_ms);
    Print("  SIGTERM to no component left", gone_ms);
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
  return exit_ms.empty() ? 1 : 0;
}
