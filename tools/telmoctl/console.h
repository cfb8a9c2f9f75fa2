// telmoctl: the console of the TELMO Manager. Each command group lives in its
// own file and registers itself on the application through an Add*Commands
// function.
//
// Exit codes (documented in --help and the README):
//   0  success
//   1  the request was refused or failed (the manager's status says why)
//   2  usage error
//   3  no manager answered (not running, wrong node or port)
//
// How a new command plugs in:
//   1. Write NAME_command.cpp (every .cpp of this folder is built in) with
//      `void AddNameCommands(CLI::App& app, Console& console)`, declare it
//      below and call it from main.cpp.
//   2. Add the subcommands there. Keep their arguments in a std::shared_ptr
//      captured by the callbacks (the App outlives nothing of yours), and in
//      the subcommand's callback set `console.action` to a function that does
//      the work and returns the exit code. Nothing talks to the manager or
//      prints before parsing is over.
//   3. The global options (--node, --port, --json, --timeout) are accepted
//      before or after the subcommand: read them from `console` in the
//      action, never declare them again on a subcommand.
//   4. Output. With --json, print exactly one document with PrintJson: an
//      object with "ok" (true or false); on failure also "exit_code" and
//      "message" (Fail does that). Without --json, pass every text that came
//      from outside the program (server files, the registry, the manager,
//      logs) through Printable before it reaches the terminal.
//   5. Failures: `return Fail(console, kFailed, "what went wrong")`. Usage
//      errors found after parsing (a value that would harm the node) return
//      Fail(console, kUsage, ...); refuse them before talking to the manager.
//   6. Requests: manager_client.h (AskManager, ConnectManager, TellThenAsk,
//      FailStatus); they report an unreachable manager through Fail
//      themselves (exit code 3), so the action only returns the code.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace telmoctl {

enum ExitCode : int { kSuccess = 0, kFailed = 1, kUsage = 2, kUnreachable = 3 };

/// Options shared by every command and the command's result.
struct Console {
  std::string node;      ///< --node: the manager's node; empty: this node
  int port = 0;          ///< --port: the manager's port; 0: from the services file
  bool json = false;     ///< --json: machine-readable output
  double timeout = 10;   ///< --timeout: seconds to wait for the manager (not a manager parameter)
  int exit_code = kSuccess;

  /// The command to run once parsing is done (set by the chosen subcommand's callback).
  std::function<int()> action;
};

/// Longest --timeout accepted, in seconds.
inline constexpr double kMaxWaitSeconds = 3600;

/// Prints one JSON document on standard output (bytes that are not UTF-8,
/// as in a server file written on another code page, become U+FFFD).
void PrintJson(const nlohmann::json& document);

/// Reports a failure and returns `exit_code`: "telmoctl: MESSAGE" on standard
/// error and, with --json, {"ok": false, "exit_code", "message"} merged with
/// `extra` (an object) on standard output.
int Fail(const Console& console, int exit_code, std::string_view message,
         const nlohmann::json& extra = nlohmann::json::object());

/// The text as it may reach a terminal: control characters (C0, DEL and the
/// C1 range) and bytes that are not UTF-8 are written as \n, \t, \r, \e or
/// \xNN; everything else, backslashes included, stays as it is. With
/// `keep_lines`, line ends and tabs stay as they are (a listing, an XML text).
[[nodiscard]] std::string Printable(std::string_view text, bool keep_lines = false);

/// A validator for options that must be a whole number of at least 1
/// (values that would stop a node from working).
[[nodiscard]] CLI::Validator AtLeastOne();

// One per command group (each in its own file).
void AddRegCommands(CLI::App& app, Console& console);       // reg_command.cpp
void AddServicesCommands(CLI::App& app, Console& console);  // services_command.cpp
void AddSvcCommands(CLI::App& app, Console& console);       // svc_command.cpp
void AddParamsCommands(CLI::App& app, Console& console);    // params_command.cpp
void AddServerCommands(CLI::App& app, Console& console);    // server_command.cpp
void AddLogCommands(CLI::App& app, Console& console);       // log_command.cpp
void AddCollabCommands(CLI::App& app, Console& console);    // collab_command.cpp
void AddNamedCommands(CLI::App& app, Console& console);     // named_command.cpp
void AddListCommands(CLI::App& app, Console& console);      // list_command.cpp
void AddServerConfigCommands(CLI::App& app, Console& console);  // config_command.cpp
void AddDeviceCommands(CLI::App& app, Console& console);        // device_command.cpp

/// `telmoctl status` without a service: every server of the node (node_status.cpp).
int NodeStatus(const Console& console);

}  // namespace telmoctl
