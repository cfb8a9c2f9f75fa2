// The logical devices of this node: a name and three values each, kept by
// the messaging library in one file, $TELMO_STATE_DIR/logical_devices.
//
// The store is a text file, one device a line: the name and the three values
// separated by tabs, each written with "%XX" for "%", tabs, line ends and
// other control characters. Lines starting with "#" and lines that are not a
// device are kept as they stand. Names compare ignoring letter case and keep
// the case they were added with.
//
// Every change re-reads the store and writes it back atomically (temporary
// file, fsync, rename) under an exclusive lock of "logical_devices.lock": one
// writer at a time, across processes; readers take no lock and see the store
// before or after a change, whole. A store that exists and cannot be read is
// never replaced.
//
// Each call clears `block` first, then loads its error there (facility
// kFacilityMessaging) and returns 0, or returns 1:
//   kMsgBadDevice       name empty, or the name or a value above 31 characters
//   kMsgDeviceNotFound  view, change or delete of a device that is not there
//   kMsgDeviceExists    add of a device that is there
//   kMsgDeviceStore     the store cannot be locked, read or written (logged)
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "external/telmo_config_requests.h"
#include "external/telmo_status.h"
#include "util/fixed_text.h"
#include "util/result.h"

int TELMO_CLIENT_VIEW_DEVICE(std::string_view name, telmo::Text32& value1, telmo::Text32& value2,
                             telmo::Text32& value3, StatusBlock& block);
int TELMO_CLIENT_ADD_DEVICE(std::string_view name, std::string_view value1, std::string_view value2,
                            std::string_view value3, StatusBlock& block);
int TELMO_CLIENT_MODIF_DEVICE(std::string_view name, std::string_view value1, std::string_view value2,
                              std::string_view value3, StatusBlock& block);
int TELMO_CLIENT_DELETE_DEVICE(std::string_view name, StatusBlock& block);

namespace telmo {

/// $TELMO_STATE_DIR/logical_devices
[[nodiscard]] std::string DeviceStorePath();
/// Every device in store order (for consoles); the Win32 error when the store
/// exists and cannot be read.
[[nodiscard]] Result<std::vector<LogicalDevice>> ListDevices();

}  // namespace telmo
