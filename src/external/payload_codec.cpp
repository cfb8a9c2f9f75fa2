#include "external/payload_codec.h"

#include <algorithm>
#include <cstring>

#include "external/telmo_frame.h"
#include "external/telmo_mgmt.h"
#include "external/telmo_server.h"
#include "util/text.h"

namespace telmo::mgmt::detail {

bool PayloadReader::Has(std::size_t n) noexcept {
  if (failed_ || data_.size() - pos_ < n) {
    failed_ = true;
    return false;
  }
  return true;
}

std::uint32_t PayloadReader::U32() noexcept {
  if (!Has(4)) return 0;
  const auto v = wire::GetU32(data_.data() + pos_);
  pos_ += 4;
  return v;
}

std::uint8_t PayloadReader::U8() noexcept {
  if (!Has(1)) return 0;
  return data_[pos_++];
}

std::string PayloadReader::Text(std::uint32_t limit, bool allow_nul) {
  const std::uint32_t n = U32();
  if (n > limit || !Has(n)) {
    failed_ = true;
    return {};
  }
  const auto* p = reinterpret_cast<const char*>(data_.data() + pos_);
  if (!allow_nul && std::memchr(p, 0, n) != nullptr) {
    failed_ = true;
    return {};
  }
  std::string s(p, n);
  pos_ += n;
  return s;
}

Text32 PayloadReader::NameField() noexcept {
  Text32 t;
  if (!Has(kNameFieldSize)) return t;
  const auto* p = reinterpret_cast<const char*>(data_.data() + pos_);
  // A name that is not terminated, or that holds a control character (it
  // ends up in log lines), is malformed.
  if (std::memchr(p, 0, kNameFieldSize) == nullptr || HasControlCharacter(std::string_view(p))) {
    failed_ = true;
  } else {
    t.assign_bytes(p, kNameFieldSize);
  }
  pos_ += kNameFieldSize;
  return t;
}

void PutText(std::vector<std::uint8_t>& out, std::string_view text, std::uint32_t limit) {
  const std::size_t n = std::min<std::size_t>(text.size(), limit);
  wire::PutU32(out, static_cast<std::uint32_t>(n));
  out.insert(out.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
}

bool PutNameField(std::vector<std::uint8_t>& out, std::string_view name) {
  if (name.size() > kNameFieldSize - 1 || name.find('\0') != std::string_view::npos) return false;
  out.insert(out.end(), name.begin(), name.end());
  out.insert(out.end(), kNameFieldSize - name.size(), 0);
  return true;
}

int LoadMalformed(StatusBlock& block) {
  TELMO_SERVER_LDBLK(kFacilityMessaging, kMsgMalformedPayload, block);
  return 0;
}

bool AcceptTT(const TelmoMessage& request, std::initializer_list<std::int32_t> tts, StatusBlock& block) {
  if (std::find(tts.begin(), tts.end(), request.tt) != tts.end()) return true;
  TELMO_SERVER_LDBLK(kFacilityMessaging, kMsgBadMessage, block);
  return false;
}

int ParseServiceRequest(const TelmoMessage& request, std::initializer_list<std::int32_t> tts, Text32& name,
                        StatusBlock& block) {
  if (!AcceptTT(request, tts, block)) return 0;
  auto parsed = DecodeServiceRequest(request.payload);
  if (!parsed) return LoadMalformed(block);
  name = *parsed;
  return 1;
}

int BuildReply(const TelmoMessage& request, const StatusBlock& reply_status, std::vector<std::uint8_t> payload,
               TelmoMessage& reply) {
  IdentityRecord me;
  TELMO_USR_GetApplicationID(me);
  reply = MakeReply(request, reply_status, {}, me);
  reply.payload = std::move(payload);
  return 1;
}

}  // namespace telmo::mgmt::detail
