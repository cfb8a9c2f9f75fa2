#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "util/base64.h"

using telmo::Base64Decode;
using telmo::Base64Encode;

TEST(Base64, EncodesWithPadding) {
  EXPECT_EQ(Base64Encode(std::string_view("abc")), "YWJj");
  EXPECT_EQ(Base64Encode(std::string_view("ab")), "YWI=");
  EXPECT_EQ(Base64Encode(std::string_view("a")), "YQ==");
  EXPECT_EQ(Base64Encode(std::string_view("")), "");
  EXPECT_EQ(Base64Encode(std::string_view("Secret#1 pass")), "U2VjcmV0IzEgcGFzcw==");
  // Bytes above 127 are taken as unsigned, as any standard encoder does.
  EXPECT_EQ(Base64Encode(std::string_view("\xff\xfe\xfd")), "//79");
  EXPECT_EQ(Base64Encode(std::string_view("\x80")), "gA==");
  EXPECT_EQ(Base64Encode(std::string_view("\xfb\xff", 2)), "+/8=");
}

TEST(Base64, DecodeStopsAtPaddingOrAnyCharacterOutsideTheAlphabet) {
  EXPECT_EQ(Base64Decode("YWI="), "ab");
  EXPECT_EQ(Base64Decode("YWI"), "ab");
  EXPECT_EQ(Base64Decode("YQ=="), "a");
  EXPECT_EQ(Base64Decode("YQ"), "a");
  EXPECT_EQ(Base64Decode("YWJj"), "abc");
  EXPECT_EQ(Base64Decode("YWJj*YWJj"), "abc");
  EXPECT_EQ(Base64Decode("YWJj YWJj"), "abc");
  EXPECT_EQ(Base64Decode("YWJj\xc3YWJj"), "abc");
  EXPECT_EQ(Base64Decode("YWJj\r\n"), "abc");
  EXPECT_EQ(Base64Decode(""), "");
  EXPECT_EQ(Base64Decode("="), "");
  // A lone last character carries no whole byte.
  EXPECT_EQ(Base64Decode("YWJjY"), "abc");
}

TEST(Base64, DecodeSkipsOnlyLeadingBlanksAndTabs) {
  EXPECT_EQ(Base64Decode("  YWJj"), "abc");
  EXPECT_EQ(Base64Decode("\t \tYWI="), "ab");
  EXPECT_EQ(Base64Decode("\nYWJj"), "");
  EXPECT_EQ(Base64Decode("   "), "");
}

TEST(Base64, RoundTripsEveryByteValueAndEveryTailLength) {
  std::vector<std::uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
  const std::string encoded = Base64Encode(all);
  EXPECT_EQ(encoded.size(), (256u + 2) / 3 * 4);
  EXPECT_EQ(encoded.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
            std::string::npos);
  const std::string decoded = Base64Decode(encoded);
  ASSERT_EQ(decoded.size(), 256u);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(static_cast<std::uint8_t>(decoded[static_cast<std::size_t>(i)]), i);

  // Every length from 0 to 9 with high, low and NUL bytes, with and without padding.
  const std::string sample("\x00\xff\x7f\x80 a\x01\xfe=", 10);
  for (std::size_t n = 0; n <= sample.size(); ++n) {
    const std::string part = sample.substr(0, n);
    std::string text = Base64Encode(std::string_view(part));
    EXPECT_EQ(Base64Decode(text), part) << n;
    while (!text.empty() && text.back() == '=') text.pop_back();
    EXPECT_EQ(Base64Decode(text), part) << n << " unpadded";
  }
}
