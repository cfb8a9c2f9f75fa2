#include <algorithm>
#include <chrono>
#include <cstring>

#include "external/telmo_client.h"
#include "external/telmo_collab.h"
#include "external/telmo_env.h"
#include "external/telmo_frame.h"
#include "external/telmo_log.h"
#include "external/telmo_server.h"
#include "platform/file_io.h"
#include "platform/win_error.h"

namespace telmo::collab {
namespace {

constexpr std::string_view kBlanks = " \t";

bool IsControl(char c) noexcept {
  const auto u = static_cast<unsigned char>(c);
  return (u < 0x20 && c != '\t') || u == 0x7f;
}

std::string_view TrimBlanks(std::string_view s) noexcept {
  const auto first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

CollaborativeConfig Refused(std::int32_t status, std::string* reason, std::string why) {
  CollaborativeConfig config;
  config.load_status = status;
  if (reason) *reason = std::move(why);
  return config;
}

}  // namespace

std::string CollaborativeFilePath() {
  TelmoEnvironment env;
  TELMO_CLIENT_ENVIRONMENT(env);
  return env.base_directory + "management/Collaborative.cfg";
}

CollaborativeConfig ParseCollaborative(std::string_view text, std::string* reason) {
  if (reason) reason->clear();
  CollaborativeConfig config;
  std::size_t line_number = 0;
  while (!text.empty()) {
    ++line_number;
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const auto where = "line " + std::to_string(line_number) + ": ";
    if (std::any_of(line.begin(), line.end(), IsControl)) {
      return Refused(kCollabMalformed, reason, where + "control character");
    }
    line = TrimBlanks(line);
    if (line.empty() || line.front() == '#') continue;
    const auto split = line.find_first_of(kBlanks);
    const std::string_view name = line.substr(0, split);
    const std::string_view second = split == std::string_view::npos ? std::string_view{} : TrimBlanks(line.substr(split));
    if (name.size() > Text32::kMaxLength) {
      return Refused(kCollabMalformed, reason, where + "node name longer than 31 characters");
    }
    if (second.size() > Text32::kMaxLength) {
      return Refused(kCollabMalformed, reason, where + "second text longer than 31 characters");
    }
    if (config.node_count == CollaborativeConfig::kMaxNodes) {
      return Refused(kCollabTooManyNodes, reason, where + "more than 100 nodes");
    }
    auto& entry = config.nodes[static_cast<std::size_t>(config.node_count++)];
    entry.node.assign(name);
    entry.second.assign(second);
  }
  config.load_status = config.node_count > 0 ? kCollabLoaded : kCollabNotConfigured;
  return config;
}

std::string FormatCollaborative(const CollaborativeConfig& config) {
  std::string text;
  const auto count = std::clamp(config.node_count, 0, CollaborativeConfig::kMaxNodes);
  for (std::int32_t i = 0; i < count; ++i) {
    const auto& entry = config.nodes[static_cast<std::size_t>(i)];
    text += entry.node.view();
    if (!entry.second.empty()) {
      text += ' ';
      text += entry.second.view();
    }
    text += '\n';
  }
  return text;
}

std::vector<std::uint8_t> EncodeInt(std::int32_t value) {
  std::vector<std::uint8_t> out;
  wire::PutI32(out, value);
  return out;
}

Result<std::int32_t> DecodeInt(std::span<const std::uint8_t> payload) {
  if (payload.size() != 4) return Error{ERROR_INVALID_DATA};
  return wire::GetI32(payload.data());
}

}  // namespace telmo::collab

namespace {

// The system's text of a Win32 error, without its line end.
std::string ErrorText(std::uint32_t error) {
  std::string text = telmo::platform::SystemMessage(error).value_or("error " + std::to_string(error));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// Reads the file without blocking on a FIFO and without following it into a
// device: only a regular file of at most kMaxFileSize bytes is read.
CollaborativeConfig LoadFile(const std::string& path, std::string& reason) {
  using telmo::collab::kMaxFileSize;
  auto file = telmo::platform::FollowedFile::Open(path);
  CollaborativeConfig config;
  if (!file) {
    if (file.error() == ERROR_FILE_NOT_FOUND || file.error() == ERROR_PATH_NOT_FOUND) return config;  // no collaborative
    config.load_status = kCollabUnreadable;
    reason = "cannot open: " + ErrorText(file.error());
    return config;
  }
  if (!file->IsRegular()) {
    config.load_status = kCollabUnreadable;
    reason = "not a regular file";
    return config;
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    const auto n = file->ReadAt(text.size(), buffer);
    if (!n) {
      config.load_status = kCollabUnreadable;
      reason = "cannot read: " + ErrorText(n.error());
      return config;
    }
    if (*n == 0) break;
    text.append(buffer, *n);
    if (text.size() > kMaxFileSize) {
      config.load_status = kCollabUnreadable;
      reason = "larger than " + std::to_string(kMaxFileSize) + " bytes";
      return config;
    }
  }
  return telmo::collab::ParseCollaborative(text, &reason);
}

int LoadReplyCodes(const TelmoMessage& reply, StatusBlock& block) {
  for (std::uint32_t i = 0; i < reply.status.count; ++i) {
    TELMO_CLIENT_LDBLK(reply.status.codes[i].facility, reply.status.codes[i].code, block);
  }
  if (reply.status.count == 0) TELMO_CLIENT_LDBLK(kFacilityMessaging, kMsgSystemError, block);
  return 0;
}

// One order on a connection of its own: the reply, or 0 with the failure
// loaded into `block`.
int Order(const IdentityRecord& manager, const CollabStoreAddress& store, int timeout_tenths, std::int32_t tt,
          std::span<const std::uint8_t> payload, TelmoMessage& reply, StatusBlock& block) {
  using Clock = std::chrono::steady_clock;
  const auto timeout = std::chrono::milliseconds(std::max(timeout_tenths, 1) * 100LL);
  const auto deadline = Clock::now() + timeout;
  auto client = telmo::TelmoClient::ConnectService(store.node.view(), store.service.view(), timeout);
  if (!client) {
    TELMO_CLIENT_LDBLK(kFacilityMessaging, telmo::StatusFromError(client.error()), block);
    return 0;
  }
  client->set_requester(manager);
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(std::max(deadline - Clock::now(), Clock::duration::zero()));
  auto answered = client->Request(tt, payload, left);
  if (!answered) {
    TELMO_CLIENT_LDBLK(kFacilityMessaging, telmo::StatusFromError(answered.error()), block);
    return 0;
  }
  if (answered->status.failed()) return LoadReplyCodes(*answered, block);
  reply = std::move(answered).value();
  return 1;
}

int BuildReply(const TelmoMessage& request, std::int32_t tt, const StatusBlock& reply_status,
               std::vector<std::uint8_t> payload, TelmoMessage& reply, StatusBlock& block) {
  if (request.tt != tt) {
    TELMO_SERVER_LDBLK(kFacilityMessaging, kMsgBadMessage, block);
    return 0;
  }
  IdentityRecord me;
  TELMO_USR_GetApplicationID(me);
  reply = telmo::MakeReply(request, reply_status, payload, me);
  return 1;
}

}  // namespace

std::int32_t TELMO_COLLAB_LOAD(CollaborativeConfig& config) {
  const std::string path = telmo::collab::CollaborativeFilePath();
  std::string reason;
  config = LoadFile(path, reason);
  if (!reason.empty()) {
    StatusBlock scratch;
    TELMO_CLIENT_LOGMSG("TELMO_COLLAB_LOAD", path + " not loaded: " + reason + "\n", scratch);
  }
  return config.load_status;
}

int TELMO_MGMT_REFRESH_COLLABORATIVE(const IdentityRecord& manager, const CollabStoreAddress& store,
                                     int timeout_tenths, std::int32_t is_finish, StatusBlock& block) {
  TelmoMessage reply;
  return Order(manager, store, timeout_tenths, TELMO_TT_REFRESH_COLLABORATIVE, telmo::collab::EncodeInt(is_finish),
               reply, block);
}

int TELMO_MGMT_RESUME_COLLABORATIVE(const IdentityRecord& manager, const CollabStoreAddress& store,
                                    int timeout_tenths, StatusBlock& block) {
  TelmoMessage reply;
  return Order(manager, store, timeout_tenths, TELMO_TT_RESUME_COLLABORATIVE, {}, reply, block);
}

int TELMO_MGMT_GET_COLLAB_SRC_FWD_STS(const IdentityRecord& manager, const CollabStoreAddress& store,
                                      int timeout_tenths, std::int32_t& forward_status, StatusBlock& block) {
  TelmoMessage reply;
  if (!Order(manager, store, timeout_tenths, TELMO_TT_COLLAB_SOURCE_FWD_STATUS, {}, reply, block)) return 0;
  auto status = telmo::collab::DecodeInt(reply.payload);
  if (!status) {
    TELMO_CLIENT_LDBLK(kFacilityMessaging, kMsgMalformedPayload, block);
    return 0;
  }
  forward_status = *status;
  return 1;
}

int TELMO_MGMT_PARSE_REFRESH_COLLABREQ(const TelmoMessage& request, std::int32_t& is_finish, StatusBlock& block) {
  if (request.tt != TELMO_TT_REFRESH_COLLABORATIVE) {
    TELMO_SERVER_LDBLK(kFacilityMessaging, kMsgBadMessage, block);
    return 0;
  }
  auto value = telmo::collab::DecodeInt(request.payload);
  if (!value) {
    TELMO_SERVER_LDBLK(kFacilityMessaging, kMsgMalformedPayload, block);
    return 0;
  }
  is_finish = *value;
  return 1;
}

int TELMO_MGMT_BLD_REFRESH_COLLABREPLY(const TelmoMessage& request, const StatusBlock& reply_status,
                                       TelmoMessage& reply, StatusBlock& block) {
  return BuildReply(request, TELMO_TT_REFRESH_COLLABORATIVE, reply_status, {}, reply, block);
}

int TELMO_MGMT_BLD_RESUME_COLLABREPLY(const TelmoMessage& request, const StatusBlock& reply_status,
                                      TelmoMessage& reply, StatusBlock& block) {
  return BuildReply(request, TELMO_TT_RESUME_COLLABORATIVE, reply_status, {}, reply, block);
}

int TELMO_MGMT_BLD_COLLAB_CHANGETYPE_REPLY(const TelmoMessage& request, const StatusBlock& reply_status,
                                           std::int32_t change_type, TelmoMessage& reply, StatusBlock& block) {
  return BuildReply(request, TELMO_TT_COLLABORATIVE_STATUS, reply_status, telmo::collab::EncodeInt(change_type),
                    reply, block);
}

int TELMO_MGMT_GET_COLLAB_SRC_FWD_STS_REPLY(const TelmoMessage& request, const StatusBlock& reply_status,
                                            std::int32_t forward_status, TelmoMessage& reply, StatusBlock& block) {
  return BuildReply(request, TELMO_TT_COLLAB_SOURCE_FWD_STATUS, reply_status,
                    telmo::collab::EncodeInt(forward_status), reply, block);
}
