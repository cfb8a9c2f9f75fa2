// Handing a message to another program's service: TELMO_SERVER_SEND_MESSAGE
// (one message, the caller waits) and telmo::MessageSender (many messages at
// once on a thread of their own; the caller never waits).
//
// On the wire the message travels as a named request (TT 15) to the service:
// message type 0, a zero name block, the message as its data (see
// TELMO_SERVER_PARSE_MSG in telmo_server.h), sent as `identity` with the
// given transaction number. The service acknowledges it with a reply of the
// same number; the reply's status is the outcome (a clear status: handed
// over; (4, 4012): the service does not support the request). Whatever the
// service answers later comes as a request of its own, to the service named
// by the identity's application name on the identity's node.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "external/telmo_message.h"
#include "external/telmo_status.h"
#include "util/fixed_text.h"

/// Where a message goes: a service on a node (empty or the local node: this node).
struct MessageDestination {
  telmo::Text32 node;
  telmo::Text32 service;
};

/// Hands `message` to `destination` and waits up to `timeout_tenths` tenths
/// of a second, from the call, for the acknowledgement. `transnum` 0 takes a
/// fresh number (written back). `flags` is accepted and not used. Returns 1
/// when the service took the message; 0 with the error in `block`:
///   kMsgBadServiceName    the service name is empty or too long
///   kMsgServiceNotListed  the service is not in the services file
///   kMsgUnknownHost       the node does not resolve
///   kMsgCannotConnect     nothing serves the port
///   kMsgTimeout           no acknowledgement in time
///   kMsgConnectionClosed  the service closed the connection without one
///   kMsgMalformedFrame    the service answered with something else
///   the acknowledgement's own codes, such as (4, 4012).
int TELMO_SERVER_SEND_MESSAGE(const IdentityRecord& identity, const MessageDestination& destination,
                              int timeout_tenths, std::span<const std::uint8_t> message, std::uint32_t& transnum,
                              int flags, StatusBlock& block);

namespace telmo {

/// Sends as TELMO_SERVER_SEND_MESSAGE does, any number of messages at once,
/// on one thread of its own (started by the first Send): Send returns at once
/// and `done` is called on the sender's thread with the outcome (the block
/// TELMO_SERVER_SEND_MESSAGE would have filled). A service that never answers
/// costs its own time-out and holds up no other message.
class MessageSender {
 public:
  using Done = std::function<void(const StatusBlock& outcome)>;

  MessageSender();
  /// Ends the thread; messages still in flight are abandoned and their
  /// `done` is never called.
  ~MessageSender();
  MessageSender(const MessageSender&) = delete;
  MessageSender& operator=(const MessageSender&) = delete;

  void Send(const IdentityRecord& identity, const MessageDestination& destination, int timeout_tenths,
            std::span<const std::uint8_t> message, std::uint32_t transnum, Done done);

  /// Messages given to Send whose `done` has not returned yet.
  [[nodiscard]] std::size_t in_flight() const;
  /// Waits until nothing is in flight; false when `limit` passed first.
  bool WaitIdle(std::chrono::milliseconds limit) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace telmo
