// The watchdog exchange between the manager and an asynchronous DLGP.
//
// The manager asks a DLGP for a fresh report by handing it the message
// "GetWatchDogData\0<service>\0" (TELMO_SERVER_SEND_MESSAGE, telmo_send.h);
// the DLGP acknowledges it and later sends the named request
// "GetWatchDogDataReply\0<service>\0<report block>" to the manager's service.
// Any requester may then ask the manager "GetWatchDogData\0<service>\0" and
// receives the cached report block as the reply.
//
// Report block: exactly kBlockSize bytes, integers little-endian, no padding.
//
//   offset size  field
//        0  256  tag name, NUL-terminated within the field
//      256    8  update stamp: two 32-bit words, the second a
//                TELMO_SERVER_GENERATE_TRANSNUM time
//      264    4  watchdog time-out (TELMO_DIFFTIME units, signed)
//      268    4  reserved, carried unchanged
//      272  280  item 1
//      552  280  item 2
//      832  280  item 3
//
// Item: state (4, signed), value (256, NUL-terminated), three 32-bit words
// (the third: status code), time stamp (8: signed seconds since 1970-01-01
// UTC).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "util/fixed_text.h"

/// One item of a watchdog report.
struct WatchdogItem {
  std::int32_t state = 0;  ///< kWatchdogItemFailed / kWatchdogItemStale when the manager marked it
  telmo::FixedText<256> value;
  std::array<std::int32_t, 3> words{};  ///< the third is the item's status code
  std::int64_t stamp = 0;               ///< seconds since 1970 (TELMO_DIAG_ASCTIME_WRAPPER)
  friend bool operator==(const WatchdogItem&, const WatchdogItem&) = default;
};

/// A watchdog report as the manager caches it and the block carries it.
struct WatchdogReport {
  telmo::FixedText<256> tag_name;
  std::array<std::uint32_t, 2> update_stamp{};  ///< the second word is a transnum time
  std::int32_t watchdog_timeout = 0;            ///< in TELMO_DIFFTIME units
  std::uint32_t reserved = 0;                   ///< carried unchanged
  std::array<WatchdogItem, 3> items{};
  friend bool operator==(const WatchdogReport&, const WatchdogReport&) = default;
};

/// Item state set when the DLGP could not be asked, and when its report is
/// also older than its watchdog time-out.
inline constexpr std::int32_t kWatchdogItemFailed = 2;
inline constexpr std::int32_t kWatchdogItemStale = 4;
/// Item status code set when the DLGP could not be asked.
inline constexpr std::int32_t kWatchdogRequestFailed = 77116;
/// The error a DLGP without watchdog support answers GetWatchDogData with
/// (facility kFacilityWatchdog); it stands in the status block's severity word.
inline constexpr std::int32_t kWatchdogNotSupported = 4012;

/// Renders an item time stamp the way asctime does, in local time
/// ("Thu Mar  7 14:03:09 2024\n"), into `buffer`; returns the number of
/// characters written, 0 when the stamp cannot be rendered (before 1970 or
/// after the year 3000).
int TELMO_DIAG_ASCTIME_WRAPPER(std::int64_t stamp, std::array<char, 64>& buffer);

namespace telmo::watchdog {

inline constexpr std::size_t kBlockSize = 1112;
inline constexpr std::size_t kTextField = 256;
inline constexpr std::size_t kFirstItem = 272;
inline constexpr std::size_t kItemSize = 280;
using Block = std::array<std::uint8_t, kBlockSize>;

inline constexpr std::string_view kGetWatchDogData = "GetWatchDogData";
inline constexpr std::string_view kGetWatchDogDataReply = "GetWatchDogDataReply";

[[nodiscard]] Block EncodeReport(const WatchdogReport& report) noexcept;
/// The report in the first kBlockSize bytes of `bytes`; nullopt when there are
/// fewer. A text field without a NUL is read as its first 255 characters.
[[nodiscard]] std::optional<WatchdogReport> DecodeReport(std::span<const std::uint8_t> bytes) noexcept;

/// The message the manager hands a DLGP: "GetWatchDogData\0<service>\0".
[[nodiscard]] std::vector<std::uint8_t> EncodeWatchdogRequest(std::string_view service);
/// A DLGP's answer, the named-request data "GetWatchDogDataReply\0<service>\0<block>".
[[nodiscard]] std::vector<std::uint8_t> EncodeWatchdogReply(std::string_view service, const WatchdogReport& report);

}  // namespace telmo::watchdog
