// telmoctl svc, run as a program against a temporary node.
#include <atomic>
#include <thread>

#include <nlohmann/json.hpp>

#include "scm_test_support.h"

namespace telmo::test {
namespace {

struct Outcome {
  DWORD rc = 0xDEAD;
  std::string out;
};

class SvcCommand : public ::testing::Test {
 protected:
  void SetUp() override { node_.Set(platform::kScmServiceVariable, std::nullopt); }

  /// "telmoctl ARGS...", standard output and error together.
  Outcome Run(const std::vector<std::string>& args) {
    platform::SpawnOptions options;
    options.program = BuiltProgram("telmoctl").string();
    options.arguments = args;
    options.output_path = (node_.root() / ("telmoctl." + std::to_string(++runs_))).string();
    auto process = platform::SpawnProcess(options);
    Outcome o;
    if (!process) return o;
    if (WaitForSingleObject(*process, 20000) != WAIT_OBJECT_0) return o;
    (void)GetExitCodeProcess(*process, &o.rc);
    o.out = ReadFile(options.output_path);
    return o;
  }

  TempNode node_;
  SC_HANDLE manager_ = OpenManager();
  int runs_ = 0;
};

TEST_F(SvcCommand, FailuresPrintTheCallAndTheSystemTextAndExitWith1) {
  auto r = Run({"svc", "query", "Missing"});
  EXPECT_EQ(r.rc, 1u);
  EXPECT_EQ(r.out, "[SC] OpenService FAILED 1060:\n\nThe specified service does not exist as an installed service.\n\n");

  r = Run({"--json", "svc", "stop", "Missing"});
  EXPECT_EQ(r.rc, 1u);
  const auto j = nlohmann::json::parse(r.out, nullptr, false);
  ASSERT_TRUE(j.is_object()) << r.out;
  EXPECT_EQ(j["error"], 1060);
  EXPECT_EQ(j["call"], "OpenService");

  for (const auto& usage : std::vector<std::vector<std::string>>{{"svc"}, {"svc", "query"}, {"svc", "restart", "X"}})
    EXPECT_EQ(Run(usage).rc, 2u) << usage.back();
}

TEST_F(SvcCommand, StartQueryAndStopLikeScExe) {
  SC_HANDLE service = Install(manager_, "FakeSvc", FakeServiceCommand("--stop-delay 200"));
  ASSERT_TRUE(service);
  auto r = Run({"svc", "start", "fakesvc", "--wait"});
  ASSERT_EQ(r.rc, 0u) << r.out;
  const DWORD pid = StatusOf(service).dwProcessId;
  ASSERT_NE(pid, 0u);
  EXPECT_NE(r.out.find("\nSERVICE_NAME: fakesvc\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("        TYPE               : 10  WIN32_OWN_PROCESS\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("        STATE              : 4  RUNNING\n"
                       "                                (STOPPABLE, NOT_PAUSABLE, ACCEPTS_SHUTDOWN)\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("        PID                : " + std::to_string(pid) + "\n"), std::string::npos) << r.out;

  r = Run({"svc", "start", "FakeSvc"});
  EXPECT_EQ(r.rc, 1u);
  EXPECT_EQ(r.out.rfind("[SC] StartService FAILED 1056:\n\n", 0), 0u) << r.out;

  r = Run({"--json", "svc", "query", "FakeSvc"});
  ASSERT_EQ(r.rc, 0u) << r.out;
  const auto j = nlohmann::json::parse(r.out, nullptr, false);
  ASSERT_TRUE(j.is_object()) << r.out;
  EXPECT_EQ(j["state"], SERVICE_RUNNING);
  EXPECT_EQ(j["state_name"], "RUNNING");
  EXPECT_EQ(j["pid"], pid);
  EXPECT_EQ(j["stoppable"], true);
  EXPECT_EQ(j["pausable"], false);

  r = Run({"svc", "stop", "FakeSvc", "--wait"});
  ASSERT_EQ(r.rc, 0u) << r.out;
  EXPECT_NE(r.out.find("        STATE              : 1  STOPPED\n"
                       "                                (NOT_STOPPABLE, NOT_PAUSABLE, IGNORES_SHUTDOWN)\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("        WIN32_EXIT_CODE    : 0  (0x0)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("        PID                : 0\n"), std::string::npos) << r.out;

  r = Run({"svc", "stop", "FakeSvc"});
  EXPECT_EQ(r.rc, 1u);
  EXPECT_EQ(r.out.rfind("[SC] ControlService FAILED 1062:\n\nThe service has not been started.\n", 0), 0u) << r.out;
}

std::atomic<bool> g_stop{false};
SERVICE_STATUS_HANDLE g_handle;

void ForegroundHandler(DWORD control) {
  if (control != SERVICE_CONTROL_STOP) return;
  const SERVICE_STATUS s{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOP_PENDING, 0, 0, 0, 1, 1000};
  SetServiceStatus(g_handle, &s);
  g_stop = true;
}

void ForegroundMain(DWORD, char**) {
  g_handle = RegisterServiceCtrlHandlerA("TELMOManager", ForegroundHandler);
  SERVICE_STATUS s{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING,
                   SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, 0, 0, 0, 0};
  SetServiceStatus(g_handle, &s);
  while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  s = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
  SetServiceStatus(g_handle, &s);
}

TEST_F(SvcCommand, AManagerRunInTheForegroundIsStoppedThroughItsInstalledName) {
  const std::string self = std::filesystem::canonical("/proc/self/exe").string();
  ASSERT_TRUE(Install(manager_, "AutoStartTELMO", platform::QuoteArgument(self)));
  std::atomic<bool> done{false};
  std::thread foreground([&] {
    const SERVICE_TABLE_ENTRYA table[] = {{"TELMOManager", ForegroundMain}, {nullptr, nullptr}};
    EXPECT_TRUE(StartServiceCtrlDispatcherA(table));
    done = true;
  });
  SC_HANDLE service = OpenServiceA(manager_, "AutoStartTELMO", SERVICE_QUERY_STATUS);
  ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
  const auto r = Run({"svc", "stop", "AutoStartTELMO", "--wait"});
  EXPECT_EQ(r.rc, 0u) << r.out;
  EXPECT_TRUE(Eventually([&] { return done.load(); }));
  foreground.join();
  EXPECT_FALSE(OpenServiceA(manager_, "TELMOManager", SERVICE_QUERY_STATUS));  // no status-only record
}

}  // namespace
}  // namespace telmo::test
