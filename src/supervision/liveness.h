// Whether a component's process still lives, and a server's run status.
#pragma once

#include "config/process_table.h"
#include "config/records.h"

/// Under the process table lock: 1 when the component's recorded process
/// still runs, else 0 (a dead process's handle is closed and cleared). The
/// result is also stored in the component's `run_status`.
int TELMO_MGMT_IsComponentRunning(ProcessTable& table, ServerRecord& server, ComponentRecord& component);

/// Under the process table lock: the server's `run_status` from its
/// components: 2 all run, 1 some, 0 none. A component with an executable and
/// no live process (none started, or ended) is down and gets `conn_status` 0;
/// a component with an empty executable counts neither way.
int TELMO_MGMT_GetServerRunStatus(ProcessTable& table, ServerRecord& server);
