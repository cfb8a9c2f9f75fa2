// telmoctl list endpoints ARGS | datasources ARGS | servers [--xml] | dlgp:
// the listing requests (named requests with a listing for a reply).
#include <pugixml.hpp>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "console.h"
#include "named_client.h"
#include "util/text.h"

namespace telmoctl {
namespace {

/// Sends a listing request; the reply's data, or nullopt with `exit_code` set.
std::optional<std::vector<std::uint8_t>> AskListing(const Console& console, std::initializer_list<std::string_view> texts,
                                                    const std::string& what, int& exit_code) {
  const auto payload = NamedPayload(texts);
  if (!payload) {
    exit_code = Fail(console, kUsage, "arguments of " + what + " may not hold a NUL");
    return std::nullopt;
  }
  const auto reply = AskManager(console, TELMO_TT_MSG, *payload, exit_code);
  if (!reply) return std::nullopt;
  if (reply->status.failed()) {
    exit_code = FailStatus(console, reply->status, what);
    return std::nullopt;
  }
  const auto data = NamedReplyData(*reply);
  if (!data) {
    exit_code = Fail(console, kFailed, "the manager's reply to " + what + " is not a named reply");
    return std::nullopt;
  }
  return std::vector<std::uint8_t>(data->begin(), data->end());
}

int ListText(const Console& console, const char* action, const std::vector<std::string>& arguments) {
  std::string joined;
  for (const auto& a : arguments) {
    if (!joined.empty()) joined += ' ';
    joined += a;
  }
  int exit_code = kSuccess;
  const auto data = AskListing(console, {action, joined}, action, exit_code);
  if (!data) return exit_code;
  const std::string text(data->begin(), data->end());
  if (console.json) {
    PrintJson({{"ok", true}, {"listing", text}});
  } else {
    const std::string shown = Printable(text, /*keep_lines=*/true);
    std::fwrite(shown.data(), 1, shown.size(), stdout);
  }
  return kSuccess;
}

int ListServers(const Console& console, bool xml) {
  int exit_code = kSuccess;
  const auto data = AskListing(console, {"EnumerateServers"}, "list servers", exit_code);
  if (!data) return exit_code;
  const std::string text(data->begin(), data->end());
  if (xml) {
    std::printf("%s", Printable(text, /*keep_lines=*/true).c_str());
    if (!text.empty() && text.back() != '\n') std::printf("\n");
    return kSuccess;
  }
  pugi::xml_document document;
  if (!text.empty() && !document.load_buffer(text.data(), text.size())) {
    return Fail(console, kFailed, "the manager's server list is not XML");
  }
  nlohmann::json servers = nlohmann::json::array();
  for (const auto server : document.child("Servers").children("Server")) {
    nlohmann::json components = nlohmann::json::array();
    for (const auto c : server.children("Component")) {
      components.push_back({{"name", c.attribute("name").value()},
                            {"tcp_service", c.attribute("tcpService").value()},
                            {"tcp_port", c.attribute("tcpPort").as_int()}});
    }
    servers.push_back({{"name", server.attribute("name").value()},
                       {"service", server.attribute("dlgpService").value()},
                       {"port", server.attribute("dlgpPort").as_int()},
                       {"startup", server.attribute("startup").value()},
                       {"store_forward", server.attribute("storeForward").as_int()},
                       {"components", components}});
  }
  if (console.json) {
    PrintJson({{"ok", true}, {"servers", servers}});
    return kSuccess;
  }
  std::printf("%-32s %-32s %6s %-8s %s\n", "NAME", "SERVICE", "PORT", "STARTUP", "COMPONENTS");
  for (const auto& s : servers) {
    std::printf("%-32s %-32s %6d %-8s %zu\n", Printable(s["name"].get<std::string>()).c_str(),
                Printable(s["service"].get<std::string>()).c_str(), s["port"].get<int>(),
                Printable(s["startup"].get<std::string>()).c_str(), s["components"].size());
  }
  return kSuccess;
}

int ListDlgp(const Console& console) {
  int exit_code = kSuccess;
  const auto data = AskListing(console, {"EnumerateDLGPServices"}, "list dlgp", exit_code);
  if (!data) return exit_code;
  const auto services = DlgpServices(*data);
  if (console.json) {
    PrintJson({{"ok", true}, {"services", services}});
  } else {
    for (const auto& s : services) std::printf("%s\n", Printable(s).c_str());
  }
  return kSuccess;
}

}  // namespace

std::vector<std::string> DlgpServices(std::span<const std::uint8_t> data) {
  std::vector<std::string> services;
  for (std::size_t at = 0; at + telmo::mgmt::kNameField <= data.size(); at += telmo::mgmt::kNameField) {
    telmo::Text32 name;
    name.assign_bytes(reinterpret_cast<const char*>(data.data() + at), telmo::mgmt::kNameField);
    services.push_back(name.str());
  }
  return services;
}

void AddListCommands(CLI::App& app, Console& console) {
  CLI::App* list = app.add_subcommand("list", "Listings of the node: OPC UA end points, data sources, servers");
  list->require_subcommand(1);

  auto arguments = std::make_shared<std::vector<std::string>>();
  const char* const kArgumentsHelp = "Arguments for the listing program (after --, so that they may start with -)";
  CLI::App* endpoints = list->add_subcommand("endpoints", "Run the OPC UA end point listing program");
  endpoints->add_option("ARGS", *arguments, kArgumentsHelp);
  endpoints->callback([&console, arguments] {
    console.action = [&console, arguments] { return ListText(console, "ListOpcUaEndPoints", *arguments); };
  });
  CLI::App* sources = list->add_subcommand("datasources", "Run the process data source listing program");
  sources->add_option("ARGS", *arguments, kArgumentsHelp);
  sources->callback([&console, arguments] {
    console.action = [&console, arguments] { return ListText(console, "ListProcessDataSources", *arguments); };
  });

  auto xml = std::make_shared<bool>(false);
  CLI::App* servers = list->add_subcommand("servers", "The configured servers (EnumerateServers)");
  servers->add_flag("--xml", *xml, "Print the manager's XML as it came");
  servers->callback([&console, xml] {
    console.action = [&console, xml] { return ListServers(console, *xml); };
  });
  list->add_subcommand("dlgp", "The DLGP TCP services of the configured servers")->callback([&console] {
    console.action = [&console] { return ListDlgp(console); };
  });
}

}  // namespace telmoctl
