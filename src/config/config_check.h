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

}  // namespace telmo::config
