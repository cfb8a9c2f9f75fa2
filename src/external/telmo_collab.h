// The collaborative: the nodes this node is grouped with, as the messaging
// library loads them from "Collaborative.cfg", and the collaborative
// requests (TT 37 to 40) with the orders the manager passes on to the
// store-and-forward store processes of its servers.
//
// Collaborative.cfg lives in the product's management folder
// ($TELMOROOT/management, as the entry point creates it). Plain text, one
// node a line:
//
//   # comment lines and empty lines are skipped
//   NODE1
//   NODE2   second text of NODE2
//
// A line is the node name (1 to 31 characters, no blank), then, after one
// or more blanks or tabs, the node's second text (at most 31 characters,
// blanks inside kept, blanks around it dropped). Line ends LF or CR LF.
// TELMO_COLLAB_LOAD gives the load status:
//   0  no collaborative: the file is absent or holds no node
//   1  unreadable: cannot be opened or read, not a regular file, or larger
//      than kMaxFileSize
//   2  loaded
//   10 malformed: a line that is not a node entry (a text too long, a
//      control character, a NUL)
//   11 more than 100 nodes
// Only 2 means loaded; the reason of any other status goes to the client log.
// The statuses that mean "not loaded" stay clear of the change types 3 to 6,
// so that a change type read back from a reply is never ambiguous.
//
// Payloads (little-endian, see telmo_mgmt.h for the conventions):
//   TT 37 REFRESH_COLLABORATIVE     request: i32 is-finish (0 or 1)   reply: empty
//   TT 38 COLLABORATIVE_STATUS      request: empty                    reply: i32 change type
//   TT 39 RESUME_COLLABORATIVE      request: empty                    reply: empty
//   TT 40 COLLAB_SOURCE_FWD_STATUS  request: empty                    reply: i32 forward status
// The result of each request is the reply's status. A store process is
// given its orders with the same TTs and payloads (refresh with is-finish
// 0), sent to the store's TCP service under the manager's identity.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "external/telmo_message.h"
#include "external/telmo_status.h"
#include "util/fixed_text.h"
#include "util/result.h"

inline constexpr std::int32_t kCollabNotConfigured = 0;
inline constexpr std::int32_t kCollabUnreadable = 1;
inline constexpr std::int32_t kCollabLoaded = 2;
inline constexpr std::int32_t kCollabMalformed = 10;
inline constexpr std::int32_t kCollabTooManyNodes = 11;

/// One node of the collaborative.
struct CollaborativeNode {
  telmo::Text32 node;
  telmo::Text32 second;  ///< the node's second text; may be empty
  friend bool operator==(const CollaborativeNode&, const CollaborativeNode&) = default;
};

/// The collaborative configuration as TELMO_COLLAB_LOAD fills it: a node
/// count of 0 and empty entries whenever the load status is not 2.
struct CollaborativeConfig {
  static constexpr std::int32_t kMaxNodes = 100;
  std::array<CollaborativeNode, kMaxNodes> nodes{};
  std::int32_t node_count = 0;
  std::int32_t load_status = kCollabNotConfigured;
};

/// Loads Collaborative.cfg into `config` (every field, load status included).
/// Never fails otherwise: whatever the file holds, the result is a status.
/// Returns the load status.
std::int32_t TELMO_COLLAB_LOAD(CollaborativeConfig& config);

/// Where an order goes: the node of the store process and its TCP service.
struct CollabStoreAddress {
  telmo::Text32 node;
  telmo::Text32 service;
};

/// The orders to a store process. `manager` is the identity the order
/// carries ({local node, "TELMOManager"}); time-outs are in tenths of a
/// second, for the connection and the reply together. Each returns 1 when
/// the store acknowledged, else 0 with the failure in `block`: the client
/// error (kFacilityMessaging, see telmo_client.h) or the codes of the store's
/// reply.
int TELMO_MGMT_REFRESH_COLLABORATIVE(const IdentityRecord& manager, const CollabStoreAddress& store,
                                     int timeout_tenths, std::int32_t is_finish, StatusBlock& block);
int TELMO_MGMT_RESUME_COLLABORATIVE(const IdentityRecord& manager, const CollabStoreAddress& store,
                                    int timeout_tenths, StatusBlock& block);
/// Fills `forward_status` from the store's reply (left as it was on failure).
int TELMO_MGMT_GET_COLLAB_SRC_FWD_STS(const IdentityRecord& manager, const CollabStoreAddress& store,
                                      int timeout_tenths, std::int32_t& forward_status, StatusBlock& block);

/// TT 37: fills `is_finish` (left as it was on failure: kMsgBadMessage for
/// another TT, kMsgMalformedPayload for a payload that is not 4 bytes).
int TELMO_MGMT_PARSE_REFRESH_COLLABREQ(const TelmoMessage& request, std::int32_t& is_finish, StatusBlock& block);
int TELMO_MGMT_BLD_REFRESH_COLLABREPLY(const TelmoMessage& request, const StatusBlock& reply_status,
                                       TelmoMessage& reply, StatusBlock& block);
int TELMO_MGMT_BLD_RESUME_COLLABREPLY(const TelmoMessage& request, const StatusBlock& reply_status,
                                      TelmoMessage& reply, StatusBlock& block);
int TELMO_MGMT_BLD_COLLAB_CHANGETYPE_REPLY(const TelmoMessage& request, const StatusBlock& reply_status,
                                           std::int32_t change_type, TelmoMessage& reply, StatusBlock& block);
int TELMO_MGMT_GET_COLLAB_SRC_FWD_STS_REPLY(const TelmoMessage& request, const StatusBlock& reply_status,
                                            std::int32_t forward_status, TelmoMessage& reply, StatusBlock& block);

namespace telmo::collab {

/// Largest Collaborative.cfg that is read (100 node lines take under 7 KiB).
inline constexpr std::size_t kMaxFileSize = 64 * 1024;

/// $TELMOROOT/management/Collaborative.cfg (the base directory of
/// TELMO_CLIENT_ENVIRONMENT).
[[nodiscard]] std::string CollaborativeFilePath();

/// The configuration a file text gives (load status 0, 2, 10 or 11). `reason`
/// receives why the text was refused ("line 3: node name longer than 31
/// characters"), empty otherwise.
[[nodiscard]] CollaborativeConfig ParseCollaborative(std::string_view text, std::string* reason = nullptr);

/// The text of a configuration as the parser reads it back (one line per
/// node in use).
[[nodiscard]] std::string FormatCollaborative(const CollaborativeConfig& config);

/// A 4-byte payload holding one i32 (the is-finish flag, a change type, a
/// forward status), and its decoder (ERROR_INVALID_DATA unless exactly 4 bytes).
[[nodiscard]] std::vector<std::uint8_t> EncodeInt(std::int32_t value);
[[nodiscard]] Result<std::int32_t> DecodeInt(std::span<const std::uint8_t> payload);

}  // namespace telmo::collab
