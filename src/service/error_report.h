// Turning a Win32 error into text and putting it where somebody sees it: the
// event log under the source "TELMOManager", the console, or the management log.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "config/manager_log.h"
#include "platform/win_types.h"

/// Event identifiers the manager writes (the text is the single insertion string).
inline constexpr DWORD kEventManagerStarted = 0x40000002;  ///< "TELMO Manager started"
inline constexpr DWORD kEventManagerStopped = 0x40000006;  ///< "TELMO Manager Stopped"
inline constexpr DWORD kEventServiceError = 0xC0000005;    ///< the service error text

namespace telmo::service {

/// Event writer: one event under "TELMOManager"; `text` null writes no string.
/// An event log that cannot be opened loses the event silently.
void WriteManagerEvent(DWORD event_id, WORD type, const char* text);

/// Service error reporter: records the calling thread's last error as the
/// service exit code and writes the error event naming `failed_call`. While the
/// manager is starting it then reports SERVICE_STOPPED with that error and ends
/// the process with exit code 1; afterwards it signals the stop event so that
/// the service main takes the service down.
void ReportServiceError(const char* failed_call);

/// Last-error text: "<system text> (0x<error>)" for the thread's last error, or
/// empty when there is no system text or it would not fit `buffer_size`.
[[nodiscard]] std::string LastErrorText(std::size_t buffer_size);

/// The console error report is telmo::ConsoleErrorReport (config/manager_log.h):
/// the registry writes of the named requests use it too.

/// Flushes standard output and ends the process at once (no destructors run
/// while other threads may still be working).
[[noreturn]] void EndProcessNow(int exit_code);

}  // namespace telmo::service
