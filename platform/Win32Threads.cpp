// Threads on std::thread. A thread handle is signalled when the thread's function has returned.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/HandleTable.h"
#include "platform/win32.h"

namespace win32 {
namespace {

std::atomic<DWORD> g_nextThreadId{0x104};

DWORD NewThreadId() {
  return g_nextThreadId.fetch_add(4, std::memory_order_relaxed);
}

// 0 until the thread first asks; threads not made by CreateThread get an id on demand.
thread_local DWORD t_threadId = 0;

class ThreadObject : public KernelObject {
 public:
  ThreadObject() = default;

  void Finish() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ended_ = true;
    }
    ended_cv_.notify_all();
  }

  bool IsWaitable() const override { return true; }

  DWORD Wait(DWORD milliseconds) override {
    std::unique_lock<std::mutex> lock(mutex_);
    auto ended = [this] { return ended_; };
    if (milliseconds == INFINITE) {
      ended_cv_.wait(lock, ended);
      return WAIT_OBJECT_0;
    }
    return ended_cv_.wait_for(lock, std::chrono::milliseconds(milliseconds), ended) ? WAIT_OBJECT_0
                                                                                    : WAIT_TIMEOUT;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ended_cv_;
  bool ended_ = false;
};

}  // namespace
}  // namespace win32

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                           DWORD, LPDWORD threadId) {
  if (start == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const DWORD id = win32::NewThreadId();
  auto object = std::make_shared<win32::ThreadObject>();
  // The thread owns a reference to its object, so closing the handle neither stops the thread nor
  // frees what it will signal at its end.
  try {
    std::thread([object, start, parameter, id] {
      win32::t_threadId = id;
      start(parameter);
      object->Finish();
    }).detach();
  } catch (const std::system_error&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (threadId != nullptr) *threadId = id;
  return win32::InsertHandle(std::move(object));
}

HANDLE WINAPI GetCurrentThread() {
  return win32::CurrentThreadPseudoHandle();
}

DWORD WINAPI GetCurrentThreadId() {
  if (win32::t_threadId == 0) win32::t_threadId = win32::NewThreadId();
  return win32::t_threadId;
}

BOOL WINAPI SetThreadPriority(HANDLE thread, int) {
  // Raising a thread's priority needs privileges a normal Linux user does not have, and the
  // callers only use it as a hint for latency; the request is accepted and has no effect.
  if (thread == win32::CurrentThreadPseudoHandle() || win32::FindHandleAs<win32::ThreadObject>(thread)) {
    return TRUE;
  }
  return win32::Fail(ERROR_INVALID_HANDLE);
}
