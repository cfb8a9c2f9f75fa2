// Fuzz target over the payload of named requests (TT 15): the split into
// message type, name block and data, the texts read one after the other as
// the handlers read them, and the watchdog report block after any of them.
// Nothing may be read past the payload (AddressSanitizer sees the payload in
// a buffer of its exact size); a block decoded and encoded again must decode
// to the same report.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "external/telmo_mgmt.h"
#include "external/telmo_server.h"
#include "external/telmo_watchdog.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TelmoMessage message;
  message.tt = TELMO_TT_MSG;
  message.payload.assign(data, data + size);
  message.payload.shrink_to_fit();

  std::int32_t type = 0;
  TelmoNameBlock name{};
  std::uint32_t length = 0;
  std::span<const std::uint8_t> body;
  StatusBlock block;
  if (!TELMO_SERVER_PARSE_MSG(message, type, name, length, body, block)) return 0;
  if (length != body.size()) std::abort();

  telmo::mgmt::TextReader texts(body);
  for (int i = 0; i < 8; ++i) {
    const auto report = telmo::watchdog::DecodeReport(body.subspan(texts.offset()));
    if (report) {
      const auto again = telmo::watchdog::DecodeReport(telmo::watchdog::EncodeReport(*report));
      if (!again || !(*again == *report)) std::abort();
    }
    const auto text = texts.Next();
    if (!text) break;
    if (text->data() < reinterpret_cast<const char*>(body.data()) ||
        text->data() + text->size() >= reinterpret_cast<const char*>(body.data() + body.size())) {
      std::abort();  // a text and its terminator lie within the payload
    }
    (void)telmo::mgmt::BuildShortReply({*text, *text, *text});
  }
  return 0;
}
