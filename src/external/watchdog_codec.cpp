#include <time.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <ctime>

#include "external/telmo_frame.h"
#include "external/telmo_watchdog.h"

namespace telmo::watchdog {
namespace {

constexpr std::int64_t kLastRenderable = 32535215999;  // 3000-12-31 23:59:59 UTC

void PutU32At(std::uint8_t* at, std::uint32_t v) noexcept {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void PutI32At(std::uint8_t* at, std::int32_t v) noexcept { PutU32At(at, static_cast<std::uint32_t>(v)); }

template <std::size_t N>
void PutText(std::uint8_t* at, const FixedText<N>& text) noexcept {
  std::memcpy(at, text.bytes().data(), N);  // zero-filled after the text, NUL included
}
template <std::size_t N>
void GetText(const std::uint8_t* at, FixedText<N>& text) noexcept {
  text.assign_bytes(reinterpret_cast<const char*>(at), N);
}

std::string_view UpToNul(std::string_view text) noexcept { return text.substr(0, text.find('\0')); }

}  // namespace


Block EncodeReport(const WatchdogReport& report) noexcept {
  Block block{};
  std::uint8_t* p = block.data();
  PutText(p, report.tag_name);
  PutU32At(p + 256, report.update_stamp[0]);
  PutU32At(p + 260, report.update_stamp[1]);
  PutI32At(p + 264, report.watchdog_timeout);
  PutU32At(p + 268, report.reserved);
  for (std::size_t i = 0; i < report.items.size(); ++i) {
    const WatchdogItem& item = report.items[i];
    std::uint8_t* q = p + kFirstItem + i * kItemSize;
    PutI32At(q, item.state);
    PutText(q + 4, item.value);
    for (std::size_t w = 0; w < item.words.size(); ++w) PutI32At(q + 260 + 4 * w, item.words[w]);
    const auto stamp = static_cast<std::uint64_t>(item.stamp);
    PutU32At(q + 272, static_cast<std::uint32_t>(stamp));
    PutU32At(q + 276, static_cast<std::uint32_t>(stamp >> 32));
  }
  return block;
}

std::optional<WatchdogReport> DecodeReport(std::span<const std::uint8_t> bytes) noexcept {
  if (bytes.size() < kBlockSize) return std::nullopt;
  const std::uint8_t* p = bytes.data();
  WatchdogReport report;
  GetText(p, report.tag_name);
  report.update_stamp = {wire::GetU32(p + 256), wire::GetU32(p + 260)};
  report.watchdog_timeout = wire::GetI32(p + 264);
  report.reserved = wire::GetU32(p + 268);
  for (std::size_t i = 0; i < report.items.size(); ++i) {
    WatchdogItem& item = report.items[i];
    const std::uint8_t* q = p + kFirstItem + i * kItemSize;
    item.state = wire::GetI32(q);
    GetText(q + 4, item.value);
    for (std::size_t w = 0; w < item.words.size(); ++w) item.words[w] = wire::GetI32(q + 260 + 4 * w);
    item.stamp = static_cast<std::int64_t>(static_cast<std::uint64_t>(wire::GetU32(q + 272)) |
                                           static_cast<std::uint64_t>(wire::GetU32(q + 276)) << 32);
  }
  return report;
}

namespace {
// "<action>\0<service>\0" followed by `tail`.
std::vector<std::uint8_t> ActionAndService(std::string_view action, std::string_view service,
                                           std::span<const std::uint8_t> tail) {
  const std::string_view name = UpToNul(service);
  std::vector<std::uint8_t> out(action.size() + name.size() + 2 + tail.size(), 0);
  std::memcpy(out.data(), action.data(), action.size());
  if (!name.empty()) std::memcpy(out.data() + action.size() + 1, name.data(), name.size());
  if (!tail.empty()) std::memcpy(out.data() + action.size() + name.size() + 2, tail.data(), tail.size());
  return out;
}
}  // namespace

std::vector<std::uint8_t> EncodeWatchdogRequest(std::string_view service) {
  return ActionAndService(kGetWatchDogData, service, {});
}

std::vector<std::uint8_t> EncodeWatchdogReply(std::string_view service, const WatchdogReport& report) {
  const Block block = EncodeReport(report);
  return ActionAndService(kGetWatchDogDataReply, service, block);
}

}  // namespace telmo::watchdog

int TELMO_DIAG_ASCTIME_WRAPPER(std::int64_t stamp, std::array<char, 64>& buffer) {
  buffer.fill('\0');
  if (stamp < 0 || stamp > telmo::watchdog::kLastRenderable) return 0;
  const auto t = static_cast<time_t>(stamp);
  tm local{};
  if (::localtime_r(&t, &local) == nullptr) return 0;
  // asctime's own layout ("%e", the day padded with a space, is not known to
  // every C library: the day is written apart); nothing past the buffer.
  char names[16] = {};
  char clock[32] = {};
  if (std::strftime(names, sizeof names, "%a %b", &local) == 0) return 0;
  if (std::strftime(clock, sizeof clock, "%H:%M:%S %Y\n", &local) == 0) return 0;
  const int n = std::snprintf(buffer.data(), buffer.size(), "%s %2d %s", names, local.tm_mday, clock);
  if (n < 0 || static_cast<std::size_t>(n) >= buffer.size()) {
    buffer.fill('\0');
    return 0;
  }
  return n;
}
