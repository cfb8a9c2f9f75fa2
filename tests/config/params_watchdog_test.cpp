// The management parameters file and the watchdog monitor table.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>

#include <gtest/gtest.h>

#include "config/mgmt_params.h"
#include "config/watchdog_table.h"
#include "config_support.h"
#include "support/test_env.h"

namespace telmo::test {
namespace {

namespace fs = std::filesystem;
using config::ReadParameters;
using config::WriteParameters;

fs::path ParamsFile(const TempNode& node) { return node.mgmt_dir() / "telmo_k_mgmt_parameters.def"; }

struct ReadCase {
  const char* what;
  std::optional<std::string> content;  // nullopt: no file
  int check_period;
  int timeout;
  int code;  // 0: no error
};

TEST(MgmtParameters, ReadCases) {
  const std::vector<ReadCase> cases = {
      {"no file", std::nullopt, 600, 100, 0},
      {"both lines", "300\n50\n", 300, 50, 0},
      {"comments and blank lines", "# period\n\n  300\n# time-out\n50 \n", 300, 50, 0},
      {"only the check period", "300\n", 300, 100, 15003},
      {"empty file", "", 600, 100, 15003},
      {"check period not a number", "abc\n50\n", 600, 100, 15021},
      {"check period too long", std::string(31, '1') + "\n50\n", 600, 100, 15021},
      {"check period empty", " ,\n50\n", 600, 100, 15021},
      {"time-out not a number", "300\nx\n", 300, 100, 15044},
      {"time-out empty", "300\n\t,\n", 300, 100, 15044},
      {"values without range checks", "-4\n0\n", -4, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempNode node;
    if (c.content) WriteFile(ParamsFile(node), *c.content);
    MgmtParameters parameters;
    StatusBlock status;
    testing::internal::CaptureStdout();
    ReadParameters(parameters, status);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(parameters.check_period.load(), c.check_period);
    EXPECT_EQ(parameters.timeout.load(), c.timeout);
    if (c.code == 0) {
      EXPECT_FALSE(status.failed()) << status.describe();
    } else {
      EXPECT_TRUE(status.holds(kFacilityManagement, c.code)) << status.describe();
    }
  }
}

TEST(MgmtParameters, WriteThenRead) {
  TempNode node;
  MgmtParameters parameters;
  parameters.check_period = 900;
  parameters.timeout = 50;
  StatusBlock status;
  ASSERT_TRUE(WriteParameters(parameters, status));
  EXPECT_EQ(ReadFile(ParamsFile(node)), "900\n50\n");
  MgmtParameters again;
  ReadParameters(again, status);
  EXPECT_EQ(again.check_period.load(), 900);
  EXPECT_EQ(again.timeout.load(), 50);
}

// A FIFO in place of the file would block the start-up for ever.
TEST(MgmtParameters, ParametersFileThatIsNoRegularFileKeepsTheValues) {
  TempNode node;
  ASSERT_EQ(::mkfifo(ParamsFile(node).c_str(), 0600), 0);
  MgmtParameters parameters;
  StatusBlock status;
  auto read = std::async(std::launch::async, [&] { ReadParameters(parameters, status); });
  if (read.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    ADD_FAILURE() << "opening a FIFO blocks";
    ::close(::open(ParamsFile(node).c_str(), O_WRONLY | O_NONBLOCK));  // lets the open return
  }
  read.get();
  EXPECT_EQ(parameters.check_period.load(), 600);
  EXPECT_FALSE(status.failed()) << status.describe();
  EXPECT_EQ(CountLinesWith(node.log_dir() / "management.log", "Error Not a regular file opening parameters file"), 1);
}

// The file size limit stands in for a full disk once the temporary file exists.
TEST(MgmtParameters, FailedWriteKeepsTheOldFile) {
  TempNode node;
  WriteFile(ParamsFile(node), "300\n50\n");
  MgmtParameters parameters;
  parameters.check_period = 123456;
  StatusBlock status;
  bool written = true;
  {
    const ScopedFileSizeLimit full_disk(4);
    written = WriteParameters(parameters, status);
  }
  EXPECT_FALSE(written);
  EXPECT_TRUE(status.holds(kFacilityManagement, 15001));
  EXPECT_TRUE(status.holds(kFacilitySystem, EFBIG));
  EXPECT_EQ(ReadFile(ParamsFile(node)), "300\n50\n");
}

TEST(MgmtParameters, UnwritableDirectoryIsReported) {
  TempNode node;
  WriteFile(node.root() / "not_a_directory", "");
  node.Set("TELMOMGMT", (node.root() / "not_a_directory").string());
  MgmtParameters parameters;
  StatusBlock status;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(WriteParameters(parameters, status));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(status.holds(kFacilityManagement, 15001));
  EXPECT_TRUE(status.holds(kFacilitySystem, ENOTDIR)) << status.describe();
  EXPECT_EQ(out, "error opening " + (node.root() / "not_a_directory").string() + "\\telmo_k_mgmt_parameters.def\n");
  EXPECT_EQ(CountLinesWith(node.log_dir() / "management.log", "opening parameters file"), 1);
}

TEST(MgmtParameters, NoManagementDirectory) {
  TempNode node;
  node.Set("TELMOMGMT", std::nullopt);
  MgmtParameters parameters;
  StatusBlock status;
  ReadParameters(parameters, status);
  EXPECT_FALSE(status.failed());
  testing::internal::CaptureStdout();
  EXPECT_FALSE(WriteParameters(parameters, status));
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(status.holds(kFacilityManagement, 15001));
}

// ---------------------------------------------------------------------------
// Watchdog monitor table

std::string AsyncFile(const std::string& service, const std::string& arguments) {
  return ServerFileText("N," + service + ",", "Run,,", "1", "NoStoreForward", "1",
                        "DLGP," + service + ",%TELMOIO%\\telmo_AsyncDlgp.exe," + arguments + "\n");
}

TEST(WatchdogTable, GrowsByTenAndReusesEntries) {
  WatchdogTable table;
  StatusBlock status;
  std::vector<std::unique_ptr<ServerRecord>> servers;
  for (int i = 0; i < 11; ++i) {
    const std::string service = "ASYNC" + std::to_string(i);
    servers.push_back(LoadText(AsyncFile(service, "-WATCHDOGTAG Tag" + std::to_string(i) + " -WATCHDOGTIMEOUT 30" +
                                                      std::to_string(i)),
                               status, table));
    ASSERT_TRUE(servers.back()) << status.describe();
    EXPECT_EQ(table.capacity(), i < 10 ? 10 : 20);
  }
  const int eleventh = table.Find("async10");
  EXPECT_EQ(eleventh, 10);
  EXPECT_EQ(table.entry(10).report.tag_name, "Tag10");
  EXPECT_EQ(table.entry(10).report.watchdog_timeout, 3010);

  // The same service in another letter case takes the same entry again.
  auto again = LoadText(AsyncFile("async3", "-WATCHDOGTAG Other"), status, table);
  ASSERT_TRUE(again);
  EXPECT_EQ(table.Find("ASYNC3"), 3);
  EXPECT_EQ(table.entry(3).report.tag_name, "Other");
  EXPECT_EQ(table.capacity(), 20);

  // A removed server frees its entry; the next server takes it.
  table.Clear(*servers[4]);
  EXPECT_EQ(table.Find("ASYNC4"), -1);
  EXPECT_EQ(table.entry(4).used, 0);
  ASSERT_TRUE(LoadText(AsyncFile("NEWONE", ""), status, table));
  EXPECT_EQ(table.Find("NEWONE"), 4);
  EXPECT_EQ(table.entry(4).report.tag_name, "");  // no tag: takes no part in the checks
}

TEST(WatchdogTable, OnlyAsynchronousDlgpsAndUsableNames) {
  WatchdogTable table;
  StatusBlock status;
  const auto sync = LoadText(SimpleServerFile("SYNC1"), status, table);
  ASSERT_TRUE(sync);
  EXPECT_FALSE(table.exists());  // only asynchronous DLGPs are registered by the loader
  table.Register(*sync, status);
  EXPECT_TRUE(table.exists());
  EXPECT_FALSE(status.failed());
  EXPECT_EQ(table.Find("SYNC1"), -1);
  EXPECT_EQ(table.FindOrAdd(std::string(32, 'A')), -1);
  EXPECT_EQ(table.FindOrAdd(""), -1);
  EXPECT_EQ(table.FindOrAdd(std::string(31, 'A')), 0);
  EXPECT_EQ(table.Find(std::string(31, 'a')), 0);

  const std::string long_tag(300, 't');
  ASSERT_TRUE(LoadText(AsyncFile("ASYNC1", "-WATCHDOGTAG " + long_tag), status, table));
  EXPECT_EQ(table.entry(table.Find("ASYNC1")).report.tag_name.size(), 255u);
}

TEST(WatchdogTable, UnparsableArgumentsFailTheServer) {
  WatchdogTable table;
  StatusBlock status;
  EXPECT_FALSE(LoadText(AsyncFile("ASYNC1", "-WATCHDOGTAG"), status, table));
  EXPECT_TRUE(status.holds(kFacilityWatchdog, 4037)) << status.describe();
}

}  // namespace
}  // namespace telmo::test
