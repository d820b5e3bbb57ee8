// Helpers of the reader and export tests: those of data/DataBasics.h, a link over a recording window,
// and a way to hand the readers packets without a device.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "common/RecordingWindow.h"
#include "data/DataBasics.h"
#include "link/USBInterface.h"
#include "usbio/UsbBuf.h"

namespace datatest {

// A link without a device; the readers are driven by handing them buffers directly.
struct LinkFixture : testing::Test {
  RecordingWindow window;
  std::unique_ptr<USBInterface> link = std::make_unique<USBInterface>(&window);
  ScratchDir dir;

  // A completed read as the worker would hand it over: a zero-filled 64-byte buffer with the bytes.
  template <typename Reader>
  void deliver(Reader& reader, const void* bytes, uint32_t count, uint32_t status = 0) {
    uint8_t storage[64] = {};
    if (count > 0) std::memcpy(storage, bytes, count);
    CUsbBuf buffer(storage, sizeof storage);
    buffer.bytesToTransfer = sizeof storage;
    buffer.bytesTransferred = count;
    buffer.status = status;
    reader.ProcessData(&buffer);
  }
};

}  // namespace datatest
