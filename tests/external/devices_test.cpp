// The logical device store, and a services-file change that cannot be written.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "external/telmo_devices.h"
#include "external/telmo_services.h"
#include "platform/files.h"
#include "support/test_env.h"

namespace telmo {
namespace {

using test::ReadFile;
using test::TempNode;
using test::WriteFile;

struct View {
  int result = 0;
  std::array<Text32, 3> values;
  StatusBlock block;
};
View ViewDevice(std::string_view name) {
  View v;
  v.result = TELMO_CLIENT_VIEW_DEVICE(name, v.values[0], v.values[1], v.values[2], v.block);
  return v;
}

TEST(DeviceStore, AddChangeViewAndDelete) {
  TempNode node;
  StatusBlock block;
  EXPECT_EQ(ViewDevice("PUMP7").result, 0);
  EXPECT_TRUE(ViewDevice("PUMP7").block.holds(kFacilityMessaging, kMsgDeviceNotFound));

  // A block that still holds an earlier error is cleared by a call that succeeds.
  TELMO_CLIENT_LDBLK(kFacilityMessaging, kMsgDeviceNotFound, block);
  ASSERT_EQ(TELMO_CLIENT_ADD_DEVICE("Pump7", "tab\there", "50%", "", block), 1);
  EXPECT_FALSE(block.failed());
  EXPECT_EQ(TELMO_CLIENT_ADD_DEVICE("PUMP7", "x", "y", "z", block), 0);
  EXPECT_TRUE(block.holds(kFacilityMessaging, kMsgDeviceExists));

  View seen = ViewDevice("pump7");  // names ignore case
  ASSERT_EQ(seen.result, 1);
  EXPECT_EQ(seen.values[0], "tab\there");
  EXPECT_EQ(seen.values[1], "50%");
  EXPECT_EQ(seen.values[2], "");

  ASSERT_EQ(TELMO_CLIENT_MODIF_DEVICE("PUMP7", "1", "2", "3", block), 1);
  EXPECT_EQ(ViewDevice("PUMP7").values[2], "3");
  auto all = ListDevices();
  ASSERT_TRUE(all);
  ASSERT_EQ(all->size(), 1u);
  EXPECT_EQ(all->front().name, "Pump7");  // the case it was added with

  EXPECT_EQ(TELMO_CLIENT_MODIF_DEVICE("VALVE", "1", "2", "3", block), 0);
  EXPECT_TRUE(block.holds(kFacilityMessaging, kMsgDeviceNotFound));
  EXPECT_EQ(TELMO_CLIENT_ADD_DEVICE("", "1", "2", "3", block), 0);
  EXPECT_TRUE(block.holds(kFacilityMessaging, kMsgBadDevice));
  EXPECT_EQ(TELMO_CLIENT_ADD_DEVICE("VALVE", std::string(32, 'v'), "", "", block), 0);
  EXPECT_TRUE(block.holds(kFacilityMessaging, kMsgBadDevice));

  ASSERT_EQ(TELMO_CLIENT_DELETE_DEVICE("PUMP7", block), 1);
  EXPECT_EQ(ViewDevice("PUMP7").result, 0);
  EXPECT_EQ(TELMO_CLIENT_DELETE_DEVICE("PUMP7", block), 0);
  EXPECT_TRUE(block.holds(kFacilityMessaging, kMsgDeviceNotFound));
}

TEST(DeviceStore, ForeignLinesSurviveAndAnUnreadableStoreIsNeverReplaced) {
  TempNode node;
  const std::string store = DeviceStorePath();
  WriteFile(store, "# kept\nnot a device line\nOLD\ta\tb\tc\n");
  StatusBlock block;
  ASSERT_EQ(TELMO_CLIENT_ADD_DEVICE("NEW", "1", "2", "3", block), 1);
  EXPECT_EQ(ReadFile(store), "# kept\nnot a device line\nOLD\ta\tb\tc\nNEW\t1\t2\t3\n");

  std::filesystem::remove(store);
  std::filesystem::create_directory(store);  // exists, cannot be read as a file
  EXPECT_EQ(TELMO_CLIENT_ADD_DEVICE("NEW", "1", "2", "3", block), 0);
  EXPECT_TRUE(block.holds(kFacilityMessaging, kMsgDeviceStore));
  EXPECT_TRUE(std::filesystem::is_directory(store));
}

TEST(DeviceStore, ConcurrentAddsFromTwoProcessesLoseNothing) {
  TempNode node;
  constexpr int kEach = 40;
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = ::fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      StatusBlock block;
      for (int i = 0; i < kEach; ++i) {
        if (!TELMO_CLIENT_ADD_DEVICE("D" + std::to_string(c) + "_" + std::to_string(i), "v", "v", "v", block)) {
          ::_exit(1);
        }
      }
      ::_exit(0);
    }
  }
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  auto all = ListDevices();
  ASSERT_TRUE(all);
  EXPECT_EQ(all->size(), 2u * kEach);
}

int FailServicesWrite(std::string_view path) { return path.ends_with("services") ? EIO : 0; }

TEST(ServicesFile, RemovalTellsAMissingEntryFromAFileThatCannotBeChanged) {
  TempNode node;
  WriteFile(node.services_file(), "KEPT 7001/tcp\n");
  auto absent = RemoveServiceEntry("ABSENT");
  ASSERT_TRUE(absent);
  EXPECT_EQ(*absent, 0);

  platform::detail::SetAtomicWriteHook(FailServicesWrite);
  const auto failed = RemoveServiceEntry("KEPT");
  platform::detail::SetAtomicWriteHook(nullptr);
  EXPECT_FALSE(failed);
  EXPECT_EQ(ReadFile(node.services_file()), "KEPT 7001/tcp\n");
}

}  // namespace
}  // namespace telmo
