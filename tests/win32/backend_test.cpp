// The Win32 backend against the system: the real registry, service control
// manager, processes, files, accounts and event log (mutexes, critical
// sections and threads: platform_sync_test; Winsock: external_transport_test). Under Wine, LogonUserA
// and the event log are stubs: those tests skip there.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/accounts.h"
#include "platform/eventlog.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/scm.h"
#include "platform/win_error.h"
#include "support/test_env.h"
#include "util/text.h"
#include "win32/system_log.h"

namespace telmo::test {
namespace {

using namespace std::chrono_literals;

std::string Unique(const std::string& stem) { return stem + std::to_string(GetCurrentProcessId()); }

// A key of its own under HKEY_CURRENT_USER\Software, removed at the end.
class RegistryKey : public ::testing::Test {
 protected:
  void SetUp() override { path_ = "Software\\" + Unique("TelmoBackendTest"); }
  void TearDown() override {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    RegDeleteTreeA(key, nullptr);
    RegDeleteKeyA(HKEY_CURRENT_USER, path_.c_str());
  }
  std::string path_;
};

TEST_F(RegistryKey, ValuesRoundTripAndNamesIgnoreCase) {
  HKEY key;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  ASSERT_TRUE(platform::RegSetDword(key, "Period", 42));
  ASSERT_TRUE(platform::RegSetString(key, "Root", "%TELMOROOT%\\bin", REG_EXPAND_SZ));
  EXPECT_EQ(platform::RegGetDword(key, "PERIOD").value(), 42u);
  EXPECT_EQ(platform::RegGetString(key, "root").value(), "%TELMOROOT%\\bin");  // not expanded

  HKEY again;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, ToUpper(path_).c_str(), 0, KEY_READ, &again),
            ERROR_SUCCESS);
  auto values = platform::RegListValues(again);
  ASSERT_TRUE(values);
  EXPECT_EQ(values->size(), 2u);

  // A read-only handle cannot write; a missing key is 2; a deleted key is gone for its handle.
  EXPECT_EQ(RegSetValueExA(again, "x", 0, REG_DWORD, nullptr, 0), ERROR_ACCESS_DENIED);
  HKEY missing;
  EXPECT_EQ(RegOpenKeyExA(key, "no\\such", 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, path_.c_str()), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(key, "Period", nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
}

TEST(Files, FindMatchesIgnoringCase) {
  TempNode node;
  WriteFile(node.mgmt_dir() / "PLANT1.CSD", "x");
  WriteFile(node.mgmt_dir() / "boiler1.csd", "x");
  WriteFile(node.mgmt_dir() / "notes.txt", "x");
  WIN32_FIND_DATAA data;
  FindHandle find = FindFirstFileA((node.mgmt_dir() / "*.csd").string(), &data);
  ASSERT_TRUE(find);
  std::vector<std::string> names{data.cFileName};
  while (FindNextFileA(find, &data)) names.push_back(data.cFileName);
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"PLANT1.CSD", "boiler1.csd"}));
  EXPECT_FALSE(FindFirstFileA((node.root() / "none" / "*").string(), &data));
}

TEST(Files, WholeFileWrittenAtomicallyReadsBackAndPathsInsideIgnoreCase) {
  TempNode node;
  const std::string file = (node.state_dir() / "services").string();
  ASSERT_TRUE(platform::WriteFileAtomically(file, "ECHO 7001\r\nLOG 7002\n"));
  EXPECT_EQ(platform::ReadWholeFile(file).value(), "ECHO 7001\r\nLOG 7002\n");  // binary: no line-end change
  EXPECT_TRUE(platform::FileHolds(file, "ECHO 7001\r\nLOG 7002\n", 0600));
  EXPECT_EQ(platform::ReadWholeFile(file + ".none").error(), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(platform::ResolvesInside(ToUpper(file), node.state_dir().string()));
  EXPECT_FALSE(platform::ResolvesInside((node.state_dir() / ".." / "log").string(), node.state_dir().string()));
}

TEST(Files, ExclusiveLockHoldsOffAnotherTakerUntilReleased) {
  TempNode node;
  const std::string path = (node.state_dir() / "services.lock").string();
  auto first = platform::ExclusiveFileLock::Acquire(path);
  ASSERT_TRUE(first);
  std::atomic<bool> taken{false};
  std::jthread other([&] {
    auto second = platform::ExclusiveFileLock::Acquire(path);
    taken = second.ok();
  });
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(taken);
  *first = platform::ExclusiveFileLock{};  // released
  other.join();
  EXPECT_TRUE(taken);
}

TEST(Processes, StartedChildCarriesTheMarkerAndOthersDoNot) {
  TempNode node;
  const auto program = BuiltProgram("fake_component");
  platform::SpawnOptions options;
  options.program = program.string();
  options.arguments = {"-"};
  options.output_path = (node.log_dir() / "child.log").string();
  auto child = platform::SpawnProcess(options);
  ASSERT_TRUE(child) << child.error();
  const std::string image = program.filename().string();

  EXPECT_TRUE(platform::CarriesMarker(*child, image));
  EXPECT_FALSE(platform::CarriesMarker(*child, "other.exe"));
  const auto marked = platform::FindMarkedProcesses(image);
  EXPECT_NE(std::find(marked.begin(), marked.end(), GetProcessId(*child)), marked.end());

  // The snapshot lists it by its image name; this test process is not marked.
  SnapshotHandle snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  ASSERT_TRUE(snapshot);
  bool listed = false;
  PROCESSENTRY32 entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    listed = listed || (entry.th32ProcessID == GetProcessId(*child) && entry.szExeFile == image);
  }
  EXPECT_TRUE(listed);
  ProcessHandle self = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, GetCurrentProcessId());
  ASSERT_TRUE(self);
  EXPECT_FALSE(platform::CarriesMarker(self, BuiltProgram("win32_backend_test").filename().string()));

  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(*child, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  ASSERT_TRUE(TerminateProcess(*child, 9));
  ASSERT_EQ(WaitForSingleObject(*child, 5000), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeProcess(*child, &code));
  EXPECT_EQ(code, 9u);
  EXPECT_FALSE(platform::CarriesMarker(*child, image));  // ended
}

TEST(Processes, ProgramThatCannotRunIsAnError) {
  TempNode node;
  platform::SpawnOptions options;
  options.program = (node.root() / "missing.exe").string();
  auto child = platform::SpawnProcess(options);
  ASSERT_FALSE(child);
  EXPECT_EQ(child.error(), ERROR_FILE_NOT_FOUND);
}

// The service life cycle through the system's service control manager, with
// the fake service as the program.
TEST(ServiceControlManager, LifeCycleAndItsErrors) {
  const std::string name = Unique("TelmoFakeService");
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_TRUE(manager) << GetLastError();
  const std::string binary = "\"" + BuiltProgram("fake_service").string() + "\" --name " + name;
  SC_HANDLE service = CreateServiceA(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr,
                                     nullptr, nullptr, nullptr);
  ASSERT_TRUE(service) << GetLastError();
  struct Remove {
    SC_HANDLE& s;
    ~Remove() {
      SERVICE_STATUS st;
      ControlService(s, SERVICE_CONTROL_STOP, &st);
      DeleteService(s);
    }
  } remove{service};

  EXPECT_FALSE(CreateServiceA(manager, name.c_str(), "other", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                              SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr, nullptr,
                              nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_EXISTS);
  EXPECT_FALSE(OpenServiceA(manager, (name + "X").c_str(), SERVICE_ALL_ACCESS));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);

  const BOOL started = StartServiceA(service, 0, nullptr);
  ASSERT_TRUE(started) << "error " << GetLastError() << " starting " << binary;
  SERVICE_STATUS status;
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(QueryServiceStatus(service, &status));
    if (status.dwCurrentState == SERVICE_RUNNING) break;
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
  EXPECT_FALSE(StartServiceA(service, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);

  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  for (int i = 0; i < 100 && status.dwCurrentState != SERVICE_STOPPED; ++i) {
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(QueryServiceStatus(service, &status));
  }
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
}

TEST(ServiceControlManager, DispatcherOutsideTheManagerFails) {
  // A console program is no service: the system's dispatcher refuses it.
  static const SERVICE_TABLE_ENTRYA table[] = {{"TelmoNoService", [](DWORD, char**) {}}, {nullptr, nullptr}};
  EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
  EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
}

TEST(Accounts, WrongPasswordIsRefused) {
  if (RunningUnderWine()) GTEST_SKIP() << "LogonUserA is a stub in Wine: it accepts any password";
  TokenHandle token;
  EXPECT_FALSE(LogonUserA(platform::CurrentUserName(), ".", "not the password", LOGON32_LOGON_INTERACTIVE,
                          LOGON32_PROVIDER_DEFAULT, token));
  EXPECT_EQ(GetLastError(), ERROR_LOGON_FAILURE);
  EXPECT_FALSE(token);
}

TEST(EventLog, EventReachesTheSystemLog) {
  if (RunningUnderWine()) GTEST_SKIP() << "the event log is a stub in Wine: ReportEventA records nothing to read back";
  TempNode node;
  const std::string source = Unique("TelmoBackendTest");
  ASSERT_TRUE(platform::WriteEvent(source, EVENTLOG_WARNING_TYPE, 0x40000002, {"one", "two"}));
  std::uint32_t id = 0;
  std::vector<std::string> strings;
  ASSERT_TRUE(ReadNewestSystemEvent(source, &id, &strings));
  EXPECT_EQ(id, 0x40000002u);
  EXPECT_EQ(strings, (std::vector<std::string>{"one", "two"}));
}

}  // namespace
}  // namespace telmo::test
