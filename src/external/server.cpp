// The server side of the messaging library: one poll loop per call, no
// threads of its own. See telmo_server.h for the behaviour promised.
#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

#include "external/telmo_bounds.h"
#include "external/telmo_client.h"
#include "external/telmo_frame.h"
#include "external/telmo_log.h"
#include "external/telmo_server.h"
#include "external/telmo_services.h"
#include "platform/environment.h"
#include "platform/memory.h"
#include "platform/socket.h"
#include "platform/win_error.h"
#include "util/text.h"

namespace telmo {
namespace {

using Clock = platform::SocketClock;
using namespace std::chrono_literals;

std::atomic<std::int64_t> g_stall_limit_ms{5000};
std::atomic<std::size_t> g_connection_cap{256};
std::atomic<std::size_t> g_held_bound{wire::kServerHeldBound};
std::atomic<std::size_t> g_reply_queue_bound{wire::kReplyQueueBound};
std::atomic<std::int64_t> g_line_period_ms{60000};

constexpr std::size_t kReadChunk = 64 * 1024;
// An idle connection keeps a buffer up to this size; a larger one is given back.
constexpr std::size_t kKeepCapacity = 16 * 1024;
// Buffers given back are returned to the system once this much
// has been freed, at most once a second.
constexpr std::size_t kTrimAfter = 1u << 20;
constexpr auto kTrimPeriod = 1s;
constexpr auto kAcceptBackoff = 100ms;  // after the process ran out of descriptors
// Peers whose lines are limited one by one; beyond, all others share one limit.
constexpr std::size_t kMaxLimitedPeers = 1024;

void LogLine(int line, const std::string& text) {
  TELMO_MGMT_LogText("telmo_transport", "TELMO_SERVER_RECEIVE", line, text);
}

std::chrono::milliseconds TenthsToMillis(int tenths) {
  return std::chrono::milliseconds(tenths > 0 ? static_cast<std::int64_t>(tenths) * 100 : 0);
}

// Lines about misbehaving connections: at most one per peer address per
// period (a minute), so that a flood of bad connections cannot flood the
// management log; what is held back is counted and told in one line once the
// period is over.
class PeerLines {
 public:
  void Write(const std::string& peer, int line, const std::string& text, Clock::time_point now) {
    const auto period = std::chrono::milliseconds(g_line_period_ms.load());
    const std::string key =
        entries_.size() >= kMaxLimitedPeers && entries_.count(peer) == 0 ? std::string("other addresses") : peer;
    auto it = entries_.find(key);
    if (it != entries_.end() && now - it->second.since < period) {
      ++it->second.held;
      next_flush_ = std::min(next_flush_, it->second.since + period);
      return;
    }
    if (it != entries_.end()) TellHeld(it->first, it->second.held);
    LogLine(line, text);
    entries_[key] = Entry{now, 0};
  }

  // Tells what was held back in periods that are over and forgets them.
  void Flush(Clock::time_point now) {
    if (now < next_flush_) return;
    const auto period = std::chrono::milliseconds(g_line_period_ms.load());
    next_flush_ = Clock::time_point::max();
    for (auto it = entries_.begin(); it != entries_.end();) {
      if (now - it->second.since >= period) {
        TellHeld(it->first, it->second.held);
        it = entries_.erase(it);
        continue;
      }
      if (it->second.held > 0) next_flush_ = std::min(next_flush_, it->second.since + period);
      ++it;
    }
  }

  [[nodiscard]] Clock::time_point next_flush() const { return next_flush_; }

 private:
  struct Entry {
    Clock::time_point since;  // when the last line was written
    std::uint64_t held = 0;   // lines held back since
  };

  static void TellHeld(const std::string& key, std::uint64_t held) {
    if (held == 0) return;
    LogLine(__LINE__, Format("Suppressed %llu more lines about connections from %s\n",
                             static_cast<unsigned long long>(held), key.c_str()));
  }

  std::map<std::string, Entry> entries_;
  Clock::time_point next_flush_ = Clock::time_point::max();
};

// The requester node rule, with "this host" decided once per connection.
Text32 RequesterNodeFor(std::string_view claimed_node, std::string_view peer_address, bool peer_is_this_host,
                        std::string_view local_node) {
  if (peer_is_this_host) {
    if (claimed_node.empty() || claimed_node == local_node) return Text32(local_node);
    return Text32(claimed_node);
  }
  if (claimed_node.empty() || EqualsIgnoreCase(claimed_node, local_node)) return Text32(peer_address);
  return Text32(claimed_node);
}

}  // namespace

bool IsLoopbackAddress(std::string_view numeric_address) noexcept {
  return platform::IsLoopbackAddress(numeric_address);
}

bool IsThisHostAddress(std::string_view numeric_address) {
  return IsLoopbackAddress(numeric_address) || platform::IsOwnAddress(numeric_address);
}

Text32 RequesterNode(std::string_view claimed_node, std::string_view peer_address, std::string_view local_node) {
  return RequesterNodeFor(claimed_node, peer_address, IsThisHostAddress(peer_address), local_node);
}

void SetStallLimit(std::chrono::milliseconds limit) { g_stall_limit_ms = limit.count(); }
void SetConnectionCap(std::size_t cap) { g_connection_cap = std::max<std::size_t>(cap, 1); }
void SetHeldBound(std::size_t bytes) { g_held_bound = bytes; }
void SetReplyQueueBound(std::size_t bytes) { g_reply_queue_bound = bytes; }
void SetPeerLinePeriod(std::chrono::milliseconds period) { g_line_period_ms = period.count(); }

// ---------------------------------------------------------------------------

struct TransportServer::Impl {
  struct Reply {
    std::vector<std::uint8_t> frame;
    Clock::time_point deadline;  // to be taken by the peer by then
  };

  struct Connection {
    std::uint64_t id = 0;
    platform::Socket fd;
    std::string peer;
    bool this_host = false;          // the peer is this host (loopback or one of its addresses)
    std::vector<std::uint8_t> in;    // the frame being received, and what came with it
    Clock::time_point frame_start;   // when the first byte of the frame at the front of `in` came
    Clock::time_point last_activity;
    bool ready = false;              // `in` starts with a whole request
    bool served = false;             // a request of it has been handed out
    std::deque<Reply> out;           // replies not yet taken, oldest first
    std::size_t out_offset = 0;      // bytes of out.front() written already
    std::size_t out_bytes = 0;       // bytes of every reply in `out`
    std::size_t held = 0;            // what this connection counts against the bound
  };

  explicit Impl(ServerOptions o) : options(std::move(o)) {}

  mutable std::mutex mutex;
  ServerOptions options;
  platform::Socket listener;
  int port = 0;
  Clock::time_point accept_paused_until{};
  // In order of acceptance (ids ascending). Owned through pointers so that a
  // Connection* stays valid while others are dropped.
  std::vector<std::unique_ptr<Connection>> connections;
  std::uint64_t next_id = 1;
  std::uint64_t rr_cursor = 0;  // id of the connection served last
  std::uint64_t last_connection = 0;
  std::uint32_t last_transnum = 0;
  std::size_t held_total = 0;       // sum of every connection's `held`
  std::size_t freed_since_trim = 0;
  Clock::time_point last_trim{};
  std::vector<std::uint8_t> scratch;  // one read's worth, shared by every connection
  PeerLines lines;

  // The short busy look. While requests come back to back, the loop looks for
  // the next one without sleeping for a moment: a request that comes within it
  // is served without the wake-up of a sleeping thread, which costs more than
  // the request itself. It only pays while requests do come within it, so the
  // loop looks only when the last request came within kSpinWorth of the loop's
  // starting to wait for it; a paced client (one request every few hundred
  // microseconds) never makes it spin.
  Clock::time_point last_request_time{};  ///< when the last request was handed out
  Clock::duration last_wait = Clock::duration::max();  ///< how long the loop waited for it
  static constexpr auto kBusyWindow = std::chrono::milliseconds(2);
  static constexpr auto kSpinTime = std::chrono::microseconds(50);
  static constexpr auto kSpinWorth = std::chrono::microseconds(100);

  IdentityRecord Identity() const { return IdentityRecord{Text32(options.local_node), Text32(options.service)}; }

  Connection* Find(std::uint64_t id) {
    for (auto& c : connections) {
      if (c->id == id) return c.get();
    }
    return nullptr;
  }

  // Brings the connection's share of the bound up to date after its buffers changed.
  void Account(Connection& c) {
    const std::size_t now_held = c.in.capacity() + c.out_bytes;
    held_total = held_total - c.held + now_held;
    c.held = now_held;
  }

  void NoteFreed(std::size_t bytes) { freed_since_trim += bytes; }

  // Memory of large buffers is given back to the system, not only to the heap.
  void MaybeTrim(Clock::time_point now) {
    if (freed_since_trim < kTrimAfter || now - last_trim < kTrimPeriod) return;
    platform::GiveFreedMemoryBack();
    freed_since_trim = 0;
    last_trim = now;
  }

  void Drop(std::uint64_t id) {
    for (auto it = connections.begin(); it != connections.end(); ++it) {
      if ((*it)->id != id) continue;
      held_total -= (*it)->held;
      NoteFreed((*it)->held);
      connections.erase(it);
      return;
    }
  }

  void DropWithLine(Connection& c, int line, const char* reason) {
    lines.Write(c.peer, line, Format("Closing connection from %s: %s\n", c.peer.c_str(), reason), Clock::now());
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
        ::SetLastError(ERROR_NOT_FOUND);
        return false;
      }
    }
    auto fd = platform::ListenOn(options.listen_address, want);
    if (!fd) {
      TELMO_SERVER_LDBLK(kFacilityMessaging, kMsgCannotListen, block);
      ::SetLastError(fd.error());
      return false;
    }
    listener = std::move(*fd);
    port = platform::LocalPort(listener);
    return true;
  }

  // Makes room for one more connection. A flood must cost the flooder: the
  // connection closed is one that has not been served yet if there is any
  // (a console that has been answered keeps its connection while others have
  // not), of the peer address that holds the most connections, and among those
  // the longest idle; a connection with a whole request waiting goes last.
  void MakeRoom() {
    const std::size_t cap = g_connection_cap.load();
    while (connections.size() >= cap && !connections.empty()) {
      std::map<std::string_view, std::size_t> per_peer;
      bool any_unserved = false;
      for (const auto& c : connections) {
        ++per_peer[c->peer];
        any_unserved = any_unserved || !c->served;
      }
      auto rank = [&](const Connection& c) {
        // Larger is closed first.
        return std::tuple(any_unserved ? !c.served : true, per_peer[c.peer], !c.ready,
                          -c.last_activity.time_since_epoch().count());
      };
      auto pick = connections.begin();
      for (auto it = connections.begin(); it != connections.end(); ++it) {
        if (rank(**it) > rank(**pick)) pick = it;
      }
      held_total -= (*pick)->held;
      NoteFreed((*pick)->held);
      connections.erase(pick);
    }
  }

  void AcceptPending() {
    if (!listener || Clock::now() < accept_paused_until) return;
    for (;;) {
      platform::Socket fd;
      const auto accepted = platform::Accept(listener, fd);
      if (accepted == platform::AcceptResult::kRetry) continue;
      if (accepted != platform::AcceptResult::kAccepted) {
        if (accepted == platform::AcceptResult::kNoResources) {
          // The pending connection stays queued and the listener stays
          // readable: stop looking at it for a moment rather than spin.
          accept_paused_until = Clock::now() + kAcceptBackoff;
        }
        return;
      }
      MakeRoom();
      platform::SetNoDelay(fd);
      auto c = std::make_unique<Connection>();
      c->id = next_id++;
      c->peer = platform::PeerAddress(fd);
      // A peer on this host connects from one of its own addresses: loopback,
      // or the address it reached us on when we listen on another one.
      c->this_host = IsLoopbackAddress(c->peer) || c->peer == platform::LocalAddress(fd) ||
                     platform::IsOwnAddress(c->peer);
      c->fd = std::move(fd);
      c->last_activity = Clock::now();
      connections.push_back(std::move(c));
    }
  }

  // Re-judges the buffer of `c` after bytes came or a frame left. False when
  // the connection was closed for a malformed or refused frame.
  bool Examine(Connection& c) {
    c.ready = false;
    if (c.in.empty()) return true;
    std::uint32_t length = 0;
    const auto status = wire::CheckRequestHeader(c.in, length);
    if (status == wire::DecodeStatus::kNeedMore) return true;
    if (status != wire::DecodeStatus::kOk) {
      DropWithLine(c, __LINE__, wire::DecodeStatusText(status));
      return false;
    }
    c.ready = c.in.size() >= wire::kHeaderSize + length;
    return true;
  }

  // The size of the frame at the front of `c` once its header is in; before,
  // one read's worth.
  static std::size_t FrameSize(const Connection& c) {
    std::uint32_t length = 0;
    if (c.in.size() >= wire::kHeaderSize && wire::CheckHeader(c.in, length) == wire::DecodeStatus::kOk) {
      return wire::kHeaderSize + length;
    }
    return kReadChunk;
  }

  // How many more bytes `c` may take now: the rest of the frame whose header
  // is in, or (header not yet whole) one read's worth.
  static std::size_t Room(const Connection& c) {
    const std::size_t frame = FrameSize(c);
    if (c.in.size() < wire::kHeaderSize) return kReadChunk;
    return std::min(kReadChunk, frame > c.in.size() ? frame - c.in.size() : 0);
  }

  // Makes room under the bound of all connections for `c` to hold `wanted`
  // bytes: the connections holding the most are closed until it fits. False
  // when `c` itself had to go.
  bool Shed(Connection& c, std::size_t wanted) {
    const std::size_t bound = g_held_bound.load();
    while (held_total - c.held + wanted > bound) {
      Connection* victim = &c;
      std::size_t victim_held = wanted;
      for (auto& other : connections) {
        if (other.get() != &c && other->held > victim_held) {
          victim = other.get();
          victim_held = other->held;
        }
      }
      const bool self = victim == &c;
      DropWithLine(*victim, __LINE__, "bytes held for all connections above the bound");
      if (self) return false;
    }
    return true;
  }

  // Reads what the peer sent, up to the rest of one frame. Closes the
  // connection on end of stream, error, a malformed frame, or the bound.
  void ReadFrom(Connection& c) {
    const std::size_t want = Room(c);
    if (want == 0) return;  // cannot happen: a whole frame makes the connection ready
    if (scratch.size() < kReadChunk) scratch.resize(kReadChunk);
    const auto n = platform::ReceiveSome(c.fd, std::span(scratch).first(want));
    if (n == platform::kWouldBlock) return;
    if (n <= 0) {
      // A peer that goes away between requests is ordinary; one that goes
      // away in the middle of a frame is worth a line.
      if (!c.in.empty()) {
        DropWithLine(c, __LINE__, "connection ended inside a frame");
      } else {
        Drop(c.id);
      }
      return;
    }
    const auto got = static_cast<std::size_t>(n);
    const std::size_t needed = c.in.size() + got;
    if (needed > c.in.capacity()) {
      // Grow by doubling, but never past what the frame can still need.
      const std::size_t capacity = std::max(needed, std::min(2 * c.in.capacity(), FrameSize(c)));
      if (!Shed(c, capacity + c.out_bytes)) return;
      c.in.reserve(capacity);
    }
    const auto now = Clock::now();
    if (c.in.empty()) c.frame_start = now;
    c.in.insert(c.in.end(), scratch.begin(), scratch.begin() + n);
    c.last_activity = now;
    Account(c);
    Examine(c);
  }

  // Closes connections whose frame did not come whole within the stall limit
  // of its first byte (a trickle of bytes does not keep a frame alive), and
  // those that did not take a reply by its deadline.
  void CloseOverdue(Clock::time_point now) {
    const auto limit = std::chrono::milliseconds(g_stall_limit_ms.load());
    for (std::size_t i = 0; i < connections.size();) {
      Connection& c = *connections[i];
      if (!c.ready && !c.in.empty() && now - c.frame_start >= limit) {
        DropWithLine(c, __LINE__, "frame not whole within the stall limit");
        continue;  // the vector shifted
      }
      if (!c.out.empty() && now >= c.out.front().deadline) {
        DropWithLine(c, __LINE__, "reply not taken within its time-out");
        continue;
      }
      ++i;
    }
  }

  Clock::time_point NextDeadline(Clock::time_point fallback) const {
    const auto limit = std::chrono::milliseconds(g_stall_limit_ms.load());
    Clock::time_point t = std::min(fallback, lines.next_flush());
    for (const auto& c : connections) {
      if (!c->ready && !c->in.empty()) t = std::min(t, c->frame_start + limit);
      if (!c->out.empty()) t = std::min(t, c->out.front().deadline);
    }
    return t;
  }

  // Writes what the peer takes of its queued replies. False when the
  // connection was closed (the peer has gone).
  bool Flush(Connection& c) {
    while (!c.out.empty()) {
      const auto& frame = c.out.front().frame;
      auto written = platform::WriteSome(c.fd, std::span(frame).subspan(c.out_offset));
      if (!written) {
        Drop(c.id);
        return false;
      }
      c.out_offset += *written;
      if (c.out_offset < frame.size()) break;  // the socket is full: the poll loop goes on later
      c.out_bytes -= frame.size();
      if (frame.capacity() > kKeepCapacity) NoteFreed(frame.capacity());
      c.out.pop_front();
      c.out_offset = 0;
    }
    Account(c);
    return true;
  }

  // The next connection with a whole frame after the one served last.
  Connection* PickReady() {
    Connection* first = nullptr;
    for (auto& c : connections) {
      if (!c->ready) continue;
      if (c->id > rr_cursor) return c.get();
      if (first == nullptr) first = c.get();
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
    const auto now = Clock::now();
    c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(decoded.consumed));
    if (c.in.empty() && c.in.capacity() > kKeepCapacity) {
      // An idle connection does not keep the room of its largest request.
      NoteFreed(c.in.capacity());
      std::vector<std::uint8_t>().swap(c.in);
    }
    c.frame_start = now;  // what is left came with the frame just taken
    Account(c);
    c.served = true;
    const std::uint64_t id = c.id;
    m.requester.node = RequesterNodeFor(m.requester.node.view(), c.peer, c.this_host, options.local_node);
    m.connection = id;
    rr_cursor = id;
    last_connection = id;
    last_transnum = m.transnum;
    last_request_time = now;
    Examine(c);  // a pipelined request may be whole already
    out = std::move(m);
    return true;
  }

  int Receive(std::chrono::milliseconds timeout, TelmoMessage& out) {
    const auto deadline = Clock::now() + timeout;
    bool polled = false;
    bool waiting = false;
    Clock::time_point wait_began{};
    std::vector<platform::PollItem> fds;
    std::vector<std::uint64_t> ids;
    for (;;) {
      while (Connection* c = PickReady()) {
        if (TakeRequest(*c, out)) {
          last_wait = waiting ? Clock::now() - wait_began : Clock::duration::zero();
          return 1;
        }
      }
      const auto now = Clock::now();
      CloseOverdue(now);
      lines.Flush(now);
      MaybeTrim(now);
      if (polled && now >= deadline) {
        last_wait = Clock::duration::max();
        return 0;
      }
      if (!waiting) {
        waiting = true;
        wait_began = now;
      }

      fds.clear();
      ids.clear();
      const bool watch_listener = listener && now >= accept_paused_until;
      if (watch_listener) {
        fds.push_back({.socket = &listener});
        ids.push_back(0);
      }
      for (const auto& c : connections) {
        if (c->ready && c->out.empty()) continue;
        fds.push_back({.socket = &c->fd, .want_read = !c->ready, .want_write = !c->out.empty()});
        ids.push_back(c->id);
      }
      auto wake = NextDeadline(deadline);
      if (listener && !watch_listener) wake = std::min(wake, accept_paused_until);
      // Only a trim that is due wakes the loop: waking for less than
      // kTrimAfter freed bytes would find nothing to do and poll again at once.
      if (freed_since_trim >= kTrimAfter) wake = std::min(wake, last_trim + kTrimPeriod);
      int rc = 0;
      if (now - last_request_time < kBusyWindow && last_wait < kSpinWorth) {
        const auto spin_until = now + kSpinTime;
        do {
          rc = platform::WaitReady(fds, 0);
        } while (rc == 0 && Clock::now() < spin_until);
      }
      if (rc == 0) rc = platform::WaitReady(fds, platform::PollMillis(wake));
      polled = true;
      if (rc < 0) {
        if (rc == platform::kWouldBlock) continue;
        // Cannot wait on the descriptors: wait out the time-out instead of spinning.
        std::this_thread::sleep_until(std::min(wake, deadline));
        continue;
      }
      for (std::size_t i = 0; i < fds.size(); ++i) {
        if (!fds[i].readable && !fds[i].writable) continue;
        if (ids[i] == 0) {
          AcceptPending();
          continue;
        }
        Connection* c = Find(ids[i]);
        if (c != nullptr && fds[i].writable && !Flush(*c)) continue;
        if (c != nullptr && fds[i].readable && !c->ready) ReadFrom(*c);
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
    Reply queued;
    if (!wire::AppendFrame(reply, queued.frame)) {
      TELMO_SERVER_LDBLK(kFacilityMessaging, kMsgTooLarge, block);
      return 0;
    }
    // A peer that lets its replies pile up loses its connection; one reply of
    // any size is always queued.
    if (c->out_bytes >= g_reply_queue_bound.load()) {
      DropWithLine(*c, __LINE__, "replies not taken (queue above its bound)");
      TELMO_SERVER_LDBLK(kFacilityMessaging, kMsgTimeout, block);
      return 0;
    }
    if (!Shed(*c, c->held + queued.frame.size())) {
      TELMO_SERVER_LDBLK(kFacilityMessaging, kMsgTimeout, block);
      return 0;
    }
    queued.deadline = Clock::now() + timeout;
    c->out_bytes += queued.frame.size();
    c->out.push_back(std::move(queued));
    Account(*c);
    // Most replies go out at once; the rest is written by the poll loop as
    // the peer reads, so a peer that does not read holds up no one.
    if (!Flush(*c)) {
      TELMO_SERVER_LDBLK(kFacilityMessaging, kMsgConnectionClosed, block);
      return 0;
    }
    return 1;
  }

  // Writes what the peers take at once of their pending replies, then closes
  // everything.
  void CloseAll() {
    for (auto& c : connections) {
      for (std::size_t i = 0; i < c->out.size(); ++i) {
        const auto& frame = c->out[i].frame;
        auto written = platform::WriteSome(c->fd, std::span(frame).subspan(i == 0 ? c->out_offset : 0));
        if (!written || *written + (i == 0 ? c->out_offset : 0) < frame.size()) break;
      }
      NoteFreed(c->held);
    }
    connections.clear();
    held_total = 0;
    listener.reset();
    port = 0;
    if (freed_since_trim >= kTrimAfter) {
      platform::GiveFreedMemoryBack();
      freed_since_trim = 0;
    }
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
  impl_->CloseAll();
}
std::size_t TransportServer::held_bytes() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->held_total;
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
    const DWORD error = GetLastError();
    // Once a minute at most: the request loop calls this every second.
    auto& p = telmo::Process();
    const auto now = telmo::platform::SocketClock::now();
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
    SetLastError(error);
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
