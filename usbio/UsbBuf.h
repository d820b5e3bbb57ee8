// Transfer buffers and the pool that hands them out.
#pragma once

#include <cstdint>

#include "platform/win32.h"

class CUsbBuf {
 public:
  CUsbBuf();
  CUsbBuf(void* data, uint32_t size);
  ~CUsbBuf();
  CUsbBuf(const CUsbBuf&) = delete;
  CUsbBuf& operator=(const CUsbBuf&) = delete;

  void* Data() const { return data; }
  uint32_t Size() const { return size; }
  // Used by the pool to place the buffer on its share of the data block.
  void Assign(void* newData, uint32_t newSize) {
    data = newData;
    size = newSize;
  }

  uint32_t bytesToTransfer;
  uint32_t bytesTransferred;
  uint32_t status;
  CUsbBuf* next;
  uint32_t finished;
  void* data;
  uint32_t size;
  OVERLAPPED overlapped;
};

class CUsbBufPool {
 public:
  CUsbBufPool();
  ~CUsbBufPool();
  CUsbBufPool(const CUsbBufPool&) = delete;
  CUsbBufPool& operator=(const CUsbBufPool&) = delete;

  bool AllocateBuffers(uint32_t size, uint32_t count);
  void ReleaseBuffers();
  CUsbBuf* TakeBuffer();
  void ReturnBuffer(CUsbBuf* buffer);
  // Read without the lock; any thread may ask.
  int FreeCount() const;

  // The buffer array, for tests (null while empty).
  CUsbBuf* Buffers() const { return buffers; }

 private:
  CRITICAL_SECTION lock;
  CUsbBuf* freeHead;
  volatile LONG freeCount;
  CUsbBuf* buffers;
  unsigned char* dataBlock;
};
