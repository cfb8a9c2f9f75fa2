// The listing requests through the request loop: listing programs (the fake
// listing program), EnumerateServers and EnumerateDLGPServices.
#include <pugixml.hpp>

#include "external/telmo_frame.h"
#include "platform/process.h"
#include "request_support.h"

namespace telmo::test {
namespace {

class Listing : public ::testing::Test {
 protected:
  void TearDown() override {
    for (auto& record : gServerTable.TakeAll()) config::FreeServerRecord(gProcessTable, std::move(record));
  }

  void InstallListing(const std::string& folder, const std::string& image) {
    const fs::path target = manager_.node.product_root() / "io" / folder / image;
    fs::create_directories(target.parent_path());
    fs::copy_file(BuiltProgram("fake_listing"), target);
    fs::permissions(target, fs::perms::owner_all);
  }

  /// A named request; its reply, or nullopt when none came within `wait`.
  static std::optional<TelmoMessage> Named(TelmoClient& client, std::initializer_list<std::string_view> texts,
                                           std::chrono::milliseconds wait = 20s) {
    const auto payload = mgmt::EncodeNamedPayload(7, TelmoNameBlock{'n', 'b'}, mgmt::EncodeTexts(texts).value());
    auto sent = client.Post(TELMO_TT_MSG, payload, 2s);
    EXPECT_TRUE(sent.ok());
    auto reply = client.AwaitReply(sent.value(), wait);
    if (!reply) return std::nullopt;
    EXPECT_EQ(reply->payload.size() >= mgmt::kNamedHeader ? wire::GetI32(reply->payload.data()) : -1, 7);
    return std::move(reply).value();
  }
  static std::string Data(const TelmoMessage& reply) {
    return std::string(reply.payload.begin() + mgmt::kNamedHeader, reply.payload.end());
  }

  /// A server added while the worker runs: under the table mutex.
  void AddServer(const std::string& name, const std::string& service) {
    StatusBlock status;
    ServerTableLock lock(gServerTable, status);
    manager_.AddServer(name, service, {});
  }

  [[nodiscard]] bool AppDataEmpty() const {
    const fs::path dir = manager_.node.state_dir() / "AppData";
    return !fs::exists(dir) || fs::is_empty(dir);
  }

  ManagerNode manager_;
};

TEST_F(Listing, AListingProgramsLinesComeBackExactlyAndItsFileIsGone) {
  InstallListing("tlo_opc_uai", "ListOpcUaEndPoints.exe");
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect(Requester("OTHERNODE", "anyone"));  // any node may ask

  auto reply = Named(client, {"ListOpcUaEndPoints", "--line=opc.tcp://a:4840 --line=opc.tcp://b:4840 --line=end"});
  ASSERT_TRUE(reply);
  EXPECT_FALSE(reply->status.failed()) << reply->status.describe();
  EXPECT_EQ(Data(*reply), "opc.tcp://a:4840\nopc.tcp://b:4840\nend\n");
  EXPECT_TRUE(AppDataEmpty());
  // The output file reached the program as its last argument, exactly.
  const std::string log = ReadFile(manager_.node.log_dir() / "components" / "ListOpcUaEndPoints.log");
  EXPECT_NE(log.find(".DAT]\n"), std::string::npos) << log;
  EXPECT_EQ(log.find(".DAT ]"), std::string::npos) << log;

  auto empty = Named(client, {"ListOpcUaEndPoints", ""});
  ASSERT_TRUE(empty);
  EXPECT_FALSE(empty->status.failed());
  EXPECT_EQ(empty->payload.size(), mgmt::kNamedHeader);
  EXPECT_TRUE(AppDataEmpty());
}

TEST_F(Listing, AProgramThatNeverEndsIsEndedAndAnsweredWithAnError) {
  InstallListing("tlo_tel_pdi", "ListProcessDataSources.exe");
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect();

  auto reply = Named(client, {"ListProcessDataSources", "--line=partial --hang"}, 30s);
  ASSERT_TRUE(reply);
  EXPECT_TRUE(reply->status.holds(kFacilityMessaging, kMsgTimeout)) << reply->status.describe();
  EXPECT_EQ(Data(*reply), "");
  EXPECT_TRUE(AppDataEmpty());
  EXPECT_TRUE(platform::FindMarkedProcesses("ListProcessDataSources.exe").empty());
  EXPECT_EQ(LogCount("Component ListProcessDataSources at ["), 1);
}

TEST_F(Listing, AMissingProgramGetsNoReplyAndASystemErrorLine) {
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect();
  EXPECT_FALSE(Named(client, {"ListProcessDataSources", "x"}, 2s));
  EXPECT_EQ(LogCount("creating process for component ListProcessDataSources at ["), 1);
  EXPECT_EQ(LogCount("System error "), 1);
  EXPECT_TRUE(AppDataEmpty());

  // Arguments the command line cannot hold are refused, not cut.
  auto refused = Named(client, {"ListOpcUaEndPoints", std::string(1100, 'a')});
  ASSERT_TRUE(refused);
  EXPECT_TRUE(refused->status.holds(kFacilityMessaging, kMsgMalformedPayload));
}

TEST_F(Listing, EnumerateServersListsUpToAThousandWithFreshPorts) {
  const int port = manager_.AddService("SRV0");
  for (int i = 0; i < 1000; ++i) manager_.AddServer("Server " + std::to_string(i), "SRV" + std::to_string(i), {});
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect();

  auto reply = Named(client, {"EnumerateServers"});
  ASSERT_TRUE(reply);
  EXPECT_FALSE(reply->status.failed());
  const std::string xml = Data(*reply);
  pugi::xml_document document;
  ASSERT_TRUE(document.load_buffer(xml.data(), xml.size())) << xml.substr(0, 200);
  const auto servers = document.child("Servers").children("Server");
  EXPECT_EQ(std::distance(servers.begin(), servers.end()), 1000);
  EXPECT_EQ(document.child("Servers").child("Server").attribute("dlgpPort").as_int(), port);

  AddServer("One too many", "SRV1000");
  auto over = Named(client, {"EnumerateServers"});
  ASSERT_TRUE(over);
  EXPECT_TRUE(over->status.holds(kFacilityClient, 124002));
  EXPECT_EQ(Data(*over), "");
  EXPECT_EQ(Occurrences(LogPath(LogKind::kClient), "(124,124002)"), 1);
}

TEST_F(Listing, AListingLargerThanAFrameIsAnsweredWithItsReason) {
  const std::string arguments(8000, 'a');
  for (int i = 0; i < 600; ++i) {
    manager_.AddServer("Server " + std::to_string(i), "SRV" + std::to_string(i), {{"Gateway", "", "gw.exe", arguments}});
  }
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect();
  auto reply = Named(client, {"EnumerateServers"});
  ASSERT_TRUE(reply);
  EXPECT_TRUE(reply->status.holds(kFacilityMessaging, kMsgTooLarge)) << reply->status.describe();
  EXPECT_EQ(Data(*reply), "");
}

TEST_F(Listing, EnumerateDlgpServicesSendsThirtyTwoByteEntries) {
  RequestWorker worker(manager_);
  TelmoClient client = RequestWorker::Connect();
  auto none = Named(client, {"EnumerateDLGPServices"});
  ASSERT_TRUE(none);
  EXPECT_EQ(Data(*none), std::string(1, '\0'));

  const std::string longest(31, 'L');
  AddServer("Long", longest);
  AddServer("Unnamed", "");
  AddServer("Short", "S1");
  auto reply = Named(client, {"EnumerateDLGPServices"});
  ASSERT_TRUE(reply);
  EXPECT_EQ(Data(*reply), longest + std::string(1, '\0') + "S1" + std::string(30, '\0'));
}

}  // namespace
}  // namespace telmo::test
