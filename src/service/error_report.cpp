#include "service/error_report.h"

#include <cstdio>
#include <cstdlib>

#include "config/manager_state.h"
#include "external/telmo_log.h"
#include "external/telmo_text.h"
#include "platform/eventlog.h"
#include "platform/win_error.h"
#include "service/service_control.h"
#include "util/text.h"

namespace telmo::service {
namespace {
constexpr std::size_t kServiceErrorTextSize = 512;

// The system's texts end in a line end; callers cut or filter it.
std::optional<std::string> SystemText(DWORD error) { return platform::SystemMessage(error); }

std::string Bounded(std::string text, std::size_t buffer_size) {
  if (buffer_size > 0 && text.size() >= buffer_size) text.resize(buffer_size - 1);
  return text;
}
}  // namespace

void WriteManagerEvent(DWORD event_id, WORD type, const char* text) {
  EventSourceHandle source = RegisterEventSourceA(nullptr, kOwnServiceName);
  if (!source) return;
  const char* strings[] = {text};
  ReportEventA(source, type, 0, event_id, nullptr, text ? 1 : 0, 0, text ? strings : nullptr, nullptr);
  DeregisterEventSource(source);
}

void ReportServiceError(const char* failed_call) {
  const DWORD error = GetLastError();
  gServiceExitCode = error;
  std::string text;
  if (auto message = SystemText(error)) {
    text = Format("TELMO Manager error from - %s ,errid = %d, errtext = %s", failed_call, static_cast<int>(error),
                  TELMO_FILTER_CRLF(*message).c_str());
  } else {
    text = Format("TELMO Manager error from - %s ,errid = %d", failed_call, static_cast<int>(error));
  }
  text = Bounded(std::move(text), kServiceErrorTextSize);
  WriteManagerEvent(kEventServiceError, EVENTLOG_ERROR_TYPE, text.c_str());
  if (gManagerStarting) {
    // A start that fails is a failure: the service control manager sees
    // STOPPED with the error, and the exit code is not 0 (systemd would
    // read 0 as a clean stop).
    ReportStartFailure(error);
    EndProcessNow(1);
  }
  SignalStopEvent();
}

std::string LastErrorText(std::size_t buffer_size) {
  const DWORD error = GetLastError();
  const auto message = SystemText(error);
  if (!message || buffer_size < message->size() + 14) return {};
  const std::string cut = message->substr(0, message->size() >= 2 ? message->size() - 2 : 0);
  return Bounded(Format("%s (0x%x)", TELMO_FILTER_CRLF(cut).c_str(), static_cast<unsigned>(error)), buffer_size);
}

void EndProcessNow(int exit_code) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(exit_code);
}

}  // namespace telmo::service
