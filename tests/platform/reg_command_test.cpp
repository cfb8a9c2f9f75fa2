// telmoctl reg, run as a program against a temporary node.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/win_error.h"
#include "support/test_env.h"

extern char** environ;

namespace {

using telmo::test::ReadFile;
using telmo::test::TempNode;

struct Outcome {
  int rc = -1;
  std::string out;
  std::string err;
};

/// Runs "telmoctl reg ARGS..." with standard input from /dev/null.
Outcome Reg(const TempNode& node, std::vector<std::string> args) {
  args.insert(args.begin(), {telmo::test::BuiltProgram("telmoctl").string(), "reg"});
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string out_path = (node.root() / "stdout").string();
  const std::string err_path = (node.root() / "stderr").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  Outcome o;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return o;
  int status = 0;
  ::waitpid(pid, &status, 0);
  o.rc = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  o.out = ReadFile(out_path);
  o.err = ReadFile(err_path);
  return o;
}

constexpr const char* kKey = "HKLM\\SOFTWARE\\Zarvelco\\TELMO";
constexpr const char* kNotFound = "ERROR: The system was unable to find the specified registry key or value.\n";
constexpr const char* kDone = "The operation completed successfully.\n";

TEST(RegCommand, AddCreatesTheKeyAndItsParentsThenQueryPrintsReadyForReading) {
  TempNode node;
  auto r = Reg(node, {"add", kKey, "/f"});
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.out, kDone);
  ASSERT_EQ(Reg(node, {"add", kKey, "/v", "TELMOPingFrequency", "/t", "REG_DWORD", "/d", "60"}).rc, 0);
  ASSERT_EQ(Reg(node, {"add", kKey, "/v", "TELMOMaxPingFailures", "/t", "reg_dword", "/d", "0x1F"}).rc, 0);
  ASSERT_EQ(Reg(node, {"add", kKey, "/v", "Root", "/t", "REG_EXPAND_SZ", "/d", "%TELMOROOT%\\bin"}).rc, 0);
  ASSERT_EQ(Reg(node, {"add", std::string(kKey) + "\\Sub", "/ve", "/d", "x"}).rc, 0);

  r = Reg(node, {"query", "hklm\\software\\zarvelco\\telmo"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out,
            "\n"
            "HKEY_LOCAL_MACHINE\\software\\zarvelco\\telmo\n"
            "    TELMOPingFrequency    REG_DWORD    0x3c\n"
            "    TELMOMaxPingFailures    REG_DWORD    0x1f\n"
            "    Root    REG_EXPAND_SZ    %TELMOROOT%\\bin\n"
            "\n"
            "HKEY_LOCAL_MACHINE\\software\\zarvelco\\telmo\\Sub\n");

  r = Reg(node, {"query", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Zarvelco\\TELMO", "-V", "telmopingfrequency"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out,
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Zarvelco\\TELMO\n"
            "    TELMOPingFrequency    REG_DWORD    0x3c\n\n");

  r = Reg(node, {"query", std::string(kKey) + "\\Sub", "/ve"});
  EXPECT_EQ(r.out, "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Zarvelco\\TELMO\\Sub\n    (Default)    REG_SZ    x\n\n");

  r = Reg(node, {"query", "HKLM\\SOFTWARE\\Zarvelco", "/s"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_NE(r.out.find("HKEY_LOCAL_MACHINE\\SOFTWARE\\Zarvelco\\TELMO\\Sub\n    (Default)    REG_SZ    x\n"),
            std::string::npos);

  // What the manager reads is what the console wrote.
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvelco\\TELMO", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(telmo::platform::RegGetDword(key, "TELMOMaxPingFailures").value(), 31u);
}

TEST(RegCommand, MissingKeyOrValueIsReportedWithExitCodeOne) {
  TempNode node;
  auto r = Reg(node, {"query", kKey});
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.err, kNotFound);
  EXPECT_EQ(r.out, "");
  ASSERT_EQ(Reg(node, {"add", kKey, "/f"}).rc, 0);
  r = Reg(node, {"query", kKey, "/v", "TELMOTestMessages"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.err, kNotFound);
  EXPECT_EQ(r.out, "");
  r = Reg(node, {"delete", kKey, "/v", "TELMOTestMessages", "/f"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.err, kNotFound);
  r = Reg(node, {"delete", "HKLM\\SOFTWARE\\Nothing", "/f"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.err, kNotFound);
}

TEST(RegCommand, OverwriteAndDeleteAskFirstAndRefuseWithoutATerminal) {
  TempNode node;
  ASSERT_EQ(Reg(node, {"add", kKey, "/v", "TELMOTestMessages", "/t", "REG_DWORD", "/d", "0"}).rc, 0);

  auto r = Reg(node, {"add", kKey, "/v", "TELMOTestMessages", "/t", "REG_DWORD", "/d", "1"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("/f"), std::string::npos);
  EXPECT_NE(Reg(node, {"query", kKey}).out.find("TELMOTestMessages    REG_DWORD    0x0\n"), std::string::npos);

  r = Reg(node, {"add", kKey, "/v", "TELMOTestMessages", "/t", "REG_DWORD", "/d", "4294967295", "/f"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_NE(Reg(node, {"query", kKey}).out.find("TELMOTestMessages    REG_DWORD    0xffffffff\n"), std::string::npos);

  EXPECT_EQ(Reg(node, {"delete", kKey, "/v", "TELMOTestMessages"}).rc, 1);
  EXPECT_EQ(Reg(node, {"delete", kKey}).rc, 1);
  EXPECT_EQ(Reg(node, {"query", kKey, "/v", "TELMOTestMessages"}).rc, 0);

  r = Reg(node, {"delete", kKey, "/v", "TELMOTestMessages", "/f"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out, kDone);
  EXPECT_EQ(Reg(node, {"query", kKey, "/v", "TELMOTestMessages"}).rc, 1);

  // A whole key goes with what is below it.
  ASSERT_EQ(Reg(node, {"add", std::string(kKey) + "\\A\\B", "/v", "x", "/d", "y"}).rc, 0);
  EXPECT_EQ(Reg(node, {"delete", "HKLM\\SOFTWARE\\Zarvelco", "/f"}).rc, 0);
  EXPECT_EQ(Reg(node, {"query", "HKLM\\SOFTWARE\\Zarvelco"}).rc, 1);
  EXPECT_EQ(Reg(node, {"query", "HKLM\\SOFTWARE"}).rc, 0);  // the parent stays
}

TEST(RegCommand, DeleteAllValuesKeepsTheKeyAndItsSubkeys) {
  TempNode node;
  ASSERT_EQ(Reg(node, {"add", kKey, "/v", "a", "/d", "1"}).rc, 0);
  ASSERT_EQ(Reg(node, {"add", kKey, "/v", "b", "/d", "2"}).rc, 0);
  ASSERT_EQ(Reg(node, {"add", std::string(kKey) + "\\Sub", "/v", "c", "/d", "3"}).rc, 0);
  EXPECT_EQ(Reg(node, {"delete", kKey, "/va", "/f"}).rc, 0);
  const auto r = Reg(node, {"query", kKey});
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out, "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Zarvelco\\TELMO\\Sub\n");
  EXPECT_EQ(Reg(node, {"query", std::string(kKey) + "\\Sub", "/v", "c"}).rc, 0);
}

TEST(RegCommand, BadSyntaxIsAUsageErrorAndChangesNothing) {
  TempNode node;
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frob", kKey},
      {"query"},
      {"query", kKey, "/v"},
      {"query", kKey, "/v", "a", "/ve"},
      {"query", kKey, "/f"},
      {"query", kKey, "extra"},
      {"add", kKey, "/v", "x", "/t", "REG_DWORD", "/d", "12abc"},
      {"add", kKey, "/v", "x", "/t", "REG_DWORD", "/d", "4294967296"},
      {"add", kKey, "/v", "x", "/t", "REG_DWORD", "/d", "-1"},
      {"add", kKey, "/v", "x", "/t", "REG_QWORD", "/d", "1"},
      {"add", kKey, "/v", "x", "/s"},
      {"delete", kKey, "/v", "x", "/va"},
  };
  for (const auto& args : bad) {
    const auto r = Reg(node, args);
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    EXPECT_EQ(r.rc, 2) << shown << r.err;
    EXPECT_EQ(r.err.rfind("ERROR: Invalid syntax.\n", 0), 0u) << shown << r.err;
    EXPECT_NE(r.err.find("Usage"), std::string::npos) << shown;
  }
  const auto r = Reg(node, {"query", "HKXX\\SOFTWARE"});
  EXPECT_EQ(r.rc, 2);
  EXPECT_NE(r.err.find("ERROR: Invalid key name."), std::string::npos);
  HKEY key;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvelco", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Reg(node, {"/?"}).rc, 0);
}

TEST(RegCommand, TwoConsolesAddingAtOnceLoseNothing) {
  TempNode node;
  ASSERT_EQ(Reg(node, {"add", kKey, "/f"}).rc, 0);
  const std::string exe = telmo::test::BuiltProgram("telmoctl").string();
  std::vector<pid_t> children;
  for (int c = 0; c < 2; ++c) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      for (int i = 0; i < 10; ++i) {
        const pid_t inner = ::fork();
        if (inner == 0) {
          const std::string name = "c" + std::to_string(c) + "_" + std::to_string(i);
          ::execl(exe.c_str(), exe.c_str(), "reg", "add", kKey, "/v", name.c_str(), "/t", "REG_DWORD", "/d", "1",
                  static_cast<char*>(nullptr));
          ::_exit(127);
        }
        int status = 0;
        ::waitpid(inner, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ::_exit(1);
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  for (const pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvelco\\TELMO", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(telmo::platform::RegListValues(key)->size(), 20u);
}

}  // namespace
