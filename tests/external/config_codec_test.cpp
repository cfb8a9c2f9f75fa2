// Configuration request payloads: round trips through the contract calls, and
// malformed input refused without reading past the payload (ASan watches).
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "external/telmo_config_requests.h"
#include "external/telmo_frame.h"
#include "external/telmo_mgmt.h"

namespace telmo {
namespace {

using Bytes = std::vector<std::uint8_t>;

TelmoMessage Request(std::int32_t tt, Bytes payload) {
  TelmoMessage m;
  m.tt = tt;
  m.payload = std::move(payload);
  return m;
}

ServerConfiguration SampleConfiguration() {
  ServerConfiguration c;
  c.name = "Unit 1, East";
  c.dlgp_service = Text32("UNIT1_DLGP");
  c.dlgp_port = 7001;
  c.hist_service = Text32("UNIT1_HIST");
  c.hist_port = 7002;
  c.startup_status = 1;
  c.health_check = 3;
  c.username = "PLANT\\operator";
  c.password = "s3cret";
  c.snf_usage = 1;
  c.store_file_path = "D:\\store";
  c.scanner_port = 7003;
  c.store_port = 7004;
  c.forward_port = 7005;
  c.desired_state = 2;
  c.components.push_back({"Gateway", Text32("UNIT1_DLGP"), 7001, "%TELMOROOTQ%\\dlgp.exe", "-TCPSERVICE UNIT1_DLGP",
                          0, 0, 1, 0});
  c.components.push_back({"Scanner process", Text32("UNIT1_DLGP_SCN"), 7003, "scanner.exe", "UNIT1_DLGP 5", 1, 1, 0,
                          -4});
  return c;
}

TEST(ConfigCodecs, RequestsAndRepliesRoundTrip) {
  const ServerConfiguration sent = SampleConfiguration();
  auto request = mgmt::EncodeConfigurationRequest("unit1_dlgp", false, sent);
  ASSERT_TRUE(request);
  Text32 service;
  std::uint8_t add = 7;
  ServerConfiguration parsed;
  StatusBlock block;
  ASSERT_EQ(TELMO_MGMT_PARSE_SETSERVCONFREQ(Request(TELMO_TT_MODIFY_SERVER_CONFIGURATION, *request), service, add,
                                            parsed, block),
            1);
  EXPECT_EQ(service, "unit1_dlgp");
  EXPECT_EQ(add, 0);
  EXPECT_EQ(parsed, sent);

  TelmoMessage reply;
  StatusBlock status;
  TELMO_SERVER_LDBLK(kFacilityManagement, 15017, status);
  ASSERT_EQ(TELMO_MGMT_BLD_GETSERVCONFREPLY(Request(TELMO_TT_GET_SERVER_CONFIGURATION, {}), status, &sent, reply, block),
            1);
  EXPECT_TRUE(reply.status.holds(kFacilityManagement, 15017));
  auto back = mgmt::DecodeServerConfiguration(reply.payload);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, sent);
  ASSERT_EQ(TELMO_MGMT_BLD_GETSERVCONFREPLY(Request(TELMO_TT_GET_SERVER_CONFIGURATION, {}), status, nullptr, reply,
                                            block),
            1);
  EXPECT_TRUE(reply.payload.empty());

  // The remove flag keeps its preset when the request carries none.
  for (const auto& [flag, preset, expected] : {std::tuple{std::optional<bool>{}, 1, 1},
                                               std::tuple{std::optional<bool>{true}, 0, 1},
                                               std::tuple{std::optional<bool>{false}, 1, 0}}) {
    auto bytes = mgmt::EncodeRemoveRequest("SVC", flag);
    ASSERT_TRUE(bytes);
    std::uint8_t value = static_cast<std::uint8_t>(preset);
    ASSERT_EQ(TELMO_MGMT_PARSE_REMOVESRVREQ2(Request(TELMO_TT_REMOVE_SERVER, *bytes), service, value, block), 1);
    EXPECT_EQ(value, expected);
  }

  auto device = mgmt::EncodeDevice("PUMP7", {"a", "", "c d"});
  ASSERT_TRUE(device);
  LogicalDevice parsed_device;
  ASSERT_EQ(TELMO_MGMT_PARSE_SETLOGDEVREQ(Request(TELMO_TT_SET_LOGICAL_DEVICE, *device), parsed_device, block), 1);
  EXPECT_EQ(parsed_device.name, "PUMP7");
  EXPECT_EQ(parsed_device.values[2], "c d");
  EXPECT_FALSE(block.failed());
}

TEST(ConfigCodecs, MalformedPayloadsAreRefusedAndChangeNothing) {
  const ServerConfiguration sent = SampleConfiguration();
  auto request = mgmt::EncodeConfigurationRequest("UNIT1_DLGP", true, sent);
  ASSERT_TRUE(request);
  for (std::size_t n = 0; n < request->size(); ++n) {
    const Bytes cut(request->begin(), request->begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_FALSE(mgmt::DecodeConfigurationRequest(cut)) << "prefix of " << n << " bytes accepted";
  }
  Bytes trailing = *request;
  trailing.push_back(0);
  EXPECT_FALSE(mgmt::DecodeConfigurationRequest(trailing));
  Bytes bad_flag = *request;
  bad_flag[32] = 2;
  EXPECT_FALSE(mgmt::DecodeConfigurationRequest(bad_flag));

  // A component count the payload cannot hold is refused before any allocation.
  auto plain = mgmt::EncodeServerConfiguration(ServerConfiguration{});
  ASSERT_TRUE(plain);
  Bytes huge = *plain;  // ends in the component count
  std::fill(huge.end() - 4, huge.end() - 1, 0xff);
  huge.back() = 0x7f;
  huge.resize(huge.size() + 64, 0);
  EXPECT_FALSE(mgmt::DecodeServerConfiguration(huge));

  // Texts never carry a NUL: it would cut them in the server file.
  ServerConfiguration nul = sent;
  nul.components[0].arguments = std::string("-a\0-b", 5);
  EXPECT_FALSE(mgmt::EncodeServerConfiguration(nul));
  ServerConfiguration named;
  named.name = "abc";
  Bytes forged = *mgmt::EncodeServerConfiguration(named);
  forged[5] = 0;  // the name's second byte
  EXPECT_FALSE(mgmt::DecodeServerConfiguration(forged));

  // The parse call leaves its outputs alone and says why.
  Text32 service("untouched");
  std::uint8_t add = 9;
  ServerConfiguration out;
  out.name = "untouched";
  StatusBlock block;
  EXPECT_EQ(TELMO_MGMT_PARSE_SETSERVCONFREQ(Request(TELMO_TT_ADD_SERVER, trailing), service, add, out, block), 0);
  EXPECT_TRUE(block.holds(kFacilityMessaging, kMsgMalformedPayload));
  EXPECT_EQ(service, "untouched");
  EXPECT_EQ(add, 9);
  EXPECT_EQ(out.name, "untouched");
  StatusBlock wrong;
  EXPECT_EQ(TELMO_MGMT_PARSE_SETSERVCONFREQ(Request(TELMO_TT_REMOVE_SERVER, *request), service, add, out, wrong), 0);
  EXPECT_TRUE(wrong.holds(kFacilityMessaging, kMsgBadMessage));

  for (const Bytes& bad : {Bytes(31, 0), Bytes(34, 0), Bytes{[] {
                             Bytes b(33, 0);
                             b[32] = 2;
                             return b;
                           }()}}) {
    EXPECT_FALSE(mgmt::DecodeRemoveRequest(bad)) << bad.size();
  }
  EXPECT_FALSE(mgmt::DecodeDevice(Bytes(127, 0)));
  EXPECT_FALSE(mgmt::EncodeDevice("PUMP", {std::string(32, 'v'), "", ""}));
}

}  // namespace
}  // namespace telmo
