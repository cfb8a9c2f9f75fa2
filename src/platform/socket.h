// TCP sockets for the messaging library: BSD sockets on Linux, Winsock on
// Windows. Every socket is non-blocking and never inherited by child
// processes (close-on-exec; WSA_FLAG_NO_HANDLE_INHERIT), so that components
// started by a program never hold its listening socket or connections.
// Errors are Win32 numbers; writes never raise SIGPIPE.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "util/result.h"

namespace telmo::platform {

using SocketClock = std::chrono::steady_clock;

/// WSAHOST_NOT_FOUND: the name does not resolve.
inline constexpr std::uint32_t kSocketHostNotFound = 11001;

/// Owner of one socket. Move-only; closes on destruction.
class Socket {
 public:
  Socket() noexcept = default;
  explicit Socket(std::intptr_t native) noexcept : native_(native) {}
  Socket(Socket&& other) noexcept : native_(std::exchange(other.native_, kInvalid)) {}
  Socket& operator=(Socket&& other) noexcept {
    if (this != &other) reset(std::exchange(other.native_, kInvalid));
    return *this;
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() { reset(); }

  [[nodiscard]] bool valid() const noexcept { return native_ != kInvalid; }
  explicit operator bool() const noexcept { return valid(); }
  /// The descriptor or SOCKET, for log lines and polling.
  [[nodiscard]] std::intptr_t native() const noexcept { return native_; }
  void reset(std::intptr_t native = kInvalid) noexcept;

 private:
  static constexpr std::intptr_t kInvalid = -1;
  std::intptr_t native_ = kInvalid;
};

/// True for a numeric loopback address (127.0.0.0/8, ::1, ::ffff:127.x.y.z).
[[nodiscard]] bool IsLoopbackAddress(std::string_view numeric_address) noexcept;

/// `numeric_address` in the form own addresses are compared in: without a
/// scope ("%eth0"), an IPv4-mapped IPv6 address as its IPv4 address.
[[nodiscard]] std::string CanonicalAddress(std::string_view numeric_address);

/// Milliseconds from now to `deadline` for a poll: 0 when passed, rounded up.
[[nodiscard]] int PollMillis(SocketClock::time_point deadline) noexcept;

/// A socket bound to `address` (numeric or host name) and `port` (0: any)
/// and listening.
[[nodiscard]] Result<Socket> ListenOn(const std::string& address, int port);
/// The local port of a bound socket (0 on failure).
[[nodiscard]] int LocalPort(const Socket& socket) noexcept;
/// The numeric address of the peer of a connected socket ("" when unknown).
[[nodiscard]] std::string PeerAddress(const Socket& socket);
void SetNoDelay(const Socket& socket) noexcept;

/// Connects to `host`:`port` within the deadline, from the numeric local
/// address `source` when one is given. Errors: kSocketHostNotFound,
/// ERROR_CONNECTION_REFUSED, ERROR_TIMEOUT, others from the system.
[[nodiscard]] Result<Socket> ConnectTo(const std::string& host, int port, SocketClock::time_point deadline,
                                       const std::string& source = {});

/// Starts connecting to the first address of `host`:`port` without waiting.
/// `pending` is true while the connection is being made: the socket becomes
/// writable once it is made or has failed, and ConnectError tells which.
/// Errors: kSocketHostNotFound, ERROR_CONNECTION_REFUSED, others.
[[nodiscard]] Result<Socket> BeginConnect(const std::string& host, int port, bool& pending);
/// 0 once a connection begun by BeginConnect is made, else its Win32 error.
[[nodiscard]] std::uint32_t ConnectError(const Socket& socket) noexcept;

/// The numeric address of the local end of a socket ("" when unknown).
[[nodiscard]] std::string LocalAddress(const Socket& socket);

/// True when `numeric_address` is one of this host's own addresses (any
/// interface, loopback included; an IPv4-mapped IPv6 address counts as its
/// IPv4 address). The interface list is read again at most every 5 s.
[[nodiscard]] bool IsOwnAddress(std::string_view numeric_address);

enum class AcceptResult {
  kAccepted,     ///< `out` holds the new connection
  kNonePending,  ///< nothing to accept now
  kRetry,        ///< the connection went away before it was taken: try again
  kNoResources,  ///< out of descriptors or memory: the connection stays queued
};
AcceptResult Accept(const Socket& listener, Socket& out);

/// Reads what has arrived, at most `buffer.size()` bytes: the count, 0 at
/// the end of the stream; kWouldBlock when nothing is there yet.
inline constexpr std::ptrdiff_t kWouldBlock = -1;
inline constexpr std::ptrdiff_t kReceiveFailed = -2;
[[nodiscard]] std::ptrdiff_t ReceiveSome(const Socket& socket, std::span<std::uint8_t> buffer) noexcept;

/// Writes all of `bytes` before the deadline. Errors: ERROR_TIMEOUT,
/// ERROR_BROKEN_PIPE (peer gone), others.
[[nodiscard]] Result<void> WriteAll(const Socket& socket, std::span<const std::uint8_t> bytes,
                                    SocketClock::time_point deadline);

/// Writes what the socket takes now, without waiting: the number of bytes
/// written (0 when the socket is full). Errors: ERROR_BROKEN_PIPE (peer
/// gone), others.
[[nodiscard]] Result<std::size_t> WriteSome(const Socket& socket, std::span<const std::uint8_t> bytes);

/// One socket to wait for, and what for. WaitReady sets `readable` (data, a
/// pending connection, the end of the stream or an error; reported even when
/// only writing is waited for) and `writable` (room to write, or a connection
/// begun by BeginConnect made or failed).
struct PollItem {
  const Socket* socket = nullptr;
  bool want_read = true;
  bool want_write = false;
  bool readable = false;
  bool writable = false;
};
/// Waits up to `timeout_ms` for any of the sockets to become ready: the
/// number that are, 0 at the time-out; kWouldBlock when interrupted (the
/// caller looks again), kReceiveFailed when the wait itself failed.
[[nodiscard]] int WaitReady(std::span<PollItem> items, int timeout_ms);

/// Wakes a thread that waits in WaitReady from another thread: its socket is
/// waited for among the others (for reading); Wake makes it readable and
/// Drain, on the waiting thread, takes that back. An eventfd on Linux, a
/// loopback datagram socket sent to itself on Windows.
class SocketWaker {
 public:
  [[nodiscard]] static Result<SocketWaker> Create();
  [[nodiscard]] const Socket& socket() const noexcept { return socket_; }
  void Wake() const noexcept;
  void Drain() const noexcept;

 private:
  Socket socket_;
};

}  // namespace telmo::platform
