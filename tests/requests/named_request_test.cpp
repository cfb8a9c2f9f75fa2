// Named requests (TT 15) through the request loop: the envelope, the short
// handlers and what they change on the node.
#include "external/telmo_frame.h"
#include "platform/registry.h"
#include "requests/named_requests.h"
#include "supervision/checks.h"
#include "util/period_slots.h"
#include "request_support.h"

namespace telmo::test {
namespace {

const std::string k31(31, 'S');
const std::string k32(32, 'S');

class Named : public ::testing::Test {
 protected:
  void SetUp() override {
    requests::ResetNamedRequestState();
    LogSlots().Reset();
  }
  void TearDown() override {
    worker_.reset();
    for (const auto& server : gServerTable.records()) server->desired_state = kDesiredStateStopped;
  }

  void StartWorker() {
    worker_.emplace(manager_);
    client_ = RequestWorker::Connect();
  }

  /// Sends the texts as a named request and, under the same transaction
  /// number, NoWriteOption: the first reply that comes is the request's own,
  /// or NoWriteOption's when the request got none. The texts of that reply.
  std::vector<std::string> FirstReply(std::initializer_list<std::string_view> texts) {
    return FirstReplyTo(Encoded(texts));
  }
  std::vector<std::string> FirstReplyTo(const std::vector<std::uint8_t>& data) {
    const std::uint32_t transnum = TelmoClient::NextTransnum();
    for (const auto& payload : {data, Encoded({"NoWriteOption"})}) {
      TelmoMessage m;
      m.tt = TELMO_TT_MSG;
      m.transnum = transnum;
      m.requester = client_.requester();
      m.payload = mgmt::EncodeNamedPayload(7, TelmoNameBlock{'n', 'b'}, payload);
      EXPECT_TRUE(client_.SendMessage(m, 2s).ok());
    }
    auto reply = client_.AwaitReply(transnum, 10s);
    if (!reply.ok()) {
      ADD_FAILURE() << "no reply at all";
      return {};
    }
    // Type and name block come back as they were sent.
    EXPECT_EQ(wire::GetI32(reply->payload.data()), 7);
    EXPECT_EQ(reply->payload.at(4), 'n');
    auto texts = mgmt::ParseShortReply(std::span(reply->payload).subspan(mgmt::kNamedHeader));
    EXPECT_TRUE(texts.ok());
    return texts.ok() ? texts.value() : std::vector<std::string>{};
  }
  static std::vector<std::uint8_t> Encoded(std::initializer_list<std::string_view> texts) {
    auto data = mgmt::EncodeTexts(texts);
    EXPECT_TRUE(data.ok());
    return data.ok() ? data.value() : std::vector<std::uint8_t>{};
  }
  /// The request got no reply: the first reply is NoWriteOption's.
  bool NoReply(std::initializer_list<std::string_view> texts) {
    const auto first = FirstReply(texts);
    return !first.empty() && first[0] == "NoWriteOption";
  }

  static void MakeProductKey() {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvelco\\TELMO", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
  }
  static std::optional<DWORD> ProductDword(const char* name) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvelco\\TELMO", 0, KEY_READ, &key) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    auto value = platform::RegGetDword(key, name);
    return value.ok() ? std::optional<DWORD>(value.value()) : std::nullopt;
  }
  static int ClientLogCount(const std::string& needle) { return Occurrences(LogPath(LogKind::kClient), needle); }

  ManagerNode manager_;
  std::optional<RequestWorker> worker_;
  TelmoClient client_;
};

TEST_F(Named, ActionNamesMatchExactlyAndPayloadsThatEndEarlyAreDropped) {
  StartWorker();
  EXPECT_EQ(FirstReply({"NoWriteOption"}).at(0), "NoWriteOption");
  EXPECT_TRUE(NoReply({"agreeonport", "SVC", "7000"}));
  EXPECT_TRUE(NoReply({"NoSuchAction"}));
  // Texts missing, or the last one not terminated within the payload.
  EXPECT_TRUE(NoReply({"AgreeOnPort", "SVC"}));
  std::vector<std::uint8_t> cut = Encoded({"GetRemoteServicePort", "TELMOManager"});
  cut.pop_back();
  EXPECT_EQ(FirstReplyTo(cut).at(0), "NoWriteOption");
  EXPECT_EQ(FirstReplyTo({}).at(0), "NoWriteOption");
  EXPECT_FALSE(fs::exists(manager_.node.services_file()) &&
               ReadFile(manager_.node.services_file()).find("SVC ") != std::string::npos);
}

TEST_F(Named, ParamsSetWritesListedFlagsOfALocalRequesterOnly) {
  MakeProductKey();
  StartWorker();
  EXPECT_TRUE(NoReply({"telmo_c_ParamsSet", "18", "1"}));
  EXPECT_EQ(ProductDword("TELMOSendCleanupCancels"), 1u);
  EXPECT_EQ(ClientLogCount("Request to reset key TELMOSendCleanupCancels was successful\n"), 1);
  EXPECT_TRUE(NoReply({"telmo_c_ParamsSet", "8", "1"}));
  EXPECT_EQ(ProductDword("TELMOSFRejectOldData"), 1u);
  EXPECT_EQ(ClientLogCount("Request to set key TELMOSFRejectOldData was successful\n"), 1);
  EXPECT_TRUE(NoReply({"telmo_c_ParamsSet", "9", "1"}));
  EXPECT_EQ(ClientLogCount("Update to TELMO variable ID 9 is not supported yet.\n"), 1);
  // An ID longer than its field is dropped, not cut to another ID.
  EXPECT_TRUE(NoReply({"telmo_c_ParamsSet", "13000", "1"}));
  EXPECT_FALSE(ProductDword("TELMORescanLogicalDevices"));

  client_ = RequestWorker::Connect(Requester("OTHERNODE", "root"));
  EXPECT_TRUE(NoReply({"telmo_c_ParamsSet", "16", "1"}));
  EXPECT_FALSE(ProductDword("TELMOChangeoverStandbyCleanup"));
  EXPECT_EQ(ClientLogCount("TELMOChangeoverStandbyCleanup"), 0);
}

TEST_F(Named, ParamsSetNeverCreatesTheProductKey) {
  StartWorker();
  EXPECT_TRUE(NoReply({"telmo_c_ParamsSet", "8", "0"}));
  EXPECT_EQ(ClientLogCount("Failed to reset key TELMOSFRejectOldData\n"), 1);
  HKEY key;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvelco\\TELMO", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(Named, CreateTasksRegistersTheTextsOfALocalRequester) {
  MakeProductKey();
  StartWorker();
  EXPECT_TRUE(NoReply({"CreateTasks", "t1", "t2", "t3", "4", "5", "6"}));
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvelco\\TELMO\\Tasks\\t3", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  std::vector<std::string> stored;
  for (int i = 1; i <= 6; ++i) stored.push_back(platform::RegGetString(key, "Task" + std::to_string(i)).value());
  EXPECT_EQ(stored, (std::vector<std::string>{"t3", "t1", "4", "5", "6", "t2"}));
  // The fourth text must be one character: the fields after it would shift.
  EXPECT_TRUE(NoReply({"CreateTasks", "u1", "u2", "u3", "44", "5", "6"}));
  EXPECT_NE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvelco\\TELMO\\Tasks\\u3", 0, KEY_READ, &key),
            ERROR_SUCCESS);
}

TEST_F(Named, GetSNFEnabledFlagAnswersYNOrX) {
  manager_.node.Set("TELMO_DIAG", "1");
  ServerRecord& server = manager_.AddServer("Boiler", "BOILER_DLGP", {});
  server.snf_usage = 1;
  StartWorker();
  EXPECT_EQ(FirstReply({"GetSNFEnabledFlag", "boiler_dlgp"}),
            (std::vector<std::string>{"GetSNFEnabledFlag", "boiler_dlgp", "Y"}));
  EXPECT_EQ(FirstReply({"GetSNFEnabledFlag", "NOPE"}), (std::vector<std::string>{"GetSNFEnabledFlag", "NOPE", "X"}));
  EXPECT_EQ(FirstReply({"GetSNFEnabledFlag", "NOPE"}).at(2), "X");
  const std::string not_found = ">>>_GetSNFEnabledFlag: Not found server for service: NOPE.\n";
  EXPECT_EQ(ClientLogCount(not_found), 1);
  EXPECT_EQ(Occurrences(LogPath(LogKind::kDiagnostic), not_found), 2);
  // 31 characters are looked up; 32 get no reply.
  EXPECT_EQ(FirstReply({"GetSNFEnabledFlag", k31}).at(2), "X");
  EXPECT_TRUE(NoReply({"GetSNFEnabledFlag", k32}));
  EXPECT_EQ(ClientLogCount(">>>_GetSNFEnabledFlag: Service name passed had incorrect length =[32]"), 1);
}

TEST_F(Named, SetHealthCheckFlagChangesWhatThePeriodicCheckDoes) {
  ServerRecord& server =
      manager_.AddServer("Pump", "PUMP_DLGP", {manager_.ServingComponent("Gateway", "pump_dlgp", "PUMP_DLGP")});
  StartWorker();
  ASSERT_TRUE(ServerRequest(client_, TELMO_TT_START_SERVER, "PUMP_DLGP").ok());
  ASSERT_TRUE(manager_.WaitReady("PUMP_DLGP"));

  EXPECT_EQ(FirstReply({"SetHealthCheckFlag", "PUMP_DLGP", "2", "0"}).at(2), "X");
  EXPECT_EQ(server.health_check, 1);
  EXPECT_EQ(FirstReply({"SetHealthCheckFlag", "PUMP_DLGP", "0", "0"}).at(2), "Y");
  EXPECT_EQ(FirstReply({"SetHealthCheckFlag", "PUMP_DLGP", "1", "0"}).at(2), "N");
  EXPECT_EQ(server.health_check, 0);
  EXPECT_EQ(FirstReply({"SetHealthCheckFlag", "NOPE", "1", "1"}).at(2), "X");
  EXPECT_TRUE(NoReply({"SetHealthCheckFlag", "PUMP_DLGP", "1"}));

  // With the flag off the check leaves the dead gateway alone; on, it restarts it.
  const DWORD pid = RecordedPid(server, 0);
  ASSERT_TRUE(CrashProcess(pid));
  TELMO_MGMT_CheckServers(gServerTable);
  EXPECT_EQ(RecordedPid(server, 0), pid);
  EXPECT_EQ(FirstReply({"SetHealthCheckFlag", "PUMP_DLGP", "1", "1"}).at(2), "Y");
  fs::remove(manager_.ReadyFile("PUMP_DLGP"));
  TELMO_MGMT_CheckServers(gServerTable);
  EXPECT_TRUE(manager_.WaitReady("PUMP_DLGP"));
  EXPECT_NE(RecordedPid(server, 0), pid);
}

TEST_F(Named, AgreeOnPortAddsTheServiceOnlyWhenItAgrees) {
  StartWorker();
  const int taken = manager_.AddService("TAKEN_SVC");
  EXPECT_EQ(FirstReply({"AgreeOnPort", "NEW_SVC", "41000"}),
            (std::vector<std::string>{"AgreeOnPort", "NEW_SVC", "41000"}));
  EXPECT_EQ(TELMO_MGMT_GetServicePort("NEW_SVC"), 41000);
  const auto counter = FirstReply({"AgreeOnPort", "OTHER_SVC", std::to_string(taken)});
  EXPECT_NE(counter.at(2), std::to_string(taken));
  EXPECT_EQ(TELMO_MGMT_GetServicePort("OTHER_SVC"), 0);
  // A name longer than the field is dropped, not cut to another service.
  EXPECT_TRUE(NoReply({"AgreeOnPort", k32, "41002"}));
  EXPECT_EQ(TELMO_MGMT_GetServicePort(k31), 0);
}

TEST_F(Named, NoWriteOptionAsksOnceUnlessTheAnswerWasMinusOne) {
  StartWorker();
  EXPECT_EQ(FirstReply({"NoWriteOption"}), (std::vector<std::string>{"NoWriteOption", "-1"}));
  MakeProductKey();
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvelco\\TELMO", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  ASSERT_TRUE(platform::RegSetDword(key, "TELMONoWriteMode", 3).ok());
  EXPECT_EQ(FirstReply({"NoWriteOption"}).at(1), "3");
  ASSERT_TRUE(platform::RegSetDword(key, "TELMONoWriteMode", 0).ok());
  EXPECT_EQ(FirstReply({"NoWriteOption"}).at(1), "3");
}

TEST_F(Named, GetRemoteServicePortAnswersHighPortsAsTheyAre) {
  StartWorker();
  ASSERT_TRUE(AddServiceToFile("HIGH_SVC", 40000));
  ASSERT_TRUE(AddServiceToFile(k31, 40001));
  EXPECT_EQ(FirstReply({"GetRemoteServicePort", "high_svc"}),
            (std::vector<std::string>{"GetRemoteServicePort", "high_svc", "40000"}));
  EXPECT_EQ(FirstReply({"GetRemoteServicePort", k31}).at(2), "0");
  EXPECT_EQ(FirstReply({"GetRemoteServicePort", ""}), (std::vector<std::string>{"GetRemoteServicePort"}));
}

}  // namespace
}  // namespace telmo::test
