// telmoctl: the console of the TELMO Manager. Each command group lives in its
// own file and registers itself on the application through an Add*Commands
// function.
//
// Exit codes (documented in --help and the README):
//   0  success
//   1  the request was refused or failed (the manager's status says why)
//   2  usage error
//   3  no manager answered (not running, wrong node or port)
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <iosfwd>
#include <string>

#include <nlohmann/json.hpp>

namespace telmoctl {

enum ExitCode : int { kSuccess = 0, kFailed = 1, kUsage = 2, kUnreachable = 3 };

/// Options shared by every command and the command's result.
struct Console {
  std::string node;      ///< --node: the manager's node; empty: this node
  int port = 0;          ///< --port: the manager's port; 0: from the services file
  bool json = false;     ///< --json: machine-readable output
  double timeout = 10;   ///< --timeout: seconds to wait for a reply
  int exit_code = kSuccess;

  /// The command to run once parsing is done (set by the chosen subcommand's callback).
  std::function<int()> action;
};

// One per command group (each in its own file).
void AddRegCommands(CLI::App& app, Console& console);       // reg_command.cpp
void AddServicesCommands(CLI::App& app, Console& console);  // services_command.cpp
void AddSvcCommands(CLI::App& app, Console& console);       // svc_command.cpp
void AddParamsCommands(CLI::App& app, Console& console);    // params_command.cpp
void AddServerCommands(CLI::App& app, Console& console);    // server_command.cpp

}  // namespace telmoctl
