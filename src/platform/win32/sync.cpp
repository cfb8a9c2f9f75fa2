// Threads and synchronisation: the system's own mutex (re-entrant, owned,
// abandoned when its owner ends), events, threads and critical sections.
#include <memory>
#include <utility>

#include "platform/sync.h"
#include "platform/win32/native.h"
#include "platform/win_error.h"

namespace telmo::platform::detail {

struct MutexObject {
  win32::KernelHandle handle;
};
struct EventObject {
  win32::KernelHandle handle;
};
struct ThreadObject {
  win32::KernelHandle handle;
};

}  // namespace telmo::platform::detail

struct CRITICAL_SECTION::Impl {
  telmo::platform::win32::CriticalSectionStorage storage{};
};

namespace {

namespace win32 = telmo::platform::win32;
using telmo::platform::detail::EventObject;
using telmo::platform::detail::MutexObject;
using telmo::platform::detail::ThreadObject;

template <typename Handle>
DWORD WaitOn(const Handle& handle, DWORD milliseconds) {
  if (!handle) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return win32::Wait(handle.get()->handle.get(), milliseconds);
}

template <typename Handle>
BOOL CloseAny(Handle& handle) {
  if (!handle) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  handle.reset();
  return TRUE;
}

unsigned ThreadEntry(void* arg) {
  std::unique_ptr<std::function<unsigned()>> body(static_cast<std::function<unsigned()>*>(arg));
  return (*body)();
}

}  // namespace

MutexHandle CreateMutexA(void* /*security*/, BOOL initial_owner, const char* /*name*/) {
  // Unnamed whatever the caller says: nothing here is shared between processes.
  win32::KernelHandle h(win32::NewMutex(initial_owner != FALSE));
  if (!h) return {};
  auto object = std::make_shared<MutexObject>();
  object->handle = std::move(h);
  return MutexHandle(std::move(object));
}

BOOL ReleaseMutex(const MutexHandle& mutex) {
  if (!mutex) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return win32::ReleaseMutexHandle(mutex.get()->handle.get()) ? TRUE : FALSE;
}

EventHandle CreateEventA(void* /*security*/, BOOL manual_reset, BOOL initial_state, const char* /*name*/) {
  win32::KernelHandle h(win32::NewEvent(manual_reset != FALSE, initial_state != FALSE));
  if (!h) return {};
  auto object = std::make_shared<EventObject>();
  object->handle = std::move(h);
  return EventHandle(std::move(object));
}

BOOL SetEvent(const EventHandle& event) {
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return win32::SetEventHandle(event.get()->handle.get()) ? TRUE : FALSE;
}

BOOL ResetEvent(const EventHandle& event) {
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return win32::ResetEventHandle(event.get()->handle.get()) ? TRUE : FALSE;
}

DWORD WaitForSingleObject(const MutexHandle& mutex, DWORD milliseconds) { return WaitOn(mutex, milliseconds); }
DWORD WaitForSingleObject(const EventHandle& event, DWORD milliseconds) { return WaitOn(event, milliseconds); }
DWORD WaitForSingleObject(const ThreadHandle& thread, DWORD milliseconds) { return WaitOn(thread, milliseconds); }

BOOL CloseHandle(MutexHandle& handle) { return CloseAny(handle); }
BOOL CloseHandle(EventHandle& handle) { return CloseAny(handle); }
BOOL CloseHandle(ThreadHandle& handle) { return CloseAny(handle); }

ThreadHandle _beginthreadex(std::function<unsigned()> body) {
  // The new thread owns the function object from its first instruction; it is
  // freed here only when the thread could not be created.
  auto owned = std::make_unique<std::function<unsigned()>>(std::move(body));
  win32::KernelHandle h(win32::BeginThread(&ThreadEntry, owned.get()));
  if (!h) return {};
  static_cast<void>(owned.release());
  auto object = std::make_shared<ThreadObject>();
  object->handle = std::move(h);
  return ThreadHandle(std::move(object));
}

BOOL GetExitCodeThread(const ThreadHandle& thread, DWORD* exit_code) {
  if (!thread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return win32::ExitCodeOf(thread.get()->handle.get(), exit_code, true) ? TRUE : FALSE;
}

CRITICAL_SECTION::CRITICAL_SECTION() : impl_(std::make_unique<Impl>()) {
  telmo::platform::win32::InitCriticalSection(impl_->storage);
}
CRITICAL_SECTION::~CRITICAL_SECTION() { telmo::platform::win32::DeleteCriticalSectionNative(impl_->storage); }

BOOL InitializeCriticalSectionAndSpinCount(CRITICAL_SECTION* section, DWORD /*spin_count*/) {
  if (section == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;  // the object was made ready by its constructor
}
void EnterCriticalSection(CRITICAL_SECTION* section) { win32::EnterCriticalSectionNative(section->impl().storage); }
void LeaveCriticalSection(CRITICAL_SECTION* section) { win32::LeaveCriticalSectionNative(section->impl().storage); }
void DeleteCriticalSection(CRITICAL_SECTION* /*section*/) {
  // The object's destructor deletes it; deleting twice would be undefined.
}

void Sleep(DWORD milliseconds) { win32::SleepMs(milliseconds); }
DWORD GetTickCount() { return win32::TickCount(); }
