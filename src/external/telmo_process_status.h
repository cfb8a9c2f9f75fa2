// "GetProcessStatus": a named request (TT 15) of this manager's own, beside
// the ones every TELMO Manager answers: per component of one server, the process id, how long
// the process has run and how often the periodic check restarted it.
//
//   request data: "GetProcessStatus", DLGP TCP service (NUL-terminated texts;
//                 a service of more than 31 characters gets no reply)
//   reply data:   "GetProcessStatus", service, N (the component count, "X"
//                 when no server has that service), then per component:
//                 name, process id ("0": not running), uptime in seconds,
//                 restarts; all NUL-terminated texts, numbers in decimal.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "util/result.h"

namespace telmo::mgmt {

inline constexpr std::string_view kProcessStatusAction = "GetProcessStatus";

struct ProcessStatusEntry {
  std::string component;
  std::uint32_t pid = 0;  ///< 0: no process running
  std::int64_t uptime_seconds = 0;
  std::int32_t restarts = 0;
  bool operator==(const ProcessStatusEntry&) const = default;
};

/// The request's data (action name and service).
[[nodiscard]] std::vector<std::uint8_t> EncodeProcessStatusRequest(std::string_view service);
/// The reply's data; `entries` nullopt: no such server.
[[nodiscard]] std::vector<std::uint8_t> EncodeProcessStatusReply(
    std::string_view service, const std::optional<std::vector<ProcessStatusEntry>>& entries);
/// The entries of a reply's data; nullopt inside when the manager knows no
/// such server; ERROR_INVALID_DATA when the data is not such a reply.
[[nodiscard]] Result<std::optional<std::vector<ProcessStatusEntry>>> DecodeProcessStatusReply(
    std::span<const std::uint8_t> data);

}  // namespace telmo::mgmt
