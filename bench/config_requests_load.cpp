// Load tool: ADD_SERVER and REMOVE_SERVER requests against the manager's
// request loop, each of which writes (with fsync) or deletes a server file.
//
//   config_requests_load [--servers N]
//
// Runs the request worker in this process on a temporary node (management
// directory, services file, logs), then, on one persistent connection:
//   1. N ADD_SERVER requests, then N REMOVE_SERVER requests, on an empty table;
//   2. the same with N other servers already in the table.
// Prints requests per second with the p50 and p99 latency of each run.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "config/globals.h"
#include "config/manager_state.h"
#include "external/telmo_client.h"
#include "external/telmo_config_requests.h"
#include "external/telmo_mgmt.h"
#include "external/telmo_server.h"
#include "external/telmo_services.h"
#include "requests/worker.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kTimeout = std::chrono::milliseconds(10000);

std::string Service(const char* prefix, int i) {
  char name[32];
  std::snprintf(name, sizeof name, "%s%05d", prefix, i);
  return name;
}

ServerConfiguration Configuration(const std::string& service, const std::string& executable) {
  ServerConfiguration c;
  c.name = "Bench " + service;
  c.dlgp_service = telmo::Text32(service);
  c.dlgp_port = TELMO_MGMT_GetServicePort(service);
  c.components.push_back({"Gateway", telmo::Text32(service), 0, executable, service + " -x", 0, 0, 0, 0});
  return c;
}

struct Run {
  std::vector<double> latencies_us;
  int failures = 0;
  double seconds = 0;
};

template <typename Request>
Run Measure(int count, Request request) {
  Run run;
  run.latencies_us.reserve(static_cast<std::size_t>(count));
  const auto begin = Clock::now();
  for (int i = 0; i < count; ++i) {
    const auto t0 = Clock::now();
    if (!request(i)) ++run.failures;
    run.latencies_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  run.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  return run;
}

void Print(const char* what, std::size_t table, Run run) {
  std::sort(run.latencies_us.begin(), run.latencies_us.end());
  const auto pct = [&](double p) {
    return run.latencies_us.empty() ? 0.0 : run.latencies_us[static_cast<std::size_t>(p * (run.latencies_us.size() - 1))];
  };
  std::printf("%-14s table=%5zu requests=%zu failures=%d  %8.0f req/s  p50 %8.1f us  p99 %8.1f us\n", what, table,
              run.latencies_us.size(), run.failures, static_cast<double>(run.latencies_us.size()) / run.seconds,
              pct(0.50), pct(0.99));
}

bool Add(telmo::TelmoClient& client, const ServerConfiguration& c) {
  auto payload = telmo::mgmt::EncodeConfigurationRequest(c.dlgp_service.view(), true, c);
  auto reply = client.Request(TELMO_TT_ADD_SERVER, payload.value(), kTimeout);
  return reply && !reply->status.failed();
}

bool Remove(telmo::TelmoClient& client, const std::string& service) {
  auto reply = client.Request(TELMO_TT_REMOVE_SERVER, telmo::mgmt::EncodeRemoveRequest(service, false).value(), kTimeout);
  return reply && !reply->status.failed();
}

void AddsThenRemoves(telmo::TelmoClient& client, const char* prefix, int servers, const std::string& executable) {
  const std::size_t table = gServerTable.size();
  Print("ADD_SERVER", table, Measure(servers, [&](int i) {
          return Add(client, Configuration(Service(prefix, i), executable));
        }));
  Print("REMOVE_SERVER", table, Measure(servers, [&](int i) { return Remove(client, Service(prefix, i)); }));
}

}  // namespace

int main(int argc, char** argv) {
  int servers = 1000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::string(argv[i]) == "--servers") servers = std::atoi(argv[i + 1]);
  }
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("telmo-config-load-" + std::to_string(::getpid()));
  for (const char* sub : {"state", "log", "management", "root"}) fs::create_directories(dir / sub);
  ::setenv("TELMO_STATE_DIR", (dir / "state").c_str(), 1);
  ::setenv("TELMO_LOG_DIR", (dir / "log").c_str(), 1);
  ::setenv("TELMOMGMT", (dir / "management").c_str(), 1);
  ::setenv("TELMOROOT", (dir / "root").c_str(), 1);
  ::setenv("TELMO_NODE", "LOADNODE", 1);
  ::unsetenv("TELMOIODATA");
  // Every server's gateway is this very program: an executable that exists.
  const std::string executable = fs::read_symlink("/proc/self/exe").string();

  StatusBlock block;
  telmo::TransportServer probe(telmo::ServerOptions{"127.0.0.1", 0, kOwnServiceName, "LOADNODE"});
  probe.Listen(block);
  const int port = probe.port();
  probe.Close();
  AddServiceToFile(kOwnServiceName, port);
  for (int i = 0; i < servers; ++i) {
    AddServiceToFile(Service("LOAD", i), 20000 + i);
    AddServiceToFile(Service("FILL", i), 40000 + i);
  }
  // Port lookups read a services file changed within the last two seconds
  // again each time: let it settle, as on a node whose file is not being edited.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  telmo::Text32 node;
  TELMO_SERVER_INIT(1, kOwnServiceName, node, block);
  telmo::SetLocalNode(node);
  gServerTable.mutex.Create(block);
  std::thread worker([] {
    const int action = SERVICE_ACTION_PROCESS_REQUESTS;
    WorkerThread(&action);
  });

  const telmo::Endpoint endpoint{"127.0.0.1", port};
  std::optional<telmo::TelmoClient> client;
  for (int i = 0; i < 100 && !client; ++i) {
    if (auto c = telmo::TelmoClient::Connect(endpoint, std::chrono::milliseconds(100))) {
      client.emplace(std::move(c).value());
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  if (client) {
    AddsThenRemoves(*client, "LOAD", servers, executable);
    for (int i = 0; i < servers; ++i) Add(*client, Configuration(Service("FILL", i), executable));
    AddsThenRemoves(*client, "LOAD", servers, executable);
  } else {
    std::fprintf(stderr, "the request loop never listened\n");
  }

  gManagerExiting = true;
  worker.join();
  std::error_code ec;
  fs::remove_all(dir, ec);
  return client ? 0 : 1;
}
