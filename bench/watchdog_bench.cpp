// Watchdog checks over many watched servers.
//
//   watchdog_bench [--servers N] [--silent K] [--passes P]
//
// N servers (default 1000) whose DLGPs are asynchronous and watched; their
// DLGPs are played by one thread of this program that serves N loopback
// ports: it takes each GetWatchDogData and answers with a
// GetWatchDogDataReply, except K of them (default 10) that listen but never
// answer, like a hung DLGP. A request loop like the manager's serves the
// requests and runs each watchdog pass on its own thread, as the manager's
// loop does, while a console asks it for a server's status back to back.
// Reported per pass:
//   - how long the pass held the request loop;
//   - the longest wait of a status request meanwhile;
//   - when every DLGP that answers had its report cached.
// The "Timeout" parameter (the wait for a DLGP) is the default, 10 s.
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "config/globals.h"
#include "config/manager_state.h"
#include "external/telmo_client.h"
#include "external/telmo_frame.h"
#include "external/telmo_mgmt.h"
#include "external/telmo_server.h"
#include "external/telmo_services.h"
#include "external/telmo_watchdog.h"
#include "platform/posix/unique_fd.h"
#include "platform/socket.h"
#include "platform/sysinfo.h"
#include "requests/worker.h"
#include "supervision/checks.h"
#include "supervision/watchdog.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

int g_servers = 1000;
int g_silent = 10;
int g_passes = 5;
fs::path g_dir;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::string Service(int i) { return "WDOG" + std::to_string(i); }

// --- the DLGPs ---------------------------------------------------------------

struct Connection {
  telmo::platform::Socket fd;
  std::vector<std::uint8_t> in;
};

class DlgpFarm {
 public:
  DlgpFarm() {
    for (int i = 0; i < g_servers; ++i) {
      auto fd = telmo::platform::ListenOn("127.0.0.1", 0);
      if (!fd) {
        std::fprintf(stderr, "cannot listen\n");
        std::exit(1);
      }
      AddServiceToFile(Service(i), telmo::platform::LocalPort(*fd));
      listeners_.push_back(std::move(fd).value());
    }
    auto client = telmo::TelmoClient::ConnectService("", "TELMOManager", 5s);
    if (!client) {
      std::fprintf(stderr, "cannot reach the request loop\n");
      std::exit(2);
    }
    manager_ = std::move(client).value();
    thread_ = std::thread([this] { Run(); });
    reporter_ = std::thread([this] { Report(); });
  }
  ~DlgpFarm() {
    {
      std::lock_guard lock(queue_mutex_);
      stop_ = true;
    }
    queue_ready_.notify_all();
    thread_.join();
    reporter_.join();
  }
  [[nodiscard]] long reports() const { return reports_; }

  /// Returns once the manager has handled every report sent before the call.
  void Flush() {
    std::lock_guard lock(manager_mutex_);
    (void)manager_->Request(TELMO_TT_GET_MGMT_PARAMS, {}, 30s);
  }

 private:
  void Run() {
    // epoll: one readiness event costs the same with 10 sockets or 2000.
    telmo::platform::UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
    constexpr std::uint64_t kListenerTag = 1ull << 63;
    // The silent ones (the first K) are never accepted from.
    for (int i = g_silent; i < g_servers; ++i) {
      epoll_event e{};
      e.events = EPOLLIN;
      e.data.u64 = kListenerTag | static_cast<std::uint64_t>(i);
      ::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, static_cast<int>(listeners_[static_cast<std::size_t>(i)].native()), &e);
    }
    std::map<int, Connection> connections;
    epoll_event events[256];
    while (!stop_) {
      const int n = ::epoll_wait(epoll.get(), events, 256, 100);
      for (int k = 0; k < n; ++k) {
        const std::uint64_t tag = events[k].data.u64;
        if (tag & kListenerTag) {
          const int listener = static_cast<int>(listeners_[static_cast<std::size_t>(tag & ~kListenerTag)].native());
          for (;;) {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) break;
            epoll_event e{};
            e.events = EPOLLIN;
            e.data.u64 = static_cast<std::uint64_t>(fd);
            ::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, fd, &e);
            connections[fd].fd.reset(fd);
          }
          continue;
        }
        const int fd = static_cast<int>(tag);
        auto it = connections.find(fd);
        if (it != connections.end() && !Serve(it->second)) connections.erase(it);  // closing removes it from epoll
      }
    }
  }

  bool Serve(Connection& c) {
    std::uint8_t chunk[4096];
    const ssize_t n = ::recv(static_cast<int>(c.fd.native()), chunk, sizeof chunk, 0);
    if (n <= 0) return n < 0 && errno == EAGAIN;
    c.in.insert(c.in.end(), chunk, chunk + n);
    for (;;) {
      TelmoMessage request;
      const auto decoded = telmo::wire::DecodeFrame(c.in, request);
      if (decoded.status != telmo::wire::DecodeStatus::kOk) return decoded.status == telmo::wire::DecodeStatus::kNeedMore;
      c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(decoded.consumed));
      std::vector<std::uint8_t> frame;
      const IdentityRecord me{telmo::Text32("BENCHNODE"), telmo::Text32("DLGP")};
      (void)telmo::wire::AppendFrame(telmo::MakeReply(request, {}, {}, me), frame);
      (void)telmo::platform::WriteAll(c.fd, frame, Clock::now() + 1s);
      // The service is the text after the action name.
      const std::span<const std::uint8_t> data(request.payload);
      telmo::mgmt::TextReader texts(data.subspan(std::min<std::size_t>(telmo::mgmt::kNamedHeader, data.size())));
      (void)texts.Next();
      const auto service = texts.Next();
      WatchdogReport report;
      report.tag_name.assign("Tag");
      report.update_stamp[1] = TELMO_SERVER_GENERATE_TRANSNUM();
      report.watchdog_timeout = 60000;
      report.items[0].value.assign("OK");
      // The report goes out from a thread of its own, as each DLGP would send
      // it on its own connection: a manager busy with its pass never holds up
      // the other DLGPs' acknowledgements.
      {
        std::lock_guard lock(queue_mutex_);
        queue_.push_back(telmo::mgmt::EncodeNamedPayload(
            0, {}, telmo::watchdog::EncodeWatchdogReply(service.value_or(""), report)));
      }
      queue_ready_.notify_one();
    }
  }

  void Report() {
    for (;;) {
      std::vector<std::uint8_t> payload;
      {
        std::unique_lock lock(queue_mutex_);
        queue_ready_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) return;
        payload = std::move(queue_.front());
        queue_.pop_front();
      }
      std::lock_guard lock(manager_mutex_);
      if (manager_) (void)manager_->Post(TELMO_TT_MSG, payload, 30s);
      ++reports_;
    }
  }

  std::vector<telmo::platform::Socket> listeners_;
  std::mutex manager_mutex_;
  std::optional<telmo::TelmoClient> manager_;
  std::atomic<long> reports_{0};
  std::mutex queue_mutex_;
  std::condition_variable queue_ready_;
  std::deque<std::vector<std::uint8_t>> queue_;
  std::thread reporter_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// --- the request loop ------------------------------------------------------------

std::atomic<bool> g_stop{false};
std::atomic<bool> g_pass_wanted{false};
std::atomic<bool> g_pass_done{false};
std::atomic<long long> g_pass_hold_us{0};
std::atomic<long long> g_pass_cpu_us{0};

long long ThreadCpuMicros() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void RequestLoop() {
  StatusBlock general;
  StatusBlock reply;
  StatusBlock scratch;
  TELMO_SERVER_INIT_THREAD(general);
  while (!g_stop) {
    TELMO_SERVER_INITBLK(general);
    TELMO_SERVER_INITBLK(reply);
    TELMO_SERVER_ACCEPT(general);
    TelmoMessage request;
    if (TELMO_SERVER_RECEIVE(1, request, general) > 0) {
      RequestContext context{request, TELMO_SERVER_REQSRC(request), TELMO_SERVER_TRANSTYPE(request), general, reply};
      telmo::requests::Dispatch(context);
    }
    if (g_pass_wanted.exchange(false)) {
      const auto begin = Clock::now();
      const long long cpu = ThreadCpuMicros();
      TELMO_MGMT_CheckServersWatchdogs(gServerTable);
      g_pass_hold_us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begin).count();
      g_pass_cpu_us = ThreadCpuMicros() - cpu;
      g_pass_done = true;
    }
  }
  TELMO_SERVER_EXIT_THREAD(scratch);
}

// --- set-up -----------------------------------------------------------------

void SetUpNode() {
  g_dir = fs::temp_directory_path() / ("telmo-watchdog-bench-" + std::to_string(::getpid()));
  for (const char* sub : {"state", "log", "root/bin"}) fs::create_directories(g_dir / sub);
  ::setenv("TELMO_STATE_DIR", (g_dir / "state").c_str(), 1);
  ::setenv("TELMO_LOG_DIR", (g_dir / "log").c_str(), 1);
  ::setenv("TELMOROOT", (g_dir / "root").c_str(), 1);
  ::setenv("TELMO_NODE", "BENCHNODE", 1);
  ::unsetenv("TELMOMGMT");
  ::unsetenv("TELMO_DIAG");
  telmo::platform::RaiseOpenFileLimit();
  StatusBlock block;
  gServerTable.mutex.Create(block);
  InitializeCriticalSectionAndSpinCount(&gProcessTable.lock, 1024);
  for (int s = 0; s < g_servers; ++s) {
    auto server = std::make_unique<ServerRecord>();
    server->name = "Watched " + std::to_string(s);
    server->dlgp_service.assign(Service(s));
    server->desired_state = kDesiredStateStarted;
    server->run_status = 2;
    auto dlgp = std::make_unique<ComponentRecord>();
    dlgp->name = "Gateway";
    dlgp->executable = "%TELMOROOTQ%\\bin\\TELMO_ASYNCDLGP.exe";
    dlgp->arguments = "-TCPSERVICE " + Service(s) + " -WATCHDOGTAG Tag -WATCHDOGTIMEOUT 60000";
    server->components.push_back(std::move(dlgp));
    gWatchdogTable.Register(*server, block);
    gServerTable.Append(std::move(server));
  }
  // The server the console asks about (not watched).
  auto probe = std::make_unique<ServerRecord>();
  probe->name = "Probe";
  probe->dlgp_service.assign("PROBE");
  gServerTable.Append(std::move(probe));
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--servers") g_servers = std::atoi(argv[++i]);
    else if (a == "--silent") g_silent = std::atoi(argv[++i]);
    else if (a == "--passes") g_passes = std::atoi(argv[++i]);
  }
  g_silent = std::clamp(g_silent, 0, g_servers);
  SetUpNode();
  telmo::Text32 node;
  StatusBlock block;
  // The manager's own port: any free one, written into the services file.
  {
    auto fd = telmo::platform::ListenOn("127.0.0.1", 0);
    const int port = telmo::platform::LocalPort(*fd);
    RemoveServiceFromFile("TELMOManager");
    AddServiceToFile("TELMOManager", port);
  }
  TELMO_SERVER_INIT(1, "TELMOManager", node, block);
  telmo::SetLocalNode(node);
  std::thread loop(RequestLoop);
  DlgpFarm farm;
  // Lookups keep the parsed services file once it has not changed for a few
  // seconds, as on a node at work.
  std::this_thread::sleep_for(3500ms);

  auto console = telmo::TelmoClient::ConnectService("", "TELMOManager", 5s);
  auto status_request = telmo::mgmt::EncodeServiceRequest("PROBE");
  std::printf("%d watched servers, %d of them silent, \"Timeout\" %d\n", g_servers, g_silent,
              gMgmtParameters.timeout.load());
  for (int pass = 0; pass < g_passes; ++pass) {
    g_pass_done = false;
    const long reports_before = farm.reports();
    const auto begin = Clock::now();
    g_pass_wanted = true;
    Clock::duration longest{};
    while (!g_pass_done) {
      const auto asked = Clock::now();
      (void)console->Request(TELMO_TT_GET_SERVER_STATUS, status_request.value(), 60s);
      longest = std::max(longest, Clock::now() - asked);
    }
    const auto expected = reports_before + (g_servers - g_silent);
    while (farm.reports() < expected && Clock::now() - begin < 60s) std::this_thread::sleep_for(1ms);
    farm.Flush();
    const auto cached = Clock::now() - begin;
    std::printf(
        "pass %d: loop held %.1f ms (%.1f ms of its CPU), longest status wait %.1f ms, %d reports cached after %.1f "
        "ms\n",
        pass, static_cast<double>(g_pass_hold_us.load()) / 1000.0, static_cast<double>(g_pass_cpu_us.load()) / 1000.0,
        Ms(longest), g_servers - g_silent, Ms(cached));
    // Let the sends to the silent ones end before the next pass.
    TELMO_MGMT_WaitWatchdogRequests(std::chrono::seconds(30));
  }
  g_stop = true;
  loop.join();
  TELMO_SERVER_EXIT(block);
  std::error_code ec;
  fs::remove_all(g_dir, ec);
  return 0;
}
