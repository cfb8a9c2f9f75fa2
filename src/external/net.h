// Socket helpers of the messaging library (POSIX, internal). Every descriptor
// is non-blocking and close-on-exec, so that components started by a program
// never inherit its listening socket or connections.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/posix/unique_fd.h"
#include "util/result.h"

namespace telmo::detail {

using Clock = std::chrono::steady_clock;

/// Milliseconds from now to `deadline` for poll: 0 when passed, rounded up.
[[nodiscard]] int PollMillis(Clock::time_point deadline) noexcept;

/// A socket bound to `address` (numeric or host name) and `port` (0: any)
/// and listening. Win32 errors.
[[nodiscard]] Result<platform::UniqueFd> ListenOn(const std::string& address, int port);
/// The local port of a bound socket (0 on failure).
[[nodiscard]] int LocalPort(int fd) noexcept;
/// The numeric address of the peer of a connected socket ("" when unknown).
[[nodiscard]] std::string PeerAddress(int fd);

/// The numeric address of the local end of a socket ("" when unknown).
[[nodiscard]] std::string LocalAddress(int fd);

/// True when `numeric_address` is one of this host's own addresses (any
/// interface, loopback included; an IPv4-mapped IPv6 address counts as its
/// IPv4 address). The interface list is read again at most every 5 s.
[[nodiscard]] bool IsOwnAddress(std::string_view numeric_address);

/// Connects to `host`:`port` within the deadline, from the numeric local
/// address `source` when one is given. Errors: kErrorHostNotFound,
/// ERROR_CONNECTION_REFUSED, ERROR_TIMEOUT, others from the system.
[[nodiscard]] Result<platform::UniqueFd> ConnectTo(const std::string& host, int port, Clock::time_point deadline,
                                                   const std::string& source = {});

/// Writes all of `bytes` before the deadline (never raises SIGPIPE).
/// Errors: ERROR_TIMEOUT, ERROR_BROKEN_PIPE (peer gone), others.
[[nodiscard]] Result<void> WriteAll(int fd, std::span<const std::uint8_t> bytes, Clock::time_point deadline);

/// Writes what the socket takes now, without waiting (never raises SIGPIPE).
/// The number of bytes written (0 when the socket is full). Errors:
/// ERROR_BROKEN_PIPE (peer gone), others.
[[nodiscard]] Result<std::size_t> WriteSome(int fd, std::span<const std::uint8_t> bytes);

void SetNoDelay(int fd) noexcept;

}  // namespace telmo::detail
