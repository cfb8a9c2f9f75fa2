// The manager as a real program on a node: one manager per node, a start that
// fails is reported as a failure, and "running" means "answers requests".
#include <csignal>

#include "external/telmo_client.h"
#include "external/telmo_server.h"
#include "platform/eventlog.h"
#include "platform/scm.h"
#include "supervision/supervision_support.h"

namespace telmo::test {
namespace {

class ManagerStart : public ::testing::Test {
 protected:
  void SetUp() override { port_ = manager_.AddService("TELMOManager"); }

  void TearDown() override {
    for (auto& p : running_) {
      ::kill(static_cast<pid_t>(GetProcessId(p)), SIGTERM);
      if (WaitForSingleObject(p, 10000) != WAIT_OBJECT_0) TerminateProcess(p, 1);
    }
  }

  /// "<service>.csd" with one component of `image` serving `service`.
  void WriteServerFile(const std::string& service, const std::string& image, bool run) {
    manager_.AddService(service);
    WriteFile(manager_.node.mgmt_dir() / (service + ".csd"),
              "Server " + service + "," + service + ",\n" + (run ? "Run" : "DontRun") + ",,\n1\nNoStoreForward\n1\n" +
                  "Gateway," + service + "," + manager_.InstallImage(image).string() + "," + service + " " +
                  manager_.ReadyArgument(service) + "\n");
  }

  /// The manager in service mode in the foreground, as the demo runs it.
  void StartInForeground() {
    platform::SpawnOptions options;
    options.program = BuiltProgram("telmo_manager").string();
    options.output_path = (manager_.node.root() / "first-manager.out").string();
    auto started = platform::SpawnProcess(options);
    ASSERT_TRUE(started.ok());
    running_.push_back(std::move(started).value());
    ASSERT_TRUE(Eventually([&] { return Answers(); }, 10000ms)) << ReadFile(options.output_path);
  }

  bool Answers() const {
    return RequestOnce({"127.0.0.1", port_}, TELMO_TT_GET_MGMT_PARAMS, {}, 1000ms).ok();
  }

  SERVICE_STATUS_PROCESS Status(const char* name) {
    SERVICE_STATUS_PROCESS s{};
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceA(manager, name, SERVICE_QUERY_STATUS);
    DWORD needed = 0;
    EXPECT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s), sizeof s, &needed))
        << name;
    return s;
  }

  /// "AutoStartTELMO" installed as the README does it.
  void Install() {
    const auto run = RunProgram(BuiltProgram("telmo_manager"), {"-install"});
    ASSERT_EQ(run.exit_code, 0) << run.output;
  }

  int ErrorEvents(const std::string& text) {
    int n = 0;
    for (const auto& e : platform::ReadEventLog()) {
      n += e.type == EVENTLOG_ERROR_TYPE && !e.strings.empty() && e.strings[0].find(text) != std::string::npos;
    }
    return n;
  }

  ManagerNode manager_;
  int port_ = 0;
  std::vector<ProcessHandle> running_;
};

TEST_F(ManagerStart, ASecondManagerOnTheNodeEndsAtOnceAndTouchesNothing) {
  WriteServerFile("GW_SVC", "gw_dlgp", true);
  StartInForeground();
  ASSERT_TRUE(manager_.WaitReady("GW_SVC"));
  const std::string component = ReadFile(manager_.ReadyFile("GW_SVC"));

  // Started by the service control manager while the first one runs.
  Install();
  manager_.node.Set(platform::kScmServiceVariable, "AutoStartTELMO");
  const auto second = RunProgram(BuiltProgram("telmo_manager"), {}, 10000);
  EXPECT_FALSE(second.timed_out);
  EXPECT_EQ(second.exit_code, 1) << second.output;
  const auto status = Status("AutoStartTELMO");
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(status.dwWin32ExitCode, ERROR_SERVICE_ALREADY_RUNNING);
  EXPECT_EQ(LogCount("runs on node TESTNODE"), 1);
  EXPECT_EQ(ErrorEvents("TELMO Manager error from - LockFileEx ,errid = 1056"), 1);

  // The console run would kill and start components as well: refused too.
  manager_.node.Set(platform::kScmServiceVariable, std::nullopt);
  EXPECT_EQ(RunProgram(BuiltProgram("telmo_manager"), {"-debug"}, 10000).exit_code, 1);

  // The first manager's component is the one it started, and it still serves.
  EXPECT_EQ(ReadFile(manager_.ReadyFile("GW_SVC")), component);
  EXPECT_TRUE(ProcessAlive(static_cast<DWORD>(std::stoul(component))));
  EXPECT_TRUE(Answers());
}

TEST_F(ManagerStart, AManagerWhosePortIsTakenReportsItAndTouchesNothing) {
  TransportServer holder(ServerOptions{"127.0.0.1", port_, "HOLDER", "TESTNODE"});
  StatusBlock block;
  ASSERT_TRUE(holder.Listen(block));
  // A leftover of an earlier run, which start-up would kill.
  WriteServerFile("LEFT_SVC", "left_dlgp", false);
  platform::SpawnOptions options;
  options.program = manager_.InstallImage("left_dlgp").string();
  options.arguments = {"-"};
  auto leftover = platform::SpawnProcess(options);
  ASSERT_TRUE(leftover.ok());
  const DWORD leftover_pid = GetProcessId(*leftover);
  manager_.Track(leftover_pid);

  const auto run = RunProgram(BuiltProgram("telmo_manager"), {}, 10000);
  EXPECT_FALSE(run.timed_out) << "the manager went on without its port";
  EXPECT_EQ(run.exit_code, 1) << run.output;
  EXPECT_EQ(LogCount("Cannot listen for service TELMOManager on 127.0.0.1 port " + std::to_string(port_)), 1);
  EXPECT_EQ(ErrorEvents("TELMO Manager error from - TELMO_SERVER_ACCEPT ,errid = 10048"), 1);
  const auto status = Status("TELMOManager");
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(status.dwWin32ExitCode, WSAEADDRINUSE);
  EXPECT_TRUE(ProcessAlive(leftover_pid));
  TerminateProcess(*leftover, 1);
}

TEST_F(ManagerStart, SvcStartWaitReturnsOnceTheManagerAnswers) {
  Install();
  const auto telmoctl = BuiltProgram("telmoctl");
  for (int i = 0; i < 50; ++i) {
    const auto start = RunProgram(telmoctl, {"svc", "start", "AutoStartTELMO", "--wait"});
    ASSERT_EQ(start.exit_code, 0) << "round " << i << ": " << start.output;
    const auto get = RunProgram(telmoctl, {"params", "get"});
    EXPECT_EQ(get.exit_code, 0) << "round " << i << ": " << get.output;
    // Ended the quick way: the next round starts on a node where a manager
    // has just gone (a stop takes a second, the receive time-out).
    const DWORD pid = Status("AutoStartTELMO").dwProcessId;
    ASSERT_NE(pid, 0u);
    ::kill(static_cast<pid_t>(pid), SIGKILL);
    ASSERT_TRUE(Eventually([&] { return ProcessGone(pid); }));
  }
  const auto stop = RunProgram(telmoctl, {"svc", "stop", "AutoStartTELMO", "--wait"});
  EXPECT_EQ(stop.exit_code, 1) << "not running: " << stop.output;
}

}  // namespace
}  // namespace telmo::test
