// The check of a configuration sent with an add or modify request: services
// file ports, the account (through PAM with pam_permit / pam_deny), the
// executables and the DLGP's own service.
#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "config/config_check.h"
#include "external/telmo_config.h"
#include "external/telmo_services.h"
#include "support/test_env.h"

namespace telmo::test {
namespace {

namespace fs = std::filesystem;
using config::CheckConfiguration;

class ConfigCheck : public testing::Test {
 protected:
  void SetUp() override {
    WriteFile(node_.services_file(), "PLANT1 7001/tcp\nHIST1 7002/tcp\n");
    fs::create_directories(node_.product_root() / "io" / "deep");
    WriteFile(dlgp_path_, "");
    record_.dlgp_service.assign("PLANT1");
    record_.dlgp_port = 7001;
    record_.components.push_back(Component("DLGP", "PLANT1", dlgp_path_.string(), ""));
  }

  static std::unique_ptr<ComponentRecord> Component(const std::string& name, const std::string& service,
                                                    const std::string& executable, const std::string& arguments) {
    auto c = std::make_unique<ComponentRecord>();
    c->name = name;
    c->tcp_service.assign(service);
    c->executable = executable;
    c->arguments = arguments;
    return c;
  }

  StatusBlock Check() {
    StatusBlock status;
    CheckConfiguration(record_, index_, status);
    return status;
  }

  void UsePam(const std::string& module) {
    const fs::path dir = node_.root() / "pam.d";
    fs::create_directories(dir);
    WriteFile(dir / "telmo", "auth required " + module + "\naccount required " + module + "\n");
    node_.Set("TELMO_PAM_CONFDIR", dir.string());
    node_.Set("TELMO_PAM_SERVICE", "telmo");
  }

  static std::string CurrentUser() {
    const passwd* pw = ::getpwuid(::getuid());
    return pw != nullptr ? pw->pw_name : "root";
  }

  TempNode node_;
  fs::path dlgp_path_ = node_.product_root() / "io" / "plant_dlgp.exe";
  ServerRecord record_;
  int index_ = 99;
};

TEST_F(ConfigCheck, CleanConfigurationPasses) {
  const StatusBlock status = Check();
  EXPECT_FALSE(status.failed()) << status.describe();
  EXPECT_EQ(index_, -1);
}

TEST_F(ConfigCheck, PortCodesArePairwiseIndependent) {
  record_.dlgp_port = 7009;
  record_.hist_service.assign("HIST9");
  record_.hist_port = 7002;
  StatusBlock status = Check();
  EXPECT_TRUE(status.holds(kFacilityManagement, 15032));
  EXPECT_FALSE(status.holds(kFacilityManagement, 15027));
  EXPECT_TRUE(status.holds(kFacilityManagement, 15028));  // not registered ...
  EXPECT_TRUE(status.holds(kFacilityManagement, 15033));  // ... and not the port expected

  record_.hist_service.assign("HIST9");
  record_.hist_port = 0;
  record_.dlgp_port = 7001;
  status = Check();
  EXPECT_TRUE(status.holds(kFacilityManagement, 15028));
  EXPECT_FALSE(status.holds(kFacilityManagement, 15033));  // 0 was expected
}

TEST_F(ConfigCheck, StoreForwardServicesByPairs) {
  Text32 scanner, store, forward;
  TELMO_MGMT_GetStoFwdServ("PLANT1", scanner, store, forward);
  ASSERT_TRUE(AddServiceToFile(scanner.view(), 7010));
  ASSERT_TRUE(AddServiceToFile(store.view(), 7011));
  record_.snf_usage = 1;
  record_.scanner_port = 7010;
  record_.store_port = 7099;
  record_.forward_port = 7012;
  const StatusBlock status = Check();
  EXPECT_FALSE(status.holds(kFacilityManagement, 15035));
  EXPECT_FALSE(status.holds(kFacilityManagement, 15036));
  EXPECT_FALSE(status.holds(kFacilityManagement, 15037));
  EXPECT_TRUE(status.holds(kFacilityManagement, 15038));
  EXPECT_TRUE(status.holds(kFacilityManagement, 15039));
  EXPECT_TRUE(status.holds(kFacilityManagement, 15040));
}

TEST_F(ConfigCheck, ComponentServicesGetAnEntry) {
  record_.components.push_back(Component("Helper", "HELPER7", dlgp_path_.string(), ""));
  EXPECT_EQ(TELMO_MGMT_GetServicePort("HELPER7"), 0);
  const StatusBlock status = Check();
  EXPECT_FALSE(status.failed()) << status.describe();
  EXPECT_NE(TELMO_MGMT_GetServicePort("HELPER7"), 0);
  EXPECT_EQ(TELMO_MGMT_GetServicePort("PLANT1"), 7001);  // never changed
}

TEST_F(ConfigCheck, ExecutablesAreFoundOrReported) {
  WriteFile(node_.product_root() / "io" / "deep" / "helper.exe", "");
  record_.components.push_back(Component("Bare", "", "helper", ""));                      // no dot: ".exe" added
  record_.components.push_back(Component("Moved", "", "C:\\old\\place\\helper.exe", ""));  // another directory
  record_.components.push_back(Component("Expanded", "", "%TELMOROOT%\\io\\plant_dlgp.exe", ""));
  record_.components.push_back(Component("Missing", "", "C:\\nowhere\\absent.exe", ""));
  auto generated = Component("Scanner process", "", "C:\\nowhere\\gen.exe", "");
  generated->generated = 1;
  record_.components.push_back(std::move(generated));

  const StatusBlock status = Check();
  const std::string found = (node_.product_root() / "io" / "deep" / "helper.exe").string();
  EXPECT_EQ(fs::path(record_.components[1]->executable), fs::path(found));
  EXPECT_EQ(fs::path(record_.components[2]->executable), fs::path(found));
  EXPECT_EQ(record_.components[3]->executable, "%TELMOROOT%\\io\\plant_dlgp.exe");  // found as written: unchanged
  EXPECT_EQ(record_.components[4]->executable, "C:\\nowhere\\absent.exe");
  EXPECT_TRUE(status.holds(kFacilityManagement, 15030));
  EXPECT_EQ(index_, 4);  // the generated component is not checked
}

TEST_F(ConfigCheck, AccountLogsOnThroughItsDomain) {
  UsePam("pam_permit.so");
  record_.username = CurrentUser();
  StatusBlock status = Check();
  EXPECT_FALSE(status.failed()) << status.describe();

  record_.username = ".\\" + CurrentUser();
  status = Check();
  EXPECT_FALSE(status.failed()) << status.describe();

  record_.username = "OTHERDOM\\" + CurrentUser();
  status = Check();
  EXPECT_TRUE(status.holds(kFacilityLogon, 1355)) << status.describe();
  EXPECT_TRUE(status.holds(kFacilityManagement, 15031));

  UsePam("pam_deny.so");
  record_.username = CurrentUser();
  record_.name = "Unit 1";
  status = Check();
  EXPECT_TRUE(status.holds(kFacilityLogon, 1326)) << status.describe();
  EXPECT_TRUE(status.holds(kFacilityManagement, 15031));
  EXPECT_EQ(CountLinesWith(node_.log_dir() / "management.log",
                           "when verifying user  " + CurrentUser() + " for server Unit 1"),
            1);
}

TEST_F(ConfigCheck, DlgpMustNameItsOwnService) {
  auto& dlgp = *record_.components[0];
  fs::rename(dlgp_path_, node_.product_root() / "io" / "telmo_asyncdlgp.exe");
  dlgp.executable = (node_.product_root() / "io" / "telmo_asyncdlgp.exe").string();

  // The usual layout: the value is followed by a blank and the next option.
  dlgp.arguments = "-TCPSERVICE plant1 -OPCSERVER Vendor.1";
  EXPECT_FALSE(Check().failed()) << Check().describe();

  dlgp.arguments = "-TCPSERVICE OTHER -OPCSERVER Vendor.1";
  StatusBlock status = Check();
  EXPECT_TRUE(status.holds(kFacilityManagement, 15043));
  EXPECT_FALSE(status.holds(kFacilityManagement, 15042));

  dlgp.tcp_service.assign("OTHER");
  dlgp.arguments = "-TCPSERVICE PLANT1 -OPCSERVER Vendor.1";
  status = Check();
  EXPECT_TRUE(status.holds(kFacilityManagement, 15042));
  EXPECT_FALSE(status.holds(kFacilityManagement, 15043));

  // "-OPCSERVER" before "-TCPSERVICE": nothing is checked.
  dlgp.arguments = "-OPCSERVER Vendor.1 -TCPSERVICE OTHER";
  EXPECT_FALSE(Check().failed());

  // Not checked either when an earlier check failed, or with two components.
  dlgp.arguments = "-TCPSERVICE OTHER -OPCSERVER Vendor.1";
  record_.dlgp_port = 1;
  status = Check();
  EXPECT_FALSE(status.holds(kFacilityManagement, 15042));
  record_.dlgp_port = 7001;
  record_.components.push_back(Component("Second", "", dlgp.executable, ""));
  EXPECT_FALSE(Check().failed());
}

}  // namespace
}  // namespace telmo::test
