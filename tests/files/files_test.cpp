// Directory listing, attributes, moves and atomic writes against a real
// temporary directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/win_error.h"
#include "support/test_env.h"

namespace fs = std::filesystem;
using telmo::platform::MatchesPattern;
using telmo::platform::WriteFileAtomically;
using telmo::test::ReadFile;
using telmo::test::TempNode;
using telmo::test::WriteFile;

namespace {

struct Listed {
  std::string name;
  DWORD attributes;
};

std::vector<Listed> List(const std::string& path_with_pattern) {
  std::vector<Listed> out;
  WIN32_FIND_DATAA data;
  FindHandle find = FindFirstFileA(path_with_pattern, &data);
  if (!find) return out;
  do {
    out.push_back({data.cFileName, data.dwFileAttributes});
  } while (FindNextFileA(find, &data));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  EXPECT_TRUE(FindClose(find));
  return out;
}

std::vector<std::string> Names(const std::vector<Listed>& listed) {
  std::vector<std::string> names;
  for (const auto& l : listed) names.push_back(l.name);
  return names;
}

}  // namespace

TEST(Pattern, WildcardsMatchIgnoringCase) {
  EXPECT_TRUE(MatchesPattern("*.csd", "SERVER1.CSD"));
  EXPECT_TRUE(MatchesPattern("*.csd", ".csd"));
  EXPECT_FALSE(MatchesPattern("*.csd", "server1.csdx"));
  EXPECT_FALSE(MatchesPattern("*.csd", "server1.csd.tmp"));
  EXPECT_TRUE(MatchesPattern("svc_*", "SVC_queue_0001"));
  EXPECT_FALSE(MatchesPattern("svc_*", "svc"));
  EXPECT_TRUE(MatchesPattern("a?c", "abc"));
  EXPECT_FALSE(MatchesPattern("a?c", "ac"));
  EXPECT_FALSE(MatchesPattern("a?c", "abbc"));
  // Backtracking over several stars.
  EXPECT_TRUE(MatchesPattern("*a*b*c", "xxaxxbxxbxc"));
  EXPECT_FALSE(MatchesPattern("*a*b*c", "xxaxxbxxbx"));
  EXPECT_TRUE(MatchesPattern("telmo_dlgp.exe", "TELMO_DLGP.EXE"));
  EXPECT_FALSE(MatchesPattern("telmo_dlgp.exe", "telmo_dlgp.ex"));
}

TEST(Pattern, TrailingDotStarAlsoMatchesNamesWithoutExtension) {
  EXPECT_TRUE(MatchesPattern("*.*", "HistoryQueue"));
  EXPECT_TRUE(MatchesPattern("*.*", "."));
  EXPECT_TRUE(MatchesPattern("*.*", ".."));
  EXPECT_TRUE(MatchesPattern("readme.*", "README"));
  EXPECT_TRUE(MatchesPattern("readme.*", "readme.txt"));
  EXPECT_FALSE(MatchesPattern("readme.*", "readmes"));
}

TEST(Listing, ListsMatchingEntriesWithWindowsAttributes) {
  TempNode node;
  const fs::path dir = node.root() / "list";
  WriteFile(dir / "b.csd", "x");
  WriteFile(dir / "A.CSD", "x");
  WriteFile(dir / "notes.txt", "x");
  WriteFile(dir / ".hidden.csd", "x");
  fs::create_directories(dir / "sub.csd");
  fs::create_directories(dir / "plain");

  // Backslash separators, sorted upper-case order, directories included.
  const auto csd = List(dir.string() + "\\*.csd");
  ASSERT_EQ(Names(csd), (std::vector<std::string>{".hidden.csd", "A.CSD", "b.csd", "sub.csd"}));
  EXPECT_EQ(csd[0].attributes, FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(csd[1].attributes, FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(csd[3].attributes, FILE_ATTRIBUTE_DIRECTORY);

  // "*" and "*.*" list "." and ".." as plain directories, and names without a dot.
  for (const char* pattern : {"/*", "/*.*"}) {
    const auto all = List(dir.string() + pattern);
    ASSERT_EQ(all.size(), 8u) << pattern;
    EXPECT_EQ(all[0].name, ".");
    EXPECT_EQ(all[0].attributes, FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(all[1].name, "..");
    EXPECT_EQ(all[1].attributes, FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(Names(all).back(), "sub.csd");
  }

  // A name without wildcards finds the entry whatever its case.
  EXPECT_EQ(Names(List(dir.string() + "/notes.TXT")), std::vector<std::string>{"notes.txt"});
}

TEST(Listing, EmptySearchesFailWithWindowsErrors) {
  TempNode node;
  const fs::path dir = node.root() / "list";
  WriteFile(dir / "one.txt", "x");
  WIN32_FIND_DATAA data;

  FindHandle none = FindFirstFileA(dir.string() + "\\*.csd", &data);
  EXPECT_FALSE(none);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  FindHandle missing = FindFirstFileA((node.root() / "nowhere").string() + "\\*", &data);
  EXPECT_FALSE(missing);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  FindHandle trailing = FindFirstFileA(dir.string() + "\\", &data);
  EXPECT_FALSE(trailing);

  EXPECT_FALSE(FindNextFileA(none, &data));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(FindClose(none));

  FindHandle found = FindFirstFileA(dir.string() + "\\one.txt", &data);
  ASSERT_TRUE(found);
  EXPECT_FALSE(FindNextFileA(found, &data));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  EXPECT_TRUE(FindClose(found));
  EXPECT_FALSE(found);
}

TEST(Listing, DeletingWhileWalkingSkipsVanishedEntries) {
  TempNode node;
  const fs::path dir = node.root() / "queue";
  for (int i = 0; i < 50; ++i) WriteFile(dir / ("q_" + std::to_string(100 + i)), "x");
  WIN32_FIND_DATAA data;
  FindHandle find = FindFirstFileA(dir.string() + "\\q_*", &data);
  ASSERT_TRUE(find);
  EXPECT_EQ(data.cFileName, "q_100");
  // Delete the next entry ourselves: the walk must not return it.
  ASSERT_TRUE(DeleteFileA(dir.string() + "\\q_101"));
  std::set<std::string> seen{data.cFileName};
  ASSERT_TRUE(DeleteFileA(dir.string() + "\\" + data.cFileName));
  while (FindNextFileA(find, &data)) {
    seen.insert(data.cFileName);
    EXPECT_TRUE(DeleteFileA(dir.string() + "/" + data.cFileName)) << data.cFileName;
  }
  EXPECT_EQ(seen.size(), 49u);
  EXPECT_EQ(seen.count("q_101"), 0u);
  EXPECT_TRUE(fs::is_empty(dir));
}

TEST(Listing, SymbolicLinksAreFollowedAndDanglingOnesListed) {
  TempNode node;
  const fs::path dir = node.root() / "links";
  fs::create_directories(dir / "real");
  fs::create_directory_symlink(dir / "real", dir / "to_real");
  fs::create_symlink(dir / "gone", dir / "dangling");
  const auto listed = List(dir.string() + "/*");
  ASSERT_EQ(Names(listed), (std::vector<std::string>{".", "..", "dangling", "real", "to_real"}));
  EXPECT_EQ(listed[2].attributes, FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(listed[4].attributes, FILE_ATTRIBUTE_DIRECTORY);
}

TEST(Attributes, FilesAndDirectories) {
  TempNode node;
  const fs::path dir = node.root() / "attr";
  WriteFile(dir / "file.txt", "x");
  WriteFile(dir / ".profile", "x");
  fs::create_directories(dir / ".cache");
  EXPECT_EQ(GetFileAttributesA(dir.string() + "\\file.txt"), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(GetFileAttributesA(dir.string() + "\\.profile"), FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(GetFileAttributesA(dir.string() + "\\.cache\\"), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(GetFileAttributesA(dir.string()), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributesA(dir.string() + "\\missing"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  if (::geteuid() != 0) {
    ::chmod((dir / "file.txt").c_str(), 0444);
    EXPECT_EQ(GetFileAttributesA(dir.string() + "\\file.txt"), FILE_ATTRIBUTE_READONLY);
  }
}

TEST(Directories, CreateRemoveDeleteWithWindowsErrors) {
  TempNode node;
  const std::string base = node.root().string() + "\\work";
  ASSERT_TRUE(CreateDirectoryA(base, nullptr));
  EXPECT_FALSE(CreateDirectoryA(base, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(CreateDirectoryA(base + "\\a\\b", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  WriteFile(node.root() / "work" / "f", "x");
  EXPECT_FALSE(RemoveDirectoryA(base));
  EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
  EXPECT_FALSE(DeleteFileA(base));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(DeleteFileA(base + "\\f"));
  EXPECT_FALSE(DeleteFileA(base + "\\f"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(RemoveDirectoryA(base));
  EXPECT_FALSE(fs::exists(node.root() / "work"));
}

TEST(Directories, CurrentDirectoryAndSmallBuffer) {
  TempNode node;
  std::string saved;
  ASSERT_GT(GetCurrentDirectoryA(4096, saved), 0u);
  ASSERT_TRUE(SetCurrentDirectoryA(node.root().string() + "\\root"));
  std::string cwd;
  const DWORD n = GetCurrentDirectoryA(4096, cwd);
  EXPECT_EQ(cwd, fs::canonical(node.product_root()).string());
  EXPECT_EQ(n, cwd.size());

  std::string untouched = "keep";
  EXPECT_EQ(GetCurrentDirectoryA(static_cast<DWORD>(cwd.size()), untouched), cwd.size() + 1);
  EXPECT_EQ(untouched, "keep");

  EXPECT_FALSE(SetCurrentDirectoryA(node.root().string() + "\\missing"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  ASSERT_TRUE(SetCurrentDirectoryA(saved));
}

TEST(Move, ReplacesOnlyWhenAsked) {
  TempNode node;
  const fs::path a = node.root() / "a.txt";
  const fs::path b = node.root() / "b.txt";
  WriteFile(a, "new");
  WriteFile(b, "old");
  EXPECT_FALSE(MoveFileExA(a.string(), b.string(), 0));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(ReadFile(a), "new");
  EXPECT_EQ(ReadFile(b), "old");
  EXPECT_TRUE(MoveFileExA(a.string(), b.string(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_FALSE(fs::exists(a));
  EXPECT_EQ(ReadFile(b), "new");
  EXPECT_TRUE(MoveFileExA(b.string(), a.string(), 0));
  EXPECT_EQ(ReadFile(a), "new");
  EXPECT_FALSE(MoveFileExA(b.string(), a.string(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

namespace {
std::vector<std::string> DirectoryNames(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  return names;
}
}  // namespace

TEST(AtomicWrite, CreatesWithModeAndReplacesWhole) {
  TempNode node;
  const fs::path target = node.root() / "state" / "secret.def";
  ASSERT_TRUE(WriteFileAtomically(target.string(), "first\n", 0600).ok());
  EXPECT_EQ(ReadFile(target), "first\n");
  EXPECT_EQ(fs::status(target).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

  const std::string big(3 * 1024 * 1024 + 17, 'z');
  // Backslash separators are accepted like everywhere else.
  const std::string windows_path = node.root().string() + "\\state\\secret.def";
  ASSERT_TRUE(WriteFileAtomically(windows_path, big, 0640).ok());
  EXPECT_EQ(ReadFile(target), big);
  EXPECT_EQ(DirectoryNames(node.root() / "state"), std::vector<std::string>{"secret.def"});

  ASSERT_TRUE(WriteFileAtomically(target.string(), "").ok());
  EXPECT_EQ(ReadFile(target), "");
}

// A writer skips a file that already holds what it would write; anything
// else about the file (content, length, permission, a link) means writing.
TEST(AtomicWrite, FileHoldsOnlyTheSameContentInAPlainFileWithThatMode) {
  using telmo::platform::FileHolds;
  TempNode node;
  const fs::path target = node.root() / "state" / "server.csd";
  ASSERT_TRUE(WriteFileAtomically(target.string(), "a,b\n", 0600).ok());
  EXPECT_TRUE(FileHolds(target.string(), "a,b\n", 0600));
  EXPECT_FALSE(FileHolds(target.string(), "a,c\n", 0600));
  EXPECT_FALSE(FileHolds(target.string(), "a,b\n\n", 0600));
  EXPECT_FALSE(FileHolds(target.string(), "a,b", 0600));
  EXPECT_FALSE(FileHolds(target.string(), "a,b\n", 0644));
  const fs::path link = node.root() / "state" / "link.csd";
  fs::create_symlink(target, link);
  EXPECT_FALSE(FileHolds(link.string(), "a,b\n", 0600));
  EXPECT_FALSE(FileHolds((node.root() / "state" / "none.csd").string(), "", 0600));
}

TEST(AtomicWrite, FailedWriteKeepsOldFileAndLeavesNoTemporary) {
  TempNode node;
  const fs::path dir = node.root() / "store";
  const fs::path target = dir / "telmo_k_mgmt_parameters.def";
  WriteFile(target, "old content\n");

  // A file size limit makes the write itself fail half-way, even for root.
  telmo::Result<void> result;
  {
    const telmo::test::ScopedFileSizeLimit full_disk(4096);
    result = WriteFileAtomically(target.string(), std::string(64 * 1024, 'n'));
  }

  EXPECT_FALSE(result.ok());
  EXPECT_NE(result.error(), 0u);
  EXPECT_EQ(GetLastError(), result.error());
  EXPECT_EQ(ReadFile(target), "old content\n");
  EXPECT_EQ(DirectoryNames(dir), std::vector<std::string>{"telmo_k_mgmt_parameters.def"});
}

TEST(AtomicWrite, MissingDirectoryOrNoNameFails) {
  TempNode node;
  const auto missing = WriteFileAtomically((node.root() / "nowhere" / "f").string(), "x");
  EXPECT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(WriteFileAtomically(node.root().string() + "/", "x").ok());
}

TEST(AtomicWrite, ReadOnlyDirectoryKeepsOldFile) {
  TempNode node;
  const fs::path dir = node.root() / "ro";
  WriteFile(dir / "f", "old");
  ::chmod(node.root().c_str(), 0755);
  ::chmod(dir.c_str(), 0555);
  // Root writes anywhere: the write is tried by a child that has given up root.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(90);
    const auto denied = WriteFileAtomically((dir / "f").string(), "new");
    ::_exit(denied.ok() ? 91 : denied.error() == ERROR_ACCESS_DENIED ? 0 : 92);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::chmod(dir.c_str(), 0755);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadFile(dir / "f"), "old");
  EXPECT_EQ(DirectoryNames(dir), std::vector<std::string>{"f"});
}
