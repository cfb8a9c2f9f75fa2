#include "config/server_table.h"

#include <algorithm>

#include "config/server_file.h"
#include "external/telmo_log.h"
#include "config/manager_state.h"
#include "util/text.h"

bool ServerTableMutex::Create(StatusBlock& status) {
  handle_ = CreateMutexA(nullptr, FALSE, nullptr);
  if (!handle_) {
    TELMO_SERVER_LDBLK(kFacilityMutex, 14010, status);
    return false;
  }
  return true;
}

bool ServerTableMutex::Acquire(int timeout, StatusBlock& status) {
  TELMO_SERVER_INITBLK(status);
  const DWORD wait = timeout < 0 ? INFINITE : static_cast<DWORD>(timeout);
  if (WaitForSingleObject(handle_, wait) == WAIT_FAILED) {
    TELMO_SERVER_LDBLK(kFacilityMutex, 14014, status);
    return false;
  }
  return true;
}

bool ServerTableMutex::Release(StatusBlock& status) {
  if (!ReleaseMutex(handle_)) {
    TELMO_SERVER_LDBLK(kFacilityMutex, 14016, status);
    return false;
  }
  return true;
}

bool ServerTableMutex::Close(StatusBlock& status) {
  if (!CloseHandle(handle_)) {
    TELMO_SERVER_LDBLK(kFacilityMutex, 14012, status);
    return false;
  }
  return true;
}

void ServerTable::Append(std::unique_ptr<ServerRecord> record) {
  if (record) records_.push_back(std::move(record));
}

ServerRecord* ServerTable::NextServer() noexcept {
  const std::ptrdiff_t next = cursor_ + 1;
  if (next >= static_cast<std::ptrdiff_t>(records_.size())) {
    cursor_ = kBeforeFirst;
    return nullptr;
  }
  cursor_ = next;
  return records_[static_cast<std::size_t>(next)].get();
}

ServerRecord* ServerTable::cursor() const noexcept {
  if (cursor_ < 0 || cursor_ >= static_cast<std::ptrdiff_t>(records_.size())) return nullptr;
  return records_[static_cast<std::size_t>(cursor_)].get();
}

std::unique_ptr<ServerRecord> ServerTable::Unlink(const ServerRecord& record) {
  const auto it = std::find_if(records_.begin(), records_.end(), [&](const auto& r) { return r.get() == &record; });
  if (it == records_.end()) return nullptr;
  const std::ptrdiff_t index = it - records_.begin();
  std::unique_ptr<ServerRecord> taken = std::move(*it);
  records_.erase(it);
  // A cursor on or after the removed record moves back by one, so that the
  // next step gives the record that followed the removed one.
  if (cursor_ >= index) --cursor_;
  return taken;
}

std::vector<std::unique_ptr<ServerRecord>> ServerTable::TakeAll() {
  std::vector<std::unique_ptr<ServerRecord>> all = std::move(records_);
  records_.clear();
  cursor_ = kBeforeFirst;
  return all;
}

void LogMutexFailure(const char* function, const StatusBlock& status) {
  TELMO_MGMT_LogMessage("telmo_manager", function, __LINE__, "Error getting mutex.  Aborted..\n");
  StatusBlock scratch;
  TELMO_SERVER_LOGBLK(kOwnServiceName, status, scratch);
}

ServerRecord* TELMO_MGMT_FindServer(std::string_view service, ServerTable& table) {
  StatusBlock status;
  TELMO_SERVER_INITBLK(status);
  if (!table.mutex.Acquire(-1, status)) {
    LogMutexFailure("TELMO_MGMT_FindServer", status);
    return nullptr;
  }
  ServerRecord* match = nullptr;
  if (!service.empty() && service.size() <= telmo::Text32::kMaxLength) {
    table.ResetCursor();
    while (ServerRecord* record = table.NextServer()) {
      const std::string_view key = record->dlgp_service.view();
      if (!key.empty() && telmo::EqualsIgnoreCase(key, service)) {
        match = record;
        break;
      }
    }
  }
  table.mutex.Release(status);
  return match;
}

namespace telmo::config {

ComponentRecord* NextComponent(ServerRecord& server) noexcept {
  for (;;) {
    ++server.component_cursor;
    if (server.component_cursor < 0) server.component_cursor = 0;
    if (server.component_cursor >= server.component_count()) {
      server.component_cursor = 0;
      return nullptr;
    }
    if (auto* c = server.components[static_cast<std::size_t>(server.component_cursor)].get()) return c;
  }
}

void FreeServerRecord(ProcessTable& processes, std::unique_ptr<ServerRecord> record) {
  if (!record) return;
  for (auto& component : record->components) {
    if (!component) continue;
    processes.ReleaseEntry(*record, *component);
    component.reset();
  }
}

void SaveAndFreeAll(ServerTable& table, ProcessTable& processes, StatusBlock& status) {
  if (!table.mutex.Acquire(-1, status)) {
    LogMutexFailure("TELMO_MGMT_SaveAndFreeAll", status);
    return;
  }
  for (const auto& record : table.records()) WriteServerFile(*record, status);
  for (auto& record : table.TakeAll()) FreeServerRecord(processes, std::move(record));
  table.mutex.Release(status);
}

void StopUnwantedComponents(ProcessTable& processes, ServerRecord& server, StatusBlock& status) {
  if (server.desired_state != 0) return;
  for (auto& component : server.components) {
    if (status.failed()) break;
    if (component) TELMO_MGMT_KillComponent(processes, server, *component);
  }
}

}  // namespace telmo::config
