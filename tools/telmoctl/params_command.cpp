// telmoctl params get|set: the manager's check period and reply time-out.
#include <cstdio>
#include <memory>
#include <optional>

#include "console.h"
#include "external/telmo_mgmt.h"
#include "manager_client.h"

namespace telmoctl {
namespace {

std::optional<telmo::mgmt::MgmtParams> GetParams(const Console& console, int& exit_code) {
  const auto reply = AskManager(console, TELMO_TT_GET_MGMT_PARAMS, {}, exit_code);
  if (!reply) return std::nullopt;
  if (reply->status.failed()) {
    exit_code = FailStatus(console, reply->status, "params get");
    return std::nullopt;
  }
  auto params = telmo::mgmt::DecodeMgmtParams(reply->payload);
  if (!params) {
    exit_code = Fail(console, kFailed, "the manager's reply is not a parameters reply");
    return std::nullopt;
  }
  return params.value();
}

void Print(const Console& console, const telmo::mgmt::MgmtParams& params) {
  if (console.json) {
    PrintJson({{"ok", true}, {"check_period", params.check_period}, {"reply_timeout", params.timeout}});
  } else {
    std::printf("Servers process check period: %d\nTimeout: %d\n", params.check_period, params.timeout);
  }
}

struct SetArgs {
  std::optional<int> reply_timeout;
  std::optional<int> check_period;
};

}  // namespace

void AddParamsCommands(CLI::App& app, Console& console) {
  CLI::App* params = app.add_subcommand("params", "The manager's parameters (check period, reply time-out)");
  params->require_subcommand(1);

  CLI::App* get = params->add_subcommand("get", "Show the check period and the reply time-out");
  get->callback([&console] {
    console.action = [&console] {
      int exit_code = kSuccess;
      const auto values = GetParams(console, exit_code);
      if (values) Print(console, *values);
      return exit_code;
    };
  });

  auto args = std::make_shared<SetArgs>();
  CLI::App* set = params->add_subcommand("set", "Change the parameters (the manager rewrites its parameters file)");
  // Not "--timeout": that global option is the console's own wait, in seconds.
  set->add_option("--reply-timeout", args->reply_timeout,
                  "The manager's reply time-out (\"Timeout\"), tenths of a second, at least 1")
      ->check(AtLeastOne());
  set->add_option("--check-period", args->check_period,
                  "Servers process check period (idle passes x 10), at least 1")
      ->check(AtLeastOne());
  set->callback([&console, args] {
    console.action = [&console, args] {
      if (!args->reply_timeout && !args->check_period) {
        return Fail(console, kUsage, "params set needs --reply-timeout and/or --check-period");
      }
      int exit_code = kSuccess;
      auto current = GetParams(console, exit_code);
      if (!current) return exit_code;
      telmo::mgmt::MgmtParams wanted = *current;
      if (args->reply_timeout) wanted.timeout = *args->reply_timeout;
      if (args->check_period) wanted.check_period = *args->check_period;
      const auto payload = telmo::mgmt::EncodeMgmtParams(wanted);
      // The request gets no reply: the values read back on the same connection
      // tell whether it was taken.
      const auto reply = TellThenAsk(console, TELMO_TT_SET_MGMT_PARAMS, payload, TELMO_TT_GET_MGMT_PARAMS, {}, exit_code);
      if (!reply) return exit_code;
      const auto now = telmo::mgmt::DecodeMgmtParams(reply->payload);
      if (!now) return Fail(console, kFailed, "the manager's reply is not a parameters reply");
      if (now->timeout != wanted.timeout || now->check_period != wanted.check_period) {
        return Fail(console, kFailed, "the manager did not take the new values (refused: not a local request?)",
                    {{"check_period", now->check_period}, {"reply_timeout", now->timeout}});
      }
      Print(console, *now);
      return static_cast<int>(kSuccess);
    };
  });
}

}  // namespace telmoctl
