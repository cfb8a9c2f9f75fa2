// The management parameters: the server check period and the reply
// time-out, kept in "telmo_k_mgmt_parameters.def" in the management directory
// (two lines, "%d\n" each, check period first).
#pragma once

#include <atomic>
#include <optional>
#include <string>

#include "external/telmo_status.h"

struct MgmtParameters {
  static constexpr int kDefaultCheckPeriod = 600;  ///< "Servers process check period"
  static constexpr int kDefaultTimeout = 100;      ///< "Timeout"

  /// Read by the request worker, set by SET_MGMT_PARAMS: atomics, since the
  /// stop worker writes the file while the request worker may still serve.
  std::atomic<int> check_period{kDefaultCheckPeriod};
  std::atomic<int> timeout{kDefaultTimeout};
};

namespace telmo::config {

inline constexpr const char* kParametersFileName = "telmo_k_mgmt_parameters.def";

/// "<TELMOMGMT>\telmo_k_mgmt_parameters.def"; nullopt when TELMOMGMT is not defined.
[[nodiscard]] std::optional<std::string> ParametersFilePath();

/// Reads the file. No file: nothing changes, no error. Line 1 (check period)
/// missing: (1, errno) and (15, 15003); empty, too long (over 30) or not a
/// number: (15, 15021). Line 2 (time-out) the same with (15, 15044). Stops at
/// the first error; a value read before it stays. `status` is not cleared.
void ReadParameters(MgmtParameters& parameters, StatusBlock& status);

/// Writes the two lines: temporary file, flushed, renamed over the old one.
/// On failure prints "error opening %s\n", logs "Error %s opening parameters
/// file %s\n", loads (1, errno) and (15, 15001); the old file stays whole.
bool WriteParameters(const MgmtParameters& parameters, StatusBlock& status);

}  // namespace telmo::config
