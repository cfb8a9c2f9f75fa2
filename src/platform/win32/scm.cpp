// The service control manager of Windows itself: every controller call goes
// to the system, and the service side is the system's dispatcher. What the
// other backend adds for its own database has no counterpart here:
//  - ServiceDatabaseDir() is empty and ReadServiceHistory() gives nothing
//    (the system keeps no history of status reports);
//  - StartServiceA does not launch anything itself: the system starts the
//    binary path with its own environment, not the caller's.
// The fault injection of SetServiceStatus (TELMO_SCM_FAIL_SET_STATUS, the test
// hooks) works as there.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "platform/environment.h"
#include "platform/scm.h"
#include "platform/win32/native.h"
#include "platform/win_error.h"

namespace telmo::platform::detail {

struct ScObject {
  win32::Handle handle = nullptr;
  ScObject() = default;
  ScObject(const ScObject&) = delete;
  ScObject& operator=(const ScObject&) = delete;
  ~ScObject() {
    if (handle != nullptr) win32::ScClose(handle);
  }
};

}  // namespace telmo::platform::detail

namespace {

namespace win32 = telmo::platform::win32;
using telmo::platform::detail::ScObject;

static_assert(sizeof(SERVICE_STATUS) == 7 * sizeof(std::uint32_t));
static_assert(sizeof(SERVICE_STATUS_PROCESS) == 9 * sizeof(std::uint32_t));
static_assert(sizeof(QUERY_SERVICE_CONFIGA) == 64, "the system's QUERY_SERVICE_CONFIGA layout");

SC_HANDLE Wrap(win32::Handle h) {
  if (h == nullptr) return {};
  auto object = std::make_unique<ScObject>();
  object->handle = h;
  return SC_HANDLE(std::move(object));
}

win32::Handle Native(const SC_HANDLE& h) { return h ? h.get()->handle : nullptr; }

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// SetServiceStatus faults: the nth call from the moment they were armed fails.
std::atomic<unsigned> g_fail_countdown{0};
std::atomic<DWORD> g_fail_error{0};

void ArmFaultsFromEnvironment() {
  const auto spec = telmo::platform::LookupEnvironment(telmo::platform::kScmFailSetStatusVariable);
  if (!spec) return;
  const auto colon = spec->find(':');
  if (colon == std::string::npos) return;
  const unsigned long nth = std::strtoul(spec->substr(0, colon).c_str(), nullptr, 10);
  const unsigned long error = std::strtoul(spec->substr(colon + 1).c_str(), nullptr, 10);
  if (nth > 0) telmo::platform::scm_test_hooks::FailSetServiceStatus(static_cast<unsigned>(nth),
                                                                      static_cast<DWORD>(error));
}

}  // namespace

SC_HANDLE::SC_HANDLE() noexcept = default;
SC_HANDLE::SC_HANDLE(std::unique_ptr<ScObject> object) noexcept : object_(std::move(object)) {}
SC_HANDLE::SC_HANDLE(SC_HANDLE&&) noexcept = default;
SC_HANDLE& SC_HANDLE::operator=(SC_HANDLE&&) noexcept = default;
SC_HANDLE::~SC_HANDLE() = default;
void SC_HANDLE::reset() noexcept { object_.reset(); }

SC_HANDLE OpenSCManagerA(const char* machine, const char* database, DWORD desired_access) {
  return Wrap(win32::ScOpenManager(machine, database, desired_access));
}

SC_HANDLE CreateServiceA(const SC_HANDLE& manager, const char* service_name, const char* display_name,
                         DWORD desired_access, DWORD service_type, DWORD start_type, DWORD error_control,
                         const char* binary_path, const char* load_order_group, DWORD* tag_id,
                         const char* dependencies, const char* service_start_name, const char* password) {
  if (!manager) {
    SetLastError(ERROR_INVALID_HANDLE);
    return {};
  }
  return Wrap(win32::ScCreateService(Native(manager), service_name, display_name, desired_access, service_type,
                                     start_type, error_control, binary_path, load_order_group, tag_id, dependencies,
                                     service_start_name, password));
}

SC_HANDLE OpenServiceA(const SC_HANDLE& manager, const char* service_name, DWORD desired_access) {
  if (!manager) {
    SetLastError(ERROR_INVALID_HANDLE);
    return {};
  }
  return Wrap(win32::ScOpenService(Native(manager), service_name, desired_access));
}

BOOL CloseServiceHandle(SC_HANDLE& handle) {
  if (!handle) return Fail(ERROR_INVALID_HANDLE);
  const win32::Handle h = std::exchange(handle.get()->handle, nullptr);
  handle.reset();
  return win32::ScClose(h) ? TRUE : FALSE;
}

BOOL DeleteService(const SC_HANDLE& service) {
  if (!service) return Fail(ERROR_INVALID_HANDLE);
  return win32::ScDelete(Native(service)) ? TRUE : FALSE;
}

BOOL StartServiceA(const SC_HANDLE& service, DWORD argc, const char** argv) {
  if (!service) return Fail(ERROR_INVALID_HANDLE);
  return win32::ScStart(Native(service), argc, argv) ? TRUE : FALSE;
}

BOOL ControlService(const SC_HANDLE& service, DWORD control, SERVICE_STATUS* status) {
  if (!service) return Fail(ERROR_INVALID_HANDLE);
  SERVICE_STATUS scratch;
  SERVICE_STATUS* out = status ? status : &scratch;
  return win32::ScControl(Native(service), control, &out->dwServiceType) ? TRUE : FALSE;
}

BOOL QueryServiceStatus(const SC_HANDLE& service, SERVICE_STATUS* status) {
  if (!service) return Fail(ERROR_INVALID_HANDLE);
  if (status == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return win32::ScQueryStatus(Native(service), &status->dwServiceType) ? TRUE : FALSE;
}

BOOL QueryServiceStatusEx(const SC_HANDLE& service, SC_STATUS_TYPE level, BYTE* buffer, DWORD buffer_size,
                          DWORD* bytes_needed) {
  if (!service) return Fail(ERROR_INVALID_HANDLE);
  if (level != SC_STATUS_PROCESS_INFO) return Fail(ERROR_INVALID_PARAMETER);
  return win32::ScQueryStatusEx(Native(service), buffer, buffer_size, bytes_needed) ? TRUE : FALSE;
}

BOOL QueryServiceConfigA(const SC_HANDLE& service, QUERY_SERVICE_CONFIGA* config, DWORD buffer_size,
                         DWORD* bytes_needed) {
  if (!service) return Fail(ERROR_INVALID_HANDLE);
  return win32::ScQueryConfig(Native(service), config, buffer_size, bytes_needed) ? TRUE : FALSE;
}

BOOL ChangeServiceConfigA(const SC_HANDLE& service, DWORD service_type, DWORD start_type, DWORD error_control,
                          const char* binary_path, const char* load_order_group, DWORD* tag_id,
                          const char* dependencies, const char* service_start_name, const char* password,
                          const char* display_name) {
  if (!service) return Fail(ERROR_INVALID_HANDLE);
  return win32::ScChangeConfig(Native(service), service_type, start_type, error_control, binary_path,
                               load_order_group, tag_id, dependencies, service_start_name, password, display_name)
             ? TRUE
             : FALSE;
}

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
  if (table == nullptr || table[0].lpServiceName == nullptr || table[0].lpServiceProc == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (table[1].lpServiceName != nullptr) return Fail(ERROR_CALL_NOT_IMPLEMENTED);
  ArmFaultsFromEnvironment();
  return win32::ScRunDispatcher(table[0].lpServiceName, table[0].lpServiceProc) ? TRUE : FALSE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(const char* service_name, LPHANDLER_FUNCTION handler) {
  const win32::Handle h = win32::ScRegisterHandler(service_name, handler);
  return SERVICE_STATUS_HANDLE(reinterpret_cast<std::uint64_t>(h));
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status) {
  if (!handle) return Fail(ERROR_INVALID_HANDLE);
  if (status == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  unsigned left = g_fail_countdown.load();
  while (left > 0 && !g_fail_countdown.compare_exchange_weak(left, left - 1)) {
  }
  if (left == 1) return Fail(g_fail_error.load());
  return win32::ScSetStatus(reinterpret_cast<win32::Handle>(handle.run()), &status->dwServiceType) ? TRUE : FALSE;
}

namespace telmo::platform {

std::string ServiceDatabaseDir() { return {}; }

std::vector<ServiceStatusReport> ReadServiceHistory(std::string_view /*service_name*/) { return {}; }

namespace scm_test_hooks {
void FailSetServiceStatus(unsigned nth, DWORD error) {
  g_fail_error = error;
  g_fail_countdown = nth;
}
void ClearFaults() { g_fail_countdown = 0; }
}  // namespace scm_test_hooks

}  // namespace telmo::platform
