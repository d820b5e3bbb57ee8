// The reader of the logger's data-in pipe: gathers the 64-byte packets of a transfer into the link's
// memory image and completes a measurement download or a memory read when the last one has come.
#pragma once

#include <cstdint>

#include "usbio/UsbThread.h"

class USBInterface;

class CMyDatReader : public CUsbReader {
 public:
  CMyDatReader(USBInterface* owner, uint64_t linkGeneration);
  ~CMyDatReader() override;

  void ProcessData(CUsbBuf* buffer) override;
  void OnWorkerExit() override;

 private:
  void completeMemoryRead();
  void completeDownload();

  USBInterface* owner;
  uint64_t generation;
  // One log line per transfer for blocks that do not fit the image.
  bool overflowReported = false;
};
