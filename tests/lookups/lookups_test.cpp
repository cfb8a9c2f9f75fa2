// The executable search in a directory tree and the directory file iterator,
// on real temporary trees.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/registry.h"
#include "platform/win_error.h"
#include "config/file_lookups.h"
#include "support/test_env.h"

namespace fs = std::filesystem;
using telmo::test::TempNode;
using telmo::test::WriteFile;

namespace {

std::string CurrentDirectory() {
  std::string cwd;
  EXPECT_GT(GetCurrentDirectoryA(1u << 16, cwd), 0u);
  return cwd;
}

// Every path the iterator returns for `pattern` in `dir`, and the state it leaves.
std::vector<std::string> Iterate(const std::string& dir, const std::string& pattern, NextFileState& state) {
  std::vector<std::string> paths;
  bool first = true;
  std::string path;
  while (TELMO_MGMT_NextFile(first, dir, pattern, state, path)) {
    EXPECT_FALSE(first);
    EXPECT_EQ(path, state.current_path);
    paths.push_back(path);
    if (paths.size() > 100) break;
  }
  EXPECT_FALSE(state.find);
  return paths;
}

}  // namespace

TEST(FindFileInTree, FindsNestedExecutableAppendingExeAndRestoresDirectory) {
  TempNode node;
  const fs::path root = fs::canonical(node.product_root());
  WriteFile(root / "bin" / "other.exe", "x");
  WriteFile(root / "io" / "dlgp" / "x64" / "Telmo_Modbus_Dlgp.exe", "x");
  WriteFile(root / "io" / "settings.ini", "x");
  const std::string before = CurrentDirectory();

  std::string found;
  ASSERT_EQ(TELMO_MGMT_FindFileInTree(root.string(), "telmo_modbus_dlgp", found), 1);
  // The name as it stands on disk, so that the path opens on a case-sensitive system.
  EXPECT_EQ(found, (root / "io" / "dlgp" / "x64" / "Telmo_Modbus_Dlgp.exe").string());
  EXPECT_EQ(CurrentDirectory(), before);

  ASSERT_EQ(TELMO_MGMT_FindFileInTree(root.string(), "SETTINGS.INI", found), 1);
  EXPECT_EQ(found, (root / "io" / "settings.ini").string());
  EXPECT_EQ(CurrentDirectory(), before);

  // A name with a dot is searched as given.
  found = "unchanged";
  EXPECT_EQ(TELMO_MGMT_FindFileInTree(root.string(), "settings", found), 0);
  EXPECT_EQ(found, "unchanged");
  EXPECT_EQ(CurrentDirectory(), before);
}

TEST(FindFileInTree, MissingOrDotDirectoriesFindNothing) {
  TempNode node;
  WriteFile(node.product_root() / "tool.exe", "x");
  const std::string before = CurrentDirectory();
  std::string found;
  EXPECT_EQ(TELMO_MGMT_FindFileInTree((node.root() / "missing").string(), "tool", found), 0);
  ASSERT_TRUE(SetCurrentDirectoryA(node.product_root().string()));
  EXPECT_EQ(TELMO_MGMT_FindFileInTree(".", "tool", found), 0);
  EXPECT_EQ(TELMO_MGMT_FindFileInTree("..", "tool", found), 0);
  EXPECT_EQ(CurrentDirectory(), fs::canonical(node.product_root()).string());
  ASSERT_TRUE(SetCurrentDirectoryA(before));
}

TEST(FindFileInTree, DirectoryOfTheSameNameIsNoExecutable) {
  TempNode node;
  const fs::path root = fs::canonical(node.product_root());
  fs::create_directories(root / "a" / "tool.exe");
  WriteFile(root / "b" / "tool.exe", "x");
  std::string found;
  ASSERT_EQ(TELMO_MGMT_FindFileInTree(root.string(), "tool", found), 1);
  EXPECT_EQ(found, (root / "b" / "tool.exe").string());
}

TEST(FindFileInTree, SymbolicLinkLoopsEndAndRestoreDirectory) {
  TempNode node;
  const fs::path root = fs::canonical(node.product_root());
  fs::create_directories(root / "a" / "b");
  fs::create_directory_symlink(root, root / "a" / "b" / "up");
  fs::create_directory_symlink(".", root / "a" / "self");
  fs::create_directory_symlink(root / "a", root / "z_link_to_a");
  WriteFile(root / "z_last" / "deep" / "found.exe", "x");
  const std::string before = CurrentDirectory();

  std::string found;
  EXPECT_EQ(TELMO_MGMT_FindFileInTree(root.string(), "absent", found), 0);
  EXPECT_EQ(CurrentDirectory(), before);
  // The walk still reaches what stands after the loops.
  ASSERT_EQ(TELMO_MGMT_FindFileInTree(root.string(), "found", found), 1);
  EXPECT_EQ(found, (root / "z_last" / "deep" / "found.exe").string());
  EXPECT_EQ(CurrentDirectory(), before);
}

TEST(NextFile, ReturnsMatchingFilesAndNeverPlainDirectories) {
  TempNode node;
  const fs::path dir = node.mgmt_dir();
  WriteFile(dir / "MODBUS1.csd", "x");
  WriteFile(dir / "opc2.CSD", "x");
  WriteFile(dir / "notes.txt", "x");
  fs::create_directories(dir / "archive.csd");

  NextFileState state;
  const auto paths = Iterate(dir.string(), "*.csd", state);
  EXPECT_EQ(paths, (std::vector<std::string>{(dir / "MODBUS1.csd").string(), (dir / "opc2.CSD").string()}));
  EXPECT_TRUE(state.current_path.empty());

  // A directory written with a trailing backslash gets no second separator.
  NextFileState again;
  const auto with_separator = Iterate(dir.string() + "\\", "*.csd", again);
  ASSERT_EQ(with_separator.size(), 2u);
  EXPECT_EQ(with_separator[0], dir.string() + "\\MODBUS1.csd");
}

TEST(NextFile, FirstSearchFindingNothingEndsAtOnce) {
  TempNode node;
  fs::create_directories(node.mgmt_dir() / "only_a_dir.csd");
  for (const std::string& dir : {node.mgmt_dir().string(), (node.root() / "missing").string()}) {
    NextFileState state;
    bool first = true;
    std::string path = "untouched";
    EXPECT_FALSE(TELMO_MGMT_NextFile(first, dir, "*.csd", state, path)) << dir;
    EXPECT_FALSE(first);
    EXPECT_FALSE(state.find);
    EXPECT_EQ(path, "untouched");
    // Asking again after the end is harmless and still ends.
    EXPECT_FALSE(TELMO_MGMT_NextFile(first, dir, "*.csd", state, path));
  }
}

namespace {

// A node whose registry does or does not hold the 64-bit historian's version.
struct HistorianNode {
  HistorianNode(const char* wow64, const std::optional<std::string>& version) {
    node.Set("TELMO_WOW64", wow64);
    if (!version) return;
    HKEY key;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvelco\\Setup\\Products\\Corvanisx64", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    if (!version->empty()) {
      EXPECT_TRUE(telmo::platform::RegSetString(key, "ProductVersion", *version).ok());
    }
  }
  [[nodiscard]] static std::string Choose(std::string_view executable) {
    std::string chosen = "stale";
    TELMO_MGMT_SelectTarnexDlgp(executable, chosen);
    return chosen;
  }
  TempNode node;
};

}  // namespace

TEST(SelectTarnexDlgp, SixtyFourBitHostWithHistorianPicksTheX64Programs) {
  HistorianNode host("1", "5.2.1");
  EXPECT_EQ(host.Choose("C:\\Program Files\\IO\\TELMO_TARNEX_DLGP.EXE"),
            "C:\\Program Files\\IO\\telmo_tarnex_dlgp_x64.exe");
  EXPECT_EQ(host.Choose("%TELMOIO%\\Bin/telmo_tarnex_hist_dlgp.exe"), "%TELMOIO%\\Bin/telmo_tarnex_hist_dlgp_x64.exe");
  EXPECT_EQ(host.Choose("telmo_tarnex_dlgp"), "telmo_tarnex_dlgp_x64.exe");
  // Only the file name decides; a directory named after the program does not.
  EXPECT_EQ(host.Choose("/opt/telmo_tarnex_dlgp/other.exe"), "/opt/telmo_tarnex_dlgp/other.exe");
  EXPECT_EQ(host.Choose("C:\\IO\\telmo_modbus_dlgp.exe"), "C:\\IO\\telmo_modbus_dlgp.exe");
}

TEST(SelectTarnexDlgp, SixtyFourBitHostWithoutHistorianPicksThe32BitPrograms) {
  for (const auto& version : {std::optional<std::string>{}, std::optional<std::string>{""}}) {
    HistorianNode host("1", version);  // no key, or the key without its version
    EXPECT_EQ(host.Choose("D:\\IO\\telmo_tarnex_dlgp_x64.exe"), "D:\\IO\\telmo_tarnex_dlgp.exe");
    EXPECT_EQ(host.Choose("D:\\IO\\Telmo_Tarnex_Hist_Dlgp.exe"), "D:\\IO\\telmo_tarnex_hist_dlgp.exe");
  }
}

TEST(SelectTarnexDlgp, LongVersionTextStillMeansInstalled) {
  HistorianNode host("1", std::string(400, '9'));
  EXPECT_EQ(host.Choose("telmo_tarnex_hist_dlgp.exe"), "telmo_tarnex_hist_dlgp_x64.exe");
}

TEST(SelectTarnexDlgp, ThirtyTwoBitHostOnlyUndoesX64Names) {
  HistorianNode host("0", "5.2.1");
  EXPECT_EQ(host.Choose("E:\\IO\\telmo_tarnex_hist_dlgp_x64.exe"), "E:\\IO\\telmo_tarnex_hist_dlgp.exe");
  EXPECT_EQ(host.Choose("E:\\IO\\TELMO_TARNEX_DLGP_X64.EXE"), "E:\\IO\\telmo_tarnex_dlgp.exe");
  EXPECT_EQ(host.Choose("E:\\IO\\TELMO_TARNEX_DLGP.EXE"), "E:\\IO\\TELMO_TARNEX_DLGP.EXE");
  EXPECT_EQ(host.Choose("E:\\IO_x64\\telmo_tarnex_dlgp.exe"), "E:\\IO_x64\\telmo_tarnex_dlgp.exe");
}
