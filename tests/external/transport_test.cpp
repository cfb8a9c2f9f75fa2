// The transport over loopback: requests and replies, many clients, and peers
// that misbehave.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <thread>

#include "external/telmo_bounds.h"
#include "external/telmo_client.h"
#include "external/telmo_frame.h"
#include "external/telmo_log.h"
#include "external/telmo_mgmt.h"
#include "external/telmo_server.h"
#include "external/telmo_services.h"
#include "support/test_env.h"

namespace telmo {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr std::int32_t kWhoAmI = 50;  // the echo server answers with "node|user"

Bytes ToBytes(std::string_view s) { return Bytes(s.begin(), s.end()); }
std::string ToString(const Bytes& b) { return std::string(b.begin(), b.end()); }

Bytes Answer(const TelmoMessage& request) {
  if (request.tt == kWhoAmI) return ToBytes(request.requester.node.str() + "|" + request.requester.user.str());
  return request.payload;
}

// A TransportServer on a free loopback port, served by its own thread.
class EchoServer {
 public:
  EchoServer() : server_(ServerOptions{"127.0.0.1", 0, "ECHO", "TESTNODE"}) {
    StatusBlock block;
    EXPECT_TRUE(server_.Listen(block));
    thread_ = std::thread([this] {
      while (!stop_) {
        TelmoMessage request;
        StatusBlock b;
        if (server_.Receive(50ms, request, b) > 0) {
          TelmoMessage reply = MakeReply(request, {}, Answer(request), server_.identity());
          server_.Send(2s, reply, b);
        }
      }
    });
  }
  ~EchoServer() {
    stop_ = true;
    thread_.join();
  }
  Endpoint endpoint() const { return {"127.0.0.1", server_.port()}; }
  TransportServer& server() { return server_; }

 private:
  TransportServer server_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TelmoClient MustConnect(const Endpoint& ep) {
  auto c = TelmoClient::Connect(ep, 2s);
  EXPECT_TRUE(c) << c.error();
  return c ? std::move(*c) : TelmoClient{};
}

std::string Echo(TelmoClient& client, const std::string& text) {
  auto reply = client.Request(1, ToBytes(text), 2s);
  return reply ? ToString(reply->payload) : "error " + std::to_string(reply.error());
}

int ManagementLines(const std::string& needle) {
  return test::CountLinesWith(LogPath(LogKind::kManagement), needle);
}

// The server writes its line when it notices the peer, which may be a little
// after the client's own step.
int ManagementLinesAfter(const std::string& needle, int expected) {
  const auto until = Clock::now() + 5s;
  while (ManagementLines(needle) < expected && Clock::now() < until) std::this_thread::sleep_for(10ms);
  return ManagementLines(needle);
}

TEST(Transport, ContractCallsServeTheOwnServiceOfTheServicesFile) {
  test::TempNode node;
  ASSERT_TRUE(AddServiceToFile("ECHOSVC", test::FreeLoopbackPort()));
  Text32 local;
  StatusBlock block;
  ASSERT_EQ(TELMO_SERVER_INIT(1, "ECHOSVC", local, block), 1);
  EXPECT_EQ(local, "TESTNODE");
  IdentityRecord me;
  TELMO_USR_GetApplicationID(me);
  EXPECT_EQ(me, (IdentityRecord{Text32("TESTNODE"), Text32("ECHOSVC")}));

  ASSERT_EQ(TELMO_SERVER_ACCEPT(block), 1);  // bound before the first client connects
  std::atomic<bool> stop{false};
  std::jthread loop([&] {
    StatusBlock b;
    EXPECT_EQ(TELMO_SERVER_INIT_THREAD(b), 1);
    while (!stop) {
      TELMO_SERVER_ACCEPT(b);
      TelmoMessage request;
      if (TELMO_SERVER_RECEIVE(1, request, b) > 0) {
        EXPECT_NE(TELMO_SERVER_TRANSNUM(request), 0u);
        ServerReply(10, request, {}, Answer(request), b);
      }
    }
    TELMO_SERVER_EXIT_THREAD(b);
  });
  struct StopLoop {
    std::atomic<bool>& stop;
    ~StopLoop() { stop = true; }
  } stop_loop{stop};  // also when an assertion below ends the test early

  auto client = TelmoClient::ConnectService("", "echosvc", 2s);
  ASSERT_TRUE(client) << client.error();
  const std::string user = LocalUserName();
  auto who = client->Request(kWhoAmI, {}, 2s);
  ASSERT_TRUE(who);
  EXPECT_EQ(ToString(who->payload), "TESTNODE|" + user);
  EXPECT_EQ(who->requester, me);  // the reply says who answered

  client->set_requester({Text32("CONSOLE2"), Text32("someone")});
  who = client->Request(kWhoAmI, {}, 2s);
  ASSERT_TRUE(who);
  EXPECT_EQ(ToString(who->payload), "CONSOLE2|someone");

  for (int i = 0; i < 20; ++i) EXPECT_EQ(Echo(*client, "n" + std::to_string(i)), "n" + std::to_string(i));

  stop = true;
  loop.join();
  EXPECT_EQ(TELMO_SERVER_EXIT(block), 1);
  EXPECT_FALSE(client->Request(1, {}, 1s));  // the exit closed every connection
  EXPECT_EQ(ListeningPort(), 0);
}

TEST(Transport, FiftyClientsAtOnce) {
  test::TempNode node;
  EchoServer echo;
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 50; ++c) {
    clients.emplace_back([&, c] {
      auto client = TelmoClient::Connect(echo.endpoint(), 5s);
      if (!client) return;
      for (int i = 0; i < 5; ++i) {
        const std::string text = std::to_string(c) + "/" + std::to_string(i);
        auto reply = client->Request(1, ToBytes(text), 10s);
        if (reply && ToString(reply->payload) == text) ++answered;
      }
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(answered, 250);
}

TEST(Transport, MalformedFramesCostOnlyTheirConnection) {
  test::TempNode node;
  SetPeerLinePeriod(0ms);  // a line for each
  EchoServer echo;
  TelmoClient good = MustConnect(echo.endpoint());
  ASSERT_EQ(Echo(good, "before"), "before");

  TelmoMessage valid;
  valid.payload = {1, 2, 3};
  Bytes frame;
  ASSERT_TRUE(wire::AppendFrame(valid, frame));
  Bytes oversized = frame;
  const std::uint32_t over = wire::kMaxPayload + 1;
  std::memcpy(&oversized[152], &over, 4);
  TelmoMessage reply_kind = valid;
  reply_kind.kind = MessageKind::kReply;
  Bytes reply_frame;
  ASSERT_TRUE(wire::AppendFrame(reply_kind, reply_frame));

  const Bytes bad_inputs[] = {ToBytes("GET / HTTP/1.0\r\n\r\n"), oversized, reply_frame};
  for (const auto& bad : bad_inputs) {
    TelmoClient peer = MustConnect(echo.endpoint());
    ASSERT_TRUE(peer.SendRaw(bad, 1s));
    EXPECT_TRUE(peer.AwaitClose(3s)) << "the server kept a connection that sent garbage";
    EXPECT_EQ(Echo(good, "still"), "still");
  }
  {
    TelmoClient peer = MustConnect(echo.endpoint());
    ASSERT_TRUE(peer.SendRaw(std::span(frame).first(40), 1s));
  }  // gone in the middle of a frame
  EXPECT_EQ(Echo(good, "after"), "after");
  EXPECT_EQ(ManagementLinesAfter("Closing connection from 127.0.0.1", 4), 4);
  SetPeerLinePeriod(60s);
}

TEST(Transport, SilentClientAndStallerBlockNoOne) {
  test::TempNode node;
  SetStallLimit(1500ms);
  struct StallRestore {  // process-wide: later cases get the default back
    ~StallRestore() { SetStallLimit(5s); }
  } restore;
  EchoServer echo;
  TelmoClient silent = MustConnect(echo.endpoint());
  TelmoClient staller = MustConnect(echo.endpoint());
  TelmoMessage valid;
  valid.payload.assign(64, 1);
  Bytes frame;
  ASSERT_TRUE(wire::AppendFrame(valid, frame));
  const auto t1 = Clock::now();
  ASSERT_TRUE(staller.SendRaw(std::span(frame).first(100), 1s));
  // A byte now and then does not keep a frame alive: the limit counts from
  // the frame's first byte.
  std::atomic<bool> stop{false};
  std::jthread trickle([&] {
    for (std::size_t i = 100; i < frame.size() - 1 && !stop; ++i) {
      std::this_thread::sleep_for(300ms);
      if (!staller.SendRaw(std::span(frame).subspan(i, 1), 1s)) return;
    }
  });

  TelmoClient good = MustConnect(echo.endpoint());
  const auto t0 = Clock::now();
  EXPECT_EQ(Echo(good, "served"), "served");
  EXPECT_LT(Clock::now() - t0, 1000ms);  // well inside the stall limit

  EXPECT_EQ(ManagementLinesAfter("stall limit", 1), 1);
  EXPECT_LT(Clock::now() - t1, 3s);
  stop = true;
  // The silent one is kept: it may still ask something.
  EXPECT_EQ(silent.AwaitClose(300ms).error(), ERROR_TIMEOUT);
  EXPECT_EQ(Echo(silent, "late"), "late");
}

TEST(Transport, ConnectionCapClosesTheLongestIdle) {
  test::TempNode node;
  SetConnectionCap(3);
  // The cap is process-wide: the cases after this one get the default back.
  struct CapRestore {
    ~CapRestore() { SetConnectionCap(256); }
  } restore;
  EchoServer echo;
  TelmoClient c1 = MustConnect(echo.endpoint());
  std::this_thread::sleep_for(100ms);
  TelmoClient c2 = MustConnect(echo.endpoint());
  std::this_thread::sleep_for(100ms);
  TelmoClient c3 = MustConnect(echo.endpoint());
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(Echo(c1, "busy"), "busy");  // c1 is now the most recently active
  TelmoClient c4 = MustConnect(echo.endpoint());
  EXPECT_EQ(Echo(c4, "new"), "new");
  EXPECT_TRUE(c2.AwaitClose(2s));
  EXPECT_EQ(Echo(c1, "kept"), "kept");
  EXPECT_EQ(Echo(c3, "kept"), "kept");
  EXPECT_LE(echo.server().connection_count(), 3u);
}

TEST(Transport, ReadyConnectionsAreServedInTurn) {
  test::TempNode node;
  TransportServer server(ServerOptions{"127.0.0.1", 0, "RR", "TESTNODE"});
  StatusBlock block;
  ASSERT_TRUE(server.Listen(block));
  const Endpoint ep{"127.0.0.1", server.port()};
  TelmoClient a = MustConnect(ep);
  TelmoClient b = MustConnect(ep);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(a.Post(1, ToBytes("a" + std::to_string(i)), 1s));
    ASSERT_TRUE(b.Post(1, ToBytes("b" + std::to_string(i)), 1s));
  }
  std::this_thread::sleep_for(100ms);  // everything is in flight before the first receive
  std::string order;
  for (int i = 0; i < 6; ++i) {
    TelmoMessage request;
    ASSERT_EQ(server.Receive(1s, request, block), 1);
    order += ToString(request.payload);
  }
  // Alternating connections, each in its own order.
  EXPECT_TRUE(order == "a0b0a1b1a2b2" || order == "b0a0b1a1b2a2") << order;
}

// Once a peer has come and gone, the loop waits in poll again: it must not
// spin until the next request (a manager that served one console request
// used to take a whole core from then on).
TEST(Transport, AnIdleServerSleepsAfterAPeerHasGone) {
  test::TempNode node;
  TransportServer server(ServerOptions{"127.0.0.1", 0, "IDLE", "TESTNODE"});
  StatusBlock block;
  ASSERT_TRUE(server.Listen(block));
  {
    TelmoClient client = MustConnect({"127.0.0.1", server.port()});
    ASSERT_TRUE(client.Post(1, ToBytes("once"), 1s));
    TelmoMessage request;
    ASSERT_EQ(server.Receive(5s, request, block), 1);
  }
  const auto until = Clock::now() + 5s;
  while (server.connection_count() > 0 && Clock::now() < until) {
    TelmoMessage request;
    server.Receive(50ms, request, block);
  }
  ASSERT_EQ(server.connection_count(), 0u);

  const auto thread_cpu = [] {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
  };
  const auto before = thread_cpu();
  TelmoMessage request;
  EXPECT_EQ(server.Receive(600ms, request, block), 0);
  EXPECT_LT(thread_cpu() - before, 150ms);
}

TEST(Transport, RepliesGoBackToTheirRequester) {
  test::TempNode node;
  ASSERT_TRUE(AddServiceToFile("ROUTESVC", test::FreeLoopbackPort()));
  Text32 local;
  StatusBlock block;
  ASSERT_EQ(TELMO_SERVER_INIT(1, "ROUTESVC", local, block), 1);
  ASSERT_EQ(TELMO_SERVER_ACCEPT(block), 1);

  auto a = TelmoClient::ConnectService("", "ROUTESVC", 2s);
  auto b = TelmoClient::ConnectService("", "ROUTESVC", 2s);
  ASSERT_TRUE(a && b);
  const TelmoNameBlock name{};
  auto na = a->Post(TELMO_TT_MSG, mgmt::EncodeNamedPayload(0, name, ToBytes("from a")), 1s);
  ASSERT_TRUE(na);
  std::this_thread::sleep_for(50ms);
  auto nb = b->Post(TELMO_TT_MSG, mgmt::EncodeNamedPayload(0, name, ToBytes("from b")), 1s);
  ASSERT_TRUE(nb);

  TelmoMessage first, second;
  ASSERT_EQ(TELMO_SERVER_RECEIVE(10, first, block), 1);
  ASSERT_EQ(TELMO_SERVER_RECEIVE(10, second, block), 1);
  ASSERT_NE(first.connection, second.connection);
  const bool a_first = first.transnum == *na;

  // Built from the first request: goes to its sender although another
  // request came in since.
  ASSERT_EQ(ServerReply(10, first, {}, ToBytes("to first"), block), 1);
  // Built without a request: goes to the sender of the last request received.
  TelmoMessage reply;
  const auto data = ToBytes("to second");
  ASSERT_EQ(TELMO_SERVER_BLD_MSG(3, name, static_cast<std::uint32_t>(data.size()), data, reply, block), 1);
  ASSERT_EQ(TELMO_SERVER_SEND(10, reply, block), 1);

  auto& first_client = a_first ? *a : *b;
  auto& second_client = a_first ? *b : *a;
  auto r1 = first_client.AwaitReply(first.transnum, 2s);
  auto r2 = second_client.AwaitReply(second.transnum, 2s);
  ASSERT_TRUE(r1 && r2);
  EXPECT_EQ(ToString(r1->payload), "to first");
  EXPECT_EQ(ToString(std::vector(r2->payload.begin() + mgmt::kNamedHeader, r2->payload.end())), "to second");
  TELMO_SERVER_EXIT(block);
}

TEST(Transport, PeerThatDoesNotReadLosesItsConnection) {
  test::TempNode node;
  TransportServer server(ServerOptions{"127.0.0.1", 0, "SLOW", "TESTNODE"});
  StatusBlock block;
  ASSERT_TRUE(server.Listen(block));
  TelmoClient lazy = MustConnect({"127.0.0.1", server.port()});
  ASSERT_TRUE(lazy.Post(1, {}, 1s));
  TelmoMessage request;
  ASSERT_EQ(server.Receive(1s, request, block), 1);

  const TelmoMessage big = MakeReply(request, {}, Bytes(wire::kMaxPayload, 7), server.identity());
  int sent = 0;
  StatusBlock send_status;
  const auto t0 = Clock::now();
  while (sent < 64) {
    TelmoMessage copy = big;
    if (server.Send(200ms, copy, send_status) == 0) break;
    ++sent;
  }
  EXPECT_LT(sent, 64);
  EXPECT_TRUE(send_status.holds(kFacilityMessaging, kMsgTimeout));
  EXPECT_LT(Clock::now() - t0, 30s);
  EXPECT_EQ(server.connection_count(), 0u);
}

TEST(Transport, ServerThatCannotBindWaitsAndLogsOncePerMinute) {
  test::TempNode node;
  Text32 local;
  StatusBlock block;
  ASSERT_EQ(TELMO_SERVER_INIT(1, "NOTLISTED", local, block), 1);
  for (int i = 0; i < 3; ++i) {
    StatusBlock b;
    EXPECT_EQ(TELMO_SERVER_ACCEPT(b), 0);
    EXPECT_TRUE(b.holds(kFacilityMessaging, kMsgServiceNotListed));
  }
  TelmoMessage request;
  const auto t0 = Clock::now();
  EXPECT_EQ(TELMO_SERVER_RECEIVE(3, request, block), 0);
  EXPECT_GE(Clock::now() - t0, 290ms);
  EXPECT_EQ(ManagementLines("Cannot listen for service NOTLISTED"), 1);

  // A port held by someone else: the same, with kMsgCannotListen.
  TransportServer holder(ServerOptions{"127.0.0.1", 0, "HOLDER", "TESTNODE"});
  ASSERT_TRUE(holder.Listen(block));
  ASSERT_TRUE(AddServiceToFile("TAKEN", holder.port()));
  ASSERT_EQ(TELMO_SERVER_INIT(1, "TAKEN", local, block), 1);
  StatusBlock b;
  EXPECT_EQ(TELMO_SERVER_ACCEPT(b), 0);
  EXPECT_TRUE(b.holds(kFacilityMessaging, kMsgCannotListen));
  TELMO_SERVER_EXIT(block);
}

// Requests that are never finished: each declares `declared` payload bytes
// of TT `tt` and sends `sent` of them.
Bytes PartialRequest(std::int32_t tt, std::uint32_t declared, std::size_t sent) {
  TelmoMessage m;
  m.tt = tt;
  Bytes frame;
  EXPECT_TRUE(wire::AppendFrame(m, frame));
  std::memcpy(&frame[152], &declared, 4);
  frame.resize(wire::kHeaderSize + sent, 0x5A);
  return frame;
}

TEST(Transport, BytesHeldForPeersAreBoundedAndGivenBack) {
  test::TempNode node;
  SetHeldBound(4u << 20);
  EchoServer echo;
  const std::size_t idle = echo.server().held_bytes();

  // A name request cannot declare megabytes: refused at its header.
  TelmoClient liar = MustConnect(echo.endpoint());
  ASSERT_TRUE(liar.SendRaw(PartialRequest(TELMO_TT_START_SERVER, wire::kMaxPayload, 0), 1s));
  EXPECT_TRUE(liar.AwaitClose(3s));

  // Eight configurations of 900 KiB each, none finished: more than the bound.
  std::vector<TelmoClient> big;
  for (int i = 0; i < 8; ++i) {
    big.push_back(MustConnect(echo.endpoint()));
    (void)big.back().SendRaw(PartialRequest(TELMO_TT_ADD_SERVER, 900u << 10, 800u << 10), 2s);
  }
  EXPECT_GE(ManagementLinesAfter("above the bound", 1), 1);
  EXPECT_LE(echo.server().held_bytes(), 4u << 20);
  TelmoClient good = MustConnect(echo.endpoint());
  EXPECT_EQ(Echo(good, "served"), "served");

  big.clear();
  const auto until = Clock::now() + 3s;
  while (echo.server().held_bytes() > idle + 64 * 1024 && Clock::now() < until) std::this_thread::sleep_for(20ms);
  EXPECT_LE(echo.server().held_bytes(), idle + 64 * 1024);
  SetHeldBound(wire::kServerHeldBound);
}

/// A connection from `source` (a loopback address other than 127.0.0.1 stands
/// for another peer).
TelmoClient ConnectFrom(const Endpoint& ep, const std::string& source) {
  auto c = TelmoClient::Connect(ep, 2s, source);
  EXPECT_TRUE(c) << c.error();
  return c ? std::move(*c) : TelmoClient{};
}

TEST(Transport, LinesAboutBadConnectionsAreLimitedPerPeer) {
  test::TempNode node;
  SetPeerLinePeriod(3s);
  EchoServer echo;
  std::vector<TelmoClient> bad;
  // Connected first, then all sent at once: the bad lines fall in one period
  // however long the connects take (Wine's take up to a second each).
  for (int i = 0; i < 30; ++i) bad.push_back(MustConnect(echo.endpoint()));
  for (auto& b : bad) ASSERT_TRUE(b.SendRaw(ToBytes("GET / HTTP/1.0\r\n\r\n"), 1s));
  for (auto& b : bad) EXPECT_TRUE(b.AwaitClose(3s));
  TelmoClient other = ConnectFrom(echo.endpoint(), "127.0.0.2");
  ASSERT_TRUE(other.SendRaw(ToBytes("junk"), 1s));
  EXPECT_TRUE(other.AwaitClose(3s));
  EXPECT_EQ(ManagementLines("Closing connection from 127.0.0.1:"), 1);
  EXPECT_EQ(ManagementLinesAfter("Closing connection from 127.0.0.2:", 1), 1);
  // Once the period is over, what was held back is told in one line.
  EXPECT_EQ(ManagementLinesAfter("Suppressed 29 more lines about connections from 127.0.0.1", 1), 1);
  EXPECT_EQ(ManagementLines("Closing connection from 127.0.0.1:"), 1);
  SetPeerLinePeriod(60s);
}

TEST(Transport, AConnectFloodCostsTheFlooderNotTheConsoles) {
  test::TempNode node;
  SetConnectionCap(8);
  EchoServer echo;
  std::atomic<bool> stop{false};
  std::jthread flood([&] {
    std::vector<TelmoClient> held;
    while (!stop) {
      auto c = TelmoClient::Connect(echo.endpoint(), 1s);
      if (c) held.push_back(std::move(*c));
      if (held.size() > 200) held.erase(held.begin());
      std::this_thread::sleep_for(2ms);
    }
  });
  // One console on another address, one on the flooder's own: both keep their
  // connection, idle between requests, through the flood. A connection of the
  // flooder's address that has not sent its first request yet is as good as
  // the flooder's own, so the console on it asks at once.
  TelmoClient beside = MustConnect(echo.endpoint());
  ASSERT_EQ(Echo(beside, "first"), "first");
  TelmoClient elsewhere = ConnectFrom(echo.endpoint(), "127.0.0.2");
  int answered = 0;
  for (int i = 0; i < 10; ++i) {
    answered += Echo(elsewhere, "e" + std::to_string(i)) == "e" + std::to_string(i);
    answered += Echo(beside, "b" + std::to_string(i)) == "b" + std::to_string(i);
    std::this_thread::sleep_for(150ms);
  }
  stop = true;
  EXPECT_EQ(answered, 20);
  SetConnectionCap(256);
}

TEST(Transport, LateRepliesArePassedOver) {
  test::TempNode node;
  TransportServer server(ServerOptions{"127.0.0.1", 0, "LATE", "TESTNODE"});
  StatusBlock block;
  ASSERT_TRUE(server.Listen(block));
  TelmoClient client = MustConnect({"127.0.0.1", server.port()});
  auto timed_out = client.Request(1, ToBytes("first"), 100ms);
  EXPECT_EQ(timed_out.error(), ERROR_TIMEOUT);

  TelmoMessage first;
  ASSERT_EQ(server.Receive(1s, first, block), 1);
  TelmoMessage late = MakeReply(first, {}, ToBytes("late"), server.identity());
  ASSERT_EQ(server.Send(1s, late, block), 1);

  std::thread answer([&] {
    TelmoMessage second;
    StatusBlock b;
    if (server.Receive(2s, second, b) == 1) {
      TelmoMessage reply = MakeReply(second, {}, ToBytes("second"), server.identity());
      server.Send(1s, reply, b);
    }
  });
  EXPECT_EQ(Echo(client, "ignored"), "second");
  answer.join();
}

}  // namespace
}  // namespace telmo
