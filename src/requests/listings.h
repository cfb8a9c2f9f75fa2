// The listing requests (named requests with a reply of variable length):
// ListOpcUaEndPoints and ListProcessDataSources run a listing program and
// send back the file it wrote; EnumerateServers sends the node's servers as
// XML; EnumerateDLGPServices sends their DLGP services in 32-byte entries.
//
// Each builds its answer here; the named-request envelope sends it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "config/server_table.h"
#include "external/telmo_status.h"

namespace telmo::requests {

struct ListingProgram {
  const char* action;          ///< the action name, also the component name of the process call
  const char* program;         ///< the listing program (with %NAME% references)
  const char* output_pattern;  ///< the output file name pattern
};

inline constexpr ListingProgram kOpcUaEndPointsProgram{
    "ListOpcUaEndPoints", "%TELMOIO%\\tlo_opc_uai\\ListOpcUaEndPoints.exe",
    "%%APPDATA%%\\TELMO_OPCUA_ENDPOINTS_%02d%02d%02d%02d%02d%02d.%d.DAT"};
inline constexpr ListingProgram kProcessDataSourcesProgram{
    "ListProcessDataSources", "%TELMOIO%\\tlo_tel_pdi\\ListProcessDataSources.exe",
    "%%APPDATA%%\\TELMO_TELPDI_DATASOURCES_%02d%02d%02d%02d%02d%02d.%d.DAT"};

/// Most servers EnumerateServers lists; one more and it lists none.
inline constexpr std::size_t kMaxEnumeratedServers = 1000;
/// Bytes of the argument field (what the requester sends, the blanks,
/// quotes and output file name appended, and a NUL).
inline constexpr std::size_t kListingArgumentField = 1024;
/// Seconds a listing program is given to end.
inline constexpr int kListingWaits = 11;

/// What a listing request answers.
struct ListingAnswer {
  bool send = false;                   ///< false: the request gets no reply
  StatusBlock status;                  ///< clear, or the failure the reply carries (with no data)
  std::span<const std::uint8_t> data;  ///< into a process-wide buffer, valid until the next request of its kind
};

/// The output file name for `pattern` at `time` (TELMO_CLIENT_GETTIME
/// units), unexpanded ("%APPDATA%\...").
[[nodiscard]] std::string ListingOutputFileName(const char* pattern, std::int64_t time);

/// The result file reader: the file's text in `text`, the file deleted
/// whatever happened. False with the failure in `status` (15001 open, 15003
/// read, 15012 too large for a reply).
bool ReadListingFile(const std::string& path, std::string& text, StatusBlock& status);

/// ListOpcUaEndPoints / ListProcessDataSources with the requester's argument text.
[[nodiscard]] ListingAnswer RunListingProgram(const ListingProgram& program, std::string_view arguments);
/// EnumerateServers (ports refreshed first) and EnumerateDLGPServices, each
/// under the server table mutex for the whole collection.
[[nodiscard]] ListingAnswer EnumerateServers(ServerTable& table);
[[nodiscard]] ListingAnswer EnumerateDlgpServices(ServerTable& table);

}  // namespace telmo::requests
