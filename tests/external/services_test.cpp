// The node's TCP services file.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "external/telmo_services.h"
#include "support/test_env.h"

namespace telmo {
namespace {

using test::ReadFile;
using test::TempNode;
using test::WriteFile;

// The entry point's loop: propose 7777, 7778, ... until CheckPortNumber agrees
// or finds the service; add it when it was not found.
int EnsureManagerEntry() {
  int port = 7776;
  int found = 0;
  int result = 0;
  do {
    ++port;
    result = CheckPortNumber("TELMOManager", &port, &found);
  } while (result != port && found == 0);
  if (found == 0) AddServiceToFile("TELMOManager", port);
  return port;
}

TEST(ServicesFile, EntryPointLoopSkipsTakenPorts) {
  TempNode node;
  WriteFile(node.services_file(), "alpha 7777/tcp\nbeta 7778/tcp\ngamma 7780/udp\n");
  EXPECT_EQ(EnsureManagerEntry(), 7779);
  EXPECT_EQ(TELMO_MGMT_GetServicePort("telmomanager"), 7779);  // names ignore case
  EXPECT_EQ(ReadFile(node.services_file()), "alpha 7777/tcp\nbeta 7778/tcp\ngamma 7780/udp\nTELMOManager 7779/tcp\n");
}

TEST(ServicesFile, LookupsSeeAFileEditedInPlaceOrAnotherFile) {
  TempNode node;
  WriteFile(node.services_file(), "alpha 7777/tcp\n");
  EXPECT_EQ(TELMO_MGMT_GetServicePort("alpha"), 7777);
  // Same inode, same size, only the content (and its time) changed.
  {
    std::ofstream out(node.services_file(), std::ios::in | std::ios::out);
    out << "alpha 7778/tcp\n";
  }
  EXPECT_EQ(TELMO_MGMT_GetServicePort("alpha"), 7778);
  TempNode other;
  WriteFile(other.services_file(), "alpha 9000/tcp\n");
  EXPECT_EQ(TELMO_MGMT_GetServicePort("alpha"), 9000);
  std::filesystem::remove(other.services_file());
  EXPECT_EQ(TELMO_MGMT_GetServicePort("alpha"), 0);
}

TEST(ServicesFile, ExistingEntryIsNeverChanged) {
  TempNode node;
  WriteFile(node.services_file(), "TelmoManager 9001/tcp\n");
  EXPECT_EQ(EnsureManagerEntry(), 9001);  // found: the loop stops at the listed port
  EXPECT_FALSE(AddServiceToFile("TELMOMANAGER", 7777));
  EXPECT_EQ(ReadFile(node.services_file()), "TelmoManager 9001/tcp\n");

  int port = 1234;
  int found = 0;
  EXPECT_EQ(CheckPortNumber("telmomanager", &port, &found), 9001);
  EXPECT_EQ(found, 1);
  EXPECT_EQ(port, 9001);
}

TEST(ServicesFile, FreePortSearch) {
  TempNode node;
  WriteFile(node.services_file(), "a 7000/tcp\nb 7001/tcp\nc 7003/tcp\n");
  int found = 1;
  EXPECT_EQ(CheckPortNumber("new", nullptr, &found), 7002);
  EXPECT_EQ(found, 0);
  int proposal = 7003;
  EXPECT_EQ(CheckPortNumber("new", &proposal, &found), 7004);
  EXPECT_EQ(proposal, 7003);  // a counter-proposal leaves the proposal as it was
  int top = 65535;
  WriteFile(node.services_file(), "z 65535/tcp\n");
  EXPECT_EQ(CheckPortNumber("new", &top, &found), 0);  // nothing free above
}

TEST(ServicesFile, CommentsAliasesAndBadLinesSurviveChanges) {
  TempNode node;
  const std::string original =
      "# services of this node\n"
      "\n"
      "dlgp1 7100/tcp dlgp-one   # first gateway\n"
      "broken line without port\n"
      "bad 99999/tcp\n"
      "dlgp2 7101/tcp\n"
      "last 7102/tcp";  // no final line end
  WriteFile(node.services_file(), original);
  EXPECT_EQ(TELMO_MGMT_GetServicePort("DLGP1"), 7100);
  EXPECT_EQ(TELMO_MGMT_GetServicePort("dlgp2"), 7101);
  EXPECT_EQ(TELMO_MGMT_GetServicePort("last"), 7102);
  EXPECT_EQ(TELMO_MGMT_GetServicePort("bad"), 0);
  EXPECT_EQ(TELMO_MGMT_GetServicePort("dlgp-one"), 0);  // aliases are kept, not looked up

  ASSERT_TRUE(AddServiceToFile("dlgp3", 7103));
  EXPECT_EQ(ReadFile(node.services_file()), original + "\ndlgp3 7103/tcp\n");
  EXPECT_EQ(RemoveServiceFromFile("Dlgp2"), 7101);
  EXPECT_EQ(RemoveServiceFromFile("dlgp2"), 0);
  const std::string after = ReadFile(node.services_file());
  EXPECT_EQ(after.find("dlgp2"), std::string::npos);
  EXPECT_NE(after.find("broken line without port\nbad 99999/tcp\n"), std::string::npos);
  EXPECT_NE(after.find("# first gateway"), std::string::npos);

  const auto list = ListServices();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].name, "dlgp1");
  EXPECT_EQ(list[2].name, "dlgp3");
}

TEST(ServicesFile, NamesThatWouldForgeLinesAreRefused) {
  TempNode node;
  for (const std::string& name :
       std::vector<std::string>{"a\nevil 22/tcp", "two words", "hash#tag", "", std::string(32, 'n')}) {
    EXPECT_FALSE(AddServiceToFile(name, 7200)) << name;
  }
  EXPECT_FALSE(AddServiceToFile("ok", 0));
  EXPECT_FALSE(AddServiceToFile("ok", 65536));
  EXPECT_TRUE(AddServiceToFile(std::string(31, 'n'), 7200));
  EXPECT_EQ(ListServices().size(), 1u);
}

TEST(ServicesFile, UnreadableFileIsNotReplaced) {
  TempNode node;
  // A directory where the file should be: it exists and cannot be read as a file.
  std::filesystem::create_directories(node.services_file());
  WriteFile(node.services_file() / "keep", "x");
  EXPECT_FALSE(AddServiceToFile("svc", 7300));
  EXPECT_EQ(RemoveServiceFromFile("svc"), 0);
  EXPECT_TRUE(std::filesystem::is_directory(node.services_file()));
}

TEST(ServicesFile, PathComesFromTheEnvironment) {
  TempNode node;
  const auto other = node.root() / "elsewhere" / "svcfile";
  node.Set("TELMO_SERVICES_FILE", other.string());
  ASSERT_TRUE(AddServiceToFile("moved", 7400));
  EXPECT_EQ(ReadFile(other), "moved 7400/tcp\n");
  EXPECT_FALSE(std::filesystem::exists(node.services_file()));
}

TEST(ServicesFile, ConcurrentAddsFromTwoProcessesLoseNothing) {
  TempNode node;
  constexpr int kPerProcess = 60;
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = ::fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      int failures = 0;
      for (int i = 0; i < kPerProcess; ++i) {
        const std::string name = "p" + std::to_string(c) + "_" + std::to_string(i);
        if (!AddServiceToFile(name, 10000 + c * 1000 + i)) ++failures;
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
  }
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const auto list = ListServices();
  EXPECT_EQ(list.size(), 2u * kPerProcess);
  for (int c = 0; c < 2; ++c) {
    for (int i = 0; i < kPerProcess; ++i) {
      const std::string name = "p" + std::to_string(c) + "_" + std::to_string(i);
      EXPECT_EQ(TELMO_MGMT_GetServicePort(name), 10000 + c * 1000 + i) << name;
    }
  }
}

}  // namespace
}  // namespace telmo
