#include "usbio/UsbBuf.h"

#include <cstring>
#include <new>

CUsbBuf::CUsbBuf() : CUsbBuf(nullptr, 0) {}

CUsbBuf::CUsbBuf(void* data, uint32_t size)
    : bytesToTransfer(0), bytesTransferred(0), status(0), next(nullptr), finished(0), data(data), size(size) {
  std::memset(&overlapped, 0, sizeof(overlapped));
  // Manual reset: the event stays set after completion until the next transfer on this buffer.
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

CUsbBuf::~CUsbBuf() {
  if (overlapped.hEvent != nullptr) CloseHandle(overlapped.hEvent);
}

CUsbBufPool::CUsbBufPool() : freeHead(nullptr), freeCount(0), buffers(nullptr), dataBlock(nullptr) {
  InitializeCriticalSection(&lock);
}

CUsbBufPool::~CUsbBufPool() {
  ReleaseBuffers();
  DeleteCriticalSection(&lock);
}

bool CUsbBufPool::AllocateBuffers(uint32_t size, uint32_t count) {
  EnterCriticalSection(&lock);
  bool ok = false;
  if (buffers == nullptr) {
    CUsbBuf* array = new (std::nothrow) CUsbBuf[count];
    bool eventsMade = array != nullptr;
    for (uint32_t i = 0; eventsMade && i < count; ++i) eventsMade = array[i].overlapped.hEvent != nullptr;

    const unsigned long long blockBytes = static_cast<unsigned long long>(size) * count;
    unsigned char* block = nullptr;
    if (eventsMade && blockBytes <= static_cast<size_t>(-1)) {
      block = new (std::nothrow) unsigned char[static_cast<size_t>(blockBytes)];
    }

    if (block == nullptr) {
      delete[] array;
    } else {
      std::memset(block, 0, static_cast<size_t>(blockBytes));
      buffers = array;
      dataBlock = block;
      // Pushing in array order makes the pool hand out the last buffer first.
      for (uint32_t i = 0; i < count; ++i) {
        CUsbBuf* buffer = &buffers[i];
        buffer->Assign(dataBlock + static_cast<size_t>(i) * size, size);
        buffer->next = freeHead;
        freeHead = buffer;
      }
      InterlockedExchange(&freeCount, static_cast<LONG>(count));
      ok = true;
    }
  }
  LeaveCriticalSection(&lock);
  return ok;
}

void CUsbBufPool::ReleaseBuffers() {
  EnterCriticalSection(&lock);
  delete[] buffers;
  buffers = nullptr;
  delete[] dataBlock;
  dataBlock = nullptr;
  freeHead = nullptr;
  InterlockedExchange(&freeCount, 0);
  LeaveCriticalSection(&lock);
}

CUsbBuf* CUsbBufPool::TakeBuffer() {
  EnterCriticalSection(&lock);
  CUsbBuf* buffer = freeHead;
  if (buffer != nullptr) {
    freeHead = buffer->next;
    buffer->next = nullptr;
    InterlockedDecrement(&freeCount);
  }
  LeaveCriticalSection(&lock);
  return buffer;
}

void CUsbBufPool::ReturnBuffer(CUsbBuf* buffer) {
  EnterCriticalSection(&lock);
  buffer->next = freeHead;
  freeHead = buffer;
  InterlockedIncrement(&freeCount);
  LeaveCriticalSection(&lock);
}

int CUsbBufPool::FreeCount() const {
  return InterlockedCompareExchange(const_cast<LONG volatile*>(&freeCount), 0, 0);
}
