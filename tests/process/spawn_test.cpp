// Starting programs: failures, exit codes, what the child inherits.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <utility>
#include <string>

#include <gtest/gtest.h>

#include "platform/process.h"
#include "platform/win_error.h"
#include "process_test_support.h"
#include "support/test_env.h"

namespace telmo::platform {
namespace {

namespace fs = std::filesystem;

Result<ProcessHandle> Launch(std::string program, std::vector<std::string> args, const fs::path& out = {}) {
  SpawnOptions options;
  options.program = std::move(program);
  options.arguments = std::move(args);
  options.output_path = out.string();
  return SpawnProcess(options);
}

TEST(Spawn, ProgramThatCannotRunIsAnErrorAndLeavesNoChild) {
  test::TempNode node;
  const auto not_executable = node.root() / "data.txt";
  test::WriteFile(not_executable, "just text\n");
  const auto no_format = node.root() / "noformat";
  test::WriteFile(no_format, "this is not a program\n");
  fs::permissions(no_format, fs::perms::owner_all);

  const struct {
    std::string program;
    DWORD error;
  } cases[] = {
      {"/nonexistent/program", ERROR_FILE_NOT_FOUND},
      {"\\nonexistent\\program.exe", ERROR_FILE_NOT_FOUND},
      {"", ERROR_FILE_NOT_FOUND},
      {node.root().string(), ERROR_ACCESS_DENIED},  // a directory
      {no_format.string(), ERROR_BAD_EXE_FORMAT},    // never handed to a shell
  };
  for (const auto& c : cases) {
    auto started = Launch(c.program, {});
    ASSERT_FALSE(started.ok()) << c.program;
    EXPECT_EQ(started.error(), c.error) << c.program;
    EXPECT_EQ(GetLastError(), c.error) << c.program;
  }
  if (::geteuid() != 0) {  // root may run anything with an execute bit only
    EXPECT_EQ(Launch(not_executable.string(), {}).error(), ERROR_ACCESS_DENIED);
  }
  SpawnOptions bad_directory;
  bad_directory.program = "/bin/true";
  bad_directory.working_directory = (node.root() / "missing").string();
  EXPECT_EQ(SpawnProcess(bad_directory).error(), ERROR_FILE_NOT_FOUND);
  SpawnOptions bad_output;
  bad_output.program = "/bin/true";
  bad_output.output_path = (node.root() / "missing" / "out.log").string();
  EXPECT_EQ(SpawnProcess(bad_output).error(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Launch("/bin/echo", {std::string("nul\0inside", 10)}).error(), ERROR_INVALID_PARAMETER);

  siginfo_t info{};
  EXPECT_NE(::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT), 0) << "a child was left behind";
  EXPECT_EQ(errno, ECHILD);
}

TEST(Spawn, ExitCodesAreTheProgramsOwn) {
  const struct {
    const char* script;
    DWORD code;
  } cases[] = {{"exit 0", 0}, {"exit 3", 3}, {"exit 127", 127}, {"kill -TERM $$", 128 + SIGTERM}};
  for (const auto& c : cases) {
    auto child = Launch("/bin/sh", {"-c", c.script});
    ASSERT_TRUE(child.ok()) << c.script;
    EXPECT_EQ(test::ExitCodeAfterEnd(child.value()), c.code) << c.script;
  }
  EXPECT_TRUE(test::NoZombieChild());
}

TEST(Spawn, OutputIsAppendedInputIsEmptyAndDirectoryIsSet) {
  test::TempNode node;
  const auto out = node.root() / "out.log";
  test::WriteFile(out, "before\n");
  SpawnOptions options;
  options.program = "\\bin\\sh";  // Windows separators are accepted
  options.arguments = {"-c", "echo out; echo err >&2; cat; readlink /proc/self/fd/0; pwd -P"};
  options.output_path = out.string();
  options.working_directory = node.log_dir().string();
  auto child = SpawnProcess(options);
  ASSERT_TRUE(child.ok()) << child.error();
  ASSERT_EQ(test::ExitCodeAfterEnd(child.value()), 0u);
  EXPECT_EQ(test::ReadFile(out),
            "before\nout\nerr\n/dev/null\n" + fs::canonical(node.log_dir()).string() + "\n");
}

TEST(Spawn, ChildGetsMarkerAndEnvironmentButNoForgedMarker) {
  test::TempNode node;
  const auto out = node.root() / "env.txt";
  SpawnOptions options;
  options.program = "/usr/bin/env";
  options.environment = {{"EXTRA", "one"}, {"EXTRA", "two"}, {kMarkerDirectoryVariable, "/elsewhere"}};
  options.output_path = out.string();
  auto child = SpawnProcess(options);
  ASSERT_TRUE(child.ok());
  ASSERT_EQ(test::ExitCodeAfterEnd(child.value()), 0u);
  const auto text = test::ReadFile(out);
  EXPECT_NE(text.find("\nEXTRA=two\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("EXTRA=one"), std::string::npos);
  EXPECT_NE(text.find(std::string(kMarkerDirectoryVariable) + "=" + node.mgmt_dir().string() + "\n"),
            std::string::npos);
  EXPECT_EQ(text.find("/elsewhere"), std::string::npos);
  EXPECT_NE(text.find(std::string(kMarkerImageVariable) + "=env\n"), std::string::npos);
}

TEST(Spawn, NoDescriptorLeaksIntoTheChildNorStaysBehind) {
  test::TempNode node;
  // Descriptors opened carelessly, without close-on-exec.
  const int stray = ::open("/dev/null", O_RDONLY);
  int stray_pipe[2];
  ASSERT_EQ(::pipe(stray_pipe), 0);
  const auto identity = [](int fd) {
    struct stat facts {};
    return ::fstat(fd, &facts) == 0 ? std::pair(facts.st_dev, facts.st_ino) : std::pair<dev_t, ino_t>(0, 0);
  };
  const auto standard_before = std::array{identity(0), identity(1), identity(2)};

  const auto out = node.root() / "fds.txt";
  auto child = Launch(test::SelfPath(), {test::kChildFlag, "fds"}, out);
  ASSERT_TRUE(child.ok());
  ASSERT_EQ(test::ExitCodeAfterEnd(child.value()), 0u);
  EXPECT_EQ(test::ReadFile(out), "0\n1\n2\n");
  child.value().reset();
  // The child set up its standard descriptors in a table of its own.
  EXPECT_EQ((std::array{identity(0), identity(1), identity(2)}), standard_before);

  // A leak grows with every round.
  const int before = test::OpenDescriptorCount();
  for (int i = 0; i < 4; ++i) {
    auto ok = Launch("/bin/true", {}, node.root() / "true.log");
    ASSERT_TRUE(ok.ok());
    ASSERT_EQ(test::ExitCodeAfterEnd(ok.value()), 0u);
    DWORD code = 0;
    auto again = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, GetProcessId(ok.value()));
    (void)GetExitCodeProcess(again, &code);
    EXPECT_FALSE(Launch("/nonexistent", {}).ok());
    EXPECT_FALSE(Launch("/bin/true", {}, node.root() / "missing" / "x.log").ok());
  }
  EXPECT_LE(test::SettledDescriptorCount(before), before);
  ::close(stray);
  ::close(stray_pipe[0]);
  ::close(stray_pipe[1]);
}

TEST(Spawn, SignalMaskAndIgnoredSignalsAreReset) {
  test::TempNode node;
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &block, nullptr), 0);
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGHUP, SIG_IGN);

  const auto out = node.root() / "status.txt";
  auto child = Launch("/bin/cat", {"/proc/self/status"}, out);
  ASSERT_TRUE(child.ok());
  ASSERT_EQ(test::ExitCodeAfterEnd(child.value()), 0u);
  const auto text = test::ReadFile(out);
  EXPECT_NE(text.find("SigBlk:\t0000000000000000\n"), std::string::npos) << text;
  EXPECT_NE(text.find("SigIgn:\t0000000000000000\n"), std::string::npos) << text;
}

TEST(Spawn, ChildRunsUnderTheTokensAccount) {
  if (::geteuid() != 0) GTEST_SKIP() << "switching accounts needs root";
  test::TempNode node;
  const AccessToken nobody{"nobody", 65534, 65534, {65534}, "/nonexistent", {}};
  const auto out = node.root() / "id.txt";
  SpawnOptions options;
  options.program = "/bin/sh";
  options.arguments = {"-c", "id -u; id -g; id -G; echo \"$HOME $USER\""};
  options.account = &nobody;
  options.output_path = out.string();
  auto child = SpawnProcess(options);
  ASSERT_TRUE(child.ok()) << child.error();
  ASSERT_EQ(test::ExitCodeAfterEnd(child.value()), 0u);
  EXPECT_EQ(test::ReadFile(out), "65534\n65534\n65534\n/nonexistent nobody\n");

  // With no groups in the token, the account's groups are looked up.
  const AccessToken no_groups{"nobody", 65534, 65534, {}, "/nonexistent", {}};
  options.account = &no_groups;
  options.arguments = {"-c", "id -G"};
  fs::remove(out);
  auto second = SpawnProcess(options);
  ASSERT_TRUE(second.ok());
  ASSERT_EQ(test::ExitCodeAfterEnd(second.value()), 0u);
  EXPECT_EQ(test::ReadFile(out).find("0"), std::string::npos) << "root's groups kept: " << test::ReadFile(out);
}

}  // namespace
}  // namespace telmo::platform
