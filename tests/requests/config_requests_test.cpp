// Configuration requests end to end through the request loop: server
// configurations (read, add, modify, remove), services-file entries, logical
// devices and a manager-parameters request that does not parse; the console's
// commands for them.
#include <cerrno>
#include <cstring>

#include "config/configuration_wire.h"
#include "config/server_file.h"
#include "external/telmo_config.h"
#include "external/telmo_config_requests.h"
#include "external/telmo_devices.h"
#include "external/telmo_frame.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "request_support.h"

namespace telmo::test {
namespace {

int IndexOf(const TelmoMessage& reply) {
  auto index = mgmt::DecodeComponentIndex(reply.payload);
  EXPECT_TRUE(index.ok());
  return index.ok() ? *index : -99;
}

ServerRecord* Find(const std::string& service) { return TELMO_MGMT_FindServer(service, gServerTable); }

class ConfigRequests : public ::testing::Test {
 protected:
  /// A server whose one component is a fake gateway serving `service`.
  ServerConfiguration Gateway(const std::string& name, const std::string& service) {
    const ComponentSpec spec = manager_.ServingComponent("Gateway", service + "_gw", service);
    ServerConfiguration c;
    c.name = name;
    c.dlgp_service = Text32(service);
    c.dlgp_port = TELMO_MGMT_GetServicePort(service);
    c.components.push_back({spec.name, Text32(spec.service), 0, spec.executable, spec.arguments, 0, 0, 0, 0});
    return c;
  }

  static Result<TelmoMessage> Send(TelmoClient& client, bool add, const ServerConfiguration& c) {
    auto payload = mgmt::EncodeConfigurationRequest(c.dlgp_service.view(), add, c);
    EXPECT_TRUE(payload.ok());
    return client.Request(add ? TELMO_TT_ADD_SERVER : TELMO_TT_MODIFY_SERVER_CONFIGURATION, payload.value(), 15s);
  }

  static Result<TelmoMessage> Remove(TelmoClient& client, std::int32_t tt, const std::string& service,
                                     std::optional<bool> flag = std::nullopt) {
    return client.Request(tt, mgmt::EncodeRemoveRequest(service, flag).value(), 15s);
  }

  // The server table is the process's: each case starts and ends with it empty.
  void SetUp() override { EmptyServerTable(); }
  void TearDown() override { EmptyServerTable(); }
  static void EmptyServerTable() {
    StatusBlock status;
    ServerTableLock lock(gServerTable, status);
    for (auto& record : gServerTable.TakeAll()) config::FreeServerRecord(gProcessTable, std::move(record));
  }

  [[nodiscard]] fs::path FileOf(const std::string& service) const {
    return manager_.node.mgmt_dir() / (service + ".csd");
  }

  ManagerNode manager_;
};

TEST_F(ConfigRequests, AddCreatesAStoppedServerAndAddingItAgainChangesNothing) {
  const ServerConfiguration config = Gateway("Plant A", "PLANT_DLGP");
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect();

  auto added = Send(client, true, config);
  ASSERT_TRUE(added.ok());
  EXPECT_FALSE(added->status.failed()) << added->status.describe();
  EXPECT_EQ(IndexOf(*added), -1);
  ServerRecord* server = Find("PLANT_DLGP");
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(server->desired_state, kDesiredStateStopped);
  EXPECT_EQ(LogCount("Adding server Plant A on request of root@TESTNODE\n"), 1);
  const std::string file = ReadFile(FileOf("PLANT_DLGP"));
  EXPECT_EQ(file.rfind("Plant A,PLANT_DLGP,\n", 0), 0u) << file;

  auto got = ServerRequest(client, TELMO_TT_GET_SERVER_CONFIGURATION, "plant_dlgp");
  ASSERT_TRUE(got.ok());
  auto read = mgmt::DecodeServerConfiguration(got->payload);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read->name, "Plant A");
  EXPECT_EQ(read->components.at(0).arguments, config.components[0].arguments);

  ASSERT_TRUE(ServerRequest(client, TELMO_TT_START_SERVER, "PLANT_DLGP").ok());
  ASSERT_TRUE(manager_.WaitReady("PLANT_DLGP"));
  const DWORD pid = RecordedPid(*server, 0);
  ServerConfiguration other = config;
  other.name = "Plant B";
  auto again = Send(client, true, other);
  ASSERT_TRUE(again.ok());
  EXPECT_FALSE(again->status.failed()) << again->status.describe();
  EXPECT_EQ(IndexOf(*again), -1);
  EXPECT_EQ(ReadFile(FileOf("PLANT_DLGP")), file);
  EXPECT_EQ(Find("PLANT_DLGP"), server);
  EXPECT_EQ(server->name, "Plant A");
  EXPECT_TRUE(ProcessAlive(pid));
}

TEST_F(ConfigRequests, ModifyOfAnUnknownServiceSavesItAsANewServer) {
  const ServerConfiguration config = Gateway("Newcomer", "NEW_DLGP");
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect();
  auto reply = Send(client, false, config);
  ASSERT_TRUE(reply.ok());
  EXPECT_TRUE(reply->status.holds(kFacilityManagement, 15017)) << reply->status.describe();
  EXPECT_NE(Find("NEW_DLGP"), nullptr);
  EXPECT_TRUE(fs::exists(FileOf("NEW_DLGP")));
}

TEST_F(ConfigRequests, ModifyOfARunningServerStopsItAndLeavesTheNewConfigurationStopped) {
  const ServerConfiguration config = Gateway("Before", "MOD_DLGP");
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect();
  ASSERT_FALSE(Send(client, true, config)->status.failed());
  ASSERT_TRUE(ServerRequest(client, TELMO_TT_START_SERVER, "MOD_DLGP").ok());
  ASSERT_TRUE(manager_.WaitReady("MOD_DLGP"));
  const DWORD pid = RecordedPid(*Find("MOD_DLGP"), 0);

  ServerConfiguration changed = config;
  changed.name = "After";
  auto reply = Send(client, false, changed);
  ASSERT_TRUE(reply.ok());
  EXPECT_FALSE(reply->status.failed()) << reply->status.describe();
  EXPECT_TRUE(Eventually([&] { return ProcessGone(pid); }));
  ServerRecord* server = Find("MOD_DLGP");
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(server->name, "After");
  EXPECT_EQ(server->desired_state, kDesiredStateStopped);
  EXPECT_LT(gProcessTable.Find(server, server->components[0].get()), 0);
  EXPECT_EQ(gServerTable.size(), 1u);
  EXPECT_EQ(ReadFile(FileOf("MOD_DLGP")).rfind("After,MOD_DLGP,", 0), 0u) << ReadFile(FileOf("MOD_DLGP"));
  EXPECT_EQ(LogCount("Modifying server After on request of root@TESTNODE\n"), 1);
  // Its services-file entry stays.
  EXPECT_NE(TELMO_MGMT_GetServicePort("MOD_DLGP"), 0);
}

TEST_F(ConfigRequests, AddWithTheDlgpServiceOnAnotherPortIsAddedWithThatError) {
  ServerConfiguration config = Gateway("Moved", "MOVED_DLGP");
  config.dlgp_port += 1;
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect();
  auto reply = Send(client, true, config);
  ASSERT_TRUE(reply.ok());
  EXPECT_TRUE(reply->status.holds(kFacilityManagement, 15032)) << reply->status.describe();
  EXPECT_NE(Find("MOVED_DLGP"), nullptr);
}

TEST_F(ConfigRequests, RequestsFromAnotherNodeAreDeniedAndChangeNothing) {
  manager_.UsePam(true);
  ServerConfiguration config = Gateway("Guarded", "GUARD_DLGP");
  config.username = "nobody";
  config.password = "pw";
  const ServerConfiguration stranger = Gateway("Stranger", "STRANGE_DLGP");
  RequestWorker worker(manager_);
  TelmoClient local = RequestWorker::Connect();
  ASSERT_FALSE(Send(local, true, config)->status.failed());
  const std::string file = ReadFile(FileOf("GUARD_DLGP"));

  TelmoClient remote = RequestWorker::Connect(Requester("OTHERNODE", "bob"));
  ServerConfiguration changed = config;
  changed.name = "Changed";
  for (auto reply : {Send(remote, true, stranger), Send(remote, false, changed),
                     Remove(remote, TELMO_TT_REMOVE_SERVER, "GUARD_DLGP", true)}) {
    ASSERT_TRUE(reply.ok());
    EXPECT_TRUE(reply->status.holds(kFacilityManagement, 15045)) << reply->status.describe();
  }
  EXPECT_EQ(LogCount("Adding DENIED for server Stranger on request of bob@OTHERNODE\n"), 1);
  EXPECT_EQ(LogCount("Modifying DENIED for server Changed on request of bob@OTHERNODE\n"), 1);
  EXPECT_EQ(LogCount("Removing DENIED for server Guarded on request of bob@OTHERNODE\n"), 1);
  EXPECT_EQ(ReadFile(FileOf("GUARD_DLGP")), file);
  EXPECT_FALSE(fs::exists(FileOf("STRANGE_DLGP")));
  EXPECT_EQ(gServerTable.size(), 1u);
  EXPECT_NE(TELMO_MGMT_GetServicePort("GUARD_DLGP"), 0);

  // Anyone may read a configuration; only this node sees the account's password.
  auto remote_view = ServerRequest(remote, TELMO_TT_GET_SERVER_CONFIGURATION, "GUARD_DLGP");
  auto local_view = ServerRequest(local, TELMO_TT_GET_SERVER_CONFIGURATION, "GUARD_DLGP");
  ASSERT_TRUE(remote_view.ok() && local_view.ok());
  EXPECT_EQ(mgmt::DecodeServerConfiguration(remote_view->payload)->password, "");
  EXPECT_EQ(mgmt::DecodeServerConfiguration(local_view->payload)->password, "pw");
}

int FailKeptServerFile(std::string_view path) { return path.ends_with("KEPT_DLGP.csd") ? ENOSPC : 0; }

TEST_F(ConfigRequests, ModifyWhoseFileCannotBeWrittenKeepsTheOldServer) {
  const ServerConfiguration config = Gateway("Kept", "KEPT_DLGP");
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect();
  ASSERT_FALSE(Send(client, true, config)->status.failed());
  ServerRecord* server = Find("KEPT_DLGP");
  const std::string file = ReadFile(FileOf("KEPT_DLGP"));

  ServerConfiguration changed = config;
  changed.name = "Lost";
  platform::detail::SetAtomicWriteHook(FailKeptServerFile);
  auto reply = Send(client, false, changed);
  platform::detail::SetAtomicWriteHook(nullptr);
  ASSERT_TRUE(reply.ok());
  EXPECT_TRUE(reply->status.holds(kFacilityManagement, 15001)) << reply->status.describe();
  EXPECT_EQ(ReadFile(FileOf("KEPT_DLGP")), file);
  EXPECT_EQ(Find("KEPT_DLGP"), server);
  auto got = ServerRequest(client, TELMO_TT_GET_SERVER_CONFIGURATION, "KEPT_DLGP");
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(mgmt::DecodeServerConfiguration(got->payload)->name, "Kept");
}

TEST_F(ConfigRequests, ConfigurationsThatWouldNotReadBackAreRefused) {
  const ServerConfiguration base = Gateway("Base", "BAD_DLGP");
  std::vector<std::pair<std::string, ServerConfiguration>> cases;
  auto comma = base;
  comma.components[0].executable += ",x";
  cases.emplace_back("comma in an executable", comma);
  auto line_feed = base;
  line_feed.name = "Two\nLines";
  cases.emplace_back("line feed in the name", line_feed);
  auto unnamed = base;
  unnamed.components[0].name.clear();
  cases.emplace_back("empty component name", unnamed);
  auto comment = base;
  comment.name = "#Hidden";
  cases.emplace_back("name read as a comment", comment);
  // An asynchronous DLGP whose arguments do not parse: the file would not load.
  auto async = base;
  async.components[0].executable = manager_.InstallImage("AsyncDlgp.exe").string();
  async.components[0].arguments = "-TCPSERVICE";
  cases.emplace_back("asynchronous DLGP with bad arguments", async);

  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect();
  for (const auto& [what, config] : cases) {
    SCOPED_TRACE(what);
    auto reply = Send(client, true, config);
    ASSERT_TRUE(reply.ok());
    EXPECT_TRUE(reply->status.failed());
    EXPECT_EQ(Find("BAD_DLGP"), nullptr);
    EXPECT_FALSE(fs::exists(FileOf("BAD_DLGP")));
  }
  EXPECT_EQ(LogCount(". Not written\n"), static_cast<int>(cases.size()));
}

TEST_F(ConfigRequests, ServiceNamesThatLeadOutOfTheManagementDirectoryAreRefused) {
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect();
  ServerConfiguration config = Gateway("Escape", "ESCAPE");
  for (const std::string service : {"../ESCAPE", "..\\ESCAPE", ".."}) {
    SCOPED_TRACE(service);
    config.dlgp_service = Text32(service);
    auto reply = Send(client, true, config);
    ASSERT_TRUE(reply.ok());
    EXPECT_TRUE(reply->status.failed());
    EXPECT_EQ(Find(service), nullptr);
  }
  EXPECT_FALSE(fs::exists(manager_.node.mgmt_dir().parent_path() / "ESCAPE.csd"));
  EXPECT_FALSE(fs::exists(manager_.node.mgmt_dir().parent_path() / "..csd"));
}

TEST_F(ConfigRequests, RemoveWithServicesTakesTheServerItsEntriesAndItsData) {
  const std::vector<std::string> services = {"TELMOVXPL", "VXPL_HIST", "VXPL_EXTRA"};
  Text32 scanner, store, forward;
  TELMO_MGMT_GetStoFwdServ("TELMOVXPL", scanner, store, forward);
  ServerConfiguration config;
  config.name = "Controller";
  config.dlgp_service = Text32("TELMOVXPL");
  config.hist_service = Text32("VXPL_HIST");
  config.snf_usage = 1;
  for (const auto& s : services) manager_.AddService(s);
  config.dlgp_port = TELMO_MGMT_GetServicePort("TELMOVXPL");
  config.hist_port = TELMO_MGMT_GetServicePort("VXPL_HIST");
  config.scanner_port = manager_.AddService(scanner.str());
  config.store_port = manager_.AddService(store.str());
  config.forward_port = manager_.AddService(forward.str());
  const std::string exe = manager_.InstallImage("vxpl.exe").string();
  config.components.push_back({"Gateway", Text32("TELMOVXPL"), 0, exe, "-", 0, 0, 0, 0});
  config.components.push_back({"Extra", Text32("VXPL_EXTRA"), 0, exe, "-", 0, 0, 0, 0});

  // Data its S&F processes left: a store list that counts more records than
  // it holds, naming a store directory with queue files and a stranger.
  const fs::path io = manager_.node.iodata_dir();
  fs::create_directories(io / "vxstore");
  WriteFile(io / "vxstore" / "vxstore_0001.que", "q");
  WriteFile(io / "vxstore" / "unrelated.txt", "kept");
  std::vector<std::uint8_t> list;
  wire::PutU32(list, 1);
  wire::PutU32(list, 0);
  wire::PutU32(list, 3);
  std::string record = (io / "vxstore").string();
  record.resize(1152, '\0');
  list.insert(list.end(), record.begin(), record.end());
  WriteFile(io / "TELMO_STORE_LIST.TELMOVXPL", std::string(list.begin(), list.end()));
  WriteFile(io / "TELMO_SCAN_LIST.TELMOVXPL", "scan");
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Zarvelco\\TELMO\\TELMO_SCANNER_TELMOVXPL_CFG\\TESTNODE", 0,
                            nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);

  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect();
  auto added = Send(client, true, config);
  ASSERT_TRUE(added.ok());
  ASSERT_FALSE(added->status.failed()) << added->status.describe();
  ASSERT_EQ(Find("TELMOVXPL")->component_count(), 5);  // two of the file, three S&F

  auto removed = Remove(client, TELMO_TT_REMOVE_SERVER, "telmovxpl", true);
  ASSERT_TRUE(removed.ok());
  EXPECT_FALSE(removed->status.failed()) << removed->status.describe();
  EXPECT_EQ(Find("TELMOVXPL"), nullptr);
  EXPECT_FALSE(fs::exists(FileOf("TELMOVXPL")));
  EXPECT_NE(TELMO_MGMT_GetServicePort("TELMOVXPL"), 0);
  for (const auto& gone : {std::string("VXPL_HIST"), std::string("VXPL_EXTRA"), scanner.str(), store.str(),
                           forward.str()}) {
    EXPECT_EQ(TELMO_MGMT_GetServicePort(gone), 0) << gone;
  }
  EXPECT_EQ(LogCount("Removing server Controller on request of root@TESTNODE\n"), 1);
  EXPECT_EQ(LogCount("[0:5] Skipping Removal of service: TELMOVXPL\n"), 1);
  EXPECT_EQ(LogCount("[1:5] Removing service: VXPL_EXTRA\n"), 1);
  EXPECT_EQ(LogCount("Removed Historical DLGP service VXPL_HIST  "), 1);
  EXPECT_EQ(LogCount("Store list *"), 1);  // counts 3 records, holds 1
  EXPECT_FALSE(fs::exists(io / "vxstore" / "vxstore_0001.que"));
  EXPECT_TRUE(fs::exists(io / "vxstore" / "unrelated.txt"));
  EXPECT_EQ(LogCount("Failed to delete directory *" + (io / "vxstore").string() + "*"), 1);
  EXPECT_FALSE(fs::exists(io / "TELMO_STORE_LIST.TELMOVXPL"));
  EXPECT_FALSE(fs::exists(io / "TELMO_SCAN_LIST.TELMOVXPL"));
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Zarvelco\\TELMO\\TELMO_SCANNER_TELMOVXPL_CFG\\TESTNODE", 0,
                          KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);

  auto unknown = Remove(client, TELMO_TT_REMOVE_SERVER, "TELMOVXPL");
  ASSERT_TRUE(unknown.ok());
  EXPECT_TRUE(unknown->status.holds(kFacilityManagement, 15017));
}

int FailServicesFile(std::string_view path) { return path.ends_with("services") ? EIO : 0; }

TEST_F(ConfigRequests, ServiceEntryRemovalsReportRealFailuresOnly) {
  for (const char* s : {"PRESENT", "LOCKED", "SNF1"}) manager_.AddService(s);
  Text32 scanner, store, forward;
  TELMO_MGMT_GetStoFwdServ("SNF1", scanner, store, forward);
  for (const Text32* s : {&scanner, &store, &forward}) manager_.AddService(s->str());
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect();

  for (const char* service : {"PRESENT", "ABSENT"}) {
    auto reply = Remove(client, TELMO_TT_REMOVE_TCPIP_SERVICE, service);
    ASSERT_TRUE(reply.ok());
    EXPECT_FALSE(reply->status.failed()) << service << ": " << reply->status.describe();
  }
  EXPECT_EQ(TELMO_MGMT_GetServicePort("PRESENT"), 0);
  EXPECT_EQ(LogCount("Removing TCP/IP service ABSENT on request of root@TESTNODE\n"), 1);

  platform::detail::SetAtomicWriteHook(FailServicesFile);
  auto failed = Remove(client, TELMO_TT_REMOVE_TCPIP_SERVICE, "LOCKED");
  platform::detail::SetAtomicWriteHook(nullptr);
  ASSERT_TRUE(failed.ok());
  EXPECT_TRUE(failed->status.holds(kFacilityManagement, 15001)) << failed->status.describe();
  EXPECT_NE(TELMO_MGMT_GetServicePort("LOCKED"), 0);

  TelmoClient remote = RequestWorker::Connect(Requester("OTHERNODE", "bob"));
  auto denied = Remove(remote, TELMO_TT_REMOVE_TCPIP_SERVICE, "LOCKED");
  ASSERT_TRUE(denied.ok());
  EXPECT_TRUE(denied->status.holds(kFacilityManagement, 15045));
  EXPECT_EQ(LogCount("Removing TCP/IP service LOCKED DENIED on request of bob@OTHERNODE\n"), 1);

  auto snf = Remove(client, TELMO_TT_REMOVE_SF_SERVICES, "SNF1");
  ASSERT_TRUE(snf.ok());
  EXPECT_FALSE(snf->status.failed()) << snf->status.describe();
  for (const Text32* s : {&scanner, &store, &forward}) EXPECT_EQ(TELMO_MGMT_GetServicePort(s->view()), 0);
  EXPECT_NE(TELMO_MGMT_GetServicePort("SNF1"), 0);
  EXPECT_EQ(LogCount("Removing S&F services matching service SNF1 on request of root@TESTNODE\n"), 1);
}

TEST_F(ConfigRequests, SetMgmtParamsThatDoNotParseChangeNothing) {
  const int timeout = gMgmtParameters.timeout.load();
  const int check_period = gMgmtParameters.check_period.load();
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect();
  ASSERT_TRUE(client.Post(TELMO_TT_SET_MGMT_PARAMS, std::vector<std::uint8_t>(3, 1), 2s).ok());
  auto reply = client.Request(TELMO_TT_GET_MGMT_PARAMS, {}, 5s);
  ASSERT_TRUE(reply.ok());
  EXPECT_EQ(mgmt::DecodeMgmtParams(reply->payload)->timeout, timeout);
  EXPECT_EQ(gMgmtParameters.check_period.load(), check_period);
  EXPECT_FALSE(fs::exists(manager_.node.mgmt_dir() / "telmo_k_mgmt_parameters.def"));
  EXPECT_EQ(LogCount("Setting manager parameters"), 0);
}

TEST_F(ConfigRequests, DevicesAreSetByAnyoneAndDeletedByThisNodeOnly) {
  RequestWorker worker(manager_);
  TelmoClient local = RequestWorker::Connect();
  TelmoClient remote = RequestWorker::Connect(Requester("OTHERNODE", "bob"));
  const auto set = [](TelmoClient& client, const std::array<std::string_view, 3>& values) {
    return client.Request(TELMO_TT_SET_LOGICAL_DEVICE, mgmt::EncodeDevice("PUMP7", values).value(), 5s);
  };
  const auto view = [] {
    std::array<Text32, 3> v;
    StatusBlock block;
    return TELMO_CLIENT_VIEW_DEVICE("PUMP7", v[0], v[1], v[2], block) ? v[0].str() + "|" + v[2].str() : "none";
  };

  auto added = set(local, {"a", "b", "c"});
  ASSERT_TRUE(added.ok());
  EXPECT_FALSE(added->status.failed()) << added->status.describe();  // the failed view is not reported
  EXPECT_EQ(view(), "a|c");
  auto changed = set(remote, {"x", "y", "z"});  // no rights check
  ASSERT_TRUE(changed.ok());
  EXPECT_FALSE(changed->status.failed()) << changed->status.describe();
  EXPECT_EQ(view(), "x|z");

  const auto del = [](TelmoClient& client) {
    return client.Request(TELMO_TT_DEL_LOGICAL_DEVICE, mgmt::EncodeServiceRequest("PUMP7").value(), 5s);
  };
  auto denied = del(remote);
  ASSERT_TRUE(denied.ok());
  EXPECT_TRUE(denied->status.holds(kFacilityManagement, 15045));
  EXPECT_EQ(LogCount("Deleting device PUMP7 DENIED on request of bob@OTHERNODE\n"), 1);
  EXPECT_EQ(view(), "x|z");
  auto deleted = del(local);
  ASSERT_TRUE(deleted.ok());
  EXPECT_FALSE(deleted->status.failed()) << deleted->status.describe();
  EXPECT_EQ(view(), "none");
  EXPECT_EQ(LogCount("Deleting device PUMP7 on request of root@TESTNODE\n"), 1);
  auto again = del(local);
  ASSERT_TRUE(again.ok());
  EXPECT_TRUE(again->status.holds(kFacilityMessaging, kMsgDeviceNotFound));
}

TEST_F(ConfigRequests, ConsoleReadsAddsModifiesAndRemovesServersAndSetsDevices) {
  const ServerConfiguration config = Gateway("Console Plant", "CON_DLGP");
  const fs::path csd = manager_.node.root() / "con.csd";
  {
    auto record = config::FromConfiguration(config);
    WriteFile(csd, config::BuildServerFile(*record));
  }
  RequestWorker worker(manager_);
  const fs::path telmoctl = BuiltProgram("telmoctl");

  ProgramRun run = RunProgram(telmoctl, {"server", "add", csd.string()});
  EXPECT_EQ(run.exit_code, 0) << run.output;
  run = RunProgram(telmoctl, {"server", "get", "CON_DLGP", "--csd"});
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(run.output, ReadFile(csd));
  run = RunProgram(telmoctl, {"--json", "server", "modify", csd.string()});
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_NE(run.output.find("\"component_index\": -1"), std::string::npos) << run.output;
  run = RunProgram(telmoctl, {"server", "remove", "CON_DLGP", "--with-services"});
  EXPECT_EQ(run.exit_code, 0) << run.output;
  run = RunProgram(telmoctl, {"server", "get", "CON_DLGP"});
  EXPECT_EQ(run.exit_code, 1) << run.output;
  EXPECT_NE(run.output.find("15017"), std::string::npos) << run.output;

  run = RunProgram(telmoctl, {"device", "set", "PUMP7", "a", "b", "c"});
  EXPECT_EQ(run.exit_code, 0) << run.output;
  run = RunProgram(telmoctl, {"--json", "device", "show", "PUMP7"});
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_NE(run.output.find("\"c\""), std::string::npos) << run.output;
  run = RunProgram(telmoctl, {"device", "delete", "PUMP7"});
  EXPECT_EQ(run.exit_code, 0) << run.output;
  run = RunProgram(telmoctl, {"device", "show", "PUMP7"});
  EXPECT_EQ(run.exit_code, 1) << run.output;
}

}  // namespace
}  // namespace telmo::test
