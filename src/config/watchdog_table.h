// The watchdog monitor table: one entry per server whose DLGP is
// asynchronous, holding the latest watchdog report of that server. The table
// is created with 10 free entries at the first registration and grows by 10;
// it lives until the process ends.
//
// Locking: every caller holds the server table mutex (loader, removal,
// watchdog check, the named requests inside their process table lock); the
// outcome of a watchdog request, on the sender's thread, takes the process
// table lock and then the mutex.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "config/records.h"
#include "external/telmo_status.h"
#include "external/telmo_watchdog.h"
#include "util/fixed_text.h"

struct WatchdogEntry {
  int used = 0;            ///< 1 when the entry belongs to a server
  telmo::Text32 service;   ///< the server's dlgp_service; compared ignoring case
  WatchdogReport report;
};

class WatchdogTable {
 public:
  static constexpr int kGrowth = 10;

  /// Creates the table when needed, then, for a server whose DLGP is
  /// asynchronous, takes its entry and fills the tag name and watchdog
  /// time-out from the DLGP's arguments (TELMO_MGMT_ParseOpcDaArguments).
  /// Errors: (4, 4055) no memory; (4, 4037) arguments that cannot be parsed.
  void Register(const ServerRecord& server, StatusBlock& status);
  /// The entry whose service equals `service` ignoring case, else a newly
  /// taken one (the first free entry, or the first of 10 added); -1 for an
  /// empty service, one of 32 characters or more, or when growing fails.
  int FindOrAdd(std::string_view service);
  /// The used entry whose service equals `service` ignoring case, or -1.
  [[nodiscard]] int Find(std::string_view service) const noexcept;
  /// Frees the entry of a server whose DLGP is asynchronous (server removal).
  void Clear(const ServerRecord& server);

  [[nodiscard]] bool exists() const noexcept { return !entries_.empty(); }
  [[nodiscard]] int capacity() const noexcept { return static_cast<int>(entries_.size()); }
  [[nodiscard]] WatchdogEntry& entry(int index) { return entries_.at(static_cast<std::size_t>(index)); }
  [[nodiscard]] std::span<WatchdogEntry> entries() noexcept { return entries_; }

 private:
  bool Grow();
  std::vector<WatchdogEntry> entries_;
};
