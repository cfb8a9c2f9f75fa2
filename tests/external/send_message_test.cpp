// Handing messages to services: TELMO_SERVER_SEND_MESSAGE (one, waiting)
// and MessageSender (many at once, never waiting).
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "external/telmo_client.h"
#include "external/telmo_mgmt.h"
#include "external/telmo_send.h"
#include "external/telmo_server.h"
#include "external/telmo_services.h"
#include "external/telmo_watchdog.h"
#include "support/test_env.h"

namespace telmo::test {
namespace {

using namespace std::chrono_literals;

// A service on a free port of its own: answers each named request with the
// given status, or, silent, accepts connections and never answers.
class FakeService {
 public:
  FakeService(TempNode& node, const std::string& name, bool silent, StatusBlock answer = {})
      : server_(Options(node, name)) {
    StatusBlock block;
    EXPECT_TRUE(server_.Listen(block)) << block.describe();
    EXPECT_TRUE(AddServiceToFile(name, server_.port()));
    if (silent) return;
    thread_ = std::thread([this, answer] {
      while (!stop_) {
        TelmoMessage request;
        StatusBlock status;
        if (server_.Receive(50ms, request, status) <= 0) continue;
        {
          std::lock_guard lock(mutex_);
          received_.push_back(request);
        }
        TelmoMessage reply = MakeReply(request, answer, {}, server_.identity());
        server_.Send(1s, reply, status);
      }
    });
  }
  ~FakeService() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  std::vector<TelmoMessage> Received() {
    std::lock_guard lock(mutex_);
    return received_;
  }

 private:
  static ServerOptions Options(TempNode& node, const std::string& name) {
    ServerOptions o;
    o.port = 0;
    o.service = name;
    o.local_node = node.node();
    return o;
  }
  TransportServer server_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<TelmoMessage> received_;
  std::thread thread_;
};

const IdentityRecord kManager{Text32("TESTNODE"), Text32("TELMOManager")};

MessageDestination Local(const std::string& service) { return {Text32(""), Text32(service)}; }

TEST(SendMessage, HandsTheMessageOverAsANamedRequestAndReportsTheAnswer) {
  TempNode node;
  StatusBlock refused;
  TELMO_SERVER_LDBLK(kFacilityWatchdog, kWatchdogNotSupported, refused);
  FakeService taker(node, "TAKER", false);
  FakeService refuser(node, "REFUSER", false, refused);
  const auto message = watchdog::EncodeWatchdogRequest("TAKER");

  std::uint32_t transnum = 4242;
  StatusBlock block;
  EXPECT_EQ(TELMO_SERVER_SEND_MESSAGE(kManager, Local("TAKER"), 20, message, transnum, 0, block), 1)
      << block.describe();
  EXPECT_EQ(TELMO_SERVER_SEND_MESSAGE(kManager, Local("REFUSER"), 20, message, transnum, 0, block), 0);
  EXPECT_EQ(block.severity, kWatchdogNotSupported);
  TELMO_SERVER_INITBLK(block);
  EXPECT_EQ(TELMO_SERVER_SEND_MESSAGE(kManager, Local("UNLISTED"), 20, message, transnum, 0, block), 0);
  EXPECT_TRUE(block.holds(kFacilityMessaging, kMsgServiceNotListed));

  const auto received = taker.Received();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].tt, TELMO_TT_MSG);
  EXPECT_EQ(received[0].transnum, 4242u);
  EXPECT_EQ(received[0].requester.user, "TELMOManager");
  std::int32_t type = 1;
  TelmoNameBlock name{};
  std::uint32_t length = 0;
  std::span<const std::uint8_t> data;
  ASSERT_EQ(TELMO_SERVER_PARSE_MSG(received[0], type, name, length, data, block), 1);
  EXPECT_EQ(type, 0);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), message.begin(), message.end()));
}

TEST(SendMessage, ASilentServiceHoldsUpNoOtherMessageOfTheSender) {
  TempNode node;
  FakeService silent(node, "SILENT", true);
  FakeService taker(node, "TAKER", false);
  FakeService refuser(node, "REFUSER", false, [] {
    StatusBlock b;
    TELMO_SERVER_LDBLK(kFacilityWatchdog, kWatchdogNotSupported, b);
    return b;
  }());
  const auto message = watchdog::EncodeWatchdogRequest("X");
  std::atomic<int> taken{0};
  std::atomic<int> refused{0};
  std::atomic<int> unlisted{0};
  {
    MessageSender sender;
    // The silent service's request would wait 100 s: the others end long before.
    sender.Send(kManager, Local("SILENT"), 1000, message, 1, [](const StatusBlock&) {});
    for (std::uint32_t i = 0; i < 20; ++i) {
      sender.Send(kManager, Local("TAKER"), 1000, message, 10 + i, [&](const StatusBlock& outcome) {
        if (!outcome.failed()) ++taken;
      });
    }
    sender.Send(kManager, Local("REFUSER"), 1000, message, 2, [&](const StatusBlock& outcome) {
      if (outcome.severity == kWatchdogNotSupported) ++refused;
    });
    sender.Send(kManager, Local("UNLISTED"), 1000, message, 3, [&](const StatusBlock& outcome) {
      if (outcome.holds(kFacilityMessaging, kMsgServiceNotListed)) ++unlisted;
    });
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (sender.in_flight() > 1 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(sender.in_flight(), 1u);  // only the silent one
    EXPECT_EQ(taken, 20);
    EXPECT_EQ(refused, 1);
    EXPECT_EQ(unlisted, 1);
  }  // the sender ends; the silent request is dropped
  EXPECT_EQ(taker.Received().size(), 20u);
}

TEST(SendMessage, ARequestThatIsNotTakenInTimeFailsWithTimeout) {
  TempNode node;
  FakeService silent(node, "SILENT", true);
  MessageSender sender;
  std::atomic<std::int32_t> code{0};
  sender.Send(kManager, Local("SILENT"), 1, watchdog::EncodeWatchdogRequest("X"), 1,
              [&](const StatusBlock& outcome) { code = outcome.failed() ? outcome.codes[0].code : -1; });
  EXPECT_TRUE(sender.WaitIdle(20s));
  EXPECT_EQ(code, kMsgTimeout);
}

}  // namespace
}  // namespace telmo::test
