// Start, stop and status of servers through the request loop, end to end
// with fake components.
#include "request_support.h"

namespace telmo::test {
namespace {

constexpr const char* kForcibleText = "Zarvel Telmo Manager forcibly terminating process";

class ServerControl : public ::testing::Test {
 protected:
  ManagerNode manager_;
};

TEST_F(ServerControl, StartStatusAndStopOfAServer) {
  ServerRecord& server = manager_.AddServer(
      "Plant A", "PLANT_DLGP",
      {manager_.ServingComponent("Gateway", "plant_dlgp", "PLANT_DLGP"),
       manager_.ServingComponent("Deaf part", "plant_deaf", "PLANT_DEAF", "--ignore-shutdown")});
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect();

  // The lookup ignores letter case.
  auto started = ServerRequest(client, TELMO_TT_START_SERVER, "plant_dlgp");
  ASSERT_TRUE(started.ok());
  EXPECT_FALSE(started->status.failed()) << started->status.describe();
  ASSERT_TRUE(manager_.WaitReady("PLANT_DLGP"));
  ASSERT_TRUE(manager_.WaitReady("PLANT_DEAF"));
  EXPECT_EQ(LogCount("Starting server Plant A on request of root@TESTNODE\n"), 1);
  const DWORD gateway = RecordedPid(server, 0);
  const DWORD deaf = RecordedPid(server, 1);

  auto status = ServerRequest(client, TELMO_TT_GET_SERVER_STATUS, "PLANT_DLGP");
  ASSERT_TRUE(status.ok());
  EXPECT_FALSE(status->status.failed()) << status->status.describe();
  const ServerStatusRecord running = StatusRecord(*status);
  EXPECT_EQ(running.server_name, "Plant A");
  EXPECT_EQ(running.run_status, 2);
  EXPECT_EQ(running.components,
            (std::vector<ComponentStatusEntry>{{"Gateway", 1, 0}, {"Deaf part", 1, 0}}));

  auto stopped = ServerRequest(client, TELMO_TT_STOP_SERVER, "PLANT_DLGP");
  ASSERT_TRUE(stopped.ok());
  EXPECT_FALSE(stopped->status.failed()) << stopped->status.describe();
  EXPECT_TRUE(ProcessGone(gateway));
  EXPECT_TRUE(Eventually([&] { return ProcessGone(deaf); }));
  EXPECT_EQ(LogCount("Stopping server Plant A, component Gateway"), 1);
  EXPECT_EQ(LogCount("Stopping server Plant A, component Deaf part"), 1);
  // The gateway ended on the shut-down request; the deaf part had to be killed.
  EXPECT_EQ(LogCount(kForcibleText), 1);
  EXPECT_EQ(LogCount("Process name - \"Deaf part\" Service -\"PLANT_DEAF\""), 1);
  EXPECT_TRUE(ReadFile(manager_.node.log_dir() / "components" / "PLANT_DLGP.log").find("shut-down request: ending") !=
              std::string::npos);

  auto after = ServerRequest(client, TELMO_TT_GET_SERVER_STATUS, "PLANT_DLGP");
  ASSERT_TRUE(after.ok());
  EXPECT_EQ(StatusRecord(*after).run_status, 0);
  EXPECT_EQ(server.desired_state, kDesiredStateStopped);
}

TEST_F(ServerControl, StopAsksEveryComponentFirstAndWaitsOnceForAll) {
  // Five components that neither answer nor obey a shut-down request. Asked
  // one after the other, each cost the reply wait: ten seconds in all, longer
  // than a console waits. Asked together, they cost one wait.
  std::vector<ComponentSpec> deaf;
  for (int i = 0; i < 5; ++i) {
    const std::string n = std::to_string(i);
    deaf.push_back(manager_.ServingComponent("Deaf " + n, "deaf_" + n, "DEAF" + n, "--ignore-shutdown"));
  }
  ServerRecord& server = manager_.AddServer("Deaf", "DEAF0", deaf);
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect();
  ASSERT_TRUE(ServerRequest(client, TELMO_TT_START_SERVER, "DEAF0").ok());
  std::vector<DWORD> pids;
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(manager_.WaitReady("DEAF" + std::to_string(i)));
    pids.push_back(RecordedPid(server, static_cast<std::size_t>(i)));
  }

  // Asked in turn they would take 10 s; together one wait of 2 s (8 s leaves
  // room for a loaded machine).
  auto stopped = ServerRequest(client, TELMO_TT_STOP_SERVER, "DEAF0", 8s);
  ASSERT_TRUE(stopped.ok()) << "no answer within 8 s";
  EXPECT_FALSE(stopped->status.failed()) << stopped->status.describe();
  for (int i = 0; i < 5; ++i) {
    const std::string n = std::to_string(i);
    EXPECT_TRUE(Eventually([&] { return ProcessGone(pids[static_cast<std::size_t>(i)]); })) << n;
    EXPECT_NE(ReadFile(manager_.node.log_dir() / "components" / ("DEAF" + n + ".log")).find("shut-down request ignored"),
              std::string::npos)
        << n;
  }
  EXPECT_EQ(LogCount(kForcibleText), 5);
}

TEST_F(ServerControl, StopFromAnotherNodeIsRefusedAndTheServerKeepsRunning) {
  ServerRecord& server =
      manager_.AddServer("Kept", "KEPT_DLGP", {manager_.ServingComponent("Gateway", "kept_dlgp", "KEPT_DLGP")});
  RequestWorker worker(manager_);
  TelmoClient local = RequestWorker::Connect();
  ASSERT_TRUE(ServerRequest(local, TELMO_TT_START_SERVER, "KEPT_DLGP").ok());
  ASSERT_TRUE(manager_.WaitReady("KEPT_DLGP"));
  const DWORD pid = RecordedPid(server, 0);

  TelmoClient remote = RequestWorker::Connect(Requester("OTHERNODE", "root"));
  auto reply = ServerRequest(remote, TELMO_TT_STOP_SERVER, "KEPT_DLGP");
  ASSERT_TRUE(reply.ok());
  EXPECT_TRUE(reply->status.holds(kFacilityManagement, 15045)) << reply->status.describe();
  EXPECT_EQ(LogCount("Stopping DENIED for server Kept on request of root@OTHERNODE\n"), 1);
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(ProcessAlive(pid));
  EXPECT_EQ(server.desired_state, kDesiredStateStarted);
  auto status = ServerRequest(remote, TELMO_TT_GET_SERVER_STATUS, "KEPT_DLGP");  // status needs no rights
  ASSERT_TRUE(status.ok());
  EXPECT_EQ(StatusRecord(*status).run_status, 2);
}

TEST_F(ServerControl, StatusOfAnUnknownServiceIsEmptyEvenRightAfterAFullOne) {
  manager_.AddServer("Known", "KNOWN_DLGP",
                     {{"Gateway", "", manager_.InstallImage("known_dlgp").string(), "-"},
                      {"Helper", "", manager_.InstallImage("known_helper").string(), "-"}});
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect();
  ASSERT_TRUE(ServerRequest(client, TELMO_TT_START_SERVER, "KNOWN_DLGP").ok());

  for (const std::int32_t tt : {TELMO_TT_GET_SERVER_STATUS, TELMO_TT_GET_SERVER_STATUS_V1}) {
    SCOPED_TRACE(tt);
    auto full = ServerRequest(client, tt, "KNOWN_DLGP");
    ASSERT_TRUE(full.ok());
    EXPECT_EQ(StatusRecord(*full).components.size(), 2u);

    auto unknown = ServerRequest(client, tt, "UNKNOWN_DLGP");
    ASSERT_TRUE(unknown.ok());
    EXPECT_TRUE(unknown->status.holds(kFacilityManagement, 15017)) << unknown->status.describe();
    EXPECT_TRUE(unknown->status.holds(kFacilityManagement, 15022)) << unknown->status.describe();
    EXPECT_EQ(StatusRecord(*unknown), ServerStatusRecord{});
  }
}

TEST_F(ServerControl, StatusV1GivesEachComponentsLastConnectionStatus) {
  ServerRecord& server = manager_.AddServer(
      "Reporting", "UA_DLGP",
      {manager_.ServingComponent("Gateway", "ua_dlgp", "UA_DLGP", "--notify=2"),
       manager_.ServingComponent("Reader", "ua_read", "UA_READ"),
       manager_.ServingComponent("Writer", "ua_write", "UA_WRITE")});
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect(Requester("OTHERNODE", "ua"));  // anyone may notify
  TelmoClient local = RequestWorker::Connect();
  ASSERT_TRUE(ServerRequest(local, TELMO_TT_START_SERVER, "UA_DLGP").ok());
  ASSERT_TRUE(client.Post(TELMO_TT_NOTIFY_SERVER_STATUS, mgmt::EncodeStatusNotice("UA_DLGP", "UA_READ", 5).value(), 2s)
                  .ok());
  ASSERT_TRUE(client.Post(TELMO_TT_NOTIFY_SERVER_STATUS, mgmt::EncodeStatusNotice("UA_DLGP", "UA_WRITE", 7).value(), 2s)
                  .ok());
  // Exact matches only: another letter case changes nothing.
  ASSERT_TRUE(client.Post(TELMO_TT_NOTIFY_SERVER_STATUS, mgmt::EncodeStatusNotice("ua_dlgp", "UA_WRITE", 9).value(), 2s)
                  .ok());
  ASSERT_TRUE(client.Post(TELMO_TT_NOTIFY_SERVER_STATUS, mgmt::EncodeStatusNotice("UA_DLGP", "ua_write", 9).value(), 2s)
                  .ok());

  ServerStatusRecord record;
  EXPECT_TRUE(Eventually([&] {
    auto reply = ServerRequest(client, TELMO_TT_GET_SERVER_STATUS_V1, "UA_DLGP");
    record = reply.ok() ? StatusRecord(*reply) : ServerStatusRecord{};
    return !record.components.empty() && record.components[0].conn_status == 2;
  })) << "the gateway's own report never arrived";
  EXPECT_EQ(record.run_status, 2);
  EXPECT_EQ(record.components, (std::vector<ComponentStatusEntry>{{"Gateway", 1, 2}, {"Reader", 1, 5}, {"Writer", 1, 7}}));
  EXPECT_EQ(LogCount("[UA_DLGP][UA_READ] TELMO_TT_NOTIFY_SERVER_STATUS message received. CONNSTATUS:5 \n"), 1);
  EXPECT_EQ(LogCount("[TELMO_TT_NOTIFY_SERVER_STATUS] UPDATED SERVICE:UA_DLGP, COMPONENT:UA_WRITE CONNSTATUS:7, "),
            1);
  EXPECT_EQ(LogCount("CONNSTATUS:9, "), 0);

  // A component found down loses its connection status; TT 22 carries none.
  ASSERT_TRUE(CrashProcess(RecordedPid(server, 1)));
  auto v1 = ServerRequest(client, TELMO_TT_GET_SERVER_STATUS_V1, "UA_DLGP");
  ASSERT_TRUE(v1.ok());
  EXPECT_EQ(StatusRecord(*v1).run_status, 1);
  EXPECT_EQ(StatusRecord(*v1).components[1], (ComponentStatusEntry{"Reader", 0, 0}));
  auto v0 = ServerRequest(client, TELMO_TT_GET_SERVER_STATUS, "UA_DLGP");
  ASSERT_TRUE(v0.ok());
  EXPECT_EQ(StatusRecord(*v0).components[2], (ComponentStatusEntry{"Writer", 1, 0}));
}

TEST_F(ServerControl, StartFailingPartWayIsReportedAndKeepsWhatStarted) {
  ServerRecord& server = manager_.AddServer(
      "Half", "HALF_DLGP",
      {manager_.ServingComponent("Gateway", "half_dlgp", "HALF_DLGP"),
       {"Missing part", "", (manager_.bin() / "not_installed").string(), "-"}});
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect();
  auto reply = ServerRequest(client, TELMO_TT_START_SERVER, "HALF_DLGP");
  ASSERT_TRUE(reply.ok());
  EXPECT_TRUE(reply->status.holds(kFacilityManagement, 15018)) << reply->status.describe();
  ASSERT_TRUE(manager_.WaitReady("HALF_DLGP"));
  auto status = ServerRequest(client, TELMO_TT_GET_SERVER_STATUS, "HALF_DLGP");
  ASSERT_TRUE(status.ok());
  // The missing part has no process: the server runs only partly.
  EXPECT_EQ(StatusRecord(*status).run_status, 1);
  EXPECT_EQ(StatusRecord(*status).components,
            (std::vector<ComponentStatusEntry>{{"Gateway", 1, 0}, {"Missing part", 0, 0}}));
  EXPECT_EQ(server.desired_state, kDesiredStateStarted);
}

TEST_F(ServerControl, MalformedControlRequestsReportFailure) {
  manager_.AddServer("Any", "ANY_DLGP", {{"Gateway", "", manager_.InstallImage("any_dlgp").string(), "-"}});
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect();
  const std::vector<std::uint8_t> short_name(7, 'A');
  auto start = client.Request(TELMO_TT_START_SERVER, short_name, 5s);
  ASSERT_TRUE(start.ok());
  EXPECT_TRUE(start->status.holds(kFacilityManagement, 15018)) << start->status.describe();
  auto stop = client.Request(TELMO_TT_STOP_SERVER, {}, 5s);
  ASSERT_TRUE(stop.ok());
  EXPECT_TRUE(stop->status.holds(kFacilityManagement, 15019)) << stop->status.describe();
  // A status request that does not parse names no server: "no status given",
  // never a clear status that would read as "exists and is stopped".
  auto status = client.Request(TELMO_TT_GET_SERVER_STATUS, short_name, 5s);
  ASSERT_TRUE(status.ok());
  EXPECT_TRUE(status->status.holds(kFacilityManagement, 15022)) << status->status.describe();
  EXPECT_EQ(StatusRecord(*status), ServerStatusRecord{});
  EXPECT_EQ(gServerTable.head()->desired_state, kDesiredStateStopped);
  // A notice that does not parse is dropped; the loop goes on.
  ASSERT_TRUE(client.Post(TELMO_TT_NOTIFY_SERVER_STATUS, short_name, 2s).ok());
  EXPECT_TRUE(client.Request(TELMO_TT_GET_MGMT_PARAMS, {}, 5s).ok());
}

}  // namespace
}  // namespace telmo::test
