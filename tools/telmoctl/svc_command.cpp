// telmoctl svc query|start|stop NAME: the service control manager from the
// console, printed as sc.exe prints it (or as JSON with --json).
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "console.h"
#include "platform/scm.h"
#include "platform/win_error.h"
#include "util/text.h"

namespace telmoctl {
namespace {

struct SvcArgs {
  std::string name;
  std::vector<std::string> start_arguments;
  bool wait = false;
};

const char* StateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED: return "STOPPED";
    case SERVICE_START_PENDING: return "START_PENDING";
    case SERVICE_STOP_PENDING: return "STOP_PENDING";
    case SERVICE_RUNNING: return "RUNNING";
    case SERVICE_CONTINUE_PENDING: return "CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING: return "PAUSE_PENDING";
    case SERVICE_PAUSED: return "PAUSED";
    default: return "UNKNOWN";
  }
}

std::string TypeName(DWORD type) {
  std::string name = (type & SERVICE_WIN32_OWN_PROCESS) != 0     ? "WIN32_OWN_PROCESS"
                     : (type & SERVICE_WIN32_SHARE_PROCESS) != 0 ? "WIN32_SHARE_PROCESS"
                                                                 : "UNKNOWN";
  if ((type & SERVICE_INTERACTIVE_PROCESS) != 0) name += "  (interactive)";
  return name;
}

std::string SystemText(DWORD error) {
  const auto text = telmo::platform::SystemMessage(error);
  return text ? std::string(telmo::Trim(*text)) : std::string();
}

/// "[SC] OpenService FAILED 1060:" and the system's text; exit code 1.
int Failed(const Console& console, const char* call, DWORD error) {
  if (console.json) {
    PrintJson({{"ok", false},
               {"exit_code", kFailed},
               {"call", call},
               {"error", error},
               {"message", telmo::Format("%s FAILED %u: %s", call, error, SystemText(error).c_str())}});
  } else {
    std::printf("[SC] %s FAILED %u:\n\n%s\n\n", call, error, SystemText(error).c_str());
  }
  return kFailed;
}

/// `missed`: the state --wait waited for and did not see (null: none missed).
void Print(const Console& console, const std::string& name, const SERVICE_STATUS_PROCESS& s, const char* missed) {
  const bool stoppable = (s.dwControlsAccepted & SERVICE_ACCEPT_STOP) != 0;
  const bool pausable = (s.dwControlsAccepted & SERVICE_ACCEPT_PAUSE_CONTINUE) != 0;
  const bool shutdown = (s.dwControlsAccepted & SERVICE_ACCEPT_SHUTDOWN) != 0;
  if (console.json) {
    nlohmann::json j{{"ok", missed == nullptr},
                           {"service_name", name},
                           {"type", s.dwServiceType},
                           {"state", s.dwCurrentState},
                           {"state_name", StateName(s.dwCurrentState)},
                           {"controls_accepted", s.dwControlsAccepted},
                           {"stoppable", stoppable},
                           {"pausable", pausable},
                           {"accepts_shutdown", shutdown},
                           {"win32_exit_code", s.dwWin32ExitCode},
                           {"service_exit_code", s.dwServiceSpecificExitCode},
                           {"checkpoint", s.dwCheckPoint},
                           {"wait_hint", s.dwWaitHint},
                           {"pid", s.dwProcessId}};
    if (missed) {
      j["exit_code"] = kFailed;
      j["message"] = telmo::Format("%s did not reach %s within %g s", name.c_str(), missed, console.timeout);
    }
    PrintJson(j);
    return;
  }
  std::printf("\nSERVICE_NAME: %s\n", name.c_str());
  std::printf("        TYPE               : %x  %s\n", s.dwServiceType, TypeName(s.dwServiceType).c_str());
  std::printf("        STATE              : %u  %s\n", s.dwCurrentState, StateName(s.dwCurrentState));
  std::printf("                                (%s, %s, %s)\n", stoppable ? "STOPPABLE" : "NOT_STOPPABLE",
              pausable ? "PAUSABLE" : "NOT_PAUSABLE", shutdown ? "ACCEPTS_SHUTDOWN" : "IGNORES_SHUTDOWN");
  std::printf("        WIN32_EXIT_CODE    : %u  (0x%x)\n", s.dwWin32ExitCode, s.dwWin32ExitCode);
  std::printf("        SERVICE_EXIT_CODE  : %u  (0x%x)\n", s.dwServiceSpecificExitCode, s.dwServiceSpecificExitCode);
  std::printf("        CHECKPOINT         : 0x%x\n", s.dwCheckPoint);
  std::printf("        WAIT_HINT          : 0x%x\n", s.dwWaitHint);
  std::printf("        PID                : %u\n", s.dwProcessId);
  std::printf("        FLAGS              :\n");
  if (missed) {
    std::fprintf(stderr, "telmoctl: %s did not reach %s within %g s\n", name.c_str(), missed, console.timeout);
  }
}

bool QueryEx(const SC_HANDLE& service, SERVICE_STATUS_PROCESS* status) {
  DWORD needed = 0;
  return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(status), sizeof *status,
                              &needed) != FALSE;
}

/// Polls until `done` holds for the status or the console's time-out passes.
template <typename Done>
bool WaitFor(const Console& console, const SC_HANDLE& service, SERVICE_STATUS_PROCESS* status, Done done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(console.timeout);
  while (!done(*status)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!QueryEx(service, status)) return false;
  }
  return true;
}

enum class Verb { kQuery, kStart, kStop };

int Run(const Console& console, const SvcArgs& args, Verb verb) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return Failed(console, "OpenSCManager", GetLastError());
  const DWORD access = verb == Verb::kQuery   ? SERVICE_QUERY_STATUS
                       : verb == Verb::kStart ? SERVICE_START | SERVICE_QUERY_STATUS
                                              : SERVICE_STOP | SERVICE_QUERY_STATUS;
  SC_HANDLE service = OpenServiceA(manager, args.name.c_str(), access);
  if (!service) return Failed(console, "OpenService", GetLastError());

  if (verb == Verb::kStart) {
    std::vector<const char*> argv;
    for (const auto& a : args.start_arguments) argv.push_back(a.c_str());
    if (!StartServiceA(service, static_cast<DWORD>(argv.size()), argv.empty() ? nullptr : argv.data()))
      return Failed(console, "StartService", GetLastError());
  } else if (verb == Verb::kStop) {
    SERVICE_STATUS ignored;
    if (!ControlService(service, SERVICE_CONTROL_STOP, &ignored))
      return Failed(console, "ControlService", GetLastError());
  }
  SERVICE_STATUS_PROCESS status;
  if (!QueryEx(service, &status)) return Failed(console, "QueryServiceStatusEx", GetLastError());
  bool reached = true;
  if (args.wait && verb == Verb::kStart) {
    reached = WaitFor(console, service, &status,
                      [](const SERVICE_STATUS_PROCESS& s) { return s.dwCurrentState != SERVICE_START_PENDING; });
    reached = reached && status.dwCurrentState == SERVICE_RUNNING;
  } else if (args.wait && verb == Verb::kStop) {
    reached = WaitFor(console, service, &status,
                      [](const SERVICE_STATUS_PROCESS& s) { return s.dwCurrentState == SERVICE_STOPPED; });
  }
  Print(console, args.name, status, reached ? nullptr : verb == Verb::kStart ? "RUNNING" : "STOPPED");
  return reached ? kSuccess : kFailed;
}

}  // namespace

void AddSvcCommands(CLI::App& app, Console& console) {
  CLI::App* svc = app.add_subcommand("svc", "Services of this node, as sc.exe shows and drives them");
  svc->require_subcommand(1);
  auto args = std::make_shared<SvcArgs>();

  struct Entry {
    const char* name;
    const char* help;
    Verb verb;
  };
  for (const Entry& e : {Entry{"query", "Print the status of a service", Verb::kQuery},
                         Entry{"start", "Start a service and print its status", Verb::kStart},
                         Entry{"stop", "Send the stop control and print the status", Verb::kStop}}) {
    CLI::App* sub = svc->add_subcommand(e.name, e.help);
    sub->add_option("name", args->name, "Service name (letter case does not matter)")->required();
    if (e.verb == Verb::kStart) sub->add_option("arguments", args->start_arguments, "Arguments for the service main");
    if (e.verb != Verb::kQuery)
      sub->add_flag("--wait", args->wait,
                    "Wait (up to --timeout seconds) until the service runs or has stopped; exit code 1 if it does not");
    const Verb verb = e.verb;
    sub->callback([&console, args, verb] {
      console.action = [&console, args, verb] { return Run(console, *args, verb); };
    });
  }
}

}  // namespace telmoctl
