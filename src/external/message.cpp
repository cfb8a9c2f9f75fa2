#include <time.h>

#include <array>

#include "external/telmo_message.h"

namespace {

// TT 1..40; TT 6 and 23 have no name.
constexpr std::array<const char*, 41> kTTNames = {
    "UNKNOWN",
    "GET", "GETHIST", "PUT", "DECL", "CANC", "", "SHUT", "LOGBLK", "FMTBLK", "LOGMSG",
    "UNS", "CONNECT", "DISCONNECT", "FMTSTS", "MSG", "STOPGET", "ACK", "STOPPUT", "PING", "START_SERVER",
    "STOP_SERVER", "GET_SERVER_STATUS", "", "GET_SERVER_CONFIGURATION", "ADD_SERVER",
    "MODIFY_SERVER_CONFIGURATION", "REMOVE_SERVER", "SET_LOGICAL_DEVICE", "GET_MGMT_PARAMS", "SET_MGMT_PARAMS",
    "REJECT", "DEL_LOGICAL_DEVICE", "REMOVE_SF_SERVICES", "REMOVE_TCPIP_SERVICE", "NOTIFY_SERVER_STATUS",
    "GET_SERVER_STATUS_V1", "REFRESH_COLLABORATIVE", "COLLABORATIVE_STATUS", "RESUME_COLLABORATIVE",
    "COLLAB_SOURCE_FWD_STATUS",
};

}  // namespace

const char* TELMO_MGMT_DecodeTT(int tt) noexcept {
  if (tt < 1 || tt >= static_cast<int>(kTTNames.size())) return kTTNames[0];
  return kTTNames[static_cast<std::size_t>(tt)];
}

std::uint32_t TELMO_SERVER_GENERATE_TRANSNUM() noexcept {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  const auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);  // the low 32 bits: wraps, TELMO_DIFFTIME copes
}

namespace telmo {

TelmoMessage MakeReply(const TelmoMessage& request, const StatusBlock& status, std::span<const std::uint8_t> payload,
                       const IdentityRecord& responder) {
  TelmoMessage reply;
  reply.kind = MessageKind::kReply;
  reply.tt = request.tt;
  reply.transnum = request.transnum;
  reply.connection = request.connection;
  reply.requester = responder;
  reply.status = status;
  reply.payload.assign(payload.begin(), payload.end());
  return reply;
}

}  // namespace telmo
