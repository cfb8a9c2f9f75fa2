#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/eventlog.h"
#include "platform/win_error.h"
#include "support/test_env.h"

namespace {

using telmo::platform::ReadEventLog;
using telmo::test::TempNode;

TEST(EventLog, ReportWritesOneLineWithTimeSourceTypeIdAndStrings) {
  TempNode node;
  EventSourceHandle source = RegisterEventSourceA(nullptr, "TELMOManager");
  ASSERT_TRUE(source.valid());
  const char* text[] = {"TELMO Manager started"};
  ASSERT_TRUE(ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 0x40000002, nullptr, 1, 0, text, nullptr));
  const char* two[] = {"TELMO Manager error from - SetServiceStatus ,errid = 6", "second"};
  ASSERT_TRUE(ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 0xC0000005, nullptr, 2, 0, two, nullptr));
  ASSERT_TRUE(ReportEventA(source, EVENTLOG_WARNING_TYPE, 0, 7, nullptr, 0, 0, nullptr, nullptr));
  EXPECT_TRUE(DeregisterEventSource(source));
  EXPECT_FALSE(source.valid());

  const auto lines = telmo::test::ReadLines(node.log_dir() / "eventlog.log");
  ASSERT_EQ(lines.size(), 3u);
  // "YYYY-MM-DD HH:MM:SS.mmm<TAB>source<TAB>TYPE<TAB>0x%08X<TAB>strings..."
  EXPECT_EQ(lines[0].size(), 23 + std::string("\tTELMOManager\tINFORMATION\t0x40000002\tTELMO Manager started").size());
  EXPECT_EQ(lines[0].substr(23), "\tTELMOManager\tINFORMATION\t0x40000002\tTELMO Manager started");
  EXPECT_EQ(lines[0][4], '-');
  EXPECT_EQ(lines[0][10], ' ');
  EXPECT_EQ(lines[0][19], '.');

  const auto events = ReadEventLog();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[1].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(events[1].event_id, 0xC0000005u);
  EXPECT_EQ(events[1].strings, (std::vector<std::string>{two[0], two[1]}));
  EXPECT_EQ(events[2].type, EVENTLOG_WARNING_TYPE);
  EXPECT_EQ(events[2].event_id, 7u);
  EXPECT_TRUE(events[2].strings.empty());
}

TEST(EventLog, LineBreaksAndTabsInTextsCannotSplitOrForgeEvents) {
  TempNode node;
  const std::string sneaky =
      "line one\r\nfake\tTELMOManager\tERROR\t0xC0000005\tforged\\t back\\slash";
  ASSERT_TRUE(telmo::platform::WriteEvent("Src\twith tab", EVENTLOG_INFORMATION_TYPE, 1, {sneaky, ""}));
  EXPECT_EQ(telmo::test::ReadLines(node.log_dir() / "eventlog.log").size(), 1u);
  const auto events = ReadEventLog();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].source, "Src\twith tab");
  EXPECT_EQ(events[0].strings, (std::vector<std::string>{sneaky, ""}));
}

TEST(EventLog, BadCallsFailAndWriteNothing) {
  TempNode node;
  EXPECT_FALSE(RegisterEventSourceA(nullptr, "").valid());
  EXPECT_FALSE(RegisterEventSourceA("server", nullptr).valid());
  EventSourceHandle empty;
  SetLastError(0);
  EXPECT_FALSE(ReportEventA(empty, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 0, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(DeregisterEventSource(empty));

  EventSourceHandle source = RegisterEventSourceA(nullptr, "TELMOManager");
  SetLastError(0);
  EXPECT_FALSE(ReportEventA(source, 3, 0, 1, nullptr, 0, 0, nullptr, nullptr));  // no such type
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 2, 0, nullptr, nullptr));
  EXPECT_TRUE(ReadEventLog().empty());

  // A log directory that cannot be written to is a failure, not a crash.
  node.Set("TELMO_LOG_DIR", (node.root() / "file-not-dir" / "sub").string());
  telmo::test::WriteFile(node.root() / "file-not-dir", "x");
  EXPECT_FALSE(telmo::platform::WriteEvent("TELMOManager", EVENTLOG_ERROR_TYPE, 1, {"x"}));
}

TEST(EventLog, ConcurrentWritersNeverInterleaveLines) {
  TempNode node;
  constexpr int kProcs = 4, kEach = 50;
  std::vector<pid_t> children;
  const std::string long_text(3000, 'x');
  for (int p = 0; p < kProcs; ++p) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      for (int i = 0; i < kEach; ++i) {
        telmo::platform::WriteEvent("P" + std::to_string(p), EVENTLOG_INFORMATION_TYPE, static_cast<DWORD>(i),
                                    {long_text});
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  for (const pid_t pid : children) ::waitpid(pid, nullptr, 0);
  const auto events = ReadEventLog();
  ASSERT_EQ(events.size(), static_cast<std::size_t>(kProcs * kEach));
  for (const auto& e : events) {
    ASSERT_EQ(e.strings.size(), 1u);
    EXPECT_EQ(e.strings[0], long_text);
  }
}

TEST(EventLog, ReaderPassesOverLinesThatAreNotEvents) {
  TempNode node;
  telmo::test::WriteFile(node.log_dir() / "eventlog.log",
                         "garbage\n"
                         "2024-01-01 00:00:00.000\tS\tNOTATYPE\t0x00000001\n"
                         "2024-01-01 00:00:00.000\tS\tERROR\t0x1\n"
                         "2024-01-01 00:00:00.000\tS\tERROR\t0x0000000Z\n"
                         "2024-01-01 00:00:00.000\tS\tWARNING\t0x0000002A\ttext\n");
  const auto events = ReadEventLog();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event_id, 42u);
  EXPECT_EQ(events[0].strings, std::vector<std::string>{"text"});
}

}  // namespace
