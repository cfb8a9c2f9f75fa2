#include "service/entry.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <optional>

#include "config/globals.h"
#include "config/manager_log.h"
#include "config/manager_state.h"
#include "external/telmo_env.h"
#include "external/telmo_frame.h"
#include "external/telmo_server.h"
#include "external/telmo_services.h"
#include "platform/registry.h"
#include "platform/scm.h"
#include "platform/sync.h"
#include "platform/sysinfo.h"
#include "requests/worker.h"
#include "service/error_report.h"
#include "service/install.h"
#include "service/node_claim.h"
#include "service/service_control.h"
#include "util/text.h"

namespace telmo::service {
namespace {

constexpr const char* kProductKey = "SOFTWARE\\Zarvelco\\TELMO";
constexpr int kFirstManagerPort = 7776;  // the first port tried is the next one

// State of the RegDeleteKeyExA lookup: 0 not tried, 1 available, 2 not available.
int g_reg_delete_key_ex_state = 0;

int ResolveRegDeleteKeyEx() {
  if (g_reg_delete_key_ex_state != 0) return g_reg_delete_key_ex_state;
  g_reg_delete_key_ex_state = platform::RegDeleteKeyExAvailable() ? 1 : 2;
  return g_reg_delete_key_ex_state;
}

// "-infinite": the process sleeps until the developer sends SIGUSR1 (Linux;
// Windows has no such signal) or a debugger counts a release; then the next
// worker waits the same way, and a second SIGUSR1 releases it.
extern "C" void ReleaseInfiniteWait(int) { ReleaseDeveloperWait(); }

void InfiniteWait() {
#ifdef SIGUSR1
  struct sigaction action {};
  action.sa_handler = ReleaseInfiniteWait;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGUSR1, &action, nullptr);
#endif
  DeveloperWait();
  gWorkerWait = true;
}

REGSAM ViewFlag() { return TELMO_IsWow64() == 1 ? KEY_WOW64_32KEY : 0; }

// Writes `value` when `name` cannot be read; the key must exist already.
void DefaultDwords(std::initializer_list<std::pair<const char*, DWORD>> defaults) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | ViewFlag(), &key) !=
      ERROR_SUCCESS) {
    return;
  }
  for (const auto& [name, value] : defaults) {
    if (!platform::RegGetDword(key, name)) (void)platform::RegSetDword(key, name, value);
  }
  RegCloseKey(key);
}

void EnsureManagerServiceEntry() {
  int port = kFirstManagerPort;
  int found = 0;
  int result = 0;
  do {
    ++port;
    result = CheckPortNumber(kOwnServiceName, &port, &found);
  } while (result != port && found == 0);
  if (found == 0) AddServiceToFile(kOwnServiceName, port);
}

void EnsureCollaborativeFile() {
  TelmoEnvironment env;
  TELMO_CLIENT_ENVIRONMENT(env);
  std::string path = Format("%smanagement/%s", env.base_directory.c_str(), "Collaborative.cfg");
  if (path.size() >= 2056) return;
  std::ofstream touch(path, std::ios::app);  // an existing file keeps its content; failure is ignored
}

// The process exit code: 1 when the dispatcher could not run the service.
int ServiceMode() {
  gManagerStarting = true;
  DefaultDwords({{"TELMOMaxPingFailures", 3}, {"TELMOPingFrequency", 60}});
  const SERVICE_TABLE_ENTRYA table[] = {{kOwnServiceName, ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherA(table)) {
    gManagerStarting = false;
    ReportServiceError("StartServiceCtrlDispatcher");
    return 1;
  }
  return 0;
}

std::string Lower(const std::string& s) { return ToLower(s); }

}  // namespace

int ConsoleRun() {
  StatusBlock general;
  StatusBlock scratch;
  Text32 node;
  if (TELMO_SERVER_INIT(1, kOwnServiceName, node, general) == 0) {
    TELMO_SERVER_LOGBLK(kOwnServiceName, general, scratch);
    return 1;
  }
  SetLocalNode(node);
  // The console run touches processes as the service does: never beside a
  // running manager. It serves no requests, so it needs no port.
  if (const char* failed = ClaimNode(false)) {
    ReportServiceError(failed);  // the error event; the console run is not starting a service
    TELMO_SERVER_EXIT(general);
    return 1;
  }
  if (!gServerTable.mutex.Create(general)) TELMO_SERVER_LOGBLK(kOwnServiceName, general, scratch);
  const int startup = SERVICE_ACTION_STARTUP;
  WorkerThread(&startup);
  const int stop = SERVICE_ACTION_STOP;
  WorkerThread(&stop);
  TELMO_SERVER_EXIT(general);
  ReleaseNode();
  gServerTable.mutex.Close(scratch);
  return 0;
}

int ManagerMain(const std::vector<std::string>& args) {
  const std::string first = args.empty() ? std::string() : Lower(args[0]);

  ResolveRegDeleteKeyEx();
  if (first == "-infinite") InfiniteWait();

  if (!platform::EnablePrivilege("SeDebugPrivilege")) {
    std::printf("Cannot set SeDebugPrivilege\n");
    EndProcessNow(0);
  }
  if (!InitializeCriticalSectionAndSpinCount(&gProcessTable.lock, 1024)) EndProcessNow(0);
  platform::RaiseOpenFileLimit();
  platform::KeepFreedMemoryForReuse(wire::kMaxFrame);
  DefaultDwords({{"TELMOTestMessages", 0}});
  EnsureManagerServiceEntry();
  gProcessTable.Init();
  EnsureCollaborativeFile();

  int exit_code = 0;
  if (first.empty() || first == "-infinite") {
    exit_code = ServiceMode();
  } else if (first == "-debug") {
    exit_code = ConsoleRun();
  } else if (first == "-install") {
    const std::size_t words = args.size() - 1;
    if (words == 0) {
      InstallService(std::nullopt, std::nullopt);
      RegisterEventSource();
    } else if (words == 2) {
      InstallService(args[1], args[2]);
      RegisterEventSource();
    } else {
      std::printf("%s", kUsageText);
      exit_code = 1;
    }
  } else if (first == "-remove") {
    TELMO_MGMT_LogMessage("telmo_manager", "main", __LINE__, "Remove TELMO Manager service\n");
    RemoveService();
  } else {
    std::printf("%s", kUsageText);
    exit_code = 1;
  }
  std::fflush(stdout);
  DeleteCriticalSection(&gProcessTable.lock);
  return exit_code;
}

}  // namespace telmo::service
