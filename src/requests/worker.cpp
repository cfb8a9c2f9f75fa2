#include "requests/worker.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>

#include "config/globals.h"
#include "config/manager_log.h"
#include "config/manager_state.h"
#include "external/telmo_server.h"
#include "housekeeping/simulation.h"
#include "platform/sync.h"
#include "requests/collaborative.h"
#include "requests/handlers.h"
#include "requests/named_requests.h"
#include "supervision/checks.h"
#include "supervision/startup.h"
#include "supervision/watchdog.h"
#include "util/text.h"

namespace telmo::requests {
namespace {

using Handler = void (*)(RequestContext&);

struct Route {
  int tt;
  Handler handler;
};

// The order in which a TT is tested; the first match handles the request.
// Whether a handler applies the rights check is the handler's own affair.
constexpr std::array kRoutes{
    Route{TELMO_TT_SET_LOGICAL_DEVICE, HandleSetLogicalDevice},
    Route{TELMO_TT_START_SERVER, HandleStartServer},
    Route{TELMO_TT_STOP_SERVER, HandleStopServer},
    Route{TELMO_TT_REFRESH_COLLABORATIVE, HandleRefreshCollaborative},
    Route{TELMO_TT_RESUME_COLLABORATIVE, HandleResumeCollaborative},
    Route{TELMO_TT_COLLABORATIVE_STATUS, HandleCollaborativeChangeType},
    Route{TELMO_TT_COLLAB_SOURCE_FWD_STATUS, HandleCollaborativeForwardStatus},
    Route{TELMO_TT_GET_SERVER_STATUS, HandleServerStatus},
    Route{TELMO_TT_GET_SERVER_STATUS_V1, HandleServerStatus},
    Route{TELMO_TT_NOTIFY_SERVER_STATUS, HandleNotifyServerStatus},
    Route{TELMO_TT_GET_SERVER_CONFIGURATION, HandleGetServerConfiguration},
    Route{TELMO_TT_ADD_SERVER, HandleSetServerConfiguration},
    Route{TELMO_TT_MODIFY_SERVER_CONFIGURATION, HandleSetServerConfiguration},
    Route{TELMO_TT_REMOVE_SERVER, HandleRemoveServer},
    Route{TELMO_TT_REMOVE_SF_SERVICES, HandleRemoveSnfServices},
    Route{TELMO_TT_REMOVE_TCPIP_SERVICE, HandleRemoveTcpipService},
    Route{TELMO_TT_DEL_LOGICAL_DEVICE, HandleDeleteLogicalDevice},
    Route{TELMO_TT_GET_MGMT_PARAMS, HandleGetMgmtParams},
    Route{TELMO_TT_SET_MGMT_PARAMS, HandleSetMgmtParams},
    Route{TELMO_TT_MSG, HandleNamedRequest},
};

using Clock = std::chrono::steady_clock;

// The periodic checks run on idle passes (the counter) and also when their
// period has elapsed by the clock, so that request traffic, which keeps the
// receive from ever timing out, cannot hold them off.
class CheckSchedule {
 public:
  explicit CheckSchedule(Clock::time_point now) : last_watchdog_(now), last_server_(now) {}

  void OnIdlePass(Clock::time_point now) {
    const IdlePass pass = PlanIdlePass(idle_counter_, gMgmtParameters.check_period.load());
    if (pass.watchdog_check && ChecksAllowed()) RunWatchdogCheck(now);
    idle_counter_ = pass.next_counter;
    if (pass.server_check && ChecksAllowed()) RunServerCheck(now);
  }

  void ChecksDueByClock(Clock::time_point now) {
    if (!ChecksAllowed()) return;
    if (now - last_watchdog_ >= kWatchdogCheckPeriod) RunWatchdogCheck(now);
    if (now - last_server_ >= ServerCheckPeriod(gMgmtParameters.check_period.load())) RunServerCheck(now);
  }

 private:
  static constexpr auto kWatchdogCheckPeriod = std::chrono::seconds(3);

  // Check period / 10 idle passes, each worth one receive time-out (1 s); at
  // least one, so that a short period does not check after every request.
  static Clock::duration ServerCheckPeriod(int check_period) {
    return std::chrono::seconds(std::max(check_period / 10, 1));
  }

  // Once a stop has begun, nothing is checked: a check would restart what
  // the stop has just ended.
  static bool ChecksAllowed() { return !gManagerExiting && !gManagerStopping; }

  void RunWatchdogCheck(Clock::time_point now) {
    last_watchdog_ = now;
    MGR_TRACE("Before CheckServersWatchdogs");
    TELMO_MGMT_CheckServersWatchdogs(gServerTable);
    MGR_TRACE("After CheckServersWatchdogs");
  }

  void RunServerCheck(Clock::time_point now) {
    idle_counter_ = 0;
    last_server_ = now;
    MGR_TRACE("Before CheckServers");
    TELMO_MGMT_CheckServers(gServerTable);
    MGR_TRACE("After CheckServers");
  }

  std::uint32_t idle_counter_ = 0;
  Clock::time_point last_watchdog_;
  Clock::time_point last_server_;
};

void RequestLoop(CollaborativeConfig& collaborative) {
  StatusBlock general;
  StatusBlock reply;
  CheckSchedule schedule(Clock::now());
  while (!gManagerExiting) {
    TELMO_SERVER_INITBLK(general);
    TELMO_SERVER_INITBLK(reply);
    TELMO_SERVER_ACCEPT(general);
    MGR_TRACE("After Accept, %s", general.failed() ? "Error returned" : "OK");
    // The listening socket is bound by the first ACCEPT and stays unbound as
    // long as the port is taken: such an error must not hold up the idle
    // passes, or no server would be checked while the manager cannot listen.
    TELMO_SERVER_INITBLK(general);

    // Once a stop has begun the loop only answers: shorter waits let it
    // notice the end of the stop at once.
    TelmoMessage request;
    const int received = TELMO_SERVER_RECEIVE(gManagerStopping ? 1 : 10, request, general);
    MGR_TRACE("After TELMO_SERVER_RECEIVE, %s", general.failed() ? "Error returned" : "OK");
    if (!general.failed() && received <= 0) {
      schedule.OnIdlePass(Clock::now());
    } else if (!general.failed()) {
      RequestContext context{request, TELMO_SERVER_REQSRC(request), TELMO_SERVER_TRANSTYPE(request), general, reply,
                             &collaborative};
      MGR_TRACE("Read a message TT=%s", TELMO_MGMT_DecodeTT(context.tt));
      if (DiagnosticsWanted()) {
        StatusBlock diag;
        TELMO_DIAG_LOG(kTraceCategory, 3005,
                       Format(">>>_RequestReceived: TT=[%d] Requester=[%s,%s]\n", context.tt,
                              context.requester.node.c_str(), context.requester.user.c_str()),
                       diag);
      }
      Dispatch(context);
    }
    schedule.ChecksDueByClock(Clock::now());
  }
  // Requests to DLGPs still waiting for their answer belong to this loop.
  TELMO_MGMT_AbandonWatchdogRequests();
}

}  // namespace

bool RequesterIsLocal(const IdentityRecord& requester) { return requester.node == LocalNode(); }

IdlePass PlanIdlePass(std::uint32_t idle_counter, int check_period) noexcept {
  IdlePass pass;
  pass.watchdog_check = idle_counter % 3 == 0;
  pass.next_counter = idle_counter + 1;
  // The counter is unsigned and compared with the quotient as the loop has
  // always done: a period below 10 checks on every idle pass.
  const long long quotient = check_period / 10;
  pass.server_check = static_cast<long long>(idle_counter) >= quotient;
  return pass;
}

void Dispatch(RequestContext& context) {
  for (const Route& route : kRoutes) {
    if (route.tt == context.tt) {
      route.handler(context);
      return;
    }
  }
  HandleInvalidTransactionType(context);
}

}  // namespace telmo::requests

unsigned WorkerThread(const int* action_pointer) {
  using namespace telmo;
  const int action = *action_pointer;
  // "-infinite": only the next worker waits.
  if (gWorkerWait.exchange(false)) DeveloperWait();
  StatusBlock general;
  StatusBlock scratch;
  if (TELMO_SERVER_INIT_THREAD(general) == 0) {
    TELMO_SERVER_LOGBLK(kOwnServiceName, general, scratch);
    return 0;
  }
  ++gWorkerCount;
  // The worker's current collaborative configuration, for its whole life.
  auto collaborative = std::make_unique<CollaborativeConfig>();
  requests::LoadCurrentCollaborative(*collaborative);

  unsigned result = 0;
  switch (action) {
    case SERVICE_ACTION_STARTUP:
      MGR_TRACE("Before TELMO_MGMT_Startup");
      result = TELMO_MGMT_Startup(gServerTable);
      MGR_TRACE("After TELMO_MGMT_Startup");
      break;
    case SERVICE_ACTION_STOP:
      MGR_TRACE("Shutting down all servers");
      result = TELMO_MGMT_shutdown(gServerTable);
      MGR_TRACE("All servers shutted down, Ret=%d", static_cast<int>(result));
      break;
    case SERVICE_ACTION_PROCESS_REQUESTS:
      MGR_TRACE("WorkerThread for SERVICE_ACTION_PROCESS_REQUESTS started");
      StartSimulationServices();
      MGR_TRACE("Starting Simulation services completed");
      MGR_TRACE("Before entering loop until gManagerExiting flag is set");
      requests::RequestLoop(*collaborative);
      break;
    default:
      break;
  }

  MGR_TRACE("Exiting WokerThread for processing requests...");
  TELMO_SERVER_EXIT_THREAD(general);
  --gWorkerCount;
  return result;
}
