// The server side of the messaging library: one poll loop per call, no
// threads of its own. See telmo_server.h for the behaviour promised.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>

#include "external/net.h"
#include "external/telmo_client.h"
#include "external/telmo_frame.h"
#include "external/telmo_log.h"
#include "external/telmo_server.h"
#include "external/telmo_services.h"
#include "platform/environment.h"
#include "platform/win_error.h"
#include "util/text.h"

namespace telmo {
namespace {

using detail::Clock;
using namespace std::chrono_literals;

std::atomic<std::int64_t> g_stall_limit_ms{5000};
std::atomic<std::size_t> g_connection_cap{256};

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr auto kAcceptBackoff = 100ms;  // after the process ran out of descriptors

void LogLine(int line, const std::string& text) {
  TELMO_MGMT_LogText("telmo_transport", "TELMO_SERVER_RECEIVE", line, text);
}

std::chrono::milliseconds TenthsToMillis(int tenths) {
  return std::chrono::milliseconds(tenths > 0 ? static_cast<std::int64_t>(tenths) * 100 : 0);
}

}  // namespace

bool IsLoopbackAddress(std::string_view numeric_address) noexcept {
  char text[INET6_ADDRSTRLEN + 1] = {};
  if (numeric_address.empty() || numeric_address.size() >= sizeof text) return false;
  std::copy(numeric_address.begin(), numeric_address.end(), text);
  in_addr v4{};
  if (::inet_pton(AF_INET, text, &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (::inet_pton(AF_INET6, text, &v6) == 1) {
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) return v6.s6_addr[12] == 127;
  }
  return false;
}

Text32 RequesterNode(std::string_view claimed_node, std::string_view peer_address, std::string_view local_node) {
  if (IsLoopbackAddress(peer_address)) {
    if (claimed_node.empty() || claimed_node == local_node) return Text32(local_node);
    return Text32(claimed_node);
  }
  if (claimed_node.empty() || EqualsIgnoreCase(claimed_node, local_node)) return Text32(peer_address);
  return Text32(claimed_node);
}

void SetStallLimit(std::chrono::milliseconds limit) { g_stall_limit_ms = limit.count(); }
void SetConnectionCap(std::size_t cap) { g_connection_cap = std::max<std::size_t>(cap, 1); }

// ---------------------------------------------------------------------------

struct TransportServer::Impl {
  struct Connection {
    std::uint64_t id = 0;
    platform::UniqueFd fd;
    std::string peer;
    std::vector<std::uint8_t> in;  // at most one frame's worth (wire::kMaxFrame)
    Clock::time_point last_activity;
    bool ready = false;  // `in` starts with a whole frame
  };

  explicit Impl(ServerOptions o) : options(std::move(o)) {}

  mutable std::mutex mutex;
  ServerOptions options;
  platform::UniqueFd listener;
  int port = 0;
  Clock::time_point accept_paused_until{};
  std::vector<Connection> connections;  // in order of acceptance (ids ascending)
  std::uint64_t next_id = 1;
  std::uint64_t rr_cursor = 0;  // id of the connection served last
  std::uint64_t last_connection = 0;
  std::uint32_t last_transnum = 0;
  Clock::time_point last_request_time{};  ///< when the last request was handed out
  static constexpr auto kBusyWindow = std::chrono::milliseconds(2);
  static constexpr auto kSpinTime = std::chrono::microseconds(50);

  IdentityRecord Identity() const { return IdentityRecord{Text32(options.local_node), Text32(options.service)}; }

  Connection* Find(std::uint64_t id) {
    auto it = std::find_if(connections.begin(), connections.end(), [id](const Connection& c) { return c.id == id; });
    return it == connections.end() ? nullptr : &*it;
  }

  void Drop(std::uint64_t id) {
    std::erase_if(connections, [id](const Connection& c) { return c.id == id; });
  }

  void DropWithLine(Connection& c, int line, const char* reason) {
    LogLine(line, Format("Closing connection from %s: %s\n", c.peer.c_str(), reason));
    Drop(c.id);
  }

  bool DoListen(StatusBlock& block) {
    if (listener) return true;
    int want = 0;
    if (options.port) {
      want = *options.port;
    } else {
      want = TELMO_MGMT_GetServicePort(options.service);
      if (want == 0) {
        TELMO_SERVER_LDBLK(kFacilityMessaging, kMsgServiceNotListed, block);
        return false;
      }
    }
    auto fd = detail::ListenOn(options.listen_address, want);
    if (!fd) {
      TELMO_SERVER_LDBLK(kFacilityMessaging, kMsgCannotListen, block);
      return false;
    }
    listener = std::move(*fd);
    port = detail::LocalPort(listener.get());
    return true;
  }

  // Makes room for one more connection: closes the longest-idle one that has
  // no whole request waiting (or, failing that, the longest-idle one).
  void MakeRoom() {
    const std::size_t cap = g_connection_cap.load();
    while (connections.size() >= cap && !connections.empty()) {
      auto pick = connections.end();
      for (auto it = connections.begin(); it != connections.end(); ++it) {
        if (it->ready) continue;
        if (pick == connections.end() || it->last_activity < pick->last_activity) pick = it;
      }
      if (pick == connections.end()) {
        pick = std::min_element(connections.begin(), connections.end(), [](const auto& a, const auto& b) {
          return a.last_activity < b.last_activity;
        });
      }
      connections.erase(pick);
    }
  }

  void AcceptPending() {
    if (!listener || Clock::now() < accept_paused_until) return;
    for (;;) {
      platform::UniqueFd fd(::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
      if (!fd) {
        if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          // The pending connection stays queued and the listener stays
          // readable: stop looking at it for a moment rather than spin.
          accept_paused_until = Clock::now() + kAcceptBackoff;
        }
        return;
      }
      MakeRoom();
      detail::SetNoDelay(fd.get());
      Connection c;
      c.id = next_id++;
      c.peer = detail::PeerAddress(fd.get());
      c.fd = std::move(fd);
      c.last_activity = Clock::now();
      connections.push_back(std::move(c));
    }
  }

  // Re-judges the buffer of `c` after bytes came or a frame left. False when
  // the connection was closed for a malformed frame.
  bool Examine(Connection& c) {
    c.ready = false;
    if (c.in.empty()) return true;
    std::uint32_t length = 0;
    const auto status = wire::CheckHeader(c.in, length);
    if (status == wire::DecodeStatus::kNeedMore) return true;
    if (status != wire::DecodeStatus::kOk) {
      DropWithLine(c, __LINE__, wire::DecodeStatusText(status));
      return false;
    }
    c.ready = c.in.size() >= wire::kHeaderSize + length;
    return true;
  }

  // Reads what the peer sent, up to one frame. Closes the connection on end
  // of stream, error, or a malformed frame.
  void ReadFrom(std::uint64_t id) {
    Connection* c = Find(id);
    if (c == nullptr) return;
    const std::size_t room = wire::kMaxFrame - c->in.size();
    const std::size_t want = std::min(room, kReadChunk);
    if (want == 0) return;  // cannot happen: a full buffer holds a whole frame
    const std::size_t old = c->in.size();
    c->in.resize(old + want);
    ssize_t n;
    do {
      n = ::recv(c->fd.get(), c->in.data() + old, want, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      c->in.resize(old);
      return;
    }
    if (n <= 0) {
      // A peer that goes away between requests is ordinary; one that goes
      // away in the middle of a frame is worth a line.
      if (old > 0) {
        DropWithLine(*c, __LINE__, "connection ended inside a frame");
      } else {
        Drop(id);
      }
      return;
    }
    c->in.resize(old + static_cast<std::size_t>(n));
    c->last_activity = Clock::now();
    Examine(*c);
  }

  void CloseStalled(Clock::time_point now) {
    const auto limit = std::chrono::milliseconds(g_stall_limit_ms.load());
    for (std::size_t i = 0; i < connections.size();) {
      auto& c = connections[i];
      if (!c.ready && !c.in.empty() && now - c.last_activity >= limit) {
        DropWithLine(c, __LINE__, "no progress inside a frame within the stall limit");
        continue;  // the vector shifted
      }
      ++i;
    }
  }

  Clock::time_point NextStallDeadline(Clock::time_point fallback) const {
    const auto limit = std::chrono::milliseconds(g_stall_limit_ms.load());
    Clock::time_point t = fallback;
    for (const auto& c : connections) {
      if (!c.ready && !c.in.empty()) t = std::min(t, c.last_activity + limit);
    }
    return t;
  }

  // The next connection with a whole frame after the one served last.
  Connection* PickReady() {
    Connection* first = nullptr;
    for (auto& c : connections) {
      if (!c.ready) continue;
      if (c.id > rr_cursor) return &c;
      if (first == nullptr) first = &c;
    }
    return first;
  }

  // Takes the frame at the front of `c`. False when it was not a request
  // (the connection is then closed).
  bool TakeRequest(Connection& c, TelmoMessage& out) {
    TelmoMessage m;
    const auto decoded = wire::DecodeFrame(c.in, m);
    if (decoded.status != wire::DecodeStatus::kOk || m.kind != MessageKind::kRequest) {
      DropWithLine(c, __LINE__, decoded.status != wire::DecodeStatus::kOk ? wire::DecodeStatusText(decoded.status)
                                                                          : "a reply where a request was due");
      return false;
    }
    c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(decoded.consumed));
    // An idle connection does not keep the room of its largest request.
    if (c.in.empty() && c.in.capacity() > 4 * kReadChunk) c.in.shrink_to_fit();
    const std::uint64_t id = c.id;
    m.requester.node = RequesterNode(m.requester.node.view(), c.peer, options.local_node);
    m.connection = id;
    rr_cursor = id;
    last_connection = id;
    last_transnum = m.transnum;
    last_request_time = Clock::now();
    Examine(c);  // a pipelined request may be whole already
    out = std::move(m);
    return true;
  }

  int Receive(std::chrono::milliseconds timeout, TelmoMessage& out) {
    const auto deadline = Clock::now() + timeout;
    bool polled = false;
    std::vector<pollfd> fds;
    std::vector<std::uint64_t> ids;
    for (;;) {
      while (Connection* c = PickReady()) {
        if (TakeRequest(*c, out)) return 1;
      }
      const auto now = Clock::now();
      CloseStalled(now);
      if (polled && now >= deadline) return 0;

      fds.clear();
      ids.clear();
      const bool watch_listener = listener && now >= accept_paused_until;
      if (watch_listener) {
        fds.push_back({listener.get(), POLLIN, 0});
        ids.push_back(0);
      }
      for (const auto& c : connections) {
        if (c.ready) continue;
        fds.push_back({c.fd.get(), POLLIN, 0});
        ids.push_back(c.id);
      }
      auto wake = NextStallDeadline(deadline);
      if (listener && !watch_listener) wake = std::min(wake, accept_paused_until);
      int rc = 0;
      // While requests flow, look again without sleeping for a short while:
      // a request that comes within it is served without the wake-up of a
      // sleeping thread, which costs more than the request itself.
      if (now - last_request_time < kBusyWindow) {
        const auto spin_until = now + kSpinTime;
        do {
          rc = ::poll(fds.data(), fds.size(), 0);
        } while (rc == 0 && Clock::now() < spin_until);
      }
      if (rc == 0) rc = ::poll(fds.data(), fds.size(), detail::PollMillis(wake));
      polled = true;
      if (rc < 0) {
        if (errno == EINTR) continue;
        // Cannot wait on the descriptors: wait out the time-out instead of spinning.
        std::this_thread::sleep_until(std::min(wake, deadline));
        continue;
      }
      for (std::size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        if (ids[i] == 0) {
          AcceptPending();
        } else {
          ReadFrom(ids[i]);
        }
      }
    }
  }

  int Send(std::chrono::milliseconds timeout, TelmoMessage& reply, StatusBlock& block) {
    if (reply.kind != MessageKind::kReply) {
      TELMO_SERVER_LDBLK(kFacilityMessaging, kMsgBadMessage, block);
      return 0;
    }
    const std::uint64_t id = reply.connection != 0 ? reply.connection : last_connection;
    Connection* c = Find(id);
    if (c == nullptr) {
      TELMO_SERVER_LDBLK(kFacilityMessaging, kMsgConnectionClosed, block);
      return 0;
    }
    std::vector<std::uint8_t> frame;
    if (!wire::AppendFrame(reply, frame)) {
      TELMO_SERVER_LDBLK(kFacilityMessaging, kMsgTooLarge, block);
      return 0;
    }
    auto written = detail::WriteAll(c->fd.get(), frame, Clock::now() + timeout);
    if (!written) {
      // A peer that does not take its reply in time, or has gone, loses the
      // connection: a half-written frame cannot be resumed.
      Drop(id);
      TELMO_SERVER_LDBLK(kFacilityMessaging, written.error() == ERROR_TIMEOUT ? kMsgTimeout : kMsgConnectionClosed,
                         block);
      return 0;
    }
    return 1;
  }
};

TransportServer::TransportServer(ServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}
TransportServer::~TransportServer() = default;

bool TransportServer::Listen(StatusBlock& block) {
  std::lock_guard lock(impl_->mutex);
  return impl_->DoListen(block);
}
bool TransportServer::listening() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->listener.valid();
}
int TransportServer::port() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->listener ? impl_->port : 0;
}
void TransportServer::AcceptPending() {
  std::lock_guard lock(impl_->mutex);
  impl_->AcceptPending();
}
int TransportServer::Receive(std::chrono::milliseconds timeout, TelmoMessage& request, StatusBlock&) {
  std::lock_guard lock(impl_->mutex);
  return impl_->Receive(timeout, request);
}
int TransportServer::Send(std::chrono::milliseconds timeout, TelmoMessage& reply, StatusBlock& block) {
  std::lock_guard lock(impl_->mutex);
  return impl_->Send(timeout, reply, block);
}
std::uint64_t TransportServer::last_connection() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->last_connection;
}
std::uint32_t TransportServer::last_transnum() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->last_transnum;
}
std::size_t TransportServer::connection_count() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->connections.size();
}
IdentityRecord TransportServer::identity() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->Identity();
}
void TransportServer::Close() {
  std::lock_guard lock(impl_->mutex);
  impl_->connections.clear();
  impl_->listener.reset();
  impl_->port = 0;
}

// ---------------------------------------------------------------------------
// The process-wide server behind the contract calls.

namespace {

struct ProcessServer {
  std::mutex mutex;
  std::shared_ptr<TransportServer> server;
  IdentityRecord identity;
  Clock::time_point last_listen_line{};
  bool listen_line_written = false;
};

ProcessServer& Process() {
  static ProcessServer p;
  return p;
}

std::shared_ptr<TransportServer> Current() {
  auto& p = Process();
  std::lock_guard lock(p.mutex);
  return p.server;
}

}  // namespace

int ServerReply(int timeout_tenths, const TelmoMessage& request, const StatusBlock& status,
                std::span<const std::uint8_t> payload, StatusBlock& block) {
  IdentityRecord me;
  TELMO_USR_GetApplicationID(me);
  TelmoMessage reply = MakeReply(request, status, payload, me);
  return TELMO_SERVER_SEND(timeout_tenths, reply, block);
}

int ListeningPort() {
  auto server = Current();
  return server ? server->port() : 0;
}

}  // namespace telmo

int TELMO_SERVER_INIT(int /*mode*/, std::string_view service, telmo::Text32& node, StatusBlock& block) {
  node.assign(telmo::LocalNodeName());
  if (service.empty() || service.size() > telmo::Text32::kMaxLength) {
    TELMO_SERVER_LDBLK(kFacilityMessaging, kMsgBadServiceName, block);
    return 0;
  }
  telmo::ServerOptions options;
  options.listen_address = telmo::platform::LookupConfig("TELMO_LISTEN").value_or("127.0.0.1");
  options.service = std::string(service);
  options.local_node = node.str();
  auto server = std::make_shared<telmo::TransportServer>(std::move(options));

  auto& p = telmo::Process();
  std::shared_ptr<telmo::TransportServer> old;
  {
    std::lock_guard lock(p.mutex);
    old = std::exchange(p.server, std::move(server));
    p.identity = IdentityRecord{node, telmo::Text32(service)};
    p.listen_line_written = false;
  }
  if (old) old->Close();
  return 1;
}

int TELMO_SERVER_EXIT(StatusBlock& /*block*/) {
  auto& p = telmo::Process();
  std::shared_ptr<telmo::TransportServer> old;
  {
    std::lock_guard lock(p.mutex);
    old = std::exchange(p.server, nullptr);
    p.identity = IdentityRecord{};
  }
  if (old) old->Close();
  return 1;
}

int TELMO_SERVER_INIT_THREAD(StatusBlock& block) {
  if (telmo::Current()) return 1;
  TELMO_SERVER_LDBLK(kFacilityMessaging, kMsgNotInitialised, block);
  return 0;
}

int TELMO_SERVER_EXIT_THREAD(StatusBlock& block) { return TELMO_SERVER_INIT_THREAD(block); }

void TELMO_USR_GetApplicationID(IdentityRecord& id) {
  auto& p = telmo::Process();
  std::lock_guard lock(p.mutex);
  id = p.identity;
}

int TELMO_SERVER_ACCEPT(StatusBlock& block) {
  auto server = telmo::Current();
  if (!server) {
    TELMO_SERVER_LDBLK(kFacilityMessaging, kMsgNotInitialised, block);
    return 0;
  }
  StatusBlock listen_status;
  if (!server->Listen(listen_status)) {
    // Once a minute at most: the request loop calls this every second.
    auto& p = telmo::Process();
    const auto now = telmo::detail::Clock::now();
    bool write = false;
    {
      std::lock_guard lock(p.mutex);
      if (!p.listen_line_written || now - p.last_listen_line >= std::chrono::minutes(1)) {
        p.listen_line_written = true;
        p.last_listen_line = now;
        write = true;
      }
    }
    if (write) {
      const IdentityRecord me = server->identity();
      TELMO_MGMT_LogMessage("telmo_transport", "TELMO_SERVER_ACCEPT", __LINE__,
                            "Cannot listen for service %s on %s port %d: %s\n", me.user.c_str(),
                            telmo::platform::LookupConfig("TELMO_LISTEN").value_or("127.0.0.1").c_str(),
                            TELMO_MGMT_GetServicePort(me.user.view()), listen_status.describe().c_str());
    }
    for (std::uint32_t i = 0; i < listen_status.count; ++i) {
      TELMO_SERVER_LDBLK(listen_status.codes[i].facility, listen_status.codes[i].code, block);
    }
    return 0;
  }
  server->AcceptPending();
  return 1;
}

int TELMO_SERVER_RECEIVE(int timeout_tenths, TelmoMessage& request, StatusBlock& block) {
  const auto timeout = telmo::TenthsToMillis(timeout_tenths);
  auto server = telmo::Current();
  if (!server) {
    std::this_thread::sleep_for(timeout);  // never let a caller's loop spin
    TELMO_SERVER_LDBLK(kFacilityMessaging, kMsgNotInitialised, block);
    return -1;
  }
  return server->Receive(timeout, request, block);
}

int TELMO_SERVER_SEND(int timeout_tenths, TelmoMessage& reply, StatusBlock& block) {
  auto server = telmo::Current();
  if (!server) {
    TELMO_SERVER_LDBLK(kFacilityMessaging, kMsgNotInitialised, block);
    return 0;
  }
  return server->Send(telmo::TenthsToMillis(timeout_tenths), reply, block);
}

int TELMO_SERVER_TRANSTYPE(const TelmoMessage& message) noexcept { return message.tt; }
std::uint32_t TELMO_SERVER_TRANSNUM(const TelmoMessage& message) noexcept { return message.transnum; }
void TELMO_SERVER_SET_TRANSNUM(TelmoMessage& message, std::uint32_t transnum) noexcept { message.transnum = transnum; }
IdentityRecord TELMO_SERVER_REQSRC(const TelmoMessage& message) { return message.requester; }

int TELMO_SERVER_PARSE_MSG(const TelmoMessage& message, std::int32_t& type, TelmoNameBlock& name, std::uint32_t& length,
                           std::span<const std::uint8_t>& data, StatusBlock& block) {
  type = 0;
  name.fill('\0');
  length = 0;
  data = {};
  if (message.tt != TELMO_TT_MSG) {
    TELMO_SERVER_LDBLK(kFacilityMessaging, kMsgBadMessage, block);
    return 0;
  }
  constexpr std::size_t kHead = 4 + std::tuple_size_v<TelmoNameBlock>;
  if (message.payload.size() < kHead) {
    TELMO_SERVER_LDBLK(kFacilityMessaging, kMsgMalformedPayload, block);
    return 0;
  }
  type = telmo::wire::GetI32(message.payload.data());
  std::copy_n(message.payload.begin() + 4, name.size(), name.begin());
  data = std::span<const std::uint8_t>(message.payload).subspan(kHead);
  length = static_cast<std::uint32_t>(data.size());
  return 1;
}

int TELMO_SERVER_BLD_MSG(std::int32_t type, const TelmoNameBlock& name, std::uint32_t length,
                         std::span<const std::uint8_t> data, TelmoMessage& reply, StatusBlock& block) {
  if (data.size() < length) {
    TELMO_SERVER_LDBLK(kFacilityMessaging, kMsgMalformedPayload, block);
    return 0;
  }
  constexpr std::size_t kHead = 4 + std::tuple_size_v<TelmoNameBlock>;
  if (length > telmo::wire::kMaxPayload - kHead) {
    TELMO_SERVER_LDBLK(kFacilityMessaging, kMsgTooLarge, block);
    return 0;
  }
  TelmoMessage m;
  m.kind = MessageKind::kReply;
  m.tt = TELMO_TT_MSG;
  if (auto server = telmo::Current()) {
    m.connection = server->last_connection();
    m.transnum = server->last_transnum();
  }
  TELMO_USR_GetApplicationID(m.requester);
  m.payload.reserve(kHead + length);
  telmo::wire::PutI32(m.payload, type);
  m.payload.insert(m.payload.end(), name.begin(), name.end());
  m.payload.insert(m.payload.end(), data.begin(), data.begin() + length);
  reply = std::move(m);
  return 1;
}
