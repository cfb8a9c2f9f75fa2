#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/sysinfo.h"
#include "platform/win_error.h"
#include "support/test_env.h"

namespace {

using telmo::test::TempNode;

TEST(SysInfo, Wow64FollowsTheHostUnlessOverridden) {
  TempNode node;
  node.Set("TELMO_WOW64", std::nullopt);
  EXPECT_EQ(TELMO_IsWow64(), 1);  // every host this runs on is 64-bit
  node.Set("TELMO_WOW64", "0");
  EXPECT_EQ(TELMO_IsWow64(), 0);
  node.Set("TELMO_WOW64", "1");
  EXPECT_EQ(TELMO_IsWow64(), 1);
}

TEST(SysInfo, ModuleFileNameFollowsWindowsBufferRules) {
  const auto path = telmo::platform::ModuleFileName();
  ASSERT_TRUE(path.ok());
  EXPECT_TRUE(std::filesystem::equivalent(path.value(), "/proc/self/exe"));

  char buffer[512];
  const DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  ASSERT_EQ(n, path->size());
  EXPECT_EQ(std::string(buffer), path.value());

  // Too small: cut, NUL-terminated within the buffer, size returned.
  char small[8];
  std::memset(small, '#', sizeof small);
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameA(nullptr, small, 5), 5u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::string(small), path->substr(0, 4));
  EXPECT_EQ(small[5], '#');  // nothing written past the size given

  int other_module = 0;
  EXPECT_EQ(GetModuleFileNameA(&other_module, buffer, sizeof buffer), 0u);
  EXPECT_EQ(GetLastError(), ERROR_CALL_NOT_IMPLEMENTED);
}

TEST(SysInfo, ShellVersionIsAboveSixUnlessOverridden) {
  TempNode node;
  node.Set("TELMO_SHELL_VERSION", std::nullopt);
  EXPECT_EQ(telmo::platform::ShellVersion(), (6u << 16) | 1u);
  EXPECT_GT(telmo::platform::ShellVersion(), 0x60000u);
  node.Set("TELMO_SHELL_VERSION", "6.0");
  EXPECT_EQ(telmo::platform::ShellVersion(), 0x60000u);
  node.Set("TELMO_SHELL_VERSION", "10.65535");
  EXPECT_EQ(telmo::platform::ShellVersion(), (10u << 16) | 0xFFFFu);
  for (const char* bad : {"6", "6.x", "", ".1", "6.1.2", "70000.1", "-1.0"}) {
    node.Set("TELMO_SHELL_VERSION", bad);
    EXPECT_EQ(telmo::platform::ShellVersion(), 0u) << bad;
  }
  DLLVERSIONINFO info;
  info.cbSize = 16;
  EXPECT_EQ(DllGetVersion(&info), E_INVALIDARG);
}

TEST(SysInfo, PrivilegeIsGrantedWithoutRoot) {
  EXPECT_TRUE(telmo::platform::EnablePrivilege("SeDebugPrivilege").ok());
  EXPECT_EQ(telmo::platform::EnablePrivilege("").error(), ERROR_INVALID_PARAMETER);
}

}  // namespace
