// Frame codec, clock and identity rule: pure functions, no sockets.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <thread>

#include "external/telmo_frame.h"
#include "external/telmo_server.h"

namespace telmo {
namespace {

TelmoMessage FullReply() {
  TelmoMessage m;
  m.kind = MessageKind::kReply;
  m.tt = -123456;
  m.transnum = 0xFEDCBA98u;
  m.requester = {Text32(std::string(31, 'N')), Text32("operator")};
  for (std::int32_t i = 0; i < 8; ++i) TELMO_SERVER_LDBLK(15, 15001 + i, m.status);
  m.payload = {0, 1, 2, 0xFF, 0};
  m.connection = 77;
  return m;
}

std::vector<std::uint8_t> Encode(const TelmoMessage& m) {
  std::vector<std::uint8_t> out;
  EXPECT_TRUE(wire::AppendFrame(m, out));
  return out;
}

TEST(WireFrame, RoundTripKeepsEveryField) {
  const TelmoMessage in = FullReply();
  const auto bytes = Encode(in);
  ASSERT_EQ(bytes.size(), wire::kHeaderSize + in.payload.size());

  TelmoMessage out;
  out.connection = 5;  // routing is local: decoding keeps the receiver's value
  const auto d = wire::DecodeFrame(bytes, out);
  ASSERT_EQ(d.status, wire::DecodeStatus::kOk);
  EXPECT_EQ(d.consumed, bytes.size());
  EXPECT_EQ(out.kind, in.kind);
  EXPECT_EQ(out.tt, in.tt);
  EXPECT_EQ(out.transnum, in.transnum);
  EXPECT_EQ(out.requester, in.requester);
  EXPECT_EQ(out.status.severity, in.status.severity);
  ASSERT_EQ(out.status.count, 8u);
  EXPECT_EQ(out.status.codes, in.status.codes);
  EXPECT_EQ(out.payload, in.payload);
  EXPECT_EQ(out.connection, 5u);
}

TEST(WireFrame, LayoutIsLittleEndianAtFixedOffsetsAndRequestsCarryNoStatus) {
  TelmoMessage req = FullReply();
  req.kind = MessageKind::kRequest;  // a request's status never travels
  const auto b = Encode(req);
  EXPECT_EQ(std::memcmp(b.data(), "TLMO", 4), 0);
  EXPECT_EQ(b[4], 1);
  EXPECT_EQ(b[5], 0);
  EXPECT_EQ(b[6], 1);
  EXPECT_EQ(wire::GetI32(&b[8]), -123456);
  EXPECT_EQ(b[12], 0x98);
  EXPECT_EQ(b[15], 0xFE);
  EXPECT_EQ(b[16 + 31], 0);  // a 31-character node keeps its NUL
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[48])), "operator");
  EXPECT_EQ(wire::GetU32(&b[80]), 0u);
  EXPECT_EQ(wire::GetU32(&b[84]), 0u);
  EXPECT_EQ(wire::GetU32(&b[152]), 5u);

  TelmoMessage out;
  ASSERT_EQ(wire::DecodeFrame(b, out).status, wire::DecodeStatus::kOk);
  EXPECT_FALSE(out.status.failed());
  EXPECT_EQ(out.status.count, 0u);
}

TEST(WireFrame, EveryTruncationNeedsMoreAndLeavesTheOutputAlone) {
  const auto bytes = Encode(FullReply());
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    TelmoMessage out;
    out.tt = 99;
    const auto d = wire::DecodeFrame(std::span(bytes).first(n), out);
    ASSERT_EQ(d.status, wire::DecodeStatus::kNeedMore) << n;
    ASSERT_EQ(out.tt, 99) << n;
  }
}

TEST(WireFrame, MalformedHeadersAreRefused) {
  const auto good = Encode(FullReply());
  struct Case {
    std::size_t offset;
    std::uint8_t value;
    wire::DecodeStatus expected;
  };
  const Case cases[] = {
      {0, 'X', wire::DecodeStatus::kBadMagic},   {3, 'o', wire::DecodeStatus::kBadMagic},
      {4, 2, wire::DecodeStatus::kBadVersion},   {5, 1, wire::DecodeStatus::kBadVersion},
      {6, 0, wire::DecodeStatus::kBadKind},      {6, 3, wire::DecodeStatus::kBadKind},
      {7, 1, wire::DecodeStatus::kBadKind},      {16 + 31, 'N', wire::DecodeStatus::kBadName},
      {48 + 31, 'U', wire::DecodeStatus::kBadName}, {84, 9, wire::DecodeStatus::kBadStatus},
      {87, 0x80, wire::DecodeStatus::kBadStatus},
  };
  for (const auto& c : cases) {
    auto bad = good;
    if (c.expected == wire::DecodeStatus::kBadName) {
      std::fill_n(bad.begin() + static_cast<std::ptrdiff_t>(c.offset - 31), 32, c.value);
    } else {
      bad[c.offset] = c.value;
    }
    TelmoMessage out;
    EXPECT_EQ(wire::DecodeFrame(bad, out).status, c.expected) << c.offset;
  }
  // A name holding a control character would forge log lines.
  for (const std::size_t field : {16u, 48u}) {
    auto forged = good;
    const char text[] = "a\n2099 FORGED";
    std::fill_n(forged.begin() + static_cast<std::ptrdiff_t>(field), 32, 0);
    std::copy(text, text + sizeof text - 1, forged.begin() + static_cast<std::ptrdiff_t>(field));
    TelmoMessage out;
    EXPECT_EQ(wire::DecodeFrame(forged, out).status, wire::DecodeStatus::kBadName) << field;
    forged[field + 1] = 0x1B;  // escape
    EXPECT_EQ(wire::DecodeFrame(forged, out).status, wire::DecodeStatus::kBadName) << field;
  }
  // A wrong magic is seen at the first byte, before a header is complete.
  std::uint32_t len = 0;
  const std::uint8_t junk[] = {'G', 'E', 'T'};
  EXPECT_EQ(wire::CheckHeader(junk, len), wire::DecodeStatus::kBadMagic);
}

TEST(WireFrame, PayloadBoundHoldsBothWays) {
  TelmoMessage m;
  m.payload.assign(wire::kMaxPayload, 0xAB);
  std::vector<std::uint8_t> bytes;
  ASSERT_TRUE(wire::AppendFrame(m, bytes));
  TelmoMessage out;
  ASSERT_EQ(wire::DecodeFrame(bytes, out).status, wire::DecodeStatus::kOk);
  EXPECT_EQ(out.payload.size(), wire::kMaxPayload);

  m.payload.push_back(0);
  std::vector<std::uint8_t> none;
  EXPECT_FALSE(wire::AppendFrame(m, none));
  EXPECT_TRUE(none.empty());

  // A header that announces more than the bound is refused from the header alone.
  auto header = std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + wire::kHeaderSize);
  const std::uint32_t over = wire::kMaxPayload + 1;
  std::memcpy(&header[152], &over, 4);
  std::uint32_t len = 0;
  EXPECT_EQ(wire::CheckHeader(header, len), wire::DecodeStatus::kBadLength);
}

TEST(WireFrame, ServersTakeRequestsWithinTheBoundOfTheirType) {
  const auto header = [](MessageKind kind, std::int32_t tt, std::uint32_t length) {
    TelmoMessage m;
    m.kind = kind;
    m.tt = tt;
    std::vector<std::uint8_t> bytes;
    EXPECT_TRUE(wire::AppendFrame(m, bytes));
    std::memcpy(&bytes[152], &length, 4);
    return bytes;
  };
  std::uint32_t len = 0;
  EXPECT_EQ(wire::CheckRequestHeader(header(MessageKind::kRequest, TELMO_TT_GET_MGMT_PARAMS, 4096), len),
            wire::DecodeStatus::kOk);
  EXPECT_EQ(len, 4096u);
  // A request that carries a name cannot declare megabytes; one that carries a
  // whole server configuration can declare more than that.
  EXPECT_EQ(wire::CheckRequestHeader(header(MessageKind::kRequest, TELMO_TT_START_SERVER, 64 << 10), len),
            wire::DecodeStatus::kAboveBound);
  EXPECT_EQ(wire::CheckRequestHeader(header(MessageKind::kRequest, TELMO_TT_ADD_SERVER, 512 << 10), len),
            wire::DecodeStatus::kOk);
  EXPECT_EQ(wire::CheckRequestHeader(header(MessageKind::kRequest, 19, wire::kMaxPayload), len),
            wire::DecodeStatus::kAboveBound);
  EXPECT_EQ(wire::CheckRequestHeader(header(MessageKind::kReply, TELMO_TT_GET_MGMT_PARAMS, 0), len),
            wire::DecodeStatus::kNotRequest);
}

TEST(WireFrame, BackToBackFramesDecodeOneAfterTheOther) {
  TelmoMessage a;
  a.tt = 20;
  a.payload = {1, 2, 3};
  TelmoMessage b;
  b.tt = 22;
  std::vector<std::uint8_t> bytes;
  ASSERT_TRUE(wire::AppendFrame(a, bytes));
  ASSERT_TRUE(wire::AppendFrame(b, bytes));
  TelmoMessage out;
  const auto first = wire::DecodeFrame(bytes, out);
  ASSERT_EQ(first.status, wire::DecodeStatus::kOk);
  EXPECT_EQ(out.tt, 20);
  ASSERT_EQ(wire::DecodeFrame(std::span(bytes).subspan(first.consumed), out).status, wire::DecodeStatus::kOk);
  EXPECT_EQ(out.tt, 22);
  EXPECT_TRUE(out.payload.empty());
}

TEST(Clock, DifftimeIsUnsignedAndSurvivesTheWrap) {
  EXPECT_EQ(TELMO_DIFFTIME(300000, 0), 300000u);
  EXPECT_EQ(TELMO_DIFFTIME(5, 0xFFFFFFFBu), 10u);
  EXPECT_EQ(TELMO_DIFFTIME(0x00000010u, 0xFFFF0000u), 0x10010u);
  // The once-per-five-minutes test of the manager: just after a wrap.
  EXPECT_FALSE(TELMO_DIFFTIME(100, 0xFFFFFF00u) > 300000u);

  const std::uint32_t t0 = TELMO_SERVER_GENERATE_TRANSNUM();
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  const std::uint32_t elapsed = TELMO_DIFFTIME(TELMO_SERVER_GENERATE_TRANSNUM(), t0);
  EXPECT_GE(elapsed, 60u);
  EXPECT_LT(elapsed, 5000u);
}

TEST(Clock, DecodeTTStaysInsideItsTable) {
  EXPECT_STREQ(TELMO_MGMT_DecodeTT(20), "START_SERVER");
  EXPECT_STREQ(TELMO_MGMT_DecodeTT(40), "COLLAB_SOURCE_FWD_STATUS");
  EXPECT_STREQ(TELMO_MGMT_DecodeTT(1), "GET");
  for (const int tt : {0, -1, 41, 1000, INT_MIN, INT_MAX}) EXPECT_STREQ(TELMO_MGMT_DecodeTT(tt), "UNKNOWN") << tt;
}

TEST(RequesterIdentity, LoopbackPeers) {
  EXPECT_EQ(RequesterNode("", "127.0.0.1", "NODEA"), "NODEA");
  EXPECT_EQ(RequesterNode("NODEA", "127.0.0.1", "NODEA"), "NODEA");
  EXPECT_EQ(RequesterNode("", "::1", "NODEA"), "NODEA");
  EXPECT_EQ(RequesterNode("", "::ffff:127.0.0.5", "NODEA"), "NODEA");
  // Naming another node on loopback keeps it, letter case and all: the rights
  // check then refuses "nodea".
  EXPECT_EQ(RequesterNode("NODEB", "127.0.0.1", "NODEA"), "NODEB");
  EXPECT_EQ(RequesterNode("nodea", "127.1.2.3", "NODEA"), "nodea");
}

TEST(RequesterIdentity, RemotePeersNeverPassForTheLocalNode) {
  EXPECT_EQ(RequesterNode("NODEB", "10.0.0.2", "NODEA"), "NODEB");
  EXPECT_EQ(RequesterNode("NODEA", "10.0.0.2", "NODEA"), "10.0.0.2");
  EXPECT_EQ(RequesterNode("NodeA", "10.0.0.2", "NODEA"), "10.0.0.2");
  EXPECT_EQ(RequesterNode("", "192.168.1.9", "NODEA"), "192.168.1.9");
  EXPECT_EQ(RequesterNode("NODEA", "128.0.0.1", "NODEA"), "128.0.0.1");
  const std::string v6 = "2001:db8:1234:5678:9abc:def0:1234:5678";
  EXPECT_EQ(RequesterNode("NODEA", v6, "NODEA"), v6.substr(0, 31));
  EXPECT_FALSE(IsLoopbackAddress("not-an-address"));
  EXPECT_FALSE(IsLoopbackAddress(""));
  EXPECT_FALSE(IsLoopbackAddress("::ffff:10.0.0.1"));
}

}  // namespace
}  // namespace telmo
