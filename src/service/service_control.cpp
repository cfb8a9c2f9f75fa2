#include "service/service_control.h"

#include <atomic>
#include <mutex>

#include "config/globals.h"
#include "config/manager_log.h"
#include "config/manager_state.h"
#include "external/telmo_server.h"
#include "platform/eventlog.h"
#include "platform/scm.h"
#include "platform/sync.h"
#include "requests/worker.h"
#include "service/error_report.h"
#include "service/node_claim.h"

namespace telmo::service {
namespace {

constexpr DWORD kControlsWhenRunning = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;

// The controls the service accepts, in this one place: the service main sets
// it (none during start-up, stop and shutdown once it is over) and every
// report that is not a pending one carries it.
std::atomic<DWORD> g_controls_accepted{0};

SERVICE_STATUS_HANDLE g_status_handle;

// The status reporter can be called from the service main and the control
// handler at once; the lock orders their reports and remembers STOPPED.
std::mutex g_report_mutex;
bool g_stopped_reported = false;

std::mutex g_stop_event_mutex;
EventHandle g_stop_event;

// Set by the first stop or shutdown control: a second one (a second Ctrl-C,
// a stop after a shutdown) never starts a second shut-down.
std::atomic<bool> g_stop_handled{false};

std::mutex g_worker_mutex;
WorkerFunction g_worker;

unsigned RunWorker(int action) {
  WorkerFunction worker;
  {
    std::lock_guard lock(g_worker_mutex);
    worker = g_worker;
  }
  if (worker) return worker(action);
  return WorkerThread(&action);
}

bool StillActive(const ThreadHandle& thread) {
  DWORD code = 0;
  return GetExitCodeThread(thread, &code) && code == STILL_ACTIVE;
}

EventHandle StopEvent() {
  std::lock_guard lock(g_stop_event_mutex);
  return g_stop_event;  // NOLINT: handles share the event object
}

}  // namespace

void SetWorkerFunction(WorkerFunction worker) {
  std::lock_guard lock(g_worker_mutex);
  g_worker = std::move(worker);
}

bool ReportStatus(DWORD state, DWORD exit_code, DWORD checkpoint, DWORD wait_hint, DWORD controls_accepted) {
  SERVICE_STATUS status;
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : controls_accepted;
  status.dwWin32ExitCode = exit_code;
  status.dwServiceSpecificExitCode = 0;
  status.dwCheckPoint = checkpoint;
  status.dwWaitHint = wait_hint;

  bool ok = true;
  {
    std::lock_guard lock(g_report_mutex);
    if (g_stopped_reported) return true;
    ok = SetServiceStatus(g_status_handle, &status) != FALSE;
    if (ok && state == SERVICE_STOPPED) g_stopped_reported = true;
  }
  if (!ok && !gManagerExiting) {
    ReportServiceError("SetServiceStatus");
    return false;
  }
  return ok;
}

void SignalStopEvent() {
  EventHandle event = StopEvent();
  if (event) SetEvent(event);
}

void ReportStartFailure(DWORD error) {
  const SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, error, 0, 0, 0};
  std::lock_guard lock(g_report_mutex);
  if (!g_status_handle || g_stopped_reported) return;
  // Straight to the service control manager: a failure here has nowhere left to go.
  if (SetServiceStatus(g_status_handle, &status)) g_stopped_reported = true;
}

}  // namespace telmo::service

using namespace telmo::service;

void ServiceMain(DWORD /*argc*/, char** /*argv*/) {
  // Each run starts from a fresh state: a process that runs the service main
  // more than once (a test binary does) must not inherit the last run's stop.
  gWorkerCount = 0;
  gManagerExiting = false;
  gServiceExitCode = 0;
  gManagerStopping = false;
  g_controls_accepted = 0;
  {
    std::lock_guard lock(g_report_mutex);
    g_stopped_reported = false;
  }
  g_stop_handled = false;
  StatusBlock general;
  StatusBlock scratch;
  telmo::Text32 node;
  if (TELMO_SERVER_INIT(1, kOwnServiceName, node, general) == 0) {
    TELMO_SERVER_LOGBLK(kOwnServiceName, general, scratch);
    EndProcessNow(1);  // a start that fails is a failure, never a clean stop
  }
  telmo::SetLocalNode(node);
  if (!gServerTable.mutex.Create(general)) TELMO_SERVER_LOGBLK(kOwnServiceName, general, scratch);

  g_status_handle = RegisterServiceCtrlHandlerA(kOwnServiceName, ServiceControlHandler);
  if (!g_status_handle) {
    ReportServiceError("RegisterServiceCtrlHandler");
    return;
  }
  DWORD wait_count = 1;
  ReportStatus(SERVICE_START_PENDING, 0, wait_count, SERVICE_TIMEOUT, 0);

  // One manager per node, on its port: taken before anything touches a
  // process. A second manager ends here, reporting why (the error reporter
  // ends the process with exit code 1 while the manager is starting).
  if (const char* failed = ClaimNode(true)) {
    ReportServiceError(failed);
    return;
  }

  MGR_TRACE("Before Creating Stop Event, waitcount %d", static_cast<int>(wait_count));
  {
    EventHandle event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!event) {
      ReportServiceError("CreateEvent");
      MGR_TRACE("Could not Create Stop Event");
      return;
    }
    std::lock_guard lock(g_stop_event_mutex);
    g_stop_event = std::move(event);
  }
  // Still starting while the start-up worker runs: no control is accepted,
  // and RUNNING (systemd's READY=1, telmoctl svc start --wait) is only
  // reported once requests are answered.
  ReportStatus(SERVICE_START_PENDING, 0, ++wait_count, SERVICE_TIMEOUT, 0);

  MGR_TRACE("Before _beginthreadex call to start WorkerThread, waitcount %d, SERVICE_TIMEOUT %d",
            static_cast<int>(wait_count), static_cast<int>(SERVICE_TIMEOUT));
  ThreadHandle startup = _beginthreadex([] { return RunWorker(SERVICE_ACTION_STARTUP); });
  MGR_TRACE("After _beginthreadex call to start WorkerThread");
  if (!startup) {
    ReportServiceError("_beginthreadex");
    MGR_TRACE("_beginthreadex returned invalid handle %d, exiting ", 0);
    return;
  }
  while (true) {
    MGR_TRACE("Looping for WorkerThread to terminate, waitcount %d,SERVICE_IMEOUT = %d", static_cast<int>(wait_count),
              static_cast<int>(SERVICE_TIMEOUT));
    Sleep(SERVICE_TIMEOUT / 5);
    MGR_TRACE("Looping, after short TIMEOUT = %d for WorkerThread to terminate", 100);
    const bool active = StillActive(startup);
    MGR_TRACE("After GetExitCodeThread checking for WorkerThread termination, %s",
              active ? "Still Active" : "Not Active");
    if (!active) break;
    ReportStatus(SERVICE_START_PENDING, 0, ++wait_count, SERVICE_TIMEOUT, 0);
  }
  CloseHandle(startup);

  MGR_TRACE("After WorkerThread termination. Service is running");
  // The request worker first: the port is bound already, so from the RUNNING
  // report on a request is answered.
  ThreadHandle requests = _beginthreadex([] { return RunWorker(SERVICE_ACTION_PROCESS_REQUESTS); });
  MGR_TRACE("Start WorkerThread for SERVICE_ACTION_PROCESS_REQUESTS");
  if (!requests) {
    ReportServiceError("_beginthreadex");
    MGR_TRACE("_beginthreadex for listenning thread returned invalid handle %d, exiting ", 0);
    return;
  }
  g_controls_accepted = kControlsWhenRunning;
  ReportStatus(SERVICE_RUNNING, 0, 0, 0, g_controls_accepted.load());
  WriteManagerEvent(kEventManagerStarted, EVENTLOG_INFORMATION_TYPE, "TELMO Manager started");
  gManagerStarting = false;
  MGR_TRACE("Setting Manager Starting to false");

  if (EventHandle event = StopEvent()) {
    MGR_TRACE("Waiting for terminate service event");
    WaitForSingleObject(event, INFINITE);
    {
      std::lock_guard lock(g_stop_event_mutex);
      g_stop_event.reset();
    }
    MGR_TRACE("Terminate service event received by ServiceMain");
  }
  // SERVICE_STOPPED is reported at the very end, once the workers have ended
  // and the node and its port are free: a start right after "stopped" must
  // find them free, not a manager still on its way out.

  gManagerExiting = true;
  while (true) {
    MGR_TRACE("Loop waiting for listening thread to finish");
    Sleep(SERVICE_TIMEOUT / 5);
    const bool active = StillActive(requests);
    MGR_TRACE("Loop waiting for listening thread to finish, after small wait, TIMEOUT %d, thread is %s", 100,
              active ? "still active" : "not active");
    if (!active) break;
  }
  CloseHandle(requests);

  MGR_TRACE("Listening thread finished, waiting for all remaining %d threads to finish",
            static_cast<int>(gWorkerCount.load()));
  while (gWorkerCount > 0) Sleep(100);

  MGR_TRACE("All remaining threads finished");
  MGR_TRACE("Exiting TELMO server");
  TELMO_SERVER_EXIT(general);
  ReleaseNode();
  gServerTable.mutex.Close(scratch);
  WriteManagerEvent(kEventManagerStopped, EVENTLOG_INFORMATION_TYPE, "TELMO Manager Stopped");
  ReportStatus(SERVICE_STOPPED, gServiceExitCode.load(), 0, 0, 0);
}

void ServiceControlHandler(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN: {
      if (g_stop_handled.exchange(true)) return;
      // The first moment of the stop: no check, restart or start from now on.
      gManagerStopping = true;
      DWORD wait_count = 1;
      ReportStatus(SERVICE_STOP_PENDING, 0, wait_count, SERVICE_TIMEOUT, 0);
      MGR_TRACE("Service state to STOP_PENDING received, waitcount %d, SERVICE_TIMEOUT %d",
                static_cast<int>(wait_count), static_cast<int>(SERVICE_TIMEOUT));
      ThreadHandle stop = _beginthreadex([] { return RunWorker(SERVICE_ACTION_STOP); });
      if (!stop) {
        ReportServiceError("_beginthreadex");
        MGR_TRACE("Service action STOP WorkThread creation failed. invalid handle %d", 0);
        return;
      }
      MGR_TRACE("Loop until STOP workthread finishes ");
      while (true) {
        ++wait_count;
        ReportStatus(SERVICE_STOP_PENDING, 0, wait_count, SERVICE_TIMEOUT, 0);
        MGR_TRACE("Looping until STOP workthread finishes, waitcount %d, SERVICE_TIMEOUT %d",
                  static_cast<int>(wait_count), static_cast<int>(SERVICE_TIMEOUT));
        Sleep(SERVICE_TIMEOUT / 10);
        const bool active = StillActive(stop);
        MGR_TRACE("Looping until STOP workthread finishes, finshed small wait, waitcount %d, TIMEOUT %d, thread is %s",
                  static_cast<int>(wait_count), 100, active ? "still active" : "not active");
        if (!active) break;
      }
      CloseHandle(stop);
      MGR_TRACE("Triggering Event to terminate service from Service Control routine");
      SignalStopEvent();
      ReportStatus(SERVICE_STOP_PENDING, 0, 0, 0, g_controls_accepted.load());
      break;
    }
    case SERVICE_CONTROL_INTERROGATE:
      break;
    default:
      // A control of the service's own changes nothing: the state and the
      // controls accepted stay what the service main made them. Before
      // start-up is over (none accepted yet) and once a stop is under way,
      // their own reports stand.
      if (g_controls_accepted.load() == 0 || g_stop_handled) break;
      ReportStatus(SERVICE_RUNNING, 0, 0, 0, g_controls_accepted.load());
      break;
  }
}
