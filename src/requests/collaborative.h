// The manager's part in the collaborative: the worker's current collaborative
// configuration, the change type against a fresh load, and which servers are
// collaborative stores (their store processes get the refresh, resume and
// forward-status orders).
#pragma once

#include <cstdint>
#include <optional>

#include "config/records.h"
#include "external/telmo_collab.h"

namespace telmo::requests {

/// Loads `current` with TELMO_COLLAB_LOAD and writes its one line to the
/// client log under the manager's application name.
void LoadCurrentCollaborative(CollaborativeConfig& current);

/// The change type of `fresh` against `current`: the fresh load status when
/// it is not 2 (not loaded), else 3 same node names (ignoring case), 6 a node
/// removed, 4 nodes added whose second texts are empty, 5 a node added with a
/// second text.
[[nodiscard]] std::int32_t CollaborativeChangeType(const CollaborativeConfig& current,
                                                   const CollaborativeConfig& fresh);

/// The TCP service of the server's store process when the server is a
/// collaborative store: running (run status 2), an asynchronous or OPC UA
/// DLGP, store and forward in use, and its store component (the one before
/// the last: scanner, store, forward close the array) running. nullopt
/// otherwise.
[[nodiscard]] std::optional<Text32> CollaborativeStoreService(const ServerRecord& server);

}  // namespace telmo::requests
