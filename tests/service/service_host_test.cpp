// The service main and the control handler in one process: the dispatcher
// runs on a test thread with the manager's own service main, a scripted
// worker stands in for the start-up, request and stop workers, and the test
// drives it with ControlService and reads the status history.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "config/manager_state.h"
#include "platform/eventlog.h"
#include "platform/scm.h"
#include "platform/win_error.h"
#include "requests/worker.h"
#include "service/error_report.h"
#include "service/service_control.h"
#include "support/test_env.h"

namespace telmo::test {
namespace {

using namespace std::chrono_literals;

// What the scripted worker does for each action.
struct Script {
  std::atomic<bool> release_startup{true};
  std::atomic<int> stop_ms{0};
  std::atomic<int> startups{0};
  std::atomic<int> stops{0};

  /// Back to the state a test starts from (every test of the binary shares it).
  void Reset() {
    release_startup = true;
    stop_ms = 0;
    startups = 0;
    stops = 0;
  }
} g;

unsigned ScriptedWorker(int action) {
  ++gWorkerCount;
  switch (action) {
    case SERVICE_ACTION_STARTUP:
      ++g.startups;
      while (!g.release_startup) std::this_thread::sleep_for(10ms);
      break;
    case SERVICE_ACTION_STOP:
      ++g.stops;
      std::this_thread::sleep_for(std::chrono::milliseconds(g.stop_ms.load()));
      break;
    case SERVICE_ACTION_PROCESS_REQUESTS:
      while (!gManagerExiting) std::this_thread::sleep_for(20ms);
      break;
    default:
      break;
  }
  --gWorkerCount;
  return 0;
}

bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

class ServiceHost : public ::testing::Test {
 protected:
  void SetUp() override {
    g.Reset();
    WriteFile(node_.services_file(), "TELMOManager " + std::to_string(FreeLoopbackPort()) + "/tcp\n");
    node_.Set(platform::kScmServiceVariable, kOwnServiceName);
    manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_TRUE(manager_);
    service_ = CreateServiceA(manager_, kOwnServiceName, "TELMO Manager under test", SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "/bin/true",
                              nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(service_) << GetLastError();
    service::SetWorkerFunction(ScriptedWorker);
  }

  void TearDown() override {
    if (dispatcher_.joinable()) {
      SERVICE_STATUS status;
      ControlService(service_, SERVICE_CONTROL_STOP, &status);
      dispatcher_.join();
    }
  }

  void StartDispatcher() {
    dispatcher_ = std::thread([this] {
      const SERVICE_TABLE_ENTRYA table[] = {{kOwnServiceName, ServiceMain}, {nullptr, nullptr}};
      dispatcher_result_ = StartServiceCtrlDispatcherA(table);
    });
  }

  SERVICE_STATUS_PROCESS Status() {
    SERVICE_STATUS_PROCESS s;
    DWORD needed = 0;
    QueryServiceStatusEx(service_, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s), sizeof s, &needed);
    return s;
  }

  // Waits for the report that ends start-up to be in the history (the live
  // status is written just before its history line).
  bool WaitRunningWithControls() {
    return Eventually([&] {
      const auto reports = Reports();
      return !reports.empty() && reports.back().status.dwCurrentState == SERVICE_RUNNING &&
             reports.back().status.dwControlsAccepted != 0;
    });
  }

  std::vector<platform::ServiceStatusReport> Reports() {
    std::vector<platform::ServiceStatusReport> out;
    for (auto& r : platform::ReadServiceHistory(kOwnServiceName)) {
      if (r.source == "service") out.push_back(r);
    }
    return out;
  }

  TempNode node_;
  SC_HANDLE manager_;
  SC_HANDLE service_;
  std::thread dispatcher_;
  std::atomic<BOOL> dispatcher_result_{FALSE};
};

TEST_F(ServiceHost, StartsInTwoStagesAndStopsWithTheStopWorker) {
  StartDispatcher();
  ASSERT_TRUE(WaitRunningWithControls());
  EXPECT_EQ(Status().dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
  EXPECT_EQ(g.startups, 1);

  SERVICE_STATUS status;
  ASSERT_TRUE(ControlService(service_, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  dispatcher_.join();
  EXPECT_TRUE(dispatcher_result_);
  EXPECT_EQ(g.stops, 1);

  const auto reports = Reports();
  ASSERT_GE(reports.size(), 4u);
  EXPECT_EQ(reports[0].status.dwCurrentState, SERVICE_START_PENDING);
  EXPECT_EQ(reports[0].status.dwCheckPoint, 1u);
  // Start-up is pending, with rising checkpoints and no control accepted,
  // until the request worker runs: RUNNING means requests are answered.
  std::size_t i = 1;
  for (; i < reports.size() && reports[i].status.dwCurrentState == SERVICE_START_PENDING; ++i) {
    EXPECT_EQ(reports[i].status.dwCheckPoint, i + 1);
    EXPECT_EQ(reports[i].status.dwControlsAccepted, 0u) << "no control is accepted while starting up";
  }
  ASSERT_LT(i, reports.size());
  EXPECT_EQ(reports[i].status.dwCurrentState, SERVICE_RUNNING);
  EXPECT_EQ(reports[i].status.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
  EXPECT_EQ(reports.back().status.dwCurrentState, SERVICE_STOPPED) << "STOPPED is always the last report";
  EXPECT_EQ(reports.back().status.dwWin32ExitCode, 0u);

  const auto events = platform::ReadEventLog();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].event_id, kEventManagerStarted);
  EXPECT_EQ(events[0].strings, std::vector<std::string>{"TELMO Manager started"});
  EXPECT_EQ(events[1].event_id, kEventManagerStopped);
  EXPECT_EQ(events[1].strings, std::vector<std::string>{"TELMO Manager Stopped"});
}

TEST_F(ServiceHost, StopDuringStartUpIsRefused) {
  g.release_startup = false;
  StartDispatcher();
  ASSERT_TRUE(Eventually([&] { return g.startups.load() == 1; }));
  SERVICE_STATUS status;
  EXPECT_FALSE(ControlService(service_, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  EXPECT_EQ(g.stops, 0);
  g.release_startup = true;
  ASSERT_TRUE(WaitRunningWithControls());
}

TEST_F(ServiceHost, ControlOfItsOwnDuringStartUpLeavesStopRefused) {
  g.release_startup = false;
  StartDispatcher();
  ASSERT_TRUE(Eventually([&] { return g.startups.load() == 1; }, 15s));
  // Straight to the handler: the service control manager itself turns such
  // a control away while the service reports START_PENDING.
  ServiceControlHandler(200);
  SERVICE_STATUS status;
  const bool stop_sent = ControlService(service_, SERVICE_CONTROL_STOP, &status) != FALSE;
  const DWORD stop_error = GetLastError();
  const auto reports = Reports();
  g.release_startup = true;

  EXPECT_FALSE(stop_sent);
  EXPECT_EQ(stop_error, ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  for (const auto& report : reports) {
    EXPECT_EQ(report.status.dwCurrentState, SERVICE_START_PENDING) << "still starting up";
    EXPECT_EQ(report.status.dwControlsAccepted, 0u);
  }
  ASSERT_TRUE(WaitRunningWithControls());
  EXPECT_EQ(g.stops, 0);
}

TEST_F(ServiceHost, SlowStopReportsStopPendingEveryHundredMillisecondsThenStopped) {
  g.stop_ms = 2500;
  StartDispatcher();
  ASSERT_TRUE(WaitRunningWithControls());
  SERVICE_STATUS status;
  ASSERT_TRUE(ControlService(service_, SERVICE_CONTROL_STOP, &status));
  dispatcher_.join();

  const auto reports = Reports();
  std::vector<DWORD> checkpoints;
  for (const auto& r : reports) {
    if (r.status.dwCurrentState == SERVICE_STOP_PENDING && r.status.dwCheckPoint > 0) {
      EXPECT_EQ(r.status.dwWaitHint, SERVICE_TIMEOUT);
      EXPECT_EQ(r.status.dwControlsAccepted, 0u);
      checkpoints.push_back(r.status.dwCheckPoint);
    }
  }
  EXPECT_GE(checkpoints.size(), 20u);
  EXPECT_LE(checkpoints.size(), 30u);
  for (std::size_t i = 1; i < checkpoints.size(); ++i) EXPECT_EQ(checkpoints[i], checkpoints[i - 1] + 1);
  EXPECT_EQ(reports.back().status.dwCurrentState, SERVICE_STOPPED);
}

TEST_F(ServiceHost, InterrogateReportsNothing) {
  StartDispatcher();
  ASSERT_TRUE(WaitRunningWithControls());
  const auto before = Reports().size();
  SERVICE_STATUS status;
  ASSERT_TRUE(ControlService(service_, SERVICE_CONTROL_INTERROGATE, &status));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Reports().size(), before);
}

TEST_F(ServiceHost, AnOtherControlReportsRunning) {
  StartDispatcher();
  ASSERT_TRUE(WaitRunningWithControls());
  const auto before = Reports().size();
  SERVICE_STATUS status;
  ASSERT_TRUE(ControlService(service_, 200, &status));
  ASSERT_TRUE(Eventually([&] { return Reports().size() == before + 1; }));
  EXPECT_EQ(Reports().back().status.dwCurrentState, SERVICE_RUNNING);
}

TEST_F(ServiceHost, FailedCallAfterStartUpStopsTheServiceWithThatError) {
  StartDispatcher();
  ASSERT_TRUE(WaitRunningWithControls());
  // The report the handler makes for a control of the service's own fails.
  platform::scm_test_hooks::FailSetServiceStatus(1, ERROR_ACCESS_DENIED);
  SERVICE_STATUS status;
  ASSERT_TRUE(ControlService(service_, 200, &status));
  dispatcher_.join();

  const auto reports = Reports();
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back().status.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(reports.back().status.dwWin32ExitCode, ERROR_ACCESS_DENIED);
  EXPECT_EQ(g.stops, 0) << "a fatal error takes the service down without the stop worker";

  int errors = 0;
  for (const auto& e : platform::ReadEventLog()) {
    if (e.event_id != kEventServiceError) continue;
    ++errors;
    ASSERT_EQ(e.strings.size(), 1u);
    EXPECT_EQ(e.strings[0],
              "TELMO Manager error from - SetServiceStatus ,errid = 5, errtext = Access is denied.");
  }
  EXPECT_EQ(errors, 1);
}

}  // namespace
}  // namespace telmo::test
