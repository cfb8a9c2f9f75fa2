// telmoctl collab refresh [--finish] | resume | changes | forward-status: the
// collaborative requests (TT 37 to 40).
#include <cstdio>
#include <memory>
#include <string>

#include "console.h"
#include "external/telmo_collab.h"
#include "manager_client.h"

namespace telmoctl {
namespace {

const char* ChangeTypeText(std::int32_t change) {
  switch (change) {
    case kCollabNotConfigured: return "no collaborative configured";
    case kCollabUnreadable: return "the configuration cannot be read";
    case 3: return "no change";
    case 4: return "nodes added";
    case 5: return "a node added with a second text";
    case 6: return "a node removed";
    case kCollabMalformed: return "the configuration is malformed";
    case kCollabTooManyNodes: return "the configuration names more than 100 nodes";
    default: return "not loaded";
  }
}

/// Sends one collaborative request; prints its outcome. `value_name` names the
/// i32 the reply carries (empty: none).
int Ask(const Console& console, std::int32_t tt, std::span<const std::uint8_t> payload, const std::string& what,
        const std::string& value_name) {
  int exit_code = kSuccess;
  const auto reply = AskManager(console, tt, payload, exit_code);
  if (!reply) return exit_code;
  if (reply->status.failed()) return FailStatus(console, reply->status, "collab " + what);
  nlohmann::json document{{"ok", true}, {"request", what}};
  if (!value_name.empty()) {
    auto decoded = telmo::collab::DecodeInt(reply->payload);
    if (!decoded) return Fail(console, kFailed, "the manager's reply to collab " + what + " is malformed");
    document[value_name] = *decoded;
    if (tt == TELMO_TT_COLLABORATIVE_STATUS) document["meaning"] = ChangeTypeText(*decoded);
    if (!console.json && tt == TELMO_TT_COLLABORATIVE_STATUS) {
      std::printf("Change type %d: %s\n", *decoded, ChangeTypeText(*decoded));
    } else if (!console.json) {
      std::printf("Forward status of the collaborative stores: %d\n", *decoded);
    }
  } else if (!console.json) {
    std::printf("Collaborative %s passed on to the stores.\n", what.c_str());
  }
  if (console.json) PrintJson(document);
  return kSuccess;
}

}  // namespace

void AddCollabCommands(CLI::App& app, Console& console) {
  CLI::App* collab = app.add_subcommand("collab", "Collaborative requests to the stores of the node's servers");
  collab->require_subcommand(1);

  auto finish = std::make_shared<bool>(false);
  CLI::App* refresh = collab->add_subcommand("refresh", "Pass a refresh order on to every collaborative store");
  refresh->add_flag("--finish", *finish, "The refresh is finished: the manager reloads Collaborative.cfg");
  refresh->callback([&console, finish] {
    console.action = [&console, finish] {
      return Ask(console, TELMO_TT_REFRESH_COLLABORATIVE, telmo::collab::EncodeInt(*finish ? 1 : 0), "refresh", "");
    };
  });
  collab->add_subcommand("resume", "Pass a resume order on to every collaborative store; reload Collaborative.cfg")
      ->callback([&console] {
        console.action = [&console] { return Ask(console, TELMO_TT_RESUME_COLLABORATIVE, {}, "resume", ""); };
      });
  collab->add_subcommand("changes", "How Collaborative.cfg differs from what the manager loaded")->callback([&console] {
    console.action = [&console] { return Ask(console, TELMO_TT_COLLABORATIVE_STATUS, {}, "changes", "change_type"); };
  });
  collab->add_subcommand("forward-status", "The first non-zero forward status of the collaborative stores")
      ->callback([&console] {
        console.action = [&console] {
          return Ask(console, TELMO_TT_COLLAB_SOURCE_FWD_STATUS, {}, "forward-status", "forward_status");
        };
      });
}

}  // namespace telmoctl
