// The logger's firmware image: what the PC carries and writes to the top of the logger's memory,
// and what the logger checks before it updates itself.
//
// Layout (61184 bytes): the version text (printable, 1 to 31 characters), one zero byte, the firmware
// body, and a little-endian CRC-32 (IEEE) of every byte before it in the last 4 bytes.
//
// Standard library only: the build-time image generator links this file on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

constexpr size_t kFirmwareImageSize = 61184;
constexpr size_t kFirmwareVersionMax = 31;  // the zero byte must lie within the first 32 bytes

// CRC-32 as used by zip and Ethernet (reflected, polynomial 0xEDB88320, inverted in and out).
uint32_t Crc32(const uint8_t* data, size_t size);

// A complete image with this version text and a body derived from `seed` (same seed, same bytes).
// Throws std::invalid_argument for an empty, too long or non-printable version text.
std::vector<uint8_t> MakeFirmwareImage(const std::string& version, uint32_t seed);

// True when `data` is a whole, intact image; `version` (optional) receives its version text.
bool CheckFirmwareImage(const uint8_t* data, size_t size, std::string* version);

}  // namespace velmora
