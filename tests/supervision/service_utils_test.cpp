// The Windows service utilities against fake services: real service
// processes registered in the node's service database.
#include <signal.h>

#include "housekeeping/service_utils.h"
#include "platform/process.h"
#include "platform/scm.h"
#include "platform/win_error.h"
#include "supervision/supervision_support.h"

namespace telmo::test {
namespace {

class ServiceUtils : public ::testing::Test {
 protected:
  void SetUp() override { node_.Set(platform::kScmServiceVariable, std::nullopt); }
  void TearDown() override {
    for (const auto& name : installed_) {
      SC_HANDLE service = OpenServiceA(manager_, name.c_str(), SERVICE_ALL_ACCESS);
      if (!service) continue;
      const DWORD pid = Status(service).dwProcessId;
      if (pid != 0 && ProcessAlive(pid)) ::kill(static_cast<pid_t>(pid), SIGKILL);
    }
  }

  SC_HANDLE Install(const std::string& name, DWORD start_type) {
    const std::string command = platform::QuoteArgument(BuiltProgram("fake_service").string());
    SC_HANDLE service = CreateServiceA(manager_, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, start_type, SERVICE_ERROR_NORMAL, command.c_str(),
                                       nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_TRUE(service) << GetLastError();
    installed_.push_back(name);
    return service;
  }

  static SERVICE_STATUS_PROCESS Status(const SC_HANDLE& service) {
    SERVICE_STATUS_PROCESS s;
    DWORD needed = 0;
    EXPECT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s), sizeof s, &needed));
    return s;
  }
  static bool WaitForState(const SC_HANDLE& service, DWORD state) {
    return Eventually([&] { return Status(service).dwCurrentState == state; });
  }

  TempNode node_;
  SC_HANDLE manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  std::vector<std::string> installed_;
};

TEST_F(ServiceUtils, StartStartsAStoppedAutomaticServiceAndWaitsForIt) {
  SC_HANDLE service = Install("AutoFake", SERVICE_AUTO_START);

  StartWindowsService("AutoFake");

  EXPECT_EQ(Status(service).dwCurrentState, SERVICE_RUNNING);
  EXPECT_EQ(LogCount("Info: StartService shows service=[AutoFake] is pending..."), 1);
  EXPECT_EQ(LogCount("Success: Service=[AutoFake] was started successfully..."), 1);
  StopWindowsService("AutoFake");
}

TEST_F(ServiceUtils, StartLeavesAServiceThatIsNotAutomaticAlone) {
  SC_HANDLE service = Install("ManualFake", SERVICE_DEMAND_START);

  StartWindowsService("ManualFake");

  EXPECT_EQ(Status(service).dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(LogCount("Info: Service=[ManualFake] running check: Startup type is not automatic, it cannot be "
                     "started if not running..."),
            1);
  EXPECT_EQ(LogCount("StartService"), 0);
}

TEST_F(ServiceUtils, StartOfARunningServiceOnlyReportsItWithDiagnostics) {
  SC_HANDLE service = Install("BusyFake", SERVICE_AUTO_START);
  ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
  const DWORD pid = Status(service).dwProcessId;

  StartWindowsService("BusyFake");
  EXPECT_EQ(LogCount("BusyFake"), 0);
  node_.Set("TELMO_DIAG", "1");
  StartWindowsService("BusyFake");
  EXPECT_EQ(LogCount("Info: Service=[BusyFake] is already running, no need to start it ..."), 1);
  EXPECT_EQ(LogCount("StartService"), 0);
  EXPECT_EQ(Status(service).dwProcessId, pid);
  StopWindowsService("BusyFake");
}

TEST_F(ServiceUtils, StartOfAnUnknownServiceLogsTheOpenError) {
  StartWindowsService("NoSuchService");
  EXPECT_EQ(LogCount("Error: OpenService failed, error=[1060,0x00000424] while attempting to start "
                     "service=[NoSuchService]..."),
            1);
}

TEST_F(ServiceUtils, StartGivesUpOnAStopThatDoesNotProgressAfterOneWaitHint) {
  const std::string command = platform::QuoteArgument(BuiltProgram("fake_service").string()) + " --stuck-stop";
  SC_HANDLE service = CreateServiceA(manager_, "StuckFake", "StuckFake", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                     nullptr, nullptr, nullptr);
  ASSERT_TRUE(service) << GetLastError();
  installed_.push_back("StuckFake");
  ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
  SERVICE_STATUS control{};
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &control)) << GetLastError();
  ASSERT_TRUE(WaitForState(service, SERVICE_STOP_PENDING));

  const auto begin = std::chrono::steady_clock::now();
  StartWindowsService("StuckFake");
  const auto waited = std::chrono::steady_clock::now() - begin;

  EXPECT_EQ(LogCount("Error: Timeout while waiting for service=[StuckFake] to stop before starting it..."), 1);
  EXPECT_EQ(LogCount("StartService"), 0);
  EXPECT_GE(waited, 1000ms);
  EXPECT_LT(waited, 5000ms);
}

TEST_F(ServiceUtils, StopStopsARunningServiceAndWaitsUntilItHasStopped) {
  SC_HANDLE service = Install("StopFake", SERVICE_DEMAND_START);
  ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
  const DWORD pid = Status(service).dwProcessId;

  StopWindowsService("StopFake");

  EXPECT_EQ(Status(service).dwCurrentState, SERVICE_STOPPED);
  EXPECT_TRUE(Eventually([&] { return ProcessGone(pid); }));
  EXPECT_EQ(LogCount("Error"), 0) << ReadFile(ManagementLog());
}

TEST_F(ServiceUtils, StopOfAStoppedServiceDoesNothing) {
  SC_HANDLE service = Install("IdleFake", SERVICE_AUTO_START);
  StopWindowsService("IdleFake");
  EXPECT_EQ(Status(service).dwCurrentState, SERVICE_STOPPED);
  EXPECT_FALSE(fs::exists(ManagementLog()) && LogCount("IdleFake") > 0);
}

}  // namespace
}  // namespace telmo::test

namespace telmo::test {
namespace {

class FileUtils : public ::testing::Test {
 protected:
  TempNode node_;
  fs::path dir_ = node_.root() / "files";
};

TEST_F(FileUtils, ReplaceMatchingLinesRewritesMatchesAndDropsCommentsAndEmptyLines) {
  const fs::path file = dir_ / "scanner.cfg";
  WriteFile(file, "# generated\nalpha one\n\n  # indented comment\nbeta two\nalpha two\n");

  ReplaceMatchingLines(file.string(), "alpha", "two", "gamma");
  EXPECT_EQ(ReadFile(file), "alpha one\nbeta two\ngamma\n");

  ReplaceMatchingLines(file.string(), "a", nullptr, "all");
  EXPECT_EQ(ReadFile(file), "all\nall\nall\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);  // no temporary left
}

// The file rewritten is the one a link leads to, with the permission it had.
TEST_F(FileUtils, ReplaceMatchingLinesKeepsTheModeAndTheLink) {
  const fs::path target = dir_ / "real" / "simulator.cfg";
  WriteFile(target, "level=1\nother\n");
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  const fs::path link = dir_ / "simulator.cfg";
  fs::create_symlink(target, link);

  ReplaceMatchingLines(link.string(), "level", nullptr, "level=3");
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadFile(target), "level=3\nother\n");
  EXPECT_EQ(fs::status(target).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(std::distance(fs::directory_iterator(target.parent_path()), fs::directory_iterator()), 1);
}

TEST_F(FileUtils, ReplaceMatchingLinesOfAMissingFileLogsAndCreatesNothing) {
  const fs::path file = dir_ / "missing.cfg";
  fs::create_directories(dir_);
  ReplaceMatchingLines(file.string(), "alpha", nullptr, "gamma");
  EXPECT_EQ(LogCount("Error No such file or directory opening server file " + file.string()), 1);
  EXPECT_FALSE(fs::exists(file));
  ReplaceMatchingLines(file.string(), "", nullptr, "gamma");  // nothing to match: nothing done, nothing logged
  EXPECT_EQ(LogCount("opening server file"), 1);
}

TEST_F(FileUtils, DeleteFileLoggedJoinsTheDirectoryAndReportsAMissingFile) {
  WriteFile(dir_ / "old.lst", "x");
  DeleteFileLogged("old.lst", dir_.string().c_str(), true);
  EXPECT_FALSE(fs::exists(dir_ / "old.lst"));
  EXPECT_EQ(LogCount("Info: Deleting file =[" + dir_.string() + "\\old.lst] ..."), 1);

  DeleteFileLogged("old.lst", dir_.string().c_str(), false);
  EXPECT_EQ(LogCount("Info: Deleting file"), 1);
  EXPECT_EQ(LogCount("Error: DeleteFile failed, error=[2,0x00000002] for file =[" + dir_.string() + "\\old.lst] ..."),
            1);
}

}  // namespace
}  // namespace telmo::test
