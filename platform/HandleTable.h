// Kernel objects behind HANDLE values (internal to platform/).
//
// A HANDLE is an opaque id, never a pointer: a stale or made-up handle is found missing in the
// table and gives ERROR_INVALID_HANDLE instead of touching freed memory. Ids are never reused.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/win32.h"

namespace win32 {

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  // Runs once, on the thread that closes the handle, after the handle has left the table.
  virtual void OnClose() {}
  // Waitable objects return WAIT_OBJECT_0 or WAIT_TIMEOUT; others cannot be waited on.
  virtual bool IsWaitable() const { return false; }
  virtual DWORD Wait(DWORD /*milliseconds*/) { return WAIT_FAILED; }
};

// A fresh handle value, unique for the life of the process (also used for module and device-list
// handles, which live in their own tables).
uintptr_t NewHandleValue();

HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> FindHandle(HANDLE handle);

template <class T>
std::shared_ptr<T> FindHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(FindHandle(handle));
}

// Sets the calling thread's last error and gives FALSE: the failure of a BOOL function.
inline BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The pseudo-handle of GetCurrentThread; never in the table.
inline HANDLE CurrentThreadPseudoHandle() {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));
}

class Event : public KernelObject {
 public:
  Event(bool manualReset, bool initialState) : manualReset_(manualReset), signalled_(initialState) {}
  void Set();
  void Reset();
  bool IsWaitable() const override { return true; }
  DWORD Wait(DWORD milliseconds) override;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  const bool manualReset_;
  bool signalled_;
};

}  // namespace win32
