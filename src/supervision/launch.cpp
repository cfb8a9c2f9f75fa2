#include "supervision/launch.h"

#include "config/globals.h"
#include "config/manager_log.h"
#include "config/manager_state.h"
#include "config/server_table.h"
#include "external/telmo_env.h"
#include "external/telmo_files.h"
#include "external/telmo_log.h"
#include "external/telmo_text.h"
#include "housekeeping/service_utils.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/sysinfo.h"
#include "platform/win_error.h"
#include "supervision/liveness.h"
#include "supervision/stop.h"
#include "util/text.h"

namespace telmo::supervision {

std::string LaunchVerb() { return platform::ShellVersion() > 0x60000 ? "runas" : "open"; }

int LoggedProcessId(const ProcessHandle& process) {
  return process ? static_cast<int>(GetProcessId(process)) : -1;
}

namespace {

struct ProductVersion {
  int major = 0, minor = 0, build = 0, revision = 0;
};

ProductVersion VersionOf(const std::string& path) {
  ProductVersion v;
  TELMO_GetProductVersionFromFileName(path, v.major, v.minor, v.build, v.revision);
  return v;
}

constexpr const char* kControllerService = "VexplanContextService";
constexpr const char* kControllerImage = "telmo_vxpl_dlgp.exe";

// The controller DLGP is started by its context service; the manager adopts
// the process it finds. A process of that image name is adopted only when it
// runs the configured executable file or was started for the context service:
// an adopted process is killed when its server stops, so a namesake started
// by hand must never be taken for it.
DWORD FindControllerDlgp(const std::string& path, ProcessHandle& process) {
  process.reset();
  SnapshotHandle snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (!snapshot) return 0;
  PROCESSENTRY32 entry;
  DWORD found = 0;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (entry.szExeFile.find(kControllerImage) == std::string::npos) continue;
    ProcessHandle candidate = OpenProcess(PROCESS_SET_INFORMATION, TRUE, entry.th32ProcessID);
    if (platform::RunsProgramFile(candidate, path) || platform::StartedForService(candidate, kControllerService)) {
      process = std::move(candidate);
      found = entry.th32ProcessID;
      break;
    }
  }
  CloseHandle(snapshot);
  return found;
}

void AdoptControllerDlgp(ComponentRecord& component, ServerRecord& server, const std::string& path,
                         const ProductVersion& v) {
  StartWindowsService(kControllerService);
  ProcessHandle process;
  const DWORD pid = FindControllerDlgp(path, process);
  if (DiagnosticsWanted()) {
    TELMO_MGMT_LOG("TELMO_MGMT_StartComponent", "Started component %s at [%s v%d.%d.%d.%d] hprocess =[%d] PID [%d, %d]\n",
               component.name.c_str(), path.c_str(), v.major, v.minor, v.build, v.revision, process.value(),
               LoggedProcessId(process), static_cast<int>(pid));
  }
  TELMO_MGMT_RecordProcess(gProcessTable, server, component, process);
}

}  // namespace
}  // namespace telmo::supervision

using namespace telmo;
using namespace telmo::supervision;

void TELMO_MGMT_StartServer(ServerRecord& server, StatusBlock& status) {
  TELMO_SERVER_INITBLK(status);
  TELMO_MGMT_LOG("TELMO_MGMT_StartServer", "Starting Server %s\n", server.name.c_str());
  // Before the logon: a server whose logon fails still counts as started,
  // so the periodic check retries it.
  server.desired_state = kDesiredStateStarted;
  LogonToken logon;
  if (!TELMO_MGMT_LogonServerUser(server, logon, status)) return;
  server.component_cursor = -1;
  while (ComponentRecord* component = config::NextComponent(server)) {
    if (status.failed()) break;
    TELMO_MGMT_StartComponent(*component, server, logon, status);
  }
  CloseHandle(logon.token);
}

bool TELMO_MGMT_LogonServerUser(const ServerRecord& server, LogonToken& logon, StatusBlock& status) {
  logon.token.reset();
  logon.not_logged_on = 1;
  if (server.username.empty()) return true;
  std::string_view domain = ".";
  std::string_view user = server.username;
  if (const auto slash = user.find('\\'); slash != std::string_view::npos) {
    domain = user.substr(0, slash);
    user = user.substr(slash + 1);
  }
  if (!LogonUserA(user, domain, server.password, LOGON32_LOGON_SERVICE, LOGON32_PROVIDER_DEFAULT, logon.token)) {
    const DWORD error = GetLastError();
    TELMO_MGMT_LOG("TELMO_MGMT_LogonServerUser", "Win32 error %d logging on as %s for server %s\n",
               static_cast<int>(error), server.username.c_str(), server.name.c_str());
    TELMO_SERVER_LDBLK(kFacilityLogon, static_cast<std::int32_t>(error), status);
    TELMO_SERVER_LDBLK(kFacilityManagement, 15014, status);
    return false;
  }
  logon.not_logged_on = 0;
  if (DiagnosticsWanted()) {
    TELMO_MGMT_LOG("TELMO_MGMT_LogonServerUser", "Success logging on as %s for server %s\n", server.username.c_str(),
               server.name.c_str());
  }
  return true;
}

void TELMO_MGMT_StartComponent(ComponentRecord& component, ServerRecord& server, LogonToken& logon,
                               StatusBlock& status) {
  StatusBlock scratch;
  if (gManagerStopping) {
    // Nothing is started once a stop has begun: it would outlive the stop.
    TELMO_SERVER_LDBLK(kFacilityManagement, kStatusManagerStopping, status);
    return;
  }
  if (TELMO_MGMT_IsComponentRunning(gProcessTable, server, component) == 1) return;
  if (component.executable.empty()) return;

  std::string path;
  if (!TELMO_MGMT_ExpandFileName(component.executable, path, 1024)) {
    TELMO_MGMT_LOG("TELMO_MGMT_StartComponent", "Getenv failed starting %s at %s\n", component.name.c_str(),
               component.executable.c_str());
    TELMO_SERVER_LDBLK(kFacilityManagement, 15016, status);
  }
  const auto v = VersionOf(path);
  if (DiagnosticsWanted()) {
    TELMO_MGMT_LOG("TELMO_MGMT_StartComponent", "Starting component %s at [%s  v%d.%d.%d.%d] arg [%s]\n",
               component.name.c_str(), path.c_str(), v.major, v.minor, v.build, v.revision,
               component.arguments.c_str());
  }
  if (telmo_upper(path).find("TELMO_VXPL_DLGP") != std::string::npos) {
    AdoptControllerDlgp(component, server, path, v);
    return;
  }

  TELMO_MGMT_KillComponent(gProcessTable, server, component);
  ProcessHandle process;
  if (!TELMO_MGMT_CreateProcess(component.tcp_service.view(), LaunchVerb(), path,
                                component.arguments, &logon, nullptr, &process, 1, status)) {
    TELMO_SERVER_LOGBLK(kOwnServiceName, status, scratch);
    TELMO_MGMT_LOG("TELMO_MGMT_StartComponent",
               "System error %d creating process %s for component %s at [%s v%d.%d.%d.%d] arg [%s]\n",
               status.severity, component.executable.c_str(), component.name.c_str(), path.c_str(), v.major,
               v.minor, v.build, v.revision, component.arguments.c_str());
    return;
  }
  if (DiagnosticsWanted()) {
    TELMO_MGMT_LOG("TELMO_MGMT_StartComponent", "Started component %s at [%s v%d.%d.%d.%d] argv [%s] PID [%d]\n",
               component.name.c_str(), path.c_str(), v.major, v.minor, v.build, v.revision,
               component.arguments.c_str(), LoggedProcessId(process));
  }
  TELMO_MGMT_RecordProcess(gProcessTable, server, component, process);
}

int TELMO_MGMT_RecordProcess(ProcessTable& table, ServerRecord& server, ComponentRecord& component,
                             ProcessHandle& process) {
  const int new_pid = LoggedProcessId(process);
  ProcessTable::Registered registered = table.Register(server, component, std::move(process));
  if (registered.replaced) {
    TELMO_MGMT_LOG("TELMO_MGMT_RecordProcess", "Replaced component %s at [%s] argv [%s] PID [%d], New PID [%d]\n",
               component.name.c_str(), component.executable.c_str(), component.arguments.c_str(),
               LoggedProcessId(registered.replaced), new_pid);
  }
  return registered.index;
}

void TELMO_MGMT_RunScript(std::string_view script, StatusBlock& status) {
  StatusBlock scratch;
  std::string path;
  if (!TELMO_MGMT_ExpandFileName(script, path, 1024)) return;
  const std::string unexpanded(script);
  TELMO_MGMT_LOG("TELMO_MGMT_RunScript", "Starting %s\n", unexpanded.c_str());

  // The script is quoted so that the command line splits back to exactly that path.
  const std::string arguments = platform::ScriptArguments(path);

  std::string program_data;
  (void)TELMO_MGMT_ExpandFileName("%PROGRAMDATA%", program_data, 1024);
  const bool under_program_data = telmo_upper(path).find("PROGRAMDATA") != std::string::npos ||
                                  (!program_data.empty() && platform::NativePath(path).rfind(
                                                                platform::NativePath(program_data), 0) == 0);
  std::string working;
  (void)TELMO_MGMT_ExpandFileName(
      under_program_data ? "%PROGRAMDATA%\\Zarvelco\\TELMO\\commands" : "%TELMOROOTQ%\\commands", working, 1024);
  working = platform::NativePath(working);

  if (!TELMO_MGMT_CreateProcess("TELMOScript", LaunchVerb(), platform::CommandInterpreter(), arguments, nullptr,
                                working.c_str(), nullptr, 1, status)) {
    TELMO_SERVER_LOGBLK(kOwnServiceName, status, scratch);
    TELMO_MGMT_LOG("TELMO_MGMT_RunScript", "Error Starting %s\n", unexpanded.c_str());
  }
}

DWORD TELMO_MGMT_FindProcessByName(std::string_view text, ProcessHandle& process) {
  process.reset();
  SnapshotHandle snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (!snapshot) return 0;
  PROCESSENTRY32 entry;
  DWORD found = 0;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (entry.szExeFile.find(text) != std::string::npos) {
      process = OpenProcess(PROCESS_SET_INFORMATION, TRUE, entry.th32ProcessID);
      found = entry.th32ProcessID;
      break;
    }
  }
  CloseHandle(snapshot);
  return found;
}
