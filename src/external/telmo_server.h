// The server side of the messaging library: what a program that answers
// requests (the manager, a component) calls.
//
// Transport. TCP. A program serves the port of its own service (the name
// given to TELMO_SERVER_INIT) as listed in the services file
// (telmo_services.h), on the address $TELMO_LISTEN (default 127.0.0.1). Each
// message is one frame (telmo_frame.h). A connection can carry any number of
// requests, one after the other; a reply goes back on the connection of its
// request.
//
// A serving loop looks like this (the manager's request worker):
//
//   TELMO_SERVER_INIT(1, "TELMOManager", node, block);   // once per process
//   TELMO_SERVER_ACCEPT(block);                          // binds: the manager does it
//                                                        // at start, and ends when it cannot
//   TELMO_SERVER_INIT_THREAD(block);                     // once per serving thread
//   while (!exiting) {
//     TELMO_SERVER_ACCEPT(block);                        // binds when not bound yet
//     TelmoMessage request;
//     if (TELMO_SERVER_RECEIVE(10, request, block) > 0) { // waits up to 1 s
//       ... TELMO_SERVER_TRANSTYPE(request) ...
//       TELMO_SERVER_SEND(100, reply, block);
//     }
//   }
//   TELMO_SERVER_EXIT_THREAD(block);
//   TELMO_SERVER_EXIT(block);
//
// Robustness. RECEIVE serves any number of connections with poll, returns one
// request per call and picks among connections that have a whole request in
// round robin. Nothing a peer sends can crash, stall or spin the loop, and
// what a peer can make the server hold is bounded (telmo_bounds.h):
//  - A frame that is malformed (bad magic, version, kind, status count, a
//    name not terminated or holding a control character), that is a reply, or
//    whose payload is above the bound of its TT closes its connection as soon
//    as its header is in, before any of the payload is read.
//  - A frame must come whole within the stall limit (5 s) of its first byte;
//    a peer that trickles bytes is closed all the same.
//  - The bytes held for all connections together (requests coming in,
//    replies going out) are bounded; past the bound the connection holding
//    the most is closed. Large buffers are given back when their frame has
//    been taken or their connection closed, and returned to the system.
//  - Replies are queued per connection and written as the peer reads them,
//    from RECEIVE's poll loop: a peer that does not read its replies holds
//    up no one, and loses its connection when its queue passes its bound or
//    a reply is not taken within the time-out it was sent with.
//  - A connection that sends nothing costs nothing but a slot. At most 256
//    connections are kept; to make room the server closes a connection that
//    has not been served yet (never one that has, while there are others), of
//    the peer address holding the most connections, the longest idle first.
//  - Each closed connection is worth one management-log line, at most one per
//    peer address a minute; the lines held back are counted and told in one
//    "Suppressed N more lines" line once the minute is over.
//
// Requester identity. The library fills the requester node of a request
// itself (RequesterNode below); the user name is the one the peer gives. A
// peer is this node when it connects from loopback or from one of this host's
// own addresses (a console on the same host reaching a manager that listens on
// a LAN address).
//
// Shut-down of a component. TELMO_SERVER_SHUTDOWN sends a request of TT 7
// (TELMO_TT_SHUT, empty payload) to a component's service. A component that
// receives it answers with a reply (telmo::ServerReply with a clear status),
// then ends: it calls TELMO_SERVER_EXIT (which closes every connection) or
// simply exits. The caller counts the component as ended when its connection
// closes.
//
// Threads. Every call below may be made from any thread; the calls on the
// process-wide server are serialised (a RECEIVE that waits holds up a SEND
// from another thread until it returns).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "external/telmo_message.h"
#include "external/telmo_status.h"
#include "util/fixed_text.h"
#include "util/result.h"

// ---------------------------------------------------------------------------
// The contract calls. Those returning int give 1 on success and 0 on failure
// with the error loaded into `block` (facility kFacilityMessaging unless said).

/// Prepares the process-wide server for `service` (the own service name, at
/// most 31 characters) and fills `node` with the local node name: $TELMO_NODE,
/// else the host name, cut to 31 characters. Nothing is bound yet: the first
/// TELMO_SERVER_ACCEPT binds. `mode` is accepted and not used. A second INIT
/// replaces the first (its connections are closed).
/// Errors: kMsgBadServiceName.
int TELMO_SERVER_INIT(int mode, std::string_view service, telmo::Text32& node, StatusBlock& block);

/// Closes the listening socket and every connection, and forgets the service.
int TELMO_SERVER_EXIT(StatusBlock& block);

/// First and last call of a serving thread. Errors: kMsgNotInitialised.
int TELMO_SERVER_INIT_THREAD(StatusBlock& block);
int TELMO_SERVER_EXIT_THREAD(StatusBlock& block);

/// The own identity: {local node, own service name} (both empty before INIT).
void TELMO_USR_GetApplicationID(IdentityRecord& id);

/// Binds the listening socket when it is not bound yet (port of the own
/// service in the services file, address $TELMO_LISTEN), then accepts every
/// pending connection without blocking. When it cannot bind it loads
/// kMsgServiceNotListed or kMsgCannotListen, sets the last error (Win32:
/// ERROR_NOT_FOUND, WSAEADDRINUSE, ...), writes one management-log line at
/// most once a minute, and tries again at the next call.
/// Errors: kMsgNotInitialised, kMsgServiceNotListed, kMsgCannotListen.
int TELMO_SERVER_ACCEPT(StatusBlock& block);

/// Waits up to `timeout_tenths` tenths of a second (0 or less: no wait) for a
/// request, accepting new connections meanwhile. Result above 0: `request`
/// holds one (with its requester filled by the library); 0: the time-out
/// passed; below 0: error (kMsgNotInitialised). Whatever the error, the call
/// takes its whole time-out, so a loop around it never spins: a server that
/// could not bind simply waits.
int TELMO_SERVER_RECEIVE(int timeout_tenths, TelmoMessage& request, StatusBlock& block);

/// Sends a reply: to its request's connection (a reply built from a request
/// message) or, for a reply built with TELMO_SERVER_BLD_MSG, to the
/// connection of the request RECEIVE returned last. Never waits: what the
/// peer does not take at once is queued and written by RECEIVE as the peer
/// reads; a peer that has not taken it within `timeout_tenths` tenths of a
/// second is closed. Errors: kMsgBadMessage (not a reply),
/// kMsgConnectionClosed (the requester has gone), kMsgTimeout (the peer lets
/// its replies pile up past the queue bound: its connection is closed),
/// kMsgTooLarge, kMsgNotInitialised.
int TELMO_SERVER_SEND(int timeout_tenths, TelmoMessage& reply, StatusBlock& block);

[[nodiscard]] int TELMO_SERVER_TRANSTYPE(const TelmoMessage& message) noexcept;
[[nodiscard]] std::uint32_t TELMO_SERVER_TRANSNUM(const TelmoMessage& message) noexcept;
void TELMO_SERVER_SET_TRANSNUM(TelmoMessage& message, std::uint32_t transnum) noexcept;
/// The requester of a request: node (filled by the library) and user.
[[nodiscard]] IdentityRecord TELMO_SERVER_REQSRC(const TelmoMessage& message);

/// The 64-byte name block of a named request (TT 15). The library does not
/// interpret it: a reply hands it back as it came.
using TelmoNameBlock = std::array<char, 64>;

/// Named requests (TT 15). Payload on the wire:
///
///   offset size  field
///        0    4  message type (signed, little-endian)
///        4   64  name block
///       68    n  data (n = payload length - 68)
///
/// For the manager's named requests the data is a sequence of NUL-terminated
/// texts, the first being the action name, and most replies are the 64-byte
/// short reply (telmo::mgmt::BuildShortReply).
///
/// Splits a TT 15 message. `data` points into `message`'s payload and lives
/// as long as it; `length` is data.size(). Errors: kMsgBadMessage (TT not 15),
/// kMsgMalformedPayload (payload shorter than 68 bytes); the outs are then
/// cleared.
int TELMO_SERVER_PARSE_MSG(const TelmoMessage& message, std::int32_t& type, TelmoNameBlock& name,
                           std::uint32_t& length, std::span<const std::uint8_t>& data, StatusBlock& block);

/// Builds the reply of a named request from the first `length` bytes of
/// `data`. The reply goes to the request RECEIVE returned last and carries its
/// transaction number (change it with TELMO_SERVER_SET_TRANSNUM). Result 1
/// when a message was built; 0 and no message when `data` holds fewer than
/// `length` bytes (kMsgMalformedPayload) or the payload would be too large
/// (kMsgTooLarge).
int TELMO_SERVER_BLD_MSG(std::int32_t type, const TelmoNameBlock& name, std::uint32_t length,
                         std::span<const std::uint8_t> data, TelmoMessage& reply, StatusBlock& block);

/// Asks the component serving `service` on `node` to end (TT 7), waits up to
/// 2 s for its reply and then up to 2 s more for it to close its connection,
/// so that a component that ends on request has ended when this returns.
/// A component that closes its connection without replying has ended too
/// (success). Errors loaded into `block`:
///   kMsgBadServiceName    the service name is empty or too long
///   kMsgServiceNotListed  the service is not in the services file
///   kMsgUnknownHost       the node does not resolve
///   kMsgCannotConnect     nothing serves the port (the component is not running)
///   kMsgTimeout           no reply within 2 s, or still connected 2 s after it
///   kMsgMalformedFrame    the peer answered with something that is not a frame
///   the reply's own codes when the component answered with an error.
/// Implemented on the client side (telmo_client.h).
int TELMO_SERVER_SHUTDOWN(std::string_view node, std::string_view service, StatusBlock& block);

// ---------------------------------------------------------------------------
// Our own helpers.

namespace telmo {

/// True for 127.0.0.0/8, ::1 and ::ffff:127.x.y.z (numeric addresses).
[[nodiscard]] bool IsLoopbackAddress(std::string_view numeric_address) noexcept;
/// True for a loopback address or one of this host's own addresses.
[[nodiscard]] bool IsThisHostAddress(std::string_view numeric_address);

/// The requester node of a request from `peer_address` (numeric) that names
/// `claimed_node`:
///  - peer on this host (IsThisHostAddress): the local node when it names
///    none or names the local node exactly; else the node it names (consoles
///    and tests use this);
///  - remote peer: the node it names, except that a peer naming the local node
///    (letter case ignored) or naming none is given its numeric address (cut
///    to 31 characters): a remote peer can never pass for the local node.
[[nodiscard]] Text32 RequesterNode(std::string_view claimed_node, std::string_view peer_address,
                                   std::string_view local_node);

/// Builds the reply to `request` with the own identity and sends it through
/// the process-wide server (TELMO_SERVER_SEND). For components and tests.
int ServerReply(int timeout_tenths, const TelmoMessage& request, const StatusBlock& status,
                std::span<const std::uint8_t> payload, StatusBlock& block);

/// Stall limit: a connection that holds part of a frame and sends nothing
/// more for this long is closed (default 5 s). Process-wide; for tests.
void SetStallLimit(std::chrono::milliseconds limit);
/// Most connections a server keeps (default 256); for tests.
void SetConnectionCap(std::size_t cap);
/// Bytes held for all connections together (default wire::kServerHeldBound);
/// for tests.
void SetHeldBound(std::size_t bytes);
/// Reply queue bound of one connection (default wire::kReplyQueueBound); for tests.
void SetReplyQueueBound(std::size_t bytes);
/// Period of the per-peer limit on connection lines (default one minute); for tests.
void SetPeerLinePeriod(std::chrono::milliseconds period);

/// The port the process-wide server listens on; 0 when it is not listening.
[[nodiscard]] int ListeningPort();

struct ServerOptions {
  std::string listen_address = "127.0.0.1";  ///< numeric address or host name
  /// Port to bind; nullopt: the port of `service` in the services file,
  /// looked up at Listen(); 0: any free port (see port()).
  std::optional<int> port;
  std::string service;     ///< own service name (identity of the replies)
  std::string local_node;  ///< for the requester identity rule
};

/// One serving endpoint. The contract calls above drive one process-wide
/// instance; tests and benchmarks may create their own. Not copyable; every
/// call is serialised by an internal lock.
class TransportServer {
 public:
  explicit TransportServer(ServerOptions options);
  ~TransportServer();
  TransportServer(const TransportServer&) = delete;
  TransportServer& operator=(const TransportServer&) = delete;

  /// Binds and listens if not done yet. Errors loaded into `block`:
  /// kMsgServiceNotListed, kMsgCannotListen.
  bool Listen(StatusBlock& block);
  [[nodiscard]] bool listening() const;
  [[nodiscard]] int port() const;  ///< bound port, 0 when not listening

  /// Accepts every pending connection without blocking.
  void AcceptPending();
  /// As TELMO_SERVER_RECEIVE, with the time-out as a duration.
  int Receive(std::chrono::milliseconds timeout, TelmoMessage& request, StatusBlock& block);
  /// As TELMO_SERVER_SEND. A reply whose connection is 0 goes to the
  /// connection of the last request returned by Receive.
  int Send(std::chrono::milliseconds timeout, TelmoMessage& reply, StatusBlock& block);

  /// The last request returned by Receive: its connection and number.
  [[nodiscard]] std::uint64_t last_connection() const;
  [[nodiscard]] std::uint32_t last_transnum() const;
  [[nodiscard]] std::size_t connection_count() const;
  /// Bytes held for the connections now (requests coming in, replies queued).
  [[nodiscard]] std::size_t held_bytes() const;
  [[nodiscard]] IdentityRecord identity() const;  ///< {local node, service}
  /// Closes the listening socket and every connection (writing first what
  /// their peers take at once of the replies still queued).
  void Close();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace telmo
