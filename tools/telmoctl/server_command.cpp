// telmoctl start|stop|status SERVICE: server control by DLGP TCP service.
#include <cstdio>
#include <memory>
#include <string>

#include "console.h"
#include "external/telmo_mgmt.h"
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

int Control(const Console& console, std::int32_t tt, const std::string& service) {
  auto payload = telmo::mgmt::EncodeServiceRequest(service);
  if (!payload) {
    std::fprintf(stderr, "telmoctl: '%s' is not a TCP service name (at most 31 characters)\n", service.c_str());
    return kUsage;
  }
  int exit_code = kSuccess;
  const auto reply = AskManager(console, tt, payload.value(), exit_code);
  if (!reply) return exit_code;
  const bool start = tt == TELMO_TT_START_SERVER;
  if (console.json) {
    nlohmann::json j = StatusJson(reply->status);
    j["service"] = service;
    j["request"] = start ? "start" : "stop";
    std::printf("%s\n", j.dump(2).c_str());
  } else if (!reply->status.failed()) {
    std::printf("Server %s %s.\n", service.c_str(), start ? "started" : "stopped");
  }
  return ReportStatus(console, reply->status, std::string(start ? "start " : "stop ") + service);
}

int Status(const Console& console, const std::string& service, bool v1) {
  auto payload = telmo::mgmt::EncodeServiceRequest(service);
  if (!payload) {
    std::fprintf(stderr, "telmoctl: '%s' is not a TCP service name (at most 31 characters)\n", service.c_str());
    return kUsage;
  }
  int exit_code = kSuccess;
  const std::int32_t tt = v1 ? TELMO_TT_GET_SERVER_STATUS_V1 : TELMO_TT_GET_SERVER_STATUS;
  const auto reply = AskManager(console, tt, payload.value(), exit_code);
  if (!reply) return exit_code;
  auto record = telmo::mgmt::DecodeServerStatus(reply->payload, v1);
  if (!record) {
    std::fprintf(stderr, "telmoctl: the manager's reply is not a status reply\n");
    return kFailed;
  }
  if (console.json) {
    nlohmann::json components = nlohmann::json::array();
    for (const auto& c : record->components) {
      nlohmann::json entry{{"name", c.name}, {"run_status", c.run_status}};
      if (v1) entry["conn_status"] = c.conn_status;
      components.push_back(entry);
    }
    nlohmann::json j = StatusJson(reply->status);
    j["service"] = service;
    j["server"] = record->server_name;
    j["run_status"] = record->run_status;
    j["components"] = components;
    std::printf("%s\n", j.dump(2).c_str());
  } else if (!reply->status.failed()) {
    std::printf("Server %s (%s): %s\n", record->server_name.c_str(), service.c_str(),
                ServerRunStatusName(record->run_status));
    for (const auto& c : record->components) {
      if (v1) {
        std::printf("  %-28s %-20s connection status %d\n", c.name.c_str(), ComponentRunStatusName(c.run_status),
                    c.conn_status);
      } else {
        std::printf("  %-28s %s\n", c.name.c_str(), ComponentRunStatusName(c.run_status));
      }
    }
  }
  return ReportStatus(console, reply->status, "status " + service);
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

  CLI::App* status = app.add_subcommand("status", "Run status of a server and its components");
  status->add_option("SERVICE", *service, "DLGP TCP service of the server")->required();
  status->add_flag("--v1", *v1, "Also each component's last reported connection status");
  status->callback([&console, service, v1] {
    console.action = [&console, service, v1] { return Status(console, *service, *v1); };
  });
}

}  // namespace telmoctl
