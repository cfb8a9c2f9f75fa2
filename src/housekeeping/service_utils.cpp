#include "housekeeping/service_utils.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "config/manager_log.h"
#include "config/line_reader.h"
#include "external/telmo_log.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/scm.h"
#include "platform/sync.h"
#include "platform/win_error.h"
#include "util/text.h"

// Every line here goes to the management log under "telmo_manager_utils" with
// an empty function name.
#define UTILS_LOG(...) TELMO_MGMT_UTILS_LOG("", __VA_ARGS__)

namespace {

using telmo::housekeeping::PollInterval;

bool QueryStatus(const SC_HANDLE& service, SERVICE_STATUS_PROCESS& status) {
  DWORD needed = 0;
  return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &needed) != FALSE;
}

int E(DWORD error) { return static_cast<int>(error); }

}  // namespace

void StartWindowsService(std::string_view service_name) {
  const std::string name(service_name);
  const char* n = name.c_str();
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) {
    const DWORD e = GetLastError();
    UTILS_LOG("Error: OpenSCManager failed, error=[%d,0x%08X] while attempting to start service=[%s]...\n", E(e), e, n);
    return;
  }
  SC_HANDLE service = OpenServiceA(manager, n, SERVICE_ALL_ACCESS);
  if (!service) {
    const DWORD e = GetLastError();
    UTILS_LOG("Error: OpenService failed, error=[%d,0x%08X] while attempting to start service=[%s]...\n", E(e), e, n);
    return;
  }
  DWORD needed = 0;
  if (!QueryServiceConfigA(service, nullptr, 0, &needed) && GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    const DWORD e = GetLastError();
    UTILS_LOG("Error: QueryServiceConfig failed, error=[%d,0x%08X] while attempting to start service=[%s]...\n", E(e),
              e, n);
    return;
  }
  // Storage aligned for the record, the texts after it.
  std::vector<std::uint64_t> buffer((needed + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t) + 1);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
  if (!QueryServiceConfigA(service, config, static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t)), &needed)) {
    const DWORD e = GetLastError();
    UTILS_LOG("Error: QueryServiceConfig (2) failed, error=[%d,0x%08X] while attempting to start service=[%s]...\n",
              E(e), e, n);
    return;
  }
  if (config->dwStartType != SERVICE_AUTO_START) {
    UTILS_LOG("Info: Service=[%s] running check: Startup type is not automatic, it cannot be started if not running...\n",
              n);
    return;
  }
  SERVICE_STATUS_PROCESS status;
  if (!QueryStatus(service, status)) {
    const DWORD e = GetLastError();
    UTILS_LOG("Error: QueryServiceStatusEx failed, error=[%d,0x%08X] while attempting to start service=[%s]...\n",
              E(e), e, n);
    return;
  }
  if (status.dwCurrentState != SERVICE_STOPPED && status.dwCurrentState != SERVICE_STOP_PENDING) {
    if (telmo::DiagnosticsWanted()) UTILS_LOG("Info: Service=[%s] is already running, no need to start it ...\n", n);
    return;
  }

  DWORD start_tick = GetTickCount();
  DWORD checkpoint = status.dwCheckPoint;
  while (status.dwCurrentState == SERVICE_STOP_PENDING) {
    Sleep(PollInterval(status.dwWaitHint));
    if (!QueryStatus(service, status)) {
      const DWORD e = GetLastError();
      UTILS_LOG("Error: QueryServiceStatusEx failed, error=[%d,0x%08X] while waiting for service=[%s] to stop before "
                "starting it...\n",
                E(e), e, n);
      return;
    }
    if (status.dwCheckPoint > checkpoint) {
      start_tick = GetTickCount();
      checkpoint = status.dwCheckPoint;
    } else if (GetTickCount() - start_tick > status.dwWaitHint) {
      UTILS_LOG("Error: Timeout while waiting for service=[%s] to stop before starting it...\n", n);
      return;
    }
  }

  if (!StartServiceA(service, 0, nullptr)) {
    const DWORD e = GetLastError();
    UTILS_LOG("Error: StartService failed, error=[%d,0x%08X] while starting service=[%s]...\n", E(e), e, n);
    return;
  }
  UTILS_LOG("Info: StartService shows service=[%s] is pending...\n", n);

  if (!QueryStatus(service, status)) {
    const DWORD e = GetLastError();
    UTILS_LOG("Error: QueryServiceStatusEx failed, error=[%d,0x%08X] while waiting not start pending for service=[%s] "
              "...\n",
              E(e), e, n);
    return;
  }
  start_tick = GetTickCount();
  checkpoint = status.dwCheckPoint;
  while (status.dwCurrentState == SERVICE_START_PENDING) {
    Sleep(PollInterval(status.dwWaitHint));
    if (!QueryStatus(service, status)) {
      const DWORD e = GetLastError();
      UTILS_LOG("Error: QueryServiceStatusEx failed, error=[%d,0x%08X] while more waiting not start pending for "
                "service=[%s] ...\n",
                E(e), e, n);
      break;
    }
    if (status.dwCheckPoint > checkpoint) {
      start_tick = GetTickCount();
      checkpoint = status.dwCheckPoint;
    } else if (GetTickCount() - start_tick > status.dwWaitHint) {
      break;
    }
  }
  if (status.dwCurrentState == SERVICE_RUNNING) {
    UTILS_LOG("Success: Service=[%s] was started successfully...\n", n);
  } else {
    UTILS_LOG("Error: Service [%s] not started. Current State = %d, Exit Code = %d, Check Point = %d, Wait Hint = %d...\n",
              n, E(status.dwCurrentState), E(status.dwWin32ExitCode), E(status.dwCheckPoint), E(status.dwWaitHint));
  }
}

void StopWindowsService(std::string_view service_name) {
  const std::string name(service_name);
  const char* n = name.c_str();
  constexpr DWORD kTimeout = 30000;
  const DWORD begin = GetTickCount();
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) {
    const DWORD e = GetLastError();
    UTILS_LOG("Error: OpenSCManager failed, error=[%d,0x%08X] while attempting to start service=[%s]...\n", E(e), e, n);
    return;
  }
  SC_HANDLE service = OpenServiceA(manager, n, SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS);
  if (!service) {
    const DWORD e = GetLastError();
    UTILS_LOG("Error: OpenService failed, error=[%d,0x%08X] while attempting to start service=[%s]...\n", E(e), e, n);
    return;
  }
  SERVICE_STATUS_PROCESS status;
  if (!QueryStatus(service, status)) {
    const DWORD e = GetLastError();
    UTILS_LOG("Error: QueryServiceStatusEx failed, error=[%d,0x%08X] while attempting to stop service=[%s]...\n", E(e),
              e, n);
    return;
  }
  if (status.dwCurrentState == SERVICE_STOPPED) return;
  while (status.dwCurrentState == SERVICE_STOP_PENDING) {
    Sleep(PollInterval(status.dwWaitHint));
    if (!QueryStatus(service, status)) {
      const DWORD e = GetLastError();
      UTILS_LOG("Error: QueryServiceStatusEx failed, error=[%d,0x%08X] while waiting for service=[%s] to stop ...\n",
                E(e), e, n);
      return;
    }
    if (status.dwCurrentState == SERVICE_STOPPED) return;
    if (GetTickCount() - begin > kTimeout) {
      UTILS_LOG("Error: Timeout while waiting for service=[%s] to stop before starting it...\n", n);
      return;
    }
  }
  const DWORD stop_begin = GetTickCount();
  SERVICE_STATUS control_status;
  if (!ControlService(service, SERVICE_CONTROL_STOP, &control_status)) {
    const DWORD e = GetLastError();
    UTILS_LOG("Error: ControlService failed, error=[%d,0x%08X] while stopping service=[%s]...\n", E(e), e, n);
    return;
  }
  status.dwCurrentState = control_status.dwCurrentState;
  status.dwWaitHint = control_status.dwWaitHint;
  while (status.dwCurrentState != SERVICE_STOPPED) {
    // The full wait hint between reads; a hint of 0 must not make this spin.
    constexpr DWORD kMinimumWaitMs = 100;
    Sleep(std::max(status.dwWaitHint, kMinimumWaitMs));
    if (!QueryStatus(service, status)) {
      const DWORD e = GetLastError();
      UTILS_LOG("Error: QueryServiceStatusEx failed, error=[%d,0x%08X] while waiting Stop for service=[%s] ...\n",
                E(e), e, n);
      return;
    }
    if (status.dwCurrentState == SERVICE_STOPPED) break;
    if (GetTickCount() - stop_begin > kTimeout) {
      const DWORD e = GetLastError();
      UTILS_LOG("Error: QueryServiceStatusEx failed, error=[%d,0x%08X] while more waiting Stop for service=[%s] ...\n",
                E(e), e, n);
      return;
    }
  }
}

void DeleteFileLogged(std::string_view file, const char* directory, bool log) {
  std::string path;
  if (directory && *directory) {
    path = directory;
    if (!telmo::platform::IsSeparator(path.back())) path += '\\';
  }
  path += file;
  if (log) UTILS_LOG("Info: Deleting file =[%s] ...\n", path.c_str());
  if (!DeleteFileA(path)) {
    const DWORD e = GetLastError();
    UTILS_LOG("Error: DeleteFile failed, error=[%d,0x%08X] for file =[%s] ...\n", E(e), e, path.c_str());
  }
}

void ReplaceMatchingLines(std::string_view path_view, std::string_view first, const char* second,
                          std::string_view replacement) {
  if (path_view.empty() || first.empty()) return;
  StatusBlock status;
  const std::string path(path_view);
  int error = 0;
  auto reader = telmo::config::LineReader::Open(path, error);
  if (!reader) {
    UTILS_LOG("Error %s opening server file %s\n", telmo::config::LineReader::ErrorText(error).c_str(), path.c_str());
    TELMO_SERVER_LDBLK(1, error, status);
    TELMO_SERVER_LDBLK(15, 15001, status);
    return;
  }
  std::string content;
  while (auto line = reader->NextLine()) {
    const bool match =
        line->find(first) != std::string_view::npos && (!second || line->find(second) != std::string_view::npos);
    content.append(match ? replacement : *line);
    content += '\n';
  }
  // A file that could not be read to its end is left as it is: rewritten,
  // it would lose its end (the reader has logged why).
  if (reader->error() != 0) {
    TELMO_SERVER_LDBLK(1, reader->error(), status);
    TELMO_SERVER_LDBLK(15, 15001, status);
    return;
  }
  // The temporary file is renamed over the original only once it is whole;
  // the file keeps its permission, and a symbolic link keeps leading to it.
  if (auto written = telmo::platform::RewriteFileAtomically(path, content); !written) {
    UTILS_LOG("Error %s opening temporary server file %s\n",
              telmo::platform::SystemMessage(written.error()).value_or("").c_str(), (path + ".tmp").c_str());
    TELMO_SERVER_LDBLK(1, static_cast<int>(written.error()), status);
    TELMO_SERVER_LDBLK(15, 15001, status);
  }
}
