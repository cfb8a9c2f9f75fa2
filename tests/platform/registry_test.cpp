#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/eventlog.h"
#include "platform/registry.h"
#include "platform/win_error.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using telmo::platform::RegGetDword;
using telmo::platform::RegGetString;
using telmo::platform::RegGetValue;
using telmo::platform::RegListSubkeys;
using telmo::platform::RegListValues;
using telmo::platform::RegSetDword;
using telmo::platform::RegSetString;
using telmo::test::ReadFile;
using telmo::test::TempNode;
using telmo::test::WriteFile;

constexpr const char* kProductKey = "SOFTWARE\\Zarvelco\\TELMO";

HKEY Create(const char* path, REGSAM sam = KEY_ALL_ACCESS, DWORD* disposition = nullptr) {
  HKEY key;
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, sam, nullptr, &key, disposition),
            ERROR_SUCCESS);
  return key;
}

LSTATUS Open(const char* path, REGSAM sam, HKEY* key) { return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, sam, key); }

/// Runs `body` in a child process and returns its exit status.
template <typename Body>
int InChild(Body body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    body();
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

TEST(Registry, KeyNamesIgnoreCaseAndKeepTheirFirstSpelling) {
  TempNode node;
  DWORD how = 0;
  Create(kProductKey, KEY_ALL_ACCESS, &how);
  EXPECT_EQ(how, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  Create("software\\ZARVELCO\\telmo", KEY_ALL_ACCESS, &how);
  EXPECT_EQ(how, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));

  HKEY key;
  ASSERT_EQ(Open("software\\zarvelco\\TELMO\\", KEY_READ, &key), ERROR_SUCCESS);  // trailing "\" passes
  auto stored = telmo::platform::RegStoredPath(key);
  ASSERT_TRUE(stored.ok());
  EXPECT_EQ(*stored, kProductKey);

  HKEY software;
  ASSERT_EQ(Open("SOFTWARE", KEY_READ, &software), ERROR_SUCCESS);
  auto names = RegListSubkeys(software);
  ASSERT_TRUE(names.ok());
  EXPECT_EQ(*names, std::vector<std::string>{"Zarvelco"});

  // Value names too: a second spelling updates the first value.
  HKEY rw;
  ASSERT_EQ(Open(kProductKey, KEY_READ | KEY_WRITE, &rw), ERROR_SUCCESS);
  ASSERT_TRUE(RegSetDword(rw, "TELMOPingFrequency", 60).ok());
  ASSERT_TRUE(RegSetDword(rw, "telmopingfrequency", 30).ok());
  auto values = RegListValues(rw);
  ASSERT_TRUE(values.ok());
  ASSERT_EQ(values->size(), 1u);
  EXPECT_EQ((*values)[0].name, "TELMOPingFrequency");
  EXPECT_EQ(RegGetDword(rw, "TELMOPINGFREQUENCY").value(), 30u);
}

TEST(Registry, TypedValuesComeBackByteForByte) {
  TempNode node;
  HKEY key = Create(kProductKey);
  ASSERT_TRUE(RegSetDword(key, "TELMOTestMessages", 0xDEADBEEF).ok());
  ASSERT_TRUE(RegSetString(key, "Path", "C:\\Program Files\\TELMO").ok());
  ASSERT_TRUE(RegSetString(key, "Expand", "%TELMOROOT%\\bin", REG_EXPAND_SZ).ok());
  const BYTE binary[] = {0x00, 0xFF, 0x10, 0x00, 0x7F};
  ASSERT_EQ(RegSetValueExA(key, "Blob", 0, REG_BINARY, binary, sizeof binary), ERROR_SUCCESS);
  const char latin1[] = "Caf\xE9";  // not UTF-8: must not be mangled or refused
  ASSERT_EQ(RegSetValueExA(key, "Latin", 0, REG_SZ, reinterpret_cast<const BYTE*>(latin1), sizeof latin1),
            ERROR_SUCCESS);
  const char multi[] = "one\0two\0";
  ASSERT_EQ(RegSetValueExA(key, "Multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi), sizeof multi),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "", 0, REG_SZ, reinterpret_cast<const BYTE*>("dflt"), 5), ERROR_SUCCESS);

  EXPECT_EQ(RegGetDword(key, "TELMOTestMessages").value(), 0xDEADBEEFu);
  EXPECT_EQ(RegGetString(key, "Path").value(), "C:\\Program Files\\TELMO");
  EXPECT_EQ(RegGetString(key, "Expand").value(), "%TELMOROOT%\\bin");  // not expanded
  EXPECT_EQ(RegGetValue(key, "Expand")->type, REG_EXPAND_SZ);
  EXPECT_EQ(RegGetValue(key, "Blob")->data, std::vector<BYTE>(binary, binary + sizeof binary));
  EXPECT_EQ(RegGetValue(key, "Latin")->data, std::vector<BYTE>(latin1, latin1 + sizeof latin1));
  EXPECT_EQ(RegGetValue(key, "Multi")->data, std::vector<BYTE>(multi, multi + sizeof multi));
  EXPECT_EQ(RegGetString(key, "").value(), "dflt");

  // The wrong type is an error, not a reinterpretation.
  EXPECT_EQ(RegGetDword(key, "Path").error(), ERROR_INVALID_DATA);
  EXPECT_EQ(RegGetString(key, "TELMOTestMessages").error(), ERROR_INVALID_DATA);
  // A DWORD set with the wrong size is kept as given but is no DWORD.
  const BYTE two[] = {1, 2};
  ASSERT_EQ(RegSetValueExA(key, "Short", 0, REG_DWORD, two, 2), ERROR_SUCCESS);
  EXPECT_EQ(RegGetDword(key, "Short").error(), ERROR_INVALID_DATA);
}

TEST(Registry, QueryFollowsWindowsBufferRules) {
  TempNode node;
  HKEY key = Create(kProductKey);
  ASSERT_TRUE(RegSetString(key, "ProductVersion", "10.2.1").ok());  // 7 bytes with the NUL

  DWORD type = 0, size = 0;
  ASSERT_EQ(RegQueryValueExA(key, "ProductVersion", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 7u);

  BYTE small[4];
  std::memset(small, 'x', sizeof small);
  size = sizeof small;
  EXPECT_EQ(RegQueryValueExA(key, "ProductVersion", nullptr, &type, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(small), 4), "xxxx");  // nothing written

  BYTE buffer[256];
  size = sizeof buffer;
  ASSERT_EQ(RegQueryValueExA(key, "ProductVersion", nullptr, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 7u);
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "10.2.1");

  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, buffer, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExA(key, "ProductVersion", nullptr, &type, buffer, nullptr), ERROR_INVALID_PARAMETER);
}

TEST(Registry, MissingKeysAndValuesAreFileNotFound) {
  TempNode node;
  HKEY key;
  EXPECT_EQ(Open(kProductKey, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(key.valid());
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvelco\\Setup\\Products\\Corvanisx64\\", 0,
                          KEY_READ | KEY_WOW64_32KEY, &key),
            ERROR_FILE_NOT_FOUND);

  // What every Windows machine has is there from the start.
  EXPECT_EQ(Open("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application", KEY_WRITE | KEY_WOW64_32KEY, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(key, "Nothing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(key, "TELMOManager"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), ERROR_SUCCESS);

  HKEY empty;
  EXPECT_EQ(RegOpenKeyExA(empty, "x", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(empty), ERROR_INVALID_HANDLE);
}

TEST(Registry, KeyWithSubkeysCannotBeDeletedButItsTreeCan) {
  TempNode node;
  Create("SOFTWARE\\Zarvelco\\TELMO\\TELMO_SCANNER_SVC1_CFG\\NODEA");
  HKEY parent;
  ASSERT_EQ(Open(kProductKey, 0x20007 | KEY_WOW64_32KEY, &parent), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(parent, "TELMO_SCANNER_SVC1_CFG"), ERROR_ACCESS_DENIED);

  HKEY scanner;
  ASSERT_EQ(Open("SOFTWARE\\Zarvelco\\TELMO\\TELMO_SCANNER_SVC1_CFG", 0x20007, &scanner), ERROR_SUCCESS);
  ASSERT_TRUE(telmo::platform::RegDeleteKeyExAvailable());
  EXPECT_EQ(RegDeleteKeyExA(scanner, "nodea", KEY_WOW64_32KEY, 0), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyExA(scanner, "NODEA", KEY_WOW64_32KEY, 0), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(parent, "TELMO_SCANNER_SVC1_CFG"), ERROR_SUCCESS);

  // The handle of a deleted key fails from then on.
  EXPECT_EQ(telmo::platform::RegSetDword(scanner, "x", 1).error(), ERROR_KEY_DELETED);

  Create("SOFTWARE\\Zarvelco\\TELMO\\A\\B\\C");
  EXPECT_EQ(RegDeleteTreeA(parent, "a"), ERROR_SUCCESS);
  HKEY gone;
  EXPECT_EQ(Open("SOFTWARE\\Zarvelco\\TELMO\\A", KEY_READ, &gone), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(parent, ""), ERROR_INVALID_PARAMETER);
}

TEST(Registry, HandleRightsAreEnforced) {
  TempNode node;
  Create(kProductKey);
  HKEY read_only;
  ASSERT_EQ(Open(kProductKey, KEY_READ, &read_only), ERROR_SUCCESS);
  const DWORD one = 1;
  EXPECT_EQ(RegSetValueExA(read_only, "TELMOTestMessages", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueA(read_only, "TELMOTestMessages"), ERROR_ACCESS_DENIED);
  HKEY sub;
  EXPECT_EQ(RegCreateKeyExA(read_only, "New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(Open("SOFTWARE\\Zarvelco\\TELMO\\New", KEY_READ, &sub), ERROR_FILE_NOT_FOUND);

  HKEY write_only;
  ASSERT_EQ(Open(kProductKey, KEY_WRITE | KEY_WOW64_32KEY, &write_only), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(write_only, "TELMOTestMessages", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
            ERROR_SUCCESS);
  EXPECT_EQ(RegGetDword(write_only, "TELMOTestMessages").error(), ERROR_ACCESS_DENIED);
  std::string name;
  EXPECT_EQ(RegEnumKeyExA(write_only, 0, &name), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegGetDword(read_only, "TELMOTestMessages").value(), 1u);

  // Opening an existing key through a parent without create rights is fine.
  DWORD how = 0;
  EXPECT_EQ(RegCreateKeyExA(read_only, "", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &sub, &how), ERROR_SUCCESS);
  EXPECT_EQ(how, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
}

TEST(Registry, EnumerationOrderAndEnd) {
  TempNode node;
  HKEY key = Create(kProductKey);
  Create("SOFTWARE\\Zarvelco\\TELMO\\beta");
  Create("SOFTWARE\\Zarvelco\\TELMO\\Alpha");
  Create("SOFTWARE\\Zarvelco\\TELMO\\Gamma");
  ASSERT_TRUE(RegSetDword(key, "z", 1).ok());
  ASSERT_TRUE(RegSetDword(key, "a", 2).ok());

  std::vector<std::string> keys;
  std::string name;
  for (DWORD i = 0; RegEnumKeyExA(key, i, &name) == ERROR_SUCCESS; ++i) keys.push_back(name);
  EXPECT_EQ(keys, (std::vector<std::string>{"Alpha", "beta", "Gamma"}));
  EXPECT_EQ(RegEnumKeyExA(key, 3, &name), ERROR_NO_MORE_ITEMS);

  DWORD type = 0;
  std::vector<BYTE> data;
  ASSERT_EQ(RegEnumValueA(key, 0, &name, &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(name, "z");
  ASSERT_EQ(RegEnumValueA(key, 1, &name, &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(name, "a");
  EXPECT_EQ(RegEnumValueA(key, 2, &name, &type, &data), ERROR_NO_MORE_ITEMS);
}

TEST(Registry, NamesThatCannotBeStoredAreRefused) {
  TempNode node;
  HKEY key = Create(kProductKey);
  HKEY sub;
  EXPECT_EQ(RegCreateKeyExA(key, "bad\xFF", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCreateKeyExA(key, "tab\there", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCreateKeyExA(key, std::string(256, 'k').c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub,
                            nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegSetDword(key, "bad\xC0\xAF", 1).error(), ERROR_INVALID_PARAMETER);  // overlong "/"
  // Nothing was half-written: the store still reads.
  EXPECT_TRUE(RegListSubkeys(key)->empty());
  EXPECT_TRUE(RegSetString(key, "Caf\xC3\xA9", "ok").ok());  // valid UTF-8 is welcome
}

TEST(RegistryStore, CrashBetweenTempFileAndRenameLeavesTheOldStore) {
  TempNode node;
  HKEY key = Create(kProductKey);
  ASSERT_TRUE(RegSetDword(key, "Before", 1).ok());
  const std::string before = ReadFile(telmo::platform::RegistryStorePath());

  const int status = InChild([] {
    telmo::platform::detail::SetRegistryCommitHook([] { ::_exit(77); });
    HKEY k;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_ALL_ACCESS, &k);
    (void)RegSetDword(k, "After", 2);
    ::_exit(1);  // not reached when the hook ran
  });
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 77);

  EXPECT_EQ(ReadFile(telmo::platform::RegistryStorePath()), before);
  EXPECT_EQ(RegGetDword(key, "Before").value(), 1u);
  EXPECT_EQ(RegGetDword(key, "After").error(), ERROR_FILE_NOT_FOUND);
  // The left-over temporary file does not stand in the next writer's way.
  ASSERT_TRUE(RegSetDword(key, "After", 3).ok());
  EXPECT_EQ(RegGetDword(key, "After").value(), 3u);
  EXPECT_EQ(RegGetDword(key, "Before").value(), 1u);
}

TEST(RegistryStore, ConcurrentWritersInSeveralProcessesLoseNothing) {
  TempNode node;
  Create(kProductKey);
  constexpr int kWriters = 4, kEach = 25;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      HKEY k;
      if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_ALL_ACCESS, &k) != ERROR_SUCCESS) ::_exit(2);
      for (int i = 0; i < kEach; ++i) {
        const std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
        if (!RegSetDword(k, name, static_cast<DWORD>(w * 1000 + i)).ok()) ::_exit(3);
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  for (const pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  HKEY key;
  ASSERT_EQ(Open(kProductKey, KEY_READ, &key), ERROR_SUCCESS);
  auto values = RegListValues(key);
  ASSERT_TRUE(values.ok());
  EXPECT_EQ(values->size(), static_cast<std::size_t>(kWriters * kEach));
  EXPECT_EQ(RegGetDword(key, "w3_24").value(), 3024u);
}

TEST(RegistryStore, CorruptStoreIsReportedThenKeptAsideNeverSilentlyReplaced) {
  TempNode node;
  const fs::path store = telmo::platform::RegistryStorePath();
  const std::string garbage = "{\"format\": \"telmo-registry\", \"HKEY_LOCAL_MACHINE\": {\"values\": 7";
  WriteFile(store, garbage);

  HKEY key;
  EXPECT_EQ(Open("SOFTWARE", KEY_READ, &key), ERROR_BADDB);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), ERROR_BADDB);
  EXPECT_EQ(ReadFile(store), garbage);  // reading changes nothing

  // The next change keeps the bad file aside, says so, and starts afresh.
  HKEY product = Create(kProductKey);
  ASSERT_TRUE(product.valid());
  EXPECT_EQ(ReadFile(store.string() + ".corrupt"), garbage);
  EXPECT_EQ(Open("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application", KEY_READ, &key), ERROR_SUCCESS);
  const auto events = telmo::platform::ReadEventLog();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, EVENTLOG_WARNING_TYPE);
  ASSERT_EQ(events[0].strings.size(), 1u);
  EXPECT_NE(events[0].strings[0].find("registry.corrupt"), std::string::npos);

  // A second bad store does not overwrite the first copy.
  WriteFile(store, "\x01 not json");
  Create(kProductKey);
  EXPECT_EQ(ReadFile(store.string() + ".corrupt"), garbage);
  EXPECT_TRUE(fs::exists(store.string() + ".corrupt.1"));
}

TEST(RegistryStore, HostileStoreContentNeverCrashes) {
  TempNode node;
  const fs::path store = telmo::platform::RegistryStorePath();
  HKEY key;
  const std::vector<std::string> bad = {
      std::string(200000, '['),                                                      // deep nesting
      "{\"format\":\"telmo-registry\",\"HKEY_LOCAL_MACHINE\":{\"values\":[],\"keys\":[{\"name\":5}]}}",
      "{\"format\":\"telmo-registry\",\"HKEY_LOCAL_MACHINE\":{\"values\":[{\"name\":\"v\",\"type\":4,"
      "\"hex\":\"abc\"}],\"keys\":[]}}",
      "{\"format\":\"telmo-registry\",\"HKEY_LOCAL_MACHINE\":{\"values\":[],\"keys\":["
      "{\"name\":\"A\",\"values\":[],\"keys\":[]},{\"name\":\"a\",\"values\":[],\"keys\":[]}]}}",
      "[]",
      "",
  };
  for (const auto& content : bad) {
    WriteFile(store, content);
    EXPECT_EQ(Open("SOFTWARE", KEY_READ, &key), ERROR_BADDB) << content.substr(0, 60);
  }
  // Deeply nested keys in a well-formed file are refused too (the loader recurses).
  std::string deep = "{\"format\":\"telmo-registry\",\"HKEY_LOCAL_MACHINE\":{\"values\":[],\"keys\":[";
  for (int i = 0; i < 600; ++i) deep += "{\"name\":\"k\",\"values\":[],\"keys\":[";
  for (int i = 0; i < 601; ++i) deep += "]}";
  deep += "}";
  WriteFile(store, deep);
  EXPECT_EQ(Open("k", KEY_READ, &key), ERROR_BADDB);
}

}  // namespace
