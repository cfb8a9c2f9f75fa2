// The process table: every process the manager has started, by the pair
// (server, component) it belongs to, with the process handle it owns.
//
// Ownership: the table owns the process handles. Entries point at records of
// the server table without owning them; a record releases its entries
// (ReleaseEntry) before it is freed.
//
// Locking: `lock` (the process table lock, a critical section) guards the
// liveness checks that read and clear `process`, and the named-request
// handlers that touch the same entries. Register and ReleaseEntry take no lock
// of their own. Lock order: process table lock first, server table mutex second.
#pragma once

#include <chrono>

#include <span>

#include "config/records.h"
#include "platform/process.h"
#include "platform/sync.h"

struct ProcessEntry {
  ServerRecord* server = nullptr;
  ComponentRecord* component = nullptr;
  ProcessHandle process;  ///< empty is the "0" handle
  /// When `process` was recorded (its uptime, as GetProcessStatus reports it).
  std::chrono::steady_clock::time_point recorded{};

  [[nodiscard]] bool is_free() const noexcept { return server == nullptr && component == nullptr; }
};

class ProcessTable {
 public:
  static constexpr int kGrowth = 100;

  ProcessTable() { Init(); }
  ProcessTable(const ProcessTable&) = delete;
  ProcessTable& operator=(const ProcessTable&) = delete;

  /// 100 free entries, highest -1 (handles held before are closed).
  void Init();

  [[nodiscard]] int capacity() const noexcept { return static_cast<int>(entries_.size()); }
  /// Highest index in use, -1 when none.
  [[nodiscard]] int highest() const noexcept { return highest_; }
  [[nodiscard]] std::span<ProcessEntry> entries() noexcept { return entries_; }
  /// The entry at `index` (0 to capacity - 1).
  [[nodiscard]] ProcessEntry& entry(int index) { return entries_.at(static_cast<std::size_t>(index)); }

  /// Index (0 to highest) of the entry holding both pointers, or -1.
  [[nodiscard]] int Find(const ServerRecord* server, const ComponentRecord* component) const noexcept;

  struct Registered {
    int index = -1;
    /// The handle the entry held before, when it held one: the caller logs
    /// the replacement with its process id and lets it close.
    ProcessHandle replaced;
  };
  /// Stores `process` for the pair. Searches 0 to highest + 1 (at most
  /// capacity - 1) for the pair, remembering the first free entry; a new pair
  /// takes that free entry, or, when none was seen, the first of 100 entries
  /// added at the end. Raises `highest` to the index used.
  Registered Register(ServerRecord& server, ComponentRecord& component, ProcessHandle process);

  /// Ends the pair's process (TELMO_MGMT_KillComponent: terminated when it
  /// still runs, handle closed) and frees its entry; when the entry was the
  /// highest, `highest` goes down by one (only). Returns the index, -1 when
  /// the pair has no entry.
  int ReleaseEntry(ServerRecord& server, ComponentRecord& component);

  CRITICAL_SECTION lock;  ///< the process table lock

 private:
  int highest_ = -1;
  std::vector<ProcessEntry> entries_;
};

/// Kills one component: when the pair has a process table entry whose process
/// still runs, logs the forcible termination text and terminates it; closes
/// the handle and clears it in any case. The entry stays. Returns its index,
/// -1 (nothing logged) when the pair has no entry. Takes no lock.
int TELMO_MGMT_KillComponent(ProcessTable& table, ServerRecord& server, ComponentRecord& component);
