// Process handles: liveness, termination, opening by id and reaping.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/process.h"
#include "platform/win_error.h"
#include "process_test_support.h"

extern char** environ;

namespace telmo::platform {
namespace {

ProcessHandle Start(std::string program, std::vector<std::string> args = {}) {
  SpawnOptions options;
  options.program = std::move(program);
  options.arguments = std::move(args);
  auto started = SpawnProcess(options);
  EXPECT_TRUE(started.ok()) << started.error();
  return started.ok() ? std::move(started).value() : ProcessHandle{};
}

TEST(ProcessHandles, AnEndedChildNeverCountsAsAlive) {
  auto child = Start("/bin/sleep", {"30"});
  const DWORD pid = GetProcessId(child);
  ASSERT_NE(pid, 0u);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(child, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(child, 50), WAIT_TIMEOUT);

  // The liveness test of the supervision: open by id, then ask the exit code.
  auto opened = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
  ASSERT_TRUE(opened);
  ASSERT_TRUE(GetExitCodeProcess(opened, &code));
  EXPECT_EQ(code, STILL_ACTIVE);

  ASSERT_TRUE(TerminateProcess(child, 7));
  // Right after the kill, through either handle, the code given is reported.
  ASSERT_TRUE(GetExitCodeProcess(child, &code));
  EXPECT_EQ(code, 7u);
  ASSERT_TRUE(GetExitCodeProcess(opened, &code));
  EXPECT_EQ(code, 7u);
  EXPECT_EQ(WaitForSingleObject(opened, 0), WAIT_OBJECT_0);
  EXPECT_FALSE(TerminateProcess(child, 9));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

  EXPECT_FALSE(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(test::NoZombieChild());
}

TEST(ProcessHandles, ChildThatExitsOnItsOwnIsSeenEndedWithoutAWait) {
  for (int i = 0; i < 20; ++i) {
    auto child = Start("/bin/sh", {"-c", "exit 5"});
    const DWORD pid = GetProcessId(child);
    // Poll as the periodic check does: never a wait, never a stale "alive".
    bool ended = false;
    for (int tries = 0; tries < 1000 && !ended; ++tries) {
      DWORD code = 0;
      auto opened = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
      ended = !opened || (GetExitCodeProcess(opened, &code) && code != STILL_ACTIVE);
      if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(ended);
    EXPECT_EQ(test::ExitCodeAfterEnd(child), 5u);
  }
}

TEST(ProcessHandles, OrphanedChildrenAreReaped) {
  for (int i = 0; i < 5; ++i) {
    (void)Start("/bin/true");  // handle dropped at once
    (void)Start("/bin/sh", {"-c", "sleep 0.05; exit 4"});
  }
  // One killed by id after its handle was closed, as the kill by marker does.
  auto sleeper = Start("/bin/sleep", {"30"});
  const DWORD pid = GetProcessId(sleeper);
  ASSERT_TRUE(CloseHandle(sleeper));
  EXPECT_FALSE(CloseHandle(sleeper));
  auto again = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
  ASSERT_TRUE(again);
  ASSERT_TRUE(TerminateProcess(again, 0));
  again.reset();
  EXPECT_TRUE(test::AllChildrenReaped());
}

TEST(ProcessHandles, ManyThreadsStartingAtOnceLeaveNothingBehind) {
  // The descriptors kept for the whole process (the reaper's wake-up and
  // watch set, the launcher's /dev/null and slots) appear with the first
  // child; nothing else may stay.
  EXPECT_EQ(test::ExitCodeAfterEnd(Start("/bin/true")), 0u);
  ASSERT_TRUE(test::AllChildrenReaped());
  const int fds_before = test::OpenDescriptorCount();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 15; ++i) {
        auto child = Start("/bin/true");
        if (i % 2 == 0) {
          EXPECT_EQ(test::ExitCodeAfterEnd(child), 0u);
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_TRUE(test::AllChildrenReaped());
  EXPECT_LE(test::SettledDescriptorCount(fds_before), fds_before);

  // A running child costs one descriptor (a node of thousands of components
  // must stay within the open-file limit).
  std::vector<ProcessHandle> running;
  for (int i = 0; i < 10; ++i) running.push_back(Start("/bin/sleep", {"30"}));
  EXPECT_EQ(test::OpenDescriptorCount(), fds_before + 10);
  for (auto& child : running) EXPECT_TRUE(TerminateProcess(child, 1));
}

TEST(ProcessHandles, ProcessThatIsNotOurChild) {
  EXPECT_FALSE(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  auto self = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, GetCurrentProcessId());
  ASSERT_TRUE(self);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(self, &code));
  EXPECT_EQ(code, STILL_ACTIVE);

  // Started behind the registry's back: its status is not ours to report.
  pid_t pid = 0;
  char sleep_path[] = "/bin/sleep";
  char seconds[] = "30";
  char* argv[] = {sleep_path, seconds, nullptr};
  ASSERT_EQ(::posix_spawn(&pid, sleep_path, nullptr, nullptr, argv, environ), 0);
  auto other = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
  ASSERT_TRUE(other);
  ASSERT_TRUE(TerminateProcess(other, 9));
  ASSERT_TRUE(GetExitCodeProcess(other, &code));
  EXPECT_EQ(code, 0u);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);  // still there for its real parent
  EXPECT_TRUE(WIFSIGNALED(status));

  ProcessHandle empty;
  EXPECT_FALSE(GetExitCodeProcess(empty, &code));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(TerminateProcess(empty, 0));
  EXPECT_EQ(WaitForSingleObject(empty, 0), WAIT_FAILED);
  EXPECT_EQ(GetProcessId(empty), 0u);
  EXPECT_EQ(empty.value(), 0);
}

}  // namespace
}  // namespace telmo::platform
