// Component definitions: positions, S&F options and their inverse, the
// derived service names and the DLGP argument split.
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/components.h"
#include "config/server_file.h"
#include "config_support.h"
#include "external/telmo_config.h"
#include "util/text.h"

namespace telmo::test {
namespace {

std::vector<std::string> Names(const ServerRecord& r) {
  std::vector<std::string> names;
  for (const auto& c : r.components) names.push_back(c ? c->name : "<null>");
  return names;
}

std::unique_ptr<ServerRecord> Load(const std::string& dlgp_executable, const std::string& snf, int file_components = 1) {
  std::string components = "DLGP,PLANT1," + dlgp_executable + ",-TCPSERVICE PLANT1 -OPCSERVER urn\n";
  for (int i = 1; i < file_components; ++i) components += "Extra" + std::to_string(i) + ",,x.exe,\n";
  StatusBlock status;
  auto r = LoadText(ServerFileText("N,PLANT1,", "Run,,", "1", snf, std::to_string(file_components), components), status);
  EXPECT_TRUE(r) << status.describe();
  return r;
}

TEST(Components, PositionsForOpcUaAndStoreForward) {
  const std::string ua = "C:\\io\\Telmo_OpcUa_Dlgp.EXE";
  auto r = Load(ua, "NoStoreForward", 2);
  EXPECT_EQ(Names(*r), (std::vector<std::string>{"DLGP", "Extra1", "OPC UA READ DIOP process", "OPC UA WRITE process",
                                                 "OPC UA UNSOL process"}));
  r = Load("plain.exe", "StoreForward", 2);
  EXPECT_EQ(Names(*r),
            (std::vector<std::string>{"DLGP", "Extra1", "Scanner process", "Store process", "Forward process"}));
  r = Load(ua, "StoreForward", 2);
  ASSERT_EQ(Names(*r), (std::vector<std::string>{"DLGP", "Extra1", "OPC UA READ DIOP process", "OPC UA WRITE process",
                                                 "OPC UA UNSOL process", "Scanner process", "Store process",
                                                 "Forward process"}));
  EXPECT_EQ(r->components[6]->name, "Store process");  // the store is second-to-last
  r = Load("plain.exe", "NoStoreForward", 2);
  EXPECT_EQ(r->component_count(), 2);
}

TEST(Components, GeneratedComponentsCarryServicesExecutablesAndArguments) {
  auto r = Load("c:\\io\\telmo_opcua_dlgp.exe", "StoreForward,D:\\sfdata", 1);
  ASSERT_EQ(r->component_count(), 7);
  Text32 read, write, unsol, scanner, store, forward;
  TELMO_MGMT_GetOPCUAServ("PLANT1", read, write, unsol);
  TELMO_MGMT_GetStoFwdServ("PLANT1", scanner, store, forward);
  const std::vector<std::tuple<Text32, std::string, std::string>> expected = {
      {read, "%TELMOIO%\\tlo_opc_uai\\telmo_opcua_read.exe", "-TCPSERVICE PLANT1 -OPCSERVER urn"},
      {write, "%TELMOIO%\\tlo_opc_uai\\telmo_opcua_write.exe", "-TCPSERVICE PLANT1 -OPCSERVER urn"},
      {unsol, "%TELMOIO%\\tlo_opc_uai\\telmo_opcua_unsol.exe", "-TCPSERVICE PLANT1 -OPCSERVER urn"},
      {scanner, "%TELMOROOTQ%\\Code\\Telmo_sf_scanner.exe", "PLANT1"},
      {store, "%TELMOROOTQ%\\Code\\Telmo_sf_store.exe", "PLANT1 D:\\sfdata -MaxTimeInQueue 72  -MaxQueueFileSize 0 "},
      {forward, "%TELMOROOTQ%\\Code\\Telmo_sf_forward.exe", "PLANT1 D:\\sfdata"},
  };
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const ComponentRecord& c = *r->components[i + 1];
    EXPECT_EQ(c.tcp_service, std::get<0>(expected[i])) << i;
    EXPECT_EQ(c.executable, std::get<1>(expected[i])) << i;
    EXPECT_EQ(c.arguments, std::get<2>(expected[i])) << i;
    EXPECT_EQ(c.built_in, 1);
    EXPECT_EQ(c.generated, 1);
  }
}

std::string ArgsOf(const std::string& snf_line, const char* which) {
  auto r = Load("plain.exe", snf_line);
  for (const auto& c : r->components) {
    if (c->name == which) return c->arguments;
  }
  return "<none>";
}

TEST(Components, StoreForwardOptions) {
  // A lower-case "default" timeout is appended (timeouts compare exactly); a
  // lower-case "default" flag is not.
  EXPECT_EQ(ArgsOf("StoreForward,,default,,,,default", "Scanner process"), "PLANT1 default");
  EXPECT_EQ(ArgsOf("StoreForward,DEFAULT", "Store process"), "PLANT1 -MaxTimeInQueue 72  -MaxQueueFileSize 0 ");
  EXPECT_EQ(ArgsOf("StoreForward,DEFAULT", "Forward process"), "PLANT1");
  EXPECT_EQ(ArgsOf("StoreForward,,,,,,,1", "Store process"), "PLANT1  NOTAGINFO -MaxTimeInQueue 72  -MaxQueueFileSize 0 ");
  EXPECT_EQ(ArgsOf("StoreForward,,,,,,,1", "Scanner process"), "PLANT1");
  EXPECT_EQ(ArgsOf("StoreForward,,,,,,,1", "Forward process"), "PLANT1 ");  // an empty path appends the blank
  EXPECT_EQ(ArgsOf("StoreForward,p,7,8,9,10,1,,1,5,6", "Scanner process"), "PLANT1 7 NOTAGINFO DEVICE");
  EXPECT_EQ(ArgsOf("StoreForward,p,7,8,9,10,1,,1,5,6", "Store process"), "PLANT1 p 8 -MaxTimeInQueue 5  -MaxQueueFileSize 6 ");
  EXPECT_EQ(ArgsOf("StoreForward,p,7,8,9,10,1,,1,5,6", "Forward process"), "PLANT1 p 9 MSGS 10");
}

TEST(Components, LongStorePathIsNotCut) {
  const std::string path(1000, 'p');
  ComponentRecord store;
  store.executable = std::string(config::kStoreExecutable);
  store.arguments = "PLANT1";
  config::ExtendSnfArguments(store, path, SnfParameters::AllDefault());
  EXPECT_EQ(store.arguments, "PLANT1 " + path + " -MaxTimeInQueue 72  -MaxQueueFileSize 0 ");
}

// The writer rebuilds line 4 from the generated components: parsing their
// arguments must give back the block they were built from.
TEST(ParseSNFArguments, InvertsTheArgumentBuilding) {
  std::vector<SnfParameters> blocks;
  blocks.push_back(SnfParameters::AllDefault());
  SnfParameters all = SnfParameters::AllDefault();
  all.scanner_timeout.assign("10");
  all.store_timeout.assign("20");
  all.forward_timeout.assign("30");
  all.forward_msgs.assign("40");
  all.scanner_notaginfo.assign("1");
  all.scanner_device.assign("1");
  all.max_time_in_queue = 8760;
  all.max_queue_file_size = 1000000;
  blocks.push_back(all);
  SnfParameters store_flag = SnfParameters::AllDefault();
  store_flag.store_notaginfo.assign("1");
  store_flag.forward_msgs.assign("2");
  blocks.push_back(store_flag);

  for (const std::string& path : std::vector<std::string>{"Default", "", "D:\\sf data\\", "p -MaxTimeInQueue x"}) {
    for (const auto& block : blocks) {
      ServerRecord server;
      server.dlgp_service.assign("PLANT1");
      server.store_file_path = path;
      server.components.push_back(std::make_unique<ComponentRecord>());
      server.components.resize(4);
      config::AddSnfComponents("PLANT1", server, block);
      SnfParameters parsed = SnfParameters::AllDefault();
      for (int i = 1; i < 4; ++i) config::ParseSnfArguments(*server.components[i], "PLANT1", path, parsed);
      EXPECT_EQ(parsed, block) << "path [" << path << "]";
    }
  }
}

// Texts that hold an option's own word: the split chosen is one whose parts
// the loader would keep, so the file written from it reads back the same.
TEST(ParseSNFArguments, OptionWordsInsideTexts) {
  const auto parse = [](std::string_view executable, const std::string& arguments) {
    ComponentRecord c;
    c.executable = std::string(executable);
    c.arguments = arguments;
    SnfParameters block = SnfParameters::AllDefault();
    config::ParseSnfArguments(c, "P", "Default", block);
    return block;
  };
  // "1" is no MSGS value the loader keeps: the words belong to the timeout.
  SnfParameters b = parse(config::kForwardExecutable, "P 9 MSGS 1");
  EXPECT_EQ(b.forward_timeout, "9 MSGS 1");
  EXPECT_EQ(b.forward_msgs, "Default");
  b = parse(config::kForwardExecutable, "P 9 MSGS 1 MSGS 3");
  EXPECT_EQ(b.forward_timeout, "9 MSGS 1");
  EXPECT_EQ(b.forward_msgs, "3");
  // A timeout of "NOTAGINFO" alone would read back as Default: it is the flag.
  b = parse(config::kScannerExecutable, "P 4 NOTAGINFO DEVICE");
  EXPECT_EQ(b.scanner_timeout, "4");
  EXPECT_EQ(b.scanner_notaginfo, "1");
  EXPECT_EQ(b.scanner_device, "1");
}

TEST(ParseSNFArguments, OtherComponentsLeaveTheBlockAlone) {
  SnfParameters block = SnfParameters::AllDefault();
  ComponentRecord ua;
  ua.executable = std::string(config::kOpcUaReadExecutable);
  ua.arguments = "PLANT1 5 NOTAGINFO DEVICE MSGS 3";
  config::ParseSnfArguments(ua, "PLANT1", "", block);
  ComponentRecord foreign;
  foreign.executable = std::string(config::kScannerExecutable);
  foreign.arguments = "OTHER 5 DEVICE";
  config::ParseSnfArguments(foreign, "PLANT1", "", block);
  EXPECT_EQ(block, SnfParameters::AllDefault());
}

TEST(DerivedServices, StableShortDistinctAndCaseBlind) {
  const std::vector<std::string> dlgps = {"PLANT1",
                                          "P",
                                          std::string(27, 'A'),
                                          std::string(28, 'A'),
                                          std::string(31, 'A'),
                                          std::string(16, 'A') + "BBBBBBBBBBBBBBB",
                                          std::string(16, 'A') + "BBBBBBBBBBBBBBC",
                                          "PLANT1_SCN"};
  std::set<std::string> seen;
  for (const auto& dlgp : dlgps) {
    Text32 out[6];
    TELMO_MGMT_GetStoFwdServ(dlgp, out[0], out[1], out[2]);
    TELMO_MGMT_GetOPCUAServ(dlgp, out[3], out[4], out[5]);
    Text32 again[6];
    TELMO_MGMT_GetStoFwdServ(ToLower(dlgp), again[0], again[1], again[2]);
    TELMO_MGMT_GetOPCUAServ(ToLower(dlgp), again[3], again[4], again[5]);
    for (int i = 0; i < 6; ++i) {
      const std::string name = out[i].str();
      EXPECT_FALSE(name.empty());
      EXPECT_LE(name.size(), 31u);
      EXPECT_NE(name, dlgp);
      EXPECT_TRUE(seen.insert(ToUpper(name)).second) << name << " from " << dlgp;
      EXPECT_EQ(ToUpper(again[i].str()), ToUpper(name)) << "letter case changed the name";
    }
  }
  Text32 a, b, c;
  TELMO_MGMT_GetStoFwdServ("", a, b, c);
  EXPECT_TRUE(a.empty() && b.empty() && c.empty());
}

TEST(OpcDaArguments, WatchdogTagAndTimeoutAreTheFourthAndSeventhTexts) {
  OpcDaArguments parsed;
  StatusBlock status;
  ASSERT_TRUE(TELMO_MGMT_ParseOpcDaArguments(
      "PLANT1 -tcpservice PLANT1 -OPCSERVER Vendor.Server.1 -WatchdogTag \"Area 1.Watch Dog\" -WATCHDOGTIMEOUT 300 "
      "-unknown x",
      parsed, status));
  EXPECT_FALSE(status.failed());
  EXPECT_EQ(parsed.texts[0], "PLANT1");
  EXPECT_EQ(parsed.texts[1], "Vendor.Server.1");
  EXPECT_EQ(parsed.texts[3], "Area 1.Watch Dog");
  EXPECT_EQ(parsed.texts[6], "300");
  EXPECT_EQ(parsed.texts[2], "");

  OpcDaArguments bad;
  EXPECT_FALSE(TELMO_MGMT_ParseOpcDaArguments("-WATCHDOGTAG -WATCHDOGTIMEOUT 5", bad, status));
  EXPECT_TRUE(status.holds(kFacilitySystem, EINVAL));
  EXPECT_EQ(bad.texts[6], "5");
  TELMO_SERVER_INITBLK(status);
  EXPECT_FALSE(TELMO_MGMT_ParseOpcDaArguments("-TCPSERVICE", bad, status));
}

TEST(TelmoLefttrim, RemovesOnlyLeadingWhiteSpace) {
  EXPECT_EQ(telmo_lefttrim(" \t\r\n PLANT1 "), "PLANT1 ");
  EXPECT_EQ(telmo_lefttrim("   "), "");
}

}  // namespace
}  // namespace telmo::test
