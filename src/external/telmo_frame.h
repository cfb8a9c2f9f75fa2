// The wire format of the messaging library: one frame per message over TCP.
// Pure functions over bytes; no I/O here.
//
// Frame = header (kHeaderSize bytes, every integer little-endian) + payload.
//
//   offset size  field
//        0    4  magic "TLMO" (bytes 'T' 'L' 'M' 'O')
//        4    2  version (kVersion)
//        6    1  kind: 1 request, 2 reply
//        7    1  flags: 0 (reserved; anything else is malformed)
//        8    4  TT (signed)
//       12    4  transaction number
//       16   32  requester node: NUL-terminated within the field, zero-filled,
//                no control character (0x00-0x1F, 0x7F) before the NUL
//       48   32  requester user (or application name), the same way
//       80    4  status severity (signed; a request carries 0)
//       84    4  status code count, 0..8
//       88   64  8 x (facility, code), signed; unused pairs are zero
//      152    4  payload length, at most kMaxPayload
//      156       payload
//
// A receiver checks the header as soon as its kHeaderSize bytes are in, so an
// oversized or garbled frame is refused before any of its payload is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "external/telmo_message.h"

namespace telmo::wire {

inline constexpr std::uint8_t kMagic[4] = {'T', 'L', 'M', 'O'};
inline constexpr std::uint16_t kVersion = 1;
inline constexpr std::size_t kHeaderSize = 156;
inline constexpr std::uint32_t kMaxPayload = 4u << 20;  ///< 4 MiB
inline constexpr std::size_t kMaxFrame = kHeaderSize + kMaxPayload;

enum class DecodeStatus {
  kOk,
  kNeedMore,     ///< not malformed (yet): more bytes are needed
  kBadMagic,
  kBadVersion,
  kBadKind,      ///< kind not 1 or 2, or flags not 0
  kBadLength,    ///< payload length above kMaxPayload
  kBadStatus,    ///< status code count above 8
  kBadName,      ///< node or user not NUL-terminated within its field, or holding a control character
  kNotRequest,   ///< a reply where a request was due (CheckRequestHeader)
  kAboveBound,   ///< payload above the bound of the request's TT (CheckRequestHeader)
};

/// A short text for a log line ("bad magic").
[[nodiscard]] const char* DecodeStatusText(DecodeStatus status) noexcept;

/// Checks the header at the start of `bytes`; on kOk sets `payload_length`.
/// kNeedMore while fewer than kHeaderSize bytes are there.
[[nodiscard]] DecodeStatus CheckHeader(std::span<const std::uint8_t> bytes, std::uint32_t& payload_length) noexcept;

/// CheckHeader for a server, which only takes requests: on top of it, a reply
/// is kNotRequest and a payload above telmo::wire::RequestPayloadBound of
/// the TT (telmo_bounds.h) is kAboveBound. On kOk sets `payload_length`.
[[nodiscard]] DecodeStatus CheckRequestHeader(std::span<const std::uint8_t> bytes,
                                              std::uint32_t& payload_length) noexcept;

/// Appends the frame of `message` to `out`. False (nothing appended) when the
/// payload is above kMaxPayload. The status is written only for a reply; a
/// request's status words are written as zero. `connection` is never sent.
[[nodiscard]] bool AppendFrame(const TelmoMessage& message, std::vector<std::uint8_t>& out);

struct Decoded {
  DecodeStatus status = DecodeStatus::kNeedMore;
  std::size_t consumed = 0;  ///< bytes of the frame (header + payload) when kOk
};

/// Decodes one frame from the start of `bytes` into `out` (connection left
/// as it was). Reads nothing beyond `bytes`; on anything but kOk `out` is
/// unchanged.
[[nodiscard]] Decoded DecodeFrame(std::span<const std::uint8_t> bytes, TelmoMessage& out);

/// Little-endian helpers shared by the payload codecs.
void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v);
inline void PutI32(std::vector<std::uint8_t>& out, std::int32_t v) { PutU32(out, static_cast<std::uint32_t>(v)); }
[[nodiscard]] std::uint32_t GetU32(const std::uint8_t* p) noexcept;
[[nodiscard]] inline std::int32_t GetI32(const std::uint8_t* p) noexcept {
  return static_cast<std::int32_t>(GetU32(p));
}

}  // namespace telmo::wire
