// Every file of the committed fuzz corpus goes through the loader (under the
// sanitizers in CI) with the property the fuzz target checks.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "load_server_property.h"
#include "support/test_env.h"

namespace telmo::test {
namespace {

namespace fs = std::filesystem;

TEST(LoadServerCorpus, EveryFileHoldsTheProperty) {
  TempNode node;
  const fs::path corpus = TELMO_LOAD_SERVER_CORPUS;
  ASSERT_TRUE(fs::is_directory(corpus)) << corpus;
  int files = 0;
  testing::internal::CaptureStdout();
  for (const auto& entry : fs::directory_iterator(corpus)) {
    if (!entry.is_regular_file()) continue;
    ++files;
    EXPECT_EQ(fuzz::CheckLoadServer(ReadFile(entry.path())), "") << entry.path().filename();
  }
  testing::internal::GetCapturedStdout();
  EXPECT_GE(files, 10);
}

}  // namespace
}  // namespace telmo::test
