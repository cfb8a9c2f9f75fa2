// Request and reply payloads: round trips, and malformed input that must be
// refused without reading past the payload (ASan watches every case).
#include <gtest/gtest.h>

#include "external/telmo_frame.h"
#include "external/telmo_mgmt.h"

namespace telmo {
namespace {

using Bytes = std::vector<std::uint8_t>;

TelmoMessage Request(std::int32_t tt, Bytes payload) {
  TelmoMessage m;
  m.tt = tt;
  m.transnum = 4242;
  m.connection = 9;
  m.payload = std::move(payload);
  return m;
}

// Every proper prefix of a payload must be refused by `decode`, each in a
// buffer of exactly its own size so that a read past it is caught.
template <typename Decode>
void ExpectEveryTruncationRefused(const Bytes& payload, Decode decode) {
  for (std::size_t n = 0; n < payload.size(); ++n) {
    const Bytes cut(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_FALSE(decode(cut)) << "prefix of " << n << " bytes accepted";
  }
}

TEST(RequestCodecs, ServiceRequestFieldIsBounded) {
  const std::string longest(31, 's');
  auto bytes = mgmt::EncodeServiceRequest(longest);
  ASSERT_TRUE(bytes);
  ASSERT_EQ(bytes->size(), 32u);
  Text32 service("untouched");
  StatusBlock block;
  EXPECT_EQ(TELMO_MGMT_PARSE_STARTDEVREQ(Request(TELMO_TT_START_SERVER, *bytes), service, block), 1);
  EXPECT_EQ(service, longest);
  EXPECT_FALSE(block.failed());

  EXPECT_FALSE(mgmt::EncodeServiceRequest(std::string(32, 's')));
  EXPECT_FALSE(mgmt::EncodeServiceRequest(std::string("a\0b", 3)));

  // 32 bytes without a NUL, a short field, a long one, and a name holding a
  // control character (it would reach log lines) are all malformed.
  Bytes forged(32, 0);
  const std::string text = "a\n2099 FORGED";
  std::copy(text.begin(), text.end(), forged.begin());
  for (const Bytes& bad : {Bytes(32, 'x'), Bytes(31, 0), Bytes(33, 0), forged}) {
    StatusBlock b;
    Text32 s("untouched");
    EXPECT_EQ(TELMO_MGMT_PARSE_STOPDEVREQ(Request(TELMO_TT_STOP_SERVER, bad), s, b), 0);
    EXPECT_TRUE(b.holds(kFacilityMessaging, kMsgMalformedPayload));
    EXPECT_EQ(s, "untouched");
  }
  // A request of another TT is not taken for this one.
  StatusBlock b;
  EXPECT_EQ(TELMO_MGMT_PARSE_GETDEVSTATREQ(Request(TELMO_TT_START_SERVER, *bytes), service, b), 0);
  EXPECT_TRUE(b.holds(kFacilityMessaging, kMsgBadMessage));
  EXPECT_EQ(TELMO_MGMT_PARSE_GETDEVSTATREQ(Request(TELMO_TT_GET_SERVER_STATUS_V1, *bytes), service, block), 1);
}

TEST(RequestCodecs, StatusRepliesRoundTripAndCarryTheirRequest) {
  ServerStatusRecord record{"Plant server 1", 1, {{"DLGP", 1, 3}, {"Scanner", 0, 0}, {"Store", 2, 7}}};
  StatusBlock reply_status;
  TELMO_SERVER_LDBLK(15, 15017, reply_status);
  TELMO_SERVER_LDBLK(15, 15022, reply_status);

  TelmoMessage reply;
  StatusBlock block;
  const auto request = Request(TELMO_TT_GET_SERVER_STATUS_V1, {});
  ASSERT_EQ(TELMO_MGMT_BLD_GETDEVSTATREPLY_V1(request, reply_status, record, reply, block), 1);
  EXPECT_EQ(reply.kind, MessageKind::kReply);
  EXPECT_EQ(reply.tt, TELMO_TT_GET_SERVER_STATUS_V1);
  EXPECT_EQ(reply.transnum, 4242u);
  EXPECT_EQ(reply.connection, 9u);
  EXPECT_TRUE(reply.status.holds(15, 15017));
  EXPECT_TRUE(reply.status.holds(15, 15022));
  auto v1 = mgmt::DecodeServerStatus(reply.payload, true);
  ASSERT_TRUE(v1);
  EXPECT_EQ(*v1, record);

  // The TT 22 layout has no connection status.
  ASSERT_EQ(TELMO_MGMT_BLD_GETDEVSTATREPLY(request, {}, record, reply, block), 1);
  auto v0 = mgmt::DecodeServerStatus(reply.payload, false);
  ASSERT_TRUE(v0);
  ASSERT_EQ(v0->components.size(), 3u);
  EXPECT_EQ(v0->components[2].run_status, 2);
  EXPECT_EQ(v0->components[2].conn_status, 0);
  EXPECT_FALSE(mgmt::DecodeServerStatus(reply.payload, true));  // layouts do not mix

  // An empty record (no server, no components) is a valid reply.
  auto empty = mgmt::DecodeServerStatus(mgmt::EncodeServerStatus({}, false), false);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->components.empty());

  const Bytes full = mgmt::EncodeServerStatus(record, true);
  ExpectEveryTruncationRefused(full, [](const Bytes& b) { return mgmt::DecodeServerStatus(b, true).ok(); });
  Bytes trailing = full;
  trailing.push_back(0);
  EXPECT_FALSE(mgmt::DecodeServerStatus(trailing, true));
}

TEST(RequestCodecs, StatusReplyWithLyingCountsIsRefused) {
  Bytes huge_count;
  wire::PutU32(huge_count, 0);           // empty name
  wire::PutI32(huge_count, 2);           // run status
  wire::PutU32(huge_count, 0xFFFFFFFFu); // count no payload could hold
  EXPECT_FALSE(mgmt::DecodeServerStatus(huge_count, false));

  Bytes long_name;
  wire::PutU32(long_name, mgmt::kMaxText + 1);
  long_name.resize(long_name.size() + mgmt::kMaxText + 1, 'n');
  wire::PutI32(long_name, 0);
  wire::PutU32(long_name, 0);
  EXPECT_FALSE(mgmt::DecodeServerStatus(long_name, false));
}

TEST(RequestCodecs, NotificationAndManagerParameters) {
  auto notice = mgmt::EncodeStatusNotice("DLGP_SVC", "DLGP_SVC_UA", -3);
  ASSERT_TRUE(notice);
  ServerStatusNotice n;
  StatusBlock block;
  ASSERT_EQ(TELMO_MGMT_PARSE_UADEVICE_STATUS(Request(TELMO_TT_NOTIFY_SERVER_STATUS, *notice), n, block), 1);
  EXPECT_EQ(n.service, "DLGP_SVC");
  EXPECT_EQ(n.component_service, "DLGP_SVC_UA");
  EXPECT_EQ(n.conn_status, -3);
  ExpectEveryTruncationRefused(*notice, [](const Bytes& b) { return mgmt::DecodeStatusNotice(b).ok(); });

  // TT 30 sets both parameters or, when malformed, neither.
  std::int32_t timeout = 100, period = 600;
  const Bytes params = mgmt::EncodeMgmtParams({250, 90});
  ASSERT_EQ(TELMO_MGMT_PARSE_SETMGMTCONFREQ(Request(TELMO_TT_SET_MGMT_PARAMS, params), timeout, period, block), 1);
  EXPECT_EQ(timeout, 250);
  EXPECT_EQ(period, 90);
  const Bytes half(params.begin(), params.begin() + 6);
  StatusBlock bad;
  EXPECT_EQ(TELMO_MGMT_PARSE_SETMGMTCONFREQ(Request(TELMO_TT_SET_MGMT_PARAMS, half), timeout, period, bad), 0);
  EXPECT_TRUE(bad.holds(kFacilityMessaging, kMsgMalformedPayload));
  EXPECT_EQ(timeout, 250);
  EXPECT_EQ(period, 90);

  TelmoMessage reply;
  ASSERT_EQ(TELMO_MGMT_BLD_GETMGMTCONFREPLY(Request(TELMO_TT_GET_MGMT_PARAMS, {}), 100, 600, reply, block), 1);
  auto got = mgmt::DecodeMgmtParams(reply.payload);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->timeout, 100);
  EXPECT_EQ(got->check_period, 600);
}

TEST(NamedRequests, EnvelopeSplitsAndRebuilds) {
  TelmoNameBlock name{};
  std::copy_n("TELMOManager", 12, name.begin());
  name[63] = 'z';  // the block is opaque: every byte comes back
  auto texts = mgmt::EncodeTexts({"AgreeOnPort", "MYSVC", "7100"});
  ASSERT_TRUE(texts);
  const auto request = Request(TELMO_TT_MSG, mgmt::EncodeNamedPayload(-7, name, *texts));

  std::int32_t type = 0;
  TelmoNameBlock got{};
  std::uint32_t length = 0;
  std::span<const std::uint8_t> data;
  StatusBlock block;
  ASSERT_EQ(TELMO_SERVER_PARSE_MSG(request, type, got, length, data, block), 1);
  EXPECT_EQ(type, -7);
  EXPECT_EQ(got, name);
  EXPECT_EQ(length, texts->size());
  mgmt::TextReader reader(data);
  EXPECT_EQ(reader.Next(), "AgreeOnPort");
  EXPECT_EQ(reader.Next(), "MYSVC");
  EXPECT_EQ(reader.Next(), "7100");
  EXPECT_EQ(reader.Next(), std::nullopt);
  EXPECT_FALSE(reader.malformed());

  const auto reply_block = mgmt::BuildShortReply({"AgreeOnPort", "MYSVC", "7100"});
  TelmoMessage reply;
  ASSERT_EQ(TELMO_SERVER_BLD_MSG(type, got, 64, reply_block, reply, block), 1);
  EXPECT_EQ(reply.kind, MessageKind::kReply);
  EXPECT_EQ(reply.tt, TELMO_TT_MSG);
  ASSERT_EQ(reply.payload.size(), mgmt::kNamedHeader + 64);
  ASSERT_EQ(TELMO_SERVER_PARSE_MSG(reply, type, got, length, data, block), 1);
  EXPECT_EQ(got, name);
  auto parsed = mgmt::ParseShortReply(data);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(*parsed, (std::vector<std::string>{"AgreeOnPort", "MYSVC", "7100"}));
}

TEST(NamedRequests, ShortOrLyingInputIsRefused) {
  StatusBlock block;
  std::int32_t type = 1;
  TelmoNameBlock name{};
  std::uint32_t length = 9;
  std::span<const std::uint8_t> data;
  EXPECT_EQ(TELMO_SERVER_PARSE_MSG(Request(TELMO_TT_MSG, Bytes(67, 0)), type, name, length, data, block), 0);
  EXPECT_TRUE(block.holds(kFacilityMessaging, kMsgMalformedPayload));
  EXPECT_EQ(length, 0u);
  EXPECT_TRUE(data.empty());

  // A build asked for more bytes than it was given yields no message.
  TelmoMessage reply;
  reply.tt = 99;
  StatusBlock b;
  const Bytes ten(10, 1);
  EXPECT_EQ(TELMO_SERVER_BLD_MSG(0, name, 64, ten, reply, b), 0);
  EXPECT_TRUE(b.holds(kFacilityMessaging, kMsgMalformedPayload));
  EXPECT_EQ(reply.tt, 99);

  // An unterminated last text is never handed out.
  const Bytes unterminated = {'N', 'o', 'W', 0, 'G', 'e', 't'};
  mgmt::TextReader reader(unterminated);
  EXPECT_EQ(reader.Next(), "NoW");
  EXPECT_EQ(reader.Next(), std::nullopt);
  EXPECT_TRUE(reader.malformed());
}

TEST(NamedRequests, ShortReplyNeverOverflowsItsBlock) {
  const std::string long_text(100, 'x');
  const auto block = mgmt::BuildShortReply({"GetRemoteServicePort", long_text, "1234"});
  EXPECT_EQ(block.back(), 0);
  auto texts = mgmt::ParseShortReply(block);
  ASSERT_TRUE(texts);
  ASSERT_EQ(texts->size(), 2u);  // the cut text ends the block; "1234" no longer fits
  EXPECT_EQ((*texts)[0], "GetRemoteServicePort");
  EXPECT_EQ((*texts)[1].size(), 64u - 21u - 1u);
  EXPECT_FALSE(mgmt::ParseShortReply(Bytes(63, 0)));
}

}  // namespace
}  // namespace telmo
