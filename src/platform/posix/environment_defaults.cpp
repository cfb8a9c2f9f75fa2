// The system's part of the configuration contract on Linux.
#include <unistd.h>

#include "platform/environment.h"

namespace telmo::platform::detail {

const char* const kDefaultStateDir = "/var/lib/telmo";
const char* const kDefaultLogDir = "/var/log/telmo";
const char* const kDefaultRoot = "/opt/telmo";

std::string HostName() {
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return "localhost";
  return buf;
}

std::string DefaultServicesFile() { return StateDir() + "/services"; }

}  // namespace telmo::platform::detail
