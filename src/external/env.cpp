#include "external/telmo_env.h"
#include "platform/environment.h"

std::optional<std::string> k42_getenv(std::string_view name) { return telmo::platform::LookupConfig(name); }

void TELMO_CLIENT_ENVIRONMENT(TelmoEnvironment& env) {
  env.base_directory = telmo::platform::LookupConfig("TELMOROOT").value_or("/opt/telmo");
  if (env.base_directory.empty() || env.base_directory.back() != '/') env.base_directory += '/';
}

bool TELMO_MGMT_ExpandFileName(std::string_view text, std::string& out, std::size_t capacity) {
  bool all = false;
  out = telmo::platform::ExpandReferences(text, &all);
  if (out.size() >= capacity) {
    out.resize(capacity > 0 ? capacity - 1 : 0);
    return false;
  }
  return all;
}
