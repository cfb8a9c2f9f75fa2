#include <algorithm>
#include <cstring>
#include <utility>

#include "external/telmo_bounds.h"
#include "external/telmo_frame.h"

namespace telmo::wire {
namespace {

constexpr std::size_t kOffVersion = 4;
constexpr std::size_t kOffKind = 6;
constexpr std::size_t kOffFlags = 7;
constexpr std::size_t kOffTT = 8;
constexpr std::size_t kOffTransnum = 12;
constexpr std::size_t kOffNode = 16;
constexpr std::size_t kOffUser = 48;
constexpr std::size_t kOffSeverity = 80;
constexpr std::size_t kOffCount = 84;
constexpr std::size_t kOffCodes = 88;
constexpr std::size_t kOffLength = 152;
constexpr std::size_t kNameSize = 32;
static_assert(kOffLength + 4 == kHeaderSize);
static_assert(kOffCodes + StatusBlock::kMaxCodes * 8 == kOffLength);

std::uint16_t GetU16(const std::uint8_t* p) noexcept {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

void PutName(std::vector<std::uint8_t>& out, const Text32& name) {
  const auto& bytes = name.bytes();  // NUL-terminated and zero-filled by construction
  const std::size_t n = name.size();
  for (std::size_t i = 0; i < kNameSize; ++i) out.push_back(i < n ? static_cast<std::uint8_t>(bytes[i]) : 0);
}

// NUL-terminated within the field, and nothing before the NUL that a log line
// or a terminal would take for a control (a line feed would forge a line).
bool NameClean(const std::uint8_t* p) noexcept {
  for (std::size_t i = 0; i < kNameSize; ++i) {
    if (p[i] == 0) return true;
    if (p[i] < 0x20 || p[i] == 0x7F) return false;
  }
  return false;
}

}  // namespace

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v >> 16));
  out.push_back(static_cast<std::uint8_t>(v >> 24));
}

std::uint32_t GetU32(const std::uint8_t* p) noexcept {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

const char* DecodeStatusText(DecodeStatus status) noexcept {
  switch (status) {
    case DecodeStatus::kOk: return "ok";
    case DecodeStatus::kNeedMore: return "incomplete frame";
    case DecodeStatus::kBadMagic: return "bad magic";
    case DecodeStatus::kBadVersion: return "unsupported version";
    case DecodeStatus::kBadKind: return "bad kind or flags";
    case DecodeStatus::kBadLength: return "payload length above the bound";
    case DecodeStatus::kBadStatus: return "bad status code count";
    case DecodeStatus::kBadName: return "node or user name not terminated or holding control characters";
    case DecodeStatus::kNotRequest: return "a reply where a request was due";
    case DecodeStatus::kAboveBound: return "payload length above the bound of its transaction type";
  }
  return "malformed frame";
}

DecodeStatus CheckHeader(std::span<const std::uint8_t> bytes, std::uint32_t& payload_length) noexcept {
  // Judge what is there already: a peer that sends garbage is refused at its
  // first bytes, not after it has filled a header.
  const std::size_t have = bytes.size();
  const std::uint8_t* p = bytes.data();
  for (std::size_t i = 0; i < 4 && i < have; ++i) {
    if (p[i] != kMagic[i]) return DecodeStatus::kBadMagic;
  }
  if (have < kHeaderSize) return DecodeStatus::kNeedMore;
  if (GetU16(p + kOffVersion) != kVersion) return DecodeStatus::kBadVersion;
  const std::uint8_t kind = p[kOffKind];
  if ((kind != static_cast<std::uint8_t>(MessageKind::kRequest) &&
       kind != static_cast<std::uint8_t>(MessageKind::kReply)) ||
      p[kOffFlags] != 0) {
    return DecodeStatus::kBadKind;
  }
  if (!NameClean(p + kOffNode) || !NameClean(p + kOffUser)) return DecodeStatus::kBadName;
  if (GetU32(p + kOffCount) > StatusBlock::kMaxCodes) return DecodeStatus::kBadStatus;
  const std::uint32_t length = GetU32(p + kOffLength);
  if (length > kMaxPayload) return DecodeStatus::kBadLength;
  payload_length = length;
  return DecodeStatus::kOk;
}

DecodeStatus CheckRequestHeader(std::span<const std::uint8_t> bytes, std::uint32_t& payload_length) noexcept {
  std::uint32_t length = 0;
  const DecodeStatus status = CheckHeader(bytes, length);
  if (status != DecodeStatus::kOk) return status;
  if (bytes[kOffKind] != static_cast<std::uint8_t>(MessageKind::kRequest)) return DecodeStatus::kNotRequest;
  if (length > RequestPayloadBound(GetI32(bytes.data() + kOffTT))) return DecodeStatus::kAboveBound;
  payload_length = length;
  return DecodeStatus::kOk;
}

bool AppendFrame(const TelmoMessage& message, std::vector<std::uint8_t>& out) {
  if (message.payload.size() > kMaxPayload) return false;
  out.reserve(out.size() + kHeaderSize + message.payload.size());
  out.insert(out.end(), std::begin(kMagic), std::end(kMagic));
  out.push_back(static_cast<std::uint8_t>(kVersion));
  out.push_back(static_cast<std::uint8_t>(kVersion >> 8));
  out.push_back(static_cast<std::uint8_t>(message.kind));
  out.push_back(0);
  PutI32(out, message.tt);
  PutU32(out, message.transnum);
  PutName(out, message.requester.node);
  PutName(out, message.requester.user);
  const bool reply = message.kind == MessageKind::kReply;
  const std::uint32_t count = reply ? std::min<std::uint32_t>(message.status.count, StatusBlock::kMaxCodes) : 0;
  PutI32(out, reply ? message.status.severity : 0);
  PutU32(out, count);
  for (std::size_t i = 0; i < StatusBlock::kMaxCodes; ++i) {
    const StatusCode code = i < count ? message.status.codes[i] : StatusCode{};
    PutI32(out, code.facility);
    PutI32(out, code.code);
  }
  PutU32(out, static_cast<std::uint32_t>(message.payload.size()));
  out.insert(out.end(), message.payload.begin(), message.payload.end());
  return true;
}

Decoded DecodeFrame(std::span<const std::uint8_t> bytes, TelmoMessage& out) {
  std::uint32_t length = 0;
  const DecodeStatus header = CheckHeader(bytes, length);
  if (header != DecodeStatus::kOk) return {header, 0};
  if (bytes.size() - kHeaderSize < length) return {DecodeStatus::kNeedMore, 0};

  const std::uint8_t* p = bytes.data();
  TelmoMessage m;
  m.connection = out.connection;
  m.kind = static_cast<MessageKind>(p[kOffKind]);
  m.tt = GetI32(p + kOffTT);
  m.transnum = GetU32(p + kOffTransnum);
  m.requester.node.assign_bytes(reinterpret_cast<const char*>(p + kOffNode), kNameSize);
  m.requester.user.assign_bytes(reinterpret_cast<const char*>(p + kOffUser), kNameSize);
  if (m.kind == MessageKind::kReply) {
    m.status.severity = GetI32(p + kOffSeverity);
    m.status.count = GetU32(p + kOffCount);
    for (std::size_t i = 0; i < m.status.count; ++i) {
      m.status.codes[i] = StatusCode{GetI32(p + kOffCodes + 8 * i), GetI32(p + kOffCodes + 8 * i + 4)};
    }
  }
  m.payload.assign(p + kHeaderSize, p + kHeaderSize + length);
  out = std::move(m);
  return {DecodeStatus::kOk, kHeaderSize + length};
}

}  // namespace telmo::wire
