#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "config/globals.h"
#include "config/manager_log.h"
#include "config/manager_state.h"
#include "external/telmo_client.h"
#include "external/telmo_env.h"
#include "external/telmo_server.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "supervision/stop.h"
#include "util/text.h"

namespace telmo::supervision {
namespace {

constexpr std::size_t kKillListCapacity = 128;
constexpr std::size_t kKillNameLimit = 1024;

// The stamp the command interpreter's %date%-%time% gave the kill lines.
std::string KillStamp() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  ::localtime_r(&now, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%a %m/%d/%Y-%H:%M:%S.00", &tm);
  return buf;
}

class TaskKillLog {
 public:
  TaskKillLog() {
    const std::string path = TaskKillLogPath();
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    out_.open(path, std::ios::app);
  }
  void Line(const std::string& text) {
    if (out_) out_ << text << "\r\n" << std::flush;
  }

 private:
  std::ofstream out_;
};

// Ends the marked processes `pids` of one image name. Each process is opened first
// and its marker checked through the handle: an id reused by another process
// after the search never gets that process killed.
int KillMarked(const std::string& image, const std::vector<DWORD>& pids, TaskKillLog& log) {
  int killed = 0;
  for (DWORD pid : pids) {
    ProcessHandle handle = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
    if (!handle || !platform::CarriesMarker(handle, image)) continue;
    if (TerminateProcess(handle, 1)) {
      ++killed;
      log.Line(Format("SUCCESS: The process \"%s\" with PID %u has been terminated.", image.c_str(), pid));
    }
  }
  if (killed == 0) log.Line(Format("ERROR: The process \"%s\" not found.", image.c_str()));
  return killed;
}

using Clock = std::chrono::steady_clock;

// The shut-down request to one component, left open until the wait is over:
// the component answers on it before it ends.
struct ShutdownRequest {
  ComponentRecord* component = nullptr;
  TelmoClient connection;
  bool delivered = false;
};

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Sends the request without waiting for its answer. Failing to reach a
// component (not serving, ended already) is no failure of the stop: the kill
// covers it.
void SendShutdownRequest(ServerRecord& server, ShutdownRequest& request, Clock::time_point deadline) {
  const ComponentRecord& component = *request.component;
  const auto limit = std::chrono::milliseconds(std::max(RemainingMs(deadline), 1));
  DWORD error = ERROR_SUCCESS;
  if (auto endpoint = ResolveService(LocalNode().view(), component.tcp_service.view()); !endpoint) {
    error = endpoint.error();
  } else if (auto client = TelmoClient::Connect(*endpoint, limit); !client) {
    error = client.error();
  } else if (auto sent = client->Post(TELMO_TT_SHUT, {}, limit); !sent) {
    error = sent.error();
  } else {
    request.connection = std::move(client).value();
    request.delivered = true;
  }
  if (!request.delivered && DiagnosticsWanted()) {
    DiagLine(kTraceCategory, 3005,
             Format("Shut-down request to component %s of server %s not delivered: error %u\n",
                    component.name.c_str(), server.name.c_str(), static_cast<unsigned>(error)));
  }
}

}  // namespace

DWORD ShutdownGraceMs() {
  // "Timeout" counts tenths of a second; the wait stays well under it, so a
  // console that waits that long for the stop's reply gets it.
  const long long quarter_of_reply_timeout = static_cast<long long>(gMgmtParameters.timeout.load()) * 100 / 4;
  return static_cast<DWORD>(std::clamp<long long>(quarter_of_reply_timeout, 0, kShutdownGraceMs));
}

void StopComponents(ServerRecord& server, std::span<ComponentRecord* const> components) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ShutdownGraceMs());
  // Every component is asked first, so that all of them end together...
  std::vector<ShutdownRequest> requests;
  requests.reserve(components.size());
  for (ComponentRecord* component : components) {
    TELMO_MGMT_LOG("TELMO_MGMT_StopComponent", "Stopping server %s, component %s\n", server.name.c_str(),
                   component->name.c_str());
    requests.push_back(ShutdownRequest{component, {}, false});
    SendShutdownRequest(server, requests.back(), deadline);
  }
  // ...then one wait against one deadline for those that were asked: a
  // component ending on request is neither cut short nor logged as killed,
  // and one that ignores the request costs the deadline once, not per
  // component.
  for (const ShutdownRequest& request : requests) {
    if (!request.delivered) continue;
    const int index = gProcessTable.Find(&server, request.component);
    if (index < 0 || !gProcessTable.entry(index).process) continue;
    WaitForSingleObject(gProcessTable.entry(index).process, static_cast<DWORD>(RemainingMs(deadline)));
  }
  // What still runs is killed.
  for (ComponentRecord* component : components) TELMO_MGMT_KillComponent(gProcessTable, server, *component);
}

std::string TaskKillLogPath() {
  std::string path;
  (void)TELMO_MGMT_ExpandFileName("%PROGRAMDATA%\\ZARVELCO\\TELMO\\LOG\\TASKKILL.LOG", path, 1024);
  return platform::NativePath(path);
}

std::vector<std::string> BuildKillList(ServerTable& table) {
  std::vector<std::string> names;
  table.ResetCursor();
  while (ServerRecord* server = table.NextServer()) {
    for (const auto& component : server->components) {
      if (!component || component->executable.empty()) continue;
      const std::string name(platform::PathTail(component->executable));
      if (name.empty() || name.size() > kKillNameLimit || names.size() >= kKillListCapacity) continue;
      const bool known = std::any_of(names.begin(), names.end(),
                                     [&](const std::string& n) { return EqualsIgnoreCase(n, name); });
      if (!known) names.push_back(name);
    }
  }
  return names;
}

}  // namespace telmo::supervision

using namespace telmo;

void TELMO_MGMT_StopServer(ServerRecord& server, StatusBlock& status) {
  TELMO_SERVER_INITBLK(status);
  TELMO_MGMT_LOG("TELMO_MGMT_StopServer", "Stopping Server %s\n", server.name.c_str());
  server.desired_state = kDesiredStateStopped;
  std::vector<ComponentRecord*> components;
  server.component_cursor = -1;
  while (ComponentRecord* component = config::NextComponent(server)) components.push_back(component);
  supervision::StopComponents(server, components);
}

void TELMO_MGMT_StopComponent(ComponentRecord& component, ServerRecord& server, StatusBlock& status) {
  TELMO_SERVER_INITBLK(status);
  const std::vector<ComponentRecord*> one{&component};
  supervision::StopComponents(server, one);
}

void TELMO_MGMT_TerminateProcesses(ServerTable& table, StatusBlock& status) {
  TELMO_SERVER_INITBLK(status);
  std::vector<std::string> names;
  {
    ServerTableLock lock(table, status);
    if (!lock.owns()) {
      TELMO_MGMT_LOG("TELMO_MGMT_TerminateProcesses", "TELMO_MGMT_TerminateProcesses: Error getting mutex.  Aborted..\n");
      StatusBlock scratch;
      TELMO_SERVER_LOGBLK(kOwnServiceName, status, scratch);
      return;
    }
    names = supervision::BuildKillList(table);
  }
  if (names.empty()) return;
  supervision::TaskKillLog log;
  log.Line(supervision::KillStamp() + " - TelmoManager service START kills begin");
  // One pass over the processes serves the whole list.
  const auto marked = platform::MarkedProcessesByImage();
  for (const auto& name : names) {
    const auto it = marked.find(ToUpper(name));
    supervision::KillMarked(name, it != marked.end() ? it->second : std::vector<DWORD>{}, log);
  }
  log.Line(supervision::KillStamp() + " - TelmoManager service START kills end");
}
