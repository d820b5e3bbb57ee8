// The firmware image carried among the program's own resources ("FIRMWARE").
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace firmware {
constexpr uint32_t kAddress = 463104;  // top of the logger's 512 KiB memory
constexpr uint32_t kSize = 61184;      // 956 packets of 64 bytes
constexpr unsigned kCheckPauseMs = 200;

// Loads the embedded image. False when it cannot be loaded or is not a sendable image: exactly
// kSize bytes with a zero byte after its version text.
bool loadImage(std::vector<uint8_t>& image);

// The raw embedded bytes (Linux: linked into the executable; Windows: the RCDATA resource).
bool rawImage(const uint8_t** data, size_t* size);

// For tests: load these bytes instead of the embedded image (the caller keeps them alive), and back.
void overrideImage(const uint8_t* data, size_t size);
void restoreImage();

// The pause before "firmware.check", kCheckPauseMs unless a test or the fuzzer shortened it.
unsigned checkPauseMs();
void setCheckPauseMs(unsigned milliseconds);
}  // namespace firmware
