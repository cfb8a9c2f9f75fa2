#include <cstring>
#include <string>

#include "console.h"

namespace {

/// Seconds to wait: above 0 and at most kMaxWaitSeconds.
CLI::Validator WaitSeconds() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        double seconds = 0;
        if (!CLI::detail::lexical_cast(text, seconds) || !(seconds > 0) || seconds > telmoctl::kMaxWaitSeconds) {
          return "must be a number of seconds above 0 and at most 3600";
        }
        return {};
      },
      "SECONDS");
}

/// --json anywhere on the line (before "--"): usage errors are then JSON too.
bool JsonWanted(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) return false;
    if (std::strcmp(argv[i], "--json") == 0) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  telmoctl::Console console;
  CLI::App app{
      "telmoctl: console of the TELMO Manager.\n\n"
      "Global options may stand before or after the command. With --json every result and every error\n"
      "is one JSON document on standard output (errors: \"ok\": false, \"exit_code\", \"message\").\n"
      "Exit codes: 0 success, 1 request refused or failed, 2 usage error, 3 no manager answered."};
  app.require_subcommand(1);
  // Subcommands added after this hand the options they do not know to the
  // application, so "telmoctl status PLANT1 --json" works.
  app.fallthrough();
  app.add_option("--node", console.node, "Node of the manager to talk to (default: this node)");
  app.add_option("--port", console.port, "Port of the manager (default: TELMOManager in the services file)");
  app.add_flag("--json", console.json, "Print results and errors as JSON on standard output");
  app.add_option("--timeout", console.timeout, "Seconds to wait for the manager's reply (default 10)")
      ->check(WaitSeconds());

  telmoctl::AddRegCommands(app, console);
  telmoctl::AddServicesCommands(app, console);
  telmoctl::AddSvcCommands(app, console);
  telmoctl::AddParamsCommands(app, console);
  telmoctl::AddServerCommands(app, console);
  telmoctl::AddLogCommands(app, console);
  telmoctl::AddCollabCommands(app, console);
  telmoctl::AddNamedCommands(app, console);
  telmoctl::AddListCommands(app, console);
  telmoctl::AddServerConfigCommands(app, console);
  telmoctl::AddDeviceCommands(app, console);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help
    console.json = JsonWanted(argc, argv);
    return telmoctl::Fail(console, telmoctl::kUsage, std::string(e.what()) + " (see --help)");
  }
  if (!console.action) return telmoctl::kUsage;
  return console.action();
}
