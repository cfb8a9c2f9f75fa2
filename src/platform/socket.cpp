// The parts of the socket seam that need no system call.
#include "platform/socket.h"

namespace telmo::platform {

std::string CanonicalAddress(std::string_view numeric_address) {
  std::string text(numeric_address.substr(0, numeric_address.find('%')));
  constexpr std::string_view kMapped = "::ffff:";
  if (text.size() > kMapped.size() && text.compare(0, kMapped.size(), kMapped) == 0 &&
      text.find('.') != std::string::npos) {
    text.erase(0, kMapped.size());
  }
  return text;
}

int PollMillis(SocketClock::time_point deadline) noexcept {
  const auto left = deadline - SocketClock::now();
  if (left <= SocketClock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > 1000 * 3600 ? 1000 * 3600 : static_cast<int>(ms);
}

}  // namespace telmo::platform
