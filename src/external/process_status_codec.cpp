#include <charconv>
#include <cstring>

#include "external/telmo_mgmt.h"
#include "external/telmo_process_status.h"
#include "platform/win_error.h"

namespace telmo::mgmt {
namespace {

// Grows the buffer and copies into it: GCC 12 at -O3 misreads a vector
// insert of a string range here as an overflow.
void Append(std::vector<std::uint8_t>& out, std::string_view text) {
  const std::size_t at = out.size();
  out.resize(at + text.size() + 1);
  if (!text.empty()) std::memcpy(out.data() + at, text.data(), text.size());
}

template <typename T>
bool Number(std::optional<std::string_view> text, T& value) {
  if (!text || text->empty()) return false;
  const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), value);
  return ec == std::errc() && end == text->data() + text->size();
}

}  // namespace

std::vector<std::uint8_t> EncodeProcessStatusRequest(std::string_view service) {
  std::vector<std::uint8_t> out;
  Append(out, kProcessStatusAction);
  Append(out, service);
  return out;
}

std::vector<std::uint8_t> EncodeProcessStatusReply(std::string_view service,
                                                   const std::optional<std::vector<ProcessStatusEntry>>& entries) {
  std::vector<std::uint8_t> out;
  Append(out, kProcessStatusAction);
  Append(out, service);
  if (!entries) {
    Append(out, "X");
    return out;
  }
  Append(out, std::to_string(entries->size()));
  for (const auto& e : *entries) {
    Append(out, e.component);
    Append(out, std::to_string(e.pid));
    Append(out, std::to_string(e.uptime_seconds));
    Append(out, std::to_string(e.restarts));
  }
  return out;
}

Result<std::optional<std::vector<ProcessStatusEntry>>> DecodeProcessStatusReply(std::span<const std::uint8_t> data) {
  TextReader texts(data);
  const auto action = texts.Next();
  const auto service = texts.Next();
  const auto count_text = texts.Next();
  if (action != kProcessStatusAction || !service || !count_text) return Error{ERROR_INVALID_DATA};
  if (*count_text == "X") return std::optional<std::vector<ProcessStatusEntry>>();
  std::uint32_t count = 0;
  if (!Number(count_text, count) || count > kMaxComponents) return Error{ERROR_INVALID_DATA};
  std::vector<ProcessStatusEntry> entries(count);
  for (auto& e : entries) {
    const auto name = texts.Next();
    if (!name || !Number(texts.Next(), e.pid) || !Number(texts.Next(), e.uptime_seconds) ||
        !Number(texts.Next(), e.restarts)) {
      return Error{ERROR_INVALID_DATA};
    }
    e.component = std::string(*name);
  }
  return std::optional<std::vector<ProcessStatusEntry>>(std::move(entries));
}

}  // namespace telmo::mgmt
