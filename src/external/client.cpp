#include "external/telmo_client.h"

#include <atomic>

#include "external/telmo_frame.h"
#include "external/telmo_server.h"
#include "external/telmo_services.h"
#include "platform/accounts.h"
#include "platform/environment.h"
#include "platform/socket.h"
#include "platform/win_error.h"

namespace telmo {
namespace {

using Clock = platform::SocketClock;
using namespace std::chrono_literals;

constexpr std::size_t kReadChunk = 64 * 1024;

// The address that reaches a local listener: a wildcard listen address is
// reached through loopback.
std::string LocalConnectAddress() {
  const std::string listen = platform::LookupConfig("TELMO_LISTEN").value_or("127.0.0.1");
  if (listen.empty() || listen == "0.0.0.0") return "127.0.0.1";
  if (listen == "::" || listen == "[::]") return "::1";
  return listen;
}

}  // namespace

std::string LocalNodeName() {
  std::string node = platform::LookupConfig("TELMO_NODE").value_or("");
  if (node.empty()) {
    node = platform::detail::HostName();
    if (node.empty()) node = "localhost";
  }
  if (node.size() > Text32::kMaxLength) node.resize(Text32::kMaxLength);
  return node;
}

std::string LocalUserName() {
  static const std::string name = platform::CurrentUserName();
  return name;
}

IdentityRecord DefaultRequester() { return IdentityRecord{Text32(LocalNodeName()), Text32(LocalUserName())}; }

Result<Endpoint> ResolveService(std::string_view node, std::string_view service) {
  if (service.empty() || service.size() > Text32::kMaxLength) return Error{ERROR_INVALID_NAME};
  const int port = TELMO_MGMT_GetServicePort(service);
  if (port == 0) return Error{ERROR_NOT_FOUND};
  if (node.empty() || node == LocalNodeName()) return Endpoint{LocalConnectAddress(), port};
  return Endpoint{std::string(node), port};
}

std::int32_t StatusFromError(std::uint32_t win32_error) noexcept {
  switch (win32_error) {
    case ERROR_INVALID_NAME: return kMsgBadServiceName;
    case ERROR_NOT_FOUND: return kMsgServiceNotListed;
    case kErrorHostNotFound: return kMsgUnknownHost;
    case ERROR_CONNECTION_REFUSED: return kMsgCannotConnect;
    case ERROR_TIMEOUT: return kMsgTimeout;
    case ERROR_BROKEN_PIPE: return kMsgConnectionClosed;
    case ERROR_INVALID_DATA: return kMsgMalformedFrame;
    case ERROR_INVALID_PARAMETER: return kMsgTooLarge;
    default: return kMsgSystemError;
  }
}

std::uint32_t TelmoClient::NextTransnum() noexcept {
  static std::atomic<std::uint32_t> next{TELMO_SERVER_GENERATE_TRANSNUM()};
  return next.fetch_add(1, std::memory_order_relaxed);
}

void TelmoClient::Close() noexcept {
  fd_.reset();
  in_.clear();
}

Result<TelmoClient> TelmoClient::Connect(const Endpoint& endpoint, std::chrono::milliseconds timeout,
                                         const std::string& source) {
  auto fd = platform::ConnectTo(endpoint.host, endpoint.port, Clock::now() + timeout, source);
  if (!fd) return Error{fd.error()};
  TelmoClient client;
  client.fd_ = std::move(*fd);
  return client;
}

Result<TelmoClient> TelmoClient::ConnectService(std::string_view node, std::string_view service,
                                                std::chrono::milliseconds timeout) {
  auto endpoint = ResolveService(node, service);
  if (!endpoint) return Error{endpoint.error()};
  return Connect(*endpoint, timeout);
}

Result<void> TelmoClient::SendRaw(std::span<const std::uint8_t> bytes, std::chrono::milliseconds timeout) {
  if (!fd_) return Error{ERROR_BROKEN_PIPE};
  auto written = platform::WriteAll(fd_, bytes, Clock::now() + timeout);
  if (!written) Close();  // a half-written frame leaves the stream unusable
  return written;
}

Result<void> TelmoClient::SendMessage(const TelmoMessage& message, std::chrono::milliseconds timeout) {
  std::vector<std::uint8_t> frame;
  if (!wire::AppendFrame(message, frame)) return Error{ERROR_INVALID_PARAMETER};
  return SendRaw(frame, timeout);
}

Result<TelmoMessage> TelmoClient::AwaitReply(std::uint32_t transnum, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (!fd_) return Error{ERROR_BROKEN_PIPE};
    TelmoMessage m;
    const auto decoded = wire::DecodeFrame(in_, m);
    if (decoded.status == wire::DecodeStatus::kOk) {
      in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(decoded.consumed));
      if (m.kind != MessageKind::kReply) {
        Close();
        return Error{ERROR_INVALID_DATA};
      }
      if (m.transnum == transnum) return m;
      continue;  // the late reply of an earlier request that timed out
    }
    if (decoded.status != wire::DecodeStatus::kNeedMore) {
      Close();
      return Error{ERROR_INVALID_DATA};
    }
    platform::PollItem item{.socket = &fd_};
    const int rc = platform::WaitReady(std::span(&item, 1), platform::PollMillis(deadline));
    if (rc == platform::kWouldBlock) continue;
    if (rc == 0) return Error{ERROR_TIMEOUT};
    if (rc < 0) return Error{ERROR_INVALID_FUNCTION};
    const std::size_t old = in_.size();
    in_.resize(old + kReadChunk);
    const auto n = platform::ReceiveSome(fd_, std::span(in_).subspan(old, kReadChunk));
    if (n == platform::kWouldBlock) {
      in_.resize(old);
      continue;
    }
    if (n <= 0) {
      Close();
      return Error{ERROR_BROKEN_PIPE};
    }
    in_.resize(old + static_cast<std::size_t>(n));
  }
}

Result<void> TelmoClient::AwaitClose(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::uint8_t scratch[4096];
  while (fd_) {
    platform::PollItem item{.socket = &fd_};
    const int rc = platform::WaitReady(std::span(&item, 1), platform::PollMillis(deadline));
    if (rc == platform::kWouldBlock) continue;
    if (rc == 0) return Error{ERROR_TIMEOUT};
    const auto n = platform::ReceiveSome(fd_, scratch);
    if (n == platform::kWouldBlock) continue;
    if (n <= 0) break;  // end of stream or reset: the peer has gone
  }
  Close();
  return {};
}

Result<TelmoMessage> TelmoClient::Request(std::int32_t tt, std::span<const std::uint8_t> payload,
                                          std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  auto transnum = Post(tt, payload, timeout);
  if (!transnum) return Error{transnum.error()};
  return AwaitReply(*transnum, std::chrono::ceil<std::chrono::milliseconds>(
                                   std::max(deadline - Clock::now(), Clock::duration::zero())));
}

Result<std::uint32_t> TelmoClient::Post(std::int32_t tt, std::span<const std::uint8_t> payload,
                                        std::chrono::milliseconds timeout) {
  if (payload.size() > wire::kMaxPayload) return Error{ERROR_INVALID_PARAMETER};
  TelmoMessage m;
  m.kind = MessageKind::kRequest;
  m.tt = tt;
  m.transnum = NextTransnum();
  m.requester = requester_;
  m.payload.assign(payload.begin(), payload.end());
  auto sent = SendMessage(m, timeout);
  if (!sent) return Error{sent.error()};
  return m.transnum;
}

Result<TelmoMessage> RequestOnce(const Endpoint& endpoint, std::int32_t tt, std::span<const std::uint8_t> payload,
                                 std::chrono::milliseconds timeout, const std::optional<IdentityRecord>& requester) {
  const auto deadline = Clock::now() + timeout;
  auto client = TelmoClient::Connect(endpoint, timeout);
  if (!client) return Error{client.error()};
  if (requester) client->set_requester(*requester);
  return client->Request(tt, payload, std::chrono::ceil<std::chrono::milliseconds>(
                                          std::max(deadline - Clock::now(), Clock::duration::zero())));
}

}  // namespace telmo

int TELMO_SERVER_SHUTDOWN(std::string_view node, std::string_view service, StatusBlock& block) {
  using namespace std::chrono_literals;
  constexpr auto kReplyWait = 2000ms;
  constexpr auto kCloseWait = 2000ms;
  auto fail = [&block](std::int32_t code) {
    TELMO_CLIENT_LDBLK(kFacilityMessaging, code, block);
    return 0;
  };

  auto endpoint = telmo::ResolveService(node, service);
  if (!endpoint) return fail(telmo::StatusFromError(endpoint.error()));
  auto client = telmo::TelmoClient::Connect(*endpoint, kReplyWait);
  if (!client) {
    const auto e = client.error();
    return fail(e == ERROR_TIMEOUT || e == telmo::kErrorHostNotFound ? telmo::StatusFromError(e) : kMsgCannotConnect);
  }
  auto reply = client->Request(TELMO_TT_SHUT, {}, kReplyWait);
  if (!reply) {
    // Closing without a word is one way of ending on request.
    if (reply.error() == ERROR_BROKEN_PIPE) return 1;
    return fail(telmo::StatusFromError(reply.error()));
  }
  if (reply->status.failed()) {
    for (std::uint32_t i = 0; i < reply->status.count; ++i) {
      TELMO_CLIENT_LDBLK(reply->status.codes[i].facility, reply->status.codes[i].code, block);
    }
    if (reply->status.count == 0) TELMO_CLIENT_LDBLK(kFacilityMessaging, kMsgSystemError, block);
    return 0;
  }
  if (!client->AwaitClose(kCloseWait)) return fail(kMsgTimeout);
  return 1;
}
