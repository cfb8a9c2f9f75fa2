// Starting servers: components in order with the walk ending at the first
// failure, logons, accounts, and components that still run.
#include <unistd.h>

#include "platform/scm.h"
#include "platform/win_error.h"
#include "supervision/launch.h"
#include "supervision/liveness.h"
#include "supervision/stop.h"
#include "supervision/supervision_support.h"

namespace telmo::test {
namespace {

class Launch : public ::testing::Test {
 protected:
  ManagerNode manager_;
};

TEST_F(Launch, ComponentThatCannotBeCreatedEndsTheWalk) {
  ServerRecord& server = manager_.AddServer(
      "Three parts", "THREE_DLGP",
      {manager_.ServingComponent("Gateway", "three_dlgp", "THREE_DLGP"),
       {"Missing part", "", (manager_.bin() / "no_such_program").string(), "-"},
       {"Third part", "", manager_.InstallImage("three_third").string(), "-"}});

  StatusBlock status{};
  TELMO_MGMT_StartServer(server, status);

  EXPECT_TRUE(status.failed());
  EXPECT_EQ(server.desired_state, kDesiredStateStarted);
  ASSERT_TRUE(manager_.WaitReady("THREE_DLGP"));
  EXPECT_EQ(TELMO_MGMT_IsComponentRunning(gProcessTable, server, *server.components[0]), 1);
  EXPECT_EQ(LogCount("creating process " + (manager_.bin() / "no_such_program").string() +
                     " for component Missing part"),
            1);
  // Nothing was recorded for the failed component, and the third was never tried.
  EXPECT_LT(gProcessTable.Find(&server, server.components[1].get()), 0);
  EXPECT_LT(gProcessTable.Find(&server, server.components[2].get()), 0);
  EXPECT_EQ(LogCount("Third part"), 0);
}

TEST_F(Launch, ComponentStillRunningIsNotStartedTwice) {
  ServerRecord& server =
      manager_.AddServer("Twice", "TWICE_DLGP", {manager_.ServingComponent("Gateway", "twice_dlgp", "TWICE_DLGP")});
  StatusBlock status{};
  TELMO_MGMT_StartServer(server, status);
  ASSERT_FALSE(status.failed()) << status.describe();
  ASSERT_TRUE(manager_.WaitReady("TWICE_DLGP"));
  const DWORD first = RecordedPid(server, 0);

  TELMO_MGMT_StartServer(server, status);
  EXPECT_FALSE(status.failed()) << status.describe();
  EXPECT_EQ(RecordedPid(server, 0), first);
  EXPECT_TRUE(ProcessAlive(first));
  EXPECT_EQ(LogCount("Replaced component"), 0);
  EXPECT_EQ(gProcessTable.highest(), 0);
}

TEST_F(Launch, FailedLogonStartsNothingYetCountsAsStarted) {
  manager_.UsePam(false);
  ServerRecord& server = manager_.AddServer("Guarded", "GUARD_DLGP",
                                            {{"Gateway", "", manager_.InstallImage("guard_dlgp").string(), "-"}});
  server.username = "nobody";
  server.password = "wrong";

  StatusBlock status{};
  TELMO_MGMT_StartServer(server, status);

  EXPECT_TRUE(status.holds(kFacilityLogon, 1326)) << status.describe();
  EXPECT_TRUE(status.holds(kFacilityManagement, 15014)) << status.describe();
  EXPECT_EQ(server.desired_state, kDesiredStateStarted);
  EXPECT_LT(gProcessTable.Find(&server, server.components[0].get()), 0);
  EXPECT_EQ(LogCount("Win32 error 1326 logging on as nobody for server Guarded"), 1);
}

TEST_F(Launch, ComponentRunsUnderTheServersAccount) {
  if (::geteuid() != 0) GTEST_SKIP() << "switching accounts needs root";
  manager_.UsePam(true);
  // The account must reach the program through the test's folders.
  for (const auto& dir : {manager_.node.root(), manager_.node.product_root(), manager_.bin()}) {
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
  }
  ServerRecord& server = manager_.AddServer("As nobody", "NOBODY_DLGP",
                                            {{"Gateway", "", manager_.InstallImage("nobody_dlgp").string(), "-"}});
  server.username = "nobody";
  server.password = "any";

  StatusBlock status{};
  TELMO_MGMT_StartServer(server, status);
  ASSERT_FALSE(status.failed()) << status.describe();
  const DWORD pid = RecordedPid(server, 0);
  ASSERT_NE(pid, 0u);
  EXPECT_TRUE(Eventually([&] { return UidOf(pid) == 65534; })) << UidOf(pid);
}

TEST_F(Launch, AccountGivenWithADomainThatCannotBeReachedFailsTheLogon) {
  manager_.UsePam(true);
  ServerRecord& server = manager_.AddServer("Remote account", "REMOTE_DLGP",
                                            {{"Gateway", "", manager_.InstallImage("remote_dlgp").string(), "-"}});
  server.username = "FARAWAY\\nobody";
  server.password = "any";
  LogonToken logon;
  StatusBlock status{};
  EXPECT_FALSE(TELMO_MGMT_LogonServerUser(server, logon, status));
  EXPECT_TRUE(status.holds(kFacilityManagement, 15014)) << status.describe();
  EXPECT_EQ(logon.not_logged_on, 1);
  EXPECT_FALSE(logon.token);

  server.username = ".\\nobody";
  TELMO_SERVER_INITBLK(status);
  EXPECT_TRUE(TELMO_MGMT_LogonServerUser(server, logon, status)) << status.describe();
  EXPECT_EQ(logon.not_logged_on, 0);
  ASSERT_TRUE(logon.token);
  EXPECT_EQ(logon.token->uid, 65534u);
}

TEST_F(Launch, ControllerGatewayIsAdoptedFromItsServiceNotStarted) {
  // Its context service is not installed here: the start of the service is
  // only logged, and the gateway is looked for among the running processes.
  ServerRecord& server = manager_.AddServer(
      "Controller", "CTL_DLGP", {{"Gateway", "CTL_DLGP", "%TELMOROOT%\\bin\\telmo_vxpl_dlgp.exe", "CTL_DLGP"}});
  StatusBlock status{};
  TELMO_MGMT_StartServer(server, status);
  EXPECT_FALSE(status.failed()) << status.describe();
  EXPECT_EQ(LogCount("Error: OpenService failed, error=[1060,0x00000424] while attempting to start "
                     "service=[VexplanContextService]"),
            1);
  // Not found: an entry without a process, which counts as not running.
  EXPECT_GE(gProcessTable.Find(&server, server.components[0].get()), 0);
  EXPECT_EQ(RecordedPid(server, 0), 0u);
  EXPECT_EQ(TELMO_MGMT_IsComponentRunning(gProcessTable, server, *server.components[0]), 0);
  EXPECT_EQ(LogCount("creating process"), 0);

  // Once the service has started it, the next start adopts the running process.
  platform::SpawnOptions options;
  options.program = manager_.InstallImage("telmo_vxpl_dlgp.exe").string();
  options.arguments = {"-"};
  auto gateway = platform::SpawnProcess(options);
  ASSERT_TRUE(gateway.ok());
  manager_.Track(GetProcessId(gateway.value()));
  TELMO_MGMT_StartServer(server, status);
  EXPECT_EQ(RecordedPid(server, 0), GetProcessId(gateway.value()));
  EXPECT_EQ(TELMO_MGMT_IsComponentRunning(gProcessTable, server, *server.components[0]), 1);
  EXPECT_EQ(gProcessTable.highest(), 0);
}

TEST_F(Launch, ControllerGatewayIsAdoptedOnlyWhenItRunsTheProgramOrCameFromItsService) {
  ServerRecord& server = manager_.AddServer(
      "Controller", "CTL_DLGP", {{"Gateway", "CTL_DLGP", "%TELMOROOT%\\bin\\telmo_vxpl_dlgp.exe", "CTL_DLGP"}});
  manager_.InstallImage("telmo_vxpl_dlgp.exe");
  const fs::path elsewhere = manager_.node.root() / "elsewhere";
  fs::create_directories(elsewhere);
  fs::copy_file(BuiltProgram("fake_component"), elsewhere / "telmo_vxpl_dlgp.exe");
  const auto start_namesake = [&](std::vector<std::pair<std::string, std::string>> environment) {
    platform::SpawnOptions options;
    options.program = (elsewhere / "telmo_vxpl_dlgp.exe").string();
    options.arguments = {"-"};
    options.environment = std::move(environment);
    auto process = platform::SpawnProcess(options);
    EXPECT_TRUE(process.ok());
    const DWORD pid = process.ok() ? GetProcessId(process.value()) : 0;
    manager_.Track(pid);
    return pid;
  };
  // Namesakes of the gateway started by hand, one claiming the context
  // service's mark: neither runs the configured file nor was started for the
  // service, so neither is adopted, and the stop of the server spares them.
  const DWORD by_hand = start_namesake({});
  const DWORD claiming = start_namesake({{platform::kScmServiceVariable, "VexplanContextService"}});
  StatusBlock status{};
  TELMO_MGMT_StartServer(server, status);
  EXPECT_EQ(RecordedPid(server, 0), 0u);
  TELMO_MGMT_StopServer(server, status);
  EXPECT_TRUE(ProcessAlive(by_hand));
  EXPECT_TRUE(ProcessAlive(claiming));
  EXPECT_EQ(LogCount("forcibly terminating"), 0);

  // The context service started from another file is adopted: the service
  // control manager started it for that service.
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  fs::create_directories(elsewhere / "ctx");
  fs::copy_file(BuiltProgram("fake_service"), elsewhere / "ctx" / "telmo_vxpl_dlgp.exe");
  const std::string command =
      platform::QuoteArgument((elsewhere / "ctx" / "telmo_vxpl_dlgp.exe").string()) + " --name VexplanContextService";
  SC_HANDLE context = CreateServiceA(scm, "VexplanContextService", "Context", SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                     command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(context) << GetLastError();
  TELMO_MGMT_StartServer(server, status);
  SERVICE_STATUS_PROCESS running{};
  DWORD needed = 0;
  ASSERT_TRUE(QueryServiceStatusEx(context, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&running), sizeof running,
                                   &needed));
  manager_.Track(running.dwProcessId);
  ASSERT_NE(running.dwProcessId, 0u);
  EXPECT_EQ(RecordedPid(server, 0), running.dwProcessId);
  TELMO_MGMT_StopServer(server, status);
  EXPECT_TRUE(Eventually([&] { return ProcessGone(running.dwProcessId); }));
  EXPECT_TRUE(ProcessAlive(by_hand));
}

}  // namespace
}  // namespace telmo::test
