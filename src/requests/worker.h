// The worker thread: the one thread function of the manager that does work.
// Started with a service action: run the start-up sequence once, run the
// shut-down sequence once, or serve management requests until the service
// stops. In request mode it receives requests, decodes their transaction
// type, hands each to its handler and, when a wait ends without a request,
// runs the periodic watchdog and server checks.
#pragma once

#include <cstdint>

#include "external/telmo_collab.h"
#include "external/telmo_message.h"
#include "external/telmo_status.h"

inline constexpr int SERVICE_ACTION_STARTUP = 0;
inline constexpr int SERVICE_ACTION_STOP = 1;
inline constexpr int SERVICE_ACTION_PROCESS_REQUESTS = 2;

/// Runs the action `*action` (read once, at the start). The result is the
/// start-up or shut-down sequence's byte for actions 0 and 1, else 0.
unsigned WorkerThread(const int* action);

/// What a request handler is given: the request, its requester and TT, and
/// the worker's status blocks (both clear when the handler starts).
struct RequestContext {
  TelmoMessage& request;
  IdentityRecord requester;
  int tt = 0;
  StatusBlock& general;  ///< errors of library calls
  StatusBlock& reply;    ///< the result that goes back to the requester
  CollaborativeConfig* collaborative = nullptr;  ///< the worker's current collaborative configuration
};

namespace telmo::requests {

/// The rights check: the requester's node equals the local node exactly,
/// letter case included. The user plays no part.
[[nodiscard]] bool RequesterIsLocal(const IdentityRecord& requester);

/// Hands one request to its handler by TT (or to the invalid-TT path).
void Dispatch(RequestContext& context);

/// The schedule of idle passes: `idle_counter` is the worker's counter before
/// the pass; the results tell which checks run and the counter afterwards.
struct IdlePass {
  bool watchdog_check = false;
  bool server_check = false;
  std::uint32_t next_counter = 0;
};
[[nodiscard]] IdlePass PlanIdlePass(std::uint32_t idle_counter, int check_period) noexcept;

}  // namespace telmo::requests
