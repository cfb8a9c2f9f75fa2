// telmoctl snf | healthcheck | port | nowrite | flag | tasks | watchdog: the
// named requests (TT 15) of the manager.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "console.h"
#include "external/telmo_mgmt.h"
#include "external/telmo_watchdog.h"
#include "manager_client.h"

namespace telmoctl {
namespace {

constexpr std::size_t kMaxService = 31;

std::vector<std::uint8_t> NamedPayload(std::initializer_list<std::string_view> texts) {
  auto data = telmo::mgmt::EncodeTexts(texts);
  return telmo::mgmt::EncodeNamedPayload(0, {}, data.ok() ? data.value() : std::vector<std::uint8_t>{});
}

// The data of a named request's reply (after the message type and name block).
std::optional<std::span<const std::uint8_t>> ReplyData(const TelmoMessage& reply) {
  if (reply.payload.size() < telmo::mgmt::kNamedHeader) return std::nullopt;
  return std::span<const std::uint8_t>(reply.payload).subspan(telmo::mgmt::kNamedHeader);
}

/// Sends a named request that has a short reply; the reply's texts.
std::optional<std::vector<std::string>> AskShort(const Console& console, std::initializer_list<std::string_view> texts,
                                                 int& exit_code) {
  const auto reply = AskManager(console, TELMO_TT_MSG, NamedPayload(texts), exit_code);
  if (!reply) return std::nullopt;
  const auto data = ReplyData(*reply);
  auto parsed = data ? telmo::mgmt::ParseShortReply(*data) : telmo::Result<std::vector<std::string>>(telmo::Error{13});
  if (!parsed) {
    exit_code = Fail(console, kFailed, "the manager's reply is not a short reply");
    return std::nullopt;
  }
  return parsed.value();
}

int CheckService(const Console& console, const std::string& service) {
  if (service.empty() || service.size() > kMaxService) {
    return Fail(console, kUsage, "a service name has 1 to 31 characters");
  }
  return kSuccess;
}

// A flag answer: "Y" / "N", or "X" for a service no server has.
int PrintFlag(const Console& console, const std::string& what, const std::string& service,
              const std::vector<std::string>& texts) {
  const std::string value = texts.size() > 2 ? texts[2] : "";
  if (value != "Y" && value != "N") {
    return Fail(console, kFailed, "no server has the service " + service, {{"service", service}});
  }
  if (console.json) {
    PrintJson({{"ok", true}, {"service", service}, {what, value == "Y"}});
  } else {
    std::printf("%s %s: %s\n", Printable(service).c_str(), what.c_str(), value == "Y" ? "on" : "off");
  }
  return kSuccess;
}

int PrintNumber(const Console& console, const std::string& what, const std::string& label, const std::string& text,
                nlohmann::json extra = nlohmann::json::object()) {
  long value = 0;
  try {
    value = std::stol(text);
  } catch (const std::exception&) {
    return Fail(console, kFailed, "the manager's reply holds no number");
  }
  if (console.json) {
    extra["ok"] = true;
    extra[what] = value;
    PrintJson(extra);
  } else {
    std::printf("%s%ld\n", label.c_str(), value);
  }
  return kSuccess;
}

// Requests without a reply: sent, then NoWriteOption on the same connection,
// whose reply tells that the manager has handled the first.
int Tell(const Console& console, std::initializer_list<std::string_view> texts, const std::string& done) {
  int exit_code = kSuccess;
  const auto reply = TellThenAsk(console, TELMO_TT_MSG, NamedPayload(texts), TELMO_TT_MSG,
                                 NamedPayload({"NoWriteOption"}), exit_code);
  if (!reply) return exit_code;
  if (console.json) {
    PrintJson({{"ok", true}, {"handled", done}});
  } else {
    std::printf("%s (the manager's client log tells the outcome)\n", done.c_str());
  }
  return kSuccess;
}

const char* ItemState(std::int32_t state) {
  switch (state) {
    case kWatchdogItemFailed: return "failed";
    case kWatchdogItemStale: return "stale";
    default: return "reported";
  }
}

std::string StampText(std::int64_t stamp) {
  std::array<char, 64> buffer{};
  if (stamp == 0 || TELMO_DIAG_ASCTIME_WRAPPER(stamp, buffer) == 0) return "";
  std::string text(buffer.data());
  return text.substr(0, text.find('\n'));
}

int Watchdog(const Console& console, const std::string& service) {
  int exit_code = kSuccess;
  const auto reply = AskManager(console, TELMO_TT_MSG, NamedPayload({"GetWatchDogData", service}), exit_code);
  if (!reply) return exit_code;
  const auto data = ReplyData(*reply);
  const auto report = data ? telmo::watchdog::DecodeReport(*data) : std::nullopt;
  if (!report) return Fail(console, kFailed, "the manager's reply is not a watchdog report");
  if (report->tag_name.empty()) {
    return Fail(console, kFailed, "no watchdog report for " + service + " (not watched, no tag, or no such server)",
                {{"service", service}});
  }
  if (console.json) {
    nlohmann::json items = nlohmann::json::array();
    for (const WatchdogItem& item : report->items) {
      items.push_back({{"state", item.state},
                       {"state_text", ItemState(item.state)},
                       {"value", item.value.str()},
                       {"status", item.words[2]},
                       {"time_stamp", item.stamp},
                       {"time_stamp_text", StampText(item.stamp)}});
    }
    PrintJson({{"ok", true},
               {"service", service},
               {"tag", report->tag_name.str()},
               {"watchdog_timeout", report->watchdog_timeout},
               {"items", items}});
    return kSuccess;
  }
  std::printf("Service %s, tag %s, watchdog time-out %d\n", Printable(service).c_str(),
              Printable(report->tag_name.view()).c_str(), report->watchdog_timeout);
  int n = 1;
  for (const WatchdogItem& item : report->items) {
    std::printf("  item %d: %-8s value %-20s status %-6d %s\n", n++, ItemState(item.state),
                Printable(item.value.view()).c_str(), item.words[2], StampText(item.stamp).c_str());
  }
  return kSuccess;
}

struct Args {
  std::string service;
  std::string onoff;
  int port = 0;
  int id = 0;
  std::string value;
  std::vector<std::string> tasks;
};

}  // namespace

void AddNamedCommands(CLI::App& app, Console& console) {
  auto args = std::make_shared<Args>();

  CLI::App* snf = app.add_subcommand("snf", "Whether a server uses store-and-forward (GetSNFEnabledFlag)");
  snf->add_option("SERVICE", args->service, "DLGP TCP service of the server")->required();
  snf->callback([&console, args] {
    console.action = [&console, args] {
      if (const int rc = CheckService(console, args->service); rc != kSuccess) return rc;
      int exit_code = kSuccess;
      const auto texts = AskShort(console, {"GetSNFEnabledFlag", args->service}, exit_code);
      return texts ? PrintFlag(console, "snf", args->service, *texts) : exit_code;
    };
  });

  CLI::App* health = app.add_subcommand("healthcheck", "Show or set a server's health check (SetHealthCheckFlag)");
  health->add_option("SERVICE", args->service, "DLGP TCP service of the server")->required();
  health->add_option("STATE", args->onoff, "on or off (absent: show)")->check(CLI::IsMember({"on", "off"}));
  health->callback([&console, args] {
    console.action = [&console, args] {
      if (const int rc = CheckService(console, args->service); rc != kSuccess) return rc;
      const bool write = !args->onoff.empty();
      int exit_code = kSuccess;
      const auto texts = AskShort(
          console, {"SetHealthCheckFlag", args->service, write ? "1" : "0", args->onoff == "on" ? "1" : "0"},
          exit_code);
      return texts ? PrintFlag(console, "health_check", args->service, *texts) : exit_code;
    };
  });

  CLI::App* port = app.add_subcommand("port", "TCP ports of services on the manager's node");
  port->require_subcommand(1);
  CLI::App* agree = port->add_subcommand("agree", "Propose a port for a service (AgreeOnPort)");
  agree->add_option("SERVICE", args->service, "TCP service")->required();
  agree->add_option("PORT", args->port, "proposed port")->required()->check(CLI::Range(1, 65535));
  agree->callback([&console, args] {
    console.action = [&console, args] {
      if (const int rc = CheckService(console, args->service); rc != kSuccess) return rc;
      int exit_code = kSuccess;
      const auto texts = AskShort(console, {"AgreeOnPort", args->service, std::to_string(args->port)}, exit_code);
      if (!texts) return exit_code;
      const std::string answer = texts->size() > 2 ? (*texts)[2] : "";
      const bool agreed = answer == std::to_string(args->port);
      return PrintNumber(console, "port", agreed ? "agreed on port " : "the manager proposes port ", answer,
                         {{"service", args->service}, {"agreed", agreed}});
    };
  });
  CLI::App* get = port->add_subcommand("get", "The port of a service in the manager's services file");
  get->add_option("SERVICE", args->service, "TCP service")->required();
  get->callback([&console, args] {
    console.action = [&console, args] {
      if (const int rc = CheckService(console, args->service); rc != kSuccess) return rc;
      int exit_code = kSuccess;
      const auto texts = AskShort(console, {"GetRemoteServicePort", args->service}, exit_code);
      if (!texts) return exit_code;
      const std::string answer = texts->size() > 2 ? (*texts)[2] : "";
      if (answer == "0") return Fail(console, kFailed, args->service + " is not in the manager's services file");
      return PrintNumber(console, "port", "", answer, {{"service", args->service}});
    };
  });

  CLI::App* nowrite = app.add_subcommand("nowrite", "The node's no-write mode (NoWriteOption)");
  nowrite->callback([&console] {
    console.action = [&console] {
      int exit_code = kSuccess;
      const auto texts = AskShort(console, {"NoWriteOption"}, exit_code);
      if (!texts) return exit_code;
      return PrintNumber(console, "no_write_mode", "no-write mode: ", texts->size() > 1 ? (*texts)[1] : "");
    };
  });

  CLI::App* flag = app.add_subcommand("flag", "Product-wide registry flags");
  flag->require_subcommand(1);
  CLI::App* flag_set = flag->add_subcommand(
      "set", "Set flag ID to VALUE (telmo_c_ParamsSet: 8 TELMOSFRejectOldData, 13 TELMORescanLogicalDevices, "
             "16 TELMOChangeoverStandbyCleanup, 18 TELMOSendCleanupCancels); local requests only");
  flag_set->add_option("ID", args->id, "variable ID")->required()->check(CLI::Range(0, 9999));
  flag_set->add_option("VALUE", args->value, "value (a number)")->required();
  flag_set->callback([&console, args] {
    console.action = [&console, args] {
      if (args->value.empty() || args->value.size() > 256) return Fail(console, kUsage, "VALUE has 1 to 256 characters");
      return Tell(console, {"telmo_c_ParamsSet", std::to_string(args->id), args->value},
                  "telmo_c_ParamsSet " + std::to_string(args->id) + "=" + args->value + " handled");
    };
  });

  CLI::App* tasks = app.add_subcommand("tasks", "Tasks of the node");
  tasks->require_subcommand(1);
  CLI::App* create = tasks->add_subcommand("create", "Register tasks (CreateTasks); local requests only");
  create->add_option("T1 T2 T3 T4 T5 T6", args->tasks,
                     "T1, T2 up to 31 characters, T3 up to 32, T4 and T5 one character, T6 at most one")
      ->expected(6)
      ->required();
  create->callback([&console, args] {
    console.action = [&console, args] {
      const auto& t = args->tasks;
      if (t[0].size() > 31 || t[1].size() > 31 || t[2].size() > 32 || t[3].size() != 1 || t[4].size() != 1 ||
          t[5].size() > 1) {
        return Fail(console, kUsage, "T1, T2 up to 31 characters, T3 up to 32, T4 and T5 one character, T6 at most one");
      }
      return Tell(console, {"CreateTasks", t[0], t[1], t[2], t[3], t[4], t[5]}, "CreateTasks handled");
    };
  });

  CLI::App* watchdog = app.add_subcommand("watchdog", "A server's cached watchdog report (GetWatchDogData)");
  watchdog->add_option("SERVICE", args->service, "DLGP TCP service of the server")->required();
  watchdog->callback([&console, args] {
    console.action = [&console, args] {
      if (const int rc = CheckService(console, args->service); rc != kSuccess) return rc;
      return Watchdog(console, args->service);
    };
  });
}

}  // namespace telmoctl
