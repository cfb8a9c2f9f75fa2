// The server table, its mutex, the process table and the kill of a component,
// with real child processes.
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "config/process_table.h"
#include "config/server_file.h"
#include "config/server_table.h"
#include "config_support.h"
#include "platform/process.h"
#include "support/test_env.h"

namespace telmo::test {
namespace {

namespace fs = std::filesystem;

std::unique_ptr<ServerRecord> Server(const std::string& service, int components = 1) {
  auto r = std::make_unique<ServerRecord>();
  r->name = "Server " + service;
  r->dlgp_service.assign(service);
  for (int i = 0; i < components; ++i) {
    auto c = std::make_unique<ComponentRecord>();
    c->name = "C" + std::to_string(i);
    r->components.push_back(std::move(c));
  }
  return r;
}

ProcessHandle StartSleeper() {
  platform::SpawnOptions options;
  options.program = BuiltProgram("fake_component").string();  // sleeps until killed
  options.arguments = {"-"};
  auto started = platform::SpawnProcess(options);
  EXPECT_TRUE(started.ok()) << started.error();
  return started.ok() ? std::move(started).value() : ProcessHandle();
}

// True once the process of `pid` has ended (waits up to 5 s).
bool EndsSoon(ProcessHandle& watch) {
  for (int i = 0; i < 500; ++i) {
    DWORD code = 0;
    if (!GetExitCodeProcess(watch, &code) || code != STILL_ACTIVE) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

int KillLines(const TempNode& node) {
  return CountLinesWith(node.log_dir() / "management.log", "Zarvel Telmo Manager forcibly terminating process");
}

// ---------------------------------------------------------------------------
// Mutex

TEST(ServerTableMutex, ErrorCodes) {
  ServerTableMutex mutex;
  StatusBlock status;
  EXPECT_FALSE(mutex.Acquire(-1, status));
  EXPECT_TRUE(status.holds(kFacilityMutex, 14014));
  TELMO_SERVER_INITBLK(status);
  EXPECT_FALSE(mutex.Release(status));
  EXPECT_TRUE(status.holds(kFacilityMutex, 14016));
  EXPECT_FALSE(mutex.Close(status));
  EXPECT_TRUE(status.holds(kFacilityMutex, 14012));

  TELMO_SERVER_INITBLK(status);
  ASSERT_TRUE(mutex.Create(status));
  // Re-entrant for its owner.
  EXPECT_TRUE(mutex.Acquire(-1, status));
  EXPECT_TRUE(mutex.Acquire(-1, status));
  // Another thread cannot release it, and times out waiting for it, which
  // counts as acquired.
  std::thread other([&] {
    StatusBlock s;
    EXPECT_FALSE(mutex.Release(s));
    EXPECT_TRUE(s.holds(kFacilityMutex, 14016));
    EXPECT_TRUE(mutex.Acquire(10, s));
    EXPECT_FALSE(s.failed());
  });
  other.join();
  EXPECT_TRUE(mutex.Release(status));
  EXPECT_TRUE(mutex.Release(status));
  EXPECT_FALSE(mutex.Release(status));
  EXPECT_TRUE(mutex.Close(status));
}

TEST(ServerTableMutex, AcquireClearsTheStatusBlock) {
  ServerTableMutex mutex;
  StatusBlock status;
  ASSERT_TRUE(mutex.Create(status));
  TELMO_SERVER_LDBLK(kFacilityManagement, 15001, status);
  EXPECT_TRUE(mutex.Acquire(-1, status));
  EXPECT_FALSE(status.failed());
  EXPECT_TRUE(mutex.Release(status));
}

// ---------------------------------------------------------------------------
// Server table

TEST(ServerTable, FindServerMatchesIgnoringCaseFirstInTableOrder) {
  TestTable t;
  auto& table = t.table;
  table.Append(Server(""));
  table.Append(Server("PLANT1"));
  ServerRecord* first = table.records().back().get();
  table.Append(Server("plant1"));
  table.Append(Server(std::string(31, 'L')));

  EXPECT_EQ(TELMO_MGMT_FindServer("plant1", table), first);
  EXPECT_EQ(TELMO_MGMT_FindServer(Text32("PlAnT1"), table), first);
  EXPECT_EQ(TELMO_MGMT_FindServer("", table), nullptr);  // never finds the record with an empty key
  EXPECT_NE(TELMO_MGMT_FindServer(std::string(31, 'l'), table), nullptr);
  EXPECT_EQ(TELMO_MGMT_FindServer(std::string(32, 'L'), table), nullptr);
  EXPECT_EQ(TELMO_MGMT_FindServer("PLANT", table), nullptr);

  ServerTable no_mutex;
  no_mutex.Append(Server("PLANT1"));
  EXPECT_EQ(TELMO_MGMT_FindServer("PLANT1", no_mutex), nullptr);  // mutex failure is logged, nothing found
}

TEST(ServerTable, IteratorAndUnlinkKeepTheWalkGoing) {
  TestTable t;
  auto& table = t.table;
  for (const char* s : {"A", "B", "C", "D"}) table.Append(Server(s));

  table.ResetCursor();
  EXPECT_EQ(table.NextServer()->dlgp_service, "A");
  ServerRecord* b = table.NextServer();
  EXPECT_EQ(b->dlgp_service, "B");
  // Removing the record under the cursor: the walk goes on with the next one.
  auto taken = table.Unlink(*b);
  ASSERT_EQ(taken.get(), b);
  EXPECT_EQ(table.NextServer()->dlgp_service, "C");
  // Removing a record before the cursor does not skip anything.
  EXPECT_TRUE(table.Unlink(*table.head()));
  EXPECT_EQ(table.NextServer()->dlgp_service, "D");
  EXPECT_EQ(table.NextServer(), nullptr);
  EXPECT_EQ(table.NextServer()->dlgp_service, "C");  // after the end the walk starts again

  EXPECT_EQ(table.Unlink(*taken), nullptr);  // not in the table any more
}

TEST(ServerTable, UnlinkTakesThatRecordEvenWithDuplicateKeys) {
  TestTable t;
  t.table.Append(Server("DUP"));
  t.table.Append(Server("dup"));
  ServerRecord* second = t.table.records()[1].get();
  auto taken = t.table.Unlink(*second);
  EXPECT_EQ(taken.get(), second);
  ASSERT_EQ(t.table.size(), 1u);
  EXPECT_EQ(t.table.head()->dlgp_service, "DUP");
}

TEST(ServerTable, ComponentIteratorWrapsToZero) {
  auto server = Server("S", 3);
  server->components[1].reset();  // a component that could not be built
  server->component_cursor = -1;
  EXPECT_EQ(config::NextComponent(*server)->name, "C0");
  EXPECT_EQ(config::NextComponent(*server)->name, "C2");
  EXPECT_EQ(config::NextComponent(*server), nullptr);
  EXPECT_EQ(server->component_cursor, 0);
  // Without a reset the next walk starts at index 1 (here a null entry, stepped over).
  EXPECT_EQ(config::NextComponent(*server)->name, "C2");
}

// ---------------------------------------------------------------------------
// Process table

TEST(ProcessTable, RegisterReusesFreeEntriesAndGrowsByHundred) {
  ProcessTable table;
  EXPECT_EQ(table.capacity(), 100);
  EXPECT_EQ(table.highest(), -1);
  std::vector<std::unique_ptr<ServerRecord>> servers;
  for (int i = 0; i < 101; ++i) servers.push_back(Server("S" + std::to_string(i)));

  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(table.Register(*servers[i], *servers[i]->components[0], {}).index, i);
  }
  EXPECT_EQ(table.capacity(), 100);
  EXPECT_EQ(table.highest(), 99);
  EXPECT_EQ(table.Register(*servers[100], *servers[100]->components[0], {}).index, 100);
  EXPECT_EQ(table.capacity(), 200);
  EXPECT_EQ(table.highest(), 100);

  // Releasing the highest lowers it by one only; a free entry below is reused.
  EXPECT_EQ(table.ReleaseEntry(*servers[5], *servers[5]->components[0]), 5);
  EXPECT_EQ(table.ReleaseEntry(*servers[100], *servers[100]->components[0]), 100);
  EXPECT_EQ(table.highest(), 99);
  EXPECT_EQ(table.ReleaseEntry(*servers[99], *servers[99]->components[0]), 99);
  EXPECT_EQ(table.highest(), 98);
  EXPECT_EQ(table.ReleaseEntry(*servers[99], *servers[99]->components[0]), -1);
  EXPECT_EQ(table.Register(*servers[100], *servers[100]->components[0], {}).index, 5);
  EXPECT_EQ(table.Find(servers[100].get(), servers[100]->components[0].get()), 5);
  EXPECT_EQ(table.Find(servers[5].get(), servers[5]->components[0].get()), -1);
}

TEST(ProcessTable, RegisteringAgainReplacesTheHandle) {
  TempNode node;
  ProcessTable table;
  auto server = Server("S");
  ProcessHandle first = StartSleeper();
  const DWORD first_pid = GetProcessId(first);
  EXPECT_EQ(table.Register(*server, *server->components[0], std::move(first)).index, 0);
  ProcessHandle second = StartSleeper();
  const DWORD second_pid = GetProcessId(second);
  auto result = table.Register(*server, *server->components[0], std::move(second));
  EXPECT_EQ(result.index, 0);
  EXPECT_EQ(GetProcessId(result.replaced), first_pid);
  EXPECT_EQ(GetProcessId(table.entry(0).process), second_pid);
  EXPECT_EQ(table.highest(), 0);
  TerminateProcess(result.replaced, 0);
  TerminateProcess(table.entry(0).process, 0);
}

// ---------------------------------------------------------------------------
// Kill, free, stop unwanted, save and free all

TEST(KillComponent, EndsARunningProcessAndLogsOnce) {
  TempNode node;
  ProcessTable table;
  auto server = Server("PLANT%s%n");  // names are data, never a format
  server->name = "Unit %s %n";
  auto& component = *server->components[0];
  component.tcp_service.assign("SVC1");
  EXPECT_EQ(TELMO_MGMT_KillComponent(table, *server, component), -1);
  EXPECT_EQ(KillLines(node), 0);

  ProcessHandle process = StartSleeper();
  ProcessHandle watch = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, GetProcessId(process));
  table.Register(*server, component, std::move(process));
  EXPECT_EQ(TELMO_MGMT_KillComponent(table, *server, component), 0);
  EXPECT_TRUE(EndsSoon(watch));
  EXPECT_FALSE(table.entry(0).process.valid());
  EXPECT_EQ(table.entry(0).server, server.get());  // the entry stays
  EXPECT_EQ(KillLines(node), 1);
  const std::string log = ReadFile(node.log_dir() / "management.log");
  EXPECT_NE(log.find("Server  name - \"Unit %s %n\" Dlgp Service -\"PLANT%s%n\""), std::string::npos) << log;
  EXPECT_NE(log.find("Process name - \"C0\" Service -\"SVC1\""), std::string::npos);

  // Nothing left to kill: no second text.
  EXPECT_EQ(TELMO_MGMT_KillComponent(table, *server, component), 0);
  EXPECT_EQ(KillLines(node), 1);
}

TEST(KillComponent, AnEndedProcessIsNotReported) {
  TempNode node;
  ProcessTable table;
  auto server = Server("S");
  platform::SpawnOptions options;
  options.program = "/bin/true";
  auto started = platform::SpawnProcess(options);
  ASSERT_TRUE(started.ok());
  ProcessHandle process = std::move(started).value();
  EXPECT_TRUE(EndsSoon(process));
  table.Register(*server, *server->components[0], std::move(process));
  EXPECT_EQ(TELMO_MGMT_KillComponent(table, *server, *server->components[0]), 0);
  EXPECT_FALSE(table.entry(0).process.valid());
  EXPECT_EQ(KillLines(node), 0);
}

TEST(FreeServerRecord, EndsTheProcessesOfItsComponentsAndFreesTheirEntries) {
  TempNode node;
  ProcessTable table;
  auto server = Server("S", 2);
  ProcessHandle process = StartSleeper();
  ProcessHandle watch = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, GetProcessId(process));
  table.Register(*server, *server->components[0], std::move(process));
  table.Register(*server, *server->components[1], {});
  EXPECT_EQ(table.highest(), 1);
  config::FreeServerRecord(table, std::move(server));
  EXPECT_TRUE(EndsSoon(watch));
  EXPECT_EQ(table.highest(), 0);  // lowered by one only
  EXPECT_TRUE(table.entry(0).is_free());
  EXPECT_TRUE(table.entry(1).is_free());
  EXPECT_EQ(KillLines(node), 1);
}

TEST(StopUnwantedComponents, OnlyForServersThatShouldNotRun) {
  TempNode node;
  ProcessTable table;
  auto server = Server("S");
  ProcessHandle process = StartSleeper();
  ProcessHandle watch = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, GetProcessId(process));
  table.Register(*server, *server->components[0], std::move(process));

  StatusBlock status;
  server->desired_state = kDesiredStateStarted;
  config::StopUnwantedComponents(table, *server, status);
  EXPECT_TRUE(table.entry(0).process.valid());

  TELMO_SERVER_LDBLK(kFacilityManagement, 15001, status);  // an error already held stops the walk
  server->desired_state = kDesiredStateStopped;
  config::StopUnwantedComponents(table, *server, status);
  EXPECT_TRUE(table.entry(0).process.valid());

  TELMO_SERVER_INITBLK(status);
  config::StopUnwantedComponents(table, *server, status);
  EXPECT_FALSE(table.entry(0).process.valid());
  EXPECT_TRUE(EndsSoon(watch));
}

TEST(SaveAndFreeAll, WritesEveryFileThenEmptiesTheTable) {
  TempNode node;
  TestTable t;
  ProcessTable processes;
  StatusBlock status;
  for (const char* s : {"A", "B"}) t.table.Append(LoadText(SimpleServerFile(s), status));
  ServerRecord* a = t.table.head();
  ProcessHandle process = StartSleeper();
  ProcessHandle watch = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, GetProcessId(process));
  processes.Register(*a, *a->components[0], std::move(process));

  config::SaveAndFreeAll(t.table, processes, status);
  EXPECT_FALSE(status.failed()) << status.describe();
  EXPECT_TRUE(t.table.empty());
  EXPECT_TRUE(fs::exists(node.mgmt_dir() / "A.csd"));
  EXPECT_TRUE(fs::exists(node.mgmt_dir() / "B.csd"));
  EXPECT_TRUE(EndsSoon(watch));
  EXPECT_EQ(processes.highest(), -1);
}

}  // namespace
}  // namespace telmo::test
