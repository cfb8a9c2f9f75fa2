// The client side of the messaging library: connect to a service, send
// requests, wait for their replies. Used by telmoctl, the tests, the fake
// components and the manager's own client calls (TELMO_SERVER_SHUTDOWN is
// declared in telmo_server.h and built on this).
//
// Where a service is reached:
//  - node empty or equal to the local node ($TELMO_NODE, else the host name):
//    the address $TELMO_LISTEN (a wildcard listen address such as 0.0.0.0 or
//    :: is reached through loopback);
//  - any other node: the node resolved as a host name;
//  - the port: the service's entry in the local services file.
//
// Errors are Win32 numbers (telmo::Result):
//   ERROR_INVALID_NAME (123)         service name empty or longer than 31 characters
//   ERROR_NOT_FOUND (1168)           the service is not in the services file
//   kErrorHostNotFound (11001)       the node does not resolve
//   ERROR_CONNECTION_REFUSED (1225)  nothing listens there
//   ERROR_TIMEOUT (1460)             the connection, the send or the reply took too long
//   ERROR_BROKEN_PIPE (109)          the peer closed the connection before the reply
//   ERROR_INVALID_DATA (13)          the peer sent something that is not a frame, or a
//                                    request where a reply was due
//   ERROR_INVALID_PARAMETER (87)     payload above the frame bound
//   others                           from the failing system call (Win32FromErrno)
// StatusFromError turns them into messaging status codes for a status block.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "external/telmo_message.h"
#include "platform/socket.h"
#include "platform/win_error.h"
#include "platform/win_types.h"
#include "util/result.h"

namespace telmo {

inline constexpr DWORD kErrorHostNotFound = 11001;  ///< WSAHOST_NOT_FOUND

struct Endpoint {
  std::string host;  ///< numeric address or host name
  int port = 0;
};

/// The local node name: $TELMO_NODE, else the host name, cut to 31 characters.
[[nodiscard]] std::string LocalNodeName();
/// The name of the user the process runs as ("" when it has none).
[[nodiscard]] std::string LocalUserName();
/// {local node, local user}: the identity a client sends by default.
[[nodiscard]] IdentityRecord DefaultRequester();

/// Where `service` on `node` is served (see above).
[[nodiscard]] Result<Endpoint> ResolveService(std::string_view node, std::string_view service);

/// (kFacilityMessaging, code) for a client error above.
[[nodiscard]] std::int32_t StatusFromError(std::uint32_t win32_error) noexcept;

/// A connection to one service. Movable, not copyable; closes on destruction.
/// One request at a time: Request sends and then reads until the reply with
/// the same transaction number has come (replies to earlier requests that
/// timed out are passed over), so one connection can carry many requests.
class TelmoClient {
 public:
  TelmoClient() = default;
  TelmoClient(TelmoClient&&) noexcept = default;
  TelmoClient& operator=(TelmoClient&&) noexcept = default;
  TelmoClient(const TelmoClient&) = delete;
  TelmoClient& operator=(const TelmoClient&) = delete;

  /// Connects within `timeout`, from the numeric local address `source` when
  /// one is given (tests stand for other peers with other loopback addresses).
  [[nodiscard]] static Result<TelmoClient> Connect(const Endpoint& endpoint, std::chrono::milliseconds timeout,
                                                   const std::string& source = {});
  [[nodiscard]] static Result<TelmoClient> ConnectService(std::string_view node, std::string_view service,
                                                          std::chrono::milliseconds timeout);

  /// The identity sent with each request (DefaultRequester unless set; tests
  /// claim other nodes with it).
  void set_requester(const IdentityRecord& requester) { requester_ = requester; }
  [[nodiscard]] const IdentityRecord& requester() const noexcept { return requester_; }

  /// Sends a request of `tt` and waits up to `timeout` (from the call) for its
  /// reply. The reply's status says how the request went.
  [[nodiscard]] Result<TelmoMessage> Request(std::int32_t tt, std::span<const std::uint8_t> payload,
                                             std::chrono::milliseconds timeout);

  /// Sends a request that gets no reply (TT 30, TT 35, ...). Returns its
  /// transaction number.
  [[nodiscard]] Result<std::uint32_t> Post(std::int32_t tt, std::span<const std::uint8_t> payload,
                                           std::chrono::milliseconds timeout);

  /// Lower level: send a whole message as it stands (kind, TT, number and
  /// identity included), and wait for the reply to `transnum`.
  [[nodiscard]] Result<void> SendMessage(const TelmoMessage& message, std::chrono::milliseconds timeout);
  [[nodiscard]] Result<TelmoMessage> AwaitReply(std::uint32_t transnum, std::chrono::milliseconds timeout);

  /// Waits until the peer closes the connection (success), up to `timeout`
  /// (ERROR_TIMEOUT). Frames that arrive meanwhile are dropped.
  [[nodiscard]] Result<void> AwaitClose(std::chrono::milliseconds timeout);

  /// Writes raw bytes as they stand (tests of malformed input use this).
  [[nodiscard]] Result<void> SendRaw(std::span<const std::uint8_t> bytes, std::chrono::milliseconds timeout);

  [[nodiscard]] bool connected() const noexcept { return fd_.valid(); }
  void Close() noexcept;

  /// A transaction number not used before by this process.
  [[nodiscard]] static std::uint32_t NextTransnum() noexcept;

 private:
  platform::Socket fd_;
  IdentityRecord requester_ = DefaultRequester();
  std::vector<std::uint8_t> in_;  ///< bytes read and not yet decoded
};

/// One request on a fresh connection: connect, request, close.
[[nodiscard]] Result<TelmoMessage> RequestOnce(const Endpoint& endpoint, std::int32_t tt,
                                               std::span<const std::uint8_t> payload,
                                               std::chrono::milliseconds timeout,
                                               const std::optional<IdentityRecord>& requester = std::nullopt);

}  // namespace telmo
