// Store-and-forward data cleanup on a temporary I/O data directory, and the
// scanner configuration subkey in the registry stand-in.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "external/telmo_frame.h"
#include "external/telmo_log.h"
#include "housekeeping/snf_cleanup.h"
#include "platform/registry.h"
#include "support/test_env.h"

namespace telmo::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

int ManagementLogCount(const std::string& needle) {
  const std::string text = ReadFile(LogPath(LogKind::kManagement));
  int n = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// A store list counting `count` records and holding one per path.
Bytes StoreList(std::uint32_t count, const std::vector<std::string>& paths) {
  Bytes list;
  wire::PutU32(list, 1);
  wire::PutU32(list, 0);
  wire::PutU32(list, count);
  for (const auto& p : paths) {
    Bytes record(housekeeping::kStoreListRecord, 0);
    std::memcpy(record.data(), p.data(), std::min(p.size(), record.size()));
    list.insert(list.end(), record.begin(), record.end());
  }
  return list;
}

void Write(const fs::path& path, const Bytes& bytes) {
  WriteFile(path, std::string(bytes.begin(), bytes.end()));
}

TEST(StoreList, CountAndPathsAreBoundedByTheFile) {
  TempNode node;
  // Each case in a buffer of exactly its own size: ASan sees any read past it.
  EXPECT_TRUE(housekeeping::StoreListDirectories(Bytes(11, 0xff), "short").empty());

  const Bytes truncated = StoreList(5, {"/a", "/b"});
  EXPECT_EQ(housekeeping::StoreListDirectories(truncated, "truncated"), (std::vector<std::string>{"/a", "/b"}));
  EXPECT_EQ(ManagementLogCount("Store list *truncated* counts 5 records but holds 2; the rest is skipped"), 1);

  Bytes unterminated = StoreList(2, {"/a", ""});
  std::fill(unterminated.begin() + 12, unterminated.begin() + 12 + housekeeping::kStoreListRecord, 'x');
  EXPECT_TRUE(housekeeping::StoreListDirectories(unterminated, "bad").empty());
  EXPECT_EQ(ManagementLogCount("Store list *bad* record 0 names no store directory; skipped"), 1);
  EXPECT_EQ(ManagementLogCount("Store list *bad* record 1 names no store directory; skipped"), 1);

  Bytes partial = StoreList(1, {"/a"});
  partial.resize(partial.size() - 1);  // the only record is one byte short
  EXPECT_TRUE(housekeeping::StoreListDirectories(partial, "partial").empty());
}

TEST(SnfCleanup, QueueFilesGoUnrelatedFilesStayNothingOutsideIsTouched) {
  TempNode node;
  const fs::path io = node.iodata_dir();
  const fs::path outside = node.root() / "outside";
  for (const auto& dir : {io / "store1", io / "store2", outside}) fs::create_directories(dir);
  WriteFile(io / "TELMO_SCAN_LIST.SVC", "scan");
  WriteFile(io / "TELMO_UNSOL_LIST.SVC", "unsol");
  WriteFile(io / "store1" / "store1_0001.que", "q");
  WriteFile(io / "store1" / "store1_0002.que", "q");
  WriteFile(io / "store1" / "notes.txt", "kept");
  WriteFile(io / "store2" / "store2_0001.que", "q");
  WriteFile(io / "store2" / ".store2_hidden", "kept");
  WriteFile(outside / "outside_0001.que", "kept");
  fs::create_directory_symlink(outside, io / "linked");
  WriteFile(outside / "linked_0001.que", "kept");
  Write(io / "TELMO_STORE_LIST.SVC",
        StoreList(4, {(io / "store1").string(), (io / "store2").string(), outside.string(), (io / "linked").string()}));

  TELMO_MGMT_RemoveSnfData("SVC");

  EXPECT_FALSE(fs::exists(io / "TELMO_SCAN_LIST.SVC"));
  EXPECT_FALSE(fs::exists(io / "TELMO_UNSOL_LIST.SVC"));
  EXPECT_FALSE(fs::exists(io / "TELMO_STORE_LIST.SVC"));
  EXPECT_FALSE(fs::exists(io / "store1" / "store1_0001.que"));
  EXPECT_FALSE(fs::exists(io / "store2" / "store2_0001.que"));
  EXPECT_TRUE(fs::exists(io / "store1" / "notes.txt"));
  EXPECT_TRUE(fs::exists(io / "store2" / ".store2_hidden"));
  EXPECT_TRUE(fs::exists(outside / "outside_0001.que"));
  EXPECT_TRUE(fs::exists(outside / "linked_0001.que"));
  EXPECT_EQ(ManagementLogCount("Failed to delete directory *" + (io / "store1").string() + "* with error="), 1);
  EXPECT_EQ(ManagementLogCount("Directory *" + outside.string() + "* does not lie inside"), 1);
  EXPECT_EQ(ManagementLogCount("Directory *" + (io / "linked").string() + "* does not lie inside"), 1);
}

TEST(SnfCleanup, EmptyStoreListStaysAndNoDataDirectoryMeansNothingDone) {
  TempNode node;
  const fs::path io = node.iodata_dir();
  Write(io / "TELMO_STORE_LIST.SVC", StoreList(0, {}));
  WriteFile(io / "TELMO_SCAN_LIST.OTHER", "scan");
  TELMO_MGMT_RemoveSnfData("SVC");
  EXPECT_TRUE(fs::exists(io / "TELMO_STORE_LIST.SVC"));

  node.Set("TELMOIODATA", std::nullopt);
  TELMO_MGMT_RemoveSnfData("OTHER");
  TELMO_MGMT_RemoveQueueDirectories("OTHER");
  EXPECT_TRUE(fs::exists(io / "TELMO_SCAN_LIST.OTHER"));
  EXPECT_FALSE(fs::exists(LogPath(LogKind::kManagement)));
}

TEST(SnfCleanup, QueueDirectoriesOfAServiceAreRemoved) {
  TempNode node;
  const fs::path queues = node.iodata_dir() / "ASYNC1";
  for (const char* sub : {"HistoryQueue", "SubscribeQueue"}) {
    fs::create_directories(queues / sub);
    WriteFile(queues / sub / "q1", "q");
  }
  WriteFile(queues / "state", "s");
  TELMO_MGMT_RemoveQueueDirectories("ASYNC1");
  EXPECT_FALSE(fs::exists(queues));

  // A name that leads out of the I/O data directory, by itself or by a link.
  const fs::path outside = node.root() / "outside";
  fs::create_directories(outside / "HistoryQueue");
  WriteFile(outside / "HistoryQueue" / "q1", "kept");
  fs::create_directories(node.root() / "HistoryQueue");
  WriteFile(node.root() / "HistoryQueue" / "q1", "kept");
  fs::create_directory_symlink(outside, node.iodata_dir() / "ASYNC2");
  TELMO_MGMT_RemoveQueueDirectories("..");
  TELMO_MGMT_RemoveQueueDirectories("ASYNC2");
  EXPECT_TRUE(fs::exists(node.root() / "HistoryQueue" / "q1"));
  EXPECT_TRUE(fs::exists(outside / "HistoryQueue" / "q1"));
}

TEST(ScannerKey, OnlyTheRequestersSubkeyIsDeletedAndAMissingKeyIsSilent) {
  TempNode node;
  const std::string key = "Software\\Zarvelco\\TELMO\\TELMO_SCANNER_SVC_CFG";
  for (const char* sub : {"TESTNODE", "OTHERNODE"}) {
    HKEY created;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (key + "\\" + sub).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &created, nullptr),
              ERROR_SUCCESS);
  }
  TELMO_MGMT_DeleteScannerKey("SVC", "TESTNODE");
  HKEY opened;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (key + "\\TESTNODE").c_str(), 0, KEY_READ, &opened),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (key + "\\OTHERNODE").c_str(), 0, KEY_READ, &opened), ERROR_SUCCESS);

  TELMO_MGMT_DeleteScannerKey("NOSUCH", "TESTNODE");
  EXPECT_FALSE(fs::exists(LogPath(LogKind::kManagement)));
}

}  // namespace
}  // namespace telmo::test
