#include <time.h>

#include <chrono>

#include "external/telmo_clock.h"

void TELMO_CLIENT_GETTIME(std::int64_t& time) {
  time = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
             .count();
}

TelmoLocalTime TELMO_CLIENT_LOCALTIME(const std::int64_t& time) {
  const time_t seconds = static_cast<time_t>(time / 1000);
  tm local{};
  localtime_r(&seconds, &local);
  return TelmoLocalTime{local.tm_sec, local.tm_min, local.tm_hour, local.tm_mday, local.tm_mon, local.tm_year};
}
