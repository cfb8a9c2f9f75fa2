// The Windows service side of the manager: the service main (brought up in two
// stages: a start-up worker, then the request worker), the control handler
// (a stop or shutdown control becomes a stop worker, with STOP_PENDING
// reports every 100 ms while it runs), and the status reporter both use.
#pragma once

#include <functional>

#include "platform/win_types.h"

/// SERVICE_TIMEOUT: the wait hint of pending reports, in milliseconds.
inline constexpr DWORD SERVICE_TIMEOUT = 1000;

/// The service main the dispatcher runs.
void ServiceMain(DWORD argc, char** argv);

/// The control handler, called on the dispatcher's thread.
void ServiceControlHandler(DWORD control);

namespace telmo::service {

/// Reports a status to the service control manager. Fails (and calls the
/// service error reporter with "SetServiceStatus") unless the stop has begun.
/// Once SERVICE_STOPPED has been reported, later reports are dropped: STOPPED
/// is always the last state the service control manager sees.
bool ReportStatus(DWORD state, DWORD exit_code, DWORD checkpoint, DWORD wait_hint, DWORD controls_accepted);

/// Signals the stop event, when it exists (the service main then takes the
/// service down).
void SignalStopEvent();

/// After a fatal error while starting: reports SERVICE_STOPPED with `error`
/// as its Win32 exit code, straight to the service control manager (a
/// failure to report is not reported again). Nothing once STOPPED is reported.
void ReportStartFailure(DWORD error);

/// The worker the service main and the control handler start (WorkerThread
/// unless a test puts its own).
using WorkerFunction = std::function<unsigned(int action)>;
void SetWorkerFunction(WorkerFunction worker);

}  // namespace telmo::service
