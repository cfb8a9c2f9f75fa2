// The node's TCP services file (format of /etc/services: "name port/tcp",
// names compared ignoring letter case), at $TELMO_SERVICES_FILE. Every change
// is made under an exclusive flock of the file and written atomically
// (temporary file in the same directory, fsync, rename): readers never see a
// half-written file and concurrent writers never lose each other's entries.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "util/result.h"

/// The port listed for `service`, 0 when it is not listed (or the name is empty).
int TELMO_MGMT_GetServicePort(std::string_view service);

/// The port the node can use for `service`.
///  - listed: sets *found to 1 and *port (when given) to the listed port, returns it;
///  - not listed: sets *found to 0 and returns the proposed *port when no entry
///    uses it, else the lowest port above it that no entry uses; with no
///    proposal (port null or 0) the lowest unused port from 7000 on.
int CheckPortNumber(std::string_view service, int* port, int* found);

/// Adds "service port/tcp". An entry of the same name is never changed: the
/// call then returns false. False also when the file cannot be written.
bool AddServiceToFile(std::string_view service, int port);

/// Removes the entry of `service`; returns the port it held, 0 when it was not
/// listed or the file could not be changed (telmo::RemoveServiceEntry tells
/// the two apart).
int RemoveServiceFromFile(std::string_view service);

namespace telmo {
struct ServiceEntry {
  std::string name;
  int port = 0;
};
/// Every entry, in file order (for consoles).
[[nodiscard]] std::vector<ServiceEntry> ListServices();
[[nodiscard]] std::string ServicesFilePath();

/// The ports of the services file as it stands when Load is called: one
/// snapshot for many lookups in a row (a walk over every server), without the
/// file check TELMO_MGMT_GetServicePort makes at each call. Port answers as
/// TELMO_MGMT_GetServicePort would have then.
class ServicePorts {
 public:
  [[nodiscard]] static ServicePorts Load();
  [[nodiscard]] static ServicePorts Load(const std::string& path);
  [[nodiscard]] int Port(std::string_view service) const;

 private:
  std::unordered_map<std::string, int> ports_;  ///< upper-case name -> the first entry's port
};

/// Removes the entry of `service`: the port it held, 0 when it was not listed;
/// the Win32 error (logged) when the file could not be locked, read or written.
[[nodiscard]] Result<int> RemoveServiceEntry(std::string_view service);
}  // namespace telmo
