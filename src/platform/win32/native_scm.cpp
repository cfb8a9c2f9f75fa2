// The service control manager: the system calls behind native.h.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <atomic>
#include <cstring>

#include "platform/win32/native.h"

namespace telmo::platform::win32 {

static_assert(sizeof(SERVICE_STATUS) == 7 * sizeof(u32));

namespace {
SC_HANDLE Sc(Handle h) { return static_cast<SC_HANDLE>(h); }

// The system calls the service main and the handler with its own calling
// convention; these forward to the functions the caller gave.
std::atomic<ServiceMain> g_main{nullptr};
std::atomic<ServiceHandler> g_handler{nullptr};

void WINAPI MainTrampoline(DWORD argc, LPSTR* argv) {
  if (auto fn = g_main.load()) fn(argc, argv);
}
void WINAPI HandlerTrampoline(DWORD control) {
  if (auto fn = g_handler.load()) fn(control);
}
}  // namespace

Handle ScOpenManager(const char* machine, const char* database, u32 access) noexcept {
  return ::OpenSCManagerA(machine, database, access);
}

Handle ScCreateService(Handle manager, const char* name, const char* display, u32 access, u32 type, u32 start,
                       u32 error_control, const char* binary, const char* group, u32* tag, const char* dependencies,
                       const char* account, const char* password) noexcept {
  DWORD t = tag ? *tag : 0;
  SC_HANDLE h = ::CreateServiceA(Sc(manager), name, display, access, type, start, error_control, binary, group,
                                 tag ? &t : nullptr, dependencies, account, password);
  if (tag) *tag = t;
  return h;
}

Handle ScOpenService(Handle manager, const char* name, u32 access) noexcept {
  return ::OpenServiceA(Sc(manager), name, access);
}
bool ScClose(Handle h) noexcept { return ::CloseServiceHandle(Sc(h)) != 0; }
bool ScDelete(Handle service) noexcept { return ::DeleteService(Sc(service)) != 0; }
bool ScStart(Handle service, u32 argc, const char** argv) noexcept {
  return ::StartServiceA(Sc(service), argc, const_cast<LPCSTR*>(argv)) != 0;
}

bool ScControl(Handle service, u32 control, u32* status) noexcept {
  SERVICE_STATUS s{};
  const BOOL ok = ::ControlService(Sc(service), control, &s);
  std::memcpy(status, &s, sizeof s);
  return ok != 0;
}

bool ScQueryStatus(Handle service, u32* status) noexcept {
  SERVICE_STATUS s{};
  const BOOL ok = ::QueryServiceStatus(Sc(service), &s);
  std::memcpy(status, &s, sizeof s);
  return ok != 0;
}

bool ScQueryStatusEx(Handle service, unsigned char* buffer, u32 size, u32* needed) noexcept {
  DWORD n = 0;
  const BOOL ok = ::QueryServiceStatusEx(Sc(service), SC_STATUS_PROCESS_INFO, buffer, size, &n);
  if (needed) *needed = n;
  return ok != 0;
}

bool ScQueryConfig(Handle service, void* buffer, u32 size, u32* needed) noexcept {
  DWORD n = 0;
  const BOOL ok = ::QueryServiceConfigA(Sc(service), static_cast<LPQUERY_SERVICE_CONFIGA>(buffer), size, &n);
  if (needed) *needed = n;
  return ok != 0;
}

bool ScChangeConfig(Handle service, u32 type, u32 start, u32 error_control, const char* binary, const char* group,
                    u32* tag, const char* dependencies, const char* account, const char* password,
                    const char* display) noexcept {
  DWORD t = tag ? *tag : 0;
  const BOOL ok = ::ChangeServiceConfigA(Sc(service), type, start, error_control, binary, group, tag ? &t : nullptr,
                                         dependencies, account, password, display);
  if (tag) *tag = t;
  return ok != 0;
}

bool ScRunDispatcher(const char* name, ServiceMain main) noexcept {
  g_main = main;
  SERVICE_TABLE_ENTRYA table[2] = {{const_cast<LPSTR>(name), MainTrampoline}, {nullptr, nullptr}};
  return ::StartServiceCtrlDispatcherA(table) != 0;
}

Handle ScRegisterHandler(const char* name, ServiceHandler handler) noexcept {
  g_handler = handler;
  return reinterpret_cast<Handle>(::RegisterServiceCtrlHandlerA(name, HandlerTrampoline));
}

bool ScSetStatus(Handle status_handle, const u32* status) noexcept {
  SERVICE_STATUS s{};
  std::memcpy(&s, status, sizeof s);
  return ::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(status_handle), &s) != 0;
}

u32 ServiceProcessId(const std::string& name) noexcept {
  SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return 0;
  u32 pid = 0;
  if (SC_HANDLE service = ::OpenServiceA(manager, name.c_str(), SERVICE_QUERY_STATUS)) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof status,
                               &needed) &&
        status.dwCurrentState != SERVICE_STOPPED) {
      pid = status.dwProcessId;
    }
    ::CloseServiceHandle(service);
  }
  ::CloseServiceHandle(manager);
  return pid;
}

}  // namespace telmo::platform::win32
