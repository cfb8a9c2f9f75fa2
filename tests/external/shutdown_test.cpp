// TELMO_SERVER_SHUTDOWN against a tiny in-test component, and client errors.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>

#include "platform/posix/unique_fd.h"
#include "platform/socket.h"
#include "external/telmo_client.h"
#include "external/telmo_server.h"
#include "external/telmo_services.h"
#include "support/test_env.h"

namespace telmo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

enum class OnShut { kReplyAndEnd, kReplyAndLinger, kEndWithoutReply, kRefuse };

// A component serving "COMP1" that answers TT 7 as told.
class Component {
 public:
  explicit Component(OnShut behaviour) : server_(ServerOptions{"127.0.0.1", 0, "COMP1", "TESTNODE"}) {
    StatusBlock block;
    EXPECT_TRUE(server_.Listen(block));
    EXPECT_TRUE(AddServiceToFile("COMP1", server_.port()));
    thread_ = std::thread([this, behaviour] {
      while (!stop_) {
        TelmoMessage request;
        StatusBlock b;
        if (server_.Receive(50ms, request, b) <= 0 || request.tt != TELMO_TT_SHUT) continue;
        StatusBlock status;
        if (behaviour == OnShut::kRefuse) TELMO_SERVER_LDBLK(15, 15019, status);
        if (behaviour != OnShut::kEndWithoutReply) {
          TelmoMessage reply = MakeReply(request, status, {}, server_.identity());
          server_.Send(1s, reply, b);
        }
        if (behaviour == OnShut::kReplyAndEnd || behaviour == OnShut::kEndWithoutReply) {
          std::this_thread::sleep_for(200ms);  // some clean-up before the end
          ended_ = true;  // everything done but closing, which is what the caller waits for
          server_.Close();
          return;
        }
      }
    });
  }
  ~Component() {
    stop_ = true;
    thread_.join();
  }
  bool ended() const { return ended_; }

 private:
  TransportServer server_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> ended_{false};
  std::thread thread_;
};

TEST(Shutdown, ComponentThatEndsHasEndedWhenTheCallReturns) {
  test::TempNode node;
  for (const auto behaviour : {OnShut::kReplyAndEnd, OnShut::kEndWithoutReply}) {
    Component component(behaviour);
    StatusBlock block;
    const auto t0 = Clock::now();
    EXPECT_EQ(TELMO_SERVER_SHUTDOWN("", "comp1", block), 1);
    EXPECT_FALSE(block.failed()) << block.describe();
    EXPECT_TRUE(component.ended());
    EXPECT_LT(Clock::now() - t0, 1500ms);
    RemoveServiceFromFile("COMP1");
  }
}

TEST(Shutdown, FailuresAreLoadedIntoTheBlock) {
  test::TempNode node;
  {
    Component lingers(OnShut::kReplyAndLinger);
    StatusBlock block;
    const auto t0 = Clock::now();
    EXPECT_EQ(TELMO_SERVER_SHUTDOWN("TESTNODE", "COMP1", block), 0);
    EXPECT_TRUE(block.holds(kFacilityMessaging, kMsgTimeout));
    EXPECT_GE(Clock::now() - t0, 1900ms);
    EXPECT_LT(Clock::now() - t0, 5s);
  }
  RemoveServiceFromFile("COMP1");
  {
    Component refuses(OnShut::kRefuse);
    StatusBlock block;
    EXPECT_EQ(TELMO_SERVER_SHUTDOWN("", "COMP1", block), 0);
    EXPECT_TRUE(block.holds(15, 15019));
  }
  RemoveServiceFromFile("COMP1");

  StatusBlock not_listed;
  EXPECT_EQ(TELMO_SERVER_SHUTDOWN("", "NOSUCH", not_listed), 0);
  EXPECT_TRUE(not_listed.holds(kFacilityMessaging, kMsgServiceNotListed));

  ASSERT_TRUE(AddServiceToFile("DOWN", test::FreeLoopbackPort()));
  StatusBlock down;
  const auto t0 = Clock::now();
  EXPECT_EQ(TELMO_SERVER_SHUTDOWN("", "DOWN", down), 0);
  EXPECT_TRUE(down.holds(kFacilityMessaging, kMsgCannotConnect));
  EXPECT_LT(Clock::now() - t0, 1s);
}

TEST(Client, GarbageInsteadOfAReplyIsAnError) {
  test::TempNode node;
  auto listener = platform::ListenOn("127.0.0.1", 0);
  ASSERT_TRUE(listener);
  const int port = platform::LocalPort(*listener);
  std::thread peer([&] {
    pollfd p{static_cast<int>(listener->native()), POLLIN, 0};
    if (::poll(&p, 1, 2000) != 1) return;
    platform::UniqueFd conn(::accept4(static_cast<int>(listener->native()), nullptr, nullptr, SOCK_CLOEXEC));
    char buf[512];
    (void)::recv(conn.get(), buf, sizeof buf, 0);
    const char junk[] = "HTTP/1.0 400 Bad Request\r\n\r\n";
    (void)::send(conn.get(), junk, sizeof junk - 1, MSG_NOSIGNAL);
    std::this_thread::sleep_for(300ms);
  });
  auto reply = RequestOnce({"127.0.0.1", port}, 1, {}, 2s);
  EXPECT_EQ(reply.error(), ERROR_INVALID_DATA);
  peer.join();
}

TEST(Client, ServiceResolution) {
  test::TempNode node;
  ASSERT_TRUE(AddServiceToFile("HERE", 7555));
  auto local = ResolveService("", "here");
  ASSERT_TRUE(local);
  EXPECT_EQ(local->host, "127.0.0.1");
  EXPECT_EQ(local->port, 7555);
  node.Set("TELMO_LISTEN", "0.0.0.0");
  EXPECT_EQ(ResolveService("TESTNODE", "HERE")->host, "127.0.0.1");  // a wildcard is reached by loopback
  EXPECT_EQ(ResolveService("othernode", "HERE")->host, "othernode");
  EXPECT_EQ(ResolveService("", "MISSING").error(), ERROR_NOT_FOUND);
  EXPECT_EQ(ResolveService("", std::string(32, 'x')).error(), ERROR_INVALID_NAME);
  EXPECT_EQ(TelmoClient::ConnectService("no-such-host.invalid", "HERE", 1s).error(), kErrorHostNotFound);
}

}  // namespace
}  // namespace telmo
