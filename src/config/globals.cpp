#include "config/globals.h"

ServerTable gServerTable;
ProcessTable gProcessTable;
WatchdogTable gWatchdogTable;
MgmtParameters gMgmtParameters;
