// "-install" and "-remove", run as the real program against the service
// database and the registry of a temporary node.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <functional>
#include <thread>

#include "config/manager_state.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/scm.h"
#include "support/test_env.h"

namespace telmo::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kEventSourceKey =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\TELMOManager";

class Install : public ::testing::Test {
 protected:
  void SetUp() override {
    manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_TRUE(manager_);
  }

  ProgramRun Manager(const std::vector<std::string>& args) { return RunProgram(BuiltProgram("telmo_manager"), args); }

  struct Config {
    std::string binary, account, dependencies;
    DWORD start_type = 0;
  };
  std::optional<Config> InstalledConfig() {
    SC_HANDLE service = OpenServiceA(manager_, kInstalledServiceName, SERVICE_ALL_ACCESS);
    if (!service) return std::nullopt;
    DWORD needed = 0;
    QueryServiceConfigA(service, nullptr, 0, &needed);
    std::vector<std::uint64_t> buffer(needed / 8 + 1);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (!QueryServiceConfigA(service, config, static_cast<DWORD>(buffer.size() * 8), &needed)) return std::nullopt;
    return Config{config->lpBinaryPathName ? config->lpBinaryPathName : "",
                  config->lpServiceStartName ? config->lpServiceStartName : "",
                  config->lpDependencies ? config->lpDependencies : "", config->dwStartType};
  }

  bool EventSourceExists() {
    HKEY key;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, KEY_READ, &key) == ERROR_SUCCESS;
  }

  TempNode node_;
  SC_HANDLE manager_;
};

TEST_F(Install, InstallsTheServiceAndItsEventSource) {
  const auto run = Manager({"-install"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, "Zarvel Telmo Manager installed.\n");
  const auto config = InstalledConfig();
  ASSERT_TRUE(config);
  EXPECT_EQ(std::filesystem::canonical(config->binary), std::filesystem::canonical(BuiltProgram("telmo_manager")));
  EXPECT_EQ(config->start_type, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(config->dependencies, "LanmanServer");

  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  const auto message_file = platform::RegGetValue(key, "EventMessageFile");
  ASSERT_TRUE(message_file);
  EXPECT_EQ(message_file->type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(message_file->data.back(), 0) << "the length counts the terminating NUL";
  EXPECT_EQ(platform::RegGetDword(key, "TypesSupported").value(), 7u);
}

TEST_F(Install, InstallingTwiceKeepsTheFirstAccount) {
  EXPECT_EQ(Manager({"-install", "alice", "secret1"}).output, "Zarvel Telmo Manager installed.\n");
  const auto second = Manager({"-install", "bob", "secret2"});
  EXPECT_EQ(second.exit_code, 0);
  EXPECT_EQ(second.output, "Zarvel Telmo Manager installed.\n");
  const auto config = InstalledConfig();
  ASSERT_TRUE(config);
  EXPECT_EQ(config->account, "alice");
}

TEST_F(Install, RemovingWhatWasNeverInstalledStillRemovesTheEventSource) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const auto run = Manager({"-remove"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, "Zarvel Telmo Manager removed.\n");
  EXPECT_FALSE(EventSourceExists());
  EXPECT_EQ(CountLinesWith(node_.log_dir() / "management.log", "Remove TELMO Manager service"), 1);
  // And again, with nothing left to remove.
  EXPECT_EQ(Manager({"-remove"}).output, "Zarvel Telmo Manager removed.\n");
}

TEST_F(Install, RemovingARunningServiceStopsItWithADotPerSecond) {
  // The installed service is a fake whose stop takes 2.5 s.
  SC_HANDLE service = CreateServiceA(
      manager_, kInstalledServiceName, kServiceDisplayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
      SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
      (platform::QuoteArgument(BuiltProgram("fake_service").string()) + " --stop-delay 2500").c_str(), nullptr,
      nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(service);
  ASSERT_TRUE(StartServiceA(service, 0, nullptr));
  SERVICE_STATUS status;
  for (int i = 0; i < 100 && !(QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING); ++i) {
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_EQ(status.dwCurrentState, SERVICE_RUNNING);

  const auto run = Manager({"-remove"});
  EXPECT_EQ(run.exit_code, 0);
  const std::string head = "Stopping Zarvel Telmo Manager.";
  ASSERT_EQ(run.output.rfind(head, 0), 0u) << run.output;
  const auto tail = run.output.find("\nZarvel Telmo Manager stopped.\nZarvel Telmo Manager removed.\n");
  ASSERT_NE(tail, std::string::npos) << run.output;
  const auto dots = tail - head.size();
  EXPECT_GE(dots, 1u) << run.output;
  EXPECT_LE(dots, 3u) << run.output;
  EXPECT_EQ(run.output.substr(head.size(), dots), std::string(dots, '.'));
  EXPECT_FALSE(InstalledConfig());
}

TEST_F(Install, InstalledManagerStartsServesAndStopsUnderTheServiceControlManager) {
  WriteFile(node_.services_file(), "TELMOManager " + std::to_string(FreeLoopbackPort()) + "/tcp\n");
  ASSERT_EQ(Manager({"-install"}).exit_code, 0);
  SC_HANDLE service = OpenServiceA(manager_, kInstalledServiceName, SERVICE_ALL_ACCESS);
  ASSERT_TRUE(service);
  ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
  SERVICE_STATUS status;
  for (int i = 0; i < 200; ++i) {
    if (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING &&
        status.dwControlsAccepted != 0) {
      break;
    }
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_EQ(status.dwCurrentState, SERVICE_RUNNING);
  SERVICE_STATUS_PROCESS running{};
  DWORD needed = 0;
  ASSERT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&running), sizeof running,
                                   &needed));
  // STOPPED is reported before the process has ended: the test waits for the
  // process too, or it would write its last event into a removed folder.
  const ProcessHandle process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, running.dwProcessId);
  ASSERT_TRUE(process);
  // The request worker starts listening just after the service accepts
  // controls: the console may knock a moment too early.
  auto params = RunProgram(BuiltProgram("telmoctl"), {"params", "get"});
  for (int i = 0; i < 50 && params.exit_code == 3; ++i) {
    std::this_thread::sleep_for(100ms);
    params = RunProgram(BuiltProgram("telmoctl"), {"params", "get"});
  }
  EXPECT_EQ(params.exit_code, 0) << params.output;
  EXPECT_EQ(params.output, "Servers process check period: 600\nTimeout: 100\n");

  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  for (int i = 0; i < 200 && !(QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED); ++i) {
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(status.dwWin32ExitCode, 0u);
  EXPECT_EQ(Manager({"-remove"}).output, "Zarvel Telmo Manager removed.\n");
  EXPECT_EQ(WaitForSingleObject(process, 10000), WAIT_OBJECT_0);
}

TEST_F(Install, InfiniteWaitIsReleasedBySigusr1AndOnlyTheNextWorkerWaits) {
  WriteFile(node_.services_file(), "TELMOManager " + std::to_string(FreeLoopbackPort()) + "/tcp\n");
  const std::string command = platform::QuoteArgument(BuiltProgram("telmo_manager").string()) + " -infinite";
  SC_HANDLE service = CreateServiceA(manager_, kInstalledServiceName, kServiceDisplayName, SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                     command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(service);
  ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
  const auto status = [&] {
    SERVICE_STATUS_PROCESS s{};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s), sizeof s, &needed);
    return s;
  };
  const auto await = [&](const std::function<bool(const SERVICE_STATUS_PROCESS&)>& done) {
    for (int i = 0; i < 300; ++i) {  // 15 s
      if (done(status())) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  };
  const auto pid = static_cast<pid_t>(status().dwProcessId);
  ASSERT_GT(pid, 0);

  // The entry waits: the service main has not reported yet.
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(status().dwCurrentState, SERVICE_START_PENDING);
  ::kill(pid, SIGUSR1);
  // Released, the service main runs (its reports count checkpoints up), and
  // the start-up worker waits in turn: start-up does not end.
  EXPECT_TRUE(await([](const auto& s) { return s.dwCheckPoint >= 3; }));
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(status().dwCurrentState, SERVICE_START_PENDING) << "the start-up worker should still wait";
  ::kill(pid, SIGUSR1);
  EXPECT_TRUE(await([](const auto& s) { return s.dwCurrentState == SERVICE_RUNNING && s.dwControlsAccepted != 0; }));
  // No worker after it waits: the stop goes through.
  SERVICE_STATUS control{};
  EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &control)) << GetLastError();
  const bool stopped = await([](const auto& s) { return s.dwCurrentState == SERVICE_STOPPED; });
  if (!stopped) ::kill(pid, SIGKILL);
  EXPECT_TRUE(stopped);
  EXPECT_EQ(status().dwWin32ExitCode, 0u);
}

}  // namespace
}  // namespace telmo::test
