// The stop of the service against the request worker: the service main and
// the control handler run under the dispatcher with the real request and stop
// workers, and the stop worker is held at its start, so that what the request
// worker does while a stop is under way can be seen.
#include <atomic>

#include "platform/scm.h"
#include "requests/request_support.h"
#include "service/service_control.h"
#include "supervision/launch.h"

namespace telmo::test {
namespace {

std::atomic<bool> g_stop_entered{false};
std::atomic<bool> g_release_stop{false};

// Start-up is the test's own (it starts its servers itself); the stop waits
// to be released, then runs the real shut-down.
unsigned HeldStopWorker(int action) {
  if (action == SERVICE_ACTION_STARTUP) return 0;
  if (action == SERVICE_ACTION_STOP) {
    g_stop_entered = true;
    while (!g_release_stop) std::this_thread::sleep_for(10ms);
  }
  return WorkerThread(&action);
}

TEST(ServiceStop, NothingIsCheckedRestartedOrStartedOnceTheStopHasBegun) {
  ManagerNode manager;
  manager.AddService("TELMOManager");
  manager.node.Set(platform::kScmServiceVariable, kOwnServiceName);
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = CreateServiceA(scm, kOwnServiceName, "TELMO Manager under test", SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                     "/bin/true", nullptr, nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(service) << GetLastError();

  ServerRecord& running = manager.AddServer(
      "Running", "RUN_DLGP", {manager.ServingComponent("Gateway", "run_dlgp", "RUN_DLGP")});
  manager.AddServer("Idle", "IDLE_DLGP", {manager.ServingComponent("Gateway", "idle_dlgp", "IDLE_DLGP")});
  StatusBlock status{};
  TELMO_MGMT_StartServer(running, status);
  ASSERT_TRUE(manager.WaitReady("RUN_DLGP"));
  gMgmtParameters.check_period = 5;  // a server check on every pass
  gManagerExiting = false;
  g_stop_entered = false;
  g_release_stop = false;
  service::SetWorkerFunction(HeldStopWorker);

  std::thread dispatcher([] {
    const SERVICE_TABLE_ENTRYA table[] = {{kOwnServiceName, ServiceMain}, {nullptr, nullptr}};
    StartServiceCtrlDispatcherA(table);
  });
  const auto release = [&] {
    g_release_stop = true;
    if (dispatcher.joinable()) dispatcher.join();
    service::SetWorkerFunction(nullptr);
    gMgmtParameters.check_period = 600;
  };
  TelmoClient client = RequestWorker::Connect();
  SERVICE_STATUS control{};
  const bool stop_sent =
      Eventually([&] { return ControlService(service, SERVICE_CONTROL_STOP, &control) != FALSE; }, 15s);
  if (!stop_sent || !Eventually([&] { return g_stop_entered.load(); }, 15s)) {
    release();
    FAIL() << "the stop did not begin";
  }

  // The stop has begun; its worker has not killed anything yet. A component
  // that dies now stays dead, and no server is started.
  const DWORD pid = RecordedPid(running, 0);
  EXPECT_TRUE(CrashProcess(pid));
  std::this_thread::sleep_for(2500ms);  // two server checks' worth
  auto start = ServerRequest(client, TELMO_TT_START_SERVER, "IDLE_DLGP");
  release();

  EXPECT_EQ(LogCount("Zarvel Telmo Manager restarting failed or unresponsive process"), 0);
  EXPECT_FALSE(fs::exists(manager.ReadyFile("IDLE_DLGP")));
  ASSERT_TRUE(start.ok());
  EXPECT_TRUE(start->status.holds(kFacilityManagement, 15018)) << start->status.describe();
  EXPECT_TRUE(start->status.holds(kFacilityManagement, 15046)) << start->status.describe();
  EXPECT_EQ(LogCount("Starting REFUSED for server Idle on request of"), 1);
  EXPECT_EQ(LogCount("Starting server Idle"), 0);
  EXPECT_TRUE(gServerTable.empty());  // the stop ran to its end once released
}

}  // namespace
}  // namespace telmo::test
