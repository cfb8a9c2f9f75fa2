// Component definitions: the auxiliary processes the manager adds to a server
// when it loads it (three S&F processes for a server that uses store and
// forward, three OPC UA processes for an OPC UA DLGP), and the command-line
// options that carry the store-and-forward parameters to the S&F processes.
//
// Components built here have `built_in` and `generated` 1 and are never
// written to a server file. Positions in `components` (N read from the file):
//   OPC UA only:  OPC UA read, write, unsolicited at N, N+1, N+2
//   S&F only:     scanner, store, forward at N, N+1, N+2
//   both:         OPC UA at N..N+2, then S&F at N+3..N+5 (the last three)
#pragma once

#include <string_view>

#include "config/records.h"

namespace telmo::config {

inline constexpr std::string_view kScannerExecutable = "%TELMOROOTQ%\\Code\\Telmo_sf_scanner.exe";
inline constexpr std::string_view kStoreExecutable = "%TELMOROOTQ%\\Code\\Telmo_sf_store.exe";
inline constexpr std::string_view kForwardExecutable = "%TELMOROOTQ%\\Code\\Telmo_sf_forward.exe";
inline constexpr std::string_view kOpcUaReadExecutable = "%TELMOIO%\\tlo_opc_uai\\telmo_opcua_read.exe";
inline constexpr std::string_view kOpcUaWriteExecutable = "%TELMOIO%\\tlo_opc_uai\\telmo_opcua_write.exe";
inline constexpr std::string_view kOpcUaUnsolExecutable = "%TELMOIO%\\tlo_opc_uai\\telmo_opcua_unsol.exe";

/// The first component's executable, ignoring case, holds "TELMO_OPCUA_DLGP".
/// False when the server has no first component.
[[nodiscard]] bool IsOpcUaDlgp(const ServerRecord& server) noexcept;
/// The first component's executable, ignoring case, holds "ASYNCDLGP".
[[nodiscard]] bool IsAsyncDlgp(const ServerRecord& server) noexcept;

/// Fills the three OPC UA slots (counted from the end: 3, 2, 1 when
/// `snf_usage` is not 1; 6, 5, 4 when it is 1) of a `components` array the
/// caller has enlarged. Each gets the first component's arguments.
void AddOpcUaComponents(std::string_view dlgp_service, ServerRecord& server, int snf_usage);

/// Fills the last three slots with the scanner, store and forward, each with
/// `dlgp_service` as its arguments, then extends the arguments of each.
void AddSnfComponents(std::string_view dlgp_service, ServerRecord& server, SnfParameters parameters);

/// Appends the S&F options to `component`'s arguments by the kind of its
/// unexpanded executable ("Telmo_sf_store", "Telmo_sf_scanner",
/// "Telmo_sf_forward", case-sensitive; tested in that order):
///   store:   [" " path] [" " timeout] [" NOTAGINFO"] " -MaxTimeInQueue %d " " -MaxQueueFileSize %d "
///   scanner: [" " timeout] [" NOTAGINFO"] [" DEVICE"]
///   forward: [" " path] [" " timeout] [" MSGS " msgs]
/// The path is left out when it is "Default" (ignoring case), a timeout when
/// it is exactly "Default", a flag when it is "Default" ignoring case. The
/// arguments have no length limit.
void ExtendSnfArguments(ComponentRecord& component, std::string_view store_file_path, const SnfParameters& parameters);

/// The library's inverse of ExtendSnfArguments (TELMO_MGMT_ParseSNFArguments)
/// over a component record and a parameter block: fills `block` from the
/// arguments of an S&F component, leaves it alone for any other.
void ParseSnfArguments(const ComponentRecord& component, std::string_view dlgp_service,
                       std::string_view store_file_path, SnfParameters& block);

}  // namespace telmo::config
