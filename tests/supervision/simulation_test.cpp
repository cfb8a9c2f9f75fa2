// The simulation services start with fake services playing the simulator and
// "UALDS", and old simulator logs in the program folders' stand-ins.
#include <signal.h>

#include "housekeeping/simulation.h"
#include "platform/scm.h"
#include "platform/win_error.h"
#include "supervision/supervision_support.h"

namespace telmo::test {
namespace {

using housekeeping::kSimulatorService;
using housekeeping::kUaldsService;

class Simulation : public ::testing::Test {
 protected:
  void SetUp() override {
    node_.Set(platform::kScmServiceVariable, std::nullopt);
    for (const char* name : {kSimulatorService, kUaldsService}) Install(name);
    WriteFile(LogConfig(), kConfigText);
  }
  void TearDown() override {
    for (const char* name : {kSimulatorService, kUaldsService}) {
      SC_HANDLE service = OpenServiceA(manager_, name, SERVICE_ALL_ACCESS);
      const DWORD pid = service ? Status(service).dwProcessId : 0;
      if (pid != 0 && ProcessAlive(pid)) ::kill(static_cast<pid_t>(pid), SIGKILL);
    }
  }

  void Install(const char* name) {
    const std::string command = platform::QuoteArgument(BuiltProgram("fake_service").string());
    ASSERT_TRUE(CreateServiceA(manager_, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                               SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr))
        << GetLastError();
  }
  SERVICE_STATUS_PROCESS Status(const SC_HANDLE& service) {
    SERVICE_STATUS_PROCESS s;
    DWORD needed = 0;
    EXPECT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s), sizeof s, &needed));
    return s;
  }
  DWORD State(const char* name) {
    SC_HANDLE service = OpenServiceA(manager_, name, SERVICE_ALL_ACCESS);
    return service ? Status(service).dwCurrentState : 0;
  }

  fs::path LogConfig() const {
    return node_.product_root() / "io" / "tlo_opc_uai" / "Zarvelco.Components.OPC.UA.log4net";
  }
  fs::path OldLogFolder(bool x86) const {
    return node_.state_dir() / (x86 ? "ProgramFilesX86" : "ProgramFiles") / "Zarvelco" / "TELMO" / "log";
  }
  void LeaveOldLogs(bool x86) {
    WriteFile(OldLogFolder(x86) / "ZarvelProcessSimulator.log", "old\n");
    WriteFile(OldLogFolder(x86) / "ZarvelProcessSimulator.log.3", "older\n");
    WriteFile(OldLogFolder(x86) / "Other.log", "kept\n");
  }

  /// The service utilities, counted.
  housekeeping::SimulationSteps Counted() {
    auto steps = housekeeping::WindowsServiceSteps();
    return {[this, real = steps.stop_service](std::string_view s) { ++stops_; real(s); },
            [this, real = steps.replace_lines](std::string_view p, std::string_view f, const char* s,
                                               std::string_view l) { ++rewrites_; real(p, f, s, l); },
            steps.delete_file, steps.start_service};
  }

  static constexpr const char* kConfigText =
      "<log4net>\n  <file value=\"C:\\old\\ZarvelProcessSimulator.log\" />\n  <file value=\"other.log\" />\n</log4net>\n";

  TempNode node_;
  SC_HANDLE manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  int stops_ = 0;
  int rewrites_ = 0;
};

TEST_F(Simulation, WithoutOldLogsBothServicesAreStartedAndNothingElseIsDone) {
  housekeeping::StartSimulationServices(Counted());
  EXPECT_EQ(State(kSimulatorService), SERVICE_RUNNING);
  EXPECT_EQ(State(kUaldsService), SERVICE_RUNNING);
  EXPECT_EQ(stops_, 0);
  EXPECT_EQ(rewrites_, 0);
  EXPECT_EQ(ReadFile(LogConfig()), kConfigText);
}

TEST_F(Simulation, OldLogsInOneFolderStopTheSimulatorRepointItsLogAndAreDeleted) {
  ASSERT_TRUE(StartServiceA(OpenServiceA(manager_, kSimulatorService, SERVICE_ALL_ACCESS), 0, nullptr));
  ASSERT_TRUE(Eventually([&] { return State(kSimulatorService) == SERVICE_RUNNING; }));
  LeaveOldLogs(false);

  housekeeping::StartSimulationServices(Counted());

  EXPECT_EQ(stops_, 1);
  EXPECT_EQ(rewrites_, 1);
  const std::string line = "<file value=\"" + (node_.state_dir() / "ProgramData").string() +
                           "\\Zarvelco\\TELMO\\log\\ZarvelProcessSimulator.log\" / >";
  EXPECT_EQ(ReadFile(LogConfig()), "<log4net>\n" + line + "\n  <file value=\"other.log\" />\n</log4net>\n");
  EXPECT_FALSE(fs::exists(OldLogFolder(false) / "ZarvelProcessSimulator.log"));
  EXPECT_FALSE(fs::exists(OldLogFolder(false) / "ZarvelProcessSimulator.log.3"));
  EXPECT_TRUE(fs::exists(OldLogFolder(false) / "Other.log"));
  EXPECT_EQ(LogCount("Info: Deleting file =["), 2);
  // Stopped, then started again.
  EXPECT_EQ(State(kSimulatorService), SERVICE_RUNNING);
  EXPECT_EQ(State(kUaldsService), SERVICE_RUNNING);
  EXPECT_EQ(LogCount("Success: Service=[Zarvel Process Simulator] was started successfully"), 1);
}

TEST_F(Simulation, OldLogsInBothFoldersAreHandledOncePerFolder) {
  LeaveOldLogs(true);
  LeaveOldLogs(false);
  housekeeping::StartSimulationServices(Counted());
  EXPECT_EQ(stops_, 2);
  EXPECT_EQ(rewrites_, 2);
  EXPECT_EQ(LogCount("Info: Deleting file =["), 4);
  EXPECT_EQ(State(kSimulatorService), SERVICE_RUNNING);
}

}  // namespace
}  // namespace telmo::test
