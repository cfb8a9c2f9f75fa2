// The messaging library's logs. Each is a file in $TELMO_LOG_DIR with one
// time-stamped record per call and a bounded size (the file is rotated to
// NAME.1 when it would grow past the limit):
//
//   management.log  TELMO_MGMT_LogMessage
//   client.log      TELMO_CLIENT_LOGMSG, TELMO_SERVER_LOGMSG, TELMO_SERVER_LOGBLK
//   diagnostic.log  TELMO_DIAG_LOG (callers test TELMO_DIAG_LOGSTATE first)
//   trace.log       KernelDebugLogEx, only when TELMO_TRACE=1
//
// No value can forge a line or reach a reader's terminal: in the printf-style
// calls (TELMO_MGMT_LogMessage, KernelDebugLogEx) the format keeps its own line
// feeds and every control character inside a %s value is written out ("\n",
// "\x1b"); the texts of the diagnostic and client logs are one line each
// (their line feeds written out too); TELMO_MGMT_LogText keeps the line feeds
// of the text its caller built. Other control characters are always written
// out. A record without a line end gets one.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "external/telmo_status.h"

/// Management log line under a source file label ("telmo_manager",
/// "telmo_manager_utils"), a function label and a line number.
void TELMO_MGMT_LogMessage(const char* file, const char* function, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

/// The same with a text that is a value, never a format. The caller built it
/// and answers for its line feeds (values from peers go through
/// TELMO_MGMT_LogMessage).
void TELMO_MGMT_LogText(const char* file, const char* function, int line, std::string_view text);

/// 0 when diagnostics are wanted (TELMO_DIAG=1), else 1.
int TELMO_DIAG_LOGSTATE();
void TELMO_DIAG_LOG(const char* category, int code, std::string_view text, StatusBlock& block);

/// Trace line (category "TELMOMANAGER", code 3005 and the like).
void KernelDebugLogEx(const char* category, int code, const char* format, ...) __attribute__((format(printf, 3, 4)));

void TELMO_CLIENT_LOGMSG(std::string_view source, std::string_view text, StatusBlock& block);
void TELMO_SERVER_LOGMSG(std::string_view source, std::string_view text, StatusBlock& block);
/// Logs the codes and texts held by `block` to the client log under `source`.
void TELMO_SERVER_LOGBLK(std::string_view source, const StatusBlock& block, StatusBlock& scratch);

namespace telmo {

enum class LogKind { kManagement, kClient, kDiagnostic, kTrace };

/// The file a log is written to (in the current $TELMO_LOG_DIR).
[[nodiscard]] std::string LogPath(LogKind kind);

/// Size at which a log is rotated; 16 MiB unless changed (tests lower it).
void SetLogRotationLimit(std::size_t bytes);

}  // namespace telmo

/// Management log line from the manager's own source file label.
#define TELMO_MGMT_LOG(function, ...) TELMO_MGMT_LogMessage("telmo_manager", function, __LINE__, __VA_ARGS__)
#define TELMO_MGMT_UTILS_LOG(function, ...) TELMO_MGMT_LogMessage("telmo_manager_utils", function, __LINE__, __VA_ARGS__)
