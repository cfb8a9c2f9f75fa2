#include "service/install.h"

#include <cstdio>

#include "config/manager_state.h"
#include "platform/registry.h"
#include "platform/scm.h"
#include "platform/sync.h"
#include "platform/sysinfo.h"
#include "platform/win_error.h"
#include "service/error_report.h"

namespace telmo::service {
namespace {

constexpr const char* kEventLogKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
constexpr DWORD kPathBufferSize = 512;
constexpr DWORD kErrorTextSize = 256;
// How long a removal waits for the service to stop before it reports that it
// failed to stop (the service control manager's own patience is unbounded).
constexpr int kRemoveStopWaitSeconds = 300;

REGSAM ViewFlag() { return TELMO_IsWow64() == 1 ? KEY_WOW64_32KEY : 0; }

[[noreturn]] void Fatal(const char* call, std::optional<DWORD> error = std::nullopt) {
  ConsoleErrorReport(call, error);
  EndProcessNow(1);
}

std::optional<std::string> ProgramPath() {
  char buffer[kPathBufferSize] = {};
  const DWORD n = GetModuleFileNameA(nullptr, buffer, kPathBufferSize);
  if (n == 0 || n >= kPathBufferSize) return std::nullopt;
  return std::string(buffer, n);
}

}  // namespace

void InstallService(const std::optional<std::string>& account, const std::optional<std::string>& password) {
  const auto path = ProgramPath();
  if (!path) {
    std::printf("Unable to install %s - %s\n", kServiceDisplayName, LastErrorText(kErrorTextSize).c_str());
    std::fflush(stdout);
    return;
  }
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) Fatal("OpenSCManager");

  // A list of one name, ending in an empty name.
  static constexpr char kDependencies[] = "LanmanServer\0";
  SC_HANDLE service = CreateServiceA(manager, kInstalledServiceName, kServiceDisplayName, SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                     path->c_str(), nullptr, nullptr, kDependencies,
                                     account ? account->c_str() : nullptr, password ? password->c_str() : nullptr);
  if (!service && GetLastError() != ERROR_SERVICE_EXISTS) Fatal("CreateService");

  RegisterEventSource();
  std::printf("%s installed.\n", kServiceDisplayName);
  std::fflush(stdout);
  CloseServiceHandle(manager);
}

void RegisterEventSource() {
  const auto path = ProgramPath().value_or("");
  HKEY application;
  if (const LSTATUS rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEventLogKey, 0, KEY_WRITE | ViewFlag(), &application);
      rc != ERROR_SUCCESS) {
    Fatal("RegOpenKeyEx", rc);
  }
  HKEY source;
  DWORD disposition = 0;
  if (const LSTATUS rc = RegCreateKeyExA(application, kOwnServiceName, 0, "", 0, KEY_SET_VALUE | ViewFlag(), nullptr,
                                         &source, &disposition);
      rc != ERROR_SUCCESS) {
    Fatal("RegCreateKeyEx", rc);
  }
  // The length counts the terminating NUL.
  if (const LSTATUS rc = RegSetValueExA(source, "EventMessageFile", 0, REG_EXPAND_SZ,
                                        reinterpret_cast<const BYTE*>(path.c_str()),
                                        static_cast<DWORD>(path.size() + 1));
      rc != ERROR_SUCCESS) {
    Fatal("RegSetValueEx", rc);
  }
  const DWORD types = 7;  // error, warning, information
  if (const LSTATUS rc = RegSetValueExA(source, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                                        sizeof types);
      rc != ERROR_SUCCESS) {
    Fatal("RegSetValueEx", rc);
  }
  RegCloseKey(source);
  RegCloseKey(application);
}

void RemoveService() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) Fatal("OpenSCManager");

  SC_HANDLE service = OpenServiceA(manager, kInstalledServiceName, SERVICE_ALL_ACCESS);
  if (!service && GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) Fatal("OpenService");

  if (service) {
    SERVICE_STATUS status;
    if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
      std::printf("Stopping %s.", kServiceDisplayName);
      std::fflush(stdout);
      Sleep(1000);
      for (int waited = 0; waited < kRemoveStopWaitSeconds; ++waited) {
        if (!QueryServiceStatus(service, &status) || status.dwCurrentState != SERVICE_STOP_PENDING) break;
        std::printf(".");
        std::fflush(stdout);
        Sleep(1000);
      }
      if (status.dwCurrentState == SERVICE_STOPPED) {
        std::printf("\n%s stopped.\n", kServiceDisplayName);
      } else {
        std::printf("\n%s failed to stop.\n", kServiceDisplayName);
      }
      std::fflush(stdout);
    }
    if (!DeleteService(service)) {
      const DWORD error = GetLastError();
      std::printf("DeleteService failed - %s\n", LastErrorText(kErrorTextSize).c_str());
      Fatal("DeleteService", error);
    }
    CloseServiceHandle(service);
  }

  HKEY application;
  if (const LSTATUS rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEventLogKey, 0, KEY_WRITE | ViewFlag(), &application);
      rc != ERROR_SUCCESS) {
    Fatal("RegOpenKeyEx", rc);
  }
  if (const LSTATUS rc = RegDeleteKeyA(application, kOwnServiceName); rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
    Fatal("RegDeleteKey", rc);
  }
  RegCloseKey(application);
  std::printf("%s removed.\n", kServiceDisplayName);
  std::fflush(stdout);
  CloseServiceHandle(manager);
}

}  // namespace telmo::service
