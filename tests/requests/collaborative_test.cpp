// Collaborative requests through the request loop, with fake store processes:
// orders passed on to the running stores only, the forward status summary,
// the change type against the worker's configuration, refresh and resume.
#include "requests/collaborative.h"
#include "request_support.h"

namespace telmo::test {
namespace {

fs::path ClientLog() { return LogPath(LogKind::kClient); }
constexpr const char* kLoadedLine = "Telmo Collaborative - Collaborative information loaded from configuration file.";

class Collaborative : public ::testing::Test {
 protected:
  void TearDown() override {
    for (auto& record : gServerTable.TakeAll()) config::FreeServerRecord(gProcessTable, std::move(record));
  }

  void WriteConfig(const std::string& text) { WriteFile(manager_.node.mgmt_dir() / "Collaborative.cfg", text); }

  /// A server with an asynchronous DLGP and S&F whose store reports `forward_status`.
  ServerRecord& AddStoreServer(const std::string& tag, int forward_status) {
    ServerRecord& server = manager_.AddServer(
        tag, tag + "_DLGP",
        {manager_.ServingComponent("Gateway", tag + "_asyncdlgp", tag + "_DLGP"),
         manager_.ServingComponent("Scanner", tag + "_scanner", tag + "_SCN"),
         manager_.ServingComponent("Store", tag + "_store", tag + "_STO",
                                   "--forward-status=" + std::to_string(forward_status)),
         manager_.ServingComponent("Forward", tag + "_forward", tag + "_FWD")});
    server.snf_usage = 1;
    return server;
  }

  /// Starts the server and lets a status request record its run status.
  void Start(TelmoClient& client, const std::string& tag) {
    auto started = ServerRequest(client, TELMO_TT_START_SERVER, tag + "_DLGP");
    ASSERT_TRUE(started.ok());
    ASSERT_FALSE(started->status.failed()) << started->status.describe();
    for (const char* suffix : {"_DLGP", "_SCN", "_STO", "_FWD"}) ASSERT_TRUE(manager_.WaitReady(tag + suffix));
    auto status = ServerRequest(client, TELMO_TT_GET_SERVER_STATUS, tag + "_DLGP");
    ASSERT_TRUE(status.ok());
    ASSERT_EQ(StatusRecord(*status).run_status, 2);
  }

  [[nodiscard]] int StoreLogCount(const std::string& tag, const std::string& needle) const {
    return Occurrences(manager_.node.log_dir() / "components" / (tag + "_STO.log"), needle);
  }

  static std::int32_t IntReply(TelmoClient& client, std::int32_t tt) {
    auto reply = client.Request(tt, {}, 15s);
    EXPECT_TRUE(reply.ok());
    if (!reply.ok()) return -1;
    EXPECT_FALSE(reply->status.failed()) << reply->status.describe();
    auto value = collab::DecodeInt(reply->payload);
    EXPECT_TRUE(value.ok());
    return value.ok() ? *value : -1;
  }

  static StatusBlock Refresh(TelmoClient& client, std::int32_t is_finish) {
    auto reply = client.Request(TELMO_TT_REFRESH_COLLABORATIVE, collab::EncodeInt(is_finish), 15s);
    EXPECT_TRUE(reply.ok());
    return reply.ok() ? reply->status : StatusBlock{};
  }

  ManagerNode manager_;
};

TEST_F(Collaborative, WithoutStoresEveryRequestIsStillAnswered) {
  AddStoreServer("IDLE", 5);  // configured, never started
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect(Requester("OTHERNODE", "anyone"));  // no rights needed

  EXPECT_FALSE(Refresh(client, 0).failed());
  auto resumed = client.Request(TELMO_TT_RESUME_COLLABORATIVE, {}, 15s);
  ASSERT_TRUE(resumed.ok());
  EXPECT_FALSE(resumed->status.failed());
  EXPECT_EQ(IntReply(client, TELMO_TT_COLLAB_SOURCE_FWD_STATUS), 0);
  EXPECT_EQ(LogCount("Telmo Collaborative - TELMO_TT_REFRESH_COLLABORATIVE message received. isFinish:0 \n"), 1);
  EXPECT_EQ(LogCount("Telmo Collaborative - TELMO_TT_RESUME_COLLABORATIVE message received.\n"), 1);
  EXPECT_EQ(LogCount("Telmo Collaborative - collaborative forward status summary: 0\n"), 1);
  EXPECT_EQ(LogCount("Error returned"), 0);
}

TEST_F(Collaborative, OrdersReachRunningStoresOnlyAndTheSummaryIsTheFirstNonZero) {
  AddStoreServer("XS", 3);
  AddStoreServer("YS", 0);
  AddStoreServer("ZS", 7);
  AddStoreServer("OFF", 9);  // stopped: never asked
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect();
  for (const char* tag : {"XS", "YS", "ZS"}) Start(client, tag);

  EXPECT_EQ(IntReply(client, TELMO_TT_COLLAB_SOURCE_FWD_STATUS), 3);
  EXPECT_FALSE(Refresh(client, 0).failed());
  ASSERT_TRUE(client.Request(TELMO_TT_RESUME_COLLABORATIVE, {}, 15s).ok());
  const std::string manager = "from TESTNODE/TELMOManager";
  for (const char* tag : {"XS", "YS", "ZS"}) {
    SCOPED_TRACE(tag);
    EXPECT_EQ(StoreLogCount(tag, "collaborative forward status"), 1);
    EXPECT_EQ(StoreLogCount(tag, "collaborative refresh (is-finish 0) " + manager), 1);
    EXPECT_EQ(StoreLogCount(tag, "collaborative resume " + manager), 1);
  }
  EXPECT_FALSE(fs::exists(manager_.node.log_dir() / "components" / "OFF_STO.log"));

  // 0 then 7: the summary is 7.
  ASSERT_FALSE(ServerRequest(client, TELMO_TT_STOP_SERVER, "XS_DLGP")->status.failed());
  EXPECT_EQ(StatusRecord(*ServerRequest(client, TELMO_TT_GET_SERVER_STATUS, "XS_DLGP")).run_status, 0);
  EXPECT_EQ(IntReply(client, TELMO_TT_COLLAB_SOURCE_FWD_STATUS), 7);

  // A server whose store went down is skipped once its run status is known ...
  ServerRecord& z = *TELMO_MGMT_FindServer("ZS_DLGP", gServerTable);
  ASSERT_TRUE(CrashProcess(RecordedPid(z, 2)));
  EXPECT_EQ(StatusRecord(*ServerRequest(client, TELMO_TT_GET_SERVER_STATUS, "ZS_DLGP")).run_status, 1);
  EXPECT_EQ(IntReply(client, TELMO_TT_COLLAB_SOURCE_FWD_STATUS), 0);
  EXPECT_EQ(LogCount("Error returned"), 0);

  // ... and one found down by the order itself is logged, the walk goes on.
  ServerRecord& y = *TELMO_MGMT_FindServer("YS_DLGP", gServerTable);
  const DWORD y_store = RecordedPid(y, 2);
  ASSERT_TRUE(CrashProcess(y_store));
  EXPECT_EQ(IntReply(client, TELMO_TT_COLLAB_SOURCE_FWD_STATUS), 0);
  EXPECT_EQ(LogCount("Telmo Collaborative - Error returned while getting the forward status of [YS_STO].\n"), 1);
}

TEST_F(Collaborative, ChangeTypeComparesAFreshLoadWithTheWorkersConfiguration) {
  WriteConfig("NODE1\nNODE2\n");
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect();
  ASSERT_TRUE(Eventually([] { return Occurrences(ClientLog(), kLoadedLine) == 1; }));
  EXPECT_EQ(Occurrences(ClientLog(), "Total Nodes in collaborative are 2, Status:2 \n"), 1);

  const std::vector<std::pair<std::string, std::int32_t>> cases = {
      {"node1\nNODE2\n", 3},                 // names compare without case
      {"NODE1\n", 6},                        // removed
      {"NODE1\nNODE2\nNODE3\n", 4},          // added, empty second text
      {"NODE1\nNODE2\nNODE3 standby\n", 5},  // added with a second text
      {"NODE1\nNODE3\n", 4},                 // removed and added
      {"", 0},                               // no collaborative
      {std::string(40, 'N') + "\n", kCollabMalformed},  // not loaded: never compared
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    WriteConfig(text);
    EXPECT_EQ(IntReply(client, TELMO_TT_COLLABORATIVE_STATUS), expected);
  }
  EXPECT_EQ(Occurrences(ClientLog(), "Telmo Collaborative - Collaborative information not loaded. Status: 10 \n"), 1);
  EXPECT_EQ(LogCount("Telmo Collaborative - TELMO_TT_GET_COLLAB_CHANGE_TYPE message received.\n"), 7);
  // A change-type request never replaces the worker's configuration.
  EXPECT_EQ(Occurrences(ClientLog(), kLoadedLine), 1);
}

TEST_F(Collaborative, RefreshReloadsOnlyAtItsFinishAndResumeAlways) {
  WriteConfig("NODE1\n");
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect();
  WriteConfig("NODE1\nNODE2\n");

  EXPECT_FALSE(Refresh(client, 0).failed());
  EXPECT_EQ(IntReply(client, TELMO_TT_COLLABORATIVE_STATUS), 4);
  EXPECT_EQ(Occurrences(ClientLog(), kLoadedLine), 1);
  EXPECT_FALSE(Refresh(client, 1).failed());
  EXPECT_TRUE(Eventually([] { return Occurrences(ClientLog(), kLoadedLine) == 2; }));  // reloaded after the reply
  EXPECT_EQ(IntReply(client, TELMO_TT_COLLABORATIVE_STATUS), 3);

  WriteConfig("NODE2\n");
  ASSERT_TRUE(client.Request(TELMO_TT_RESUME_COLLABORATIVE, {}, 15s).ok());
  EXPECT_TRUE(Eventually([] { return Occurrences(ClientLog(), kLoadedLine) == 3; }));
  EXPECT_EQ(IntReply(client, TELMO_TT_COLLABORATIVE_STATUS), 3);
}

TEST_F(Collaborative, ARefreshThatDoesNotParseIsAnsweredWithTheErrorAndNotCarriedOut) {
  WriteConfig("NODE1\n");
  AddStoreServer("PS", 0);
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect();
  Start(client, "PS");

  const std::vector<std::uint8_t> short_payload = {1, 0, 0};
  auto reply = client.Request(TELMO_TT_REFRESH_COLLABORATIVE, short_payload, 15s);
  ASSERT_TRUE(reply.ok());
  EXPECT_TRUE(reply->status.holds(kFacilityMessaging, kMsgMalformedPayload)) << reply->status.describe();
  EXPECT_EQ(StoreLogCount("PS", "collaborative refresh"), 0);
  EXPECT_EQ(LogCount("TELMO_TT_REFRESH_COLLABORATIVE message received"), 0);
  EXPECT_EQ(Occurrences(ClientLog(), kLoadedLine), 1);
}

TEST_F(Collaborative, EveryWorkerLogsWhatItLoadedAtItsStart) {
  manager_.AddService("TELMOManager");
  Text32 node;
  StatusBlock block;
  ASSERT_EQ(TELMO_SERVER_INIT(1, "TELMOManager", node, block), 1);
  const int no_action = 99;  // a worker that loads its configuration and does nothing else
  WriteConfig("");           // the entry point's empty file: no collaborative
  EXPECT_EQ(WorkerThread(&no_action), 0u);
  EXPECT_EQ(Occurrences(ClientLog(), "Telmo Collaborative - Collaborative does not exists.\n"), 1);
  fs::remove(manager_.node.mgmt_dir() / "Collaborative.cfg");
  fs::create_directories(manager_.node.mgmt_dir() / "Collaborative.cfg");  // cannot be read
  EXPECT_EQ(WorkerThread(&no_action), 0u);
  TELMO_SERVER_EXIT(block);
  EXPECT_EQ(Occurrences(ClientLog(), "Telmo Collaborative - Collaborative information not loaded from configuration "
                                     "file. Status:1 \n"),
            1);
}

}  // namespace
}  // namespace telmo::test
