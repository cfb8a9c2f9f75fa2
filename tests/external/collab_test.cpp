// Loading Collaborative.cfg: every file gives a status, never a crash or a hang.
#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "external/telmo_collab.h"
#include "external/telmo_log.h"
#include "support/test_env.h"

namespace telmo::test {
namespace {

namespace fs = std::filesystem;

class CollabLoad : public ::testing::Test {
 protected:
  fs::path File() const { return node_.mgmt_dir() / "Collaborative.cfg"; }
  std::int32_t Load(CollaborativeConfig& config) { return TELMO_COLLAB_LOAD(config); }

  TempNode node_;
};

TEST_F(CollabLoad, NodesWithAndWithoutSecondTexts) {
  WriteFile(File(), "# the plant's pair\r\n\r\n  NODE1\r\nNODE2 \t standby of node1  \r\nNODE3");
  CollaborativeConfig config;
  ASSERT_EQ(Load(config), kCollabLoaded);
  ASSERT_EQ(config.node_count, 3);
  EXPECT_EQ(config.nodes[0], (CollaborativeNode{Text32("NODE1"), Text32("")}));
  EXPECT_EQ(config.nodes[1], (CollaborativeNode{Text32("NODE2"), Text32("standby of node1")}));
  EXPECT_EQ(config.nodes[2].node, "NODE3");
  // What the parser reads, the formatter writes back the same.
  const auto again = collab::ParseCollaborative(collab::FormatCollaborative(config));
  EXPECT_EQ(again.nodes, config.nodes);
}

TEST_F(CollabLoad, AbsentOrEmptyMeansNoCollaborative) {
  CollaborativeConfig config;
  EXPECT_EQ(Load(config), kCollabNotConfigured);
  WriteFile(File(), "");
  EXPECT_EQ(Load(config), kCollabNotConfigured);
  WriteFile(File(), "# nothing yet\n\n");
  EXPECT_EQ(Load(config), kCollabNotConfigured);
  EXPECT_EQ(config.node_count, 0);
}

TEST_F(CollabLoad, BadFilesAreNotLoadedAndLeaveNoNodes) {
  std::string hundred;
  for (int i = 0; i < 100; ++i) hundred += "NODE" + std::to_string(i) + "\n";
  const std::vector<std::pair<std::string, std::int32_t>> cases = {
      {hundred, kCollabLoaded},
      {hundred + "NODE100\n", kCollabTooManyNodes},
      {std::string(32, 'N') + "\n", kCollabMalformed},
      {"NODE1 " + std::string(32, 's') + "\n", kCollabMalformed},
      {std::string("NODE1\nNO\0DE2\n", 13), kCollabMalformed},
      {"NODE1\x1b[2J\n", kCollabMalformed},
      {std::string(collab::kMaxFileSize + 1, '#'), kCollabUnreadable},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text.substr(0, 40));
    WriteFile(File(), text);
    CollaborativeConfig config;
    EXPECT_EQ(Load(config), expected);
    if (expected != kCollabLoaded) {
      EXPECT_EQ(config.node_count, 0);
    }
  }
  EXPECT_GE(CountLinesWith(LogPath(LogKind::kClient), "Collaborative.cfg not loaded"), 4);
}

TEST_F(CollabLoad, ADirectoryOrAFifoIsUnreadableWithoutBlocking) {
  fs::create_directories(File());
  CollaborativeConfig config;
  EXPECT_EQ(Load(config), kCollabUnreadable);
  fs::remove(File());
  ASSERT_EQ(::mkfifo(File().c_str(), 0600), 0);
  EXPECT_EQ(Load(config), kCollabUnreadable);
}

}  // namespace
}  // namespace telmo::test
