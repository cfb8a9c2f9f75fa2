// Whether a component's process still lives, and a server's run status.
#pragma once

#include "config/process_table.h"
#include "config/records.h"

/// Under the process table lock: 1 when the component's recorded process
/// still runs, else 0 (a dead process's handle is closed and cleared). The
/// result is also stored in the component's `run_status`.
int TELMO_MGMT_IsComponentRunning(ProcessTable& table, ServerRecord& server, ComponentRecord& component);

/// Under the process table lock: the server's `run_status` from its
/// components: 2 all with a process entry run, 1 some, 0 none. Components
/// without an entry count neither way; those found down get `conn_status` 0.
int TELMO_MGMT_GetServerRunStatus(ProcessTable& table, ServerRecord& server);
