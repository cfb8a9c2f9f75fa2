#include "config_support.h"

#include <gtest/gtest.h>

#include "config/server_file.h"

namespace telmo::test {

std::string ServerFileText(const std::string& line1, const std::string& line2, const std::string& line3,
                           const std::string& line4, const std::string& line5, const std::string& components) {
  return line1 + "\n" + line2 + "\n" + line3 + "\n" + line4 + "\n" + line5 + "\n" + components;
}

std::string SimpleServerFile(const std::string& service) {
  return ServerFileText("Server " + service + "," + service + ",", "Run,,", "1", "NoStoreForward,,,,,,,,,,", "1",
                        "DLGP," + service + ",%TELMOIO%\\plant_dlgp.exe,-TCPSERVICE " + service + "\n");
}

std::unique_ptr<ServerRecord> LoadText(const std::string& text, StatusBlock& status, WatchdogTable& watchdogs) {
  TELMO_SERVER_INITBLK(status);
  config::LineReader reader(text, "memory.csd");
  return config::ParseServerFile(reader, status, watchdogs);
}

std::unique_ptr<ServerRecord> LoadText(const std::string& text, StatusBlock& status) {
  WatchdogTable watchdogs;
  return LoadText(text, status, watchdogs);
}

void ExpectSameRecord(const ServerRecord& a, const ServerRecord& b) {
  EXPECT_EQ(a.name, b.name);
  EXPECT_EQ(a.dlgp_service.view(), b.dlgp_service.view());
  EXPECT_EQ(a.hist_service.view(), b.hist_service.view());
  EXPECT_EQ(a.startup_status, b.startup_status);
  EXPECT_EQ(a.health_check, b.health_check);
  EXPECT_EQ(a.username, b.username);
  EXPECT_EQ(a.password, b.password);
  EXPECT_EQ(a.snf_usage, b.snf_usage);
  EXPECT_EQ(a.store_file_path, b.store_file_path);
  ASSERT_EQ(a.component_count(), b.component_count());
  for (int i = 0; i < a.component_count(); ++i) {
    const auto& x = *a.components[static_cast<std::size_t>(i)];
    const auto& y = *b.components[static_cast<std::size_t>(i)];
    SCOPED_TRACE("component " + std::to_string(i));
    EXPECT_EQ(x.name, y.name);
    EXPECT_EQ(x.tcp_service.view(), y.tcp_service.view());
    EXPECT_EQ(x.executable, y.executable);
    EXPECT_EQ(x.arguments, y.arguments);
    EXPECT_EQ(x.built_in, y.built_in);
    EXPECT_EQ(x.generated, y.generated);
  }
}

TestTable::TestTable() {
  StatusBlock status;
  EXPECT_TRUE(table.mutex.Create(status));
}

}  // namespace telmo::test
