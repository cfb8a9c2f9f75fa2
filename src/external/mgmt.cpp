#include "external/telmo_mgmt.h"

#include <algorithm>
#include <cstring>

#include "external/payload_codec.h"
#include "external/telmo_frame.h"
#include "platform/win_error.h"
#include "util/text.h"

namespace telmo::mgmt {

using detail::PayloadReader;
using detail::PutNameField;
using detail::PutText;

Result<std::vector<std::uint8_t>> EncodeServiceRequest(std::string_view service) {
  std::vector<std::uint8_t> out;
  if (!PutNameField(out, service)) return Error{ERROR_INVALID_NAME};
  return out;
}

Result<Text32> DecodeServiceRequest(std::span<const std::uint8_t> payload) {
  PayloadReader r(payload);
  const Text32 service = r.NameField();
  if (!r.done()) return Error{ERROR_INVALID_DATA};
  return service;
}

std::vector<std::uint8_t> EncodeServerStatus(const ServerStatusRecord& record, bool v1) {
  std::vector<std::uint8_t> out;
  PutText(out, record.server_name);
  wire::PutI32(out, record.run_status);
  const std::size_t count = std::min<std::size_t>(record.components.size(), kMaxComponents);
  wire::PutU32(out, static_cast<std::uint32_t>(count));
  for (std::size_t i = 0; i < count; ++i) {
    const auto& c = record.components[i];
    PutText(out, c.name);
    wire::PutI32(out, c.run_status);
    if (v1) wire::PutI32(out, c.conn_status);
  }
  return out;
}

Result<ServerStatusRecord> DecodeServerStatus(std::span<const std::uint8_t> payload, bool v1) {
  PayloadReader r(payload);
  ServerStatusRecord record;
  record.server_name = r.Text();
  record.run_status = r.I32();
  const std::uint32_t count = r.U32();
  // Each entry takes at least 8 (12) bytes: a count the payload cannot hold is
  // refused before anything is allocated for it.
  const std::size_t min_entry = v1 ? 12 : 8;
  if (r.failed() || count > kMaxComponents || count > r.left() / min_entry) return Error{ERROR_INVALID_DATA};
  record.components.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    ComponentStatusEntry e;
    e.name = r.Text();
    e.run_status = r.I32();
    if (v1) e.conn_status = r.I32();
    record.components.push_back(std::move(e));
  }
  if (!r.done()) return Error{ERROR_INVALID_DATA};
  return record;
}

Result<std::vector<std::uint8_t>> EncodeStatusNotice(std::string_view service, std::string_view component_service,
                                                     std::int32_t conn_status) {
  std::vector<std::uint8_t> out;
  if (!PutNameField(out, service) || !PutNameField(out, component_service)) return Error{ERROR_INVALID_NAME};
  wire::PutI32(out, conn_status);
  return out;
}

Result<ServerStatusNotice> DecodeStatusNotice(std::span<const std::uint8_t> payload) {
  PayloadReader r(payload);
  ServerStatusNotice n;
  n.service = r.NameField();
  n.component_service = r.NameField();
  n.conn_status = r.I32();
  if (!r.done()) return Error{ERROR_INVALID_DATA};
  return n;
}

std::vector<std::uint8_t> EncodeMgmtParams(const MgmtParams& params) {
  std::vector<std::uint8_t> out;
  wire::PutI32(out, params.timeout);
  wire::PutI32(out, params.check_period);
  return out;
}

Result<MgmtParams> DecodeMgmtParams(std::span<const std::uint8_t> payload) {
  PayloadReader r(payload);
  MgmtParams p;
  p.timeout = r.I32();
  p.check_period = r.I32();
  if (!r.done()) return Error{ERROR_INVALID_DATA};
  return p;
}

std::vector<std::uint8_t> EncodeNamedPayload(std::int32_t type, const TelmoNameBlock& name,
                                             std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> out;
  out.reserve(kNamedHeader + data.size());
  wire::PutI32(out, type);
  out.insert(out.end(), name.begin(), name.end());
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

Result<std::vector<std::uint8_t>> EncodeTexts(std::initializer_list<std::string_view> texts) {
  std::vector<std::uint8_t> out;
  for (const auto t : texts) {
    if (t.find('\0') != std::string_view::npos) return Error{ERROR_INVALID_DATA};
    out.insert(out.end(), t.begin(), t.end());
    out.push_back(0);
  }
  return out;
}

std::optional<std::string_view> TextReader::Next() noexcept {
  if (malformed_ || pos_ >= data_.size()) return std::nullopt;
  const auto* start = data_.data() + pos_;
  const auto* nul = static_cast<const std::uint8_t*>(std::memchr(start, 0, data_.size() - pos_));
  if (nul == nullptr) {
    malformed_ = true;
    return std::nullopt;
  }
  const auto n = static_cast<std::size_t>(nul - start);
  pos_ += n + 1;
  return std::string_view(reinterpret_cast<const char*>(start), n);
}

std::array<std::uint8_t, kShortReplySize> BuildShortReply(std::initializer_list<std::string_view> texts) {
  std::array<std::uint8_t, kShortReplySize> block{};
  std::size_t pos = 0;
  for (const auto t : texts) {
    if (pos >= kShortReplySize - 1) break;  // room for nothing but the last NUL
    const std::string_view text = t.substr(0, std::min(t.find('\0'), t.size()));
    const std::size_t n = std::min(text.size(), kShortReplySize - 1 - pos);
    std::copy_n(text.begin(), n, block.begin() + static_cast<std::ptrdiff_t>(pos));
    pos += n + 1;  // the block is zero-filled: the NUL is there
    if (n < text.size()) break;
  }
  return block;
}

Result<std::vector<std::string>> ParseShortReply(std::span<const std::uint8_t> data) {
  if (data.size() != kShortReplySize) return Error{ERROR_INVALID_DATA};
  std::vector<std::string> texts;
  TextReader reader(data);
  while (auto t = reader.Next()) {
    if (t->empty()) break;
    texts.emplace_back(*t);
  }
  return texts;
}

}  // namespace telmo::mgmt

// ---------------------------------------------------------------------------
// The contract calls.

namespace {

using telmo::mgmt::detail::AcceptTT;
using telmo::mgmt::detail::BuildReply;
using telmo::mgmt::detail::LoadMalformed;
using telmo::mgmt::detail::ParseServiceRequest;

}  // namespace

int TELMO_MGMT_PARSE_STARTDEVREQ(const TelmoMessage& request, telmo::Text32& service, StatusBlock& block) {
  return ParseServiceRequest(request, {TELMO_TT_START_SERVER}, service, block);
}

int TELMO_MGMT_BLD_STARTDEVREPLY(const TelmoMessage& request, const StatusBlock& reply_status, TelmoMessage& reply,
                                 StatusBlock& /*block*/) {
  return BuildReply(request, reply_status, {}, reply);
}

int TELMO_MGMT_PARSE_STOPDEVREQ(const TelmoMessage& request, telmo::Text32& service, StatusBlock& block) {
  return ParseServiceRequest(request, {TELMO_TT_STOP_SERVER}, service, block);
}

int TELMO_MGMT_BLD_STOPDEVREPLY(const TelmoMessage& request, const StatusBlock& reply_status, TelmoMessage& reply,
                                StatusBlock& /*block*/) {
  return BuildReply(request, reply_status, {}, reply);
}

int TELMO_MGMT_PARSE_GETDEVSTATREQ(const TelmoMessage& request, telmo::Text32& service, StatusBlock& block) {
  return ParseServiceRequest(request, {TELMO_TT_GET_SERVER_STATUS, TELMO_TT_GET_SERVER_STATUS_V1}, service, block);
}

int TELMO_MGMT_BLD_GETDEVSTATREPLY(const TelmoMessage& request, const StatusBlock& reply_status,
                                   const ServerStatusRecord& record, TelmoMessage& reply, StatusBlock& /*block*/) {
  return BuildReply(request, reply_status, telmo::mgmt::EncodeServerStatus(record, false), reply);
}

int TELMO_MGMT_BLD_GETDEVSTATREPLY_V1(const TelmoMessage& request, const StatusBlock& reply_status,
                                      const ServerStatusRecord& record, TelmoMessage& reply, StatusBlock& /*block*/) {
  return BuildReply(request, reply_status, telmo::mgmt::EncodeServerStatus(record, true), reply);
}

int TELMO_MGMT_PARSE_UADEVICE_STATUS(const TelmoMessage& request, ServerStatusNotice& notice, StatusBlock& block) {
  if (!AcceptTT(request, {TELMO_TT_NOTIFY_SERVER_STATUS}, block)) return 0;
  auto parsed = telmo::mgmt::DecodeStatusNotice(request.payload);
  if (!parsed) return LoadMalformed(block);
  notice = *parsed;
  return 1;
}

int TELMO_MGMT_BLD_GETMGMTCONFREPLY(const TelmoMessage& request, std::int32_t timeout, std::int32_t check_period,
                                    TelmoMessage& reply, StatusBlock& /*block*/) {
  return BuildReply(request, StatusBlock{}, telmo::mgmt::EncodeMgmtParams({timeout, check_period}), reply);
}

int TELMO_MGMT_PARSE_SETMGMTCONFREQ(const TelmoMessage& request, std::int32_t& timeout, std::int32_t& check_period,
                                    StatusBlock& block) {
  if (!AcceptTT(request, {TELMO_TT_SET_MGMT_PARAMS}, block)) return 0;
  auto parsed = telmo::mgmt::DecodeMgmtParams(request.payload);
  if (!parsed) return LoadMalformed(block);
  timeout = parsed->timeout;
  check_period = parsed->check_period;
  return 1;
}
