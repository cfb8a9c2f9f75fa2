// The start-up and shut-down sequences the worker runs for its start-up and
// stop actions. Each returns 1 when a step reported an error, else 0.
#pragma once

#include "config/server_table.h"
#include "platform/win_types.h"

BYTE TELMO_MGMT_Startup(ServerTable& table);
BYTE TELMO_MGMT_shutdown(ServerTable& table);
