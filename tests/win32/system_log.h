// Reads the system's Application event log back (this file's partner
// includes <windows.h>, which the platform headers cannot meet).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace telmo::test {
/// The newest record of `source`: its event id and insertion strings; false
/// when the log cannot be read or has none.
bool ReadNewestSystemEvent(const std::string& source, std::uint32_t* id, std::vector<std::string>* strings);
}  // namespace telmo::test
