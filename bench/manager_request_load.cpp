// Load tool: GET_MGMT_PARAMS round trips against the manager's request loop.
//
//   manager_request_load [--requests N] [--clients C] [--port P]
//   manager_request_load --rate R [--seconds S]
//
// Without --port it runs the manager's request worker in this process on a
// temporary node (the real loop: accept, receive, dispatch, reply); with
// --port it loads a running manager on 127.0.0.1. It measures, for C client
// threads, a persistent connection per client and a connection per request,
// and prints requests per second with the p50 and p99 latency.
//
// With --rate (in this process only) one console sends R requests a second
// on one connection for S seconds (default 5), as a console that polls does,
// and the tool prints the request worker's own CPU time per request and its
// share of a core: what serving costs when requests do not come back to back.
#include <pthread.h>
#include <time.h>

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
#include "external/telmo_mgmt.h"
#include "external/telmo_server.h"
#include "external/telmo_services.h"
#include "requests/worker.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Result {
  double seconds = 0;
  std::vector<double> latencies_us;
  int failures = 0;
};

void Run(const telmo::Endpoint& endpoint, int requests, bool persistent, Result& out) {
  const auto timeout = std::chrono::milliseconds(5000);
  std::optional<telmo::TelmoClient> client;
  out.latencies_us.reserve(static_cast<std::size_t>(requests));
  for (int i = 0; i < requests; ++i) {
    const auto begin = Clock::now();
    if (!persistent || !client) {
      auto c = telmo::TelmoClient::Connect(endpoint, timeout);
      if (!c) {
        ++out.failures;
        continue;
      }
      client.emplace(std::move(c.value()));
    }
    auto reply = client->Request(TELMO_TT_GET_MGMT_PARAMS, {}, timeout);
    if (!reply || !telmo::mgmt::DecodeMgmtParams(reply->payload)) {
      ++out.failures;
      client.reset();
      continue;
    }
    if (!persistent) client.reset();
    out.latencies_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
  }
}

void Measure(const telmo::Endpoint& endpoint, int requests, int clients, bool persistent) {
  std::vector<Result> results(static_cast<std::size_t>(clients));
  std::vector<std::thread> threads;
  const auto begin = Clock::now();
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back(Run, endpoint, requests / clients, persistent, std::ref(results[static_cast<std::size_t>(c)]));
  }
  for (auto& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  std::vector<double> all;
  int failures = 0;
  for (auto& r : results) {
    all.insert(all.end(), r.latencies_us.begin(), r.latencies_us.end());
    failures += r.failures;
  }
  std::sort(all.begin(), all.end());
  const auto pct = [&](double p) { return all.empty() ? 0.0 : all[static_cast<std::size_t>(p * (all.size() - 1))]; };
  std::printf("%-24s clients=%d requests=%zu failures=%d  %9.0f req/s  p50 %7.1f us  p99 %7.1f us\n",
              persistent ? "persistent connection" : "connection per request", clients, all.size(), failures,
              static_cast<double>(all.size()) / seconds, pct(0.50), pct(0.99));
}

double ThreadCpuSeconds(std::thread& thread) {
  clockid_t clock{};
  if (pthread_getcpuclockid(thread.native_handle(), &clock) != 0) return 0;
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void MeasurePaced(const telmo::Endpoint& endpoint, std::thread& worker, int rate, int seconds) {
  auto client = telmo::TelmoClient::Connect(endpoint, std::chrono::milliseconds(5000));
  if (!client) {
    std::printf("cannot connect\n");
    return;
  }
  const auto period = std::chrono::nanoseconds(1000000000LL / rate);
  const int total = rate * seconds;
  int failures = 0;
  const double cpu0 = ThreadCpuSeconds(worker);
  const auto begin = Clock::now();
  for (int i = 0; i < total; ++i) {
    std::this_thread::sleep_until(begin + period * i);
    auto reply = client->Request(TELMO_TT_GET_MGMT_PARAMS, {}, std::chrono::milliseconds(5000));
    if (!reply) ++failures;
  }
  const double wall = std::chrono::duration<double>(Clock::now() - begin).count();
  const double cpu = ThreadCpuSeconds(worker) - cpu0;
  std::printf("paced %5d/s for %d s  requests=%d failures=%d  worker CPU %6.1f us/request  %5.1f %% of a core\n", rate,
              seconds, total, failures, cpu * 1e6 / total, 100.0 * cpu / wall);
}

}  // namespace

int main(int argc, char** argv) {
  int requests = 20000;
  int clients = 1;
  int port = 0;
  int rate = 0;
  int seconds = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--requests") requests = std::atoi(argv[i + 1]);
    if (a == "--clients") clients = std::atoi(argv[i + 1]);
    if (a == "--port") port = std::atoi(argv[i + 1]);
    if (a == "--rate") rate = std::atoi(argv[i + 1]);
    if (a == "--seconds") seconds = std::max(1, std::atoi(argv[i + 1]));
  }
  if (rate > 0 && port != 0) {
    std::printf("--rate measures the request worker of this process: leave --port out\n");
    return 2;
  }

  std::thread worker;
  std::filesystem::path dir;
  if (port == 0) {
    dir = std::filesystem::temp_directory_path() / ("telmo-load-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir / "state");
    std::filesystem::create_directories(dir / "log");
    ::setenv("TELMO_STATE_DIR", (dir / "state").c_str(), 1);
    ::setenv("TELMO_LOG_DIR", (dir / "log").c_str(), 1);
    ::setenv("TELMO_NODE", "LOADNODE", 1);
    ::unsetenv("TELMOMGMT");
    StatusBlock block;
    telmo::Text32 node;
    // A free port for the manager's service.
    telmo::TransportServer probe(telmo::ServerOptions{"127.0.0.1", 0, kOwnServiceName, "LOADNODE"});
    probe.Listen(block);
    port = probe.port();
    probe.Close();
    AddServiceToFile(kOwnServiceName, port);
    TELMO_SERVER_INIT(1, kOwnServiceName, node, block);
    telmo::SetLocalNode(node);
    gServerTable.mutex.Create(block);
    worker = std::thread([] {
      const int action = SERVICE_ACTION_PROCESS_REQUESTS;
      WorkerThread(&action);
    });
  }
  const telmo::Endpoint endpoint{"127.0.0.1", port};
  // Wait for the loop to listen.
  for (int i = 0; i < 100 && !telmo::TelmoClient::Connect(endpoint, std::chrono::milliseconds(100)); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (rate > 0) {
    MeasurePaced(endpoint, worker, rate, seconds);
  } else {
    Measure(endpoint, requests, clients, true);
    Measure(endpoint, requests / 4, clients, false);
  }

  if (worker.joinable()) {
    gManagerExiting = true;
    worker.join();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  return 0;
}
