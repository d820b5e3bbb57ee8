// FormatStatusText with any status into a buffer of any size: the text always ends inside the
// buffer, and nothing is written past it (the buffer has exactly the size given).
#include <cstring>
#include <memory>

#include "fuzz/FuzzSupport.h"
#include "usbio/UsbDevice.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint32_t status = in.u32();
  const uint32_t bufferSize = in.u32() % 320;
  std::unique_ptr<char[]> buffer(new char[bufferSize == 0 ? 1 : bufferSize]);
  std::memset(buffer.get(), 'X', bufferSize == 0 ? 1 : bufferSize);
  char* text = CUsbDevice::FormatStatusText(buffer.get(), bufferSize, status);
  if (text != buffer.get()) fuzz::fail("the text is not returned in the caller's buffer");
  if (bufferSize == 0) {
    if (buffer[0] != 'X') fuzz::fail("a buffer of size 0 was written");
    return 0;
  }
  if (std::memchr(buffer.get(), 0, bufferSize) == nullptr) fuzz::fail("the text does not end in the buffer");
  // The full text, for a large enough buffer, begins with the code; a cut one is its beginning.
  char full[512];
  CUsbDevice::FormatStatusText(full, sizeof full, status);
  if (std::strncmp(full, "Error code 0x", 13) != 0) fuzz::fail("text without its code");
  if (std::strncmp(full, buffer.get(), std::strlen(buffer.get())) != 0)
    fuzz::fail("a cut text differs from the full one");
  if (std::strlen(buffer.get()) != std::min<size_t>(std::strlen(full), bufferSize - 1))
    fuzz::fail("the text is cut at the wrong place");
  return 0;
}
