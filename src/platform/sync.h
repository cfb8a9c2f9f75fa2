// Threads and synchronisation with Windows semantics.
//  - The Windows mutex is re-entrant for its owner (a recursive timed mutex);
//    releasing it from a thread that does not own it fails with ERROR_NOT_OWNER.
//  - The critical section is a recursive mutex.
//  - Events are manual- or auto-reset, signalled or not.
//  - A thread handle tells whether its thread still runs (GetExitCodeThread
//    gives STILL_ACTIVE until the thread function has returned).
// Handles are move-only owners; CloseHandle resets one (and fails with
// ERROR_INVALID_HANDLE on an empty one). Waiting on an empty handle fails
// (WAIT_FAILED, last error ERROR_INVALID_HANDLE).
#pragma once

#include <functional>
#include <memory>

#include "platform/win_types.h"

namespace telmo::platform::detail {
struct MutexObject;
struct EventObject;
struct ThreadObject;
}  // namespace telmo::platform::detail

class MutexHandle {
 public:
  MutexHandle() = default;
  explicit MutexHandle(std::shared_ptr<telmo::platform::detail::MutexObject> o) : obj_(std::move(o)) {}
  [[nodiscard]] bool valid() const noexcept { return obj_ != nullptr; }
  explicit operator bool() const noexcept { return valid(); }
  [[nodiscard]] telmo::platform::detail::MutexObject* get() const noexcept { return obj_.get(); }
  void reset() noexcept { obj_.reset(); }

 private:
  std::shared_ptr<telmo::platform::detail::MutexObject> obj_;
};

class EventHandle {
 public:
  EventHandle() = default;
  explicit EventHandle(std::shared_ptr<telmo::platform::detail::EventObject> o) : obj_(std::move(o)) {}
  [[nodiscard]] bool valid() const noexcept { return obj_ != nullptr; }
  explicit operator bool() const noexcept { return valid(); }
  [[nodiscard]] telmo::platform::detail::EventObject* get() const noexcept { return obj_.get(); }
  void reset() noexcept { obj_.reset(); }

 private:
  std::shared_ptr<telmo::platform::detail::EventObject> obj_;
};

/// Owns a started thread. Dropping the last handle of a thread that still runs
/// detaches it (the thread goes on, as a Windows thread does after CloseHandle).
class ThreadHandle {
 public:
  ThreadHandle() = default;
  explicit ThreadHandle(std::shared_ptr<telmo::platform::detail::ThreadObject> o) : obj_(std::move(o)) {}
  [[nodiscard]] bool valid() const noexcept { return obj_ != nullptr; }
  explicit operator bool() const noexcept { return valid(); }
  [[nodiscard]] telmo::platform::detail::ThreadObject* get() const noexcept { return obj_.get(); }
  void reset() noexcept { obj_.reset(); }

 private:
  std::shared_ptr<telmo::platform::detail::ThreadObject> obj_;
};

/// Unnamed mutex (the name, when given, is ignored: nothing here is shared
/// between processes). Empty handle on failure, with the last error set.
MutexHandle CreateMutexA(void* security, BOOL initial_owner, const char* name);
BOOL ReleaseMutex(const MutexHandle& mutex);

EventHandle CreateEventA(void* security, BOOL manual_reset, BOOL initial_state, const char* name);
BOOL SetEvent(const EventHandle& event);
BOOL ResetEvent(const EventHandle& event);

/// Waits for a mutex (acquires it), an event (signalled) or a thread (ended).
/// `milliseconds` may be INFINITE.
DWORD WaitForSingleObject(const MutexHandle& mutex, DWORD milliseconds);
DWORD WaitForSingleObject(const EventHandle& event, DWORD milliseconds);
DWORD WaitForSingleObject(const ThreadHandle& thread, DWORD milliseconds);

BOOL CloseHandle(MutexHandle& handle);
BOOL CloseHandle(EventHandle& handle);
BOOL CloseHandle(ThreadHandle& handle);

/// _beginthreadex: starts `body` on a new thread at once; its result becomes
/// the thread's exit code. Empty handle when the thread cannot be created.
ThreadHandle _beginthreadex(std::function<unsigned()> body);
BOOL GetExitCodeThread(const ThreadHandle& thread, DWORD* exit_code);

/// Critical section: recursive, no spin (the spin count is accepted and ignored).
class CRITICAL_SECTION {
 public:
  CRITICAL_SECTION();
  ~CRITICAL_SECTION();
  CRITICAL_SECTION(const CRITICAL_SECTION&) = delete;
  CRITICAL_SECTION& operator=(const CRITICAL_SECTION&) = delete;
  struct Impl;
  [[nodiscard]] Impl& impl() noexcept { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};
BOOL InitializeCriticalSectionAndSpinCount(CRITICAL_SECTION* section, DWORD spin_count);
void EnterCriticalSection(CRITICAL_SECTION* section);
void LeaveCriticalSection(CRITICAL_SECTION* section);
void DeleteCriticalSection(CRITICAL_SECTION* section);

void Sleep(DWORD milliseconds);
/// Milliseconds since an arbitrary start, wrapping at 2^32 (unsigned differences).
DWORD GetTickCount();

namespace telmo::platform {
/// Holds a critical section for a scope.
class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CRITICAL_SECTION& section) : section_(section) { EnterCriticalSection(&section_); }
  ~CriticalSectionLock() { LeaveCriticalSection(&section_); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CRITICAL_SECTION& section_;
};
}  // namespace telmo::platform
