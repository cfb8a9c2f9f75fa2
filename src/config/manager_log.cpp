#include "config/manager_log.h"

#include "external/telmo_server.h"

namespace telmo {
void DiagLine(const char* category, int code, std::string_view text) {
  if (!DiagnosticsWanted()) return;
  StatusBlock block;
  TELMO_DIAG_LOG(category, code, text, block);
}

void LogBlockUnderApplicationName(const StatusBlock& status) {
  IdentityRecord id;
  TELMO_USR_GetApplicationID(id);
  StatusBlock scratch;
  TELMO_SERVER_LOGBLK(id.user.view(), status, scratch);
}
}  // namespace telmo
