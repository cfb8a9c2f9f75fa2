#include "external/telmo_bounds.h"

#include "external/telmo_message.h"

namespace telmo::wire {
namespace {

constexpr std::uint32_t kKiB = 1024;

struct Bound {
  std::int32_t tt;
  std::uint32_t bytes;
};

// What each request carries, and its bound. Keep the reason beside each line.
constexpr Bound kBounds[] = {
    {TELMO_TT_SHUT, 4 * kKiB},                      // nothing
    {TELMO_TT_MSG, 4 * kKiB},                       // action name and texts of at most 256; watchdog reply
                                                    // block 1112 bytes after its action and service names
    {TELMO_TT_START_SERVER, 4 * kKiB},              // 32-byte service name
    {TELMO_TT_STOP_SERVER, 4 * kKiB},               // 32-byte service name
    {TELMO_TT_GET_SERVER_STATUS, 4 * kKiB},         // 32-byte service name
    {TELMO_TT_GET_SERVER_CONFIGURATION, 4 * kKiB},  // service name
    {TELMO_TT_ADD_SERVER, 1024 * kKiB},             // a whole server configuration: texts of up to 1 KiB
    {TELMO_TT_MODIFY_SERVER_CONFIGURATION, 1024 * kKiB},  // for the server and each of its components
    {TELMO_TT_REMOVE_SERVER, 4 * kKiB},             // service name and a flag
    {TELMO_TT_SET_LOGICAL_DEVICE, 4 * kKiB},        // four 32-byte texts
    {TELMO_TT_GET_MGMT_PARAMS, 4 * kKiB},           // nothing
    {TELMO_TT_SET_MGMT_PARAMS, 4 * kKiB},           // two integers
    {TELMO_TT_DEL_LOGICAL_DEVICE, 4 * kKiB},        // device name
    {TELMO_TT_REMOVE_SF_SERVICES, 4 * kKiB},        // service name and a flag
    {TELMO_TT_REMOVE_TCPIP_SERVICE, 4 * kKiB},      // service name and a flag
    {TELMO_TT_NOTIFY_SERVER_STATUS, 4 * kKiB},      // two 32-byte names and an integer
    {TELMO_TT_GET_SERVER_STATUS_V1, 4 * kKiB},      // 32-byte service name
    {TELMO_TT_REFRESH_COLLABORATIVE, 64 * kKiB},    // the is-finish flag
    {TELMO_TT_COLLABORATIVE_STATUS, 64 * kKiB},     // nothing or a node list (100 x 64 bytes)
    {TELMO_TT_RESUME_COLLABORATIVE, 64 * kKiB},     // nothing
    {TELMO_TT_COLLAB_SOURCE_FWD_STATUS, 64 * kKiB}, // nothing
};

}  // namespace

std::uint32_t RequestPayloadBound(std::int32_t tt) noexcept {
  for (const Bound& b : kBounds) {
    if (b.tt == tt) return b.bytes;
  }
  return kDefaultRequestBound;
}

}  // namespace telmo::wire
