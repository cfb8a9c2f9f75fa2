// telmoctl start|stop|status SERVICE: server control by DLGP TCP service.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "console.h"
#include "external/telmo_mgmt.h"
#include "external/telmo_process_status.h"
#include "util/text.h"
#include "manager_client.h"

namespace telmoctl {
namespace {

const char* ServerRunStatusName(int status) {
  switch (status) {
    case 0: return "stopped";
    case 1: return "partly running";
    case 2: return "running";
    default: return "unknown";
  }
}

const char* ComponentRunStatusName(int status) {
  switch (status) {
    case 0: return "not running";
    case 1: return "running";
    case 2: return "no service to probe";
    default: return "unknown";
  }
}

std::optional<std::vector<std::uint8_t>> ServicePayload(const Console& console, const std::string& service,
                                                        int& exit_code) {
  auto payload = telmo::mgmt::EncodeServiceRequest(service);
  if (!payload) {
    exit_code = Fail(console, kUsage, "'" + service + "' is not a TCP service name (at most 31 characters)");
    return std::nullopt;
  }
  return std::move(payload.value());
}

int Control(const Console& console, std::int32_t tt, const std::string& service) {
  int exit_code = kSuccess;
  const auto payload = ServicePayload(console, service, exit_code);
  if (!payload) return exit_code;
  const auto reply = AskManager(console, tt, *payload, exit_code);
  if (!reply) return exit_code;
  const bool start = tt == TELMO_TT_START_SERVER;
  const nlohmann::json about{{"service", service}, {"request", start ? "start" : "stop"}};
  if (reply->status.failed()) return FailStatus(console, reply->status, (start ? "start " : "stop ") + service, about);
  if (console.json) {
    nlohmann::json j = StatusJson(reply->status);
    j.update(about);
    PrintJson(j);
  } else {
    std::printf("Server %s %s.\n", Printable(service).c_str(), start ? "started" : "stopped");
  }
  return kSuccess;
}

/// The process id, uptime and restarts of each component (the manager's own
/// GetProcessStatus request); nullopt when the manager does not answer it.
std::optional<std::vector<telmo::mgmt::ProcessStatusEntry>> ProcessStatus(const Console& console,
                                                                          const std::string& service) {
  int ignored = kSuccess;
  const auto endpoint = ManagerEndpoint(console, ignored);
  if (!endpoint) return std::nullopt;
  const auto payload =
      telmo::mgmt::EncodeNamedPayload(0, TelmoNameBlock{}, telmo::mgmt::EncodeProcessStatusRequest(service));
  // A manager that does not know the action never answers: wait briefly.
  const auto wait = std::chrono::milliseconds(static_cast<long long>(std::min(console.timeout, 3.0) * 1000));
  auto reply = telmo::RequestOnce(*endpoint, TELMO_TT_MSG, payload, wait);
  if (!reply || reply->payload.size() < telmo::mgmt::kNamedHeader) return std::nullopt;
  auto decoded =
      telmo::mgmt::DecodeProcessStatusReply(std::span(reply->payload).subspan(telmo::mgmt::kNamedHeader));
  if (!decoded || !decoded->has_value()) return std::nullopt;
  return std::move(**decoded);
}

/// "pid 123, uptime 0:05:01, restarts 2" (supervisorctl's way), or "" when not running.
std::string ProcessText(const telmo::mgmt::ProcessStatusEntry& p) {
  if (p.pid == 0) return p.restarts > 0 ? telmo::Format("restarts %d", p.restarts) : std::string();
  const long long s = p.uptime_seconds;
  return telmo::Format("pid %u, uptime %lld:%02lld:%02lld, restarts %d", p.pid, s / 3600, s / 60 % 60, s % 60,
                       p.restarts);
}

int Status(const Console& console, const std::string& service, bool v1) {
  int exit_code = kSuccess;
  const auto payload = ServicePayload(console, service, exit_code);
  if (!payload) return exit_code;
  const std::int32_t tt = v1 ? TELMO_TT_GET_SERVER_STATUS_V1 : TELMO_TT_GET_SERVER_STATUS;
  const auto reply = AskManager(console, tt, *payload, exit_code);
  if (!reply) return exit_code;
  if (reply->status.failed()) return FailStatus(console, reply->status, "status " + service, {{"service", service}});
  auto record = telmo::mgmt::DecodeServerStatus(reply->payload, v1);
  if (!record) return Fail(console, kFailed, "the manager's reply is not a status reply", {{"service", service}});
  // The status record lists the components in the manager's order, as does
  // the process status: they pair by position when the counts agree.
  auto processes = ProcessStatus(console, service);
  if (processes && processes->size() != record->components.size()) processes.reset();
  const auto process_of = [&](std::size_t i) -> const telmo::mgmt::ProcessStatusEntry* {
    return processes ? &(*processes)[i] : nullptr;
  };
  if (console.json) {
    nlohmann::json components = nlohmann::json::array();
    for (std::size_t i = 0; i < record->components.size(); ++i) {
      const auto& c = record->components[i];
      nlohmann::json entry{{"name", c.name},
                           {"run_status", c.run_status},
                           {"run_status_label", ComponentRunStatusName(c.run_status)}};
      if (v1) entry["conn_status"] = c.conn_status;
      if (const auto* p = process_of(i)) {
        entry["pid"] = p->pid;
        entry["uptime_seconds"] = p->uptime_seconds;
        entry["restarts"] = p->restarts;
      }
      components.push_back(entry);
    }
    nlohmann::json j = StatusJson(reply->status);
    j["service"] = service;
    j["server"] = record->server_name;
    j["run_status"] = record->run_status;
    j["run_status_label"] = ServerRunStatusName(record->run_status);
    j["components"] = components;
    PrintJson(j);
    return kSuccess;
  }
  std::printf("Server %s (%s): %s\n", Printable(record->server_name).c_str(), Printable(service).c_str(),
              ServerRunStatusName(record->run_status));
  for (std::size_t i = 0; i < record->components.size(); ++i) {
    const auto& c = record->components[i];
    std::string line = telmo::Format("  %-28s %-20s", Printable(c.name).c_str(), ComponentRunStatusName(c.run_status));
    if (v1) line += telmo::Format(" connection status %d", c.conn_status);
    if (const auto* p = process_of(i); p && !ProcessText(*p).empty()) line += (v1 ? ", " : " ") + ProcessText(*p);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    std::printf("%s\n", line.c_str());
  }
  return kSuccess;
}

}  // namespace

void AddServerCommands(CLI::App& app, Console& console) {
  auto service = std::make_shared<std::string>();
  auto v1 = std::make_shared<bool>(false);

  CLI::App* start = app.add_subcommand("start", "Start a server (by its DLGP TCP service)");
  start->add_option("SERVICE", *service, "DLGP TCP service of the server")->required();
  start->callback([&console, service] {
    console.action = [&console, service] { return Control(console, TELMO_TT_START_SERVER, *service); };
  });

  CLI::App* stop = app.add_subcommand("stop", "Stop a server (by its DLGP TCP service)");
  stop->add_option("SERVICE", *service, "DLGP TCP service of the server")->required();
  stop->callback([&console, service] {
    console.action = [&console, service] { return Control(console, TELMO_TT_STOP_SERVER, *service); };
  });

  CLI::App* status =
      app.add_subcommand("status", "Run status of a server and its components; without SERVICE, of every server");
  status->add_option("SERVICE", *service, "DLGP TCP service of the server");
  status->add_flag("--v1", *v1, "Also each component's last reported connection status");
  status->callback([&console, service, v1] {
    console.action = [&console, service, v1] {
      return service->empty() ? NodeStatus(console) : Status(console, *service, *v1);
    };
  });
}

}  // namespace telmoctl
