// Named requests (TT 15) from the console: the texts out, the reply's data back.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "console.h"
#include "external/telmo_client.h"
#include "external/telmo_mgmt.h"
#include "manager_client.h"

namespace telmoctl {

/// The payload of a named request: message type 0, an empty name block, the texts.
inline std::optional<std::vector<std::uint8_t>> NamedPayload(std::initializer_list<std::string_view> texts) {
  auto data = telmo::mgmt::EncodeTexts(texts);
  if (!data) return std::nullopt;
  return telmo::mgmt::EncodeNamedPayload(0, TelmoNameBlock{}, data.value());
}

/// The data of a named reply (after its message type and name block); nullopt
/// when the payload is too short to be one.
inline std::optional<std::span<const std::uint8_t>> NamedReplyData(const TelmoMessage& reply) {
  if (reply.payload.size() < telmo::mgmt::kNamedHeader) return std::nullopt;
  return std::span<const std::uint8_t>(reply.payload).subspan(telmo::mgmt::kNamedHeader);
}

/// The names of an EnumerateDLGPServices reply (32-byte entries; a reply of
/// one zero byte lists none). list_command.cpp.
[[nodiscard]] std::vector<std::string> DlgpServices(std::span<const std::uint8_t> data);

}  // namespace telmoctl
