// telmoctl services: the node's TCP services file ($TELMO_SERVICES_FILE).
//
//   services list              every "name port/tcp" entry, in file order
//   services add NAME PORT     adds an entry; an existing name is never changed
//   services remove NAME       removes the entry, prints the port it held
//
// Exit codes: 0 success, 1 refused or failed (name already listed, not
// listed, file not writable), 2 usage error (bad name or port).
#include <iostream>

#include "console.h"
#include "external/telmo_services.h"

namespace telmoctl {
namespace {

constexpr std::size_t kMaxName = 31;

bool UsableName(const std::string& name) {
  if (name.empty() || name.size() > kMaxName) return false;
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= ' ' || u == 0x7f || c == '#') return false;
  }
  return true;
}

int List(const Console& console) {
  const auto entries = telmo::ListServices();
  if (console.json) {
    nlohmann::json out = nlohmann::json::array();
    for (const auto& e : entries) out.push_back({{"name", e.name}, {"port", e.port}});
    PrintJson({{"ok", true}, {"services", out}});
  } else {
    for (const auto& e : entries) std::cout << Printable(e.name) << " " << e.port << "/tcp\n";
  }
  return kSuccess;
}

int Add(const Console& console, const std::string& name, int port) {
  if (!UsableName(name) || port < 1 || port > 65535) {
    return Fail(console, kUsage,
                "services add: the name must be 1 to 31 characters without blanks or '#', the port 1 to 65535");
  }
  if (const int listed = TELMO_MGMT_GetServicePort(name); listed != 0) {
    return Fail(console, kFailed, "services add: " + name + " is already listed with port " + std::to_string(listed),
                {{"name", name}, {"port", listed}});
  }
  if (!AddServiceToFile(name, port)) {
    return Fail(console, kFailed, "services add: cannot add " + name + " to " + telmo::ServicesFilePath());
  }
  if (console.json) PrintJson({{"ok", true}, {"name", name}, {"port", port}});
  return kSuccess;
}

int Remove(const Console& console, const std::string& name) {
  const int port = RemoveServiceFromFile(name);
  if (port == 0) {
    return Fail(console, kFailed, "services remove: " + name + " is not listed (or the file cannot be written)");
  }
  if (console.json) {
    PrintJson({{"ok", true}, {"name", name}, {"port", port}});
  } else {
    std::cout << Printable(name) << " " << port << "/tcp removed\n";
  }
  return kSuccess;
}

}  // namespace

void AddServicesCommands(CLI::App& app, Console& console) {
  CLI::App* services = app.add_subcommand("services", "Read and change the node's TCP services file");
  services->require_subcommand(1);

  CLI::App* list = services->add_subcommand("list", "List every entry");
  list->callback([&console] { console.action = [&console] { return List(console); }; });

  CLI::App* add = services->add_subcommand("add", "Add NAME with PORT (an existing name is never changed)");
  auto name = std::make_shared<std::string>();
  auto port = std::make_shared<int>(0);
  add->add_option("NAME", *name, "Service name")->required();
  add->add_option("PORT", *port, "TCP port")->required();
  add->callback([&console, name, port] { console.action = [&console, name, port] { return Add(console, *name, *port); }; });

  CLI::App* remove = services->add_subcommand("remove", "Remove the entry of NAME");
  auto remove_name = std::make_shared<std::string>();
  remove->add_option("NAME", *remove_name, "Service name")->required();
  remove->callback([&console, remove_name] { console.action = [&console, remove_name] { return Remove(console, *remove_name); }; });
}

}  // namespace telmoctl
