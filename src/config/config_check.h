// The check of a server configuration sent with an add or modify request,
// before it is written: its TCP services registered with the ports the console
// believes, its account able to log on, its executables present, and an
// asynchronous or OPC UA DLGP told its own TCP service.
#pragma once

#include "config/records.h"
#include "external/telmo_status.h"

namespace telmo::config {

/// Runs every check in order and never stops early; each failure loads its
/// code into `status` (never cleared here):
///   (15, 15027) / (15, 15032)  DLGP TCP service not registered / another port
///   (15, 15028) / (15, 15033)  historical DLGP TCP service, the same
///   (15, 15035) .. (15, 15040) scanner, store, forward services, by pairs
///   (121, error) and (15, 15031) the account cannot log on
///   (15, 15030)                an executable cannot be found; `component_index`
///                              names the (last such) component, else -1
///   (15, 15042) / (15, 15043)  the DLGP's component service or "-TCPSERVICE"
///                              argument differs from `dlgp_service`
/// Changes nothing but the executables (the found path, the historian DLGP
/// choice) and the services file (component services get an entry).
void CheckConfiguration(ServerRecord& record, int& component_index, StatusBlock& status);

/// True when the server file written for `record` reads back as the same
/// configuration: every text the file holds (name, services, account, store
/// file path, each written component) comes back equal, apart from the blanks
/// and tabs before a field, which the field reader always skips. A comma in a
/// component field, a line end or NUL anywhere, an empty component name or a
/// name that would turn its line into a comment does not read back. False
/// loads the reason into `status`: the loader's own codes when the file would
/// not load at all, else (15, 15001); the field is named in the management
/// log. Nothing is written here.
bool CheckReadsBack(const ServerRecord& record, StatusBlock& status);

}  // namespace telmo::config
