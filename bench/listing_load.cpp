// Load tool: the listings, the whole-node status and the collaborative walk
// against the manager's request loop, run in this process on a temporary node.
//
//   listing_load [--servers N] [--requests R] [--telmoctl PATH]
//
//  1. EnumerateServers with N servers (default 1000) of four components each:
//     round trips on one connection, p50 and p99.
//  2. `telmoctl status` (no service) as a process of its own, with 200 servers:
//     wall time per run, p50 and p99 (skipped when telmoctl is not found).
//  3. COLLAB_SOURCE_FWD_STATUS over N servers of which one in ten is a
//     running collaborative store (each store served in this process): p50, p99.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/globals.h"
#include "config/manager_state.h"
#include "external/telmo_client.h"
#include "external/telmo_collab.h"
#include "external/telmo_config.h"
#include "external/telmo_frame.h"
#include "external/telmo_mgmt.h"
#include "external/telmo_server.h"
#include "external/telmo_services.h"
#include "platform/sysinfo.h"
#include "requests/worker.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

int FreePort() {
  StatusBlock block;
  telmo::TransportServer probe(telmo::ServerOptions{"127.0.0.1", 0, "probe", "LOADNODE"});
  probe.Listen(block);
  const int port = probe.port();
  probe.Close();
  return port;
}

/// CPU time of this whole process (the request loop and the client): on a
/// busy machine it tells the cost of a request better than its latency.
double ProcessCpuMicros() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

void Report(const char* what, std::vector<double> us, int failures, double cpu_us = -1) {
  std::sort(us.begin(), us.end());
  const auto pct = [&](double p) { return us.empty() ? 0.0 : us[static_cast<std::size_t>(p * (us.size() - 1))]; };
  std::printf("%-44s runs=%zu failures=%d  p50 %9.1f us  p99 %9.1f us", what, us.size(), failures, pct(0.50),
              pct(0.99));
  if (cpu_us >= 0 && !us.empty()) std::printf("  cpu %9.1f us/run", cpu_us / static_cast<double>(us.size()));
  std::printf("\n");
  std::fflush(stdout);
}

/// Fills the table with `count` servers; every `store_every`-th one (0: none)
/// is a running collaborative store whose store service is listed.
void FillTable(int count, int store_every, std::vector<std::string>& stores) {
  for (auto& record : gServerTable.TakeAll()) record.reset();
  for (int i = 0; i < count; ++i) {
    auto server = std::make_unique<ServerRecord>();
    const std::string service = "LOAD" + std::to_string(i);
    server->name = "Load server " + std::to_string(i);
    server->dlgp_service = telmo::Text32(service);
    server->snf_usage = 1;
    const bool store = store_every > 0 && i % store_every == 0;
    server->run_status = store ? 2 : 0;
    telmo::Text32 scanner, sto, forward;
    TELMO_MGMT_GetStoFwdServ(service, scanner, sto, forward);
    const std::pair<const char*, telmo::Text32> parts[] = {
        {"Gateway", telmo::Text32(service)}, {"Scanner process", scanner}, {"Store process", sto}, {"Forward process", forward}};
    for (const auto& [name, tcp] : parts) {
      auto c = std::make_unique<ComponentRecord>();
      c->name = name;
      c->tcp_service = tcp;
      c->executable = name == std::string("Gateway") ? "%TELMOIO%\\load\\asyncdlgp.exe" : "%TELMOROOTQ%\\Code\\sf.exe";
      c->arguments = service + " -TCPSERVICE " + service;
      c->run_status = store ? 1 : 0;
      server->components.push_back(std::move(c));
    }
    if (store) stores.push_back(sto.str());
    gServerTable.Append(std::move(server));
  }
}

std::vector<std::uint8_t> Named(std::string_view action) {
  return telmo::mgmt::EncodeNamedPayload(0, TelmoNameBlock{}, telmo::mgmt::EncodeTexts({action}).value());
}

void MeasureRequests(const char* what, const telmo::Endpoint& endpoint, std::int32_t tt,
                     const std::vector<std::uint8_t>& payload, int requests) {
  auto client = telmo::TelmoClient::Connect(endpoint, std::chrono::seconds(5));
  if (!client) {
    std::printf("%s: cannot connect\n", what);
    return;
  }
  std::vector<double> us;
  int failures = 0;
  const double cpu_before = ProcessCpuMicros();
  for (int i = 0; i < requests; ++i) {
    const auto begin = Clock::now();
    auto reply = client->Request(tt, payload, std::chrono::seconds(30));
    if (!reply || reply->status.failed() || reply->payload.empty()) {
      ++failures;
      continue;
    }
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
  }
  Report(what, us, failures, ProcessCpuMicros() - cpu_before);
}

void MeasureTelmoctl(const fs::path& telmoctl, int runs) {
  std::vector<double> us;
  int failures = 0;
  for (int i = 0; i < runs; ++i) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const std::string program = telmoctl.string();
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("status"), nullptr};
    const auto begin = Clock::now();
    pid_t pid = 0;
    int status = 0;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ) != 0 || waitpid(pid, &status, 0) != pid ||
        !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      ++failures;
    } else {
      us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
    }
    posix_spawn_file_actions_destroy(&actions);
  }
  Report("telmoctl status, 200 servers (one process)", us, failures);
}

/// Store processes played in this process: each answers forward-status orders.
class Stores {
 public:
  explicit Stores(const std::vector<std::string>& services) {
    for (const auto& service : services) {
      const int port = FreePort();
      AddServiceToFile(service, port);
      auto server = std::make_unique<telmo::TransportServer>(
          telmo::ServerOptions{"127.0.0.1", port, service, "LOADNODE"});
      StatusBlock block;
      server->Listen(block);
      servers_.push_back(std::move(server));
    }
    for (auto& server : servers_) threads_.emplace_back([this, s = server.get()] { Serve(*s); });
  }
  ~Stores() {
    stop_ = true;
    for (auto& t : threads_) t.join();
  }

 private:
  void Serve(telmo::TransportServer& server) {
    while (!stop_) {
      TelmoMessage request;
      StatusBlock block;
      if (server.Receive(std::chrono::milliseconds(100), request, block) <= 0) continue;
      IdentityRecord me = server.identity();
      TelmoMessage reply = telmo::MakeReply(request, StatusBlock{}, telmo::collab::EncodeInt(0), me);
      server.Send(std::chrono::seconds(1), reply, block);
    }
  }
  std::atomic<bool> stop_{false};
  std::vector<std::unique_ptr<telmo::TransportServer>> servers_;
  std::vector<std::thread> threads_;
};

}  // namespace

int main(int argc, char** argv) {
  int servers = 1000;
  int requests = 200;
  fs::path telmoctl = fs::path(argv[0]).parent_path() / ".." / "tools" / "telmoctl" / "telmoctl";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--servers") servers = std::atoi(argv[i + 1]);
    if (a == "--requests") requests = std::atoi(argv[i + 1]);
    if (a == "--telmoctl") telmoctl = argv[i + 1];
  }

  const fs::path dir = fs::temp_directory_path() / ("telmo-listing-load-" + std::to_string(::getpid()));
  fs::create_directories(dir / "state");
  fs::create_directories(dir / "log");
  fs::create_directories(dir / "root" / "management");
  ::setenv("TELMO_STATE_DIR", (dir / "state").c_str(), 1);
  ::setenv("TELMO_LOG_DIR", (dir / "log").c_str(), 1);
  ::setenv("TELMOROOT", (dir / "root").c_str(), 1);
  ::setenv("TELMO_NODE", "LOADNODE", 1);
  ::unsetenv("TELMOMGMT");
  telmo::platform::KeepFreedMemoryForReuse(telmo::wire::kMaxFrame);  // as the manager does at start
  StatusBlock block;
  telmo::Text32 node;
  const int port = FreePort();
  AddServiceToFile(kOwnServiceName, port);
  TELMO_SERVER_INIT(1, kOwnServiceName, node, block);
  telmo::SetLocalNode(node);
  InitializeCriticalSectionAndSpinCount(&gProcessTable.lock, 1024);
  gServerTable.mutex.Create(block);
  std::vector<std::string> stores;
  FillTable(servers, 0, stores);
  std::thread worker([] {
    const int action = SERVICE_ACTION_PROCESS_REQUESTS;
    WorkerThread(&action);
  });
  const telmo::Endpoint endpoint{"127.0.0.1", port};
  for (int i = 0; i < 100 && !telmo::TelmoClient::Connect(endpoint, std::chrono::milliseconds(100)); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }

  const std::string enumerate = "EnumerateServers, " + std::to_string(servers) + " servers";
  MeasureRequests(enumerate.c_str(), endpoint, TELMO_TT_MSG, Named("EnumerateServers"), requests);

  if (fs::exists(telmoctl)) {
    {
      StatusBlock lock;
      ServerTableLock table_lock(gServerTable, lock);
      FillTable(200, 0, stores);
    }
    MeasureTelmoctl(telmoctl, 30);
  } else {
    std::printf("telmoctl status: %s not found (--telmoctl PATH)\n", telmoctl.c_str());
  }

  {
    StatusBlock lock;
    ServerTableLock table_lock(gServerTable, lock);
    stores.clear();
    FillTable(servers, 10, stores);
  }
  {
    Stores playing(stores);
    const std::string walk = "Forward status, " + std::to_string(servers) + " servers, " +
                             std::to_string(stores.size()) + " stores";
    MeasureRequests(walk.c_str(), endpoint, TELMO_TT_COLLAB_SOURCE_FWD_STATUS, {}, requests / 4);
  }

  gManagerExiting = true;
  worker.join();
  std::error_code ec;
  fs::remove_all(dir, ec);
  return 0;
}
