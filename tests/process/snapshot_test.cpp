// The process snapshot and the search for processes carrying our marker.
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/process.h"
#include "platform/win_error.h"
#include "process_test_support.h"
#include "support/test_env.h"

namespace telmo::platform {
namespace {

namespace fs = std::filesystem;

/// A copy of /bin/sleep under a name of our choosing.
fs::path SleepCopy(const test::TempNode& node, const std::string& name) {
  const auto path = node.root() / name;
  fs::copy_file("/bin/sleep", path);
  fs::permissions(path, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  return path;
}

ProcessHandle StartMarked(const fs::path& program) {
  SpawnOptions options;
  options.program = program.string();
  options.arguments = {"30"};
  auto started = SpawnProcess(options);
  EXPECT_TRUE(started.ok()) << started.error();
  return started.ok() ? std::move(started).value() : ProcessHandle{};
}

/// Started around the manager, with the environment given (and so no marker of ours).
pid_t StartUnmarked(const fs::path& program, std::vector<std::string> env) {
  std::string path = program.string();
  char seconds[] = "30";
  char* argv[] = {path.data(), seconds, nullptr};
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = 0;
  EXPECT_EQ(::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, envp.data()), 0);
  return pid;
}

void KillUnmarked(pid_t pid) {
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

std::vector<DWORD> SnapshotPidsNamed(const std::string& image) {
  std::vector<DWORD> pids;
  auto snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  EXPECT_TRUE(snapshot);
  PROCESSENTRY32 entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (entry.szExeFile == image) pids.push_back(entry.th32ProcessID);
  }
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  EXPECT_TRUE(CloseHandle(snapshot));
  return pids;
}

TEST(ProcessSnapshot, FindsProcessesByTheFileNameOfTheirExecutable) {
  test::TempNode node;
  const auto program = SleepCopy(node, "telmo_probe.exe");
  auto child = StartMarked(program);
  const auto self = fs::read_symlink("/proc/self/exe").filename().string();
  EXPECT_EQ(SnapshotPidsNamed("telmo_probe.exe"), std::vector<DWORD>{GetProcessId(child)});
  const auto same_image = SnapshotPidsNamed(self);  // other test processes may run too
  EXPECT_NE(std::find(same_image.begin(), same_image.end(), GetCurrentProcessId()), same_image.end());

  // A program replaced on disk while it runs keeps its name.
  fs::remove(program);
  EXPECT_EQ(SnapshotPidsNamed("telmo_probe.exe"), std::vector<DWORD>{GetProcessId(child)});
  TerminateProcess(child, 0);
  EXPECT_TRUE(SnapshotPidsNamed("telmo_probe.exe").empty());

  EXPECT_FALSE(CreateToolhelp32Snapshot(0, 0));
}

TEST(MarkedProcesses, OnlyProcessesWithThisManagersMarkerAreFound) {
  test::TempNode node;
  const auto program = SleepCopy(node, "MarkedSleeper");
  auto marked = StartMarked(program);
  const pid_t bare = StartUnmarked(program, {"PATH=/bin"});
  const pid_t foreign = StartUnmarked(
      program, {std::string(kMarkerDirectoryVariable) + "=/another/manager", std::string(kMarkerImageVariable) + "=MarkedSleeper"});
  const DWORD marked_pid = GetProcessId(marked);

  EXPECT_EQ(FindMarkedProcesses("markedsleeper"), std::vector<DWORD>{marked_pid});
  EXPECT_EQ(MarkedProcessesByImage()["MARKEDSLEEPER"], std::vector<DWORD>{marked_pid});
  EXPECT_TRUE(FindMarkedProcesses("sleep").empty());
  EXPECT_TRUE(FindMarkedProcesses("").empty());
  EXPECT_TRUE(CarriesMarker(marked, "MARKEDSLEEPER"));
  EXPECT_FALSE(CarriesMarker(OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(bare)), "MarkedSleeper"));
  EXPECT_FALSE(CarriesMarker(OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(foreign)), "MarkedSleeper"));

  // Another management directory is another manager.
  {
    test::ScopedEnv other("TELMOMGMT", (node.root() / "other").string());
    EXPECT_TRUE(FindMarkedProcesses("MarkedSleeper").empty());
    EXPECT_FALSE(CarriesMarker(marked, "MarkedSleeper"));
  }
  ASSERT_TRUE(TerminateProcess(marked, 0));
  EXPECT_FALSE(CarriesMarker(marked, "MarkedSleeper"));
  EXPECT_TRUE(FindMarkedProcesses("MarkedSleeper").empty());
  KillUnmarked(bare);
  KillUnmarked(foreign);
}

}  // namespace
}  // namespace telmo::platform
