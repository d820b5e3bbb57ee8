// The firmware image carried among the program's own resources ("FIRMWARE").
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace firmware {
constexpr uint32_t kAddress = 463104;  // top of the logger's 512 KiB memory
constexpr uint32_t kSize = 61184;      // 956 packets of 64 bytes
constexpr unsigned kCheckPauseMs = 200;

// The logger keeps its records from address 0 on, 32 bytes each; the image lands on the records from
// number kRecordsBelowImage + 1 on.
constexpr uint32_t kRecordBytes = 32;
constexpr int64_t kRecordsBelowImage = kAddress / kRecordBytes;  // 14472
// How many of `storedRecords` the image overwrites (0 when they all lie below it).
constexpr int64_t recordsOverwritten(int64_t storedRecords) {
  return storedRecords > kRecordsBelowImage ? storedRecords - kRecordsBelowImage : 0;
}
// Whether an update would destroy records that no download kept: the stored records reach into the
// image's area and the largest download of this logger (`downloadedRecords`) held fewer.
constexpr bool updateLosesRecords(int64_t storedRecords, int64_t downloadedRecords) {
  return recordsOverwritten(storedRecords) > 0 && downloadedRecords < storedRecords;
}

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
