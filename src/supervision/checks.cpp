#include "supervision/checks.h"

#include <exception>

#include "config/globals.h"
#include "config/manager_log.h"
#include "config/manager_state.h"
#include "external/telmo_server.h"
#include "supervision/launch.h"
#include "supervision/liveness.h"
#include "supervision/stop.h"
#include "util/text.h"

BYTE TELMO_MGMT_CheckServers(ServerTable& table) {
  BYTE error = 0;
  StatusBlock status;
  ServerTableLock lock(table, status);
  if (!lock.owns()) {
    TELMO_MGMT_LOG("TELMO_MGMT_CheckServers", "Error getting mutex.  Aborted..\n");
    telmo::LogBlockUnderApplicationName(status);
    return 1;
  }
  table.ResetCursor();
  while (ServerRecord* server = table.NextServer()) {
    // A fault while one server is handled is logged and the check goes on
    // with the next server.
    try {
      TELMO_SERVER_INITBLK(status);
      if (server->desired_state == kDesiredStateStarted) {
        TELMO_MGMT_RestartServer(*server, status);
        if (status.failed()) error = 1;
      } else {
        telmo::config::StopUnwantedComponents(gProcessTable, *server, status);
      }
    } catch (const std::exception&) {
      TELMO_MGMT_LOG("TELMO_MGMT_CheckServers", "Detected exception while searching for a server in memory resident database\n");
    }
  }
  return error;
}

void TELMO_MGMT_RestartServer(ServerRecord& server, StatusBlock& status) {
  TELMO_SERVER_INITBLK(status);
  if (server.health_check == 0) return;
  LogonToken logon;
  bool logged_on = false;
  server.component_cursor = -1;
  while (ComponentRecord* component = telmo::config::NextComponent(server)) {
    if (status.failed()) break;
    TELMO_MGMT_IsComponentRunning(gProcessTable, server, *component);
    if (component->run_status == 1) continue;
    if (!logged_on) {
      if (!TELMO_MGMT_LogonServerUser(server, logon, status)) return;
      logged_on = true;
    }
    const std::string text = std::string("Zarvel Telmo Manager restarting failed or unresponsive process") +
                             telmo::Format("\nServer  name - \"%s\" Dlgp Service -\"%s\"",
                                           telmo::EscapeControlCharacters(server.name).c_str(),
                                           telmo::EscapeControlCharacters(server.dlgp_service.view()).c_str()) +
                             telmo::Format("\nProcess name - \"%s\" Service -\"%s\"\n",
                                           telmo::EscapeControlCharacters(component->name).c_str(),
                                           telmo::EscapeControlCharacters(component->tcp_service.view()).c_str());
    TELMO_MGMT_LogText("telmo_manager", "TELMO_MGMT_RestartServer", __LINE__, text.substr(0, 511));
    TELMO_MGMT_KillComponent(gProcessTable, server, *component);
    ++component->restarts;
    TELMO_MGMT_StartComponent(*component, server, logon, status);
  }
  if (logged_on) CloseHandle(logon.token);
}
