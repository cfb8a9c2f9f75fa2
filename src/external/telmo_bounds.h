// How much a peer may make a server hold. A server refuses a request whose
// declared payload is above the bound of its TT as soon as the frame header
// is in (the connection is closed with a log line), before any of the payload
// is read; replies are bound only by the frame bound (telmo_frame.h).
//
// The per-TT table lives in bounds.cpp, in one place: a new request type, or
// one that comes to carry more, changes its line there. Bounds are generous on
// purpose (several times what a request carries); what they prevent is a peer
// that declares megabytes for a request that never carries more than a name.
#pragma once

#include <cstddef>
#include <cstdint>

namespace telmo::wire {

/// Largest payload a request of `tt` may declare. TTs without a line of their
/// own get kDefaultRequestBound.
[[nodiscard]] std::uint32_t RequestPayloadBound(std::int32_t tt) noexcept;

inline constexpr std::uint32_t kDefaultRequestBound = 64u << 10;

/// Bytes a server holds for all of its connections together: requests being
/// received and replies not yet taken. Past it, the connection holding the
/// most is closed.
inline constexpr std::size_t kServerHeldBound = 32u << 20;

/// Replies queued for one connection: a reply is queued while less than this
/// is waiting for the peer to read it (so one reply of any size always is);
/// a peer that lets more pile up loses its connection.
inline constexpr std::size_t kReplyQueueBound = 1u << 20;

}  // namespace telmo::wire
