#include <cstring>

#include "external/payload_codec.h"
#include "external/telmo_config_requests.h"
#include "external/telmo_frame.h"
#include "external/telmo_mgmt.h"
#include "platform/win_error.h"

namespace telmo::mgmt {
namespace {

using detail::PayloadReader;
using detail::PutNameField;

// Texts of a configuration: bounded, and never holding a NUL (the manager
// keeps them as C texts in its files).
bool PutConfigText(std::vector<std::uint8_t>& out, std::string_view text) {
  if (text.size() > kMaxConfigText || text.find('\0') != std::string_view::npos) return false;
  detail::PutText(out, text, kMaxConfigText);
  return true;
}

std::string ConfigText(PayloadReader& r) { return r.Text(kMaxConfigText, false); }

// Bytes a component takes at the least: three empty texts, the name field
// and five integers.
constexpr std::size_t kMinComponentSize = 3 * 4 + 32 + 5 * 4;

Result<void> PutConfiguration(std::vector<std::uint8_t>& out, const ServerConfiguration& c) {
  if (c.components.size() > kMaxConfigComponents) return Error{ERROR_INVALID_DATA};
  bool texts = PutConfigText(out, c.name);
  if (!PutNameField(out, c.dlgp_service.view())) return Error{ERROR_INVALID_NAME};
  wire::PutI32(out, c.dlgp_port);
  if (!PutNameField(out, c.hist_service.view())) return Error{ERROR_INVALID_NAME};
  wire::PutI32(out, c.hist_port);
  wire::PutI32(out, c.startup_status);
  wire::PutI32(out, c.health_check);
  texts = PutConfigText(out, c.username) && texts;
  texts = PutConfigText(out, c.password) && texts;
  wire::PutI32(out, c.snf_usage);
  texts = PutConfigText(out, c.store_file_path) && texts;
  for (const std::int32_t v : {c.scanner_port, c.store_port, c.forward_port, c.run_status, c.desired_state}) {
    wire::PutI32(out, v);
  }
  wire::PutU32(out, static_cast<std::uint32_t>(c.components.size()));
  for (const auto& k : c.components) {
    texts = PutConfigText(out, k.name) && texts;
    if (!PutNameField(out, k.tcp_service.view())) return Error{ERROR_INVALID_NAME};
    wire::PutI32(out, k.tcp_port);
    texts = PutConfigText(out, k.executable) && texts;
    texts = PutConfigText(out, k.arguments) && texts;
    for (const std::int32_t v : {k.built_in, k.generated, k.run_status, k.conn_status}) wire::PutI32(out, v);
  }
  if (!texts) return Error{ERROR_INVALID_DATA};
  return {};
}

// Reads a configuration; the caller checks the reader afterwards.
ServerConfiguration ReadConfiguration(PayloadReader& r) {
  ServerConfiguration c;
  c.name = ConfigText(r);
  c.dlgp_service = r.NameField();
  c.dlgp_port = r.I32();
  c.hist_service = r.NameField();
  c.hist_port = r.I32();
  c.startup_status = r.I32();
  c.health_check = r.I32();
  c.username = ConfigText(r);
  c.password = ConfigText(r);
  c.snf_usage = r.I32();
  c.store_file_path = ConfigText(r);
  c.scanner_port = r.I32();
  c.store_port = r.I32();
  c.forward_port = r.I32();
  c.run_status = r.I32();
  c.desired_state = r.I32();
  const std::uint32_t count = r.U32();
  // A count the payload cannot hold is refused before anything is allocated.
  if (r.failed() || count > kMaxConfigComponents || count > r.left() / kMinComponentSize) {
    r.fail();
    return c;
  }
  c.components.reserve(count);
  for (std::uint32_t i = 0; i < count && !r.failed(); ++i) {
    ComponentConfiguration k;
    k.name = ConfigText(r);
    k.tcp_service = r.NameField();
    k.tcp_port = r.I32();
    k.executable = ConfigText(r);
    k.arguments = ConfigText(r);
    k.built_in = r.I32();
    k.generated = r.I32();
    k.run_status = r.I32();
    k.conn_status = r.I32();
    c.components.push_back(std::move(k));
  }
  return c;
}

}  // namespace

Result<std::vector<std::uint8_t>> EncodeServerConfiguration(const ServerConfiguration& configuration) {
  std::vector<std::uint8_t> out;
  if (auto put = PutConfiguration(out, configuration); !put) return Error{put.error()};
  return out;
}

Result<ServerConfiguration> DecodeServerConfiguration(std::span<const std::uint8_t> payload) {
  PayloadReader r(payload);
  ServerConfiguration c = ReadConfiguration(r);
  if (!r.done()) return Error{ERROR_INVALID_DATA};
  return c;
}

Result<std::vector<std::uint8_t>> EncodeConfigurationRequest(std::string_view service, bool add,
                                                             const ServerConfiguration& configuration) {
  std::vector<std::uint8_t> out;
  if (!PutNameField(out, service)) return Error{ERROR_INVALID_NAME};
  out.push_back(add ? 1 : 0);
  if (auto put = PutConfiguration(out, configuration); !put) return Error{put.error()};
  return out;
}

Result<ConfigurationRequest> DecodeConfigurationRequest(std::span<const std::uint8_t> payload) {
  PayloadReader r(payload);
  ConfigurationRequest request;
  request.service = r.NameField();
  const std::uint8_t add = r.U8();
  if (add > 1) r.fail();
  request.add = add == 1;
  if (!r.failed()) request.configuration = ReadConfiguration(r);
  if (!r.done()) return Error{ERROR_INVALID_DATA};
  return request;
}

std::vector<std::uint8_t> EncodeComponentIndex(std::int32_t index) {
  std::vector<std::uint8_t> out;
  wire::PutI32(out, index);
  return out;
}

Result<std::int32_t> DecodeComponentIndex(std::span<const std::uint8_t> payload) {
  PayloadReader r(payload);
  const std::int32_t index = r.I32();
  if (!r.done()) return Error{ERROR_INVALID_DATA};
  return index;
}

Result<std::vector<std::uint8_t>> EncodeRemoveRequest(std::string_view service, std::optional<bool> flag) {
  std::vector<std::uint8_t> out;
  if (!PutNameField(out, service)) return Error{ERROR_INVALID_NAME};
  if (flag) out.push_back(*flag ? 1 : 0);
  return out;
}

Result<RemoveRequest> DecodeRemoveRequest(std::span<const std::uint8_t> payload) {
  PayloadReader r(payload);
  RemoveRequest request;
  request.service = r.NameField();
  if (r.left() > 0) {
    const std::uint8_t flag = r.U8();
    if (flag > 1) r.fail();
    request.flag = flag == 1;
  }
  if (!r.done()) return Error{ERROR_INVALID_DATA};
  return request;
}

Result<std::vector<std::uint8_t>> EncodeDevice(std::string_view name, const std::array<std::string_view, 3>& values) {
  std::vector<std::uint8_t> out;
  if (!PutNameField(out, name)) return Error{ERROR_INVALID_NAME};
  for (const auto v : values) {
    if (!PutNameField(out, v)) return Error{ERROR_INVALID_NAME};
  }
  return out;
}

Result<LogicalDevice> DecodeDevice(std::span<const std::uint8_t> payload) {
  PayloadReader r(payload);
  LogicalDevice device;
  device.name = r.NameField();
  for (auto& v : device.values) v = r.NameField();
  if (!r.done()) return Error{ERROR_INVALID_DATA};
  return device;
}

}  // namespace telmo::mgmt

// ---------------------------------------------------------------------------
// The contract calls.

using telmo::mgmt::detail::AcceptTT;
using telmo::mgmt::detail::BuildReply;
using telmo::mgmt::detail::LoadMalformed;
using telmo::mgmt::detail::ParseServiceRequest;

int TELMO_MGMT_PARSE_GETSERVCONFREQ(const TelmoMessage& request, telmo::Text32& service, StatusBlock& block) {
  return ParseServiceRequest(request, {TELMO_TT_GET_SERVER_CONFIGURATION}, service, block);
}

int TELMO_MGMT_BLD_GETSERVCONFREPLY(const TelmoMessage& request, const StatusBlock& reply_status,
                                    const ServerConfiguration* server, TelmoMessage& reply, StatusBlock& /*block*/) {
  if (server == nullptr) return BuildReply(request, reply_status, {}, reply);
  auto payload = telmo::mgmt::EncodeServerConfiguration(*server);
  if (!payload) {
    StatusBlock status = reply_status;
    TELMO_SERVER_LDBLK(kFacilityMessaging, kMsgTooLarge, status);
    return BuildReply(request, status, {}, reply);
  }
  return BuildReply(request, reply_status, std::move(payload).value(), reply);
}

int TELMO_MGMT_PARSE_SETSERVCONFREQ(const TelmoMessage& request, telmo::Text32& service, std::uint8_t& add_flag,
                                    ServerConfiguration& configuration, StatusBlock& block) {
  if (!AcceptTT(request, {TELMO_TT_ADD_SERVER, TELMO_TT_MODIFY_SERVER_CONFIGURATION}, block)) return 0;
  auto parsed = telmo::mgmt::DecodeConfigurationRequest(request.payload);
  if (!parsed) return LoadMalformed(block);
  service = parsed->service;
  add_flag = parsed->add ? 1 : 0;
  configuration = std::move(parsed->configuration);
  return 1;
}

int TELMO_MGMT_BLD_SETSERVCONFREPLY(const TelmoMessage& request, const StatusBlock& reply_status,
                                    std::int32_t component_index, TelmoMessage& reply, StatusBlock& /*block*/) {
  return BuildReply(request, reply_status, telmo::mgmt::EncodeComponentIndex(component_index), reply);
}

void TELMO_MGMT_FreeSrvCfg(ServerConfiguration& configuration) { configuration = ServerConfiguration{}; }

int TELMO_MGMT_PARSE_REMOVESRVREQ2(const TelmoMessage& request, telmo::Text32& service, std::uint8_t& flag,
                                   StatusBlock& block) {
  if (!AcceptTT(request, {TELMO_TT_REMOVE_SERVER, TELMO_TT_REMOVE_SF_SERVICES, TELMO_TT_REMOVE_TCPIP_SERVICE}, block)) {
    return 0;
  }
  auto parsed = telmo::mgmt::DecodeRemoveRequest(request.payload);
  if (!parsed) return LoadMalformed(block);
  service = parsed->service;
  if (parsed->flag) flag = *parsed->flag ? 1 : 0;
  return 1;
}

int TELMO_MGMT_BLD_REMOVESRVREPLY(const TelmoMessage& request, const StatusBlock& reply_status, TelmoMessage& reply,
                                  StatusBlock& /*block*/) {
  return BuildReply(request, reply_status, {}, reply);
}

int TELMO_MGMT_PARSE_SETLOGDEVREQ(const TelmoMessage& request, LogicalDevice& device, StatusBlock& block) {
  if (!AcceptTT(request, {TELMO_TT_SET_LOGICAL_DEVICE}, block)) return 0;
  auto parsed = telmo::mgmt::DecodeDevice(request.payload);
  if (!parsed) return LoadMalformed(block);
  device = *parsed;
  return 1;
}

int TELMO_MGMT_BLD_SETLOGDEVREPLY(const TelmoMessage& request, const StatusBlock& reply_status, TelmoMessage& reply,
                                  StatusBlock& /*block*/) {
  return BuildReply(request, reply_status, {}, reply);
}

int TELMO_MGMT_PARSE_DELLOGDEVREQ(const TelmoMessage& request, telmo::Text32& device_name, StatusBlock& block) {
  return ParseServiceRequest(request, {TELMO_TT_DEL_LOGICAL_DEVICE}, device_name, block);
}

int TELMO_MGMT_BLD_DELLOGDEVREPLY(const TelmoMessage& request, const StatusBlock& reply_status, TelmoMessage& reply,
                                  StatusBlock& /*block*/) {
  return BuildReply(request, reply_status, {}, reply);
}
