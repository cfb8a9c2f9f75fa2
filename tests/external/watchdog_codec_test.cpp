// The watchdog report block on the wire.
#include <gtest/gtest.h>


#include "external/telmo_frame.h"
#include "external/telmo_watchdog.h"

namespace telmo::test {
namespace {

using namespace std::chrono_literals;

TEST(WatchdogBlock, FieldsSitAtTheirOffsetsLittleEndian) {
  WatchdogReport report;
  report.tag_name.assign("Tag");
  report.update_stamp = {0x01020304u, 0xA0B0C0D0u};
  report.watchdog_timeout = -2;
  report.reserved = 0x11223344u;
  report.items[1].state = 4;
  report.items[1].value.assign("v2");
  report.items[1].words = {5, 6, 77116};
  report.items[2].stamp = 0x0102030405060708;
  const auto block = watchdog::EncodeReport(report);
  ASSERT_EQ(block.size(), 1112u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(block.data())), "Tag");
  EXPECT_EQ(block[256], 0x04);
  EXPECT_EQ(block[263], 0xA0);
  EXPECT_EQ(wire::GetI32(&block[264]), -2);
  EXPECT_EQ(wire::GetU32(&block[268]), 0x11223344u);
  EXPECT_EQ(wire::GetI32(&block[552]), 4);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&block[556])), "v2");
  EXPECT_EQ(wire::GetI32(&block[552 + 268]), 77116);
  EXPECT_EQ(block[832 + 272], 0x08);
  EXPECT_EQ(block[832 + 279], 0x01);
  EXPECT_EQ(watchdog::DecodeReport(block), report);
}

TEST(WatchdogBlock, DecodingNeverReadsPastTheBlockOrAField) {
  std::vector<std::uint8_t> bytes(1111, 'x');
  EXPECT_FALSE(watchdog::DecodeReport(bytes).has_value());
  bytes.push_back('x');
  const auto report = watchdog::DecodeReport(bytes);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->tag_name.size(), 255u);  // no terminator in the field: cut
  EXPECT_EQ(report->items[2].value.size(), 255u);
}

TEST(WatchdogBlock, TimeStampsOutsideTheRenderableRangeAreRefused) {
  std::array<char, 64> buffer{};
  EXPECT_EQ(TELMO_DIAG_ASCTIME_WRAPPER(-1, buffer), 0);
  EXPECT_EQ(TELMO_DIAG_ASCTIME_WRAPPER(40000000000, buffer), 0);
  EXPECT_GT(TELMO_DIAG_ASCTIME_WRAPPER(1700000000, buffer), 0);
  EXPECT_NE(std::string(buffer.data()).find("2023\n"), std::string::npos);
}

}  // namespace
}  // namespace telmo::test
