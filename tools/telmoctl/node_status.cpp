// telmoctl status (no service): every server of the node in one table. The
// DLGP services come from EnumerateDLGPServices, then each server's status
// (GET_SERVER_STATUS) is asked on the same connection, so the run statuses
// are fresh: the manager tests each component's process as it answers.
#include <chrono>
#include <cstdio>
#include <string>

#include "console.h"
#include "named_client.h"

namespace telmoctl {
namespace {

const char* ServerText(int status) {
  switch (status) {
    case 0: return "stopped";
    case 1: return "partly running";
    case 2: return "running";
    default: return "unknown";
  }
}

const char* ComponentText(int status) {
  switch (status) {
    case 0: return "not running";
    case 1: return "running";
    case 2: return "no service to probe";
    default: return "unknown";
  }
}

}  // namespace

int NodeStatus(const Console& console) {
  int exit_code = kSuccess;
  auto client = ConnectManager(console, exit_code);
  if (!client) return exit_code;
  const auto timeout = std::chrono::milliseconds(static_cast<long long>(console.timeout * 1000));
  const auto unreachable = [&](std::uint32_t error) {
    return Fail(console, kUnreachable, "the manager stopped answering (error " + std::to_string(error) + ")");
  };

  const auto list = client->Request(TELMO_TT_MSG, *NamedPayload({"EnumerateDLGPServices"}), timeout);
  if (!list) return unreachable(list.error());
  if (list->status.failed()) return FailStatus(console, list->status, "status");
  const auto data = NamedReplyData(*list);
  if (!data) return Fail(console, kFailed, "the manager's service list is not a named reply");

  nlohmann::json servers = nlohmann::json::array();
  for (const auto& service : DlgpServices(*data)) {
    auto payload = telmo::mgmt::EncodeServiceRequest(service);
    if (!payload) continue;
    const auto reply = client->Request(TELMO_TT_GET_SERVER_STATUS, payload.value(), timeout);
    if (!reply) return unreachable(reply.error());
    auto record = telmo::mgmt::DecodeServerStatus(reply->payload, false);
    // A server removed since the list was taken is left out.
    if (reply->status.failed() || !record) continue;
    nlohmann::json components = nlohmann::json::array();
    for (const auto& c : record->components) components.push_back({{"name", c.name}, {"run_status", c.run_status}});
    servers.push_back({{"name", record->server_name},
                       {"service", service},
                       {"run_status", record->run_status},
                       {"components", components}});
  }

  if (console.json) {
    PrintJson({{"ok", true}, {"servers", servers}});
    return kSuccess;
  }
  std::printf("%-32s %-32s %s\n", "SERVER", "SERVICE", "STATUS");
  for (const auto& s : servers) {
    std::printf("%-32s %-32s %s\n", Printable(s["name"].get<std::string>()).c_str(),
                Printable(s["service"].get<std::string>()).c_str(), ServerText(s["run_status"].get<int>()));
    for (const auto& c : s["components"]) {
      std::printf("  %-30s %-32s %s\n", Printable(c["name"].get<std::string>()).c_str(), "",
                  ComponentText(c["run_status"].get<int>()));
    }
  }
  return kSuccess;
}

}  // namespace telmoctl
