#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "platform/sync.h"
#include "platform/win_error.h"

namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

/// Runs `body` on a thread and returns its exit code once it ended.
DWORD RunAndWait(std::function<unsigned()> body) {
  ThreadHandle t = _beginthreadex(std::move(body));
  EXPECT_TRUE(t.valid());
  EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  return code;
}

TEST(SyncMutex, OwnerMayReenterAndMustReleaseAsOftenAsItAcquired) {
  MutexHandle m = CreateMutexA(nullptr, FALSE, nullptr);
  ASSERT_TRUE(m.valid());
  ASSERT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0);
  ASSERT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);

  // Held twice: one release still leaves it held against other threads.
  ASSERT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(RunAndWait([&] { return WaitForSingleObject(m, 50); }), WAIT_TIMEOUT);
  ASSERT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(RunAndWait([&] {
              const DWORD r = WaitForSingleObject(m, 1000);
              ReleaseMutex(m);
              return r;
            }),
            WAIT_OBJECT_0);

  // One release too many.
  SetLastError(0);
  EXPECT_FALSE(ReleaseMutex(m));
  EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
}

TEST(SyncMutex, ReleaseByAnotherThreadFailsWithNotOwnerAndKeepsTheMutexHeld) {
  MutexHandle m = CreateMutexA(nullptr, TRUE, nullptr);  // held by this thread
  EXPECT_EQ(RunAndWait([&] {
              if (ReleaseMutex(m)) return 0u;
              return static_cast<unsigned>(GetLastError());
            }),
            ERROR_NOT_OWNER);
  EXPECT_EQ(RunAndWait([&] { return WaitForSingleObject(m, 30); }), WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseMutex(m));
}

TEST(SyncMutex, WaitTimesOutAfterAboutTheGivenTimeAndSucceedsOnceReleased) {
  MutexHandle m = CreateMutexA(nullptr, FALSE, nullptr);
  EventHandle taken = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EventHandle let_go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ThreadHandle holder = _beginthreadex([&] {
    WaitForSingleObject(m, INFINITE);
    SetEvent(taken);
    WaitForSingleObject(let_go, INFINITE);
    ReleaseMutex(m);
    return 0u;
  });
  ASSERT_EQ(WaitForSingleObject(taken, 5000), WAIT_OBJECT_0);

  const auto start = Clock::now();
  EXPECT_EQ(WaitForSingleObject(m, 100), WAIT_TIMEOUT);
  EXPECT_GE(ElapsedMs(start), 95);

  SetEvent(let_go);
  EXPECT_EQ(WaitForSingleObject(m, 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(WaitForSingleObject(holder, 5000), WAIT_OBJECT_0);
}

TEST(SyncMutex, OwnerEndingWithoutReleaseHandsItOnAsAbandoned) {
  MutexHandle m = CreateMutexA(nullptr, FALSE, nullptr);
  EXPECT_EQ(RunAndWait([&] { return WaitForSingleObject(m, INFINITE); }), WAIT_OBJECT_0);
  // The thread ended holding it twice over or once; either way it is ours now.
  EXPECT_EQ(WaitForSingleObject(m, 5000), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);  // abandoned is told once
  EXPECT_TRUE(ReleaseMutex(m));
}

TEST(SyncMutex, ManyThreadsNeverOverlapInside) {
  MutexHandle m = CreateMutexA(nullptr, FALSE, nullptr);
  int inside = 0;
  std::atomic<int> overlaps{0};
  long total = 0;
  std::vector<ThreadHandle> threads;
  for (int t = 0; t < 4; ++t) {
    threads.push_back(_beginthreadex([&] {
      for (int i = 0; i < 500; ++i) {
        WaitForSingleObject(m, INFINITE);
        WaitForSingleObject(m, INFINITE);  // re-entry inside
        if (++inside != 1) ++overlaps;
        ++total;
        --inside;
        ReleaseMutex(m);
        ReleaseMutex(m);
      }
      return 0u;
    }));
  }
  for (auto& t : threads) EXPECT_EQ(WaitForSingleObject(t, 20000), WAIT_OBJECT_0);
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(total, 2000);
}

TEST(SyncHandles, EmptyHandlesFailWithInvalidHandle) {
  MutexHandle m;
  EventHandle e;
  ThreadHandle t;
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(e, INFINITE), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(SetEvent(e));
  EXPECT_FALSE(ReleaseMutex(m));
  DWORD code = 0;
  EXPECT_FALSE(GetExitCodeThread(t, &code));

  MutexHandle real = CreateMutexA(nullptr, FALSE, nullptr);
  EXPECT_TRUE(CloseHandle(real));
  EXPECT_FALSE(real.valid());
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(real));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(SyncEvents, ManualResetReleasesEveryWaiterAndStaysSignalled) {
  EventHandle e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(WaitForSingleObject(e, 20), WAIT_TIMEOUT);
  std::vector<ThreadHandle> waiters;
  for (int i = 0; i < 3; ++i) waiters.push_back(_beginthreadex([&] { return WaitForSingleObject(e, 5000); }));
  SetEvent(e);
  for (auto& w : waiters) {
    ASSERT_EQ(WaitForSingleObject(w, 5000), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeThread(w, &code);
    EXPECT_EQ(code, WAIT_OBJECT_0);
  }
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  ResetEvent(e);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
}

TEST(SyncEvents, AutoResetReleasesOneWaiterPerSignal) {
  EventHandle e = CreateEventA(nullptr, FALSE, TRUE, nullptr);  // initially signalled
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);  // consumed by the first wait

  std::atomic<int> woken{0};
  std::vector<ThreadHandle> waiters;
  for (int i = 0; i < 2; ++i) {
    waiters.push_back(_beginthreadex([&] {
      if (WaitForSingleObject(e, 3000) == WAIT_OBJECT_0) ++woken;
      return 0u;
    }));
  }
  SetEvent(e);
  Sleep(200);
  EXPECT_EQ(woken.load(), 1);
  SetEvent(e);
  for (auto& w : waiters) ASSERT_EQ(WaitForSingleObject(w, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(woken.load(), 2);
}

TEST(SyncThreads, ExitCodeIsStillActiveWhileRunningThenTheBodysResult) {
  EventHandle go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ThreadHandle t = _beginthreadex([&] {
    WaitForSingleObject(go, INFINITE);
    return 42u;
  });
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(t, 30), WAIT_TIMEOUT);
  SetEvent(go);
  ASSERT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 42u);
  // Waiting on an ended thread succeeds at once, as often as asked.
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);
}

TEST(SyncThreads, DroppingEveryHandleOfARunningThreadLetsItFinish) {
  auto finished = std::make_shared<std::atomic<bool>>(false);
  EventHandle go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  {
    ThreadHandle t = _beginthreadex([finished, go] {
      WaitForSingleObject(go, INFINITE);
      *finished = true;
      return 0u;
    });
    ASSERT_TRUE(t.valid());
    EXPECT_TRUE(CloseHandle(t));
  }  // no handle left while it runs: must not terminate the process
  SetEvent(go);
  for (int i = 0; i < 500 && !*finished; ++i) Sleep(10);
  EXPECT_TRUE(*finished);
}

TEST(SyncThreads, ThreadMayDropItsOwnLastHandle) {
  auto slot = std::make_shared<ThreadHandle>();
  EventHandle ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EventHandle done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  *slot = _beginthreadex([slot, ready, done] {
    WaitForSingleObject(ready, INFINITE);
    slot->reset();  // the last handle, dropped on its own thread
    SetEvent(done);
    return 0u;
  });
  SetEvent(ready);
  EXPECT_EQ(WaitForSingleObject(done, 5000), WAIT_OBJECT_0);
}

TEST(SyncCriticalSection, IsRecursiveAndExcludesOtherThreads) {
  CRITICAL_SECTION cs;
  ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&cs, 1024));
  EnterCriticalSection(&cs);
  EnterCriticalSection(&cs);
  std::atomic<bool> got{false};
  ThreadHandle t = _beginthreadex([&] {
    telmo::platform::CriticalSectionLock lock(cs);
    got = true;
    return 0u;
  });
  Sleep(50);
  EXPECT_FALSE(got.load());
  LeaveCriticalSection(&cs);
  Sleep(30);
  EXPECT_FALSE(got.load());  // still held once
  LeaveCriticalSection(&cs);
  ASSERT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(got.load());
  DeleteCriticalSection(&cs);
}

TEST(SyncClock, TickCountAdvancesWithSleep) {
  const DWORD before = GetTickCount();
  Sleep(60);
  const DWORD elapsed = GetTickCount() - before;  // unsigned: right across the wrap
  // The tick count of Windows moves in steps of up to 16 ms.
  EXPECT_GE(elapsed, 40u);
  EXPECT_LT(elapsed, 5000u);
}

}  // namespace
