#include <gtest/gtest.h>

#include <array>
#include <string>

#include "util/text.h"

using telmo::BoundedLength;
using telmo::ReplaceAll;
using telmo::ReplaceAllInPlace;

TEST(ReplaceAll, ReplacesEveryOccurrenceFromTheLeft) {
  EXPECT_EQ(ReplaceAll("x^;y^;z", "^;", ","), "x,y,z");
  EXPECT_EQ(ReplaceAll("Unit 1, East", ",", "^;"), "Unit 1^; East");
  EXPECT_EQ(ReplaceAll(",,,", ",", "^;"), "^;^;^;");
  EXPECT_EQ(ReplaceAll("^;^;", "^;", ""), "");
  // Non-overlapping, continuing after each match; the replacement is not rescanned.
  EXPECT_EQ(ReplaceAll("aaa", "aa", "b"), "ba");
  EXPECT_EQ(ReplaceAll("aa", "a", "aa"), "aaaa");
  EXPECT_EQ(ReplaceAll("^^;;", "^;", ","), "^,;");
}

TEST(ReplaceAll, NothingToReplaceLeavesTheTextAsItWas) {
  EXPECT_EQ(ReplaceAll("plain text", "^;", ","), "plain text");
  EXPECT_EQ(ReplaceAll("", "^;", ","), "");
  // An empty pattern has no occurrence to count; it must not loop forever.
  EXPECT_EQ(ReplaceAll("abc", "", "x"), "abc");

  std::string text = "x^;y^;z";
  EXPECT_EQ(ReplaceAllInPlace(text, "^;", ","), 2u);
  EXPECT_EQ(text, "x,y,z");
  EXPECT_EQ(ReplaceAllInPlace(text, "^;", ","), 0u);
  EXPECT_EQ(text, "x,y,z");
  EXPECT_EQ(ReplaceAllInPlace(text, "", ","), 0u);
  EXPECT_EQ(text, "x,y,z");
}

TEST(BoundedLength, CountsUpToTheMaximumWithoutReadingPastIt) {
  EXPECT_EQ(BoundedLength(nullptr, 10), 0u);
  EXPECT_EQ(BoundedLength("", 10), 0u);
  EXPECT_EQ(BoundedLength("abc", 10), 3u);
  EXPECT_EQ(BoundedLength("abcdef", 4), 4u);
  EXPECT_EQ(BoundedLength("abc", 0), 0u);
  // A field with no terminator: the sanitizer catches any read beyond it.
  const std::array<char, 4> field{'T', 'E', 'L', 'M'};
  EXPECT_EQ(BoundedLength(field.data(), field.size()), 4u);
}

TEST(EqualsIgnoreCase, SameLengthAndSameLettersOnly) {
  EXPECT_TRUE(telmo::EqualsIgnoreCase("Run", "rUN"));
  EXPECT_FALSE(telmo::EqualsIgnoreCase("Run", "Runs"));
  EXPECT_FALSE(telmo::EqualsIgnoreCase("Run", "Run "));
}
