// Process supervision benchmarks on real processes.
//
//   supervision_bench [--servers N] [google benchmark flags]
//
// Sets up N servers (default 1000) of 4 components each, every component a
// copy of /bin/sleep, and reports:
//   - for comparison, the time the C library's posix_spawn takes to start
//     as many copies of the same program, none of the manager's work around
//     it (the floor the machine sets: a start costs the program's own loading
//     too, on however many cores there are);
//   - the time to start all of them (TELMO_MGMT_StartServer per server);
//   - one periodic check over them all, every component alive (Google
//     Benchmark: BM_CheckServers);
//   - the time from a component's death (SIGKILL) to its new process, with
//     the manager's request loop running and a check period of 9.
// Everything is killed at the end.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "config/globals.h"
#include "config/manager_state.h"
#include "external/telmo_server.h"
#include "external/telmo_services.h"
#include "platform/sysinfo.h"
#include "requests/worker.h"
#include "supervision/checks.h"
#include "supervision/launch.h"
#include "supervision/stop.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

int g_servers = 1000;
fs::path g_dir;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void SetUpNode() {
  g_dir = fs::temp_directory_path() / ("telmo-supervision-bench-" + std::to_string(::getpid()));
  for (const char* sub : {"state", "log", "root/bin"}) fs::create_directories(g_dir / sub);
  ::setenv("TELMO_STATE_DIR", (g_dir / "state").c_str(), 1);
  ::setenv("TELMO_LOG_DIR", (g_dir / "log").c_str(), 1);
  ::setenv("TELMOROOT", (g_dir / "root").c_str(), 1);
  ::setenv("TELMO_NODE", "BENCHNODE", 1);
  ::unsetenv("TELMOMGMT");
  fs::copy_file("/bin/sleep", g_dir / "root/bin/bench_component.exe");
  telmo::platform::RaiseOpenFileLimit();
  StatusBlock block;
  gServerTable.mutex.Create(block);
  InitializeCriticalSectionAndSpinCount(&gProcessTable.lock, 1024);
  for (int s = 0; s < g_servers; ++s) {
    auto server = std::make_unique<ServerRecord>();
    server->name = "Bench server " + std::to_string(s);
    server->dlgp_service.assign("BENCH" + std::to_string(s));
    server->startup_status = 1;
    server->health_check = 1;
    for (int c = 0; c < 4; ++c) {
      auto component = std::make_unique<ComponentRecord>();
      component->name = "Component " + std::to_string(c);
      component->executable = "%TELMOROOTQ%\\bin\\bench_component.exe";
      component->arguments = "3600";
      // The first is the server's DLGP, the one with a TCP service (and a
      // log of its own, renewed at each start); the others share a log.
      if (c == 0) component->tcp_service.assign("BENCH" + std::to_string(s));
      server->components.push_back(std::move(component));
    }
    gServerTable.Append(std::move(server));
  }
}

/// CPU time of the manager's process (the launching thread's work and the
/// kernel's on its behalf; the children's own is not counted).
double CpuMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

void SpawnFloor() {
  const std::string program = (g_dir / "root/bin/bench_component.exe").string();
  std::string argument = "3600";
  char* argv[] = {const_cast<char*>(program.c_str()), argument.data(), nullptr};
  std::vector<pid_t> children;
  const auto begin = Clock::now();
  const double cpu_before = CpuMs();
  for (int i = 0; i < g_servers * 4; ++i) {
    pid_t pid = 0;
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) == 0) children.push_back(pid);
  }
  const auto elapsed = Clock::now() - begin;
  const double cpu = CpuMs() - cpu_before;
  for (const pid_t pid : children) ::kill(pid, SIGKILL);
  for (const pid_t pid : children) ::waitpid(pid, nullptr, 0);
  const double n = static_cast<double>(children.size());
  std::printf("floor: posix_spawn of %zu copies in %.0f ms (%.0f us each; CPU %.0f us each)\n", children.size(),
              Ms(elapsed), Ms(elapsed) * 1000.0 / n, cpu * 1000.0 / n);
}

void StartAll() {
  const auto begin = Clock::now();
  const double cpu_before = CpuMs();
  StatusBlock status;
  for (const auto& server : gServerTable.records()) TELMO_MGMT_StartServer(*server, status);
  const auto elapsed = Clock::now() - begin;
  const double cpu = CpuMs() - cpu_before;
  std::printf("start: %d components in %.0f ms (%.0f us per component; manager CPU %.0f us per component)\n",
              g_servers * 4, Ms(elapsed), Ms(elapsed) * 1000.0 / (g_servers * 4), cpu * 1000.0 / (g_servers * 4));
}

void BM_CheckServers(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(TELMO_MGMT_CheckServers(gServerTable));
  state.counters["components"] = g_servers * 4;
}
BENCHMARK(BM_CheckServers)->Unit(benchmark::kMillisecond)->MinTime(2.0);

DWORD PidOf(ServerRecord& server, ComponentRecord& component) {
  telmo::platform::CriticalSectionLock lock(gProcessTable.lock);
  const int index = gProcessTable.Find(&server, &component);
  return index < 0 ? 0 : GetProcessId(gProcessTable.entry(index).process);
}

void DeathToRestart() {
  gMgmtParameters.check_period = 9;
  // The request loop on a port of its own: idle passes of 1 s, a check on each.
  StatusBlock block;
  telmo::Text32 node;
  telmo::TransportServer probe(telmo::ServerOptions{"127.0.0.1", 0, kOwnServiceName, "BENCHNODE"});
  probe.Listen(block);
  AddServiceToFile(kOwnServiceName, probe.port());
  probe.Close();
  TELMO_SERVER_INIT(1, kOwnServiceName, node, block);
  telmo::SetLocalNode(node);
  std::thread worker([] {
    const int action = SERVICE_ACTION_PROCESS_REQUESTS;
    WorkerThread(&action);
  });
  std::vector<double> samples;
  for (int i = 0; i < 8; ++i) {
    ServerRecord& server = *gServerTable.records()[static_cast<std::size_t>(i)];
    ComponentRecord& component = *server.components[1];
    const DWORD old_pid = PidOf(server, component);
    ::kill(static_cast<pid_t>(old_pid), SIGKILL);
    const auto begin = Clock::now();
    DWORD pid = old_pid;
    while ((pid == old_pid || pid == 0) && Clock::now() - begin < std::chrono::seconds(10)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      pid = PidOf(server, component);
    }
    samples.push_back(Ms(Clock::now() - begin));
  }
  gManagerExiting = true;
  worker.join();
  std::sort(samples.begin(), samples.end());
  std::printf("death to new process (check period 9): min %.0f ms, median %.0f ms, max %.0f ms over %zu kills\n",
              samples.front(), samples[samples.size() / 2], samples.back(), samples.size());
}

void TearDownNode() {
  StatusBlock status;
  telmo::config::SaveAndFreeAll(gServerTable, gProcessTable, status);
  std::error_code ec;
  fs::remove_all(g_dir, ec);
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--servers") g_servers = std::atoi(argv[i + 1]);
  }
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::string(argv[i]) == "--servers") {
      ++i;
      continue;
    }
    args.push_back(argv[i]);
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  SetUpNode();
  SpawnFloor();
  StartAll();
  benchmark::RunSpecifiedBenchmarks();
  DeathToRestart();
  TearDownNode();
  benchmark::Shutdown();
  return 0;
}
