// telmoctl device set|delete|show: the node's logical devices.
//
//   device set NAME V1 V2 V3   adds the device, or changes its values (any node may)
//   device delete NAME         deletes it (local requests only)
//   device show [NAME]         one device, or all, read from this node's store
#include <cstdio>
#include <memory>
#include <string>

#include "console.h"
#include "external/telmo_client.h"
#include "external/telmo_config_requests.h"
#include "external/telmo_devices.h"
#include "external/telmo_mgmt.h"
#include "manager_client.h"

namespace telmoctl {
namespace {

int Ask(const Console& console, std::int32_t tt, const std::vector<std::uint8_t>& payload, const std::string& name,
        const char* done) {
  int exit_code = kSuccess;
  const auto reply = AskManager(console, tt, payload, exit_code);
  if (!reply) return exit_code;
  const nlohmann::json about{{"device", name}};
  if (reply->status.failed()) {
    return FailStatus(console, reply->status,
                      std::string("device ") + (tt == TELMO_TT_SET_LOGICAL_DEVICE ? "set " : "delete ") + name, about);
  }
  if (console.json) {
    nlohmann::json j = StatusJson(reply->status);
    j.update(about);
    PrintJson(j);
  } else {
    std::printf("Device %s %s.\n", Printable(name).c_str(), done);
  }
  return kSuccess;
}

int Set(const Console& console, const std::string& name, const std::vector<std::string>& values) {
  auto payload = telmo::mgmt::EncodeDevice(name, {values[0], values[1], values[2]});
  if (!payload) return Fail(console, kUsage, "a device name and its three values are at most 31 characters each");
  return Ask(console, TELMO_TT_SET_LOGICAL_DEVICE, payload.value(), name, "set");
}

int Delete(const Console& console, const std::string& name) {
  auto payload = telmo::mgmt::EncodeServiceRequest(name);
  if (!payload) return Fail(console, kUsage, "'" + name + "' is not a device name (at most 31 characters)");
  return Ask(console, TELMO_TT_DEL_LOGICAL_DEVICE, payload.value(), name, "deleted");
}

nlohmann::json DeviceJson(const LogicalDevice& d) {
  return {{"name", d.name.str()}, {"values", {d.values[0].str(), d.values[1].str(), d.values[2].str()}}};
}

// No request reads a device: the store of this node is read directly.
int Show(const Console& console, const std::string& name) {
  if (!console.node.empty() && console.node != telmo::LocalNodeName()) {
    return Fail(console, kUsage, "device show reads the devices of this node only");
  }
  std::vector<LogicalDevice> shown;
  if (name.empty()) {
    auto all = telmo::ListDevices();
    if (!all) return Fail(console, kFailed, "cannot read " + telmo::DeviceStorePath());
    shown = std::move(all).value();
  } else {
    LogicalDevice device;
    device.name = telmo::Text32(name);
    StatusBlock status;
    if (!TELMO_CLIENT_VIEW_DEVICE(name, device.values[0], device.values[1], device.values[2], status)) {
      return FailStatus(console, status, "device show " + name, {{"device", name}});
    }
    shown.push_back(device);
  }
  if (console.json) {
    nlohmann::json devices = nlohmann::json::array();
    for (const auto& d : shown) devices.push_back(DeviceJson(d));
    nlohmann::json j{{"ok", true}};
    if (name.empty()) {
      j["devices"] = devices;
    } else {
      j.update(devices.front());
    }
    PrintJson(j);
    return kSuccess;
  }
  for (const auto& d : shown) {
    std::printf("%-31s %-31s %-31s %s\n", Printable(d.name.view()).c_str(), Printable(d.values[0].view()).c_str(),
                Printable(d.values[1].view()).c_str(), Printable(d.values[2].view()).c_str());
  }
  return kSuccess;
}

struct Args {
  std::string name;
  std::vector<std::string> values;
};

}  // namespace

void AddDeviceCommands(CLI::App& app, Console& console) {
  auto args = std::make_shared<Args>();
  CLI::App* device = app.add_subcommand("device", "Logical devices of the node");
  device->require_subcommand(1);

  CLI::App* set = device->add_subcommand("set", "Add a device, or change its three values");
  set->add_option("NAME", args->name, "Device name")->required();
  set->add_option("VALUES", args->values, "Its three values")->required()->expected(3);
  set->callback([&console, args] { console.action = [&console, args] { return Set(console, args->name, args->values); }; });

  CLI::App* del = device->add_subcommand("delete", "Delete a device");
  del->add_option("NAME", args->name, "Device name")->required();
  del->callback([&console, args] { console.action = [&console, args] { return Delete(console, args->name); }; });

  CLI::App* show = device->add_subcommand("show", "Show a device (or every device) of this node");
  show->add_option("NAME", args->name, "Device name (none: every device)");
  show->callback([&console, args] { console.action = [&console, args] { return Show(console, args->name); }; });
}

}  // namespace telmoctl
