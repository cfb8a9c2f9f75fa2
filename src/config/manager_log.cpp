#include "config/manager_log.h"

#include <cstdio>

#include "external/telmo_server.h"
#include "external/telmo_text.h"
#include "platform/win_error.h"
#include "util/text.h"

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

void LogWindowsError(const char* /*source*/, const char* context, DWORD error) {
  constexpr std::size_t kLimit = 2048;
  std::string text;
  if (error != 0) {
    if (auto message = platform::SystemMessage(error)) {
      const std::string m = TELMO_FILTER_CRLF(*message);
      text = context ? Format("%s,\nerror=%d: %s", context, static_cast<int>(error), m.c_str())
                     : Format("error=%d: %s", static_cast<int>(error), m.c_str());
    } else {
      // The lookup of the message itself failed: its error is "not found".
      const int lookup_error = static_cast<int>(ERROR_RESOURCE_NAME_NOT_FOUND);
      text = context ? Format("%s\nWNT Unknown Error=%d, FormatMessage error=%d", context, static_cast<int>(error),
                              lookup_error)
                     : Format("\nWNT Unknown Error=%d, FormatMessage error=%d", static_cast<int>(error), lookup_error);
    }
  } else if (context) {
    text = context;
  } else {
    return;
  }
  if (text.size() >= kLimit) text.resize(kLimit - 1);
  TELMO_MGMT_LogText("telmo_manager", "TELMO_MGMT_CheckServers", __LINE__, text);
}
}  // namespace telmo
