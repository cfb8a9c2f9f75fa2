// The log writers: one record is one line, whatever the values it carries.
#include <gtest/gtest.h>

#include "external/telmo_log.h"
#include "support/test_env.h"

namespace telmo {
namespace {

TEST(Logs, NoValueCanWriteALineOfItsOwn) {
  test::TempNode node;
  node.Set("TELMO_TRACE", "1");
  const std::string forged = "a\n2099-01-01 00:00:00.000 telmo_manager FORGED\r\x1b[2J\x07";
  StatusBlock block;
  TELMO_MGMT_LogMessage("telmo_manager", "TELMO_MGMT_CheckServers", 1, "Starting server X on request of %s@NODE\n",
                        forged.c_str());
  TELMO_DIAG_LOG("TELMOMANAGER", 3005, ">>>_RequestReceived: Requester=[NODE," + forged + "]\n", block);
  KernelDebugLogEx("TELMOMANAGER", 3005, "Invalid transaction type %d received from node %s", 19, forged.c_str());
  TELMO_CLIENT_LOGMSG("TELMOManager", forged, block);
  for (const LogKind kind : {LogKind::kManagement, LogKind::kDiagnostic, LogKind::kTrace, LogKind::kClient}) {
    const auto lines = test::ReadLines(LogPath(kind));
    ASSERT_EQ(lines.size(), 1u) << LogPath(kind);
    EXPECT_NE(lines[0].find("a\\n2099-01-01 00:00:00.000 telmo_manager FORGED\\r\\x1b[2J\\x07"), std::string::npos)
        << lines[0];
    for (const char c : lines[0]) EXPECT_TRUE(c == '\t' || static_cast<unsigned char>(c) >= 0x20) << LogPath(kind);
  }
  // A format's own line feeds stay (some management texts span lines); the
  // values in it are written out all the same, numbers as printf gives them.
  TELMO_MGMT_LogMessage("telmo_manager", "TELMO_MGMT_CheckServers", 2, "%-6s|%5.1f|%lu|%x|%c\nServer  name - \"%s\"\n",
                        "ab", 2.25, 7ul, 255u, 'z', forged.c_str());
  const auto lines = test::ReadLines(LogPath(LogKind::kManagement));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[1].find("ab    |  2.2|7|ff|z"), std::string::npos) << lines[1];
  EXPECT_EQ(lines[2].rfind("Server  name - \"a\\n2099-01-01", 0), 0u) << lines[2];
}

}  // namespace
}  // namespace telmo
