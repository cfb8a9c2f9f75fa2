// Reaching a manager from the console: where it listens (--node, --port or
// the services file), one request, and how failures are printed.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "console.h"
#include "external/telmo_client.h"

namespace telmoctl {

/// The manager's endpoint from --node/--port or the services file; nullopt
/// (reported through Fail, exit code kUnreachable) when it cannot be resolved.
std::optional<telmo::Endpoint> ManagerEndpoint(const Console& console, int& exit_code);

/// Sends one request and waits for its reply. On failure to reach the
/// manager reports why through Fail and sets `exit_code` to kUnreachable.
std::optional<TelmoMessage> AskManager(const Console& console, std::int32_t tt, std::span<const std::uint8_t> payload,
                                       int& exit_code);

/// A connection to the manager (requests on it are served in order).
std::optional<telmo::TelmoClient> ConnectManager(const Console& console, int& exit_code);

/// Sends a request that gets no reply, then one that does, on one connection,
/// so the second is served after the first.
std::optional<TelmoMessage> TellThenAsk(const Console& console, std::int32_t tell_tt,
                                        std::span<const std::uint8_t> tell_payload, std::int32_t ask_tt,
                                        std::span<const std::uint8_t> ask_payload, int& exit_code);

/// Reports a refused or failed request through Fail ("WHAT failed: (15,15017)
/// text; ...", exit code kFailed); with --json the document also holds
/// `extra` and the codes. Call it only when `status.failed()`.
int FailStatus(const Console& console, const StatusBlock& status, const std::string& what,
               nlohmann::json extra = nlohmann::json::object());

/// The status block as JSON: {"ok": bool, "codes": [{"facility", "code", "text"}]}.
nlohmann::json StatusJson(const StatusBlock& status);

}  // namespace telmoctl
