#include "usbio/UsbThread.h"

#include <cstring>

CUsbThread::CUsbThread()
    : priority(THREAD_PRIORITY_HIGHEST),
      threadHandle(nullptr),
      threadId(0),
      stopRequested(0),
      maxErrorCount(3),
      pendingHead(nullptr),
      pendingTail(nullptr) {
  InitializeCriticalSection(&startLock);
}

CUsbThread::~CUsbThread() {
  if (IsWorkerRunning()) {
    OutputDebugStringA(
        "CUsbThread::~CUsbThread(): Thread is still running! ShutdownThread() must be called before the "
        "object "
        "is destroyed!\n");
  }
  ReleaseBuffers();
  DeleteCriticalSection(&startLock);
}

bool CUsbThread::IsWorkerRunning() const {
  return InterlockedCompareExchangePointer(const_cast<PVOID volatile*>(&threadHandle), nullptr, nullptr) !=
         nullptr;
}

bool CUsbThread::StartWorker(uint32_t maxErrors) {
  if (IsWorkerRunning()) return false;

  InterlockedExchange(&stopRequested, 0);
  maxErrorCount = maxErrors;

  EnterCriticalSection(&startLock);
  DWORD id = 0;
  HANDLE handle = CreateThread(nullptr, 0, &CUsbThread::WorkerBody, this, 0, &id);
  if (handle != nullptr) {
    threadId = id;
    InterlockedExchangePointer(&threadHandle, handle);
  }
  LeaveCriticalSection(&startLock);
  return handle != nullptr;
}

bool CUsbThread::ShutdownThread() {
  HANDLE handle = InterlockedExchangePointer(&threadHandle, nullptr);
  if (handle == nullptr) return true;

  InterlockedExchange(&stopRequested, 1);
  InterruptWorker();

  const DWORD wait = WaitForSingleObject(handle, INFINITE);
  CloseHandle(handle);
  return wait == WAIT_OBJECT_0;
}

DWORD WINAPI CUsbThread::WorkerBody(LPVOID self) {
  CUsbThread* thread = static_cast<CUsbThread*>(self);

  EnterCriticalSection(&thread->startLock);
  LeaveCriticalSection(&thread->startLock);

  SetThreadPriority(GetCurrentThread(), thread->priority);
  thread->WorkerLoop();
  thread->OnWorkerExit();

  // Whoever takes the handle first closes it: here, or in ShutdownThread.
  HANDLE handle = InterlockedExchangePointer(&thread->threadHandle, nullptr);
  if (handle != nullptr) CloseHandle(handle);
  return 0;
}

void CUsbThread::ProcessData(CUsbBuf*) {}

void CUsbThread::PrepareBuffer(CUsbBuf* buffer) {
  std::memset(buffer->Data(), 0, buffer->Size());
  buffer->bytesToTransfer = buffer->Size();
  buffer->bytesTransferred = 0;
}

void CUsbThread::HandleBufferError(CUsbBuf*) {}

void CUsbThread::OnWorkerExit() {}

void CUsbThread::AppendPending(CUsbBuf* buffer) {
  buffer->next = nullptr;
  if (pendingTail == nullptr) {
    pendingHead = buffer;
  } else {
    pendingTail->next = buffer;
  }
  pendingTail = buffer;
}

CUsbBuf* CUsbThread::PopPending() {
  CUsbBuf* buffer = pendingHead;
  if (buffer != nullptr) {
    pendingHead = buffer->next;
    if (pendingHead == nullptr) pendingTail = nullptr;
    buffer->next = nullptr;
  }
  return buffer;
}

void CUsbThread::DrainPending() {
  AbortTransfers();
  while (CUsbBuf* buffer = PopPending()) {
    WaitForBuffer(buffer, INFINITE);
    pool.ReturnBuffer(buffer);
  }
}

bool CUsbThread::StopRequested() {
  return InterlockedCompareExchange(&stopRequested, 0, 0) != 0;
}

void CUsbThread::CompleteOldest(uint32_t* errorCount, bool processData) {
  CUsbBuf* buffer = pendingHead;
  const uint32_t status = WaitForBuffer(buffer, INFINITE);
  if (status != usbstatus::kSuccess) {
    // A powered-down device is waited out: neither counted nor a reason to reset the count.
    if (status != usbstatus::kPoweredDown) ++*errorCount;
    HandleBufferError(buffer);
  } else {
    *errorCount = 0;
  }
  PopPending();
  if (processData) ProcessData(buffer);
  pool.ReturnBuffer(buffer);
}

void CUsbThread::AbortIfStopMissed() {
  // A stop that came while we were submitting may have aborted the pipe before these transfers
  // reached it; abort again so that the wait below cannot block for good.
  if (StopRequested()) AbortTransfers();
}

void CUsbReader::WorkerLoop() {
  if (pool.FreeCount() == 0) return;

  pendingHead = nullptr;
  pendingTail = nullptr;
  uint32_t errorCount = 0;

  while (!StopRequested() && errorCount <= maxErrorCount) {
    while (CUsbBuf* buffer = pool.TakeBuffer()) {
      PrepareBuffer(buffer);
      if (buffer->finished != 0 || buffer->bytesToTransfer == 0) {
        pool.ReturnBuffer(buffer);
        break;
      }
      SubmitRead(buffer);
      AppendPending(buffer);
    }
    if (pendingHead == nullptr) break;

    AbortIfStopMissed();
    CompleteOldest(&errorCount, true);
  }

  DrainPending();
}

void CUsbReader::InterruptWorker() {
  AbortTransfers();
}

void CUsbWriter::WorkerLoop() {
  if (pool.FreeCount() == 0) return;

  pendingHead = nullptr;
  pendingTail = nullptr;
  uint32_t errorCount = 0;
  bool finished = false;

  while (!finished && !StopRequested() && errorCount <= maxErrorCount) {
    while (CUsbBuf* buffer = pool.TakeBuffer()) {
      PrepareBuffer(buffer);
      if (buffer->finished != 0) {
        pool.ReturnBuffer(buffer);
        finished = true;
        break;
      }
      // A zero-length write is a real transfer here.
      SubmitWrite(buffer);
      AppendPending(buffer);
    }
    if (finished || pendingHead == nullptr) break;

    AbortIfStopMissed();
    CompleteOldest(&errorCount, false);
  }

  DrainPending();
}

void CUsbWriter::InterruptWorker() {
  AbortTransfers();
}
