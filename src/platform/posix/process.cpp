// Process handles over pidfds, and the reaping of the manager's children.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/posix/process_internal.h"
#include "platform/win_error.h"

namespace telmo::platform::detail {
namespace {

// How long TerminateProcess waits for the killed process to end, so that a
// caller reading the exit code right after it sees the code it gave.
constexpr int kTerminateWaitMs = 2000;

class Registry {
 public:
  static Registry& Instance() {
    static Registry registry;
    return registry;
  }

  std::mutex mu;

  /// Children not reaped yet, by pid. Guarded by mu.
  std::unordered_map<pid_t, std::shared_ptr<ChildState>> live;

  void Add(std::shared_ptr<ChildState> child) {
    {
      std::lock_guard lock(mu);
      // Watched from now on: one registration, whatever the number of
      // children (a poll over every pidfd made each start cost more than the
      // one before).
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.u64 = static_cast<std::uint64_t>(child->pid);
      if (!epoll_ || ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, child->pidfd.get(), &event) != 0) {
        unwatched_ = true;  // outside the set: the reaper looks at every child instead
      }
      live.emplace(child->pid, std::move(child));
      if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
    }
  }

  /// Reaps the child when it has ended; mu must be held. True once ended.
  bool ReapLocked(ChildState& child) {
    if (child.ended) return true;
    siginfo_t info{};
    int rc;
    do {
      rc = ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(child.pidfd.get()), &info,
                    WEXITED | WNOHANG);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0 && info.si_pid == 0) return false;  // still running
    if (rc == 0) {
      if (info.si_code == CLD_EXITED) {
        child.exit_code = static_cast<DWORD>(info.si_status);
      } else if (info.si_status == SIGKILL && child.terminate_code) {
        child.exit_code = *child.terminate_code;
      } else {
        child.exit_code = 128u + static_cast<DWORD>(info.si_status);
      }
    } else {
      // ECHILD: someone else collected it; its status is lost to us.
      child.exit_code = 0;
    }
    child.ended = true;
    // Out of the set at once: the pidfd stays open while a handle holds the
    // child, and an ended child's pidfd would be ready at every wait.
    if (epoll_) (void)::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, child.pidfd.get(), nullptr);
    live.erase(child.pid);
    return true;
  }

  ~Registry() {
    {
      std::lock_guard lock(mu);
      stop_ = true;
    }
    Wake();
    if (thread_.joinable()) thread_.join();
  }

 private:
  Registry()
      : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
    if (epoll_ && wake_) {
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.u64 = kWakeKey;
      if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wake_.get(), &event) != 0) epoll_.reset();
    } else {
      epoll_.reset();
    }
  }

  static constexpr std::uint64_t kWakeKey = ~std::uint64_t{0};

  void Wake() {
    const std::uint64_t one = 1;
    if (wake_) (void)!::write(wake_.get(), &one, sizeof one);
  }

  // Waits for the end of any child and reaps it, so no child stays a zombie,
  // whether or not a handle to it is still open.
  // Without an epoll set, or for a child that could not join it, every
  // child is looked at once a second (a tenth of a second without a set).
  void Run() {
    std::array<epoll_event, 64> events{};
    bool look_at_all = !epoll_;
    for (;;) {
      int n = 0;
      if (epoll_) {
        n = ::epoll_wait(epoll_.get(), events.data(), static_cast<int>(events.size()), look_at_all ? 1000 : -1);
        if (n < 0 && errno != EINTR) return;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      std::lock_guard lock(mu);
      if (stop_) return;
      for (int i = 0; i < n; ++i) {
        const std::uint64_t key = events[static_cast<std::size_t>(i)].data.u64;
        if (key == kWakeKey) {
          std::uint64_t count = 0;
          (void)!::read(wake_.get(), &count, sizeof count);
          continue;
        }
        if (auto it = live.find(static_cast<pid_t>(key)); it != live.end()) ReapLocked(*it->second);
      }
      look_at_all = unwatched_;
      if (look_at_all) ReapAllLocked();
    }
  }

  // Reaps every child that has ended; mu must be held.
  void ReapAllLocked() {
    std::vector<std::shared_ptr<ChildState>> children;
    children.reserve(live.size());
    for (const auto& [pid, child] : live) children.push_back(child);
    for (const auto& child : children) ReapLocked(*child);
  }

  UniqueFd wake_;
  UniqueFd epoll_;
  bool unwatched_ = false;  // guarded by mu: a child could not join the set
  bool stop_ = false;  // guarded by mu
  std::thread thread_;
};

/// Waits until the pidfd reports the end of its process; false on time-out.
bool PollEnded(int fd, DWORD milliseconds) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    int timeout = -1;
    if (milliseconds != INFINITE) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      timeout = left > 0 ? static_cast<int>(std::min<long long>(left, 1 << 30)) : 0;
    }
    pollfd pfd{fd, POLLIN, 0};
    const int n = ::poll(&pfd, 1, timeout);
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return false;
  }
}

}  // namespace

ProcessHandle AdoptChild(pid_t pid, UniqueFd pidfd) {
  auto child = std::make_shared<ChildState>();
  child->pid = pid;
  child->pidfd = std::move(pidfd);
  // The handle uses the child's pidfd: one descriptor per child, however
  // many components the manager runs.
  auto object = std::make_shared<ProcessObject>();
  object->pid = pid;
  object->child = child;
  Registry::Instance().Add(std::move(child));
  return ProcessHandle(std::move(object));
}

}  // namespace telmo::platform::detail

using telmo::platform::detail::ProcessObject;
using telmo::platform::detail::Registry;

ProcessHandle::ProcessHandle(std::shared_ptr<ProcessObject> o) : obj_(std::move(o)) {}
ProcessHandle::~ProcessHandle() = default;
int ProcessHandle::value() const noexcept { return obj_ ? obj_->fd() : 0; }
void ProcessHandle::reset() noexcept { obj_.reset(); }

ProcessHandle OpenProcess(DWORD /*desired_access*/, BOOL /*inherit*/, DWORD process_id) {
  // Access rights are not checked here: the system checks them when a signal
  // is sent. Handles are never inherited (every descriptor is close-on-exec).
  const auto pid = static_cast<pid_t>(process_id);
  if (pid <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return {};
  }
  auto& registry = Registry::Instance();
  // Under the registry lock no child can be reaped, so a pid found in the
  // registry still names that child when its pidfd is opened.
  std::lock_guard lock(registry.mu);
  telmo::platform::UniqueFd fd(telmo::platform::detail::PidfdOpen(pid));
  if (!fd) {
    telmo::platform::SetLastErrorFromErrno();  // ESRCH: ERROR_INVALID_PARAMETER
    return {};
  }
  auto object = std::make_shared<ProcessObject>();
  object->pid = pid;
  object->pidfd = std::move(fd);
  if (auto it = registry.live.find(pid); it != registry.live.end()) object->child = it->second;
  return ProcessHandle(std::move(object));
}

BOOL GetExitCodeProcess(const ProcessHandle& process, DWORD* exit_code) {
  if (!process) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (exit_code == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const ProcessObject& p = *process.get();
  if (p.child) {
    auto& registry = Registry::Instance();
    std::lock_guard lock(registry.mu);
    *exit_code = registry.ReapLocked(*p.child) ? p.child->exit_code : STILL_ACTIVE;
    return TRUE;
  }
  pollfd pfd{p.fd(), POLLIN, 0};
  *exit_code = ::poll(&pfd, 1, 0) > 0 ? 0 : STILL_ACTIVE;
  return TRUE;
}

BOOL TerminateProcess(const ProcessHandle& process, UINT exit_code) {
  if (!process) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const ProcessObject& p = *process.get();
  auto& registry = Registry::Instance();
  {
    std::unique_lock lock(registry.mu, std::defer_lock);
    if (p.child) {
      lock.lock();
      if (p.child->ended) {
        SetLastError(ERROR_ACCESS_DENIED);  // what Windows says of a process that has ended
        return FALSE;
      }
    }
    if (telmo::platform::detail::PidfdSendSignal(p.fd(), SIGKILL) != 0) {
      if (errno == ESRCH) {
        SetLastError(ERROR_ACCESS_DENIED);
      } else {
        telmo::platform::SetLastErrorFromErrno();
      }
      return FALSE;
    }
    // Reaping needs the lock we hold, so the code is in place before the
    // child can be collected.
    if (p.child && !p.child->terminate_code) p.child->terminate_code = exit_code;
  }
  if (telmo::platform::detail::PollEnded(p.fd(), telmo::platform::detail::kTerminateWaitMs) && p.child) {
    std::lock_guard lock(registry.mu);
    registry.ReapLocked(*p.child);
  }
  return TRUE;
}

DWORD GetProcessId(const ProcessHandle& process) {
  return process ? static_cast<DWORD>(process.get()->pid) : 0;
}

BOOL CloseHandle(ProcessHandle& process) {
  if (!process) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  process.reset();
  return TRUE;
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }

DWORD WaitForSingleObject(const ProcessHandle& process, DWORD milliseconds) {
  if (!process) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  const ProcessObject& p = *process.get();
  if (!telmo::platform::detail::PollEnded(p.fd(), milliseconds)) return WAIT_TIMEOUT;
  if (p.child) {
    auto& registry = Registry::Instance();
    std::lock_guard lock(registry.mu);
    registry.ReapLocked(*p.child);
  }
  return WAIT_OBJECT_0;
}
