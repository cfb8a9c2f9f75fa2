// Server files: loader failure codes and defaults, the round trip through the
// writer, crash safety, file name safety, and start-up loading of a directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/process_table.h"
#include "config/server_file.h"
#include "config_support.h"
#include "external/telmo_log.h"
#include "support/test_env.h"

namespace telmo::test {
namespace {

namespace fs = std::filesystem;
using config::BuildServerFile;
using config::LineReader;
using config::ReadSnfParameters;

const std::string kDlgpLine = "DLGP,PLANT1,%TELMOIO%\\plant_dlgp.exe,-TCPSERVICE PLANT1\n";

std::string FileWith(const std::string& line1, const std::string& line2, const std::string& line3,
                     const std::string& line4, const std::string& line5, const std::string& components = kDlgpLine) {
  return ServerFileText(line1, line2, line3, line4, line5, components);
}
std::string Valid() { return FileWith("Plant one,PLANT1,", "Run,,", "1", "NoStoreForward,,,,,,,,,,", "1"); }

std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = text.find('\n', pos);
    lines.push_back(text.substr(pos, end - pos));
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  return lines;
}

// ---------------------------------------------------------------------------
// Line and field readers

TEST(LineReader, SkipsCommentsAndEmptyLinesButCountsThemAndKeepsLongLinesWhole) {
  const std::string long_line(100000, 'a');
  LineReader reader("  # comment\n\nfirst\r\n\t#x\n" + long_line + "\nlast", "t");
  EXPECT_EQ(reader.NextLine(), "first");  // the carriage return before the feed is dropped
  EXPECT_EQ(reader.line_number(), 3);
  EXPECT_EQ(reader.NextLine(), long_line);
  EXPECT_EQ(reader.NextLine(), "last");
  EXPECT_EQ(reader.line_number(), 6);
  EXPECT_FALSE(reader.NextLine().has_value());
}

TEST(LineReader, LineEndsAtNulByte) {
  LineReader reader(std::string("ab\0cd\nef\n", 9), "t");
  EXPECT_EQ(reader.NextLine(), "ab");
  EXPECT_EQ(reader.NextLine(), "ef");
}

TEST(FieldReader, SkipsBlanksAndOneCommaKeepsTrailingBlanks) {
  EXPECT_EQ(config::FieldText(",X,Y", 1), "X");
  EXPECT_EQ(config::FieldText("A , B ,C", 1), "A ");
  EXPECT_EQ(config::FieldText("A , B ,C", 2), "B ");
  EXPECT_EQ(config::FieldText("A,,C", 2), "");
  EXPECT_EQ(config::FieldText("A,,C", 3), "C");
  EXPECT_EQ(config::FieldText("A", 4), "");

  std::string out = "old";
  testing::internal::CaptureStdout();
  EXPECT_EQ(config::ReadField("A,0123456789abcdef", 2, {"Thing", false, 15}, 7, out), config::FieldStatus::kTooLong);
  EXPECT_EQ(config::ReadField(" ,", 1, {"Needed", true, 0}, 9, out), config::FieldStatus::kRequiredMissing);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Thing bad format at line 7\nNeeded not present in test file at line 9\n");
  EXPECT_EQ(out, "");
}

// ---------------------------------------------------------------------------
// Loader

TEST(LoadServer, ReadsEveryFieldOfAPlainFile) {
  StatusBlock status;
  const auto r = LoadText(FileWith("A^;B,SVC1,SVC2", "rUN,DOM\\user,cGFzcw==", "7",
                                   "StoreForward,D:\\sf\\\",,,,,,,,,", "1", kDlgpLine),
                          status);
  ASSERT_TRUE(r) << status.describe();
  EXPECT_EQ(r->name, "A,B");
  EXPECT_EQ(r->dlgp_service.view(), "SVC1");
  EXPECT_EQ(r->hist_service.view(), "SVC2");
  EXPECT_EQ(r->startup_status, 1);
  EXPECT_EQ(r->health_check, 7);
  EXPECT_EQ(r->username, "DOM\\user");
  EXPECT_EQ(r->password, "pass");
  EXPECT_EQ(r->snf_usage, 1);
  EXPECT_EQ(r->store_file_path, "D:\\sf\"");  // the backslash before the final quote is dropped
  EXPECT_EQ(r->component_count(), 4);
  EXPECT_EQ(r->component_cursor, 0);
  EXPECT_EQ(r->desired_state, 0);
  EXPECT_EQ(r->components[0]->name, "DLGP");
  EXPECT_EQ(r->components[0]->executable, "%TELMOIO%\\plant_dlgp.exe");
  EXPECT_EQ(r->components[0]->arguments, "-TCPSERVICE PLANT1");
  EXPECT_EQ(r->components[0]->generated, 0);
}

TEST(LoadServer, HealthCheckAndStartupValues) {
  for (const auto& [text, expected] : std::vector<std::pair<std::string, int>>{{"0", 0}, {"-5", 0}, {"1", 1}, {"7", 7}}) {
    StatusBlock status;
    const auto r = LoadText(FileWith("N,S,", "DontRun,,", text, "NoStoreForward", "1"), status);
    ASSERT_TRUE(r) << text;
    EXPECT_EQ(r->health_check, expected) << text;
    EXPECT_EQ(r->startup_status, 0);
  }
}

struct FailureCase {
  const char* what;
  std::string text;
  int code;
};

TEST(LoadServer, FailureCodesOfEachLine) {
  const std::string long_service(32, 'S');
  const std::vector<FailureCase> cases = {
      {"file ends before line 5", "N,S,\nRun,,\n1\nNoStoreForward\n", 15003},
      {"empty file", "", 15003},
      {"only comments", "# a\n  # b\n", 15003},
      {"DLGP service of 32 characters", FileWith("N," + long_service + ",", "Run,,", "1", "NoStoreForward", "1"), 15004},
      {"one comma on the server line", FileWith("A,SVC1", "Run,,", "1", "NoStoreForward", "1"), 15005},
      {"startup Running", FileWith("N,S,", "Running,,", "1", "NoStoreForward", "1"), 15006},
      {"startup Run and a blank", FileWith("N,S,", "Run ,,", "1", "NoStoreForward", "1"), 15006},
      {"startup too long", FileWith("N,S,", std::string(31, 'R') + ",,", "1", "NoStoreForward", "1"), 15006},
      {"check status not a number", FileWith("N,S,", "Run,,", "abc", "NoStoreForward", "1"), 15021},
      {"check status too long", FileWith("N,S,", "Run,,", std::string(31, '1'), "NoStoreForward", "1"), 15021},
      {"check status beyond 32 bits", FileWith("N,S,", "Run,,", "99999999999", "NoStoreForward", "1"), 15021},
      {"S&F usage unknown", FileWith("N,S,", "Run,,", "1", "Maybe,,", "1"), 15020},
      {"S&F usage too long", FileWith("N,S,", "Run,,", "1", std::string(31, 'x'), "1"), 15020},
      {"component count 0", FileWith("N,S,", "Run,,", "1", "NoStoreForward", "0"), 15023},
      {"component count not a number", FileWith("N,S,", "Run,,", "1", "NoStoreForward", "x"), 15023},
      {"no component line", FileWith("N,S,", "Run,,", "1", "NoStoreForward", "2", ""), 15023},
  };
  for (const auto& c : cases) {
    StatusBlock status;
    testing::internal::CaptureStdout();
    const auto r = LoadText(c.text, status);
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(r) << c.what;
    EXPECT_TRUE(status.holds(kFacilityManagement, c.code)) << c.what << ": " << status.describe();
  }
  StatusBlock status;
  EXPECT_FALSE(LoadText(FileWith("N,S,", "Run,,", "1", "NoStoreForward", "1"), status) == nullptr) << "control case";
}

TEST(LoadServer, MissingFileIsOpenFailure) {
  TempNode node;
  StatusBlock status;
  EXPECT_FALSE(config::LoadServer((node.mgmt_dir() / "NONE.csd").string(), status));
  EXPECT_TRUE(status.holds(kFacilityManagement, 15001));
  EXPECT_TRUE(status.holds(kFacilitySystem, ENOENT));
  EXPECT_EQ(CountLinesWith(node.log_dir() / "management.log", "opening server file"), 1);
}

// A required field that is empty prints its message and fails the file with
// the code of its line; the process goes on (this test would end otherwise).
TEST(LoadServer, EmptyRequiredFieldFailsOnlyThatFile) {
  const std::vector<FailureCase> cases = {
      {"DLGP TCP Service", FileWith("Name,,HIST", "Run,,", "1", "NoStoreForward", "1"), 15004},
      {"Server startup status", FileWith("N,S,", ",", "1", "NoStoreForward", "1"), 15006},
      {"Server check status", FileWith("N,S,", "Run,,", " \t", "NoStoreForward", "1"), 15021},
      {"Server store & forward usage", FileWith("N,S,", "Run,,", "1", " ,", "1"), 15020},
      {"Server Nb components", FileWith("N,S,", "Run,,", "1", "NoStoreForward", ","), 15023},
      {"Component name", FileWith("N,S,", "Run,,", "1", "NoStoreForward", "1", ",,exe,args\n"), 15023},
  };
  for (const auto& c : cases) {
    StatusBlock status;
    testing::internal::CaptureStdout();
    const auto r = LoadText(c.text, status);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(r) << c.what;
    EXPECT_TRUE(status.holds(kFacilityManagement, c.code)) << c.what << ": " << status.describe();
    EXPECT_NE(out.find(std::string(c.what) + " not present in test file at line "), std::string::npos) << out;
  }
}

TEST(LoadServer, StoreForwardLineDefaults) {
  // Empty fields.
  SnfParameters p = ReadSnfParameters("StoreForward,,,,,,,,,,", 4);
  EXPECT_EQ(p, [] {
    SnfParameters d = SnfParameters::AllDefault();
    return d;
  }());

  // Thresholds: scanner and store 3, forward 5, MSGS 2.
  p = ReadSnfParameters("StoreForward,,2,2,4,1", 4);
  EXPECT_EQ(p.scanner_timeout, "Default");
  EXPECT_EQ(p.store_timeout, "Default");
  EXPECT_EQ(p.forward_timeout, "Default");
  EXPECT_EQ(p.forward_msgs, "Default");
  p = ReadSnfParameters("StoreForward,,3,3,5,2", 4);
  EXPECT_EQ(p.scanner_timeout, "3");
  EXPECT_EQ(p.store_timeout, "3");
  EXPECT_EQ(p.forward_timeout, "5");
  EXPECT_EQ(p.forward_msgs, "2");

  // Texts pass as written; no number is 0; too long is empty, then Default.
  testing::internal::CaptureStdout();
  p = ReadSnfParameters("StoreForward,,default,abc,0123456789abcdef,DEFAULT", 4);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(p.scanner_timeout, "default");
  EXPECT_EQ(p.store_timeout, "Default");
  EXPECT_EQ(p.forward_timeout, "Default");
  EXPECT_EQ(p.forward_msgs, "DEFAULT");

  // Flags: only 1 passes; both NOTAGINFO 1 leaves the store's alone.
  p = ReadSnfParameters("StoreForward,,,,,,1,1,1", 4);
  EXPECT_EQ(p.scanner_notaginfo, "Default");
  EXPECT_EQ(p.store_notaginfo, "1");
  EXPECT_EQ(p.scanner_device, "1");
  p = ReadSnfParameters("StoreForward,,,,,,1,2,0", 4);
  EXPECT_EQ(p.scanner_notaginfo, "1");
  EXPECT_EQ(p.store_notaginfo, "Default");
  EXPECT_EQ(p.scanner_device, "Default");

  // Queue limits.
  for (const auto& [field, expected] : std::vector<std::pair<std::string, int>>{
           {"0", 72}, {"9000", 72}, {"8760", 8760}, {"1", 1}, {"-3", 72}, {"x", 72}}) {
    EXPECT_EQ(ReadSnfParameters("StoreForward,,,,,,,,," + field, 4).max_time_in_queue, expected) << field;
  }
  for (const auto& [field, expected] : std::vector<std::pair<std::string, int>>{
           {"1000001", 0}, {"-1", 0}, {"1000000", 1000000}, {"25", 25}}) {
    EXPECT_EQ(ReadSnfParameters("StoreForward,,,,,,,,,," + field, 4).max_queue_file_size, expected) << field;
  }
}

TEST(LoadServer, CommentsMayStandAnywhere) {
  StatusBlock status;
  const auto r = LoadText("# head\nN,PLANT1,\n   # x\nRun,,\n\n1\nNoStoreForward\n2\nA,,a.exe,\n\t# between\nB,,b.exe,\n",
                          status);
  ASSERT_TRUE(r) << status.describe();
  ASSERT_EQ(r->component_count(), 2);
  EXPECT_EQ(r->components[1]->name, "B");
}

TEST(LoadServer, ComponentLinesBeyondOrShortOfTheCountLeaveNoHoles) {
  StatusBlock status;
  const std::string three = "A,,a.exe,\nB,,b.exe,\nC,,c.exe,\n";
  auto r = LoadText(FileWith("N,PLANT1,", "Run,,", "1", "StoreForward", "1", three), status);
  ASSERT_TRUE(r);
  ASSERT_EQ(r->component_count(), 4);  // one file component, then scanner, store, forward
  EXPECT_EQ(r->components[0]->name, "A");
  EXPECT_EQ(r->components[1]->name, "Scanner process");

  r = LoadText(FileWith("N,PLANT1,", "Run,,", "1", "StoreForward", "5", three), status);
  ASSERT_TRUE(r);
  ASSERT_EQ(r->component_count(), 6);
  for (const auto& c : r->components) EXPECT_NE(c, nullptr);
  EXPECT_EQ(r->components[2]->name, "C");
  EXPECT_EQ(r->components[5]->name, "Forward process");
}

TEST(LoadServer, ServiceThatCannotNameAFileIsRefused) {
  const std::vector<std::string> names = {"..",  "a/b", "a\\b", "x..y", "a\tb", "a\x01" "b",
                                          "a:b", "a*b", "a?b",   "a|b",  "a<b",  "a\"b"};
  for (const std::string& bad : names) {
    StatusBlock status;
    EXPECT_FALSE(LoadText(FileWith("N," + bad + ",", "Run,,", "1", "NoStoreForward", "1"), status)) << bad;
    EXPECT_TRUE(status.holds(kFacilityManagement, 15004)) << bad;
  }
}

// ---------------------------------------------------------------------------
// Round trip: a written file loads back to the same record and S&F block.

struct RoundTripCase {
  const char* what;
  std::string text;
};

std::vector<RoundTripCase> RoundTripCases() {
  const std::string password_b64 = "cMOkc3P/";  // "p\xC3\xA4ss\xFF": bytes above 127
  return {
      {"commas, ^; and ^ in the name; S&F with every option",
       FileWith("Unit 1^; East ^^; west ^^ x,PLANT1,HIST1", "Run,DOM\\user," + password_b64, "3",
                "StoreForward,D:\\sf data\\,10,20,30,40,1,Default,1,100,5000", "2",
                "DLGP,PLANT1,%TELMOIO%\\dlgp.exe,-TCPSERVICE PLANT1 -OPCSERVER X\nHelper,HLP1,helper.exe,\n")},
      {"S&F without options, empty password",
       FileWith("Plain,PLANT2,", "DontRun,user,", "0", "StoreForward,,,,,,,,,,", "1")},
      {"OPC UA only, empty name",
       FileWith(",PLANT3,", "Run,,", "1", "NoStoreForward,,,,,,,,,,", "1",
                "UA,PLANT3,%TELMOIO%\\TELMO_OPCUA_DLGP.exe,-TCPSERVICE PLANT3 -OPCSERVER urn\n")},
      {"OPC UA and S&F, store NOTAGINFO, Default path",
       FileWith("  ,PLANT4,H4", "Run,,YQ==", "1", "StoreForward,Default,5,,6,,,1,,8760,1000000", "1",
                "UA,PLANT4,c:\\io\\telmo_opcua_dlgp.exe,-A\n")},
      {"empty store path with options", FileWith("N,PLANT5,", "Run,,", "1", "StoreForward,,4,4,9,3,,1,1,1,0", "1")},
  };
}

TEST(ServerFileRoundTrip, WrittenFileLoadsBackTheSameRecordAndSnfBlock) {
  for (const auto& c : RoundTripCases()) {
    SCOPED_TRACE(c.what);
    StatusBlock status;
    const auto first = LoadText(c.text, status);
    ASSERT_TRUE(first) << status.describe();
    const std::string written = BuildServerFile(*first);
    const auto second = LoadText(written, status);
    ASSERT_TRUE(second) << status.describe() << "\n" << written;
    ExpectSameRecord(*first, *second);
    EXPECT_EQ(ReadSnfParameters(LinesOf(c.text)[3], 4), ReadSnfParameters(LinesOf(written)[3], 4)) << written;
    EXPECT_EQ(BuildServerFile(*second), written);
  }
}

TEST(ServerFileRoundTrip, NameAndPasswordSurvive) {
  const auto cases = RoundTripCases();
  StatusBlock status;
  const auto first = LoadText(cases[0].text, status);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->name, "Unit 1, East ^; west ^ x");
  EXPECT_EQ(first->password, "p\xC3\xA4ss\xFF");
  const auto empty_name = LoadText(cases[2].text, status);
  ASSERT_TRUE(empty_name);
  EXPECT_EQ(empty_name->name, "");
  EXPECT_EQ(empty_name->dlgp_service.view(), "PLANT3");
  EXPECT_EQ(empty_name->hist_service.view(), "");
}

// Texts the line and field syntax could lose on the way back: a component
// name that would make its line a comment, a store path that truly ends in a
// backslash and a quote, carriage returns at the end of a field.
TEST(ServerFileRoundTrip, EdgeTextsSurvive) {
  StatusBlock status;
  auto first = LoadText(FileWith("N,PLANT1,H\r\r", "Run,,", "1", "StoreForward,D:\\sf\\\\\"", "2",
                                 "A,,a.exe,-X\r,\n, # hash,,b.exe,-Y\r\r\n"),
                        status);
  ASSERT_TRUE(first) << status.describe();
  EXPECT_EQ(first->hist_service.view(), "H");
  EXPECT_EQ(first->store_file_path, "D:\\sf\\\"");
  EXPECT_EQ(first->components[0]->arguments, "-X");
  EXPECT_EQ(first->components[1]->name, "# hash");
  EXPECT_EQ(first->components[1]->arguments, "-Y");
  const std::string written = BuildServerFile(*first);
  const auto second = LoadText(written, status);
  ASSERT_TRUE(second) << status.describe() << written;
  ExpectSameRecord(*first, *second);
}

TEST(ServerFileWriter, LinesAsTheLoaderReadsThem) {
  StatusBlock status;
  auto r = LoadText(FileWith("Unit 1^; East,PLANT1,", "Run,u,", "2", "StoreForward,D:\\sf,,,,,,,,,", "2",
                             "OPC,PLANT1,%TELMOIO%\\telmo_opcua_dlgp.exe,-X\nSecond,,b.exe,\n"),
                    status);
  ASSERT_TRUE(r);
  ASSERT_EQ(r->component_count(), 8);  // two file components, six generated ones
  EXPECT_EQ(LinesOf(BuildServerFile(*r)),
            (std::vector<std::string>{"Unit 1^; East,PLANT1,", "Run,u,", "2", "StoreForward,D:\\sf,,,,,,,,72,0", "2",
                                      "OPC,PLANT1,%TELMOIO%\\telmo_opcua_dlgp.exe,-X", "Second,,b.exe,"}));
}

TEST(ServerFileWriter, OnDiskOwnerOnlyAndLoadsBack) {
  TempNode node;
  StatusBlock status;
  const auto first = LoadText(RoundTripCases()[0].text, status);
  ASSERT_TRUE(first);
  ASSERT_TRUE(config::WriteServerFile(*first, status)) << status.describe();
  const fs::path file = node.mgmt_dir() / "PLANT1.csd";
  ASSERT_TRUE(fs::exists(file));
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(fs::path(*config::ServerFilePath(*first)), file);

  const auto second = config::LoadServer(*config::ServerFilePath(*first), status);
  ASSERT_TRUE(second) << status.describe();
  ExpectSameRecord(*first, *second);
}

TEST(ServerFileWriter, NoManagementDirectoryOrUnsafeServiceWritesNothing) {
  TempNode node;
  StatusBlock status;
  auto record = LoadText(Valid(), status);
  ASSERT_TRUE(record);

  for (const std::string& bad : std::vector<std::string>{"../evil", "..", "a/b", "a\\b", "", "x\ny", "a:b"}) {
    TELMO_SERVER_INITBLK(status);
    record->dlgp_service.assign(bad);
    EXPECT_FALSE(config::WriteServerFile(*record, status)) << bad;
    EXPECT_TRUE(status.holds(kFacilityManagement, 15001)) << bad;
    EXPECT_FALSE(config::ServerFilePath(*record).has_value());
  }
  EXPECT_TRUE(fs::is_empty(node.mgmt_dir()));
  EXPECT_FALSE(fs::exists(node.mgmt_dir().parent_path() / "evil.csd"));

  node.Set("TELMOMGMT", std::nullopt);
  record->dlgp_service.assign("PLANT1");
  TELMO_SERVER_INITBLK(status);
  EXPECT_FALSE(config::WriteServerFile(*record, status));
  EXPECT_TRUE(status.holds(kFacilityManagement, 15001));
}

// A write that fails once the temporary file exists (the file size limit
// stands in for a full disk) leaves the old file whole.
TEST(ServerFileWriter, FailedWriteLeavesTheOldFileIntact) {
  TempNode node;
  StatusBlock status;
  auto record = LoadText(Valid(), status);
  ASSERT_TRUE(record);
  ASSERT_TRUE(config::WriteServerFile(*record, status));
  const fs::path file = node.mgmt_dir() / "PLANT1.csd";
  const std::string before = ReadFile(file);

  // Room for the log line, not for the new file.
  record->components.front()->arguments = std::string(900, 'x');
  {
    const ScopedFileSizeLimit full_disk(500);
    EXPECT_FALSE(config::WriteServerFile(*record, status));
  }

  EXPECT_TRUE(status.holds(kFacilityManagement, 15001));
  EXPECT_TRUE(status.holds(kFacilitySystem, EFBIG)) << status.describe();
  EXPECT_EQ(ReadFile(file), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(node.mgmt_dir()), fs::directory_iterator()), 1);
  // The temporary file was created: the failure is the write's, not the open's.
  EXPECT_EQ(CountLinesWith(node.log_dir() / "management.log", "Error File too large writting to file " + file.string()),
            1);
  EXPECT_EQ(CountLinesWith(node.log_dir() / "management.log", "opening server file"), 0);
}

TEST(ServerFileWriter, LineTooLongToReadBackIsNotWritten) {
  TempNode node;
  StatusBlock status;
  auto record = LoadText(Valid(), status);
  ASSERT_TRUE(record);
  ASSERT_TRUE(config::WriteServerFile(*record, status));
  const std::string before = ReadFile(node.mgmt_dir() / "PLANT1.csd");
  // The line reader reads 1023 characters at a time: a longer component line
  // would come back cut in two.
  record->components.front()->arguments = std::string(1100, 'x');
  EXPECT_FALSE(config::WriteServerFile(*record, status));
  EXPECT_TRUE(status.holds(kFacilityManagement, 15001));
  EXPECT_EQ(ReadFile(node.mgmt_dir() / "PLANT1.csd"), before);

  record->components.front()->arguments = std::string(1023 - record->components.front()->name.size() - 1 - 6 - 1 -
                                                          record->components.front()->executable.size() - 1,
                                                      'x');
  TELMO_SERVER_INITBLK(status);
  ASSERT_TRUE(config::WriteServerFile(*record, status)) << status.describe();
  const auto back = config::LoadServer(*config::ServerFilePath(*record), status);
  ASSERT_TRUE(back) << status.describe();
  EXPECT_EQ(back->components.front()->arguments, record->components.front()->arguments);
}

// ---------------------------------------------------------------------------
// Load all

TEST(LoadAll, BadFilesAreSkippedAndTheOthersLoad) {
  TempNode node;
  WriteFile(node.mgmt_dir() / "A.csd", SimpleServerFile("A"));
  WriteFile(node.mgmt_dir() / "B.csd", FileWith("N,B,", ",", "1", "NoStoreForward", "1"));  // required field empty
  WriteFile(node.mgmt_dir() / "C.CSD", SimpleServerFile("C"));
  WriteFile(node.mgmt_dir() / "D.txt", SimpleServerFile("D"));
  fs::create_directory(node.mgmt_dir() / "E.csd");
  const std::string bad_before = ReadFile(node.mgmt_dir() / "B.csd");

  TestTable t;
  WatchdogTable watchdogs;
  StatusBlock status;
  testing::internal::CaptureStdout();
  config::LoadAll(t.table, status, watchdogs);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Server startup status not present in test file at line 2"), std::string::npos);

  std::vector<std::string> loaded;
  for (const auto& r : t.table.records()) loaded.push_back(r->dlgp_service.str());
  std::sort(loaded.begin(), loaded.end());
  EXPECT_EQ(loaded, (std::vector<std::string>{"A", "C"}));
  EXPECT_EQ(ReadFile(node.mgmt_dir() / "B.csd"), bad_before);
}

TEST(LoadAll, NoManagementDirectoryLoadsNothing) {
  TempNode node;
  WriteFile(node.mgmt_dir() / "A.csd", SimpleServerFile("A"));
  node.Set("TELMOMGMT", std::nullopt);
  TestTable t;
  t.table.Append(std::make_unique<ServerRecord>());
  StatusBlock status;
  config::LoadAll(t.table, status);
  EXPECT_TRUE(t.table.empty());
  EXPECT_FALSE(status.failed());
}

// ---------------------------------------------------------------------------
// Files the loader refuses, and files it never writes

int ManagementLogLines(const TempNode& node, const std::string& needle) {
  return CountLinesWith(node.log_dir() / "management.log", needle);
}

// Loads every file of the management directory, then writes the table back
// as the shut-down does.
std::vector<std::string> LoadAndSaveAll() {
  TestTable t;
  ProcessTable processes;
  WatchdogTable watchdogs;
  StatusBlock status;
  testing::internal::CaptureStdout();
  config::LoadAll(t.table, status, watchdogs);
  testing::internal::GetCapturedStdout();
  std::vector<std::string> loaded;
  for (const auto& r : t.table.records()) loaded.push_back(r->name);
  config::SaveAndFreeAll(t.table, processes, status);
  return loaded;
}

std::vector<std::string> DirectoryNames(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ServerFileIdentity, OneServerOneFileWhateverTheLetterCase) {
  TempNode node;
  const std::string own = ServerFileText("Own,PLANT1,", "Run,,", "1", "NoStoreForward,,,,,,,,,,", "1", kDlgpLine);
  const std::string copy = ServerFileText("Copy,plant1,", "Run,,", "1", "NoStoreForward,,,,,,,,,,", "1", kDlgpLine);
  WriteFile(node.mgmt_dir() / "plant1.csd", own);
  WriteFile(node.mgmt_dir() / "zz_copy.csd", copy);

  // The first file in listing order is the server; the other is logged and left alone.
  EXPECT_EQ(LoadAndSaveAll(), std::vector<std::string>{"Own"});
  EXPECT_EQ(ManagementLogLines(node, (node.mgmt_dir() / "zz_copy.csd").string() + " names DLGP TCP Service plant1"), 1);
  EXPECT_EQ(DirectoryNames(node.mgmt_dir()), (std::vector<std::string>{"plant1.csd", "zz_copy.csd"}));
  EXPECT_EQ(ReadFile(node.mgmt_dir() / "zz_copy.csd"), copy);
  // Written back where it came from, and loaded once again at the next start.
  EXPECT_EQ(LoadAndSaveAll(), std::vector<std::string>{"Own"});

  // A record of the service that was not loaded from a file (a new
  // configuration) goes to the file that is there, too.
  StatusBlock status;
  auto fresh = LoadText(SimpleServerFile("PLANT1"), status);
  ASSERT_TRUE(fresh);
  ASSERT_TRUE(config::WriteServerFile(*fresh, status)) << status.describe();
  EXPECT_EQ(DirectoryNames(node.mgmt_dir()), (std::vector<std::string>{"plant1.csd", "zz_copy.csd"}));
  EXPECT_EQ(ReadFile(node.mgmt_dir() / "plant1.csd"), BuildServerFile(*fresh));
}

TEST(ServerFileIdentity, LineTooLongToWriteBackFailsTheFileWhichStaysAsItIs) {
  TempNode node;
  const std::string text =
      FileWith("Plant one,PLANT1,", "Run,,", "1", "NoStoreForward,,,,,,,,,,", "1",
               "DLGP,PLANT1,%TELMOIO%\\plant_dlgp.exe," + std::string(1501, 'a') + "\n");
  WriteFile(node.mgmt_dir() / "PLANT1.csd", text);
  EXPECT_TRUE(LoadAndSaveAll().empty());
  EXPECT_EQ(ReadFile(node.mgmt_dir() / "PLANT1.csd"), text);
  EXPECT_EQ(ManagementLogLines(node, "line 6 is longer than 1023 characters"), 1);
  EXPECT_EQ(ManagementLogLines(node, (node.mgmt_dir() / "PLANT1.csd").string() + " not loaded (line 6)"), 1);
}

// A FIFO named like a server file would block an ordinary open for ever; a
// device would be read without end.
TEST(LoadServer, OnlyRegularFilesAreOpened) {
  TempNode node;
  const fs::path fifo = node.mgmt_dir() / "fifo.csd";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const fs::path device = node.mgmt_dir() / "zero.csd";
  fs::create_symlink("/dev/zero", device);

  StatusBlock status;
  auto load = std::async(std::launch::async, [&] { return config::LoadServer(fifo.string(), status) == nullptr; });
  if (load.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    ADD_FAILURE() << "opening a FIFO blocks";
    ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // lets the open return
  }
  EXPECT_TRUE(load.get());
  EXPECT_TRUE(status.holds(kFacilityManagement, 15001));
  EXPECT_FALSE(config::LoadServer(device.string(), status));
  EXPECT_TRUE(status.holds(kFacilityManagement, 15001));
  for (const auto& path : {fifo, device}) {
    EXPECT_EQ(ManagementLogLines(node, "Error Not a regular file opening server file " + path.string()), 1) << path;
  }
}

TEST(LoadServer, FileOverOneMebibyteIsNotRead) {
  TempNode node;
  std::string text = Valid();
  while (text.size() <= config::LineReader::kMaxFileSize) text += "# " + std::string(1000, '-') + "\n";
  const fs::path file = node.mgmt_dir() / "PLANT1.csd";
  WriteFile(file, text);
  StatusBlock status;
  EXPECT_FALSE(config::LoadServer(file.string(), status));
  EXPECT_TRUE(status.holds(kFacilitySystem, EFBIG)) << status.describe();
  EXPECT_EQ(ManagementLogLines(node, "Error File too large opening server file " + file.string()), 1);
}

TEST(LoadAll, EveryFileThatFailsLeavesALineAndInterruptedWritesAreRemoved) {
  TempNode node;
  const fs::path mgmt = node.mgmt_dir();
  std::string junk;
  for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 7919 + 13) % 256);
  WriteFile(mgmt / "junk.csd", junk);
  WriteFile(mgmt / "nuls.csd", std::string(2048, '\0'));
  WriteFile(mgmt / "negative.csd", FileWith("N,NEG,", "Run,,", "1", "NoStoreForward", "-1"));
  WriteFile(mgmt / "long.csd", std::string(100000, 'x') + "\n");
  WriteFile(node.root() / "outside.txt", "not a server file\n");
  fs::create_symlink(node.root() / "outside.txt", mgmt / "outside.csd");
  WriteFile(mgmt / ".PLANT1.csd.Ab12Cd", "half a fi");
  WriteFile(mgmt / "PLANT1.csd", SimpleServerFile("PLANT1"));

  EXPECT_EQ(LoadAndSaveAll(), std::vector<std::string>{"Server PLANT1"});
  for (const char* name : {"junk.csd", "nuls.csd", "negative.csd", "long.csd", "outside.csd"}) {
    EXPECT_EQ(ManagementLogLines(node, "Server file " + (mgmt / name).string() + " not loaded"), 1) << name;
  }
  EXPECT_FALSE(fs::exists(mgmt / ".PLANT1.csd.Ab12Cd"));
  EXPECT_EQ(ManagementLogLines(node, "Removed " + (mgmt / ".PLANT1.csd.Ab12Cd").string()), 1);
}

TEST(LoadAll, ManagementDirectoryThatCannotBeListedIsLogged) {
  TempNode node;
  const fs::path loop = node.root() / "loop";
  fs::create_symlink(loop, loop);
  const fs::path plain = node.root() / "plain";
  WriteFile(plain, "");
  for (const auto& dir : {loop, plain}) {
    node.Set("TELMOMGMT", dir.string());
    EXPECT_TRUE(LoadAndSaveAll().empty());
    EXPECT_EQ(ManagementLogLines(node, "Management directory " + dir.string() + " cannot be read"), 1) << dir;
  }
}

}  // namespace
}  // namespace telmo::test
