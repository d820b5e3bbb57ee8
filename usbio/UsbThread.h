// A pipe with its own buffer pool and one worker thread that keeps the pool in flight and hands
// every completed transfer to hooks.
#pragma once

#include "usbio/UsbPipe.h"

class CUsbThread : public CUsbPipe {
 public:
  CUsbThread();
  ~CUsbThread() override;

  bool AllocateBuffers(uint32_t size, uint32_t count) { return pool.AllocateBuffers(size, count); }
  void ReleaseBuffers() { pool.ReleaseBuffers(); }
  bool StartWorker(uint32_t maxErrors);
  bool ShutdownThread();
  // True while a worker thread is known to run (its handle not yet taken back).
  bool IsWorkerRunning() const;

  virtual void ProcessData(CUsbBuf* buffer);
  virtual void PrepareBuffer(CUsbBuf* buffer);
  virtual void HandleBufferError(CUsbBuf* buffer);
  virtual void OnWorkerExit();
  virtual void WorkerLoop() = 0;
  virtual void InterruptWorker() = 0;

  CUsbBufPool& Pool() { return pool; }

 protected:
  static DWORD WINAPI WorkerBody(LPVOID self);
  void AppendPending(CUsbBuf* buffer);
  CUsbBuf* PopPending();
  // Aborts the pipe and returns every pending buffer to the pool after it has ended, without hooks.
  void DrainPending();
  bool StopRequested();
  // Waits for the oldest pending buffer, counts or clears failures, runs the hooks and returns it.
  void CompleteOldest(uint32_t* errorCount, bool processData);
  void AbortIfStopMissed();

  LONG priority;
  CUsbBufPool pool;
  PVOID volatile threadHandle;
  DWORD threadId;
  volatile LONG stopRequested;
  uint32_t maxErrorCount;
  CUsbBuf* pendingHead;
  CUsbBuf* pendingTail;

 private:
  // Held by StartWorker until the new thread's handle is stored, and passed through by the worker
  // before it runs, so that a worker that ends at once still finds (and closes) its own handle.
  CRITICAL_SECTION startLock;
};

class CUsbReader : public CUsbThread {
 public:
  void WorkerLoop() override;
  void InterruptWorker() override;
};

class CUsbWriter : public CUsbThread {
 public:
  void WorkerLoop() override;
  void InterruptWorker() override;
};
