#include "service/node_claim.h"

#include <cstdio>
#include <mutex>

#include "config/manager_state.h"
#include "external/telmo_log.h"
#include "external/telmo_server.h"
#include "platform/node_lock.h"
#include "platform/win_error.h"

namespace telmo::service {
namespace {

constexpr const char* kLockName = "telmo_manager";

std::mutex g_mutex;
platform::NodeLock g_lock;

}  // namespace

const char* ClaimNode(bool listen) {
  std::lock_guard lock(g_mutex);
  if (!g_lock.held()) {
    DWORD holder = 0;
    auto taken = platform::TryLockNode(kLockName, &holder);
    if (!taken) {
      const std::string path = platform::NodeLockPath(kLockName);
      const std::string node = LocalNode().str();
      if (taken.error() == ERROR_SERVICE_ALREADY_RUNNING) {
        TELMO_MGMT_LOG("main", "Another TELMO Manager (pid %u) runs on node %s (%s is locked): this one ends\n",
                       static_cast<unsigned>(holder), node.c_str(), path.c_str());
        std::fprintf(stderr, "telmo_manager: another TELMO Manager (pid %u) runs on node %s (%s is locked)\n",
                     static_cast<unsigned>(holder), node.c_str(), path.c_str());
      } else {
        TELMO_MGMT_LOG("main", "Cannot lock %s (error %u): this TELMO Manager ends\n", path.c_str(),
                       static_cast<unsigned>(taken.error()));
        std::fprintf(stderr, "telmo_manager: cannot lock %s (error %u)\n", path.c_str(),
                     static_cast<unsigned>(taken.error()));
      }
      SetLastError(taken.error());
      return "LockFileEx";
    }
    g_lock = std::move(*taken);
  }
  if (!listen) return nullptr;
  // The first ACCEPT binds the listening socket and logs why it cannot.
  StatusBlock block;
  if (TELMO_SERVER_ACCEPT(block) == 0) {
    const DWORD error = GetLastError();
    std::fprintf(stderr, "telmo_manager: cannot listen for service %s: %s (error %u)\n", kOwnServiceName,
                 block.describe().c_str(), static_cast<unsigned>(error));
    SetLastError(error);
    return "TELMO_SERVER_ACCEPT";
  }
  return nullptr;
}

void ReleaseNode() {
  std::lock_guard lock(g_mutex);
  g_lock.Release();
}

}  // namespace telmo::service
