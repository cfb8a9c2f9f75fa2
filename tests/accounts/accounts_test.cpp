// LogonUserA against real PAM stacks written into a temporary PAM directory.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "platform/accounts.h"
#include "platform/win_error.h"
#include "support/test_env.h"

namespace fs = std::filesystem;
using telmo::test::TempNode;
using telmo::test::WriteFile;

namespace {

constexpr const char* kPermitAll = "auth required pam_permit.so\naccount required pam_permit.so\n";

// A node whose PAM directory holds the given "telmo" stack.
struct PamNode {
  explicit PamNode(const std::string& telmo_stack) {
    WriteFile(pam_dir() / "telmo", telmo_stack);
    node.Set("TELMO_PAM_CONFDIR", pam_dir().string());
    node.Set("TELMO_PAM_SERVICE", std::nullopt);
  }
  [[nodiscard]] fs::path pam_dir() const { return node.root() / "pam.d"; }
  TempNode node;
};

BOOL Logon(std::string_view user, std::string_view domain, std::string_view password, TokenHandle& token) {
  return LogonUserA(user, domain, password, LOGON32_LOGON_SERVICE, LOGON32_PROVIDER_DEFAULT, token);
}

}  // namespace

TEST(Logon, AcceptedAccountYieldsItsIdentity) {
  PamNode pam(kPermitAll);
  TokenHandle token;
  ASSERT_TRUE(Logon("nobody", ".", "whatever", token));
  ASSERT_TRUE(token);
  EXPECT_EQ(token->user, "nobody");
  EXPECT_EQ(token->uid, 65534u);
  EXPECT_EQ(token->gid, 65534u);
  EXPECT_EQ(token->home, "/nonexistent");
  EXPECT_NE(std::find(token->groups.begin(), token->groups.end(), 65534u), token->groups.end());
  EXPECT_TRUE(CloseHandle(token));
  EXPECT_FALSE(token);

  ASSERT_TRUE(Logon("root", ".", "", token));
  EXPECT_EQ(token->uid, 0u);
  EXPECT_EQ(token->home, "/root");
  EXPECT_NE(std::find(token->groups.begin(), token->groups.end(), 0u), token->groups.end());
}

TEST(Logon, RefusalsAreLogonFailuresAndLeaveNoToken) {
  PamNode pam("auth required pam_deny.so\naccount required pam_permit.so\n");
  TokenHandle token = std::make_unique<AccessToken>();
  EXPECT_FALSE(Logon("nobody", ".", "whatever", token));
  EXPECT_EQ(GetLastError(), ERROR_LOGON_FAILURE);
  EXPECT_FALSE(token);

  // The account phase counts as much as the password.
  WriteFile(pam.pam_dir() / "telmo", "auth required pam_permit.so\naccount required pam_deny.so\n");
  EXPECT_FALSE(Logon("nobody", ".", "whatever", token));
  EXPECT_EQ(GetLastError(), ERROR_LOGON_FAILURE);

  // No service file and no "other": PAM cannot decide, which is no success.
  fs::remove(pam.pam_dir() / "telmo");
  EXPECT_FALSE(Logon("nobody", ".", "whatever", token));
  EXPECT_EQ(GetLastError(), ERROR_LOGON_FAILURE);
  EXPECT_FALSE(token);
}

TEST(Logon, UnknownAccountFailsEvenWhenPamPermitsAll) {
  PamNode pam(kPermitAll);
  TokenHandle token;
  EXPECT_FALSE(Logon("telmo-no-such-user-7731", ".", "x", token));
  EXPECT_EQ(GetLastError(), ERROR_LOGON_FAILURE);
  EXPECT_FALSE(Logon("", ".", "x", token));
  EXPECT_EQ(GetLastError(), ERROR_LOGON_FAILURE);
  EXPECT_FALSE(Logon(std::string_view("nobody\0x", 8), ".", "x", token));
  EXPECT_EQ(GetLastError(), ERROR_LOGON_FAILURE);
  EXPECT_FALSE(token);
}

TEST(Logon, OnlyTheLocalNodeIsADomain) {
  PamNode pam(kPermitAll);  // node name TESTNODE
  TokenHandle token;
  EXPECT_TRUE(Logon("nobody", "testnode", "x", token));
  EXPECT_TRUE(Logon("nobody", "", "x", token));
  EXPECT_FALSE(Logon("nobody", "CORPDOM", "x", token));
  EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_DOMAIN);
  EXPECT_FALSE(token);
  EXPECT_FALSE(Logon("nobody", "TESTNODE2", "x", token));
  EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_DOMAIN);
}

TEST(Logon, PasswordReachesPamThroughTheConversation) {
  TempNode node;
  const fs::path script = node.root() / "check_password.sh";
  // pam_exec hands the password on standard input, NUL-terminated.
  WriteFile(script, "#!/bin/sh\npw=$(tr -d '\\000')\n[ \"$pw\" = \"s3 cr;et'x\" ]\n");
  fs::permissions(script, fs::perms::owner_all);
  WriteFile(node.root() / "pam.d" / "telmo",
            "auth required pam_exec.so quiet expose_authtok " + script.string() + "\naccount required pam_permit.so\n");
  node.Set("TELMO_PAM_CONFDIR", (node.root() / "pam.d").string());
  TokenHandle token;
  EXPECT_TRUE(Logon("nobody", ".", "s3 cr;et'x", token));
  EXPECT_FALSE(Logon("nobody", ".", "s3 cr;et'y", token));
  EXPECT_EQ(GetLastError(), ERROR_LOGON_FAILURE);
  EXPECT_FALSE(Logon("nobody", ".", "", token));
  EXPECT_EQ(GetLastError(), ERROR_LOGON_FAILURE);
}

TEST(Logon, ServiceNameComesFromTheEnvironment) {
  PamNode pam("auth required pam_deny.so\naccount required pam_deny.so\n");
  WriteFile(pam.pam_dir() / "telmo-test", kPermitAll);
  pam.node.Set("TELMO_PAM_SERVICE", "telmo-test");
  TokenHandle token;
  EXPECT_TRUE(Logon("nobody", ".", "x", token));
}

TEST(Logon, UnknownLogonTypeOrProviderIsRefused) {
  PamNode pam(kPermitAll);
  TokenHandle token;
  EXPECT_FALSE(LogonUserA("nobody", ".", "x", 9, LOGON32_PROVIDER_DEFAULT, token));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(LogonUserA("nobody", ".", "x", LOGON32_LOGON_SERVICE, 3, token));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(LogonUserA("nobody", ".", "x", LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, token));
}
