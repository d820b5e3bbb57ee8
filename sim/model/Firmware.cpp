#include "sim/model/Firmware.h"

#include <array>
#include <stdexcept>

namespace velmora {
namespace {

std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

bool Printable(uint8_t c) {
  return c >= 0x20 && c <= 0x7E;
}

}  // namespace

uint32_t Crc32(const uint8_t* data, size_t size) {
  static const std::array<uint32_t, 256> table = MakeCrcTable();
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

std::vector<uint8_t> MakeFirmwareImage(const std::string& version, uint32_t seed) {
  if (version.empty() || version.size() > kFirmwareVersionMax)
    throw std::invalid_argument("firmware version text must have 1 to 31 characters");
  for (char c : version)
    if (!Printable(static_cast<uint8_t>(c)))
      throw std::invalid_argument("firmware version text must be printable");

  std::vector<uint8_t> image(kFirmwareImageSize, 0);
  size_t pos = 0;
  for (char c : version) image[pos++] = static_cast<uint8_t>(c);
  image[pos++] = 0;

  // xorshift32 never leaves 0, so a zero seed gets a fixed stand-in.
  uint32_t x = seed != 0 ? seed : 0x9E3779B9u;
  const size_t bodyEnd = kFirmwareImageSize - 4;
  while (pos < bodyEnd) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    for (int k = 0; k < 4 && pos < bodyEnd; ++k) image[pos++] = static_cast<uint8_t>(x >> (8 * k));
  }

  const uint32_t crc = Crc32(image.data(), bodyEnd);
  for (int k = 0; k < 4; ++k) image[bodyEnd + k] = static_cast<uint8_t>(crc >> (8 * k));
  return image;
}

bool CheckFirmwareImage(const uint8_t* data, size_t size, std::string* version) {
  if (data == nullptr || size != kFirmwareImageSize) return false;
  size_t len = 0;
  while (len <= kFirmwareVersionMax && data[len] != 0) {
    if (!Printable(data[len])) return false;
    ++len;
  }
  if (len == 0 || len > kFirmwareVersionMax) return false;

  const size_t bodyEnd = kFirmwareImageSize - 4;
  const uint32_t stored =
      static_cast<uint32_t>(data[bodyEnd]) | static_cast<uint32_t>(data[bodyEnd + 1]) << 8 |
      static_cast<uint32_t>(data[bodyEnd + 2]) << 16 | static_cast<uint32_t>(data[bodyEnd + 3]) << 24;
  if (stored != Crc32(data, bodyEnd)) return false;
  if (version) version->assign(reinterpret_cast<const char*>(data), len);
  return true;
}

}  // namespace velmora
