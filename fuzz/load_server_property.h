// What must hold for any bytes given to the server file loader: it either
// fails with an error in the status block, or yields a record with no hole
// among its components whose written file loads again with the same fields
// and components (their arguments included, so the S&F processes keep their
// options) and writes back the very same text (so a file is stable across
// start-up and shut-down). Shared by the fuzz target and the corpus
// regression test.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "config/components.h"
#include "config/server_file.h"
#include "config/watchdog_table.h"
#include "util/text.h"

namespace telmo::fuzz {

inline std::unique_ptr<ServerRecord> LoadBytes(std::string_view bytes, StatusBlock& status, WatchdogTable& watchdogs) {
  TELMO_SERVER_INITBLK(status);
  config::LineReader reader{std::string(bytes), "fuzz.csd"};
  return config::ParseServerFile(reader, status, watchdogs);
}

/// True when a timeout of line 4 is "Default" in another letter case: the
/// S&F arguments take such a text as a value (timeouts are compared with
/// "Default" exactly), while the writer takes it for the default and leaves
/// the field empty. The first write settles such a file: the S&F arguments
/// lose the text once, and every later load and write keeps them.
inline bool SpellsDefaultAnotherWay(const ServerRecord& record) {
  if (!record.snf) return false;
  const SnfParameters& snf = *record.snf;
  for (const auto* timeout : {&snf.scanner_timeout, &snf.store_timeout, &snf.forward_timeout}) {
    if (timeout->view() != "Default" && EqualsIgnoreCase(timeout->view(), "Default")) return true;
  }
  return false;
}

/// Empty when the two records hold the same fields and components, else what
/// differs.
inline std::string SameRecord(const ServerRecord& a, const ServerRecord& b) {
  if (a.name != b.name) return "name";
  if (a.dlgp_service != b.dlgp_service || a.hist_service != b.hist_service) return "services";
  if (a.startup_status != b.startup_status || a.health_check != b.health_check || a.snf_usage != b.snf_usage) {
    return "numbers";
  }
  if (a.username != b.username || a.password != b.password || a.store_file_path != b.store_file_path) return "texts";
  if (a.component_count() != b.component_count()) return "component count";
  for (int i = 0; i < a.component_count(); ++i) {
    const auto& x = *a.components[static_cast<std::size_t>(i)];
    const auto& y = *b.components[static_cast<std::size_t>(i)];
    if (x.generated != y.generated || x.name != y.name || x.tcp_service != y.tcp_service ||
        x.executable != y.executable) {
      return "component " + std::to_string(i);
    }
    // Generated components too: the S&F processes of a server get the same
    // options after a write and a load as before.
    if (x.arguments != y.arguments && !(x.generated != 0 && SpellsDefaultAnotherWay(a))) return "arguments of component " + std::to_string(i);
  }
  return {};
}

/// Empty when the property holds, else what broke.
inline std::string CheckLoadServer(std::string_view bytes) {
  WatchdogTable watchdogs;
  StatusBlock status;
  const auto first = LoadBytes(bytes, status, watchdogs);
  if (!first) return status.failed() ? std::string() : "no record and no error";
  if (status.failed()) return "a record and an error";
  if (first->component_count() < 1) return "no component";
  for (const auto& c : first->components) {
    if (!c) return "a null component";
  }
  if (first->first_component()->generated != 0) return "the first component is generated";
  if (!config::IsSafeServiceFileName(first->dlgp_service.view())) return "a service that cannot name a file";

  const std::string once = config::BuildServerFile(*first);
  if (!config::FitsLineReader(once)) return {};  // the writer refuses such a record
  const auto second = LoadBytes(once, status, watchdogs);
  if (!second) return "the written file does not load: " + status.describe();
  if (const std::string diff = SameRecord(*first, *second); !diff.empty()) return "record changed: " + diff;
  if (config::BuildServerFile(*second) != once) return "the written file, loaded, writes another file";
  return {};
}

}  // namespace telmo::fuzz
