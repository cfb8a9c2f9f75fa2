// Helpers of the configuration database tests.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "config/records.h"
#include "config/server_table.h"
#include "config/watchdog_table.h"
#include "external/telmo_status.h"

namespace telmo::test {

/// A server file with the given lines 1 to 5 and component lines.
std::string ServerFileText(const std::string& line1, const std::string& line2, const std::string& line3,
                           const std::string& line4, const std::string& line5, const std::string& components);
/// A loadable file for service `service` with one DLGP component.
std::string SimpleServerFile(const std::string& service);

/// Loads `text` as a server file (in memory) with a fresh status block.
std::unique_ptr<ServerRecord> LoadText(const std::string& text, StatusBlock& status, WatchdogTable& watchdogs);
std::unique_ptr<ServerRecord> LoadText(const std::string& text, StatusBlock& status);

/// Every persistent field of two records and their components, compared with
/// gtest expectations.
void ExpectSameRecord(const ServerRecord& a, const ServerRecord& b);

/// A server table whose mutex exists.
struct TestTable {
  TestTable();
  ServerTable table;
};

}  // namespace telmo::test
