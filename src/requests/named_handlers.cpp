// The short named requests: tasks, registry flags, the S&F and health-check
// flags of a server, port agreement, the node's no-write mode and the port
// of a service.
//
// Every handler reads its texts within the payload: a text that is missing,
// not terminated, or longer than the field it is read into (where no rule of
// its own says otherwise) drops the request without a reply, and nothing is
// changed.
#include <array>
#include <atomic>
#include <string>

#include "config/globals.h"
#include "config/manager_log.h"
#include "config/server_file.h"
#include "external/telmo_node.h"
#include "external/telmo_services.h"
#include "platform/registry.h"
#include "platform/sysinfo.h"
#include "requests/named_requests.h"
#include "util/text.h"

namespace telmo::requests {
namespace {

// One-shot client-log lines: each kind reaches the client log once per run.
enum OneShot : std::size_t {
  kSnfNotFound,
  kSnfLength,
  kHealthNotFound,
  kHealthBadFlag,
  kHealthLength,
  kOneShotCount,
};
std::array<std::atomic<bool>, kOneShotCount> g_one_shot_armed{true, true, true, true, true};

// -1: ObtainNoWriteMode not asked yet (or it could not tell).
std::atomic<int> g_no_write_mode{-1};
// The registry view flag of the DWORD writer: -1 not asked yet.
std::atomic<int> g_registry_view{-1};

constexpr std::size_t kLongLine = 512;
constexpr std::size_t kShortLine = 256;
constexpr std::size_t kServiceField = 31;  // characters a 32-byte field holds

void Diag(int code, const std::string& line) { DiagLine(kTraceCategory, code, line); }

// The diagnostic line when diagnostics are wanted and, the first time of its
// kind, the client-log line.
void DiagAndOnce(OneShot kind, const std::string& line) {
  Diag(3002, line);
  if (g_one_shot_armed[kind].exchange(false)) ClientLogUnderApplicationName(line);
}

int ToNumber(std::string_view text) { return LeadingNumber(text); }

REGSAM RegistryView() {
  int view = g_registry_view.load();
  if (view < 0) {
    view = TELMO_IsWow64() == 1 ? 1 : 0;
    g_registry_view = view;
  }
  return view == 1 ? KEY_WOW64_32KEY : 0;
}

// The registry DWORD writer: the key must exist, it is never created.
DWORD WriteRegistryDword(const char* key_path, const char* value_name, DWORD value) {
  HKEY key;
  DWORD rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, KEY_WRITE | RegistryView(), &key);
  if (rc != ERROR_SUCCESS) {
    ConsoleErrorReport("RegOpenKeyEx", rc);
    return rc;
  }
  rc = RegSetValueExA(key, value_name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  if (rc != ERROR_SUCCESS) ConsoleErrorReport("RegSetValueEx", rc);
  RegCloseKey(key);
  return rc;
}

struct RegistryFlag {
  int id;
  const char* value_name;
  int reset_value;  // the value whose operation word is "reset"
};
constexpr std::array kRegistryFlags{
    RegistryFlag{8, "TELMOSFRejectOldData", 0},
    RegistryFlag{13, "TELMORescanLogicalDevices", 0},
    RegistryFlag{16, "TELMOChangeoverStandbyCleanup", 0},
    RegistryFlag{18, "TELMOSendCleanupCancels", 1},
};

}  // namespace

void ResetNamedRequestState() {
  for (auto& armed : g_one_shot_armed) armed = true;
  g_no_write_mode = -1;
  g_registry_view = -1;
}

void HandleCreateTasks(NamedRequest& request) {
  const auto t1 = request.Text(31);
  const auto t2 = request.Text(31);
  const auto t3 = request.Text(32);
  const auto t4 = request.Text(1);
  const auto t5 = request.Text(1);
  const auto t6 = request.Text(1);
  // The fourth and fifth texts are one character each: the fields after them
  // start two bytes further on.
  if (!t1 || !t2 || !t3 || !t4 || !t5 || !t6 || t4->size() != 1 || t5->size() != 1) return;
  (void)TELMO_AddTasksToRegistry(*t3, *t1, *t4, *t5, *t6, *t2);
}

void HandleParamsSet(NamedRequest& request) {
  const auto id_text = request.Text(4);
  const auto value_text = request.Text(256);
  if (!id_text || !value_text) return;
  const int id = ToNumber(*id_text);
  const int value = ToNumber(*value_text);
  std::string line;
  const auto* flag = std::find_if(kRegistryFlags.begin(), kRegistryFlags.end(),
                                  [id](const RegistryFlag& f) { return f.id == id; });
  if (flag != kRegistryFlags.end()) {
    const char* operation = value == flag->reset_value ? "reset" : "set";
    if (WriteRegistryDword(kTelmoProductKey, flag->value_name, static_cast<DWORD>(value)) == ERROR_SUCCESS) {
      line = HandlerLine(kLongLine, "Request to %s key %s was successful\n", operation, flag->value_name);
    } else {
      line = HandlerLine(kLongLine, "Failed to %s key %s\n", operation, flag->value_name);
    }
  } else {
    line = HandlerLine(kLongLine, "Update to TELMO variable ID %d is not supported yet.\n", id);
  }
  ClientLogUnderApplicationName(line);
}

void HandleGetSNFEnabledFlag(NamedRequest& request) {
  const auto text = request.Text();
  if (!text) return;
  const std::string service(*text);
  if (service.size() > kServiceField) {
    DiagAndOnce(kSnfLength,
                HandlerLine(kLongLine,
                            ">>>_GetSNFEnabledFlag: Service name passed had incorrect length =[%lld] name = [%s].\n",
                            static_cast<long long>(service.size()), service.c_str()));
    return;
  }
  Diag(3002, HandlerLine(kLongLine, ">>>_GetSNFEnabledFlag: Service: %s.\n", service.c_str()));
  std::string value = "X";
  {
    // The record is used under the table mutex: the stop worker may free it.
    StatusBlock lock_status;
    ServerTableLock table_lock(gServerTable, lock_status);
    const ServerRecord* server = table_lock.owns() ? TELMO_MGMT_FindServer(service, gServerTable) : nullptr;
    if (server == nullptr) {
      DiagAndOnce(kSnfNotFound,
                  HandlerLine(kLongLine, ">>>_GetSNFEnabledFlag: Not found server for service: %s.\n", service.c_str()));
    } else {
      value = server->snf_usage != 0 ? "Y" : "N";
      Diag(3002, HandlerLine(kLongLine, ">>>_GetSNFEnabledFlag: Server %s found for service %s, S&F flag is [%s].\n",
                             server->name.c_str(), service.c_str(), value.c_str()));
    }
  }
  SendShortReply(request, {"GetSNFEnabledFlag", service, value});
}

void HandleSetHealthCheckFlag(NamedRequest& request) {
  const auto text = request.Text();
  const auto rw_text = request.Text(7);
  const auto status_text = request.Text(7);
  if (!text || !rw_text || !status_text) return;
  const std::string service(*text);
  const std::string rw_field(*rw_text);
  const std::string status_field(*status_text);
  if (service.size() > kServiceField) {
    DiagAndOnce(kHealthLength,
                HandlerLine(kLongLine,
                            ">>>_SetHealthCheckFlag: Service name passed had incorrect length =[%lld] name = [%s].\n",
                            static_cast<long long>(service.size()), service.c_str()));
    return;
  }
  const int rw = ToNumber(rw_field);
  const int flag = ToNumber(status_field);
  Diag(3002, HandlerLine(kLongLine, ">>>_SetHealthCheckFlag: Service: %s.\n", service.c_str()));
  std::string value = "X";
  {
    StatusBlock lock_status;
    ServerTableLock table_lock(gServerTable, lock_status);
    ServerRecord* server = table_lock.owns() ? TELMO_MGMT_FindServer(service, gServerTable) : nullptr;
    if (server == nullptr) {
      DiagAndOnce(kHealthNotFound, HandlerLine(kLongLine, ">>>_SetHealthCheckFlag: Not found server for service: %s.\n",
                                               service.c_str()));
    } else if (rw < 0 || rw > 1 || flag < 0 || flag > 1) {
      DiagAndOnce(kHealthBadFlag,
                  HandlerLine(kLongLine,
                              ">>>_SetHealthCheckFlag: Bad flag status [%s] or RW Flag [%s] sent for server %s, "
                              "service: %s.\n",
                              status_field.c_str(), rw_field.c_str(), server->name.c_str(), service.c_str()));
    } else if (rw == 1) {
      value = flag == 1 ? "Y" : "N";
      if (flag != server->health_check) {
        server->health_check = flag;
        Diag(3002, HandlerLine(kLongLine,
                               ">>>_SetHealthCheckFlag: Server %s found for service %s, HealthCheck flag is now set "
                               "to [%s].\n",
                               server->name.c_str(), service.c_str(), value.c_str()));
      }
    } else {
      value = server->health_check != 0 ? "Y" : "N";
    }
  }
  SendShortReply(request, {"SetHealthCheckFlag", service, value});
}

void HandleAgreeOnPort(NamedRequest& request) {
  const auto service_text = request.Text(kServiceField);
  const auto port_text = request.Text(7);
  if (!service_text || !port_text) return;
  const std::string service(*service_text);
  int proposed = ToNumber(*port_text);
  Diag(3002, HandlerLine(kShortLine, ">>>_AgreeOnPort: Service: %s Port: %d\n", service.c_str(), proposed));
  int found = 0;
  const int port = CheckPortNumber(service, &proposed, &found);
  if (port == proposed) {
    Diag(3002, HandlerLine(kShortLine, ">>>_AgreeOnPort: We agree on port number %d\n", port));
    AddServiceToFile(service, port);
  } else {
    Diag(3002, HandlerLine(kShortLine, ">>>_AgreeOnPort: We are proposing portnumber %d\n", port));
  }
  SendShortReply(request, {"AgreeOnPort", service, Format("%d", port)});
}

void HandleNoWriteOption(NamedRequest& request) {
  if (g_no_write_mode.load() == -1) g_no_write_mode = ObtainNoWriteMode();
  SendShortReply(request, {"NoWriteOption", Format("%d", g_no_write_mode.load())});
}

void HandleGetRemoteServicePort(NamedRequest& request) {
  const auto text = request.Text();
  if (!text) return;
  const std::string service(text->substr(0, kServiceField));
  int port = 0;
  // The port is answered as the services file has it (1 to 65535), never
  // narrowed to a signed 16-bit number.
  if (!text->empty() && text->size() < kServiceField) {
    port = TELMO_MGMT_GetServicePort(service);
    DiagLine(kTraceCategory, 3004,
             HandlerLine(kShortLine, ">>>_GetRemoteServicePort: request Service %s. Response is port# = %d\n",
                         service.c_str(), port));
  }
  SendShortReply(request, {"GetRemoteServicePort", service, Format("%d", port)});
}

}  // namespace telmo::requests
