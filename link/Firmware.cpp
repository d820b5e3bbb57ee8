#include "link/Firmware.h"

#include <atomic>
#include <cstring>

#include "platform/win32.h"

#ifdef _WIN32
bool firmware::rawImage(const uint8_t** data, size_t* size) {
  HMODULE self = GetModuleHandleA(nullptr);
  HRSRC resource = FindResourceA(self, "FIRMWARE", MAKEINTRESOURCEA(10));  // RCDATA
  if (!resource) return false;
  HGLOBAL loaded = LoadResource(self, resource);
  if (!loaded) return false;
  *data = static_cast<const uint8_t*>(LockResource(loaded));
  *size = SizeofResource(self, resource);
  return *data != nullptr;
}
#else
extern "C" const uint8_t tarnwick_firmware_begin[];
extern "C" const uint8_t tarnwick_firmware_end[];

bool firmware::rawImage(const uint8_t** data, size_t* size) {
  *data = tarnwick_firmware_begin;
  *size = static_cast<size_t>(tarnwick_firmware_end - tarnwick_firmware_begin);
  return true;
}
#endif

namespace firmware {
namespace {
// A test can put another image in place of the embedded one.
const uint8_t* g_overrideData = nullptr;
size_t g_overrideSize = 0;
bool g_overrideActive = false;
std::atomic<unsigned> g_checkPauseMs{kCheckPauseMs};
}  // namespace

unsigned checkPauseMs() {
  return g_checkPauseMs.load();
}
void setCheckPauseMs(unsigned milliseconds) {
  g_checkPauseMs = milliseconds;
}

void overrideImage(const uint8_t* data, size_t size) {
  g_overrideData = data;
  g_overrideSize = size;
  g_overrideActive = true;
}
void restoreImage() {
  g_overrideActive = false;
}

bool loadImage(std::vector<uint8_t>& image) {
  const uint8_t* data = nullptr;
  size_t size = 0;
  if (g_overrideActive) {
    data = g_overrideData;
    size = g_overrideSize;
  } else if (!rawImage(&data, &size)) {
    return false;
  }
  // The write command announces exactly kSize bytes, and the version text must end inside the image.
  if (!data || size != kSize || !std::memchr(data, 0, size)) return false;
  image.assign(data, data + size);
  return true;
}
}  // namespace firmware
