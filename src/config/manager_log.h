// The manager's log conventions: management-log lines under the file label
// "telmo_manager" (request handlers use the function label
// "TELMO_MGMT_CheckServers"), trace lines under "TELMOMANAGER" code 3005, and
// diagnostic lines written only when diagnostics are wanted.
#pragma once

#include <optional>
#include <string_view>

#include "external/telmo_log.h"
#include "platform/win_types.h"

inline constexpr const char* kTraceCategory = "TELMOMANAGER";
inline constexpr const char* kPerformanceCategory = "PERFORMANCE";
inline constexpr const char* kHandlerFunction = "TELMO_MGMT_CheckServers";

/// Trace line (written when TELMO_TRACE=1).
#define MGR_TRACE(...) KernelDebugLogEx(kTraceCategory, 3005, __VA_ARGS__)
/// Management-log line of a request handler.
#define MGR_LOG(...) TELMO_MGMT_LogMessage("telmo_manager", kHandlerFunction, __LINE__, __VA_ARGS__)

namespace telmo {
/// True when diagnostics are wanted (TELMO_DIAG_LOGSTATE returns 0).
[[nodiscard]] inline bool DiagnosticsWanted() { return TELMO_DIAG_LOGSTATE() == 0; }
/// A diagnostic line under `category` and `code` when diagnostics are wanted.
void DiagLine(const char* category, int code, std::string_view text);
/// Logs a status block under the application name of TELMO_USR_GetApplicationID.
void LogBlockUnderApplicationName(const StatusBlock& status);
/// Writes a line to the client log under that application name.
void ClientLogUnderApplicationName(std::string_view text);
/// Console error report: "Error in <call>: " and the system text of `error`
/// (the thread's last error when none is given) on standard output, or
/// "Unknown Error=<n>" when the system has no text for it.
void ConsoleErrorReport(const char* failed_call, std::optional<DWORD> error = std::nullopt);

/// Logged Windows error: the context and the system text of `error` in the
/// management log (nothing for error 0 without context), at most 2047
/// characters.
void LogWindowsError(const char* source, const char* context, DWORD error);
}  // namespace telmo
