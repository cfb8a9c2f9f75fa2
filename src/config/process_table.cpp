#include "config/process_table.h"


void ProcessTable::Init() {
  entries_.clear();
  entries_.resize(kGrowth);
  highest_ = -1;
}

int ProcessTable::Find(const ServerRecord* server, const ComponentRecord* component) const noexcept {
  for (int i = 0; i <= highest_ && i < capacity(); ++i) {
    const auto& e = entries_[static_cast<std::size_t>(i)];
    if (e.server == server && e.component == component && !e.is_free()) return i;
  }
  return -1;
}

ProcessTable::Registered ProcessTable::Register(ServerRecord& server, ComponentRecord& component,
                                                ProcessHandle process) {
  int limit = highest_ + 1;
  if (limit >= capacity()) limit = capacity() - 1;
  int free_index = -1;
  int match = -1;
  for (int i = 0; i <= limit; ++i) {
    const auto& e = entries_[static_cast<std::size_t>(i)];
    if (e.server == &server && e.component == &component) {
      match = i;
      break;
    }
    if (free_index < 0 && e.is_free()) free_index = i;
  }

  Registered result;
  if (match >= 0) {
    auto& e = entries_[static_cast<std::size_t>(match)];
    if (e.process) result.replaced = std::move(e.process);
    e.process = std::move(process);
    e.recorded = std::chrono::steady_clock::now();
    result.index = match;
    return result;
  }
  if (free_index < 0) {
    free_index = capacity();
    entries_.resize(entries_.size() + kGrowth);
  }
  auto& e = entries_[static_cast<std::size_t>(free_index)];
  e.server = &server;
  e.component = &component;
  e.process = std::move(process);
  e.recorded = std::chrono::steady_clock::now();
  if (free_index > highest_) highest_ = free_index;
  result.index = free_index;
  return result;
}

int ProcessTable::ReleaseEntry(ServerRecord& server, ComponentRecord& component) {
  const int index = TELMO_MGMT_KillComponent(*this, server, component);
  if (index != -1) {
    auto& e = entries_[static_cast<std::size_t>(index)];
    e.server = nullptr;
    e.component = nullptr;
    e.process.reset();
    if (index == highest_) --highest_;
  }
  return index;
}
