#include <iostream>

#include "console.h"

int main(int argc, char** argv) {
  telmoctl::Console console;
  CLI::App app{
      "telmoctl: console of the TELMO Manager.\n\n"
      "Exit codes: 0 success, 1 request refused or failed, 2 usage error, 3 no manager answered."};
  app.require_subcommand(1);
  app.add_option("--node", console.node, "Node of the manager to talk to (default: this node)");
  app.add_option("--port", console.port, "Port of the manager (default: TELMOManager in the services file)");
  app.add_flag("--json", console.json, "Print results as JSON");
  app.add_option("--timeout", console.timeout, "Seconds to wait for a reply")->check(CLI::PositiveNumber);

  telmoctl::AddRegCommands(app, console);
  telmoctl::AddServicesCommands(app, console);
  telmoctl::AddSvcCommands(app, console);
  telmoctl::AddParamsCommands(app, console);
  telmoctl::AddServerCommands(app, console);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    return rc == 0 ? telmoctl::kSuccess : telmoctl::kUsage;
  }
  if (!console.action) return telmoctl::kUsage;
  return console.action();
}
