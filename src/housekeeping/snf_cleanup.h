// Store-and-forward data cleanup: what the S&F processes of a removed server
// left in the I/O data directory (TELMOIODATA), and the scanner
// configuration subkey of the requesting node.
//
//   <TELMOIODATA>\TELMO_SCAN_LIST.<service>    scanner list: deleted
//   <TELMOIODATA>\TELMO_UNSOL_LIST.<service>   unsolicited list: deleted
//   <TELMOIODATA>\TELMO_STORE_LIST.<service>   store list: read, then deleted
//   <TELMOIODATA>\<service>\HistoryQueue, \SubscribeQueue, and <service>
//                                              queue directories (asynchronous
//                                              and OPC UA DLGPs)
//
// Store list layout (the part read here): a 12-byte header whose third
// little-endian 32-bit word is the record count, then records of 1152 bytes,
// each starting with the NUL-terminated path of a store directory D. The
// queue files of D are its files named "<N>_*", N the last part of D.
//
// Nothing here reports failure to its caller: every failure is logged
// ("Failed to delete file *%s* with error=%d\n" and the like) and the cleanup
// goes on. Nothing is ever deleted outside the I/O data directory: a store
// directory or queue directory that lies outside it, also by a symbolic
// link, is passed over (logged). Directories, hidden and system files are
// never deleted as files. With TELMOIODATA unset nothing is done.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

void TELMO_MGMT_RemoveSnfData(std::string_view service);
/// The queue directories of `service` (the service name kept from the removed
/// server; the server record itself is gone by then). A directory that is not
/// there is nothing to remove.
void TELMO_MGMT_RemoveQueueDirectories(std::string_view service);
/// Deletes the files of `path` (not its subdirectories, hidden or system
/// files), then removes the directory; failures are logged.
void TELMO_MGMT_RemoveDirectoryFiles(std::string_view path);
/// Deletes HKLM "Software\Zarvelco\TELMO\TELMO_SCANNER_<service>_CFG\<node>".
/// A missing key is no failure; other failures go to the management log.
void TELMO_MGMT_DeleteScannerKey(std::string_view service, std::string_view node);

namespace telmo::housekeeping {

inline constexpr std::size_t kStoreListHeader = 12;
inline constexpr std::size_t kStoreListRecord = 1152;

/// The store directories a store list names, in file order. The count is
/// bounded by the records the list holds; a record without a terminated path
/// within its 1152 bytes, or with an empty one, is skipped. Each bound and
/// skip is logged under `list_name`.
[[nodiscard]] std::vector<std::string> StoreListDirectories(std::span<const std::uint8_t> list,
                                                            std::string_view list_name);

}  // namespace telmo::housekeeping
