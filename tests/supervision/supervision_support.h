// Helpers shared by the supervision and request tests: a node with the
// manager's process-wide state set up, fake components installed under the
// image names a test needs, servers built in memory or written as server
// files, and bounded waits on processes and logs.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "config/globals.h"
#include "config/manager_state.h"
#include "external/telmo_log.h"
#include "external/telmo_services.h"
#include "platform/posix/unique_fd.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "support/test_env.h"

namespace telmo::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

/// Polls until `done` holds (bounded); returns whether it did.
inline bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

/// True when no live process has this id: gone, or ended and not reaped yet.
/// Ended means every thread of it: /proc shows the first thread as a zombie
/// ("Z") while the others may still be ending (for hundreds of milliseconds
/// under ThreadSanitizer), and until then the manager rightly sees the
/// process as running. Its pidfd tells when the whole process has ended.
inline bool ProcessGone(DWORD pid) {
  if (pid == 0) return true;
  const platform::UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0)));
  if (!pidfd) return errno == ESRCH;
  pollfd ended{pidfd.get(), POLLIN, 0};
  return ::poll(&ended, 1, 0) > 0;
}
inline bool ProcessAlive(DWORD pid) { return !ProcessGone(pid); }

/// The real user id a process runs under (-1 when it cannot be read).
inline long UidOf(DWORD pid) {
  for (const auto& line : ReadLines("/proc/" + std::to_string(pid) + "/status")) {
    if (line.rfind("Uid:", 0) == 0) return std::stol(line.substr(4));
  }
  return -1;
}

/// Number of times `needle` occurs in a file (texts may span lines).
inline int Occurrences(const fs::path& file, const std::string& needle) {
  const std::string text = ReadFile(file);
  int n = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
  return n;
}

inline fs::path ManagementLog() { return LogPath(LogKind::kManagement); }
inline int LogCount(const std::string& needle) { return Occurrences(ManagementLog(), needle); }

/// A component as a test describes it.
struct ComponentSpec {
  std::string name;
  std::string service;     ///< TCP service (may be empty)
  std::string executable;  ///< as in a server file
  std::string arguments;
};

/// A node with the manager's process-wide state prepared as the entry point
/// and the service main do: the process table lock, the server table mutex
/// and the local node name. Every process the test leaves in the process
/// table, or registers with Track, is killed at the end, and the process-wide
/// tables and flags are emptied, so the next test of the binary starts afresh.
class ManagerNode {
 public:
  explicit ManagerNode(std::string node_name = "TESTNODE") : node(std::move(node_name)) {
    ResetProcessState();
    InitializeCriticalSectionAndSpinCount(&gProcessTable.lock, 1024);
    StatusBlock status{};
    EXPECT_TRUE(gServerTable.mutex.Create(status)) << status.describe();
    SetLocalNode(Text32(node.node()));
    node.Set("PROGRAMDATA", (node.root() / "programdata").string());
    fs::create_directories(node.root() / "programdata");
    fs::create_directories(bin());
  }

  ~ManagerNode() {
    for (auto& entry : gProcessTable.entries()) {
      if (entry.process) {
        TerminateProcess(entry.process, 1);
        WaitForSingleObject(entry.process, 3000);
      }
    }
    for (const DWORD pid : tracked_) {
      if (ProcessAlive(pid)) ::kill(static_cast<pid_t>(pid), SIGKILL);
    }
    ResetProcessState();
  }
  ManagerNode(const ManagerNode&) = delete;
  ManagerNode& operator=(const ManagerNode&) = delete;

  [[nodiscard]] fs::path bin() const { return node.product_root() / "bin"; }

  /// The fake component program copied into the product root as `image`.
  fs::path InstallImage(const std::string& image) {
    const fs::path target = bin() / image;
    if (!fs::exists(target)) {
      fs::copy_file(BuiltProgram("fake_component"), target);
      fs::permissions(target, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
    }
    return target;
  }

  /// Lists `service` in the services file on a free loopback port.
  int AddService(const std::string& service) {
    const int port = FreeLoopbackPort();
    EXPECT_TRUE(AddServiceToFile(service, port)) << service;
    return port;
  }

  /// The file a fake component started with ReadyArgument writes when it serves.
  [[nodiscard]] fs::path ReadyFile(const std::string& tag) const { return node.root() / ("ready-" + tag); }
  [[nodiscard]] std::string ReadyArgument(const std::string& tag) const {
    return "--ready-file=" + ReadyFile(tag).string();
  }
  bool WaitReady(const std::string& tag, std::chrono::milliseconds limit = 15000ms) const {
    return Eventually([&] { return fs::exists(ReadyFile(tag)); }, limit);
  }

  /// A server in the process-wide server table (stopped, as the loader leaves it).
  ServerRecord& AddServer(const std::string& name, const std::string& dlgp_service,
                          const std::vector<ComponentSpec>& components, int health_check = 1) {
    auto server = std::make_unique<ServerRecord>();
    server->name = name;
    server->dlgp_service = Text32(dlgp_service);
    server->health_check = health_check;
    for (const auto& spec : components) {
      auto component = std::make_unique<ComponentRecord>();
      component->name = spec.name;
      component->tcp_service = Text32(spec.service);
      component->executable = spec.executable;
      component->arguments = spec.arguments;
      server->components.push_back(std::move(component));
    }
    ServerRecord& added = *server;
    gServerTable.Append(std::move(server));
    return added;
  }

  /// A serving fake component: its image installed, its service listed, its
  /// ready file passed on the command line.
  ComponentSpec ServingComponent(const std::string& name, const std::string& image, const std::string& service,
                                 const std::string& extra = "") {
    AddService(service);
    std::string arguments = service + " " + ReadyArgument(service);
    if (!extra.empty()) arguments += " " + extra;
    return {name, service, InstallImage(image).string(), arguments};
  }

  void Track(DWORD pid) { tracked_.push_back(pid); }

  /// Logons go through a PAM stack of the test's own: every password is
  /// accepted (pam_permit) or refused (pam_deny).
  void UsePam(bool permit) {
    const std::string module = permit ? "pam_permit.so" : "pam_deny.so";
    WriteFile(node.root() / "pam.d" / "telmo", "auth required " + module + "\naccount required " + module + "\n");
    node.Set("TELMO_PAM_CONFDIR", (node.root() / "pam.d").string());
  }

  TempNode node;

 private:
  static void ResetProcessState() {
    gProcessTable.Init();  // entries point into the records: emptied first
    (void)gServerTable.TakeAll();
    gWatchdogTable = WatchdogTable();
    gMgmtParameters.check_period = MgmtParameters::kDefaultCheckPeriod;
    gMgmtParameters.timeout = MgmtParameters::kDefaultTimeout;
    gManagerExiting = false;
    gManagerStopping = false;
  }

  std::vector<DWORD> tracked_;
};

/// The process id recorded for (server, component), 0 when there is none.
inline DWORD RecordedPid(ServerRecord& server, std::size_t component) {
  const int index = gProcessTable.Find(&server, server.components.at(component).get());
  if (index < 0) return 0;
  return GetProcessId(gProcessTable.entry(index).process);
}

/// Kills a process the way a crash would and waits until it has ended
/// (bounded, allowing for sanitizers on a loaded machine).
inline bool CrashProcess(DWORD pid) {
  if (pid == 0 || ::kill(static_cast<pid_t>(pid), SIGKILL) != 0) return false;
  return Eventually([&] { return ProcessGone(pid); }, 15000ms);
}

}  // namespace telmo::test
