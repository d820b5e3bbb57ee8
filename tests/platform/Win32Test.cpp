// Events, waits, threads, the per-thread last error, critical sections, interlocked operations and
// debugger output.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "PlatformTestSupport.h"
#include "platform/DebugOutput.h"
#include "platform/win32.h"

namespace {

using pt::Handle;
using pt::kWaitMs;
using pt::Thread;

TEST(Events, ManualResetReleasesEveryWaiterAndStaysSet) {
  Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(event.valid());
  std::atomic<int> woken{0};
  auto waiter = [&] {
    if (WaitForSingleObject(event.get(), INFINITE) == WAIT_OBJECT_0) ++woken;
  };
  Thread a(waiter), b(waiter);
  ASSERT_TRUE(SetEvent(event.get()));
  ASSERT_TRUE(a.Join());
  ASSERT_TRUE(b.Join());
  EXPECT_EQ(woken.load(), 2);
  // Still set for anyone who comes later, until reset.
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  ASSERT_TRUE(ResetEvent(event.get()));
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
}

TEST(Events, AutoResetReleasesOneWaiterPerSet) {
  Handle event(CreateEventA(nullptr, FALSE, TRUE, nullptr));
  // Initially set: one wait takes the signal, the next finds none.
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);

  std::atomic<int> woken{0};
  auto waiter = [&] {
    if (WaitForSingleObject(event.get(), INFINITE) == WAIT_OBJECT_0) ++woken;
  };
  Thread a(waiter), b(waiter);
  ASSERT_TRUE(SetEvent(event.get()));
  // Exactly one of the two ends; find it without assuming which.
  HANDLE ended = nullptr;
  HANDLE other = nullptr;
  for (DWORD waited = 0; ended == nullptr && waited < kWaitMs; waited += 10) {
    if (WaitForSingleObject(a.handle(), 5) == WAIT_OBJECT_0) {
      ended = a.handle();
      other = b.handle();
    } else if (WaitForSingleObject(b.handle(), 5) == WAIT_OBJECT_0) {
      ended = b.handle();
      other = a.handle();
    }
  }
  ASSERT_NE(ended, nullptr) << "no waiter was released";
  EXPECT_EQ(WaitForSingleObject(other, 50), WAIT_TIMEOUT) << "one SetEvent released both waiters";
  EXPECT_EQ(woken.load(), 1);
  ASSERT_TRUE(SetEvent(event.get()));
  EXPECT_EQ(WaitForSingleObject(other, kWaitMs), WAIT_OBJECT_0);
  EXPECT_EQ(woken.load(), 2);
  // Each release consumed its signal.
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
}

TEST(Handles, TimeoutsAndInvalidHandles) {
  Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  EXPECT_EQ(WaitForSingleObject(event.get(), 20), WAIT_TIMEOUT);

  HANDLE raw = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  ASSERT_TRUE(CloseHandle(raw));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(raw));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(raw, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(SetEvent(raw));
  EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x7777)));
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  // A handle of one kind is not accepted where another is expected.
  Handle event2(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  SetLastError(0);
  EXPECT_FALSE(SetThreadPriority(event2.get(), THREAD_PRIORITY_HIGHEST));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Threads, HandleIsSignalledWhenTheThreadEndsAndClosingItDoesNotStopIt) {
  Handle go(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  Handle bDone(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  std::atomic<DWORD> idInside{0};
  std::atomic<bool> aFinished{false};
  Thread a([&] {
    idInside = GetCurrentThreadId();
    EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST));
    WaitForSingleObject(go.get(), INFINITE);
    aFinished = true;
  });
  ASSERT_NE(a.handle(), nullptr);
  EXPECT_TRUE(SetThreadPriority(a.handle(), THREAD_PRIORITY_NORMAL));
  EXPECT_EQ(WaitForSingleObject(a.handle(), 20), WAIT_TIMEOUT);

  // A thread whose handle is closed at once still runs to its end.
  struct Args {
    HANDLE go;
    HANDLE done;
  } args{go.get(), bDone.get()};
  HANDLE b = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        auto* a = static_cast<Args*>(p);
        WaitForSingleObject(a->go, INFINITE);
        SetEvent(a->done);
        return 0;
      },
      &args, 0, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_TRUE(CloseHandle(b));

  ASSERT_TRUE(SetEvent(go.get()));
  ASSERT_EQ(WaitForSingleObject(a.handle(), kWaitMs), WAIT_OBJECT_0);
  EXPECT_TRUE(aFinished.load());
  EXPECT_EQ(idInside.load(), a.id());
  EXPECT_NE(a.id(), GetCurrentThreadId());
  EXPECT_EQ(WaitForSingleObject(bDone.get(), kWaitMs), WAIT_OBJECT_0);
}

TEST(Threads, LastErrorBelongsToEachThread) {
  SetLastError(1234);
  DWORD seenInThread = 0;
  Thread t([&] {
    SetLastError(42);
    CloseHandle(reinterpret_cast<HANDLE>(0x7777));  // fails with ERROR_INVALID_HANDLE
    seenInThread = GetLastError();
  });
  ASSERT_TRUE(t.Join());
  EXPECT_EQ(seenInThread, ERROR_INVALID_HANDLE);
  EXPECT_EQ(GetLastError(), 1234u);
}

TEST(Threads, CriticalSectionIsRecursiveAndExcludesOtherThreads) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EnterCriticalSection(&cs);  // the owner may enter again
  std::atomic<bool> entered{false};
  Thread other([&] {
    EnterCriticalSection(&cs);
    entered = true;
    LeaveCriticalSection(&cs);
  });
  EXPECT_EQ(WaitForSingleObject(other.handle(), 20), WAIT_TIMEOUT);
  LeaveCriticalSection(&cs);
  EXPECT_EQ(WaitForSingleObject(other.handle(), 20), WAIT_TIMEOUT) << "released after one of two leaves";
  EXPECT_FALSE(entered.load());
  LeaveCriticalSection(&cs);
  ASSERT_TRUE(other.Join());
  EXPECT_TRUE(entered.load());

  // Plain (non-atomic) counting under the section from several threads loses nothing.
  long counter = 0;
  {
    std::vector<std::unique_ptr<Thread>> threads;
    for (int i = 0; i < 4; ++i) {
      threads.push_back(std::make_unique<Thread>([&] {
        for (int k = 0; k < 5000; ++k) {
          EnterCriticalSection(&cs);
          ++counter;
          LeaveCriticalSection(&cs);
        }
      }));
    }
  }
  EXPECT_EQ(counter, 20000);
  DeleteCriticalSection(&cs);
}

TEST(Threads, InterlockedOperations) {
  volatile LONG value = 5;
  EXPECT_EQ(InterlockedIncrement(&value), 6);
  EXPECT_EQ(InterlockedDecrement(&value), 5);
  EXPECT_EQ(InterlockedExchange(&value, 9), 5);
  EXPECT_EQ(value, 9);
  EXPECT_EQ(InterlockedCompareExchange(&value, 1, 7), 9);  // no match: unchanged
  EXPECT_EQ(value, 9);
  EXPECT_EQ(InterlockedCompareExchange(&value, 1, 9), 9);
  EXPECT_EQ(value, 1);

  int a = 0, b = 0;
  PVOID volatile p = &a;
  EXPECT_EQ(InterlockedExchangePointer(&p, &b), &a);
  EXPECT_EQ(InterlockedCompareExchangePointer(&p, nullptr, &a), &b);  // no match
  EXPECT_EQ(p, &b);
  EXPECT_EQ(InterlockedCompareExchangePointer(&p, nullptr, &b), &b);
  EXPECT_EQ(p, nullptr);

  volatile LONG shared = 0;
  {
    std::vector<std::unique_ptr<Thread>> threads;
    for (int i = 0; i < 4; ++i) {
      threads.push_back(std::make_unique<Thread>([&] {
        for (int k = 0; k < 10000; ++k) InterlockedIncrement(&shared);
      }));
    }
  }
  EXPECT_EQ(shared, 40000);
}

TEST(DebugOutput, LinesGoToTheSinkUnchanged) {
  std::vector<std::string> lines;
  win32::SetDebugOutputSink([&](const std::string& line) { lines.push_back(line); });
  OutputDebugStringA("first line\n");
  OutputDebugStringA(nullptr);
  {
    Thread t([] { OutputDebugStringA("from a thread"); });
  }
  win32::SetDebugOutputSink(nullptr);
  OutputDebugStringA("to stderr, not the sink\n");
  EXPECT_EQ(lines, (std::vector<std::string>{"first line\n", "from a thread"}));
}

}  // namespace
