// The handle table, CloseHandle, the per-thread last error and the debugger output.
#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <unordered_map>

#include "platform/DebugOutput.h"
#include "platform/HandleTable.h"
#include "platform/win32.h"

namespace win32 {
namespace {

struct HandleTable {
  std::mutex mutex;
  std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects;
};

// Never destroyed: detached threads may still close handles while static destructors run.
HandleTable& Table() {
  static HandleTable* table = new HandleTable;
  return *table;
}

std::atomic<uintptr_t> g_nextHandle{0x100};

struct DebugSink {
  std::mutex mutex;
  std::function<void(const std::string&)> sink;
};

DebugSink& Sink() {
  static DebugSink* sink = new DebugSink;
  return *sink;
}

thread_local DWORD t_lastError = ERROR_SUCCESS;

}  // namespace

uintptr_t NewHandleValue() {
  // Multiples of 4 like the system's own, so they never collide with INVALID_HANDLE_VALUE or the
  // pseudo-handles (-1, -2).
  return g_nextHandle.fetch_add(4, std::memory_order_relaxed);
}

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
  const uintptr_t value = NewHandleValue();
  HandleTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> FindHandle(HANDLE handle) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
  return it == table.objects.end() ? nullptr : it->second;
}

void SetDebugOutputSink(std::function<void(const std::string&)> sink) {
  DebugSink& s = Sink();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.sink = std::move(sink);
}

}  // namespace win32

BOOL WINAPI CloseHandle(HANDLE handle) {
  if (handle == win32::CurrentThreadPseudoHandle()) return TRUE;  // closing a pseudo-handle is a no-op
  std::shared_ptr<win32::KernelObject> object;
  {
    win32::HandleTable& table = win32::Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it != table.objects.end()) {
      object = std::move(it->second);
      table.objects.erase(it);
    }
  }
  if (!object) {
    return win32::Fail(ERROR_INVALID_HANDLE);
  }
  object->OnClose();
  return TRUE;
}

DWORD WINAPI GetLastError() {
  return win32::t_lastError;
}

void WINAPI SetLastError(DWORD error) {
  win32::t_lastError = error;
}

void WINAPI OutputDebugStringA(LPCSTR text) {
  if (text == nullptr) return;
  win32::DebugSink& s = win32::Sink();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.sink) {
    s.sink(std::string(text));
  } else {
    std::fputs(text, stderr);
    std::fflush(stderr);
  }
}
