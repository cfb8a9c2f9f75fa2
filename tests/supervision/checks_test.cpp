// The periodic server check: dead components of started servers come back
// when the health check is on, leftovers of stopped servers are killed.
#include "supervision/checks.h"
#include "supervision/launch.h"
#include "supervision/liveness.h"
#include "supervision/supervision_support.h"

namespace telmo::test {
namespace {

constexpr const char* kRestartText = "Zarvel Telmo Manager restarting failed or unresponsive process";
constexpr const char* kForcibleText = "Zarvel Telmo Manager forcibly terminating process";

class Checks : public ::testing::Test {
 protected:
  ServerRecord& StartedServer(const std::string& name, const std::string& service, int health_check) {
    ServerRecord& server =
        manager_.AddServer(name, service, {manager_.ServingComponent("Gateway", name + "_image", service)},
                           health_check);
    StatusBlock status{};
    TELMO_MGMT_StartServer(server, status);
    EXPECT_FALSE(status.failed()) << status.describe();
    EXPECT_TRUE(manager_.WaitReady(service));
    return server;
  }

  ManagerNode manager_;
};

TEST_F(Checks, CrashedComponentIsRestartedWhenHealthCheckIsOn) {
  ServerRecord& server = StartedServer("watched", "WATCHED_DLGP", 1);
  const DWORD before = RecordedPid(server, 0);
  ASSERT_TRUE(CrashProcess(before));
  fs::remove(manager_.ReadyFile("WATCHED_DLGP"));

  EXPECT_EQ(TELMO_MGMT_CheckServers(gServerTable), 0);

  const DWORD after = RecordedPid(server, 0);
  EXPECT_NE(after, 0u);
  EXPECT_NE(after, before);
  EXPECT_TRUE(manager_.WaitReady("WATCHED_DLGP"));
  EXPECT_EQ(LogCount(std::string(kRestartText) +
                     "\nServer  name - \"watched\" Dlgp Service -\"WATCHED_DLGP\""
                     "\nProcess name - \"Gateway\" Service -\"WATCHED_DLGP\"\n"),
            1);
  EXPECT_EQ(LogCount(kForcibleText), 0);  // the dead one was not "terminated"

  // A server whose components all run gives no line at the next check.
  EXPECT_EQ(TELMO_MGMT_CheckServers(gServerTable), 0);
  EXPECT_EQ(RecordedPid(server, 0), after);
  EXPECT_EQ(LogCount(kRestartText), 1);
}

TEST_F(Checks, CrashedComponentStaysDownWhenHealthCheckIsOff) {
  ServerRecord& server = StartedServer("unwatched", "UNWATCHED_DLGP", 0);
  ASSERT_TRUE(CrashProcess(RecordedPid(server, 0)));

  EXPECT_EQ(TELMO_MGMT_CheckServers(gServerTable), 0);

  EXPECT_EQ(LogCount(kRestartText), 0);
  EXPECT_EQ(TELMO_MGMT_IsComponentRunning(gProcessTable, server, *server.components[0]), 0);
  EXPECT_EQ(server.desired_state, kDesiredStateStarted);
}

TEST_F(Checks, LiveLeftoverOfAStoppedServerIsKilled) {
  ServerRecord& server = StartedServer("leftover", "LEFTOVER_DLGP", 1);
  const DWORD pid = RecordedPid(server, 0);
  server.desired_state = kDesiredStateStopped;

  EXPECT_EQ(TELMO_MGMT_CheckServers(gServerTable), 0);

  EXPECT_TRUE(Eventually([&] { return ProcessGone(pid); }));
  EXPECT_EQ(LogCount(std::string(kForcibleText) +
                     "\nServer  name - \"leftover\" Dlgp Service -\"LEFTOVER_DLGP\""
                     "\nProcess name - \"Gateway\" Service -\"LEFTOVER_DLGP\"\n"),
            1);
  // The entry stays, without a process; the next check has nothing to kill.
  EXPECT_EQ(RecordedPid(server, 0), 0u);
  EXPECT_GE(gProcessTable.Find(&server, server.components[0].get()), 0);
  EXPECT_EQ(TELMO_MGMT_CheckServers(gServerTable), 0);
  EXPECT_EQ(LogCount(kForcibleText), 1);
}

TEST_F(Checks, ServerThatCannotBeRestartedDoesNotHoldUpTheOthers) {
  ServerRecord& broken = StartedServer("broken", "BROKEN_DLGP", 1);
  ServerRecord& healthy = StartedServer("healthy", "HEALTHY_DLGP", 1);
  ASSERT_TRUE(CrashProcess(RecordedPid(broken, 0)));
  ASSERT_TRUE(CrashProcess(RecordedPid(healthy, 0)));
  fs::remove(broken.components[0]->executable);  // its program has gone meanwhile

  EXPECT_EQ(TELMO_MGMT_CheckServers(gServerTable), 1);

  EXPECT_EQ(RecordedPid(broken, 0), 0u);
  EXPECT_NE(RecordedPid(healthy, 0), 0u);
  EXPECT_TRUE(ProcessAlive(RecordedPid(healthy, 0)));
  EXPECT_EQ(LogCount(kRestartText), 2);
  EXPECT_EQ(LogCount("creating process " + broken.components[0]->executable), 1);
}

TEST_F(Checks, RestartOfAServerWhoseLogonFailsStartsNothingAndCountsAnError) {
  manager_.UsePam(false);
  ServerRecord& server = manager_.AddServer(
      "locked", "LOCKED_DLGP",
      {{"Gateway", "", manager_.InstallImage("locked_dlgp").string(), "-"},
       {"Helper", "", manager_.InstallImage("locked_helper").string(), "-"}});
  server.username = "nobody";
  server.password = "wrong";
  server.desired_state = kDesiredStateStarted;

  EXPECT_EQ(TELMO_MGMT_CheckServers(gServerTable), 1);
  EXPECT_EQ(TELMO_MGMT_CheckServers(gServerTable), 1);  // retried at every check

  EXPECT_EQ(LogCount("Win32 error 1326 logging on as nobody for server locked"), 2);
  EXPECT_EQ(LogCount(kRestartText), 0);
  EXPECT_LT(gProcessTable.Find(&server, server.components[0].get()), 0);
  EXPECT_LT(gProcessTable.Find(&server, server.components[1].get()), 0);
}

}  // namespace
}  // namespace telmo::test
