// One manager per node. The manager takes its node (an exclusive lock in the
// state directory) and binds its port when it starts, before anything touches
// a process: a second manager started by mistake ends at once, with a reason,
// instead of killing the first one's components and supervising copies of them.
#pragma once

namespace telmo::service {

/// Takes the node and, when `listen`, binds the manager's port (the console
/// run serves no requests and only takes the node). nullptr on success; on
/// failure the name of the call that failed, with the last error set and one
/// management-log line (and one line on standard error) saying why.
[[nodiscard]] const char* ClaimNode(bool listen);

/// Gives the node back (the end of the service main or the console run).
void ReleaseNode();

}  // namespace telmo::service
