// Starting programs with vfork semantics: the child shares the manager's
// memory and, until it has made a table of its own, its descriptor table,
// until it has executed the program (or failed to). Nothing of the manager is
// copied, neither its memory nor its thousands of process descriptors, so
// the cost of a start does not grow with the number of processes the manager
// holds. The calling thread waits meanwhile, so the exec result is known the
// moment it resumes: a child that cannot execute the program writes its
// error number to a close-on-exec pipe, and "could not start" is an error of
// its own, never a program that exits 127.
#include <fcntl.h>
#include <grp.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sched.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/posix/process_internal.h"
#include "platform/win_error.h"

extern char** environ;

namespace telmo::platform {
namespace {

constexpr bool HasNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// Everything the child needs, prepared by the parent. The child allocates
// nothing and makes system calls only, and those directly: it runs on the
// manager's memory, where a library call could change state the manager's
// own threads rely on (a wrapper's bookkeeping, a sanitizer's tables).
struct ChildPlan {
  const char* path = nullptr;
  char* const* argv = nullptr;
  char* const* envp = nullptr;
  int input_fd = -1;
  int output_fd = -1;
  int report_fd = -1;  ///< close-on-exec: the error number of a failed start
  int highest_fd = -1;  ///< the child's own table keeps the descriptors up to this one
  const char* working_directory = nullptr;
  bool switch_account = false;
  uid_t uid = 0;
  gid_t gid = 0;
  const gid_t* groups = nullptr;
  std::size_t group_count = 0;
};

// Code that runs in the child before it executes the program: not
// instrumented, since the child runs on a stack of its own that no sanitizer
// knows of, and must not touch their state.
#define TELMO_CHILD_CODE __attribute__((no_sanitize("address", "undefined", "thread")))

// The kernel's sigaction record, all zero: SIG_DFL, no flags, empty mask,
// whatever the architecture lays out after the handler.
struct KernelSigaction {
  unsigned long words[4] = {};
};
constexpr long kKernelSigsetSize = sizeof(unsigned long);
constexpr int kHighestSignal = 64;

TELMO_CHILD_CODE long Call(long number, long a = 0, long b = 0, long c = 0, long d = 0) noexcept {
  return ::syscall(number, a, b, c, d);
}

[[noreturn]] TELMO_CHILD_CODE void ReportAndExit(const ChildPlan& plan, int err) noexcept {
  if (err == 0) err = EIO;
  (void)Call(SYS_write, plan.report_fd, reinterpret_cast<long>(&err), sizeof err);
  ::syscall(SYS_exit_group, 127);
  __builtin_unreachable();
}

[[noreturn]] TELMO_CHILD_CODE void RunChild(const ChildPlan& plan) noexcept {
  // First a descriptor table of its own, with only the low descriptors the
  // launch put its files among; where the system cannot leave the rest out,
  // a copy of the whole table.
  if (Call(SYS_close_range, plan.highest_fd + 1, ~0U, CLOSE_RANGE_UNSHARE) != 0 &&
      Call(SYS_unshare, CLONE_FILES) != 0) {
    ReportAndExit(plan, errno);
  }
  // Signal dispositions and mask as a freshly started program expects them.
  // The parent blocked every signal before the child was made, so no handler
  // of the manager's can run here before its disposition is reset.
  const KernelSigaction default_action;
  for (int sig = 1; sig <= kHighestSignal; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) (void)Call(SYS_rt_sigaction, sig, reinterpret_cast<long>(&default_action), 0, kKernelSigsetSize);
  }
  const unsigned long no_signals = 0;
  (void)Call(SYS_rt_sigprocmask, SIG_SETMASK, reinterpret_cast<long>(&no_signals), 0, kKernelSigsetSize);

  // A session of its own: a console interrupt aimed at the manager does not
  // reach its components, just as Windows components outlive a console.
  (void)Call(SYS_setsid);

  // The descriptors are above the standard three, never equal to the target.
  if (Call(SYS_dup3, plan.input_fd, STDIN_FILENO, 0) < 0 || Call(SYS_dup3, plan.output_fd, STDOUT_FILENO, 0) < 0 ||
      Call(SYS_dup3, plan.output_fd, STDERR_FILENO, 0) < 0) {
    ReportAndExit(plan, errno);
  }
  if (plan.switch_account) {
    if (Call(SYS_setgroups, static_cast<long>(plan.group_count), reinterpret_cast<long>(plan.groups)) != 0 ||
        Call(SYS_setresgid, plan.gid, plan.gid, plan.gid) != 0 ||
        Call(SYS_setresuid, plan.uid, plan.uid, plan.uid) != 0) {
      ReportAndExit(plan, errno);
    }
  }
  if (plan.working_directory != nullptr && Call(SYS_chdir, reinterpret_cast<long>(plan.working_directory)) != 0) {
    ReportAndExit(plan, errno);
  }
  // Descriptors opened without close-on-exec (by a library, by another
  // thread racing this start) must not reach the program either.
  if (Call(SYS_close_range, 3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
    rlimit limit{};
    const long top = Call(SYS_prlimit64, 0, RLIMIT_NOFILE, 0, reinterpret_cast<long>(&limit)) == 0 &&
                             limit.rlim_cur != RLIM_INFINITY
                         ? static_cast<long>(std::min<rlim_t>(limit.rlim_cur, 1 << 20))
                         : 1024;
    for (long fd = 3; fd < top; ++fd) (void)Call(SYS_fcntl, fd, F_SETFD, FD_CLOEXEC);
  }
  (void)Call(SYS_execve, reinterpret_cast<long>(plan.path), reinterpret_cast<long>(plan.argv),
             reinterpret_cast<long>(plan.envp));
  ReportAndExit(plan, errno);
}

// Blocks every signal of the calling thread for its lifetime: the child
// starts with this mask and resets the dispositions before it lifts it.
class AllSignalsBlocked {
 public:
  AllSignalsBlocked() {
    sigset_t all;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous_);
  }
  ~AllSignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  AllSignalsBlocked(const AllSignalsBlocked&) = delete;
  AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

 private:
  sigset_t previous_{};
};

// What every launch of the process shares: descriptors for the child's
// standard input and for output that goes nowhere, two slots that hold the
// output file and the report pipe for the time of one launch, and the stack
// the child runs on until it executes. The descriptors are taken at the first
// launch, among the lowest numbers then free: the child copies the table only
// up to the highest of them. One launch at a time.
class Launcher {
 public:
  static Launcher& Instance() {
    static Launcher launcher;
    return launcher;
  }

  /// Starts the child of `plan` (its input and output descriptors are
  /// taken from the slots; `output` -1 for none) and waits until it has
  /// executed the program or failed to. The pid, or -1 with errno.
  pid_t Start(ChildPlan plan, int output, int report) {
    std::lock_guard lock(mu_);
    if (!ready_ && !Prepare()) return -1;
    if ((output >= 0 && ::dup3(output, output_slot_.get(), O_CLOEXEC) < 0) ||
        ::dup3(report, report_slot_.get(), O_CLOEXEC) < 0) {
      Clear();
      return -1;
    }
    plan.input_fd = null_input_.get();
    plan.output_fd = output >= 0 ? output_slot_.get() : null_output_.get();
    plan.report_fd = report_slot_.get();
    plan.highest_fd = std::max({null_input_.get(), null_output_.get(), output_slot_.get(), report_slot_.get()});
    const pid_t pid = StartChild(plan);
    const int clone_error = errno;
    Clear();  // the report pipe's end in the slot must be gone before its read
    errno = clone_error;
    return pid;
  }

 private:
  TELMO_CHILD_CODE static int Child(void* plan) { RunChild(*static_cast<const ChildPlan*>(plan)); }

#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer takes any clone for a fork and would mark its own state,
  // which the child shares, as a forked child's: there vfork, which it turns
  // into a fork (the child's table is then a copy already).
  __attribute__((noinline)) pid_t StartChild(const ChildPlan& plan) {
    AllSignalsBlocked blocked;
    const pid_t pid = ::vfork();
    if (pid == 0) RunChild(plan);
    return pid;
  }
#else
  pid_t StartChild(ChildPlan& plan) {
    AllSignalsBlocked blocked;
    return ::clone(&Launcher::Child, stack_.data() + stack_.size(), CLONE_VM | CLONE_VFORK | CLONE_FILES | SIGCHLD,
                   &plan);
  }
#endif

  bool Prepare() {
    null_input_ = UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    null_output_ = UniqueFd(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    output_slot_ = UniqueFd(::fcntl(null_output_.get(), F_DUPFD_CLOEXEC, 0));
    report_slot_ = UniqueFd(::fcntl(null_output_.get(), F_DUPFD_CLOEXEC, 0));
    // Above the standard three, so the child's dup3 calls onto them never
    // overwrite one another (taken when one of those was closed).
    for (UniqueFd* fd : {&null_input_, &null_output_, &output_slot_, &report_slot_}) {
      if (fd->valid() && fd->get() <= STDERR_FILENO) *fd = UniqueFd(::fcntl(fd->get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
      if (!fd->valid()) return false;
    }
    ready_ = true;
    return true;
  }

  /// Puts /dev/null back into the slots: no launch holds a file open.
  void Clear() {
    (void)::dup3(null_output_.get(), output_slot_.get(), O_CLOEXEC);
    (void)::dup3(null_output_.get(), report_slot_.get(), O_CLOEXEC);
  }

  std::mutex mu_;
  bool ready_ = false;
  UniqueFd null_input_;
  UniqueFd null_output_;
  UniqueFd output_slot_;
  UniqueFd report_slot_;
  alignas(64) std::array<std::byte, 64 * 1024> stack_{};
};

std::vector<std::string> BuildEnvironment(const SpawnOptions& options, std::string_view image) {
  std::vector<std::pair<std::string, std::string>> overrides = options.environment;
  if (options.account != nullptr) {
    overrides.emplace_back("HOME", options.account->home);
    overrides.emplace_back("USER", options.account->user);
    overrides.emplace_back("LOGNAME", options.account->user);
  }
  // The marker comes last so that nothing can start a child that claims to
  // belong to another manager, or to none.
  overrides.emplace_back(kMarkerDirectoryVariable, MarkerDirectory());
  overrides.emplace_back(kMarkerImageVariable, std::string(image));

  const auto overridden = [&](std::string_view name) {
    return std::any_of(overrides.begin(), overrides.end(), [&](const auto& o) { return o.first == name; });
  };
  std::vector<std::string> env;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    if (!overridden(text.substr(0, text.find('=')))) env.emplace_back(text);
  }
  for (std::size_t i = 0; i < overrides.size(); ++i) {
    const bool later = std::any_of(overrides.begin() + static_cast<std::ptrdiff_t>(i) + 1, overrides.end(),
                                   [&](const auto& o) { return o.first == overrides[i].first; });
    if (!later) env.push_back(overrides[i].first + "=" + overrides[i].second);
  }
  return env;
}

std::vector<gid_t> GroupsOf(const AccessToken& account) {
  std::vector<gid_t> groups(account.groups.begin(), account.groups.end());
  if (!groups.empty()) return groups;
  int count = 32;
  for (int attempt = 0; attempt < 8; ++attempt) {
    groups.resize(static_cast<std::size_t>(count));
    int n = count;
    if (::getgrouplist(account.user.c_str(), account.gid, groups.data(), &n) >= 0) {
      groups.resize(static_cast<std::size_t>(n));
      return groups;
    }
    count = std::max(n, count * 2);
  }
  return {account.gid};
}

bool ValidInput(const SpawnOptions& o) {
  if (HasNul(o.program) || HasNul(o.working_directory) || HasNul(o.output_path)) return false;
  for (const auto& a : o.arguments) {
    if (HasNul(a)) return false;
  }
  for (const auto& [name, value] : o.environment) {
    if (name.empty() || HasNul(name) || HasNul(value) || name.find('=') != std::string::npos) return false;
  }
  if (o.account != nullptr && (HasNul(o.account->user) || HasNul(o.account->home))) return false;
  return true;
}

Error Fail(DWORD code) {
  SetLastError(code);
  return Error{code};
}

}  // namespace

Result<ProcessHandle> SpawnProcess(const SpawnOptions& options) {
  if (!ValidInput(options)) return Fail(ERROR_INVALID_PARAMETER);
  if (options.program.empty()) return Fail(ERROR_FILE_NOT_FOUND);

  // A relative program is found from the manager's current directory, as
  // Windows finds it, not from the child's working directory.
  std::string path = NativePath(options.program);
  if (path.front() != '/') {
    std::string cwd(PATH_MAX, '\0');
    if (::getcwd(cwd.data(), cwd.size()) == nullptr) return Fail(SetLastErrorFromErrno());
    cwd.resize(std::char_traits<char>::length(cwd.c_str()));
    path = JoinPath(cwd, path);
  }

  std::vector<std::string> argv_text;
  argv_text.reserve(options.arguments.size() + 1);
  argv_text.push_back(NativePath(options.program));
  argv_text.insert(argv_text.end(), options.arguments.begin(), options.arguments.end());
  std::vector<std::string> env_text = BuildEnvironment(options, PathTail(options.program));
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string working_directory = NativePath(options.working_directory);

  std::vector<gid_t> groups;
  ChildPlan plan;
  if (options.account != nullptr) {
    const AccessToken& account = *options.account;
    // An unprivileged manager can only run children as itself; when the
    // token is that same identity there is nothing to switch.
    plan.switch_account = !(::geteuid() != 0 && account.uid == ::geteuid() && account.gid == ::getegid());
    if (plan.switch_account) {
      groups = GroupsOf(account);
      plan.uid = account.uid;
      plan.gid = account.gid;
      plan.groups = groups.data();
      plan.group_count = groups.size();
    }
  }

  UniqueFd output;
  if (!options.output_path.empty()) {
    output = UniqueFd(::open(NativePath(options.output_path).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640));
    if (!output) return Fail(SetLastErrorFromErrno());
  }

  plan.path = path.c_str();
  plan.argv = argv.data();
  plan.envp = envp.data();
  plan.working_directory = working_directory.empty() ? nullptr : working_directory.c_str();

  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return Fail(SetLastErrorFromErrno());
  UniqueFd report_read(report[0]);
  UniqueFd report_write(report[1]);

  const pid_t pid = Launcher::Instance().Start(plan, output ? output.get() : -1, report_write.get());
  if (pid < 0) return Fail(SetLastErrorFromErrno());
  report_write.reset();
  output.reset();

  // Until it is reaped, the child's pid cannot be recycled, so this pidfd is
  // surely the child's.
  UniqueFd pidfd(detail::PidfdOpen(pid));
  const int pidfd_error = errno;

  int child_error = 0;
  ssize_t n;
  do {
    n = ::read(report_read.get(), &child_error, sizeof child_error);
  } while (n < 0 && errno == EINTR);
  if (n != 0 || !pidfd) {
    // The program did not start (or cannot be tracked): collect the child
    // now so it never stays a zombie.
    if (n <= 0) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    const int err = n > 0 ? child_error : (n < 0 ? EIO : pidfd_error);
    return Fail(Win32FromErrno(err != 0 ? err : EIO));
  }
  return detail::AdoptChild(pid, std::move(pidfd));
}

}  // namespace telmo::platform
