// The pieces every request codec of the library is built from: a reader that
// never reads past its payload, the writers of texts and name fields, and the
// common tail of the parse and build calls. Internal to the library (the
// codecs' own headers say what goes on the wire).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "external/telmo_message.h"
#include "util/fixed_text.h"

namespace telmo::mgmt::detail {

inline constexpr std::size_t kNameFieldSize = 32;
inline constexpr std::uint32_t kDefaultTextLimit = 1024;

/// Reads little-endian fields from a payload, never past its end: a read that
/// does not fit marks the reader failed and yields zero or empty.
class PayloadReader {
 public:
  explicit PayloadReader(std::span<const std::uint8_t> data) noexcept : data_(data) {}
  std::int32_t I32() noexcept { return static_cast<std::int32_t>(U32()); }
  std::uint32_t U32() noexcept;
  std::uint8_t U8() noexcept;
  /// A 32-bit length and that many bytes; a length above `limit` fails. With
  /// `allow_nul` false, a NUL byte inside fails too (the text would be cut
  /// wherever it is used as a C text).
  std::string Text(std::uint32_t limit = kDefaultTextLimit, bool allow_nul = true);
  /// A 32-byte name field; one without a NUL fails.
  Text32 NameField() noexcept;
  [[nodiscard]] std::size_t left() const noexcept { return data_.size() - pos_; }
  /// Every byte used and nothing out of place.
  [[nodiscard]] bool done() const noexcept { return !failed_ && pos_ == data_.size(); }
  [[nodiscard]] bool failed() const noexcept { return failed_; }
  void fail() noexcept { failed_ = true; }

 private:
  bool Has(std::size_t n) noexcept;
  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
  bool failed_ = false;
};

/// A 32-bit length and at most `limit` bytes of `text` (cut beyond).
void PutText(std::vector<std::uint8_t>& out, std::string_view text, std::uint32_t limit = kDefaultTextLimit);
/// The 32-byte field of `name`; false (nothing written) when it is longer than
/// 31 characters or holds a NUL.
[[nodiscard]] bool PutNameField(std::vector<std::uint8_t>& out, std::string_view name);

/// Loads (kFacilityMessaging, kMsgMalformedPayload) and returns 0.
int LoadMalformed(StatusBlock& block);
/// True when `request` is of one of `tts`; else loads kMsgBadMessage.
bool AcceptTT(const TelmoMessage& request, std::initializer_list<std::int32_t> tts, StatusBlock& block);
/// The parse call of a request whose payload is one name field (a service or
/// device name): 1 with `name` filled, else 0 with the error loaded.
int ParseServiceRequest(const TelmoMessage& request, std::initializer_list<std::int32_t> tts, Text32& name,
                        StatusBlock& block);
/// Fills `reply` as the reply to `request` with `reply_status`, `payload` and
/// the own identity; returns 1.
int BuildReply(const TelmoMessage& request, const StatusBlock& reply_status, std::vector<std::uint8_t> payload,
               TelmoMessage& reply);

}  // namespace telmo::mgmt::detail
