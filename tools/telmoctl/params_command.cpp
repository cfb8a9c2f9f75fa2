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
  if (ReportStatus(console, reply->status, "params get") != kSuccess) {
    exit_code = kFailed;
    return std::nullopt;
  }
  auto params = telmo::mgmt::DecodeMgmtParams(reply->payload);
  if (!params) {
    std::fprintf(stderr, "telmoctl: the manager's reply is not a parameters reply\n");
    exit_code = kFailed;
    return std::nullopt;
  }
  return params.value();
}

void Print(const Console& console, const telmo::mgmt::MgmtParams& params) {
  if (console.json) {
    const nlohmann::json j{{"timeout", params.timeout}, {"check_period", params.check_period}};
    std::printf("%s\n", j.dump(2).c_str());
  } else {
    std::printf("Servers process check period: %d\nTimeout: %d\n", params.check_period, params.timeout);
  }
}

struct SetArgs {
  std::optional<int> timeout;
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
  set->add_option("--timeout", args->timeout, "Reply time-out, tenths of a second");
  set->add_option("--check-period", args->check_period, "Servers process check period (idle passes x 10)");
  set->callback([&console, args] {
    console.action = [&console, args] {
      if (!args->timeout && !args->check_period) {
        std::fprintf(stderr, "telmoctl: params set needs --timeout and/or --check-period\n");
        return static_cast<int>(kUsage);
      }
      int exit_code = kSuccess;
      auto current = GetParams(console, exit_code);
      if (!current) return exit_code;
      telmo::mgmt::MgmtParams wanted = *current;
      if (args->timeout) wanted.timeout = *args->timeout;
      if (args->check_period) wanted.check_period = *args->check_period;
      const auto payload = telmo::mgmt::EncodeMgmtParams(wanted);
      // The request gets no reply: the values read back on the same connection
      // tell whether it was taken.
      const auto reply = TellThenAsk(console, TELMO_TT_SET_MGMT_PARAMS, payload, TELMO_TT_GET_MGMT_PARAMS, {}, exit_code);
      if (!reply) return exit_code;
      const auto now = telmo::mgmt::DecodeMgmtParams(reply->payload);
      if (!now) {
        std::fprintf(stderr, "telmoctl: the manager's reply is not a parameters reply\n");
        return static_cast<int>(kFailed);
      }
      Print(console, *now);
      if (now->timeout != wanted.timeout || now->check_period != wanted.check_period) {
        std::fprintf(stderr, "telmoctl: the manager did not take the new values (refused: not a local request?)\n");
        return static_cast<int>(kFailed);
      }
      return static_cast<int>(kSuccess);
    };
  });
}

}  // namespace telmoctl
