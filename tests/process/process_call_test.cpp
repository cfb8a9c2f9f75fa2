// The messaging library's process call.
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "external/telmo_process.h"
#include "platform/win_error.h"
#include "process_test_support.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using telmo::test::ReadFile;

TEST(CreateProcessCall, StartsTheProgramAndKeepsOneEarlierLogPerLabel) {
  telmo::test::TempNode node;
  const auto log = node.log_dir() / "components" / "DLGP_A.log";
  for (const char* word : {"first", "second", "third"}) {
    StatusBlock status{};
    ProcessHandle process;
    const std::string args = std::string("-c \"echo ") + word + "; echo $TELMO_MANAGED_IMAGE; pwd -P\"";
    ASSERT_NE(TELMO_MGMT_CreateProcess("DLGP_A", "runas", "\\bin\\sh", args, nullptr,
                                       node.iodata_dir().string().c_str(), &process, 1, status),
              0);
    EXPECT_FALSE(status.failed());
    ASSERT_TRUE(process);
    ASSERT_EQ(telmo::test::ExitCodeAfterEnd(process), 0u);
  }
  const std::string dir = fs::canonical(node.iodata_dir()).string();
  EXPECT_EQ(ReadFile(log), "third\nsh\n" + dir + "\n");
  EXPECT_EQ(ReadFile(log.string() + ".1"), "second\nsh\n" + dir + "\n");
  EXPECT_FALSE(fs::exists(log.string() + ".2"));
}

TEST(CreateProcessCall, ProcessesWithoutALabelShareOneLogAndKeepTheirOutput) {
  telmo::test::TempNode node;
  std::vector<ProcessHandle> processes;
  for (const char* word : {"first", "second", "third"}) {
    StatusBlock status{};
    ProcessHandle process;
    const std::string args = std::string("-c \"sleep 0.3; echo ") + word + "\"";
    ASSERT_NE(TELMO_MGMT_CreateProcess("", "runas", "/bin/sh", args, nullptr, nullptr, &process, 1, status), 0);
    processes.push_back(std::move(process));
  }
  for (auto& process : processes) ASSERT_EQ(telmo::test::ExitCodeAfterEnd(process), 0u);
  const std::string log = ReadFile(node.log_dir() / "components" / "component.log");
  for (const char* word : {"first", "second", "third"}) EXPECT_NE(log.find(word), std::string::npos) << log;
  EXPECT_FALSE(fs::exists(node.log_dir() / "components" / "component.log.1"));
}

TEST(CreateProcessCall, ArgumentTextIsSplitNeverInterpreted) {
  telmo::test::TempNode node;
  StatusBlock status{};
  ProcessHandle process;
  const std::string args = std::string(telmo::test::kChildFlag) +
                           R"( argv "two words" $HOME;echo `id` 'single' "a\"b" "trail\\")";
  ASSERT_NE(TELMO_MGMT_CreateProcess("ARGS", "open", telmo::test::SelfPath(), args, nullptr, nullptr, &process, 1,
                                     status),
            0);
  ASSERT_EQ(telmo::test::ExitCodeAfterEnd(process), 0u);
  EXPECT_EQ(ReadFile(node.log_dir() / "components" / "ARGS.log"),
            "[two words]\n[$HOME;echo]\n[`id`]\n['single']\n[a\"b]\n[trail\\]\n");
}

TEST(CreateProcessCall, FailureIsLoadedAfterWhatTheBlockHeld) {
  telmo::test::TempNode node;
  StatusBlock status{};
  TELMO_SERVER_LDBLK(15, 15016, status);  // an expansion failure that came first
  ProcessHandle process;
  EXPECT_EQ(TELMO_MGMT_CreateProcess("MISSING", "runas", "%TELMOIO%\\bin\\none.exe", "", nullptr, nullptr, &process,
                                     1, status),
            0);
  EXPECT_TRUE(status.holds(15, 15016));
  EXPECT_TRUE(status.holds(1, static_cast<std::int32_t>(ERROR_FILE_NOT_FOUND)));
  EXPECT_FALSE(process);

  // A logon that claims a user but has no token starts nothing.
  StatusBlock second{};
  LogonToken broken{nullptr, 0};
  EXPECT_EQ(TELMO_MGMT_CreateProcess("NOTOKEN", "runas", "/bin/true", "", &broken, nullptr, &process, 1, second), 0);
  EXPECT_TRUE(second.holds(1, static_cast<std::int32_t>(ERROR_INVALID_HANDLE)));
  EXPECT_FALSE(process);
  EXPECT_TRUE(telmo::test::NoZombieChild());
}

TEST(CreateProcessCall, LabelCannotLeadTheLogOutOfItsFolder) {
  telmo::test::TempNode node;
  StatusBlock status{};
  ASSERT_NE(TELMO_MGMT_CreateProcess("../../escaped", "runas", "/bin/true", "", nullptr, nullptr, nullptr, 1, status),
            0);
  EXPECT_TRUE(telmo::test::AllChildrenReaped());  // no handle was asked for
  int logs = 0;
  for (const auto& e : fs::recursive_directory_iterator(node.root())) {
    if (e.path().filename().string().find("escaped") != std::string::npos) {
      EXPECT_EQ(e.path().parent_path(), node.log_dir() / "components");
      ++logs;
    }
  }
  EXPECT_EQ(logs, 1);
}

TEST(CreateProcessCall, LoggedOnTokenGivesTheAccount) {
  if (::geteuid() != 0) GTEST_SKIP() << "switching accounts needs root";
  telmo::test::TempNode node;
  LogonToken logon;
  logon.token = std::make_unique<AccessToken>(AccessToken{"nobody", 65534, 65534, {65534}, "/nonexistent", {}});
  logon.not_logged_on = 0;
  StatusBlock status{};
  ProcessHandle process;
  ASSERT_NE(TELMO_MGMT_CreateProcess("AS_NOBODY", "runas", "/bin/sh", "-c \"id -u; echo $HOME\"", &logon, nullptr,
                                     &process, 1, status),
            0);
  ASSERT_EQ(telmo::test::ExitCodeAfterEnd(process), 0u);
  EXPECT_EQ(ReadFile(node.log_dir() / "components" / "AS_NOBODY.log"), "65534\n/nonexistent\n");

  // Not logged on: the token is not used, the manager's account runs it.
  logon.not_logged_on = 1;
  ASSERT_NE(TELMO_MGMT_CreateProcess("AS_SELF", "runas", "/bin/sh", "-c \"id -u\"", &logon, nullptr, &process, 1,
                                     status),
            0);
  ASSERT_EQ(telmo::test::ExitCodeAfterEnd(process), 0u);
  EXPECT_EQ(ReadFile(node.log_dir() / "components" / "AS_SELF.log"), "0\n");
}

}  // namespace
