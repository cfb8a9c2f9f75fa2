#include "config/watchdog_table.h"

#include <new>
#include <string>

#include "config/components.h"
#include "config/server_file.h"
#include "external/telmo_config.h"
#include "external/telmo_log.h"
#include "util/text.h"

namespace {
constexpr const char* kSource = "telmo_manager_utils";

bool UsableService(std::string_view service) noexcept {
  return !service.empty() && service.size() <= telmo::Text32::kMaxLength;
}
}  // namespace

bool WatchdogTable::Grow() {
  try {
    entries_.resize(entries_.size() + kGrowth);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void WatchdogTable::Register(const ServerRecord& server, StatusBlock& status) {
  if (entries_.empty() && !Grow()) {
    TELMO_MGMT_LogMessage(kSource, "TELMO_MGMT_RegisterWatchdog", __LINE__,
                          "** FATAL, Error allocating memory for watchdog monitor database...\n");
    TELMO_SERVER_LDBLK(kFacilityWatchdog, 4055, status);
    return;
  }
  if (!telmo::config::IsAsyncDlgp(server)) return;

  const int index = FindOrAdd(server.dlgp_service.view());
  if (index < 0) {
    TELMO_MGMT_LogMessage(kSource, "TELMO_MGMT_RegisterWatchdog", __LINE__,
                          "** Error, Could not allocate memory for watchdog monitoring ...\n");
    TELMO_SERVER_LDBLK(kFacilityWatchdog, 4055, status);
    return;
  }

  std::string arguments;
  try {
    arguments = server.first_component()->arguments;
  } catch (const std::bad_alloc&) {
    TELMO_MGMT_LogMessage(
        kSource, "TELMO_MGMT_RegisterWatchdog", __LINE__,
        "** FATAL, Allocating temporary buffer to retrieving watchdog info from list of arguments...\n");
    TELMO_SERVER_LDBLK(kFacilityWatchdog, 4055, status);
    return;
  }

  OpcDaArguments parsed;
  if (!TELMO_MGMT_ParseOpcDaArguments(arguments, parsed, status)) {
    TELMO_MGMT_LogMessage(kSource, "TELMO_MGMT_RegisterWatchdog", __LINE__, "** Error, Parsing list of arguments...\n");
    TELMO_SERVER_LDBLK(kFacilityWatchdog, 4037, status);
    return;
  }
  WatchdogEntry& entry = entries_[static_cast<std::size_t>(index)];
  const std::string& tag = parsed.texts[OpcDaArguments::kWatchdogTag];
  if (!tag.empty()) entry.report.tag_name.assign(tag);  // at most 255 characters
  const std::string& timeout = parsed.texts[OpcDaArguments::kWatchdogTimeout];
  if (!timeout.empty()) entry.report.watchdog_timeout = telmo::LeadingNumber(timeout);
}

int WatchdogTable::FindOrAdd(std::string_view service) {
  if (!UsableService(service)) return -1;
  int free_index = -1;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const WatchdogEntry& e = entries_[i];
    if (!e.used) {
      if (free_index < 0) free_index = static_cast<int>(i);
      continue;
    }
    if (telmo::EqualsIgnoreCase(e.service.view(), service)) return static_cast<int>(i);
  }
  if (free_index < 0) {
    const int first_new = capacity();
    if (!Grow()) {
      const std::string name(service);
      TELMO_MGMT_LogMessage(kSource, "TELMO_MGMT_RegisterWatchdog", __LINE__,
                            "** FATAL, Error reallocating memory for server %s's watchdog monitor database.\n",
                            name.c_str());
      return -1;
    }
    free_index = first_new;
  }
  WatchdogEntry& e = entries_[static_cast<std::size_t>(free_index)];
  e = WatchdogEntry{};
  e.used = 1;
  e.service.assign(service);
  return free_index;
}

int WatchdogTable::Find(std::string_view service) const noexcept {
  if (!UsableService(service)) return -1;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const WatchdogEntry& e = entries_[i];
    if (e.used && telmo::EqualsIgnoreCase(e.service.view(), service)) return static_cast<int>(i);
  }
  return -1;
}

void WatchdogTable::Clear(const ServerRecord& server) {
  if (!exists() || server.dlgp_service.empty() || !telmo::config::IsAsyncDlgp(server)) return;
  const int index = Find(server.dlgp_service.view());
  if (index >= 0) entries_[static_cast<std::size_t>(index)] = WatchdogEntry{};
}
