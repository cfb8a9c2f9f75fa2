// telmoctl server get|add|modify|remove|remove-snf-services|remove-tcp-service:
// server configurations and services-file entries, through the manager.
//
//   server get SERVICE [--csd]           the configuration (--csd: as a server file)
//   server add FILE.csd                  sends the server file's configuration as a new server
//   server modify FILE.csd               replaces the configuration of the file's DLGP service
//   server remove SERVICE [--with-services]
//                                        removes the server (and its services-file entries)
//   server remove-snf-services SERVICE   removes the three S&F entries derived from SERVICE
//   server remove-tcp-service SERVICE    removes SERVICE's entry from the manager's services file
#include <cstdio>
#include <memory>
#include <string>

#include "config/configuration_wire.h"
#include "config/server_file.h"
#include "config/watchdog_table.h"
#include "console.h"
#include "external/telmo_config.h"
#include "external/telmo_config_requests.h"
#include "external/telmo_mgmt.h"
#include "external/telmo_services.h"
#include "manager_client.h"

namespace telmoctl {
namespace {

int BadService(const Console& console, const std::string& service) {
  return Fail(console, kUsage, "'" + service + "' is not a TCP service name (at most 31 characters)");
}

nlohmann::json ComponentsJson(const ServerConfiguration& c) {
  nlohmann::json components = nlohmann::json::array();
  for (const auto& k : c.components) {
    components.push_back({{"name", k.name},
                          {"tcp_service", k.tcp_service.str()},
                          {"tcp_port", k.tcp_port},
                          {"executable", k.executable},
                          {"arguments", k.arguments},
                          {"generated", k.generated != 0}});
  }
  return components;
}

nlohmann::json ConfigurationJson(const ServerConfiguration& c) {
  return {{"name", c.name},
          {"dlgp_service", c.dlgp_service.str()},
          {"dlgp_port", c.dlgp_port},
          {"hist_service", c.hist_service.str()},
          {"hist_port", c.hist_port},
          {"startup_status", c.startup_status == 1 ? "Run" : "DontRun"},
          {"health_check", c.health_check},
          {"username", c.username},
          {"password_set", !c.password.empty()},
          {"snf_usage", c.snf_usage == 1},
          {"store_file_path", c.store_file_path},
          {"run_status", c.run_status},
          {"desired_state", c.desired_state},
          {"components", ComponentsJson(c)}};
}

void PrintConfiguration(const ServerConfiguration& c) {
  const auto p = [](std::string_view text) { return Printable(text); };
  std::printf("Server %s (%s)\n", p(c.name).c_str(), p(c.dlgp_service.view()).c_str());
  std::printf("  DLGP TCP service      %s, port %d\n", p(c.dlgp_service.view()).c_str(), c.dlgp_port);
  if (!c.hist_service.empty()) {
    std::printf("  Historical service    %s, port %d\n", p(c.hist_service.view()).c_str(), c.hist_port);
  }
  std::printf("  Start-up              %s\n", c.startup_status == 1 ? "Run" : "DontRun");
  std::printf("  Health check          %s\n", c.health_check > 0 ? "on" : "off");
  if (!c.username.empty()) std::printf("  Account               %s\n", p(c.username).c_str());
  std::printf("  Store and forward     %s%s%s\n", c.snf_usage == 1 ? "yes" : "no",
              c.store_file_path.empty() ? "" : ", store file ", p(c.store_file_path).c_str());
  std::printf("  Components\n");
  for (const auto& k : c.components) {
    std::printf("    %-24s %-20s %s %s%s\n", p(k.name).c_str(), k.tcp_service.empty() ? "-" : p(k.tcp_service.view()).c_str(),
                p(k.executable).c_str(), p(k.arguments).c_str(), k.generated != 0 ? "  (added by the manager)" : "");
  }
}

int Get(const Console& console, const std::string& service, bool csd) {
  auto payload = telmo::mgmt::EncodeServiceRequest(service);
  if (!payload) return BadService(console, service);
  int exit_code = kSuccess;
  const auto reply = AskManager(console, TELMO_TT_GET_SERVER_CONFIGURATION, payload.value(), exit_code);
  if (!reply) return exit_code;
  const nlohmann::json about{{"service", service}};
  if (reply->status.failed()) return FailStatus(console, reply->status, "server get " + service, about);
  auto configuration = telmo::mgmt::DecodeServerConfiguration(reply->payload);
  if (!configuration) return Fail(console, kFailed, "the manager's reply is not a server configuration", about);
  if (console.json) {
    nlohmann::json j = StatusJson(reply->status);
    j.update(about);
    j["configuration"] = ConfigurationJson(*configuration);
    PrintJson(j);
  } else if (csd) {
    // The file as the manager would write it: printed as it stands, so that it
    // can be saved and sent back with server modify.
    std::fputs(telmo::config::BuildServerFile(*telmo::config::FromConfiguration(*configuration)).c_str(), stdout);
  } else {
    PrintConfiguration(*configuration);
  }
  return kSuccess;
}

// The configuration of a server file with the ports this node lists for its
// services: the manager checks them against its own services file.
std::optional<ServerConfiguration> ReadServerFile(const Console& console, const std::string& path, int& exit_code) {
  StatusBlock status;
  WatchdogTable watchdogs;
  const auto record = telmo::config::LoadServer(path, status, watchdogs);
  if (!record) {
    exit_code = Fail(console, kUsage, path + " is not a server file that loads: " + status.describe());
    return std::nullopt;
  }
  ServerConfiguration c = telmo::config::ToConfiguration(*record);
  c.dlgp_port = TELMO_MGMT_GetServicePort(c.dlgp_service.view());
  c.hist_port = c.hist_service.empty() ? 0 : TELMO_MGMT_GetServicePort(c.hist_service.view());
  if (c.snf_usage == 1) {
    telmo::Text32 scanner;
    telmo::Text32 store;
    telmo::Text32 forward;
    TELMO_MGMT_GetStoFwdServ(c.dlgp_service.view(), scanner, store, forward);
    c.scanner_port = TELMO_MGMT_GetServicePort(scanner.view());
    c.store_port = TELMO_MGMT_GetServicePort(store.view());
    c.forward_port = TELMO_MGMT_GetServicePort(forward.view());
  }
  return c;
}

int Send(const Console& console, const std::string& path, bool add) {
  int exit_code = kSuccess;
  const auto configuration = ReadServerFile(console, path, exit_code);
  if (!configuration) return exit_code;
  const std::string service = configuration->dlgp_service.str();
  auto payload = telmo::mgmt::EncodeConfigurationRequest(service, add, *configuration);
  if (!payload) return Fail(console, kUsage, "the configuration of " + path + " is too large to send");
  const std::int32_t tt = add ? TELMO_TT_ADD_SERVER : TELMO_TT_MODIFY_SERVER_CONFIGURATION;
  const auto reply = AskManager(console, tt, payload.value(), exit_code);
  if (!reply) return exit_code;
  const char* verb = add ? "add" : "modify";
  nlohmann::json about{{"service", service}, {"request", verb}};
  const auto index = telmo::mgmt::DecodeComponentIndex(reply->payload);
  if (!index) return Fail(console, kFailed, "the manager's reply is not a configuration reply", about);
  about["component_index"] = *index;
  // The component whose executable was not found, when there is one.
  const auto& components = configuration->components;
  std::string missing;
  if (*index >= 0 && static_cast<std::size_t>(*index) < components.size()) {
    missing = components[static_cast<std::size_t>(*index)].name;
    about["component"] = missing;
  }
  if (reply->status.failed()) {
    // The configuration is saved all the same unless the codes say it was
    // refused: what the manager found goes with the failure.
    return FailStatus(console, reply->status, std::string("server ") + verb + " " + path, about);
  }
  if (console.json) {
    nlohmann::json j = StatusJson(reply->status);
    j.update(about);
    PrintJson(j);
  } else {
    // ADD of a service that already has a server answers index -1 and no error.
    std::printf("Server %s %s (component index %d).\n", Printable(service).c_str(), add ? "sent for adding" : "modified",
                static_cast<int>(*index));
  }
  return kSuccess;
}

int Remove(const Console& console, std::int32_t tt, const std::string& service, std::optional<bool> flag,
           const char* done) {
  auto payload = telmo::mgmt::EncodeRemoveRequest(service, flag);
  if (!payload) return BadService(console, service);
  int exit_code = kSuccess;
  const auto reply = AskManager(console, tt, payload.value(), exit_code);
  if (!reply) return exit_code;
  const nlohmann::json about{{"service", service}, {"request", TELMO_MGMT_DecodeTT(tt)}};
  if (reply->status.failed()) {
    return FailStatus(console, reply->status, std::string(TELMO_MGMT_DecodeTT(tt)) + " " + service, about);
  }
  if (console.json) {
    nlohmann::json j = StatusJson(reply->status);
    j.update(about);
    PrintJson(j);
  } else {
    std::printf("%s %s.\n", Printable(service).c_str(), done);
  }
  return kSuccess;
}

struct Args {
  std::string service;
  std::string file;
  bool csd = false;
  bool with_services = false;
};

}  // namespace

void AddServerConfigCommands(CLI::App& app, Console& console) {
  auto args = std::make_shared<Args>();
  CLI::App* server = app.add_subcommand("server", "Server configurations and their services-file entries");
  server->require_subcommand(1);

  CLI::App* get = server->add_subcommand("get", "Show the configuration of a server (by its DLGP TCP service)");
  get->add_option("SERVICE", args->service, "DLGP TCP service of the server")->required();
  get->add_flag("--csd", args->csd, "Print it as a server file");
  get->callback([&console, args] { console.action = [&console, args] { return Get(console, args->service, args->csd); }; });

  CLI::App* add = server->add_subcommand("add", "Add the server a server file describes (left stopped)");
  add->add_option("FILE", args->file, "Server file (.csd)")->required();
  add->callback([&console, args] { console.action = [&console, args] { return Send(console, args->file, true); }; });

  CLI::App* modify = server->add_subcommand(
      "modify", "Replace the configuration of the server file's DLGP service (its processes are stopped)");
  modify->add_option("FILE", args->file, "Server file (.csd)")->required();
  modify->callback([&console, args] { console.action = [&console, args] { return Send(console, args->file, false); }; });

  CLI::App* remove = server->add_subcommand("remove", "Remove a server, its file, its processes and its S&F data");
  remove->add_option("SERVICE", args->service, "DLGP TCP service of the server")->required();
  remove->add_flag("--with-services", args->with_services, "Also remove its entries from the services file");
  remove->callback([&console, args] {
    console.action = [&console, args] {
      return Remove(console, TELMO_TT_REMOVE_SERVER, args->service, args->with_services, "removed");
    };
  });

  CLI::App* snf = server->add_subcommand("remove-snf-services",
                                         "Remove the scanner, store and forward entries derived from a DLGP service");
  snf->add_option("SERVICE", args->service, "DLGP TCP service")->required();
  snf->callback([&console, args] {
    console.action = [&console, args] {
      return Remove(console, TELMO_TT_REMOVE_SF_SERVICES, args->service, std::nullopt, "S&F service entries removed");
    };
  });

  CLI::App* tcp = server->add_subcommand("remove-tcp-service",
                                         "Remove a service's entry from the manager's services file");
  tcp->add_option("SERVICE", args->service, "TCP service")->required();
  tcp->callback([&console, args] {
    console.action = [&console, args] {
      return Remove(console, TELMO_TT_REMOVE_TCPIP_SERVICE, args->service, std::nullopt, "entry removed");
    };
  });
}

}  // namespace telmoctl
