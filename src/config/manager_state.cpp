#include "config/manager_state.h"

#include <mutex>

#include "platform/sync.h"

std::atomic<bool> gManagerExiting{false};
std::atomic<std::int8_t> gWorkerCount{0};
std::atomic<bool> gManagerStarting{false};
std::atomic<DWORD> gServiceExitCode{0};
std::atomic<bool> gWorkerWait{false};
std::atomic<bool> gManagerStopping{false};

namespace telmo {
namespace {
std::mutex g_node_mutex;
Text32 g_local_node;

// Releases given and waits begun: a wait ends once the releases outnumber the
// waits before it, so a release sent early is kept for the wait it meant.
// Lock-free atomics: the release is counted from a signal handler.
std::atomic<int> g_releases{0};
std::atomic<int> g_waits{0};
static_assert(std::atomic<int>::is_always_lock_free);
}  // namespace

void DeveloperWait() {
  const int mine = ++g_waits;
  while (g_releases.load() < mine) Sleep(1000);
}

void ReleaseDeveloperWait() noexcept { ++g_releases; }

Text32 LocalNode() {
  std::lock_guard lock(g_node_mutex);
  return g_local_node;
}

void SetLocalNode(const Text32& node) {
  std::lock_guard lock(g_node_mutex);
  g_local_node = node;
}
}  // namespace telmo
