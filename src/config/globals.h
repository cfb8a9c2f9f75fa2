// The configuration database's process-wide instances. Every operation takes
// its table as an argument, so tests use instances of their own instead.
//
//   gServerTable     the server table; gServerTable.mutex is the server table
//                    mutex (created at process start: gServerTable.mutex.Create)
//   gProcessTable    the process table; gProcessTable.lock is the process table
//                    lock (InitializeCriticalSectionAndSpinCount at process start)
//   gWatchdogTable   the watchdog monitor table
//   gMgmtParameters  check period and reply time-out
#pragma once

#include "config/mgmt_params.h"
#include "config/process_table.h"
#include "config/server_table.h"
#include "config/watchdog_table.h"

extern ServerTable gServerTable;
extern ProcessTable gProcessTable;
extern WatchdogTable gWatchdogTable;
extern MgmtParameters gMgmtParameters;
