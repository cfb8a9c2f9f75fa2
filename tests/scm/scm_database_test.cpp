// The service database through the controller's calls: install, open, query,
// change, delete, rights, names, and several writers at once.
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "scm_test_support.h"

namespace telmo::test {
namespace {

class ScmDatabase : public ::testing::Test {
 protected:
  TempNode node_;
  SC_HANDLE manager_ = OpenManager();
};

TEST_F(ScmDatabase, InstallingTwiceFailsWith1073AndKeepsTheFirstRecord) {
  ASSERT_TRUE(Install(manager_, "AutoStartTELMO", "/opt/first -x", ".\\alice"));
  SetLastError(0);
  EXPECT_FALSE(Install(manager_, "autostarttelmo", "/opt/second", ".\\bob", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_EXISTS);

  SC_HANDLE service = OpenServiceA(manager_, "AUTOSTARTTELMO", SERVICE_QUERY_CONFIG);
  ASSERT_TRUE(service) << GetLastError();
  std::vector<std::byte> buffer(4096);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
  DWORD needed = 0;
  ASSERT_TRUE(QueryServiceConfigA(service, config, 4096, &needed)) << GetLastError();
  EXPECT_STREQ(config->lpServiceStartName, ".\\alice");
  EXPECT_STREQ(config->lpBinaryPathName, "/opt/first -x");
  EXPECT_STREQ(config->lpDisplayName, "AutoStartTELMO display");
  EXPECT_STREQ(config->lpDependencies, "LanmanServer");
  EXPECT_EQ(config->dwStartType, SERVICE_AUTO_START);
  // No password is kept anywhere in the database.
  for (const auto& e : std::filesystem::recursive_directory_iterator(node_.state_dir() / "services.d")) {
    if (e.is_regular_file()) {
      EXPECT_EQ(ReadFile(e.path()).find("secret"), std::string::npos) << e.path();
    }
  }
}

TEST_F(ScmDatabase, QueryServiceConfigFollowsTheTwoCallProtocol) {
  ASSERT_TRUE(CreateServiceA(manager_, "Svc", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                             SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "\"/opt/a b/svc\" -n", nullptr, nullptr,
                             "One\0Two\0", nullptr, nullptr));
  SC_HANDLE service = OpenServiceA(manager_, "svc", SERVICE_QUERY_CONFIG);
  DWORD needed = 0;
  SetLastError(0);
  EXPECT_FALSE(QueryServiceConfigA(service, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  ASSERT_GT(needed, sizeof(QUERY_SERVICE_CONFIGA));

  std::vector<std::byte> buffer(needed + 64);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
  DWORD again = 0;
  EXPECT_FALSE(QueryServiceConfigA(service, config, needed - 1, &again));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(again, needed);
  ASSERT_TRUE(QueryServiceConfigA(service, config, needed, &again)) << GetLastError();

  const auto* begin = reinterpret_cast<const char*>(buffer.data());
  for (const char* text : {config->lpBinaryPathName, config->lpLoadOrderGroup, config->lpDependencies,
                           config->lpServiceStartName, config->lpDisplayName}) {
    ASSERT_GE(text, begin + sizeof(QUERY_SERVICE_CONFIGA));
    ASSERT_LT(text, begin + needed);
  }
  EXPECT_STREQ(config->lpBinaryPathName, "\"/opt/a b/svc\" -n");
  EXPECT_STREQ(config->lpDisplayName, "Svc");  // no display name: the service name
  EXPECT_STREQ(config->lpServiceStartName, "LocalSystem");
  EXPECT_EQ(std::memcmp(config->lpDependencies, "One\0Two\0\0", 9), 0);
  EXPECT_EQ(config->dwServiceType, SERVICE_WIN32_OWN_PROCESS);
}

TEST_F(ScmDatabase, NamesAreCheckedAndCompareIgnoringCase) {
  SetLastError(0);
  EXPECT_FALSE(OpenServiceA(manager_, "Missing", SERVICE_QUERY_STATUS));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_FALSE(Install(manager_, "a/b", "/bin/true"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  EXPECT_FALSE(Install(manager_, "", "/bin/true"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);

  // Names that look alike to an escaping or hashing scheme stay apart.
  const std::string long_a(240, 'a');
  for (const std::string& name : {std::string("a.b"), std::string("a%2Eb"), std::string("A%2eB x"), long_a + "1",
                                  long_a + "2", std::string(".hidden"), std::string("Zarvel Process Simulator")})
    ASSERT_TRUE(Install(manager_, name, "/bin/true", nullptr, nullptr)) << name << " " << GetLastError();
  SC_HANDLE service = OpenServiceA(manager_, (long_a + "2").c_str(), SERVICE_QUERY_CONFIG);
  ASSERT_TRUE(service);
  std::vector<std::byte> buffer(2048);
  DWORD needed = 0;
  ASSERT_TRUE(QueryServiceConfigA(service, reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data()), 2048, &needed));
  EXPECT_EQ(std::string(reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data())->lpDisplayName), long_a + "2 display");
  EXPECT_TRUE(OpenServiceA(manager_, "ZARVEL PROCESS SIMULATOR", SERVICE_QUERY_STATUS));
  EXPECT_TRUE(Install(manager_, "Other", "/bin/true"));  // its display name is free...
  EXPECT_FALSE(CreateServiceA(manager_, "Third", "a.b display", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                              SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, "/bin/true", nullptr, nullptr, nullptr,
                              nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_DUPLICATE_SERVICE_NAME);  // ...but not another's
}

TEST_F(ScmDatabase, RightsOfHandlesAreEnforced) {
  ASSERT_TRUE(Install(manager_, "Svc", "/bin/true"));
  SC_HANDLE query_only = OpenServiceA(manager_, "Svc", SERVICE_QUERY_STATUS);
  ASSERT_TRUE(query_only);
  SetLastError(0);
  EXPECT_FALSE(StartServiceA(query_only, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(DeleteService(query_only));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  SERVICE_STATUS status;
  EXPECT_FALSE(ControlService(query_only, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

  SC_HANDLE connect_only = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  EXPECT_FALSE(Install(connect_only, "Other", "/bin/true"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(QueryServiceStatus(manager_, &status));  // a manager handle is not a service
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(OpenSCManagerA("othernode", nullptr, SC_MANAGER_CONNECT));
}

TEST_F(ScmDatabase, NeverStartedAndDisabledServices) {
  SC_HANDLE service = Install(manager_, "Svc", "/bin/true");
  ASSERT_TRUE(service);
  DWORD needed = 0;
  BYTE small[8];
  EXPECT_FALSE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, small, sizeof small, &needed));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(needed, sizeof(SERVICE_STATUS_PROCESS));
  const auto s = StatusOf(service);
  EXPECT_EQ(s.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(s.dwWin32ExitCode, ERROR_SERVICE_NEVER_STARTED);
  EXPECT_EQ(s.dwProcessId, 0u);

  ASSERT_TRUE(ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, "New display"));
  SetLastError(0);
  EXPECT_FALSE(StartServiceA(service, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DISABLED);
  std::vector<std::byte> buffer(1024);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
  ASSERT_TRUE(QueryServiceConfigA(service, config, 1024, &needed));
  EXPECT_STREQ(config->lpDisplayName, "New display");
  EXPECT_STREQ(config->lpBinaryPathName, "/bin/true");  // unchanged
  EXPECT_STREQ(config->lpDependencies, "LanmanServer");
}

TEST_F(ScmDatabase, DeletingAStoppedServiceRemovesItAndInvalidatesOldHandles) {
  SC_HANDLE service = Install(manager_, "Svc", "/bin/true");
  ASSERT_TRUE(DeleteService(service)) << GetLastError();
  SetLastError(0);
  EXPECT_FALSE(OpenServiceA(manager_, "Svc", SERVICE_QUERY_STATUS));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_FALSE(DeleteService(service));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);

  // A new service of the same name is not reachable through the old handle.
  SC_HANDLE fresh = Install(manager_, "svc", "/bin/false");
  ASSERT_TRUE(fresh);
  SERVICE_STATUS status;
  EXPECT_FALSE(QueryServiceStatus(service, &status));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_TRUE(QueryServiceStatus(fresh, &status));
  EXPECT_TRUE(CloseServiceHandle(fresh));
  EXPECT_FALSE(CloseServiceHandle(fresh));
}

TEST_F(ScmDatabase, ConcurrentWritersNeitherLoseNorDoubleRecords) {
  constexpr int kThreads = 6;
  constexpr int kEach = 15;
  std::atomic<int> created_contended{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
      if (Install(manager, "Contended", "/bin/true", nullptr, nullptr)) ++created_contended;
      for (int i = 0; i < kEach; ++i) {
        const std::string name = "svc-" + std::to_string(t) + "-" + std::to_string(i);
        SC_HANDLE s = Install(manager, name, "/bin/true", nullptr, nullptr);
        if (s) (void)ChangeServiceConfigA(s, SERVICE_NO_CHANGE, SERVICE_DEMAND_START, SERVICE_NO_CHANGE, nullptr,
                                          nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(created_contended.load(), 1);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kEach; ++i) {
      const std::string name = "svc-" + std::to_string(t) + "-" + std::to_string(i);
      SC_HANDLE s = OpenServiceA(manager_, name.c_str(), SERVICE_QUERY_CONFIG);
      ASSERT_TRUE(s) << name;
      std::vector<std::byte> buffer(1024);
      DWORD needed = 0;
      ASSERT_TRUE(QueryServiceConfigA(s, reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data()), 1024, &needed));
      EXPECT_EQ(reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data())->dwStartType, SERVICE_DEMAND_START);
    }
  }
  // No temporary file is left behind.
  for (const auto& e : std::filesystem::directory_iterator(node_.state_dir() / "services.d")) {
    const std::string file = e.path().filename().string();
    EXPECT_TRUE(file == ".lock" || e.path().extension() == ".service" || e.is_directory()) << file;
  }
}

}  // namespace
}  // namespace telmo::test
