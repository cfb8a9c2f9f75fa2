// The read-back check of a configuration: the server file is built in memory
// and loaded again, and what comes back is compared with what went in.
#include <string>

#include "config/config_check.h"
#include "config/server_file.h"
#include "config/watchdog_table.h"
#include "external/telmo_log.h"
#include "util/text.h"

namespace telmo::config {
namespace {

// The field reader skips blanks and tabs before every field.
std::string_view Significant(std::string_view text) noexcept {
  const std::size_t first = text.find_first_not_of(" \t");
  return first == std::string_view::npos ? std::string_view() : text.substr(first);
}

bool Same(std::string_view written, std::string_view read) noexcept {
  return Significant(written) == Significant(read);
}

// The first text that differs, or null when all came back.
const char* Difference(const ServerRecord& in, const ServerRecord& out, std::size_t& component) {
  if (in.name != out.name) return "name";
  if (!Same(in.dlgp_service.view(), out.dlgp_service.view())) return "DLGP TCP service";
  if (!Same(in.hist_service.view(), out.hist_service.view())) return "historical DLGP TCP service";
  if (!Same(in.username, out.username)) return "username";
  if (in.password != out.password) return "password";
  if (!Same(in.store_file_path, out.store_file_path)) return "store file path";
  std::size_t k = 0;
  for (const auto& written : in.components) {
    if (!written || written->generated != 0) continue;
    component = k;
    if (k >= out.components.size() || !out.components[k] || out.components[k]->generated != 0) {
      return "component count";
    }
    const ComponentRecord& read = *out.components[k];
    if (!Same(written->name, read.name)) return "component name";
    if (!Same(written->tcp_service.view(), read.tcp_service.view())) return "component TCP service";
    if (!Same(written->executable, read.executable)) return "component executable";
    if (!Same(written->arguments, read.arguments)) return "component arguments";
    ++k;
  }
  if (k < out.components.size() && out.components[k] && out.components[k]->generated == 0) return "component count";
  return nullptr;
}

}  // namespace

bool CheckReadsBack(const ServerRecord& record, StatusBlock& status) {
  constexpr const char* kFunction = "TELMO_MGMT_CheckConfiguration";
  const std::string text = BuildServerFile(record);
  const char* field = nullptr;
  std::size_t component = 0;
  if (!FitsLineReader(text)) {
    field = "line length";
  } else {
    LineReader reader(text, record.dlgp_service.str() + std::string(kServerFileExtension));
    WatchdogTable scratch_watchdogs;
    StatusBlock load_status;
    const auto back = ParseServerFile(reader, load_status, scratch_watchdogs);
    if (!back) {
      TELMO_MGMT_UTILS_LOG(kFunction, "The server file of server %s would not load back (%s). Not written\n",
                           record.name.c_str(), load_status.describe().c_str());
      TELMO_LoadCodes(load_status, status);
      return false;
    }
    field = Difference(record, *back, component);
  }
  if (field == nullptr) return true;
  TELMO_MGMT_UTILS_LOG(kFunction,
                       "The %s of server %s (component %d) cannot be written to its server file so that it reads "
                       "back. Not written\n",
                       field, record.name.c_str(), static_cast<int>(component));
  TELMO_SERVER_LDBLK(kFacilityManagement, 15001, status);
  return false;
}

}  // namespace telmo::config
