// Server removal: a server taken out of the server table and off the node
// (its server file, its processes, its S&F data, the requesting node's
// scanner configuration subkey and, when asked, its entries in the services
// file), and the removal of the three S&F service entries of a DLGP service.
#pragma once

#include <string_view>

#include "config/records.h"
#include "config/server_table.h"
#include "external/telmo_message.h"
#include "external/telmo_status.h"

/// Removes `server` from `table` and the node, under the table mutex (taken
/// here; re-entrant for a caller that holds it). `remove_services` 1 also
/// removes the services-file entries of its components, its DLGP and
/// historical DLGP services and its three S&F services; "TELMOVXPL", the
/// controller DLGP's service, is never removed (logged as skipped). A server
/// that is not in the table is no failure. `status`: the mutex failure, or a
/// server file that cannot be deleted ((1, error) and (15, 15001), logged),
/// in which case nothing at all is removed.
void TELMO_MGMT_RemoveServer(const IdentityRecord& requester, ServerTable& table, ServerRecord& server,
                             int remove_services, StatusBlock& status);

/// Removes the services-file entries of the scanner, store and forward
/// services derived from `dlgp_service`. An entry that is not there is no
/// failure; a services file that cannot be changed loads (15, 15001).
void TELMO_MGMT_RemoveSnfServices(std::string_view dlgp_service, StatusBlock& status);

namespace telmo::housekeeping {

struct RemovalOptions {
  bool remove_services = false;
  /// Leaves the server file in place: a modification has just written the new
  /// configuration to the same file.
  bool keep_server_file = false;
};

/// TELMO_MGMT_RemoveServer with its options spelled out.
void RemoveServer(const IdentityRecord& requester, ServerTable& table, ServerRecord& server,
                  const RemovalOptions& options, StatusBlock& status);

}  // namespace telmo::housekeeping
