// Watchdog reports end to end: the manager asks a fake asynchronous DLGP, the
// DLGP answers with GetWatchDogDataReply, and GetWatchDogData returns the
// cached report; a DLGP that stops answering gets its items marked.
#include <cstring>

#include "external/telmo_watchdog.h"
#include "requests/named_requests.h"
#include "supervision/checks.h"
#include "util/period_slots.h"
#include "request_support.h"

namespace telmo::test {
namespace {

class Watchdog : public ::testing::Test {
 protected:
  void SetUp() override {
    requests::ResetNamedRequestState();
    LogSlots().Reset();
    gWatchdogTable = WatchdogTable{};
    saved_timeout_ = gMgmtParameters.timeout.load();
  }
  void TearDown() override {
    worker_.reset();
    for (const auto& server : gServerTable.records()) server->desired_state = kDesiredStateStopped;
    gMgmtParameters.timeout = saved_timeout_;
  }

  /// A started, fully running server whose DLGP is a fake asynchronous DLGP
  /// with these DLGP arguments, registered in the watchdog monitor table.
  ServerRecord& WatchedServer(const std::string& service, const std::string& dlgp_arguments) {
    ComponentSpec dlgp = manager_.ServingComponent("Gateway", "TELMO_ASYNCDLGP_" + service, service,
                                                   dlgp_arguments + " --report-file=" + ReportFile(service).string() +
                                                       " --silent-file=" + SilentFile(service).string());
    ServerRecord& server = manager_.AddServer("Server " + service, service, {dlgp});
    StatusBlock status;
    gWatchdogTable.Register(server, status);
    EXPECT_FALSE(status.failed()) << status.describe();
    if (!worker_) {
      worker_.emplace(manager_);
      client_ = RequestWorker::Connect();
    }
    EXPECT_TRUE(ServerRequest(client_, TELMO_TT_START_SERVER, service).ok());
    EXPECT_TRUE(manager_.WaitReady(service));
    // The check asks only servers whose status request found them running.
    auto status_reply = ServerRequest(client_, TELMO_TT_GET_SERVER_STATUS, service);
    EXPECT_TRUE(status_reply.ok() && StatusRecord(*status_reply).run_status == 2);
    return server;
  }
  [[nodiscard]] fs::path ReportFile(const std::string& service) const {
    return manager_.node.root() / ("report-" + service);
  }
  [[nodiscard]] fs::path SilentFile(const std::string& service) const {
    return manager_.node.root() / ("silent-" + service);
  }

  /// The manager's answer to GetWatchDogData: the block, or nothing.
  std::optional<watchdog::Block> Cached(const std::string& service) {
    auto data = mgmt::EncodeTexts({"GetWatchDogData", service});
    auto reply = client_.Request(TELMO_TT_MSG, mgmt::EncodeNamedPayload(0, {}, data.value()), 10s);
    if (!reply.ok() || reply->payload.size() != mgmt::kNamedHeader + watchdog::kBlockSize) return std::nullopt;
    watchdog::Block block;
    std::copy(reply->payload.begin() + mgmt::kNamedHeader, reply->payload.end(), block.begin());
    return block;
  }
  WatchdogReport CachedReport(const std::string& service) {
    const auto block = Cached(service);
    EXPECT_TRUE(block.has_value());
    return block ? *watchdog::DecodeReport(*block) : WatchdogReport{};
  }

  ManagerNode manager_;
  std::optional<RequestWorker> worker_;
  TelmoClient client_;
  std::int32_t saved_timeout_ = 0;
};

TEST_F(Watchdog, AFreshReportIsCachedAndReturnedByteForByte) {
  WatchedServer("MIXER_DLGP", "-TCPSERVICE MIXER_DLGP -WATCHDOGTAG Mixer.Heartbeat -WATCHDOGTIMEOUT 60000");
  TELMO_MGMT_CheckServersWatchdogs(gServerTable);
  ASSERT_TRUE(Eventually([&] { return fs::exists(ReportFile("MIXER_DLGP")); }));
  // The worker's own checks may ask again meanwhile: compare with the last report sent.
  std::optional<watchdog::Block> cached;
  EXPECT_TRUE(Eventually([&] {
    cached = Cached("mixer_dlgp");
    const std::string sent = ReadFile(ReportFile("MIXER_DLGP"));
    return cached && sent.size() == watchdog::kBlockSize &&
           std::memcmp(cached->data(), sent.data(), watchdog::kBlockSize) == 0;
  }));
  ASSERT_TRUE(cached.has_value());
  const WatchdogReport report = *watchdog::DecodeReport(*cached);
  EXPECT_EQ(report.tag_name, "Mixer.Heartbeat");
  EXPECT_EQ(report.items[0].value, "OK");
  EXPECT_EQ(report.watchdog_timeout, 60000);
}

TEST_F(Watchdog, ADlgpThatStopsAnsweringGetsItsItemsMarkedFailedThenStale) {
  gMgmtParameters.timeout = 5;  // half a second for each request
  WatchedServer("KILN_DLGP", "-TCPSERVICE KILN_DLGP -WATCHDOGTAG Kiln.Beat -WATCHDOGTIMEOUT 3000");
  TELMO_MGMT_CheckServersWatchdogs(gServerTable);
  ASSERT_TRUE(Eventually([&] { return CachedReport("KILN_DLGP").items[0].value == "OK"; }));
  const auto reported = std::chrono::steady_clock::now();

  WriteFile(SilentFile("KILN_DLGP"), "");
  TELMO_MGMT_CheckServersWatchdogs(gServerTable);
  ASSERT_TRUE(Eventually([&] { return CachedReport("KILN_DLGP").items[2].state != 0; }));
  WatchdogReport report = CachedReport("KILN_DLGP");
  for (const WatchdogItem& item : report.items) {
    EXPECT_EQ(item.state, kWatchdogItemFailed);
    EXPECT_EQ(item.words[2], kWatchdogRequestFailed);
  }
  EXPECT_EQ(report.items[0].value, "OK");  // the values stay as last reported
  const std::string failed = "TELMO_MGMT_GetWatchDogData: request for watchdog data update failed, node [TESTNODE], "
                             "service [KILN_DLGP]";
  EXPECT_EQ(Occurrences(LogPath(LogKind::kClient), failed), 1);

  // Past the report's watchdog time-out the items read stale.
  std::this_thread::sleep_until(reported + 3200ms);
  TELMO_MGMT_CheckServersWatchdogs(gServerTable);
  EXPECT_TRUE(Eventually([&] { return CachedReport("KILN_DLGP").items[0].state == kWatchdogItemStale; }));
  EXPECT_EQ(Occurrences(LogPath(LogKind::kClient), failed), 1);  // once a period
}

TEST_F(Watchdog, AServerWithoutATagIsNotAskedAndAnswersZeros) {
  manager_.node.Set("TELMO_DIAG", "1");
  WatchedServer("SILO_DLGP", "-TCPSERVICE SILO_DLGP");
  TELMO_MGMT_CheckServersWatchdogs(gServerTable);
  const auto block = Cached("SILO_DLGP");
  ASSERT_TRUE(block.has_value());
  EXPECT_TRUE(std::all_of(block->begin(), block->end(), [](std::uint8_t b) { return b == 0; }));
  EXPECT_FALSE(fs::exists(ReportFile("SILO_DLGP")));
  EXPECT_EQ(Occurrences(LogPath(LogKind::kDiagnostic), "SILO_DLGP, tag"), 0);
  // A service no server has: zeros too, and a line.
  const auto unknown = Cached("NO_SUCH_DLGP");
  ASSERT_TRUE(unknown.has_value());
  EXPECT_TRUE(std::all_of(unknown->begin(), unknown->end(), [](std::uint8_t b) { return b == 0; }));
  EXPECT_EQ(Occurrences(LogPath(LogKind::kClient), "GetWatchDogData: Not found server for service: NO_SUCH_DLGP"), 1);
}

TEST_F(Watchdog, AReplyWhoseBlockEndsEarlyChangesNothing) {
  manager_.node.Set("TELMO_DIAG", "1");
  WatchedServer("VAT_DLGP", "-TCPSERVICE VAT_DLGP -WATCHDOGTAG Vat.Beat");
  WatchdogReport report;
  report.tag_name.assign("Forged");
  report.items[0].stamp = -1;  // cannot be rendered
  auto data = watchdog::EncodeWatchdogReply("VAT_DLGP", report);
  auto short_data = data;
  short_data.pop_back();
  ASSERT_TRUE(client_.Post(TELMO_TT_MSG, mgmt::EncodeNamedPayload(0, {}, short_data), 2s).ok());
  EXPECT_EQ(CachedReport("VAT_DLGP").tag_name, "Vat.Beat");
  ASSERT_TRUE(client_.Post(TELMO_TT_MSG, mgmt::EncodeNamedPayload(0, {}, data), 2s).ok());
  EXPECT_EQ(CachedReport("VAT_DLGP").tag_name, "Forged");
  EXPECT_EQ(Occurrences(LogPath(LogKind::kDiagnostic), "timestamp [<------ Bad TimeStamp ----->]"), 1);
}

}  // namespace
}  // namespace telmo::test
