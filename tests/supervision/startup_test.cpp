// Start-up and shut-down sequences, end to end: server files in the
// management directory, fake components under their own image names,
// leftovers from an earlier run, site scripts.
#include <spawn.h>
#include <sys/wait.h>

#include "config/server_file.h"
#include "supervision/launch.h"
#include "supervision/liveness.h"
#include "supervision/startup.h"
#include "supervision/supervision_support.h"

extern char** environ;

namespace telmo::test {
namespace {

class Sequence : public ::testing::Test {
 protected:
  /// Writes "<service>.csd": one component serving `service` from `image`.
  void WriteServerFile(const std::string& name, const std::string& service, const std::string& image, bool run,
                       const std::string& account = ",") {
    manager_.AddService(service);
    const std::string text = name + "," + service + ",\n" + (run ? "Run" : "DontRun") + "," + account + "\n" +
                             "1\nNoStoreForward\n1\n" + "Gateway," + service + "," +
                             manager_.InstallImage(image).string() + "," + service + " " +
                             manager_.ReadyArgument(service) + "\n";
    WriteFile(manager_.node.mgmt_dir() / (service + ".csd"), text);
  }

  ServerRecord* Find(const std::string& service) { return TELMO_MGMT_FindServer(service, gServerTable); }

  /// A process of `image` started as this manager starts its components (marked).
  DWORD StartMarked(const std::string& image) {
    platform::SpawnOptions options;
    options.program = manager_.InstallImage(image).string();
    options.arguments = {"-"};
    auto started = platform::SpawnProcess(options);
    EXPECT_TRUE(started.ok());
    if (!started.ok()) return 0;
    held_.push_back(std::move(started).value());
    const DWORD pid = GetProcessId(held_.back());
    manager_.Track(pid);
    return pid;
  }

  /// A process of `image` that some other program started: no marker.
  pid_t StartUnmarked(const std::string& image) {
    const std::string program = manager_.InstallImage(image).string();
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("-"), nullptr};
    pid_t pid = 0;
    EXPECT_EQ(::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ), 0);
    unmarked_.push_back(pid);
    return pid;
  }

  void TearDown() override {
    for (const pid_t pid : unmarked_) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }

  [[nodiscard]] fs::path ProgramDataCommands() const {
    return manager_.node.root() / "programdata" / "Zarvelco" / "TELMO" / "commands";
  }
  [[nodiscard]] fs::path RootCommands() const { return manager_.node.product_root() / "commands"; }

  ManagerNode manager_;
  std::vector<ProcessHandle> held_;
  std::vector<pid_t> unmarked_;
};

TEST_F(Sequence, StartupKillsOnlyTheLeftoversThatCarryTheMarker) {
  WriteServerFile("Old", "OLD_DLGP", "old_dlgp", false);
  const DWORD marked = StartMarked("old_dlgp");
  const pid_t stranger = StartUnmarked("old_dlgp");
  ASSERT_TRUE(Eventually([&] { return ProcessAlive(static_cast<DWORD>(stranger)); }));

  EXPECT_EQ(TELMO_MGMT_Startup(gServerTable), 0);

  EXPECT_TRUE(Eventually([&] { return ProcessGone(marked); }));
  EXPECT_TRUE(ProcessAlive(static_cast<DWORD>(stranger)));
  const fs::path taskkill = manager_.node.root() / "programdata" / "ZARVELCO" / "TELMO" / "LOG" / "TASKKILL.LOG";
  EXPECT_EQ(Occurrences(taskkill, "TelmoManager service START kills begin"), 1);
  EXPECT_EQ(Occurrences(taskkill, "old_dlgp\" with PID " + std::to_string(marked)), 1) << ReadFile(taskkill);
  EXPECT_EQ(Occurrences(taskkill, "PID " + std::to_string(stranger)), 0);
  EXPECT_EQ(Occurrences(taskkill, "TelmoManager service START kills end"), 1);
  // A DontRun server is loaded, not started.
  ServerRecord* old = Find("OLD_DLGP");
  ASSERT_NE(old, nullptr);
  EXPECT_EQ(old->desired_state, kDesiredStateStopped);
  EXPECT_LT(gProcessTable.Find(old, old->components[0].get()), 0);
}

TEST_F(Sequence, StartupRunsOnlyTheScriptUnderProgramDataWhenBothExist) {
  const fs::path first_ran = manager_.node.root() / "programdata-script-ran";
  const fs::path second_ran = manager_.node.root() / "root-script-ran";
  WriteFile(ProgramDataCommands() / "telmo_autostart.bat", "pwd > " + first_ran.string() + "\n");
  WriteFile(RootCommands() / "telmo_autostart.bat", "pwd > " + second_ran.string() + "\n");

  EXPECT_EQ(TELMO_MGMT_Startup(gServerTable), 0);

  ASSERT_TRUE(Eventually([&] { return !ReadFile(first_ran).empty(); }));
  // It runs in its own commands folder.
  EXPECT_EQ(ReadFile(first_ran), fs::canonical(ProgramDataCommands()).string() + "\n");
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(fs::exists(second_ran));
  EXPECT_EQ(LogCount("NOT found telmo_autostart.bat"), 0);
}

TEST_F(Sequence, StartupFallsBackToTheProductRootScript) {
  const fs::path ran = manager_.node.root() / "root-script-ran";
  WriteFile(RootCommands() / "telmo_autostart.bat", "pwd > " + ran.string() + "\n");

  EXPECT_EQ(TELMO_MGMT_Startup(gServerTable), 0);

  ASSERT_TRUE(Eventually([&] { return !ReadFile(ran).empty(); }));
  EXPECT_EQ(ReadFile(ran), fs::canonical(RootCommands()).string() + "\n");
}

TEST_F(Sequence, StartupWithoutAManagementDirectoryStillRunsTheScript) {
  WriteServerFile("Unread", "UNREAD_DLGP", "unread_dlgp", true);
  manager_.node.Set("TELMOMGMT", std::nullopt);
  const fs::path ran = manager_.node.root() / "script-ran";
  WriteFile(ProgramDataCommands() / "telmo_autostart.bat", "pwd > " + ran.string() + "\n");

  EXPECT_EQ(TELMO_MGMT_Startup(gServerTable), 0);

  EXPECT_TRUE(gServerTable.empty());
  EXPECT_TRUE(Eventually([&] { return !ReadFile(ran).empty(); }));
  EXPECT_FALSE(fs::exists(manager_.ReadyFile("UNREAD_DLGP")));
}

TEST_F(Sequence, StartupStartsRunServersAndGoesOnAfterOneWhoseLogonFails) {
  manager_.UsePam(false);
  WriteServerFile("Refused", "A_REFUSED", "a_dlgp", true, "nobody,c2VjcmV0");
  WriteServerFile("Running", "B_RUNNING", "b_dlgp", true);
  WriteServerFile("Resting", "C_RESTING", "c_dlgp", false);

  EXPECT_EQ(TELMO_MGMT_Startup(gServerTable), 1);

  ASSERT_EQ(gServerTable.size(), 3u);
  ServerRecord* refused = Find("A_REFUSED");
  ServerRecord* running = Find("B_RUNNING");
  ServerRecord* resting = Find("C_RESTING");
  ASSERT_TRUE(refused && running && resting);
  EXPECT_EQ(LogCount("** Error returned while starting server [A_REFUSED]. Continued..."), 1);
  EXPECT_EQ(refused->desired_state, kDesiredStateStarted);  // so the periodic check retries it
  EXPECT_EQ(RecordedPid(*refused, 0), 0u);
  EXPECT_TRUE(manager_.WaitReady("B_RUNNING"));
  EXPECT_EQ(TELMO_MGMT_IsComponentRunning(gProcessTable, *running, *running->components[0]), 1);
  EXPECT_EQ(resting->desired_state, kDesiredStateStopped);
  EXPECT_EQ(RecordedPid(*resting, 0), 0u);
  EXPECT_FALSE(fs::exists(manager_.ReadyFile("C_RESTING")));
}

TEST_F(Sequence, ShutdownRewritesEveryFileAndLeavesNoComponentRunning) {
  WriteServerFile("Running", "RUN_DLGP", "run_dlgp", true);
  WriteServerFile("Resting", "REST_DLGP", "rest_dlgp", false);
  const fs::path resting_file = manager_.node.mgmt_dir() / "REST_DLGP.csd";
  WriteFile(resting_file, "# written by hand\n" + ReadFile(resting_file));
  ASSERT_EQ(TELMO_MGMT_Startup(gServerTable), 0);
  ASSERT_TRUE(manager_.WaitReady("RUN_DLGP"));
  ServerRecord* running = Find("RUN_DLGP");
  ASSERT_NE(running, nullptr);
  const DWORD pid = RecordedPid(*running, 0);
  ASSERT_NE(pid, 0u);
  gMgmtParameters.check_period = 120;

  EXPECT_EQ(TELMO_MGMT_shutdown(gServerTable), 0);

  EXPECT_TRUE(gServerTable.empty());
  EXPECT_TRUE(Eventually([&] { return ProcessGone(pid); }));
  EXPECT_EQ(ReadFile(manager_.node.mgmt_dir() / "telmo_k_mgmt_parameters.def"), "120\n100\n");
  // Both files were written back from memory (the comment is gone) and load again.
  EXPECT_EQ(ReadFile(resting_file).find("# written by hand"), std::string::npos);
  for (const char* service : {"RUN_DLGP", "REST_DLGP"}) {
    StatusBlock status{};
    WatchdogTable watchdogs;
    auto loaded = config::LoadServer((manager_.node.mgmt_dir() / (std::string(service) + ".csd")).string(), status,
                                     watchdogs);
    ASSERT_NE(loaded, nullptr) << service << ": " << status.describe();
    EXPECT_EQ(loaded->dlgp_service.view(), service);
  }
  EXPECT_EQ(LogCount("NOT found telmo_autostop.bat"), 1);
}

TEST_F(Sequence, ShutdownEndsComponentsStartedAfterStartup) {
  // A server started by request after start-up is in the table like the others.
  manager_.AddServer("Late", "LATE_DLGP", {manager_.ServingComponent("Gateway", "late_dlgp", "LATE_DLGP")});
  ServerRecord& late = *gServerTable.head();
  StatusBlock status{};
  TELMO_MGMT_StartServer(late, status);
  ASSERT_TRUE(manager_.WaitReady("LATE_DLGP"));
  const DWORD pid = RecordedPid(late, 0);

  EXPECT_EQ(TELMO_MGMT_shutdown(gServerTable), 0);

  EXPECT_TRUE(Eventually([&] { return ProcessGone(pid); }));
  EXPECT_TRUE(fs::exists(manager_.node.mgmt_dir() / "LATE_DLGP.csd"));
}

}  // namespace
}  // namespace telmo::test
