// The messaging library's message, identity record, transaction types, clock
// and the status codes of its own facility. Shared by the server side
// (telmo_server.h), the client side (telmo_client.h), the frame codec
// (telmo_frame.h) and the request codecs (telmo_mgmt.h).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "external/telmo_status.h"
#include "util/fixed_text.h"

/// Identity record: a node name and, for a requester, the user name or, for a
/// program's own identity (TELMO_USR_GetApplicationID), its application name.
/// 64 bytes on the wire: node (32 bytes), then user (32 bytes), each
/// NUL-terminated and zero-filled.
struct IdentityRecord {
  telmo::Text32 node;
  telmo::Text32 user;  ///< user of a requester, application name of an own identity
  friend bool operator==(const IdentityRecord&, const IdentityRecord&) = default;
};

/// Whether a message asks (request) or answers (reply).
enum class MessageKind : std::uint8_t { kRequest = 1, kReply = 2 };

/// A message as the library hands it to its callers. The requester identity of
/// a received request is filled by the library (see telmo::RequesterNode in
/// telmo_server.h), never taken from the peer as it stands. A reply's
/// `requester` carries the identity of the program that answers.
struct TelmoMessage {
  MessageKind kind = MessageKind::kRequest;
  std::int32_t tt = 0;                ///< transaction type (TELMO_TT_*)
  std::uint32_t transnum = 0;         ///< a reply carries the number of its request
  IdentityRecord requester;
  StatusBlock status;                 ///< replies: the result of the request; requests: clear
  std::vector<std::uint8_t> payload;  ///< at most telmo::wire::kMaxPayload bytes
  /// Library-internal: the connection a request came in on and a reply goes
  /// out on (0: none). Never on the wire.
  std::uint64_t connection = 0;
};

/// Transaction types (the TT of a message).
inline constexpr std::int32_t TELMO_TT_GET = 1;
inline constexpr std::int32_t TELMO_TT_GETHIST = 2;
inline constexpr std::int32_t TELMO_TT_PUT = 3;
inline constexpr std::int32_t TELMO_TT_DECL = 4;
inline constexpr std::int32_t TELMO_TT_CANC = 5;
inline constexpr std::int32_t TELMO_TT_SHUT = 7;
inline constexpr std::int32_t TELMO_TT_LOGBLK = 8;
inline constexpr std::int32_t TELMO_TT_FMTBLK = 9;
inline constexpr std::int32_t TELMO_TT_LOGMSG = 10;
inline constexpr std::int32_t TELMO_TT_UNS = 11;
inline constexpr std::int32_t TELMO_TT_CONNECT = 12;
inline constexpr std::int32_t TELMO_TT_DISCONNECT = 13;
inline constexpr std::int32_t TELMO_TT_FMTSTS = 14;
inline constexpr std::int32_t TELMO_TT_MSG = 15;
inline constexpr std::int32_t TELMO_TT_STOPGET = 16;
inline constexpr std::int32_t TELMO_TT_ACK = 17;
inline constexpr std::int32_t TELMO_TT_STOPPUT = 18;
inline constexpr std::int32_t TELMO_TT_PING = 19;
inline constexpr std::int32_t TELMO_TT_START_SERVER = 20;
inline constexpr std::int32_t TELMO_TT_STOP_SERVER = 21;
inline constexpr std::int32_t TELMO_TT_GET_SERVER_STATUS = 22;
inline constexpr std::int32_t TELMO_TT_GET_SERVER_CONFIGURATION = 24;
inline constexpr std::int32_t TELMO_TT_ADD_SERVER = 25;
inline constexpr std::int32_t TELMO_TT_MODIFY_SERVER_CONFIGURATION = 26;
inline constexpr std::int32_t TELMO_TT_REMOVE_SERVER = 27;
inline constexpr std::int32_t TELMO_TT_SET_LOGICAL_DEVICE = 28;
inline constexpr std::int32_t TELMO_TT_GET_MGMT_PARAMS = 29;
inline constexpr std::int32_t TELMO_TT_SET_MGMT_PARAMS = 30;
inline constexpr std::int32_t TELMO_TT_REJECT = 31;
inline constexpr std::int32_t TELMO_TT_DEL_LOGICAL_DEVICE = 32;
inline constexpr std::int32_t TELMO_TT_REMOVE_SF_SERVICES = 33;
inline constexpr std::int32_t TELMO_TT_REMOVE_TCPIP_SERVICE = 34;
inline constexpr std::int32_t TELMO_TT_NOTIFY_SERVER_STATUS = 35;
inline constexpr std::int32_t TELMO_TT_GET_SERVER_STATUS_V1 = 36;
inline constexpr std::int32_t TELMO_TT_REFRESH_COLLABORATIVE = 37;
inline constexpr std::int32_t TELMO_TT_COLLABORATIVE_STATUS = 38;
inline constexpr std::int32_t TELMO_TT_RESUME_COLLABORATIVE = 39;
inline constexpr std::int32_t TELMO_TT_COLLAB_SOURCE_FWD_STATUS = 40;

/// The name of a TT for trace lines ("START_SERVER"); "" for the unnamed TT 6
/// and 23; "UNKNOWN" for any TT outside 1..40. Never reads outside its table.
[[nodiscard]] const char* TELMO_MGMT_DecodeTT(int tt) noexcept;

/// A fresh transaction number that is also a time stamp: a 32-bit millisecond
/// clock (monotonic, it wraps after about 49.7 days).
[[nodiscard]] std::uint32_t TELMO_SERVER_GENERATE_TRANSNUM() noexcept;

/// Milliseconds from `earlier` to `later` (both GENERATE_TRANSNUM values):
/// the unsigned difference, right across a wrap of the clock. 300000 is five
/// minutes.
[[nodiscard]] constexpr std::uint32_t TELMO_DIFFTIME(std::uint32_t later, std::uint32_t earlier) noexcept {
  return later - earlier;
}

/// Status codes of the messaging library itself (facility kFacilityMessaging).
/// Their texts are in the message table (TELMO_StatusText).
inline constexpr std::int32_t kFacilityMessaging = 125;
inline constexpr std::int32_t kMsgNotInitialised = 125001;   ///< TELMO_SERVER_INIT not called or failed
inline constexpr std::int32_t kMsgBadServiceName = 125002;   ///< empty or longer than 31 characters
inline constexpr std::int32_t kMsgServiceNotListed = 125003; ///< no port for the service in the services file
inline constexpr std::int32_t kMsgCannotListen = 125004;     ///< the listening socket cannot be bound
inline constexpr std::int32_t kMsgCannotConnect = 125005;    ///< connection refused or peer unreachable
inline constexpr std::int32_t kMsgTimeout = 125006;          ///< the time-out passed
inline constexpr std::int32_t kMsgConnectionClosed = 125007; ///< the peer closed (or the connection is gone)
inline constexpr std::int32_t kMsgMalformedFrame = 125008;   ///< the peer sent bytes that are not a frame
inline constexpr std::int32_t kMsgBadMessage = 125009;       ///< a message the call cannot take (kind, routing)
inline constexpr std::int32_t kMsgTooLarge = 125010;         ///< payload above telmo::wire::kMaxPayload
inline constexpr std::int32_t kMsgMalformedPayload = 125011; ///< a parse call found a short or bad payload
inline constexpr std::int32_t kMsgUnknownHost = 125012;      ///< the node does not resolve
inline constexpr std::int32_t kMsgSystemError = 125013;      ///< another system call failed
inline constexpr std::int32_t kMsgDeviceNotFound = 125014;   ///< no logical device of that name
inline constexpr std::int32_t kMsgDeviceExists = 125015;     ///< a logical device of that name exists already
inline constexpr std::int32_t kMsgBadDevice = 125016;        ///< device name empty or a name or value above 31 characters
inline constexpr std::int32_t kMsgDeviceStore = 125017;      ///< the device store cannot be read or written

namespace telmo {

/// The reply to `request`: kind reply, same TT, transaction number and
/// connection, the given status and payload. `responder` is the identity the
/// reply carries (the answering program's node and application).
[[nodiscard]] TelmoMessage MakeReply(const TelmoMessage& request, const StatusBlock& status,
                                     std::span<const std::uint8_t> payload, const IdentityRecord& responder);

}  // namespace telmo
