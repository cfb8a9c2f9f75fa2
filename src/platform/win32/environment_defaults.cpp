// The system's part of the configuration contract on Windows.
#include "platform/environment.h"
#include "platform/win32/native.h"

namespace telmo::platform::detail {

const char* const kDefaultStateDir = "C:/ProgramData/TELMO/state";
const char* const kDefaultLogDir = "C:/ProgramData/TELMO/log";
const char* const kDefaultRoot = "C:/Program Files/TELMO";

std::string HostName() { return win32::ComputerName(); }

// The node's own services file, as Windows keeps it.
std::string DefaultServicesFile() {
  return LookupEnvironment("SystemRoot").value_or("C:\\Windows") + "\\system32\\drivers\\etc\\services";
}

}  // namespace telmo::platform::detail
