// The service side in one process: a test thread runs the dispatcher with a
// scripted service main while the test drives it with ControlService and
// signals, and reads what was recorded.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/posix/unique_fd.h"
#include "scm_test_support.h"

namespace telmo::test {
namespace {

/// What the scripted service does; one per process (each test runs alone).
struct Script {
  std::atomic<bool> release_start{true};
  std::atomic<int> stop_delay_ms{0};             ///< the stop handler blocks this long, reporting every 100 ms
  std::atomic<bool> return_without_report{false};
  std::atomic<bool> return_after_running{false};  ///< the handler reports STOPPED itself
  std::atomic<bool> late_report{false};           ///< the handler reports after the main's STOPPED

  std::mutex mu;
  std::condition_variable cv;
  bool stop = false;
  std::vector<std::thread::id> handler_threads;
  std::vector<DWORD> controls;
  std::vector<DWORD> report_errors;  ///< 0 for a report that succeeded
  SERVICE_STATUS_HANDLE handle;

  /// Back to the state a test starts from (every test of the binary shares it).
  void Reset() {
    release_start = true;
    stop_delay_ms = 0;
    return_without_report = false;
    return_after_running = false;
    late_report = false;
    std::lock_guard lock(mu);
    stop = false;
    handler_threads.clear();
    controls.clear();
    report_errors.clear();
    handle = {};
  }
} g;

SERVICE_STATUS_HANDLE Handle() {
  std::lock_guard lock(g.mu);
  return g.handle;
}

void Report(DWORD state, DWORD controls, DWORD checkpoint, DWORD wait_hint) {
  const SERVICE_STATUS s{SERVICE_WIN32_OWN_PROCESS, state, controls, 0, 0, checkpoint, wait_hint};
  std::size_t index = 0;
  {
    // In call order (a report may return after a later one).
    std::lock_guard lock(g.mu);
    index = g.report_errors.size();
    g.report_errors.push_back(0xFFFFFFFFu);
  }
  const BOOL ok = SetServiceStatus(Handle(), &s);
  const DWORD error = ok ? 0 : GetLastError();
  std::lock_guard lock(g.mu);
  g.report_errors[index] = error;
}

constexpr DWORD kAccepts = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;

void Handler(DWORD control) {
  {
    std::lock_guard lock(g.mu);
    g.handler_threads.push_back(std::this_thread::get_id());
    g.controls.push_back(control);
  }
  if (control != SERVICE_CONTROL_STOP) return;
  if (g.return_after_running) {
    Report(SERVICE_STOPPED, 0, 0, 0);
    return;
  }
  DWORD checkpoint = 1;
  Report(SERVICE_STOP_PENDING, 0, checkpoint, 1000);
  for (int waited = 0; waited < g.stop_delay_ms; waited += 100) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Report(SERVICE_STOP_PENDING, 0, ++checkpoint, 1000);
  }
  {
    std::lock_guard lock(g.mu);
    g.stop = true;
  }
  g.cv.notify_all();
  if (g.late_report) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Report(SERVICE_STOP_PENDING, kAccepts, 0, 0);
  }
}

void ServiceMain(DWORD, char**) {
  const SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerA("TestSvc", Handler);
  {
    std::lock_guard lock(g.mu);
    g.handle = handle;
  }
  if (g.return_without_report) return;
  Report(SERVICE_START_PENDING, 0, 1, 1000);
  while (!g.release_start) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  Report(SERVICE_RUNNING, kAccepts, 0, 0);
  if (g.return_after_running) return;
  std::unique_lock lock(g.mu);
  g.cv.wait(lock, [] { return g.stop; });
  lock.unlock();
  Report(SERVICE_STOPPED, 0, 0, 0);
}

/// Runs the dispatcher on a thread of its own for the life of the object.
class DispatcherThread {
 public:
  DispatcherThread() {
    thread_ = std::thread([this] {
      id_ = std::this_thread::get_id();
      const SERVICE_TABLE_ENTRYA table[] = {{"TestSvc", ServiceMain}, {nullptr, nullptr}};
      result_ = StartServiceCtrlDispatcherA(table);
      error_ = GetLastError();
      done_ = true;
    });
  }
  ~DispatcherThread() {
    // A test that failed half-way still ends: let the service stop by itself.
    if (!done_ && ::testing::Test::HasFailure()) {
      g.release_start = true;
      {
        std::lock_guard lock(g.mu);
        g.stop = true;
      }
      g.cv.notify_all();
    }
    Join();
  }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  [[nodiscard]] bool done() const { return done_; }
  [[nodiscard]] BOOL result() const { return result_; }
  [[nodiscard]] std::thread::id id() const { return id_; }

 private:
  std::thread thread_;
  std::atomic<bool> done_{false};
  BOOL result_ = FALSE;
  DWORD error_ = 0;
  std::thread::id id_;
};

class ScmDispatcher : public ::testing::Test {
 protected:
  void SetUp() override {
    g.Reset();
    node_.Set(platform::kScmServiceVariable, std::nullopt);
  }
  SC_HANDLE OpenTestService(const char* name = "TestSvc") {
    SC_HANDLE service;
    Eventually([&] { return static_cast<bool>(service = OpenServiceA(manager_, name, SERVICE_ALL_ACCESS)); });
    return service;
  }

  TempNode node_;
  SC_HANDLE manager_ = OpenManager();
};

TEST_F(ScmDispatcher, HandlerRunsOnTheDispatcherThreadAndControlServiceDoesNotWaitForIt) {
  g.stop_delay_ms = 1000;
  DispatcherThread dispatcher;
  SC_HANDLE service = OpenTestService();
  ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
  EXPECT_EQ(StatusOf(service).dwProcessId, static_cast<DWORD>(::getpid()));

  SERVICE_STATUS status;
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status)) << GetLastError();
  const auto before = std::chrono::steady_clock::now();
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(700));
  EXPECT_NE(status.dwCurrentState, SERVICE_STOPPED);

  dispatcher.Join();
  EXPECT_TRUE(dispatcher.result());
  EXPECT_EQ(StatusOf(service).dwCurrentState, SERVICE_STOPPED);
  std::lock_guard lock(g.mu);
  EXPECT_EQ(g.controls, (std::vector<DWORD>{SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_STOP}));
  for (const auto& id : g.handler_threads) EXPECT_EQ(id, dispatcher.id());
}

TEST_F(ScmDispatcher, ControlsFollowTheLastReportedStatus) {
  g.release_start = false;
  DispatcherThread dispatcher;
  SC_HANDLE service = OpenTestService();
  ASSERT_TRUE(WaitForState(service, SERVICE_START_PENDING));
  SERVICE_STATUS status;
  SetLastError(0);
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  EXPECT_EQ(status.dwCurrentState, SERVICE_START_PENDING);
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_PAUSE, &status));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status)) << GetLastError();

  g.release_start = true;
  ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_PAUSE, &status));  // not accepted when running either
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  dispatcher.Join();
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
}

TEST_F(ScmDispatcher, StopSignalBecomesStopOnceTheServiceAcceptsIt) {
  g.release_start = false;
  DispatcherThread dispatcher;
  SC_HANDLE service = OpenTestService();
  ASSERT_TRUE(WaitForState(service, SERVICE_START_PENDING));
  ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  {
    std::lock_guard lock(g.mu);
    EXPECT_TRUE(g.controls.empty());  // kept until stop is accepted, not lost
  }
  g.release_start = true;
  ASSERT_TRUE(Eventually([&] { return dispatcher.done(); }));
  dispatcher.Join();
  EXPECT_TRUE(dispatcher.result());
  EXPECT_EQ(StatusOf(service).dwCurrentState, SERVICE_STOPPED);
  std::lock_guard lock(g.mu);
  EXPECT_EQ(g.controls, std::vector<DWORD>{SERVICE_CONTROL_STOP});
  ASSERT_EQ(g.handler_threads.size(), 1u);
  EXPECT_EQ(g.handler_threads[0], dispatcher.id());
}

TEST_F(ScmDispatcher, HistoryRecordsEveryReportInOrder) {
  g.stop_delay_ms = 2500;
  DispatcherThread dispatcher;
  SC_HANDLE service = OpenTestService();
  ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
  SERVICE_STATUS status;
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  dispatcher.Join();

  const auto reports = HistoryFrom("TestSvc", "service");
  ASSERT_GE(reports.size(), 4u);
  EXPECT_EQ(reports.front().status.dwCurrentState, SERVICE_START_PENDING);
  EXPECT_EQ(reports[1].status.dwCurrentState, SERVICE_RUNNING);
  EXPECT_EQ(reports[1].status.dwControlsAccepted, kAccepts);
  EXPECT_EQ(reports.back().status.dwCurrentState, SERVICE_STOPPED);
  int pending = 0;
  DWORD last_checkpoint = 0;
  for (std::size_t i = 2; i + 1 < reports.size(); ++i) {
    ASSERT_EQ(reports[i].status.dwCurrentState, SERVICE_STOP_PENDING) << i;
    EXPECT_GT(reports[i].status.dwCheckPoint, last_checkpoint);
    EXPECT_EQ(reports[i].status.dwWaitHint, 1000u);
    EXPECT_EQ(reports[i].pid, static_cast<DWORD>(::getpid()));
    last_checkpoint = reports[i].status.dwCheckPoint;
    ++pending;
  }
  EXPECT_GE(pending, 22);
  EXPECT_LE(pending, 30);
  std::lock_guard lock(g.mu);
  EXPECT_EQ(reports.size(), g.report_errors.size());
}

TEST_F(ScmDispatcher, InjectedFaultsFailExactlyTheNthReport) {
  platform::scm_test_hooks::FailSetServiceStatus(1, ERROR_NOT_ENOUGH_MEMORY);
  {
    DispatcherThread dispatcher;
    SC_HANDLE service = OpenTestService();
    ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
    SERVICE_STATUS status;
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  }
  {
    std::lock_guard lock(g.mu);
    EXPECT_EQ(g.report_errors, (std::vector<DWORD>{ERROR_NOT_ENOUGH_MEMORY, 0, 0, 0}));
  }
  EXPECT_EQ(HistoryFrom("TestSvc", "service").front().status.dwCurrentState, SERVICE_RUNNING);

  // The same through the environment, read when the dispatcher starts.
  g.report_errors.clear();
  g.stop = false;
  node_.Set(platform::kScmFailSetStatusVariable, "3:5");
  {
    DispatcherThread dispatcher;
    SC_HANDLE service = OpenTestService();
    ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
    SERVICE_STATUS status;
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  }
  std::lock_guard lock(g.mu);
  EXPECT_EQ(g.report_errors, (std::vector<DWORD>{0, 0, ERROR_ACCESS_DENIED, 0}));
}

TEST_F(ScmDispatcher, ServiceMainReturningWithoutAReportIsRecordedStopped) {
  g.return_without_report = true;
  DispatcherThread dispatcher;
  ASSERT_TRUE(Eventually([&] { return dispatcher.done(); }));
  EXPECT_TRUE(dispatcher.result());
  SC_HANDLE service = OpenTestService();
  const auto s = StatusOf(service);
  EXPECT_EQ(s.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(s.dwWin32ExitCode, ERROR_PROCESS_ABORTED);
  ASSERT_FALSE(platform::ReadServiceHistory("TestSvc").empty());
  EXPECT_EQ(platform::ReadServiceHistory("TestSvc").back().source, "dispatcher");
}

TEST_F(ScmDispatcher, DispatcherWaitsForStoppedAfterTheServiceMainHasReturned) {
  g.return_after_running = true;
  DispatcherThread dispatcher;
  SC_HANDLE service = OpenTestService();
  ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(dispatcher.done());
  SERVICE_STATUS status;
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  ASSERT_TRUE(Eventually([&] { return dispatcher.done(); }));
  EXPECT_EQ(StatusOf(service).dwCurrentState, SERVICE_STOPPED);
}

TEST_F(ScmDispatcher, StoppedStaysTheLastWordWhenAReportRacesPastIt) {
  g.late_report = true;
  DispatcherThread dispatcher;
  SC_HANDLE service = OpenTestService();
  ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
  SERVICE_STATUS status;
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  dispatcher.Join();
  const auto s = StatusOf(service);
  EXPECT_EQ(s.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(s.dwProcessId, 0u);
  const auto history = platform::ReadServiceHistory("TestSvc");
  ASSERT_GE(history.size(), 2u);
  EXPECT_EQ(history[history.size() - 2].status.dwCurrentState, SERVICE_STOP_PENDING);  // the late one
  EXPECT_EQ(history.back().status.dwCurrentState, SERVICE_STOPPED);
}

int OpenDescriptors() {
  int n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

TEST_F(ScmDispatcher, HandlesBelongToTheirDispatcherRun) {
  const int descriptors = OpenDescriptors();
  SetLastError(0);
  EXPECT_FALSE(RegisterServiceCtrlHandlerA("TestSvc", Handler));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  {
    DispatcherThread dispatcher;
    SC_HANDLE service = OpenTestService();
    ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
    const SERVICE_TABLE_ENTRYA table[] = {{"Second", ServiceMain}, {nullptr, nullptr}};
    EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);
    const SERVICE_STATUS bad{SERVICE_WIN32_OWN_PROCESS, 9, 0, 0, 0, 0, 0};
    EXPECT_FALSE(SetServiceStatus(Handle(), &bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
    SERVICE_STATUS status;
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  }
  const SERVICE_STATUS late{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, 0, 0, 0, 0};
  EXPECT_FALSE(SetServiceStatus(Handle(), &late));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(OpenDescriptors(), descriptors);  // socket, signalfd and eventfds all closed
  EXPECT_FALSE(std::filesystem::exists(node_.state_dir() / "services.d" / "testsvc" / "control"));
}

TEST_F(ScmDispatcher, ReportsGoToTheServiceNamedByTheEnvironmentAndDeleteWaitsForStop) {
  ASSERT_TRUE(Install(manager_, "AutoStartTELMO", "/opt/telmo/TelmoManager"));
  node_.Set(platform::kScmServiceVariable, "AutoStartTELMO");
  DispatcherThread dispatcher;
  SC_HANDLE service = OpenTestService("AutoStartTELMO");
  ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
  EXPECT_EQ(StatusOf(service).dwProcessId, static_cast<DWORD>(::getpid()));
  EXPECT_FALSE(OpenServiceA(manager_, "TestSvc", SERVICE_QUERY_STATUS));

  ASSERT_TRUE(DeleteService(service));
  EXPECT_FALSE(DeleteService(service));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_FALSE(StartServiceA(service, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_TRUE(OpenServiceA(manager_, "AutoStartTELMO", SERVICE_QUERY_STATUS));  // still there while it runs
  SERVICE_STATUS status;
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  dispatcher.Join();
  EXPECT_FALSE(OpenServiceA(manager_, "AutoStartTELMO", SERVICE_QUERY_STATUS));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(ScmDispatcher, ADispatcherStartedByHandFindsTheOneServiceOfItsProgram) {
  const std::string self = std::filesystem::canonical("/proc/self/exe").string();
  ASSERT_TRUE(Install(manager_, "ByBinary", platform::QuoteArgument(self) + " --foreground"));
  {
    DispatcherThread dispatcher;
    SC_HANDLE service = OpenTestService("ByBinary");
    ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
    SERVICE_STATUS status;
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  }
  // With two candidates neither is taken: the entry's own status-only record is.
  ASSERT_TRUE(Install(manager_, "ByBinary2", self));
  g.stop = false;
  DispatcherThread dispatcher;
  SC_HANDLE service = OpenTestService("TestSvc");
  ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
  EXPECT_EQ(StatusOf(OpenTestService("ByBinary")).dwCurrentState, SERVICE_STOPPED);
  SERVICE_STATUS status;
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
}

TEST_F(ScmDispatcher, SystemdHearsReadyAndStopping) {
  const std::string path = (node_.root() / "notify").string();
  platform::UniqueFd sock(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  node_.Set("NOTIFY_SOCKET", path);
  {
    DispatcherThread dispatcher;
    SC_HANDLE service = OpenTestService();
    ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
    SERVICE_STATUS status;
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  }
  std::string all;
  char buffer[4096];
  for (ssize_t n; (n = ::recv(sock.get(), buffer, sizeof buffer, 0)) > 0;) all.append(buffer, n).push_back('|');
  const auto ready = all.find("READY=1");
  const auto stopping = all.find("STOPPING=1");
  ASSERT_NE(ready, std::string::npos) << all;
  ASSERT_NE(stopping, std::string::npos) << all;
  EXPECT_LT(ready, stopping);
  EXPECT_EQ(all.find("READY=1", ready + 1), std::string::npos);
  EXPECT_NE(all.find("STATUS=Stopped"), std::string::npos);
}

TEST_F(ScmDispatcher, HistoryStaysBounded) {
  DispatcherThread dispatcher;
  SC_HANDLE service = OpenTestService();
  ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
  const auto history = node_.state_dir() / "services.d" / "testsvc" / "history";
  ASSERT_TRUE(std::filesystem::exists(history));
  {
    std::ofstream out(history, std::ios::app);
    for (int i = 0; i < 7000; ++i)
      out << "t=1 src=filler pid=1 type=16 state=4 controls=5 win32=0 specific=0 checkpoint=0 wait=0\n";
  }
  SERVICE_STATUS status;
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  dispatcher.Join();
  EXPECT_LT(std::filesystem::file_size(history), 512u * 1024u);
  const auto reports = platform::ReadServiceHistory("TestSvc");
  EXPECT_GE(reports.size(), 1000u);
  EXPECT_EQ(reports.back().status.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(reports.back().source, "service");
}

}  // namespace
}  // namespace telmo::test
