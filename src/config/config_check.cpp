#include "config/config_check.h"

#include <string>

#include "external/telmo_config.h"
#include "external/telmo_env.h"
#include "external/telmo_log.h"
#include "external/telmo_services.h"
#include "platform/accounts.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/win_error.h"
#include "config/file_lookups.h"
#include "util/text.h"

namespace telmo::config {
namespace {

constexpr const char* kSource = "telmo_manager_utils";
constexpr std::size_t kExpandedLimit = 256;
constexpr std::size_t kServiceArgumentLimit = 127;

void Load(int code, StatusBlock& status) { TELMO_SERVER_LDBLK(kFacilityManagement, code, status); }

// The two tests of a port are independent: 0 where another port is expected
// loads both codes.
void CheckPort(std::string_view service, int expected, int missing_code, int differs_code, StatusBlock& status) {
  const int port = TELMO_MGMT_GetServicePort(service);
  if (port == 0) Load(missing_code, status);
  if (port != expected) Load(differs_code, status);
}

void CheckLogon(const ServerRecord& record, StatusBlock& status) {
  const std::string_view username = record.username;
  std::string_view domain = ".";
  std::string_view user = username;
  if (const auto slash = username.find('\\'); slash != std::string_view::npos) {
    domain = username.substr(0, slash);
    user = username.substr(slash + 1);
  }
  TokenHandle token;
  if (!LogonUserA(user, domain, record.password, LOGON32_LOGON_SERVICE, LOGON32_PROVIDER_DEFAULT, token)) {
    const DWORD error = GetLastError();
    TELMO_MGMT_LogMessage(kSource, "TELMO_MGMT_CheckConfiguration", __LINE__,
                          "Win32 error %d when verifying user  %s for server %s\n", static_cast<int>(error),
                          record.username.c_str(), record.name.c_str());
    TELMO_SERVER_LDBLK(kFacilityLogon, static_cast<std::int32_t>(error), status);
    Load(15031, status);
    return;
  }
  CloseHandle(token);
}

bool IsPlainFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::string HistorianChoice(const std::string& executable) {
  std::string chosen;
  TELMO_MGMT_SelectTarnexDlgp(executable, chosen);
  return chosen.empty() ? executable : chosen;
}

// False when the executable can be found neither where it names nor in the
// TELMOROOT tree; on the way it may take the historian DLGP choice or the
// found path.
bool LocateExecutable(ComponentRecord& component) {
  if (std::string chosen = HistorianChoice(component.executable); chosen != component.executable) {
    component.executable = std::move(chosen);
  }
  std::string expanded;
  if (TELMO_MGMT_ExpandFileName(component.executable, expanded, kExpandedLimit) && IsPlainFile(expanded)) return true;
  const auto root = k42_getenv("TELMOROOT");
  std::string found;
  if (root && TELMO_MGMT_FindFileInTree(*root, platform::PathTail(component.executable), found)) {
    component.executable = HistorianChoice(found);
    return true;
  }
  return false;
}

void RegisterComponentService(const ComponentRecord& component) {
  const std::string_view service = component.tcp_service.view();
  if (service.empty() || TELMO_MGMT_GetServicePort(service) != 0) return;
  int found = 0;
  const int port = CheckPortNumber(service, nullptr, &found);
  AddServiceToFile(service, port);
}

// An asynchronous or OPC UA DLGP alone in its server, with "-TCPSERVICE"
// at or before "-OPCSERVER" in its arguments, must name the server's service.
void CheckDlgpService(const ServerRecord& record, StatusBlock& status) {
  if (record.component_count() != 1) return;
  const ComponentRecord* dlgp = record.first_component();
  if (dlgp == nullptr || dlgp->executable.empty() || dlgp->arguments.empty()) return;
  const std::string executable = ToUpper(dlgp->executable);
  if (executable.find("ASYNCDLGP") == std::string::npos && executable.find("TELMO_OPCUA_DLGP") == std::string::npos) {
    return;
  }
  const std::string arguments = ToUpper(dlgp->arguments);
  const std::size_t tcp = arguments.find("-TCPSERVICE");
  const std::size_t opc = arguments.find("-OPCSERVER");
  if (tcp == std::string::npos || opc == std::string::npos || tcp > opc) return;

  const std::string service = ToUpper(record.dlgp_service.view());
  if (ToUpper(dlgp->tcp_service.view()) != service) Load(15042, status);

  // The value runs up to the next "-" (searched from its second character);
  // the blanks around it are not part of a service name.
  std::string_view value = std::string_view(arguments).substr(tcp + std::string_view("-TCPSERVICE").size());
  value = value.substr(0, value.find('-', 1));
  value = value.substr(0, kServiceArgumentLimit);
  value = Trim(telmo_lefttrim(value));
  if (value != service) Load(15043, status);
}

}  // namespace

void CheckConfiguration(ServerRecord& record, int& component_index, StatusBlock& status) {
  component_index = -1;
  CheckPort(record.dlgp_service.view(), record.dlgp_port, 15027, 15032, status);
  if (!record.hist_service.empty()) CheckPort(record.hist_service.view(), record.hist_port, 15028, 15033, status);
  if (record.snf_usage == 1) {
    Text32 scanner;
    Text32 store;
    Text32 forward;
    TELMO_MGMT_GetStoFwdServ(record.dlgp_service.view(), scanner, store, forward);
    CheckPort(scanner.view(), record.scanner_port, 15035, 15036, status);
    CheckPort(store.view(), record.store_port, 15037, 15038, status);
    CheckPort(forward.view(), record.forward_port, 15039, 15040, status);
  }
  if (!record.username.empty()) CheckLogon(record, status);

  for (std::size_t i = 0; i < record.components.size(); ++i) {
    ComponentRecord* component = record.components[i].get();
    if (component == nullptr || component->generated != 0) continue;
    RegisterComponentService(*component);
    if (!component->executable.empty() && !LocateExecutable(*component)) {
      Load(15030, status);
      component_index = static_cast<int>(i);
    }
  }

  if (!status.failed()) CheckDlgpService(record, status);
}

}  // namespace telmo::config
