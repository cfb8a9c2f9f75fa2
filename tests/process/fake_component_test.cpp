// The fake component the manager's tests and the demo node start.
#include <csignal>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "external/telmo_mgmt.h"
#include "external/telmo_server.h"
#include "external/telmo_services.h"
#include "platform/process.h"
#include "process_test_support.h"
#include "support/test_env.h"

namespace telmo::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class FakeComponent : public ::testing::Test {
 protected:
  ProcessHandle Start(std::vector<std::string> args) {
    SpawnOptions options;
    options.program = test::BuiltProgram("fake_component").string();
    options.arguments = std::move(args);
    options.arguments.push_back("--ready-file=" + ready_.string());
    options.output_path = (node_.log_dir() / "fake.log").string();
    auto started = SpawnProcess(options);
    EXPECT_TRUE(started.ok()) << started.error();
    return started.ok() ? std::move(started).value() : ProcessHandle{};
  }
  bool Ready() {
    for (int i = 0; i < 500 && !fs::exists(ready_); ++i) std::this_thread::sleep_for(10ms);
    return fs::exists(ready_);
  }
  std::string Log() { return test::ReadFile(node_.log_dir() / "fake.log"); }
  /// Processor time the process has used, in clock ticks.
  static long CpuTicks(DWORD pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    long utime = 0, stime = 0;
    for (int i = 3; i < 14; ++i) fields >> skip;
    fields >> utime >> stime;
    return utime + stime;
  }

  test::TempNode node_;
  fs::path ready_ = node_.root() / "ready";
};

TEST_F(FakeComponent, ServesItsServiceAndEndsOnAShutDownRequest) {
  ASSERT_TRUE(AddServiceToFile("FAKE_DLGP", test::FreeLoopbackPort()));
  auto fake = Start({"FAKE_DLGP", "D:\\sfdata", "-MaxTimeInQueue", "72"});
  ASSERT_TRUE(Ready()) << Log();
  StatusBlock block{};
  EXPECT_EQ(TELMO_SERVER_SHUTDOWN("", "FAKE_DLGP", block), 1) << block.describe();
  EXPECT_EQ(test::ExitCodeAfterEnd(fake), 0u) << Log();
}

TEST_F(FakeComponent, CanBeToldToIgnoreShutDown) {
  ASSERT_TRUE(AddServiceToFile("FAKE_DEAF", test::FreeLoopbackPort()));
  auto fake = Start({"FAKE_DEAF", "--ignore-shutdown"});
  ASSERT_TRUE(Ready()) << Log();
  StatusBlock block{};
  EXPECT_EQ(TELMO_SERVER_SHUTDOWN("", "FAKE_DEAF", block), 0);
  EXPECT_EQ(WaitForSingleObject(fake, 200), WAIT_TIMEOUT);
  EXPECT_TRUE(TerminateProcess(fake, 1));
}

TEST_F(FakeComponent, CrashesWhenTold) {
  auto exits = Start({"-", "--crash-after=50", "--exit-code=9"});
  EXPECT_EQ(test::ExitCodeAfterEnd(exits), 9u);
  test::ScopedEnv after("FAKE_COMPONENT_CRASH_AFTER_MS", "50");
  test::ScopedEnv mode("FAKE_COMPONENT_CRASH_MODE", "abort");
  auto aborts = Start({});
  EXPECT_EQ(test::ExitCodeAfterEnd(aborts), 128u + SIGABRT);
}

TEST_F(FakeComponent, IdlesWithoutSpinningWithOrWithoutItsService) {
  auto sleeper = Start({});
  auto unlisted = Start({"NOT_LISTED"});
  std::this_thread::sleep_for(1500ms);
  DWORD code = 0;
  for (const auto* p : {&sleeper, &unlisted}) {
    ASSERT_TRUE(GetExitCodeProcess(*p, &code));
    EXPECT_EQ(code, STILL_ACTIVE) << Log();
    EXPECT_LT(CpuTicks(GetProcessId(*p)), 50) << "busy while idle";
    TerminateProcess(*p, 0);
  }
}

TEST_F(FakeComponent, ReportsItsConnectionStatusToTheManager) {
  ASSERT_TRUE(AddServiceToFile("TELMOManager", test::FreeLoopbackPort()));
  ASSERT_TRUE(AddServiceToFile("FAKE_UA", test::FreeLoopbackPort()));
  TransportServer manager(ServerOptions{"127.0.0.1", std::nullopt, "TELMOManager", node_.node()});
  StatusBlock block{};
  ASSERT_TRUE(manager.Listen(block)) << block.describe();
  auto fake = Start({"FAKE_UA", "--notify=2", "--notify-server=FAKE_DLGP"});

  TelmoMessage notice;
  int received = 0;
  for (int i = 0; i < 50 && received <= 0; ++i) received = manager.Receive(200ms, notice, block);
  ASSERT_GT(received, 0) << Log();
  EXPECT_EQ(notice.tt, TELMO_TT_NOTIFY_SERVER_STATUS);
  auto decoded = mgmt::DecodeStatusNotice(notice.payload);
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(decoded->service.view(), "FAKE_DLGP");
  EXPECT_EQ(decoded->component_service.view(), "FAKE_UA");
  EXPECT_EQ(decoded->conn_status, 2);
  TerminateProcess(fake, 0);
}

}  // namespace
}  // namespace telmo::platform
