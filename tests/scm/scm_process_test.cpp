// Services that are real processes: the fake service program started with
// StartServiceA, stopped, killed and misbehaving.
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>

#include "scm_test_support.h"

namespace telmo::test {
namespace {

class ScmProcess : public ::testing::Test {
 protected:
  void SetUp() override { node_.Set(platform::kScmServiceVariable, std::nullopt); }
  void TearDown() override {
    // Nothing started here outlives the test.
    for (const DWORD pid : started_) {
      if (ReadFile("/proc/" + std::to_string(pid) + "/cmdline").find("fake") != std::string::npos)
        ::kill(static_cast<pid_t>(pid), SIGKILL);
    }
  }
  SC_HANDLE InstallFake(const std::string& name, const std::string& options = "") {
    SC_HANDLE s = Install(manager_, name, FakeServiceCommand(options));
    EXPECT_TRUE(s) << GetLastError();
    return s;
  }
  DWORD Started(const SC_HANDLE& service) {
    const DWORD pid = StatusOf(service).dwProcessId;
    if (pid != 0) started_.push_back(pid);
    return pid;
  }

  TempNode node_;
  SC_HANDLE manager_ = OpenManager();
  std::vector<DWORD> started_;
};

std::string CommandLineOf(DWORD pid) {
  std::string text = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
  for (auto& c : text) c = c == '\0' ? ' ' : c;
  return text;
}

TEST_F(ScmProcess, StartedServiceRunsDetachedWithItsPidAndStopsOnStop) {
  SC_HANDLE service = InstallFake("FakeSvc", "--start-delay 300");
  ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
  const auto pending = StatusOf(service);
  EXPECT_EQ(pending.dwCurrentState, SERVICE_START_PENDING);
  const DWORD pid = Started(service);
  ASSERT_NE(pid, 0u);
  SetLastError(0);
  EXPECT_FALSE(StartServiceA(service, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);
  SERVICE_STATUS status;
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));  // start still pending
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_CANNOT_ACCEPT_CTRL);

  ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
  const auto running = StatusOf(service);
  EXPECT_EQ(running.dwProcessId, pid);
  EXPECT_EQ(running.dwControlsAccepted, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN);
  EXPECT_NE(CommandLineOf(pid).find("fake_service"), std::string::npos);
  EXPECT_NE(::getsid(static_cast<pid_t>(pid)), ::getsid(0));  // not in our session
  EXPECT_NE(::getppid(), static_cast<pid_t>(pid));
  const auto start = HistoryFrom("FakeSvc", "start");
  ASSERT_EQ(start.size(), 1u);
  EXPECT_EQ(start[0].pid, pid);

  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  ASSERT_TRUE(WaitForState(service, SERVICE_STOPPED));
  const auto stopped = StatusOf(service);
  EXPECT_EQ(stopped.dwWin32ExitCode, 0u);
  EXPECT_EQ(stopped.dwProcessId, 0u);
  EXPECT_TRUE(Eventually([&] {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    return stat.empty() || stat.find(") Z") != std::string::npos;
  }));
  const std::string out = ReadFile(node_.log_dir() / "FakeSvc.out");
  EXPECT_NE(out.find("FakeSvc starting"), std::string::npos) << out;
  EXPECT_NE(out.find("FakeSvc stopped"), std::string::npos) << out;
}

TEST_F(ScmProcess, AKilledServiceIsReportedStoppedWith1067AndCanStartAgain) {
  SC_HANDLE service = InstallFake("FakeSvc");
  ASSERT_TRUE(StartServiceA(service, 0, nullptr));
  ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
  const DWORD pid = Started(service);
  ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGKILL), 0);
  ASSERT_TRUE(WaitForState(service, SERVICE_STOPPED));
  const auto s = StatusOf(service);
  EXPECT_EQ(s.dwWin32ExitCode, ERROR_PROCESS_ABORTED);
  EXPECT_EQ(s.dwProcessId, 0u);
  EXPECT_EQ(HistoryFrom("FakeSvc", "aborted").size(), 1u);
  SERVICE_STATUS status;
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);

  ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
  EXPECT_NE(Started(service), pid);
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  EXPECT_TRUE(WaitForState(service, SERVICE_STOPPED));
}

TEST_F(ScmProcess, ServicesThatEndWithoutReportingAreNeverShownRunning) {
  SC_HANDLE at_start = InstallFake("ExitAtStart", "--exit-at start");
  ASSERT_TRUE(StartServiceA(at_start, 0, nullptr));
  ASSERT_TRUE(WaitForState(at_start, SERVICE_STOPPED));
  EXPECT_EQ(StatusOf(at_start).dwWin32ExitCode, ERROR_PROCESS_ABORTED);

  SC_HANDLE at_stop = InstallFake("ExitAtStop", "--exit-at stop");
  ASSERT_TRUE(StartServiceA(at_stop, 0, nullptr));
  ASSERT_TRUE(WaitForState(at_stop, SERVICE_RUNNING));
  Started(at_stop);
  SERVICE_STATUS status;
  ASSERT_TRUE(ControlService(at_stop, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  ASSERT_TRUE(WaitForState(at_stop, SERVICE_STOPPED));
  EXPECT_EQ(StatusOf(at_stop).dwWin32ExitCode, ERROR_PROCESS_ABORTED);
}

TEST_F(ScmProcess, AStuckStopStaysPendingAndRefusesAnotherStop) {
  SC_HANDLE service = InstallFake("Stuck", "--stuck-stop");
  ASSERT_TRUE(StartServiceA(service, 0, nullptr));
  ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
  const DWORD pid = Started(service);
  SERVICE_STATUS status;
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  ASSERT_TRUE(WaitForState(service, SERVICE_STOP_PENDING));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const auto s = StatusOf(service);
  EXPECT_EQ(s.dwCurrentState, SERVICE_STOP_PENDING);
  EXPECT_EQ(s.dwCheckPoint, 1u);
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status));
  ::kill(static_cast<pid_t>(pid), SIGKILL);
  EXPECT_TRUE(WaitForState(service, SERVICE_STOPPED));
}

TEST_F(ScmProcess, SigtermStopsTheServiceCleanly) {
  SC_HANDLE service = InstallFake("Termed", "--stop-delay 300");
  ASSERT_TRUE(StartServiceA(service, 0, nullptr));
  ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
  ASSERT_EQ(::kill(static_cast<pid_t>(Started(service)), SIGTERM), 0);
  ASSERT_TRUE(WaitForState(service, SERVICE_STOPPED));
  EXPECT_EQ(StatusOf(service).dwWin32ExitCode, 0u);
  EXPECT_GE(HistoryFrom("Termed", "service").size(), 5u);  // start, running, three or more stop reports
}

TEST_F(ScmProcess, PathsWithBlanksAndStartArgumentsSurviveWithoutAShell) {
  const auto dir = node_.root() / "Program Files" / "it's \"here\"";
  std::filesystem::create_directories(dir);
  const auto program = dir / "fake service";
  std::filesystem::create_symlink(BuiltProgram("fake_service"), program);
  SC_HANDLE service = Install(manager_, "Blank", platform::QuoteArgument(program.string()) + " --name \"a b;$(x)\"");
  ASSERT_TRUE(service);
  const char* args[] = {"--exit-code", "7"};
  ASSERT_TRUE(StartServiceA(service, 2, args)) << GetLastError();
  ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
  Started(service);
  SERVICE_STATUS status;
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  ASSERT_TRUE(WaitForState(service, SERVICE_STOPPED));
  const auto s = StatusOf(service);
  EXPECT_EQ(s.dwWin32ExitCode, ERROR_SERVICE_SPECIFIC_ERROR);
  EXPECT_EQ(s.dwServiceSpecificExitCode, 7u);
}

TEST_F(ScmProcess, AProgramThatCannotRunFailsTheStartAndLeavesTheServiceStopped) {
  SC_HANDLE missing = Install(manager_, "Missing", "/nonexistent/program --x");
  SetLastError(0);
  EXPECT_FALSE(StartServiceA(missing, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(StatusOf(missing).dwCurrentState, SERVICE_STOPPED);
  EXPECT_TRUE(HistoryFrom("Missing", "start").empty());

  const auto text = node_.root() / "not-a-program";
  WriteFile(text, "just text\n");
  std::filesystem::permissions(text, std::filesystem::perms::owner_all);
  SC_HANDLE bad = Install(manager_, "Bad", text.string());
  EXPECT_FALSE(StartServiceA(bad, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_BAD_EXE_FORMAT);
}

TEST_F(ScmProcess, FaultInjectionReachesAStartedServiceThroughItsEnvironment) {
  node_.Set(platform::kScmFailSetStatusVariable, "2:31");
  SC_HANDLE service = InstallFake("Faulty");
  ASSERT_TRUE(StartServiceA(service, 0, nullptr));
  // The second report (RUNNING) fails: the service stays START_PENDING.
  ASSERT_TRUE(Eventually([&] {
    return ReadFile(node_.log_dir() / "Faulty.out").find("SetServiceStatus(4) failed 31") != std::string::npos;
  }));
  Started(service);
  EXPECT_EQ(StatusOf(service).dwCurrentState, SERVICE_START_PENDING);
}

TEST_F(ScmProcess, DeletingARunningServiceRemovesItOnceStopped) {
  SC_HANDLE service = InstallFake("Doomed");
  ASSERT_TRUE(StartServiceA(service, 0, nullptr));
  ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
  Started(service);
  ASSERT_TRUE(DeleteService(service));
  SetLastError(0);
  EXPECT_FALSE(CreateServiceA(manager_, "Doomed", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                              SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, "/bin/true", nullptr, nullptr, nullptr,
                              nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  SERVICE_STATUS status;
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  EXPECT_TRUE(Eventually([&] { return !OpenServiceA(manager_, "Doomed", SERVICE_QUERY_STATUS); }));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
}


TEST_F(ScmProcess, RootStartsAServiceUnderItsAccountAndTheServiceStillReports) {
  if (::geteuid() != 0 || ::getpwnam("nobody") == nullptr) GTEST_SKIP() << "needs root and the account nobody";
  using std::filesystem::perms;
  std::filesystem::permissions(node_.root(), perms::owner_all | perms::group_read | perms::group_exec |
                                                 perms::others_read | perms::others_exec);
  SC_HANDLE unknown = Install(manager_, "NoSuchAccount", FakeServiceCommand(), ".\\no-such-user-here");
  SetLastError(0);
  EXPECT_FALSE(StartServiceA(unknown, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_LOGON_FAILURE);

  SC_HANDLE service = Install(manager_, "AsNobody", FakeServiceCommand(), ".\\nobody");
  ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING)) << ReadFile(node_.log_dir() / "AsNobody.out");
  const DWORD pid = Started(service);
  const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
  EXPECT_NE(status.find("Uid:\t65534\t65534"), std::string::npos) << status;
  SERVICE_STATUS s;
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &s)) << GetLastError();
  ASSERT_TRUE(WaitForState(service, SERVICE_STOPPED));
  EXPECT_EQ(StatusOf(service).dwWin32ExitCode, 0u);
}

}  // namespace
}  // namespace telmo::test
