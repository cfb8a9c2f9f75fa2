// Payloads of the management requests and their replies: the parse and build
// calls the manager's handlers make, and the encoders and decoders consoles
// and tests use on the other side. Every function here is a pure codec over
// bytes (the build calls only fill a message; nothing is sent).
//
// Integers are little-endian 32-bit. A "name field" is 32 bytes holding a
// NUL-terminated text of at most 31 characters, zero-filled. A "text" is a
// 32-bit length followed by that many bytes (no NUL), at most kMaxText.
//
//  TT 20 START_SERVER, 21 STOP_SERVER, 22 GET_SERVER_STATUS, 36 GET_SERVER_STATUS_V1
//    request: name field: the DLGP TCP service (exactly 32 bytes)
//  TT 20, 21 reply: empty payload; the result is the reply's status
//  TT 22 reply:  text server name, i32 run status, u32 count,
//                count x {text component name, i32 run status}
//  TT 36 reply:  the same with count x {text name, i32 run status, i32 connection status}
//  TT 35 NOTIFY_SERVER_STATUS (no reply):
//                name field service, name field component service, i32 CONNSTATUS (68 bytes)
//  TT 29 GET_MGMT_PARAMS: request empty; reply: i32 "Timeout", i32 "Servers process check period"
//  TT 30 SET_MGMT_PARAMS (no reply): i32 "Timeout", i32 "Servers process check period"
//  TT 15 MSG (named requests): see TELMO_SERVER_PARSE_MSG in telmo_server.h.
//
// Every parse call checks the payload's length and content first and never
// reads past it; a name field holding a control character is malformed (names
// end up in log lines). Malformed input loads (kFacilityMessaging, kMsgMalformedPayload)
// into the block, leaves the outputs unchanged and returns 0; a request of
// another TT loads kMsgBadMessage. Build calls return 1 with `reply` filled
// (kind reply, TT, transaction number and connection of the request, the
// reply status given, the own identity of TELMO_USR_GetApplicationID).
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "external/telmo_message.h"
#include "external/telmo_server.h"
#include "util/fixed_text.h"
#include "util/result.h"

/// One component of a status reply.
struct ComponentStatusEntry {
  std::string name;
  std::int32_t run_status = 0;   ///< the component's run status as the manager computed it
  std::int32_t conn_status = 0;  ///< V1 (TT 36) only; 0 in a TT 22 reply
  friend bool operator==(const ComponentStatusEntry&, const ComponentStatusEntry&) = default;
};

/// The status reply record (TT 22 and 36). An empty record (no server) has an
/// empty name, run status 0 and no components.
struct ServerStatusRecord {
  std::string server_name;
  std::int32_t run_status = 0;  ///< 0 stopped, 1 partly running, 2 running
  std::vector<ComponentStatusEntry> components;
  friend bool operator==(const ServerStatusRecord&, const ServerStatusRecord&) = default;
};

/// The status notification (TT 35).
struct ServerStatusNotice {
  telmo::Text32 service;
  telmo::Text32 component_service;
  std::int32_t conn_status = 0;  ///< CONNSTATUS
};

int TELMO_MGMT_PARSE_STARTDEVREQ(const TelmoMessage& request, telmo::Text32& service, StatusBlock& block);
int TELMO_MGMT_BLD_STARTDEVREPLY(const TelmoMessage& request, const StatusBlock& reply_status, TelmoMessage& reply,
                                 StatusBlock& block);
int TELMO_MGMT_PARSE_STOPDEVREQ(const TelmoMessage& request, telmo::Text32& service, StatusBlock& block);
int TELMO_MGMT_BLD_STOPDEVREPLY(const TelmoMessage& request, const StatusBlock& reply_status, TelmoMessage& reply,
                                StatusBlock& block);
/// TT 22 and 36.
int TELMO_MGMT_PARSE_GETDEVSTATREQ(const TelmoMessage& request, telmo::Text32& service, StatusBlock& block);
/// Names longer than kMaxText are cut; at most kMaxComponents entries are sent.
int TELMO_MGMT_BLD_GETDEVSTATREPLY(const TelmoMessage& request, const StatusBlock& reply_status,
                                   const ServerStatusRecord& record, TelmoMessage& reply, StatusBlock& block);
int TELMO_MGMT_BLD_GETDEVSTATREPLY_V1(const TelmoMessage& request, const StatusBlock& reply_status,
                                      const ServerStatusRecord& record, TelmoMessage& reply, StatusBlock& block);
int TELMO_MGMT_PARSE_UADEVICE_STATUS(const TelmoMessage& request, ServerStatusNotice& notice, StatusBlock& block);
/// TT 29 reply (the reply status is clear).
int TELMO_MGMT_BLD_GETMGMTCONFREPLY(const TelmoMessage& request, std::int32_t timeout, std::int32_t check_period,
                                    TelmoMessage& reply, StatusBlock& block);
/// TT 30: writes both values, or neither when the payload is malformed.
int TELMO_MGMT_PARSE_SETMGMTCONFREQ(const TelmoMessage& request, std::int32_t& timeout, std::int32_t& check_period,
                                    StatusBlock& block);

namespace telmo::mgmt {

inline constexpr std::size_t kNameField = 32;
inline constexpr std::uint32_t kMaxText = 1024;
inline constexpr std::uint32_t kMaxComponents = 4096;
inline constexpr std::size_t kNamedHeader = 68;     ///< message type + name block
inline constexpr std::size_t kShortReplySize = 64;

// --- the other side of the calls above ---------------------------------

/// Name field of `service`; ERROR_INVALID_NAME when it is longer than 31
/// characters or holds a NUL.
[[nodiscard]] Result<std::vector<std::uint8_t>> EncodeServiceRequest(std::string_view service);
[[nodiscard]] Result<Text32> DecodeServiceRequest(std::span<const std::uint8_t> payload);

/// `v1`: the TT 36 layout. Decoding fails (ERROR_INVALID_DATA) on any length
/// or count that does not fit the payload, or on bytes left over.
[[nodiscard]] std::vector<std::uint8_t> EncodeServerStatus(const ServerStatusRecord& record, bool v1);
[[nodiscard]] Result<ServerStatusRecord> DecodeServerStatus(std::span<const std::uint8_t> payload, bool v1);

[[nodiscard]] Result<std::vector<std::uint8_t>> EncodeStatusNotice(std::string_view service,
                                                                   std::string_view component_service,
                                                                   std::int32_t conn_status);
[[nodiscard]] Result<ServerStatusNotice> DecodeStatusNotice(std::span<const std::uint8_t> payload);

struct MgmtParams {
  std::int32_t timeout = 0;       ///< "Timeout", tenths of a second
  std::int32_t check_period = 0;  ///< "Servers process check period"
};
[[nodiscard]] std::vector<std::uint8_t> EncodeMgmtParams(const MgmtParams& params);
[[nodiscard]] Result<MgmtParams> DecodeMgmtParams(std::span<const std::uint8_t> payload);

// --- named requests (TT 15) ---------------------------------------------

/// The TT 15 payload: message type, name block, data.
[[nodiscard]] std::vector<std::uint8_t> EncodeNamedPayload(std::int32_t type, const TelmoNameBlock& name,
                                                           std::span<const std::uint8_t> data);
/// A sequence of NUL-terminated texts (action name first, then its
/// parameters). A text holding a NUL would split; ERROR_INVALID_DATA then.
[[nodiscard]] Result<std::vector<std::uint8_t>> EncodeTexts(std::initializer_list<std::string_view> texts);

/// Reads NUL-terminated texts one after the other from a named request's
/// data. Never reads past the data: a last text with no NUL before the end is
/// not returned (Next gives nullopt) and counts as malformed.
class TextReader {
 public:
  explicit TextReader(std::span<const std::uint8_t> data) noexcept : data_(data) {}
  /// The next text (without its NUL); nullopt at the end or on an
  /// unterminated text.
  [[nodiscard]] std::optional<std::string_view> Next() noexcept;
  /// True when an unterminated text was met.
  [[nodiscard]] bool malformed() const noexcept { return malformed_; }
  [[nodiscard]] std::size_t offset() const noexcept { return pos_; }

 private:
  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
  bool malformed_ = false;
};

/// The 64-byte short reply: zero-filled, the texts written one after the
/// other, each NUL-terminated. A text that does not fit is cut so that the
/// block always ends in NUL; texts after it are dropped.
[[nodiscard]] std::array<std::uint8_t, kShortReplySize> BuildShortReply(std::initializer_list<std::string_view> texts);
/// The texts of a short reply (up to the first empty one or the end of the
/// block); ERROR_INVALID_DATA when the payload is not 64 bytes.
[[nodiscard]] Result<std::vector<std::string>> ParseShortReply(std::span<const std::uint8_t> data);

}  // namespace telmo::mgmt
