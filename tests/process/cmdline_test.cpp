// The Windows command-line rules, by themselves and through a real child.
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/process.h"
#include "process_test_support.h"
#include "support/test_env.h"

namespace telmo::platform {
namespace {

using Args = std::vector<std::string>;

TEST(CommandLine, SplitsWithTheWindowsRules) {
  const struct {
    const char* line;
    Args expected;
  } cases[] = {
      {"", {}},
      {"  \t ", {}},
      {"a b\tc", {"a", "b", "c"}},
      {"  lead  trail  ", {"lead", "trail"}},
      {R"("a b" c)", {"a b", "c"}},
      {R"(x"y z"w)", {"xy zw"}},
      {R"("" a "")", {"", "a", ""}},
      {R"(a\b c\\d)", {R"(a\b)", R"(c\\d)"}},           // backslashes before no quote stay as they are
      {R"(a\"b)", {R"(a"b)"}},                           // 2n+1 backslashes: n and a literal quote
      {R"(a\\"b c")", {R"(a\b c)"}},                     // 2n backslashes: n, and the quote groups
      {R"(a\\\\"b")", {R"(a\\b)"}},
      {R"("trail\\" next)", {R"(trail\)", "next"}},
      {R"("a""b")", {R"(a"b)"}},                         // "" inside quotes is one quote
      {R"("unterminated arg)", {"unterminated arg"}},
      {R"(C:\Program Files\x)", {R"(C:\Program)", R"(Files\x)"}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitCommandLine(c.line), c.expected) << "line: " << c.line;
}

std::string Join(const Args& args) {
  std::string line;
  for (const auto& a : args) line += (line.empty() ? "" : " ") + QuoteArgument(a);
  return line;
}

const Args kAwkward = {"plain", "", "two words", "tab\there", R"(quote"inside)", R"("quoted")",
                       R"(trailing\)", R"(trailing\\)", R"(dir\ with space\)", R"(\")", R"(\\"\\)",
                       "\\", "x y\\", "caf\xc3\xa9 \xe2\x82\xac"};

TEST(CommandLine, QuotedArgumentsComeBackUnchanged) {
  EXPECT_EQ(SplitCommandLine(Join(kAwkward)), kAwkward);

  // Every short text over the characters that matter.
  std::mt19937 random(20240611);
  const std::string alphabet = "a \t\"\\";
  for (int round = 0; round < 3000; ++round) {
    Args args(1 + random() % 3);
    for (auto& a : args) {
      const std::size_t length = random() % 7;
      for (std::size_t i = 0; i < length; ++i) a += alphabet[random() % alphabet.size()];
    }
    ASSERT_EQ(SplitCommandLine(Join(args)), args) << "line: " << Join(args);
  }
}

TEST(CommandLine, ArgumentsSurviveTheTripThroughARealChild) {
  test::TempNode node;
  const auto out = node.root() / "argv.txt";
  SpawnOptions options;
  options.program = test::SelfPath();
  options.arguments = SplitCommandLine(std::string(test::kChildFlag) + " argv " + Join(kAwkward));
  options.output_path = out.string();
  auto child = SpawnProcess(options);
  ASSERT_TRUE(child.ok()) << child.error();
  ASSERT_EQ(test::ExitCodeAfterEnd(child.value()), 0u);
  std::string expected;
  for (const auto& a : kAwkward) expected += "[" + a + "]\n";
  EXPECT_EQ(test::ReadFile(out), expected);
}

}  // namespace
}  // namespace telmo::platform
