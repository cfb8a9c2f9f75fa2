#include "config/manager_log.h"

#include <cstdio>

#include "external/telmo_server.h"
#include "external/telmo_text.h"
#include "platform/win_error.h"

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

void ClientLogUnderApplicationName(std::string_view text) {
  IdentityRecord id;
  TELMO_USR_GetApplicationID(id);
  StatusBlock scratch;
  TELMO_CLIENT_LOGMSG(id.user.view(), text, scratch);
}

void ConsoleErrorReport(const char* failed_call, std::optional<DWORD> error) {
  std::printf("Error in %s: ", failed_call);
  const DWORD code = error.value_or(GetLastError());
  if (auto message = platform::SystemMessage(code)) {
    std::printf("%s\n", TELMO_FILTER_CRLF(*message).c_str());
  } else {
    std::printf("Unknown Error=%ld\n", static_cast<long>(code));
  }
  std::fflush(stdout);
}
}  // namespace telmo
