// The server table: the servers configured on the node, in table order, with
// the server table mutex that guards its structure and its cursor.
//
// The table owns its records (unique_ptr); records never move, so a pointer
// returned by TELMO_MGMT_FindServer or NextServer stays valid after the mutex
// is released, until the record is unlinked and freed (removal, modification,
// shut-down). Duplicate keys are allowed: lookups return the first in table
// order.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include "config/process_table.h"
#include "config/records.h"
#include "external/telmo_status.h"
#include "platform/sync.h"

/// The server table mutex: an unnamed Windows mutex, re-entrant for its owner.
/// Each operation loads its error code into the caller's status block and
/// returns false on failure.
class ServerTableMutex {
 public:
  /// CreateMutexA(no security, not owned, no name); failure: (14, 14010).
  bool Create(StatusBlock& status);
  /// Initialises `status`, then waits; a negative `timeout` (milliseconds)
  /// waits without limit. Only a failed wait counts as failure (14, 14014):
  /// a time-out or an abandoned mutex counts as acquired.
  bool Acquire(int timeout, StatusBlock& status);
  /// ReleaseMutex; failure (not the owner, or no mutex): (14, 14016).
  bool Release(StatusBlock& status);
  /// CloseHandle; failure (no mutex): (14, 14012).
  bool Close(StatusBlock& status);
  [[nodiscard]] bool created() const noexcept { return handle_.valid(); }

 private:
  MutexHandle handle_;
};

class ServerTable {
 public:
  ServerTable() = default;
  ServerTable(const ServerTable&) = delete;
  ServerTable& operator=(const ServerTable&) = delete;

  ServerTableMutex mutex;

  /// Links `record` behind the last one. No check for a duplicate key.
  void Append(std::unique_ptr<ServerRecord> record);
  /// The server iterator: the first record when the cursor is before the
  /// first, else the one after the cursor's; stores the result as the cursor.
  /// After the last record it returns null and the cursor is before the first
  /// again.
  ServerRecord* NextServer() noexcept;
  /// Puts the cursor before the first record (start of a walk).
  void ResetCursor() noexcept { cursor_ = kBeforeFirst; }
  /// The record last returned by NextServer, null before the first.
  [[nodiscard]] ServerRecord* cursor() const noexcept;

  /// Takes `record` (this very record, not another one with the same key)
  /// out of the table and hands it to the caller, who frees it with
  /// FreeServerRecord. Null when the record is not in the table. A cursor on
  /// the record moves back, so that the walk goes on with the record after it.
  std::unique_ptr<ServerRecord> Unlink(const ServerRecord& record);
  /// Takes every record out, in table order; the table is empty afterwards.
  std::vector<std::unique_ptr<ServerRecord>> TakeAll();

  [[nodiscard]] ServerRecord* head() const noexcept { return records_.empty() ? nullptr : records_.front().get(); }
  [[nodiscard]] bool empty() const noexcept { return records_.empty(); }
  [[nodiscard]] std::size_t size() const noexcept { return records_.size(); }
  [[nodiscard]] const std::vector<std::unique_ptr<ServerRecord>>& records() const noexcept { return records_; }

 private:
  static constexpr std::ptrdiff_t kBeforeFirst = -1;
  std::vector<std::unique_ptr<ServerRecord>> records_;
  std::ptrdiff_t cursor_ = kBeforeFirst;
};

/// Holds the server table mutex for a scope (acquired without limit).
class ServerTableLock {
 public:
  /// Acquires; on failure `status` holds (14, 14014) and owns() is false.
  ServerTableLock(ServerTable& table, StatusBlock& status) : table_(table) { owns_ = table_.mutex.Acquire(-1, status); }
  ~ServerTableLock() {
    StatusBlock scratch;
    if (owns_) table_.mutex.Release(scratch);
  }
  ServerTableLock(const ServerTableLock&) = delete;
  ServerTableLock& operator=(const ServerTableLock&) = delete;

  [[nodiscard]] bool owns() const noexcept { return owns_; }
  /// Releases now, loading a release failure into `status`.
  bool Unlock(StatusBlock& status) {
    if (!owns_) return true;
    owns_ = false;
    return table_.mutex.Release(status);
  }

 private:
  ServerTable& table_;
  bool owns_ = false;
};

/// Logs a failure to take the server table mutex as the callers do:
/// "Error getting mutex.  Aborted..\n" to the management log under
/// `function`, then the status block under the own service name.
void LogMutexFailure(const char* function, const StatusBlock& status);

/// The record whose `dlgp_service` equals `service` ignoring case, or null.
/// Both must be 1 to 31 characters long: an empty service or one of 32
/// characters or more never matches (pass the raw bytes of a 32-byte wire
/// field up to its NUL, at most 32). Takes the table mutex for the walk; on
/// mutex failure logs and returns null. Leaves the cursor on the match.
ServerRecord* TELMO_MGMT_FindServer(std::string_view service, ServerTable& table);
inline ServerRecord* TELMO_MGMT_FindServer(const telmo::Text32& service, ServerTable& table) {
  return TELMO_MGMT_FindServer(service.view(), table);
}

namespace telmo::config {

/// The component iterator: adds 1 to `component_cursor` and returns that
/// component; at or past the end sets the cursor to 0 (not -1) and returns
/// null. Null entries are stepped over. A walk begins with the cursor at -1.
ComponentRecord* NextComponent(ServerRecord& server) noexcept;

/// Releases the process table entry of every component in array order (a
/// process that still runs is forcibly terminated, with its log text), then
/// frees the record.
void FreeServerRecord(ProcessTable& processes, std::unique_ptr<ServerRecord> record);

/// Shut-down: under the table mutex, writes every record to its server file
/// in table order, then frees every record; releases the mutex. Writer errors
/// accumulate in `status`; a mutex failure is logged and nothing is done.
void SaveAndFreeAll(ServerTable& table, ProcessTable& processes, StatusBlock& status);

/// When `desired_state` is 0, ends each component's recorded process through
/// the process table (TELMO_MGMT_KillComponent) while `status` holds no error.
void StopUnwantedComponents(ProcessTable& processes, ServerRecord& server, StatusBlock& status);

}  // namespace telmo::config
