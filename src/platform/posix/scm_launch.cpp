// Detached launch of a service program and the accounts services run under.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/scm_internal.h"
#include "platform/win_error.h"
#include "util/text.h"

namespace telmo::platform::detail {
namespace {

/// What the launch pipe carries: a tag and a value, 8 bytes.
enum Tag : std::uint32_t { kPid = 'P', kForkFailed = 'F', kSetupFailed = 'S', kExecFailed = 'X' };
struct PipeMessage {
  std::uint32_t tag;
  std::uint32_t value;
};

// Only async-signal-safe calls from here to exec or _exit.
void ReportAndExit(int fd, Tag tag, std::uint32_t value, int code) noexcept {
  const PipeMessage m{tag, value};
  ssize_t unused = ::write(fd, &m, sizeof m);
  (void)unused;
  ::_exit(code);
}

[[noreturn]] void RunGrandchild(const LaunchRequest& request, char* const* argv, char* const* envp, int report_fd,
                                int stdin_fd, int out_fd, const gid_t* groups, std::size_t group_count) noexcept {
  if (::dup2(stdin_fd, 0) < 0 || ::dup2(out_fd, 1) < 0 || ::dup2(out_fd, 2) < 0)
    ReportAndExit(report_fd, kSetupFailed, static_cast<std::uint32_t>(errno), 127);
  // Nothing of the caller's but the three standard streams reaches the service.
  (void)::close_range(3, ~0u, CLOSE_RANGE_CLOEXEC);
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &dfl, nullptr);
  }
  if (::chdir("/") != 0) ReportAndExit(report_fd, kSetupFailed, static_cast<std::uint32_t>(errno), 127);
  if (request.identity) {
    if (::setgroups(group_count, groups) != 0 || ::setgid(request.identity->gid) != 0 ||
        ::setuid(request.identity->uid) != 0)
      ReportAndExit(report_fd, kSetupFailed, static_cast<std::uint32_t>(errno), 127);
  }
  ::execve(argv[0], argv, envp);
  ReportAndExit(report_fd, kExecFailed, static_cast<std::uint32_t>(errno), 127);
  ::_exit(127);
}

}  // namespace

Result<std::optional<LaunchIdentity>> ResolveAccount(std::string_view account) {
  std::string_view user = account;
  if (const auto slash = user.rfind('\\'); slash != std::string_view::npos) user.remove_prefix(slash + 1);
  if (const auto at = user.find('@'); at != std::string_view::npos) user = user.substr(0, at);
  if (user.empty() || EqualsIgnoreCase(user, "LocalSystem") || EqualsIgnoreCase(user, "SYSTEM"))
    return std::optional<LaunchIdentity>();

  const std::string name(user);
  std::vector<char> buffer(16384);
  passwd pw{};
  passwd* found = nullptr;
  if (::getpwnam_r(name.c_str(), &pw, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
    return Error{ERROR_LOGON_FAILURE};
  LaunchIdentity id;
  id.user = pw.pw_name;
  id.home = pw.pw_dir != nullptr ? pw.pw_dir : "/";
  id.uid = pw.pw_uid;
  id.gid = pw.pw_gid;
  int count = 32;
  for (int attempt = 0; attempt < 4; ++attempt) {
    id.groups.resize(static_cast<std::size_t>(count));
    int n = count;
    if (::getgrouplist(id.user.c_str(), id.gid, id.groups.data(), &n) >= 0) {
      id.groups.resize(static_cast<std::size_t>(n));
      return std::optional<LaunchIdentity>(std::move(id));
    }
    count = n > count ? n : count * 2;
  }
  id.groups.assign(1, id.gid);
  return std::optional<LaunchIdentity>(std::move(id));
}

Result<LaunchedProcess> LaunchDetached(const LaunchRequest& request) {
  if (request.arguments.empty() || request.program.empty()) return Error{ERROR_INVALID_PARAMETER};

  // Everything the children need is built before fork.
  std::vector<std::string> args = request.arguments;
  args[0] = request.program;
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env = request.environment;
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<gid_t> groups;
  if (request.identity) groups = request.identity->groups;

  UniqueFd stdin_fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!stdin_fd) return Error{Win32FromErrno(errno)};
  UniqueFd out_fd;
  if (!request.output_path.empty())
    out_fd.reset(::open(request.output_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640));
  if (!out_fd) out_fd.reset(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  if (!out_fd) return Error{Win32FromErrno(errno)};
  if (request.identity && !request.output_path.empty()) {
    // The service may reopen its own output later: let its account own the file.
    (void)::fchown(out_fd.get(), request.identity->uid, request.identity->gid);
  }

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return Error{Win32FromErrno(errno)};
  UniqueFd read_end(fds[0]);
  UniqueFd write_end(fds[1]);

  // Double fork: the service gets a session of its own and is never our
  // child, so neither we nor our reaper wait for it.
  const pid_t middle = ::fork();
  if (middle < 0) return Error{Win32FromErrno(errno)};
  if (middle == 0) {
    if (::setsid() < 0) ReportAndExit(write_end.get(), kSetupFailed, static_cast<std::uint32_t>(errno), 127);
    const pid_t service = ::_Fork();
    if (service < 0) ReportAndExit(write_end.get(), kForkFailed, static_cast<std::uint32_t>(errno), 127);
    if (service == 0)
      RunGrandchild(request, argv.data(), envp.data(), write_end.get(), stdin_fd.get(), out_fd.get(), groups.data(),
                    groups.size());
    ReportAndExit(write_end.get(), kPid, static_cast<std::uint32_t>(service), 0);
  }
  write_end.reset();
  int wstatus = 0;
  while (::waitpid(middle, &wstatus, 0) < 0 && errno == EINTR) {
  }
  // ECHILD: someone else reaped it; the pipe still tells what happened.

  DWORD pid = 0;
  std::uint32_t failure = 0;
  PipeMessage m{};
  std::size_t got = 0;
  for (;;) {
    const ssize_t n = ::read(read_end.get(), reinterpret_cast<char*>(&m) + got, sizeof m - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
    if (got < sizeof m) continue;
    got = 0;
    if (m.tag == kPid) {
      pid = m.value;
    } else if (failure == 0) {
      failure = m.value == 0 ? static_cast<std::uint32_t>(EIO) : m.value;
    }
  }
  if (failure != 0) return Error{Win32FromErrno(static_cast<int>(failure))};
  if (pid == 0) return Error{ERROR_INVALID_FUNCTION};
  return LaunchedProcess{pid, ProcessStartTime(pid)};
}

}  // namespace telmo::platform::detail
