#include "config/components.h"

#include <memory>
#include <string>

#include "external/telmo_config.h"
#include "external/telmo_log.h"
#include "util/text.h"

namespace telmo::config {
namespace {

// A generated component, as the composed component line would read back: the
// services are at most 31 characters and the DLGP's arguments (from a
// component line of a file) hold no comma and no leading blank, so building the
// record directly gives the same fields without the line's length limit.
std::unique_ptr<ComponentRecord> Generated(std::string_view name, const Text32& service, std::string_view executable,
                                           std::string_view arguments) {
  auto c = std::make_unique<ComponentRecord>();
  c->name = name;
  c->tcp_service = service;
  c->executable = executable;
  c->arguments = arguments;
  c->built_in = 1;
  c->generated = 1;
  return c;
}

}  // namespace

bool IsOpcUaDlgp(const ServerRecord& server) noexcept {
  const ComponentRecord* dlgp = server.first_component();
  return dlgp != nullptr && ContainsIgnoreCase(dlgp->executable, "TELMO_OPCUA_DLGP");
}

bool IsAsyncDlgp(const ServerRecord& server) noexcept {
  const ComponentRecord* dlgp = server.first_component();
  return dlgp != nullptr && ContainsIgnoreCase(dlgp->executable, "ASYNCDLGP");
}

void AddOpcUaComponents(std::string_view dlgp_service, ServerRecord& server, int snf_usage) {
  const std::size_t back = snf_usage == 1 ? 6 : 3;
  auto& slots = server.components;
  if (slots.size() < back + 1) return;  // no room beside the DLGP
  Text32 read;
  Text32 write;
  Text32 unsolicited;
  TELMO_MGMT_GetOPCUAServ(dlgp_service, read, write, unsolicited);
  const ComponentRecord* dlgp = server.first_component();
  const std::string arguments = dlgp != nullptr ? dlgp->arguments : std::string();
  const std::size_t at = slots.size() - back;
  slots[at] = Generated("OPC UA READ DIOP process", read, kOpcUaReadExecutable, arguments);
  slots[at + 1] = Generated("OPC UA WRITE process", write, kOpcUaWriteExecutable, arguments);
  slots[at + 2] = Generated("OPC UA UNSOL process", unsolicited, kOpcUaUnsolExecutable, arguments);
}

void AddSnfComponents(std::string_view dlgp_service, ServerRecord& server, SnfParameters parameters) {
  auto& slots = server.components;
  if (slots.size() < 4) return;  // no room beside the DLGP
  Text32 scanner;
  Text32 store;
  Text32 forward;
  TELMO_MGMT_GetStoFwdServ(dlgp_service, scanner, store, forward);
  const std::size_t at = slots.size() - 3;
  slots[at] = Generated("Scanner process", scanner, kScannerExecutable, dlgp_service);
  slots[at + 1] = Generated("Store process", store, kStoreExecutable, dlgp_service);
  slots[at + 2] = Generated("Forward process", forward, kForwardExecutable, dlgp_service);
  for (std::size_t i = at; i < slots.size(); ++i) {
    ExtendSnfArguments(*slots[i], server.store_file_path, parameters);
  }
}

void ExtendSnfArguments(ComponentRecord& component, std::string_view store_file_path,
                        const SnfParameters& parameters) {
  const std::string& executable = component.executable;
  const bool path_given = !EqualsIgnoreCase(store_file_path, "Default");
  std::string arguments = component.arguments;

  if (executable.find("Telmo_sf_store") != std::string::npos) {
    if (path_given) (arguments += ' ') += store_file_path;
    if (parameters.store_timeout.view() != "Default") (arguments += ' ') += parameters.store_timeout.view();
    if (!EqualsIgnoreCase(parameters.store_notaginfo.view(), "Default")) arguments += " NOTAGINFO";
    arguments += Format(" -MaxTimeInQueue %d ", parameters.max_time_in_queue);
    arguments += Format(" -MaxQueueFileSize %d ", parameters.max_queue_file_size);
  }
  if (executable.find("Telmo_sf_scanner") != std::string::npos) {
    if (parameters.scanner_timeout.view() != "Default") (arguments += ' ') += parameters.scanner_timeout.view();
    if (!EqualsIgnoreCase(parameters.scanner_notaginfo.view(), "Default")) arguments += " NOTAGINFO";
    if (!EqualsIgnoreCase(parameters.scanner_device.view(), "Default")) arguments += " DEVICE";
  }
  if (executable.find("Telmo_sf_forward") != std::string::npos) {
    if (path_given) (arguments += ' ') += store_file_path;
    if (parameters.forward_timeout.view() != "Default") (arguments += ' ') += parameters.forward_timeout.view();
    if (!EqualsIgnoreCase(parameters.forward_msgs.view(), "Default")) {
      (arguments += " MSGS ") += parameters.forward_msgs.view();
    }
  }

  if (arguments.size() > component.arguments.size()) {
    component.arguments = std::move(arguments);
    if (TELMO_DIAG_LOGSTATE() == 0) {
      TELMO_MGMT_LogMessage("telmo_manager_utils", "TELMO_MGMT_ExtendSnfArguments", __LINE__,
                            "TELMO Server [%s], S&F executable [%s] has new arguments [%s]\n",
                            component.tcp_service.c_str(), component.executable.c_str(), component.arguments.c_str());
    }
  }
}

void ParseSnfArguments(const ComponentRecord& component, std::string_view dlgp_service,
                       std::string_view store_file_path, SnfParameters& block) {
  TELMO_MGMT_ParseSNFArguments({component.executable, component.arguments}, dlgp_service, store_file_path, block);
}

}  // namespace telmo::config
