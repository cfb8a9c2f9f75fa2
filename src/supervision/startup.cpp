#include "supervision/startup.h"

#include "config/globals.h"
#include "config/manager_log.h"
#include "config/manager_state.h"
#include "config/mgmt_params.h"
#include "config/server_file.h"
#include "external/telmo_files.h"
#include "external/telmo_server.h"
#include "supervision/launch.h"
#include "supervision/stop.h"

namespace {

constexpr const char* kStartScripts[] = {"%PROGRAMDATA%\\Zarvelco\\TELMO\\commands\\telmo_autostart.bat",
                                         "%TELMOROOTQ%\\commands\\telmo_autostart.bat"};
constexpr const char* kStopScripts[] = {"%PROGRAMDATA%\\Zarvelco\\TELMO\\commands\\telmo_autostop.bat",
                                        "%TELMOROOTQ%\\commands\\telmo_autostop.bat"};

// Runs the first script of `places` that exists; false when none does.
template <std::size_t N>
bool RunFirstScript(const char* const (&places)[N], StatusBlock& status) {
  for (const char* place : places) {
    if (TELMO_MGMT_CheckFileExistance(place, "")) {
      TELMO_MGMT_RunScript(place, status);
      return true;
    }
  }
  return false;
}

}  // namespace

BYTE TELMO_MGMT_Startup(ServerTable& table) {
  BYTE error = 0;
  StatusBlock status;

  telmo::config::ReadParameters(gMgmtParameters, status);
  if (status.failed()) {
    TELMO_MGMT_LOG("TELMO_MGMT_Startup",
            "** Fatal! Error returned while reading management configuration. Continued anyway...\n");
    telmo::LogBlockUnderApplicationName(status);
  }

  TELMO_SERVER_INITBLK(status);
  telmo::config::LoadAll(table, status, gWatchdogTable);
  if (status.failed()) {
    // What loaded is still started: one bad file must not keep the others down.
    TELMO_MGMT_LOG("TELMO_MGMT_Startup",
            "** Fatal, Error returned while loading and building a database of local servers configuration.  "
            "Quiting TELMO startup module...\n");
    telmo::LogBlockUnderApplicationName(status);
  }

  TELMO_SERVER_INITBLK(status);
  TELMO_MGMT_TerminateProcesses(table, status);
  if (status.failed()) {
    TELMO_MGMT_LOG("TELMO_MGMT_Startup", "Error in TELMO_MGMT_TerminateProcesses. Continued...\n");
    telmo::LogBlockUnderApplicationName(status);
    error = 1;
  }

  TELMO_SERVER_INITBLK(status);
  if (!RunFirstScript(kStartScripts, status)) {
    TELMO_MGMT_LOG("TELMO_MGMT_Startup",
            "** Info, NOT found telmo_autostart.bat in %%TELMOROOTQ%%\\commands or "
            "%%PROGRAMDATA%%\\Zarvelco\\TELMO\\commands\n");
  }
  if (status.failed()) {
    TELMO_MGMT_LOG("TELMO_MGMT_Startup", "** Error returned by running telmo_autostart.bat. Continued...\n");
    telmo::LogBlockUnderApplicationName(status);
    error = 1;
  }

  TELMO_SERVER_INITBLK(status);
  ServerTableLock lock(table, status);
  if (!lock.owns()) {
    TELMO_MGMT_LOG("TELMO_MGMT_Startup", "Error getting mutex.  Aborted..\n");
    telmo::LogBlockUnderApplicationName(status);
    return 1;
  }
  table.ResetCursor();
  while (ServerRecord* server = table.NextServer()) {
    if (server->startup_status != 1) continue;
    TELMO_SERVER_INITBLK(status);
    TELMO_MGMT_StartServer(*server, status);
    if (status.failed()) {
      TELMO_MGMT_LOG("TELMO_MGMT_Startup", "** Error returned while starting server [%s]. Continued...\n",
              server->dlgp_service.empty() ? "<Null>" : server->dlgp_service.c_str());
      telmo::LogBlockUnderApplicationName(status);
      TELMO_SERVER_INITBLK(status);
      error = 1;
    }
  }
  return error;
}

BYTE TELMO_MGMT_shutdown(ServerTable& table) {
  BYTE error = 0;
  StatusBlock status;
  // From here on nothing is checked, restarted or started (the control
  // handler sets it already when the stop comes from a control).
  gManagerStopping = true;

  TELMO_MGMT_TerminateProcesses(table, status);
  if (status.failed()) {
    TELMO_MGMT_LOG("TELMO_MGMT_shutdown", "Error in TELMO_MGMT_TerminateProcesses. Continued...\n");
    telmo::LogBlockUnderApplicationName(status);
    error = 1;
  }

  TELMO_SERVER_INITBLK(status);
  if (!RunFirstScript(kStopScripts, status)) {
    TELMO_MGMT_LOG("TELMO_MGMT_shutdown",
            "NOT found telmo_autostop.bat in %%TELMOROOTQ%%\\commands or %%PROGRAMDATA%%\\Zarvelco\\TELMO\\commands\n");
  }
  if (status.failed()) {
    telmo::LogBlockUnderApplicationName(status);
    error = 1;
  }

  TELMO_SERVER_INITBLK(status);
  telmo::config::SaveAndFreeAll(table, gProcessTable, status);

  TELMO_SERVER_INITBLK(status);
  telmo::config::WriteParameters(gMgmtParameters, status);
  TELMO_SERVER_INITBLK(status);
  return error;
}
