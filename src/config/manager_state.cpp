#include "config/manager_state.h"

#include <mutex>

std::atomic<bool> gManagerExiting{false};
std::atomic<std::int8_t> gWorkerCount{0};
std::atomic<bool> gManagerStarting{false};
std::atomic<DWORD> gServiceExitCode{0};
std::atomic<bool> gWorkerWait{false};

namespace telmo {
namespace {
std::mutex g_node_mutex;
Text32 g_local_node;
}  // namespace

Text32 LocalNode() {
  std::lock_guard lock(g_node_mutex);
  return g_local_node;
}

void SetLocalNode(const Text32& node) {
  std::lock_guard lock(g_node_mutex);
  g_local_node = node;
}
}  // namespace telmo
