// The process entry, run as the real program: the command-line table, its
// exit codes and usage text, and the preparations every mode makes.
#include <gtest/gtest.h>

#include "platform/registry.h"
#include "support/test_env.h"

namespace telmo::test {
namespace {

constexpr const char* kUsage = "Usage : TelmoManager [-install [UserName Password] | -remove]\n";

class Entry : public ::testing::Test {
 protected:
  ProgramRun Manager(const std::vector<std::string>& args) { return RunProgram(BuiltProgram("telmo_manager"), args); }

  std::string Services() { return ReadFile(node_.services_file()); }

  void CreateProductKey() {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvelco\\TELMO", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
  }

  std::optional<DWORD> ProductValue(const char* name) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvelco\\TELMO", 0, KEY_READ, &key) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    auto value = platform::RegGetDword(key, name);
    if (!value) return std::nullopt;
    return value.value();
  }

  TempNode node_;
};

TEST_F(Entry, DebugSwitchIgnoresLetterCase) {
  for (const char* sw : {"-DEBUG", "-debug", "-Debug"}) {
    std::filesystem::remove(node_.mgmt_dir() / "telmo_k_mgmt_parameters.def");
    const auto run = Manager({sw});
    EXPECT_EQ(run.exit_code, 0) << sw << ": " << run.output;
    EXPECT_EQ(run.output, "") << sw;
    // The console run does start-up then shut-down, which writes the parameters back.
    EXPECT_EQ(ReadFile(node_.mgmt_dir() / "telmo_k_mgmt_parameters.def"), "600\n100\n") << sw;
  }
  EXPECT_EQ(CountLinesWith(node_.log_dir() / "management.log", "NOT found telmo_autostart.bat"), 3);
}

TEST_F(Entry, WrongArgumentsPrintTheUsageAndExitOne) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"-install", "user"}, {"-install", "user", "password", "extra"}, {"-start"}, {"debug"}}) {
    const auto run = Manager(args);
    EXPECT_EQ(run.exit_code, 1) << args[0];
    EXPECT_EQ(run.output, kUsage) << args[0];
  }
}

TEST_F(Entry, EveryModePreparesTheServicesEntryCollaborativeFileAndRegistryDefault) {
  CreateProductKey();
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"-install", "one"}, {"-bogus"}, {"-remove"}}) {
    std::filesystem::remove(node_.services_file());
    std::filesystem::remove(node_.mgmt_dir() / "Collaborative.cfg");
    (void)Manager(args);
    EXPECT_EQ(Services(), "TELMOManager 7777/tcp\n") << args[0];
    EXPECT_TRUE(std::filesystem::exists(node_.mgmt_dir() / "Collaborative.cfg")) << args[0];
    EXPECT_EQ(ProductValue("TELMOTestMessages"), std::optional<DWORD>(0)) << args[0];
  }
  // Only service mode defaults the ping values.
  EXPECT_FALSE(ProductValue("TELMOPingFrequency"));
}

TEST_F(Entry, RegistryDefaultsNeverOverwriteAValueAndNeedTheKey) {
  (void)Manager({"-bogus"});
  EXPECT_FALSE(ProductValue("TELMOTestMessages")) << "the key is not created";
  CreateProductKey();
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvelco\\TELMO", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  ASSERT_TRUE(platform::RegSetDword(key, "TELMOTestMessages", 5));
  (void)Manager({"-bogus"});
  EXPECT_EQ(ProductValue("TELMOTestMessages"), std::optional<DWORD>(5));
}

TEST_F(Entry, ExistingManagerEntryIsNeverChanged) {
  WriteFile(node_.services_file(), "# node services\nPLANT1 7777/tcp\ntelmomanager 9999/tcp\n");
  (void)Manager({"-bogus"});
  EXPECT_EQ(Services(), "# node services\nPLANT1 7777/tcp\ntelmomanager 9999/tcp\n");
}

TEST_F(Entry, ManagerTakesTheFirstFreePortFrom7777) {
  WriteFile(node_.services_file(), "PLANT1 7777/tcp\nPLANT2 7778/tcp\n");
  (void)Manager({"-bogus"});
  EXPECT_NE(Services().find("TELMOManager 7779/tcp"), std::string::npos) << Services();
}

TEST_F(Entry, ExistingCollaborativeFileKeepsItsContent) {
  WriteFile(node_.mgmt_dir() / "Collaborative.cfg", "NODE1\nNODE2\n");
  (void)Manager({"-debug"});
  EXPECT_EQ(ReadFile(node_.mgmt_dir() / "Collaborative.cfg"), "NODE1\nNODE2\n");
}

TEST_F(Entry, ServiceModeFailingToReportDuringStartUpEndsWithOneErrorEvent) {
  WriteFile(node_.services_file(), "TELMOManager " + std::to_string(FreeLoopbackPort()) + "/tcp\n");
  CreateProductKey();
  node_.Set("TELMO_SCM_FAIL_SET_STATUS", "1:5");
  const auto run = Manager({});
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_code, 1) << "a start that fails is a failure: " << run.output;
  const auto events = ReadLines(node_.log_dir() / "eventlog.log");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NE(events[0].find("ERROR\t0xC0000005\tTELMO Manager error from - SetServiceStatus ,errid = 5, errtext = "
                           "Access is denied."),
            std::string::npos)
      << events[0];
  // Service mode defaults the ping values before it enters the dispatcher.
  EXPECT_EQ(ProductValue("TELMOMaxPingFailures"), std::optional<DWORD>(3));
  EXPECT_EQ(ProductValue("TELMOPingFrequency"), std::optional<DWORD>(60));
}

}  // namespace
}  // namespace telmo::test
