// The request loop: invalid transaction types, the rights check, the manager
// parameters requests and the schedule of the idle passes.
#include <atomic>

#include "requests/worker.h"
#include "supervision/launch.h"
#include "util/period_slots.h"
#include "request_support.h"

namespace telmo::test {
namespace {

class Loop : public ::testing::Test {
 protected:
  // The parameters are the process's: a case that changed them must not
  // leave its values to the next one.
  Loop() {
    gMgmtParameters.timeout = 100;
    gMgmtParameters.check_period = 600;
  }

  [[nodiscard]] fs::path ParametersFile() const {
    return manager_.node.mgmt_dir() / "telmo_k_mgmt_parameters.def";
  }

  ManagerNode manager_;
};

// --- invalid transaction types -------------------------------------------

TEST_F(Loop, PingIsLoggedAsInvalidOnceAndNeverAnswered) {
  manager_.node.Set("TELMO_TRACE", "1");
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect();

  auto first = client.Post(TELMO_TT_PING, {}, 2s);
  ASSERT_TRUE(first.ok());
  EXPECT_FALSE(client.AwaitReply(first.value(), 1s).ok());  // no reply
  ASSERT_TRUE(client.Post(TELMO_TT_PING, {}, 2s).ok());
  // Types outside the name table are handled the same way.
  ASSERT_TRUE(client.Post(99, {}, 2s).ok());
  ASSERT_TRUE(client.Post(-3, {}, 2s).ok());
  // The connection still serves, and everything before has been handled.
  auto params = client.Request(TELMO_TT_GET_MGMT_PARAMS, {}, 5s);
  ASSERT_TRUE(params.ok());
  EXPECT_FALSE(params->status.failed());

  EXPECT_EQ(LogCount("** Invalid transaction type received, TT = 19 from node TESTNODE\n"), 1);
  EXPECT_EQ(LogCount("** Invalid transaction type received"), 1);
  const fs::path trace = LogPath(LogKind::kTrace);
  EXPECT_EQ(Occurrences(trace, "Invalid transaction type 19 received from node TESTNODE"), 2);
  EXPECT_EQ(Occurrences(trace, "Invalid transaction type 99 received from node TESTNODE"), 1);
  EXPECT_EQ(Occurrences(trace, "Invalid transaction type -3 received from node TESTNODE"), 1);
}

TEST(PeriodSlots, LetALineThroughOnceAPeriod) {
  PeriodSlots slots;
  const std::uint32_t t = 5'000'000;
  EXPECT_TRUE(slots.Allow(4, t));
  EXPECT_FALSE(slots.Allow(4, t + 10'000));  // ten seconds later
  EXPECT_FALSE(slots.Allow(4, t + 300'000));  // exactly the period is not more than it
  EXPECT_TRUE(slots.Allow(4, t + 300'001));
  EXPECT_FALSE(slots.Allow(4, t + 300'002));
  // The slots are independent of each other.
  EXPECT_TRUE(slots.Allow(1, t + 300'002));
}

TEST(PeriodSlots, MeasureAcrossTheWrapOfTheClock) {
  PeriodSlots slots;
  const std::uint32_t late = 0xFFFF'F000u;
  EXPECT_TRUE(slots.Allow(4, late));
  EXPECT_FALSE(slots.Allow(4, late + 10'000u));            // wrapped, 10 s later
  EXPECT_TRUE(slots.Allow(4, late + 300'001u));            // wrapped, past the period
}

TEST(PeriodSlots, OneShotSlotIgnoresTheTime) {
  PeriodSlots slots;
  EXPECT_TRUE(slots.Allow(6, 1000, true));
  EXPECT_FALSE(slots.Allow(6, 1000 + 10 * 300'001u, true));
  EXPECT_FALSE(slots.Allow(PeriodSlots::kSlots, 1000));  // no such slot
}

// --- rights check ----------------------------------------------------------

TEST_F(Loop, ControlRequestsFromAnotherNodeOrLetterCaseAreRefused) {
  manager_.AddServer("Guarded", "GUARD_DLGP", {manager_.ServingComponent("Gateway", "guard_dlgp", "GUARD_DLGP")});
  ServerRecord& server = *gServerTable.head();
  RequestWorker worker(manager_);

  for (const char* node : {"OTHERNODE", "testnode", "TESTNODE "}) {
    SCOPED_TRACE(node);
    TelmoClient client = RequestWorker::Connect(Requester(node, "root"));
    for (const std::int32_t tt : {TELMO_TT_START_SERVER, TELMO_TT_STOP_SERVER}) {
      auto reply = ServerRequest(client, tt, "GUARD_DLGP");
      ASSERT_TRUE(reply.ok());
      EXPECT_TRUE(reply->status.holds(kFacilityManagement, 15045)) << reply->status.describe();
    }
  }
  EXPECT_EQ(LogCount("Starting DENIED for server Guarded on request of root@OTHERNODE\n"), 1);
  EXPECT_EQ(LogCount("Stopping DENIED for server Guarded on request of root@OTHERNODE\n"), 1);
  EXPECT_EQ(LogCount("Starting DENIED for server Guarded on request of root@testnode\n"), 1);
  EXPECT_EQ(LogCount("Starting server"), 0);
  EXPECT_EQ(LogCount("Stopping server"), 0);
  EXPECT_EQ(server.desired_state, kDesiredStateStopped);
  EXPECT_LT(gProcessTable.Find(&server, server.components[0].get()), 0);
}

TEST_F(Loop, UnknownServiceIsAnsweredWithNoServerWhoeverAsks) {
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect(Requester("OTHERNODE", "bob"));
  auto reply = ServerRequest(client, TELMO_TT_START_SERVER, "NOT_CONFIGURED");
  ASSERT_TRUE(reply.ok());
  EXPECT_TRUE(reply->status.holds(kFacilityManagement, 15017));
  EXPECT_FALSE(reply->status.holds(kFacilityManagement, 15045));
  EXPECT_EQ(LogCount("DENIED"), 0);
}

// --- manager parameters --------------------------------------------------

TEST_F(Loop, GetMgmtParamsAnswersTheCurrentValues) {
  gMgmtParameters.timeout = 77;
  gMgmtParameters.check_period = 450;
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect(Requester("OTHERNODE", "bob"));  // no rights check
  auto reply = client.Request(TELMO_TT_GET_MGMT_PARAMS, {}, 5s);
  ASSERT_TRUE(reply.ok());
  EXPECT_FALSE(reply->status.failed());
  auto params = mgmt::DecodeMgmtParams(reply->payload);
  ASSERT_TRUE(params.ok());
  EXPECT_EQ(params->timeout, 77);
  EXPECT_EQ(params->check_period, 450);
}

TEST_F(Loop, SetMgmtParamsChangesBothRewritesTheFileAndSendsNoReply) {
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect();
  auto sent = client.Post(TELMO_TT_SET_MGMT_PARAMS, mgmt::EncodeMgmtParams({50, 900}), 2s);
  ASSERT_TRUE(sent.ok());
  EXPECT_FALSE(client.AwaitReply(sent.value(), 1s).ok());

  EXPECT_EQ(gMgmtParameters.timeout.load(), 50);
  EXPECT_EQ(gMgmtParameters.check_period.load(), 900);
  EXPECT_EQ(ReadFile(ParametersFile()), "900\n50\n");
  EXPECT_EQ(LogCount("Setting manager parameters, timeout = 50, check period = 900 on request of"), 1);
  auto reply = client.Request(TELMO_TT_GET_MGMT_PARAMS, {}, 5s);
  ASSERT_TRUE(reply.ok());
  auto params = mgmt::DecodeMgmtParams(reply->payload);
  ASSERT_TRUE(params.ok());
  EXPECT_EQ(params->timeout, 50);
  EXPECT_EQ(params->check_period, 900);
}

TEST_F(Loop, SetMgmtParamsFromAnotherNodeIsDeniedAndChangesNothing) {
  RequestWorker worker(manager_);
  for (const char* node : {"OTHERNODE", "TestNode"}) {
    TelmoClient client = RequestWorker::Connect(Requester(node, "bob"));
    auto sent = client.Post(TELMO_TT_SET_MGMT_PARAMS, mgmt::EncodeMgmtParams({50, 900}), 2s);
    ASSERT_TRUE(sent.ok());
    EXPECT_FALSE(client.AwaitReply(sent.value(), 1s).ok());
  }
  EXPECT_EQ(gMgmtParameters.timeout.load(), 100);
  EXPECT_EQ(gMgmtParameters.check_period.load(), 600);
  EXPECT_FALSE(fs::exists(ParametersFile()));
  EXPECT_EQ(LogCount("Setting manager parameters, timeout = 100, check period = 600 DENIED on request of "
                     "bob@OTHERNODE\n"),
            1);
  EXPECT_EQ(LogCount("DENIED on request of bob@TestNode"), 1);
}

// --- idle passes -----------------------------------------------------------

/// Runs `passes` idle passes as the loop does; the counters at which each check ran.
struct Schedule {
  std::vector<std::uint32_t> watchdog_at;  ///< pass numbers
  std::vector<std::uint32_t> server_at;
};
Schedule RunIdlePasses(int check_period, std::uint32_t passes) {
  Schedule s;
  std::uint32_t counter = 0;
  for (std::uint32_t pass = 0; pass < passes; ++pass) {
    const requests::IdlePass plan = requests::PlanIdlePass(counter, check_period);
    if (plan.watchdog_check) s.watchdog_at.push_back(pass);
    counter = plan.next_counter;
    if (plan.server_check) {
      s.server_at.push_back(pass);
      counter = 0;
    }
  }
  return s;
}

TEST(IdlePasses, ShortCheckPeriodChecksServersOnEveryPass) {
  for (const int period : {9, 5, 0}) {
    const Schedule s = RunIdlePasses(period, 20);
    EXPECT_EQ(s.server_at.size(), 20u) << period;
    EXPECT_EQ(s.watchdog_at.size(), 20u) << period;  // the counter is 0 at every pass
  }
}

TEST(IdlePasses, DefaultPeriodChecksServersOnEvery61stPass) {
  const Schedule s = RunIdlePasses(600, 200);
  EXPECT_EQ(s.server_at, (std::vector<std::uint32_t>{60, 121, 182}));
  // Watchdogs on counters 0, 3, 6 ... 60, and again right after each server check.
  std::vector<std::uint32_t> expected;
  for (std::uint32_t pass = 0; pass < 200; ++pass) {
    const std::uint32_t counter = pass <= 60 ? pass : (pass - 61) % 61;
    if (counter % 3 == 0) expected.push_back(pass);
  }
  EXPECT_EQ(s.watchdog_at, expected);
  EXPECT_EQ(s.watchdog_at[0], 0u);
  EXPECT_EQ(s.watchdog_at[1], 3u);
}

TEST(IdlePasses, CheckPeriodIsDividedByTenWithoutRounding) {
  EXPECT_EQ(RunIdlePasses(19, 10).server_at, (std::vector<std::uint32_t>{1, 3, 5, 7, 9}));
  EXPECT_EQ(RunIdlePasses(20, 9).server_at, (std::vector<std::uint32_t>{2, 5, 8}));
}

TEST_F(Loop, IdlePassesRestartACrashedComponentWithAShortCheckPeriod) {
  ServerRecord& server =
      manager_.AddServer("Watched", "LOOP_DLGP", {manager_.ServingComponent("Gateway", "loop_dlgp", "LOOP_DLGP")});
  StatusBlock status{};
  TELMO_MGMT_StartServer(server, status);
  ASSERT_TRUE(manager_.WaitReady("LOOP_DLGP"));
  const DWORD before = RecordedPid(server, 0);
  gMgmtParameters.check_period = 9;
  RequestWorker worker(manager_);

  ASSERT_TRUE(CrashProcess(before));
  fs::remove(manager_.ReadyFile("LOOP_DLGP"));
  EXPECT_TRUE(manager_.WaitReady("LOOP_DLGP", 5000ms));
  worker.Stop();
  EXPECT_NE(RecordedPid(server, 0), before);
  EXPECT_EQ(LogCount("Zarvel Telmo Manager restarting failed or unresponsive process"), 1);
}

TEST_F(Loop, ChecksRunByTheClockWhileRequestsKeepTheLoopBusy) {
  ServerRecord& server =
      manager_.AddServer("Busy", "BUSY_DLGP", {manager_.ServingComponent("Gateway", "busy_dlgp", "BUSY_DLGP")});
  StatusBlock status{};
  TELMO_MGMT_StartServer(server, status);
  ASSERT_TRUE(manager_.WaitReady("BUSY_DLGP"));
  const DWORD before = RecordedPid(server, 0);
  gMgmtParameters.check_period = 20;  // a server check every 2 s
  RequestWorker worker(manager_);

  // A console polling 50 times a second: no receive ever times out, so no
  // pass is idle.
  std::atomic<bool> polling{true};
  std::atomic<int> answered{0};
  std::thread console([&] {
    TelmoClient client = RequestWorker::Connect();
    while (polling) {
      if (client.Request(TELMO_TT_GET_MGMT_PARAMS, {}, 5s).ok()) ++answered;
      std::this_thread::sleep_for(20ms);
    }
  });
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(CrashProcess(before));
  fs::remove(manager_.ReadyFile("BUSY_DLGP"));
  // Due within the period and one second; the wait allows for a loaded
  // machine, while idle passes alone would never come as long as the
  // console polls.
  const bool restarted = manager_.WaitReady("BUSY_DLGP", 15s);
  polling = false;
  console.join();
  worker.Stop();
  gMgmtParameters.check_period = 600;

  EXPECT_TRUE(restarted);
  EXPECT_GT(answered.load(), 10);  // the loop was kept busy throughout
  EXPECT_NE(RecordedPid(server, 0), before);
}

}  // namespace
}  // namespace telmo::test
