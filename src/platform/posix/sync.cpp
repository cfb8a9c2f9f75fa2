// Threads and synchronisation on POSIX.
//
// The Windows mutex is built from a plain mutex and a condition variable rather
// than std::recursive_timed_mutex: it has to know its owner (ReleaseMutex by
// another thread fails with ERROR_NOT_OWNER, which a std:: mutex would treat as
// undefined behaviour) and it has to notice that its owner ended without
// releasing it (WAIT_ABANDONED). Each thread keeps a thread_local list of the
// mutexes it holds; the list's destructor runs when the thread ends and marks
// what is still held as abandoned.

#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/sync.h"
#include "platform/win_error.h"

namespace telmo::platform::detail {

using Clock = std::chrono::steady_clock;

struct MutexObject : std::enable_shared_from_this<MutexObject> {
  std::mutex m;
  std::condition_variable cv;
  std::thread::id owner;  ///< default id: nobody
  unsigned count = 0;
  bool abandoned = false;
};

struct EventObject {
  std::mutex m;
  std::condition_variable cv;
  bool manual_reset = false;
  bool signalled = false;
};

/// What the running thread and its handles share; it outlives both.
struct ThreadState {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  DWORD exit_code = STILL_ACTIVE;
};

struct ThreadObject {
  std::thread thread;
  std::shared_ptr<ThreadState> state;

  ThreadObject() = default;
  ThreadObject(const ThreadObject&) = delete;
  ThreadObject& operator=(const ThreadObject&) = delete;
  // The last handle is gone. A thread that has finished is joined (it is at
  // most leaving its function); one that still runs goes on detached, as a
  // Windows thread does after its last CloseHandle. A thread dropping its own
  // last handle cannot join itself, so it detaches too.
  ~ThreadObject() {
    if (!thread.joinable()) return;
    bool done = false;
    {
      std::lock_guard lock(state->m);
      done = state->done;
    }
    if (done && thread.get_id() != std::this_thread::get_id()) {
      thread.join();
    } else {
      thread.detach();
    }
  }
};

namespace {

// Mutexes the calling thread owns; what is still here when the thread ends is
// abandoned.
class OwnedMutexes {
 public:
  OwnedMutexes() = default;
  OwnedMutexes(const OwnedMutexes&) = delete;
  OwnedMutexes& operator=(const OwnedMutexes&) = delete;
  ~OwnedMutexes() {
    const auto me = std::this_thread::get_id();
    for (auto& weak : held_) {
      auto mutex = weak.lock();
      if (!mutex) continue;
      {
        std::lock_guard lock(mutex->m);
        if (mutex->owner != me) continue;
        mutex->owner = std::thread::id();
        mutex->count = 0;
        mutex->abandoned = true;
      }
      mutex->cv.notify_one();
    }
  }
  void Add(MutexObject* mutex) { held_.push_back(mutex->weak_from_this()); }
  void Remove(MutexObject* mutex) {
    std::erase_if(held_, [mutex](const std::weak_ptr<MutexObject>& w) {
      auto p = w.lock();
      return !p || p.get() == mutex;
    });
  }

 private:
  std::vector<std::weak_ptr<MutexObject>> held_;
};

OwnedMutexes& Held() {
  thread_local OwnedMutexes held;
  return held;
}

/// Waits on `cv` until `ready()` or the time-out; true when ready.
template <typename Pred>
bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, DWORD milliseconds, Pred ready) {
  if (milliseconds == INFINITE) {
    cv.wait(lock, ready);
    return true;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  return cv.wait_until(lock, deadline, ready);
}

DWORD Fail(DWORD error) {
  SetLastError(error);
  return WAIT_FAILED;
}

}  // namespace
}  // namespace telmo::platform::detail

using telmo::platform::detail::EventObject;
using telmo::platform::detail::MutexObject;
using telmo::platform::detail::ThreadObject;
using telmo::platform::detail::ThreadState;

MutexHandle CreateMutexA(void* /*security*/, BOOL initial_owner, const char* /*name*/) {
  auto mutex = std::make_shared<MutexObject>();
  if (initial_owner) {
    mutex->owner = std::this_thread::get_id();
    mutex->count = 1;
    telmo::platform::detail::Held().Add(mutex.get());
  }
  SetLastError(ERROR_SUCCESS);
  return MutexHandle(std::move(mutex));
}

BOOL ReleaseMutex(const MutexHandle& handle) {
  MutexObject* mutex = handle.get();
  if (mutex == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  bool freed = false;
  {
    std::lock_guard lock(mutex->m);
    if (mutex->count == 0 || mutex->owner != std::this_thread::get_id()) {
      SetLastError(ERROR_NOT_OWNER);
      return FALSE;
    }
    if (--mutex->count == 0) {
      mutex->owner = std::thread::id();
      freed = true;
    }
  }
  if (freed) {
    telmo::platform::detail::Held().Remove(mutex);
    mutex->cv.notify_one();
  }
  return TRUE;
}

EventHandle CreateEventA(void* /*security*/, BOOL manual_reset, BOOL initial_state, const char* /*name*/) {
  auto event = std::make_shared<EventObject>();
  event->manual_reset = manual_reset != FALSE;
  event->signalled = initial_state != FALSE;
  SetLastError(ERROR_SUCCESS);
  return EventHandle(std::move(event));
}

BOOL SetEvent(const EventHandle& handle) {
  EventObject* event = handle.get();
  if (event == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  {
    std::lock_guard lock(event->m);
    event->signalled = true;
  }
  if (event->manual_reset) {
    event->cv.notify_all();
  } else {
    event->cv.notify_one();
  }
  return TRUE;
}

BOOL ResetEvent(const EventHandle& handle) {
  EventObject* event = handle.get();
  if (event == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard lock(event->m);
  event->signalled = false;
  return TRUE;
}

DWORD WaitForSingleObject(const MutexHandle& handle, DWORD milliseconds) {
  MutexObject* mutex = handle.get();
  if (mutex == nullptr) return telmo::platform::detail::Fail(ERROR_INVALID_HANDLE);
  const auto me = std::this_thread::get_id();
  std::unique_lock lock(mutex->m);
  if (mutex->count > 0 && mutex->owner == me) {
    ++mutex->count;
    return WAIT_OBJECT_0;
  }
  if (!telmo::platform::detail::WaitFor(mutex->cv, lock, milliseconds, [&] { return mutex->count == 0; })) {
    return WAIT_TIMEOUT;
  }
  mutex->owner = me;
  mutex->count = 1;
  const bool abandoned = std::exchange(mutex->abandoned, false);
  lock.unlock();
  telmo::platform::detail::Held().Add(mutex);
  return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

DWORD WaitForSingleObject(const EventHandle& handle, DWORD milliseconds) {
  EventObject* event = handle.get();
  if (event == nullptr) return telmo::platform::detail::Fail(ERROR_INVALID_HANDLE);
  std::unique_lock lock(event->m);
  if (!telmo::platform::detail::WaitFor(event->cv, lock, milliseconds, [&] { return event->signalled; })) {
    return WAIT_TIMEOUT;
  }
  if (!event->manual_reset) event->signalled = false;
  return WAIT_OBJECT_0;
}

DWORD WaitForSingleObject(const ThreadHandle& handle, DWORD milliseconds) {
  ThreadObject* thread = handle.get();
  if (thread == nullptr) return telmo::platform::detail::Fail(ERROR_INVALID_HANDLE);
  ThreadState& state = *thread->state;
  std::unique_lock lock(state.m);
  if (!telmo::platform::detail::WaitFor(state.cv, lock, milliseconds, [&] { return state.done; })) {
    return WAIT_TIMEOUT;
  }
  return WAIT_OBJECT_0;
}

namespace {
template <typename Handle>
BOOL CloseAny(Handle& handle) {
  if (!handle.valid()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  handle.reset();
  return TRUE;
}
}  // namespace

BOOL CloseHandle(MutexHandle& handle) { return CloseAny(handle); }
BOOL CloseHandle(EventHandle& handle) { return CloseAny(handle); }
BOOL CloseHandle(ThreadHandle& handle) { return CloseAny(handle); }

ThreadHandle _beginthreadex(std::function<unsigned()> body) {
  if (!body) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return {};
  }
  auto object = std::make_shared<ThreadObject>();
  object->state = std::make_shared<ThreadState>();
  try {
    // The thread holds the shared state only, never its own ThreadObject, so
    // dropping every handle never leaves the thread owning itself.
    object->thread = std::thread([state = object->state, body = std::move(body)]() mutable {
      const unsigned code = body();
      body = nullptr;  // release what the body captured before waiters go on
      {
        std::lock_guard lock(state->m);
        state->exit_code = code;
        state->done = true;
      }
      state->cv.notify_all();
    });
  } catch (const std::system_error& e) {
    SetLastError(telmo::platform::Win32FromErrno(e.code().value()));
    return {};
  }
  return ThreadHandle(std::move(object));
}

BOOL GetExitCodeThread(const ThreadHandle& handle, DWORD* exit_code) {
  ThreadObject* thread = handle.get();
  if (thread == nullptr || exit_code == nullptr) {
    SetLastError(thread == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard lock(thread->state->m);
  *exit_code = thread->state->done ? thread->state->exit_code : STILL_ACTIVE;
  return TRUE;
}

struct CRITICAL_SECTION::Impl {
  std::recursive_mutex m;
};

CRITICAL_SECTION::CRITICAL_SECTION() : impl_(std::make_unique<Impl>()) {}
CRITICAL_SECTION::~CRITICAL_SECTION() = default;

// The section is usable from its construction to its destruction; Initialize
// and Delete are kept for the Windows call sequence and change nothing, so a
// section entered after Delete still excludes (Windows leaves that undefined).
BOOL InitializeCriticalSectionAndSpinCount(CRITICAL_SECTION* section, DWORD /*spin_count*/) {
  if (section == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}
void EnterCriticalSection(CRITICAL_SECTION* section) { section->impl().m.lock(); }
void LeaveCriticalSection(CRITICAL_SECTION* section) { section->impl().m.unlock(); }
void DeleteCriticalSection(CRITICAL_SECTION* /*section*/) {}

void Sleep(DWORD milliseconds) {
  if (milliseconds == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD GetTickCount() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  const auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<DWORD>(ms);
}
