// Stopping and killing server processes.
#pragma once

#include "config/process_table.h"
#include "config/records.h"

/// Kills one component: when the pair has a process table entry whose process
/// still runs, logs the forcible termination text and terminates it; closes
/// the handle and clears it in any case. The entry stays. Returns its index,
/// -1 (nothing logged) when the pair has no entry. Takes no lock.
int TELMO_MGMT_KillComponent(ProcessTable& table, ServerRecord& server, ComponentRecord& component);
