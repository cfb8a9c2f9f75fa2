// The manager's server record and the configuration the messaging library
// carries for it (GET_SERVER_CONFIGURATION replies, ADD_SERVER and
// MODIFY_SERVER_CONFIGURATION requests): the same fields, copied both ways.
#pragma once

#include <memory>

#include "config/records.h"
#include "external/telmo_config_requests.h"

namespace telmo::config {

/// Every field and every component (null entries left out).
[[nodiscard]] ServerConfiguration ToConfiguration(const ServerRecord& record);
/// A new record with the configuration's fields and components, in order.
[[nodiscard]] std::unique_ptr<ServerRecord> FromConfiguration(const ServerConfiguration& configuration);

}  // namespace telmo::config
