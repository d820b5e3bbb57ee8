// The reader of the logger's debug pipe: every message becomes one log line.
#pragma once

#include <cstdint>

#include "usbio/UsbThread.h"

class USBInterface;

class CMyDbgReader : public CUsbReader {
 public:
  CMyDbgReader(USBInterface* owner, uint64_t linkGeneration);
  ~CMyDbgReader() override;

  void ProcessData(CUsbBuf* buffer) override;
  void OnWorkerExit() override;

 private:
  USBInterface* owner;
  uint64_t generation;
};
