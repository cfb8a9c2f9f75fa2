// Fuzz target: the collaborative configuration parser and the collaborative
// codecs. The first byte chooses which one gets the rest.
//  - parser: never crashes, yields one of its statuses, never more than 100
//    nodes, and no node at all unless loaded; a loaded text written back by
//    the formatter parses to the same nodes;
//  - codecs: the refresh request parse and the i32 replies accept exactly 4
//    bytes and leave their outputs alone otherwise.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "external/telmo_collab.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void FuzzParser(std::string_view text) {
  const CollaborativeConfig config = telmo::collab::ParseCollaborative(text);
  const auto status = config.load_status;
  Check(status == kCollabNotConfigured || status == kCollabLoaded || status == kCollabMalformed ||
        status == kCollabTooManyNodes);
  Check(config.node_count >= 0 && config.node_count <= CollaborativeConfig::kMaxNodes);
  Check((status == kCollabLoaded) == (config.node_count > 0));
  if (status != kCollabLoaded) return;
  const CollaborativeConfig again = telmo::collab::ParseCollaborative(telmo::collab::FormatCollaborative(config));
  Check(again.load_status == kCollabLoaded && again.node_count == config.node_count && again.nodes == config.nodes);
}

void FuzzCodecs(std::span<const std::uint8_t> payload) {
  TelmoMessage request;
  request.tt = TELMO_TT_REFRESH_COLLABORATIVE;
  request.payload.assign(payload.begin(), payload.end());
  std::int32_t is_finish = -12345;
  StatusBlock block;
  const int parsed = TELMO_MGMT_PARSE_REFRESH_COLLABREQ(request, is_finish, block);
  Check(parsed == (payload.size() == 4 ? 1 : 0));
  Check(parsed == 1 || (is_finish == -12345 && block.holds(kFacilityMessaging, kMsgMalformedPayload)));
  const auto value = telmo::collab::DecodeInt(payload);
  Check(value.ok() == (payload.size() == 4));
  if (value.ok()) Check(telmo::collab::EncodeInt(*value) == request.payload);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const std::uint8_t> rest(data + 1, size - 1);
  if (data[0] % 2 == 0) {
    FuzzParser(std::string_view(reinterpret_cast<const char*>(rest.data()), rest.size()));
  } else {
    FuzzCodecs(rest);
  }
  return 0;
}
