// The messaging library's wall clock: a time value and its local time.
#pragma once

#include <cstdint>

/// The time value: milliseconds since 1970-01-01 00:00 UTC.
void TELMO_CLIENT_GETTIME(std::int64_t& time);

/// A local time as the library hands it out.
struct TelmoLocalTime {
  std::int32_t seconds = 0;
  std::int32_t minutes = 0;
  std::int32_t hours = 0;
  std::int32_t day = 0;    ///< of the month, 1 to 31
  std::int32_t month = 0;  ///< 0 to 11
  std::int32_t year = 0;   ///< since 1900
};

/// The local time of a time value (the system's time zone).
[[nodiscard]] TelmoLocalTime TELMO_CLIENT_LOCALTIME(const std::int64_t& time);
