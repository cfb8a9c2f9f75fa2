// Payloads of the configuration requests (TT 24 to 28 and 32 to 34) and their
// replies: the parse and build calls the manager's handlers make, and the
// encoders and decoders consoles and tests use on the other side. Pure codecs
// over bytes, like those of telmo_mgmt.h (same integers, name fields and
// texts; see there).
//
//  Server configuration (SC):
//    text name, name field dlgp_service, i32 dlgp_port, name field hist_service,
//    i32 hist_port, i32 startup_status, i32 health_check, text username,
//    text password, i32 snf_usage, text store_file_path, i32 scanner_port,
//    i32 store_port, i32 forward_port, i32 run_status, i32 desired_state,
//    u32 count, count x component:
//      text name, name field tcp_service, i32 tcp_port, text executable,
//      text arguments, i32 built_in, i32 generated, i32 run_status,
//      i32 conn_status
//    Texts hold at most kMaxConfigText bytes and no NUL; at most
//    kMaxConfigComponents components.
//
//  TT 24 GET_SERVER_CONFIGURATION  request: name field service
//                                  reply:   SC, or empty when no server is given
//  TT 25 ADD_SERVER, 26 MODIFY_SERVER_CONFIGURATION
//                                  request: name field service, u8 add flag (1 add,
//                                           0 modify), SC
//                                  reply:   i32 component index
//  TT 27 REMOVE_SERVER, 33 REMOVE_SF_SERVICES, 34 REMOVE_TCPIP_SERVICE
//                                  request: name field service [, u8 flag 0 or 1]
//                                           (without the byte the flag keeps the
//                                           value the caller preset)
//                                  reply:   empty
//  TT 28 SET_LOGICAL_DEVICE        request: 4 name fields: device name, values 1-3
//                                  reply:   empty
//  TT 32 DEL_LOGICAL_DEVICE        request: name field device name
//                                  reply:   empty
//
// Parse calls check the TT (kMsgBadMessage) and the payload (kMsgMalformedPayload),
// never read past it and leave their outputs unchanged on failure.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "external/telmo_message.h"
#include "util/fixed_text.h"
#include "util/result.h"

/// One component of a server configuration as the library carries it.
struct ComponentConfiguration {
  std::string name;
  telmo::Text32 tcp_service;
  std::int32_t tcp_port = 0;
  std::string executable;
  std::string arguments;
  std::int32_t built_in = 0;
  std::int32_t generated = 0;  ///< not 0: added by the manager itself, never written to a server file
  std::int32_t run_status = 0;
  std::int32_t conn_status = 0;
  friend bool operator==(const ComponentConfiguration&, const ComponentConfiguration&) = default;
};

/// A server configuration as the library carries it (the manager's own
/// record is converted to and from it; the fields keep the record's names).
struct ServerConfiguration {
  std::string name;
  telmo::Text32 dlgp_service;
  std::int32_t dlgp_port = 0;
  telmo::Text32 hist_service;
  std::int32_t hist_port = 0;
  std::int32_t startup_status = 0;
  std::int32_t health_check = 0;
  std::string username;
  std::string password;
  std::int32_t snf_usage = 0;
  std::string store_file_path;
  std::int32_t scanner_port = 0;
  std::int32_t store_port = 0;
  std::int32_t forward_port = 0;
  std::int32_t run_status = 0;
  std::int32_t desired_state = 0;
  std::vector<ComponentConfiguration> components;
  friend bool operator==(const ServerConfiguration&, const ServerConfiguration&) = default;
};

/// A logical device: its name and three values, each at most 31 characters.
struct LogicalDevice {
  telmo::Text32 name;
  std::array<telmo::Text32, 3> values;
  friend bool operator==(const LogicalDevice&, const LogicalDevice&) = default;
};

/// TT 24.
int TELMO_MGMT_PARSE_GETSERVCONFREQ(const TelmoMessage& request, telmo::Text32& service, StatusBlock& block);
/// `server` null: no server (empty payload). A configuration that cannot be
/// encoded (a text or component count above the bounds) is sent as none, with
/// kMsgTooLarge added to the reply status.
int TELMO_MGMT_BLD_GETSERVCONFREPLY(const TelmoMessage& request, const StatusBlock& reply_status,
                                    const ServerConfiguration* server, TelmoMessage& reply, StatusBlock& block);
/// TT 25 and 26: the add flag, not the TT, tells adding from modifying.
int TELMO_MGMT_PARSE_SETSERVCONFREQ(const TelmoMessage& request, telmo::Text32& service, std::uint8_t& add_flag,
                                    ServerConfiguration& configuration, StatusBlock& block);
int TELMO_MGMT_BLD_SETSERVCONFREPLY(const TelmoMessage& request, const StatusBlock& reply_status,
                                    std::int32_t component_index, TelmoMessage& reply, StatusBlock& block);
/// Releases a configuration a parse call filled.
void TELMO_MGMT_FreeSrvCfg(ServerConfiguration& configuration);
/// TT 27, 33 and 34: `flag` keeps its preset value when the request carries none.
int TELMO_MGMT_PARSE_REMOVESRVREQ2(const TelmoMessage& request, telmo::Text32& service, std::uint8_t& flag,
                                   StatusBlock& block);
int TELMO_MGMT_BLD_REMOVESRVREPLY(const TelmoMessage& request, const StatusBlock& reply_status, TelmoMessage& reply,
                                  StatusBlock& block);
/// TT 28.
int TELMO_MGMT_PARSE_SETLOGDEVREQ(const TelmoMessage& request, LogicalDevice& device, StatusBlock& block);
int TELMO_MGMT_BLD_SETLOGDEVREPLY(const TelmoMessage& request, const StatusBlock& reply_status, TelmoMessage& reply,
                                  StatusBlock& block);
/// TT 32.
int TELMO_MGMT_PARSE_DELLOGDEVREQ(const TelmoMessage& request, telmo::Text32& device_name, StatusBlock& block);
int TELMO_MGMT_BLD_DELLOGDEVREPLY(const TelmoMessage& request, const StatusBlock& reply_status, TelmoMessage& reply,
                                  StatusBlock& block);

namespace telmo::mgmt {

inline constexpr std::uint32_t kMaxConfigText = 8192;
inline constexpr std::uint32_t kMaxConfigComponents = 1024;

// --- the other side of the calls above ---------------------------------
// Encoders fail with ERROR_INVALID_NAME for a name field that does not fit
// (more than 31 characters or a NUL) and ERROR_INVALID_DATA for a text above
// kMaxConfigText, a text holding a NUL or too many components. Decoders fail
// with ERROR_INVALID_DATA on anything that does not fit the layout exactly.

[[nodiscard]] Result<std::vector<std::uint8_t>> EncodeServerConfiguration(const ServerConfiguration& configuration);
[[nodiscard]] Result<ServerConfiguration> DecodeServerConfiguration(std::span<const std::uint8_t> payload);

struct ConfigurationRequest {
  Text32 service;
  bool add = false;
  ServerConfiguration configuration;
};
[[nodiscard]] Result<std::vector<std::uint8_t>> EncodeConfigurationRequest(std::string_view service, bool add,
                                                                           const ServerConfiguration& configuration);
[[nodiscard]] Result<ConfigurationRequest> DecodeConfigurationRequest(std::span<const std::uint8_t> payload);

[[nodiscard]] std::vector<std::uint8_t> EncodeComponentIndex(std::int32_t index);
[[nodiscard]] Result<std::int32_t> DecodeComponentIndex(std::span<const std::uint8_t> payload);

/// TT 27, 33, 34; without `flag` the request carries none.
[[nodiscard]] Result<std::vector<std::uint8_t>> EncodeRemoveRequest(std::string_view service,
                                                                    std::optional<bool> flag = std::nullopt);
struct RemoveRequest {
  Text32 service;
  std::optional<bool> flag;
};
[[nodiscard]] Result<RemoveRequest> DecodeRemoveRequest(std::span<const std::uint8_t> payload);

[[nodiscard]] Result<std::vector<std::uint8_t>> EncodeDevice(std::string_view name,
                                                             const std::array<std::string_view, 3>& values);
[[nodiscard]] Result<LogicalDevice> DecodeDevice(std::span<const std::uint8_t> payload);

}  // namespace telmo::mgmt
