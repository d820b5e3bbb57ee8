// Events, waits, critical sections, interlocked operations and Sleep.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/HandleTable.h"
#include "platform/win32.h"

namespace win32 {

void Event::Set() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = true;
  }
  // A manual-reset event releases every waiter; an auto-reset one releases exactly one.
  if (manualReset_) {
    changed_.notify_all();
  } else {
    changed_.notify_one();
  }
}

void Event::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = false;
}

DWORD Event::Wait(DWORD milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto signalled = [this] { return signalled_; };
  if (milliseconds == INFINITE) {
    changed_.wait(lock, signalled);
  } else if (!changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), signalled)) {
    return WAIT_TIMEOUT;
  }
  if (!manualReset_) signalled_ = false;
  return WAIT_OBJECT_0;
}

}  // namespace win32

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) {
  if (name != nullptr) {
    // Named events are shared between processes on Windows; nothing here needs them.
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return win32::InsertHandle(std::make_shared<win32::Event>(manualReset != FALSE, initialState != FALSE));
}

BOOL WINAPI SetEvent(HANDLE event) {
  auto object = win32::FindHandleAs<win32::Event>(event);
  if (!object) {
    return win32::Fail(ERROR_INVALID_HANDLE);
  }
  object->Set();
  return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE event) {
  auto object = win32::FindHandleAs<win32::Event>(event);
  if (!object) {
    return win32::Fail(ERROR_INVALID_HANDLE);
  }
  object->Reset();
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto object = win32::FindHandle(handle);
  if (!object || !object->IsWaitable()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return object->Wait(milliseconds);
}

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs) {
  cs->impl = new std::recursive_mutex;
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs) {
  delete static_cast<std::recursive_mutex*>(cs->impl);
  cs->impl = nullptr;
}

namespace {
std::recursive_mutex& Lock(LPCRITICAL_SECTION cs) {
  if (cs == nullptr || cs->impl == nullptr) {
    // Using a section that was never initialised (or was deleted) is a caller bug; stop loudly
    // rather than corrupt memory.
    std::fputs("critical section used without InitializeCriticalSection\n", stderr);
    std::abort();
  }
  return *static_cast<std::recursive_mutex*>(cs->impl);
}
}  // namespace

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs) {
  Lock(cs).lock();
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs) {
  Lock(cs).unlock();
}

LONG WINAPI InterlockedIncrement(LONG volatile* addend) {
  return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
}

LONG WINAPI InterlockedDecrement(LONG volatile* addend) {
  return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
}

LONG WINAPI InterlockedExchange(LONG volatile* target, LONG value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

LONG WINAPI InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand) {
  // On failure the builtin stores the value found into `comparand`; either way it is the old value.
  __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}

PVOID WINAPI InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

PVOID WINAPI InterlockedCompareExchangePointer(PVOID volatile* target, PVOID exchange, PVOID comparand) {
  __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}

void WINAPI Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    std::this_thread::yield();
  } else if (milliseconds == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
}
