// Helpers shared by the process tests.
#pragma once

#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/process.h"

namespace telmo::test {

/// First argument that makes the test binary act as a child (see main.cpp).
inline constexpr const char* kChildFlag = "--process-child";

inline std::string SelfPath() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

/// Waits (bounded) for the process and returns its exit code.
inline DWORD ExitCodeAfterEnd(const ProcessHandle& process) {
  if (WaitForSingleObject(process, 10000) != WAIT_OBJECT_0) return STILL_ACTIVE;
  DWORD code = 0;
  return GetExitCodeProcess(process, &code) ? code : 0xDEADu;
}

/// True when this process has no child that has ended without being reaped.
inline bool NoZombieChild() {
  siginfo_t info{};
  if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0) return errno == ECHILD;
  return info.si_pid == 0;
}

/// True once this process has no child left at all (bounded wait).
inline bool AllChildrenReaped(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    siginfo_t info{};
    if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 && errno == ECHILD) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

inline int OpenDescriptorCount() {
  int n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

/// The descriptor count once it has come down to `target` (the reaper lets go
/// of an ended child's pidfd on its next pass), or after two seconds.
inline int SettledDescriptorCount(int target) {
  int count = OpenDescriptorCount();
  for (int i = 0; i < 200 && count > target; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    count = OpenDescriptorCount();
  }
  return count;
}

}  // namespace telmo::test
