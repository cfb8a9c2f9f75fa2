// The service side: dispatcher, control handler registration and status reports.
//
// Threads of a running dispatcher:
//  - the calling thread: the dispatcher proper; it alone calls the handler,
//    one control at a time (controls from the socket, SIGTERM/SIGINT as STOP);
//  - the service main's thread;
//  - the control receiver: takes a control from the socket, queues it for the
//    dispatcher thread and answers at once, so that ControlService never
//    waits for a handler that is busy.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <mutex>
#include <random>
#include <thread>

#include "platform/paths.h"
#include "platform/posix/scm_internal.h"
#include "platform/process.h"
#include "platform/win_error.h"
#include "util/text.h"

namespace telmo::platform::detail {
namespace {

constexpr std::size_t kMaxQueuedControls = 64;
constexpr int kReceiveTimeoutMs = 1000;

struct Dispatcher {
  std::uint64_t run = 0;
  std::string name;                     ///< the record reported to
  std::optional<ServiceConfig> record;  ///< nullopt: status kept in memory only
  bool record_required = false;         ///< write failures are reported (not for status-only records)
  UniqueFd wake;                        ///< eventfd: wakes the dispatcher thread

  // Orders the reports, so that record, history and `last` agree.
  std::mutex report_mu;
  bool closed = false;  ///< under report_mu: the dispatcher has returned

  std::mutex mu;  // guards what follows
  LPHANDLER_FUNCTION handler = nullptr;
  SERVICE_STATUS last;
  bool reported = false;
  bool reported_stopped = false;
  SERVICE_STATUS stopped_report;
  bool main_returned = false;
  bool stop_requested = false;  ///< a stop signal waits until stop is accepted
  std::deque<DWORD> queue;
  bool ready_sent = false;
  bool stopping_sent = false;
};

std::mutex g_mu;
std::shared_ptr<Dispatcher> g_active;
std::atomic<std::uint64_t> g_next_run{1};

std::mutex g_fault_mu;
unsigned g_fail_nth = 0;  // 0: no fault armed
unsigned g_calls = 0;
DWORD g_fail_error = 0;

// Stop signals delivered to a thread that does not block them (one that
// existed before the dispatcher started) reach this handler instead of the
// signalfd.
std::atomic<int> g_signal_wake_fd{-1};
std::atomic<bool> g_signal_seen{false};

extern "C" void OnStopSignal(int) {
  g_signal_seen.store(true);
  const int fd = g_signal_wake_fd.load();
  if (fd >= 0) {
    const std::uint64_t one = 1;
    ssize_t unused = ::write(fd, &one, sizeof one);
    (void)unused;
  }
}

void Wake(const Dispatcher& d) {
  const std::uint64_t one = 1;
  ssize_t unused = ::write(d.wake.get(), &one, sizeof one);
  (void)unused;
}

std::shared_ptr<Dispatcher> Active(std::uint64_t run) {
  std::lock_guard lock(g_mu);
  if (g_active && (run == 0 || g_active->run == run)) return g_active;
  return nullptr;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

bool Accepts(const SERVICE_STATUS& s, DWORD bit) { return (s.dwControlsAccepted & bit) != 0; }
bool Pending(DWORD state) { return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING; }

/// Whether the dispatcher takes `control` now (the answer ControlService gets).
DWORD Admit(const Dispatcher& d, DWORD control) {
  const SERVICE_STATUS& s = d.last;
  const DWORD state = d.reported ? s.dwCurrentState : SERVICE_START_PENDING;
  if (state == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
  bool ok = false;
  switch (control) {
    case SERVICE_CONTROL_STOP: ok = d.reported && Accepts(s, SERVICE_ACCEPT_STOP) && state != SERVICE_STOP_PENDING; break;
    case SERVICE_CONTROL_SHUTDOWN: ok = d.reported && Accepts(s, SERVICE_ACCEPT_SHUTDOWN); break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE: ok = d.reported && Accepts(s, SERVICE_ACCEPT_PAUSE_CONTINUE); break;
    case SERVICE_CONTROL_INTERROGATE: ok = true; break;
    default: ok = control >= 128 && control <= 255 && !Pending(state); break;
  }
  if (!ok) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  if (d.queue.size() >= kMaxQueuedControls) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  return ERROR_SUCCESS;
}

const char* StateText(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED: return "Stopped";
    case SERVICE_START_PENDING: return "Starting";
    case SERVICE_STOP_PENDING: return "Stopping";
    case SERVICE_RUNNING: return "Running";
    case SERVICE_CONTINUE_PENDING: return "Continuing";
    case SERVICE_PAUSE_PENDING: return "Pausing";
    case SERVICE_PAUSED: return "Paused";
    default: return "Unknown";
  }
}

/// systemd's view of the report (nothing happens without NOTIFY_SOCKET).
void NotifySystemd(Dispatcher& d, const SERVICE_STATUS& s) {
  if (std::getenv("NOTIFY_SOCKET") == nullptr) return;
  std::string message;
  {
    std::lock_guard lock(d.mu);
    if (s.dwCurrentState == SERVICE_RUNNING && !d.ready_sent) {
      d.ready_sent = true;
      message += "READY=1\n";
    }
    if (s.dwCurrentState == SERVICE_STOP_PENDING && !d.stopping_sent) {
      d.stopping_sent = true;
      message += "STOPPING=1\n";
    }
  }
  if (Pending(s.dwCurrentState) && s.dwWaitHint > 0) {
    // The wait hint is how long the next report may take: give systemd as long.
    message += Format("EXTEND_TIMEOUT_USEC=%llu\n", static_cast<unsigned long long>(s.dwWaitHint) * 2000ull);
  }
  if (Pending(s.dwCurrentState)) {
    message += Format("STATUS=%s (checkpoint %u)", StateText(s.dwCurrentState), s.dwCheckPoint);
  } else if (s.dwCurrentState == SERVICE_STOPPED && s.dwWin32ExitCode != 0) {
    message += Format("STATUS=Stopped (exit code %u)", s.dwWin32ExitCode);
  } else {
    message += Format("STATUS=%s", StateText(s.dwCurrentState));
  }
  (void)::sd_notify(0, message.c_str());
}

/// Writes a report to the record (caller holds report_mu). A service that was
/// deleted (or replaced) meanwhile has no record left to write.
Result<void> WriteReport(Dispatcher& d, const SERVICE_STATUS& s, std::string_view source) {
  if (!d.record) return {};
  auto lock = DbLock::Acquire();
  if (!lock) return Error{lock.error()};
  auto current = LoadConfig(d.name);
  if (!current) return Error{current.error()};
  if (!*current || (*current)->generation != d.record->generation) return {};
  LiveStatus live;
  live.generation = d.record->generation;
  live.status = s;
  live.present = true;
  if (s.dwCurrentState != SERVICE_STOPPED) {
    live.pid = static_cast<DWORD>(::getpid());
    live.start_time = ProcessStartTime(live.pid);
  }
  if (auto stored = StoreStatus(*lock, **current, live, source); !stored) return stored;
  if (s.dwCurrentState == SERVICE_STOPPED && (*current)->delete_pending) RemoveService(*lock, d.name);
  return {};
}

bool TakeFault(DWORD* error) {
  std::lock_guard lock(g_fault_mu);
  if (g_fail_nth == 0) return false;
  if (++g_calls != g_fail_nth) return false;
  g_fail_nth = 0;
  *error = g_fail_error;
  return true;
}

void ArmFaultFromEnvironment() {
  const char* spec = std::getenv(kScmFailSetStatusVariable);
  if (spec == nullptr) return;
  char* end = nullptr;
  const unsigned long nth = std::strtoul(spec, &end, 10);
  if (end == spec || *end != ':') return;
  const char* code = end + 1;
  const unsigned long error = std::strtoul(code, &end, 10);
  if (end == code || *end != '\0' || nth == 0) return;
  scm_test_hooks::FailSetServiceStatus(static_cast<unsigned>(nth), static_cast<DWORD>(error));
}

std::string OwnProgram() {
  std::error_code ec;
  auto exe = std::filesystem::canonical("/proc/self/exe", ec);
  return ec ? std::string() : exe.string();
}

bool NamesProgram(const ServiceConfig& config, const std::string& exe) {
  if (exe.empty() || !config.installed) return false;
  const auto words = SplitCommandLine(config.binary_path);
  if (words.empty()) return false;
  std::error_code ec;
  const auto program = std::filesystem::canonical(NativePath(words[0]), ec);
  return !ec && program.string() == exe;
}

/// True when another live process reports for this record.
bool TakenByOther(const ServiceConfig& config) {
  const LiveStatus s = LoadStatus(config);
  return s.present && s.status.dwCurrentState != SERVICE_STOPPED && s.pid != static_cast<DWORD>(::getpid()) &&
         ProcessAlive(s.pid, s.start_time);
}

std::uint64_t NewGeneration() {
  std::random_device rd;
  std::uint64_t g = 0;
  while (g == 0) g = (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
  return g;
}

/// Chooses the record the dispatcher reports to.
DWORD Bind(Dispatcher& d, std::string_view entry_name, bool* from_start) {
  *from_start = false;
  if (const char* named = std::getenv(kScmServiceVariable); named != nullptr && ValidServiceName(named)) {
    auto loaded = LoadConfig(named);
    if (loaded && *loaded && !TakenByOther(**loaded)) {
      d.name = (*loaded)->name;
      d.record = std::move(**loaded);
      d.record_required = true;
      *from_start = true;
      return ERROR_SUCCESS;
    }
  }
  const std::string exe = OwnProgram();
  std::vector<ServiceConfig> matches;
  for (auto& config : LoadAllConfigs()) {
    if (NamesProgram(config, exe)) matches.push_back(std::move(config));
  }
  if (matches.size() == 1 && !TakenByOther(matches[0])) {
    d.name = matches[0].name;
    d.record = std::move(matches[0]);
    d.record_required = true;
    return ERROR_SUCCESS;
  }

  // A status-only record under the entry's own name.
  d.name = std::string(entry_name);
  auto lock = DbLock::Acquire();
  auto loaded = LoadConfig(entry_name);
  if (loaded && *loaded) {
    if (TakenByOther(**loaded)) return ERROR_SERVICE_ALREADY_RUNNING;
    d.name = (*loaded)->name;
    d.record_required = (*loaded)->installed;
    d.record = std::move(**loaded);
    return ERROR_SUCCESS;
  }
  if (!lock || !loaded) return ERROR_SUCCESS;  // no database: memory only
  ServiceConfig config;
  config.name = std::string(entry_name);
  config.display_name = config.name;
  config.installed = false;
  config.start_type = SERVICE_DEMAND_START;
  config.generation = NewGeneration();
  if (StoreConfig(*lock, config)) {
    std::error_code ec;
    std::filesystem::remove_all(RunDir(config.name), ec);
    d.record = std::move(config);
  }
  return ERROR_SUCCESS;
}

/// The control socket of a dispatcher; unlinked on destruction when it is still ours.
class ControlSocket {
 public:
  ControlSocket() = default;
  ControlSocket(ControlSocket&&) noexcept = default;
  ControlSocket& operator=(ControlSocket&&) noexcept = default;
  ControlSocket(const ControlSocket&) = delete;
  ControlSocket& operator=(const ControlSocket&) = delete;
  ~ControlSocket() {
    if (!fd_) return;
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0 && st.st_ino == inode_) ::unlink(path_.c_str());
  }

  static Result<ControlSocket> Listen(const std::string& name) {
    ControlSocket s;
    s.path_ = ControlSocketPath(name);
    const std::string dir = RunDir(name);
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return Error{Win32FromErrno(errno)};
    auto address = MakeUnixAddress(s.path_);
    if (!address) return Error{address.error()};
    s.fd_.reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!s.fd_) return Error{Win32FromErrno(errno)};
    // A socket left by a dispatcher that died; a live one was ruled out by Bind.
    (void)::unlink(s.path_.c_str());
    if (::bind(s.fd_.get(), reinterpret_cast<const sockaddr*>(address->bytes.data()),
               static_cast<socklen_t>(address->bytes.size())) != 0)
      return Error{Win32FromErrno(errno)};
    // Only the service's own account (and root) may control it.
    (void)::chmod(s.path_.c_str(), 0600);
    struct stat st {};
    if (::stat(s.path_.c_str(), &st) == 0) s.inode_ = st.st_ino;
    if (::listen(s.fd_.get(), 16) != 0) return Error{Win32FromErrno(errno)};
    return s;
  }

  [[nodiscard]] int fd() const { return fd_.get(); }

 private:
  UniqueFd fd_;
  std::string path_;
  ino_t inode_ = 0;
};

void ServeControl(Dispatcher& d, int conn) {
  timeval tv{kReceiveTimeoutMs / 1000, (kReceiveTimeoutMs % 1000) * 1000};
  (void)::setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::uint32_t request[2] = {0, 0};
  const ssize_t n = ::recv(conn, request, sizeof request, 0);
  if (n != static_cast<ssize_t>(sizeof request) || request[0] != kControlMagic) return;
  std::uint32_t answer = 0;
  {
    std::lock_guard lock(d.mu);
    answer = Admit(d, request[1]);
  }
  // Answer first: the handler may end the process, and the controller must
  // still learn that its control was taken.
  (void)::send(conn, &answer, sizeof answer, MSG_NOSIGNAL);
  if (answer != ERROR_SUCCESS) return;
  {
    std::lock_guard lock(d.mu);
    d.queue.push_back(request[1]);
  }
  Wake(d);
}

void ReceiveControls(Dispatcher& d, int listen_fd, int stop_fd) {
  for (;;) {
    pollfd fds[2] = {{listen_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    UniqueFd conn(::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC));
    if (conn) ServeControl(d, conn.get());
  }
}

/// Blocks SIGTERM and SIGINT for the dispatcher's life and takes them through
/// a signalfd; restores the caller's mask and handlers at the end.
class StopSignals {
 public:
  explicit StopSignals(int wake_fd) {
    sigemptyset(&set_);
    sigaddset(&set_, SIGTERM);
    sigaddset(&set_, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set_, &old_mask_);
    fd_.reset(::signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK));
    g_signal_seen.store(false);
    g_signal_wake_fd.store(wake_fd);
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, &old_term_);
    sigaction(SIGINT, &sa, &old_int_);
  }
  ~StopSignals() {
    fd_.reset();
    // Signals that came after the service stopped are dropped with it.
    const timespec zero{0, 0};
    while (sigtimedwait(&set_, nullptr, &zero) > 0) {
    }
    sigaction(SIGTERM, &old_term_, nullptr);
    sigaction(SIGINT, &old_int_, nullptr);
    g_signal_wake_fd.store(-1);
    pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  [[nodiscard]] int fd() const { return fd_.get(); }
  /// True when a stop signal has come since the last call.
  bool Take() {
    bool seen = g_signal_seen.exchange(false);
    signalfd_siginfo info{};
    while (fd_ && ::read(fd_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) seen = true;
    return seen;
  }

 private:
  sigset_t set_{};
  sigset_t old_mask_{};
  struct sigaction old_term_ {};
  struct sigaction old_int_ {};
  UniqueFd fd_;
};

/// Calls the handler for every queued control, and for a waiting stop signal
/// once the service accepts stop. Runs on the dispatcher thread only.
void DeliverControls(Dispatcher& d) {
  for (;;) {
    DWORD control = 0;
    LPHANDLER_FUNCTION handler = nullptr;
    {
      std::lock_guard lock(d.mu);
      if (!d.queue.empty()) {
        control = d.queue.front();
        d.queue.pop_front();
        handler = d.handler;
      } else if (d.stop_requested && d.handler != nullptr && d.reported && Accepts(d.last, SERVICE_ACCEPT_STOP) &&
                 !Pending(d.last.dwCurrentState) && d.last.dwCurrentState != SERVICE_STOPPED) {
        d.stop_requested = false;
        control = SERVICE_CONTROL_STOP;
        handler = d.handler;
      } else {
        return;
      }
    }
    if (handler != nullptr) handler(control);
  }
}

void NoteStopSignal(Dispatcher& d) {
  std::lock_guard lock(d.mu);
  const DWORD state = d.reported ? d.last.dwCurrentState : SERVICE_START_PENDING;
  if (state == SERVICE_STOP_PENDING || state == SERVICE_STOPPED) return;  // already stopping
  d.stop_requested = true;
}

}  // namespace
}  // namespace telmo::platform::detail

using namespace telmo::platform::detail;
using telmo::platform::UniqueFd;

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
  if (table == nullptr || table[0].lpServiceName == nullptr || table[0].lpServiceProc == nullptr ||
      !ValidServiceName(table[0].lpServiceName))
    return Fail(ERROR_INVALID_PARAMETER);
  if (table[1].lpServiceName != nullptr || table[1].lpServiceProc != nullptr) return Fail(ERROR_CALL_NOT_IMPLEMENTED);

  auto d = std::make_shared<Dispatcher>();
  {
    std::lock_guard lock(g_mu);
    if (g_active) return Fail(ERROR_SERVICE_ALREADY_RUNNING);
    d->run = g_next_run++;
    g_active = d;  // reserves the process's one dispatcher while binding
  }
  auto release = [&](DWORD error) {
    std::lock_guard lock(g_mu);
    g_active.reset();
    return Fail(error);
  };

  bool from_start = false;
  if (const DWORD bound = Bind(*d, table[0].lpServiceName, &from_start); bound != ERROR_SUCCESS) return release(bound);
  d->wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!d->wake) return release(telmo::platform::Win32FromErrno(errno));
  ArmFaultFromEnvironment();

  ControlSocket control;
  if (d->record) {
    auto listening = ControlSocket::Listen(d->name);
    if (listening) {
      control = std::move(*listening);
    } else if (d->record_required) {
      return release(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    }
  }

  // The service main's arguments: its name, then what StartServiceA was given.
  std::vector<std::string> args{d->name};
  if (const char* extra = std::getenv(telmo::platform::kScmArgumentsVariable); from_start && extra != nullptr) {
    for (auto& a : telmo::platform::SplitCommandLine(extra)) args.push_back(std::move(a));
  }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  StopSignals signals(d->wake.get());
  UniqueFd receiver_stop(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  std::thread receiver;
  if (control.fd() >= 0 && receiver_stop) {
    receiver = std::thread([&d, listen_fd = control.fd(), stop_fd = receiver_stop.get()] {
      ReceiveControls(*d, listen_fd, stop_fd);
    });
  }
  const LPSERVICE_MAIN_FUNCTIONA service_main = table[0].lpServiceProc;
  std::thread main_thread([&d, &argv, service_main] {
    service_main(static_cast<DWORD>(argv.size() - 1), argv.data());
    {
      std::lock_guard lock(d->mu);
      d->main_returned = true;
    }
    Wake(*d);
  });

  for (;;) {
    DeliverControls(*d);
    {
      std::lock_guard lock(d->mu);
      if (d->main_returned && (d->reported_stopped || !d->reported)) break;
    }
    pollfd fds[2] = {{signals.fd(), POLLIN, 0}, {d->wake.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
    std::uint64_t count = 0;
    while (::read(d->wake.get(), &count, sizeof count) > 0) {
    }
    if (signals.Take()) NoteStopSignal(*d);
  }

  {
    std::lock_guard report_lock(d->report_mu);
    d->closed = true;
    SERVICE_STATUS final_report;
    bool write = false;
    {
      std::lock_guard lock(d->mu);
      if (!d->reported) {
        // The service main gave up without a word: it did not run.
        final_report = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, ERROR_PROCESS_ABORTED, 0, 0, 0};
        write = true;
      } else if (d->last.dwCurrentState != SERVICE_STOPPED) {
        // A report raced past SERVICE_STOPPED: STOPPED stays the last word.
        final_report = d->stopped_report;
        write = true;
      }
    }
    if (write) {
      (void)WriteReport(*d, final_report, "dispatcher");
      NotifySystemd(*d, final_report);
    }
  }
  {
    std::lock_guard lock(g_mu);
    g_active.reset();
  }
  if (receiver.joinable()) {
    const std::uint64_t one = 1;
    ssize_t unused = ::write(receiver_stop.get(), &one, sizeof one);
    (void)unused;
    receiver.join();
  }
  main_thread.join();
  return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(const char* /*service_name*/, LPHANDLER_FUNCTION handler) {
  // Windows does not compare the name for a service that runs alone in its process.
  if (handler == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return SERVICE_STATUS_HANDLE();
  }
  auto d = Active(0);
  if (!d) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return SERVICE_STATUS_HANDLE();
  }
  {
    std::lock_guard lock(d->mu);
    d->handler = handler;
  }
  Wake(*d);
  return SERVICE_STATUS_HANDLE(d->run);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status) {
  if (status == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  auto d = handle ? Active(handle.run()) : nullptr;
  if (!d) return Fail(ERROR_INVALID_HANDLE);
  if (status->dwCurrentState < SERVICE_STOPPED || status->dwCurrentState > SERVICE_PAUSED)
    return Fail(ERROR_INVALID_DATA);
  if (DWORD injected = 0; TakeFault(&injected)) return Fail(injected);

  const SERVICE_STATUS s = *status;
  {
    std::lock_guard report_lock(d->report_mu);
    if (d->closed) return Fail(ERROR_INVALID_HANDLE);
    // The dispatcher's own view changes first: a controller that sees the
    // record must find the dispatcher agreeing with it.
    SERVICE_STATUS previous;
    bool previously_reported = false;
    {
      std::lock_guard lock(d->mu);
      previous = d->last;
      previously_reported = d->reported;
      d->last = s;
      d->reported = true;
    }
    if (auto written = WriteReport(*d, s, "service"); !written && d->record_required) {
      std::lock_guard lock(d->mu);
      d->last = previous;
      d->reported = previously_reported;
      return Fail(written.error());
    }
    if (s.dwCurrentState == SERVICE_STOPPED) {
      std::lock_guard lock(d->mu);
      d->reported_stopped = true;
      d->stopped_report = s;
    }
    NotifySystemd(*d, s);
  }
  Wake(*d);
  return TRUE;
}

namespace telmo::platform::scm_test_hooks {

void FailSetServiceStatus(unsigned nth, DWORD error) {
  std::lock_guard lock(detail::g_fault_mu);
  detail::g_fail_nth = nth;
  detail::g_calls = 0;
  detail::g_fail_error = error;
}

void ClearFaults() {
  std::lock_guard lock(detail::g_fault_mu);
  detail::g_fail_nth = 0;
  detail::g_calls = 0;
}

}  // namespace telmo::platform::scm_test_hooks
