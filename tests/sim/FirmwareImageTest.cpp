#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "sim/model/Firmware.h"

namespace velmora {
namespace {

TEST(FirmwareImage, MadeImagePassesTheCheckAndIsDeterministic) {
  EXPECT_EQ(Crc32(reinterpret_cast<const uint8_t*>("123456789"), 9),
            0xCBF43926u);  // the standard check value
  const auto image = MakeFirmwareImage("V1.10", 7);
  ASSERT_EQ(image.size(), 61184u);
  EXPECT_EQ(std::memcmp(image.data(), "V1.10\0", 6), 0);
  const uint32_t crc = Crc32(image.data(), 61180);
  EXPECT_EQ(image[61180] | image[61181] << 8 | image[61182] << 16 | uint32_t(image[61183]) << 24, crc);
  std::string version;
  EXPECT_TRUE(CheckFirmwareImage(image.data(), image.size(), &version));
  EXPECT_EQ(version, "V1.10");
  EXPECT_EQ(MakeFirmwareImage("V1.10", 7), image);
  EXPECT_NE(MakeFirmwareImage("V1.10", 8), image);
  const auto longest = MakeFirmwareImage(std::string(31, 'x'), 0);  // zero byte at offset 31
  EXPECT_TRUE(CheckFirmwareImage(longest.data(), longest.size(), nullptr));
}

TEST(FirmwareImage, DamagedOrMisshapenImagesAreRejected) {
  const auto good = MakeFirmwareImage("V2.00", 3);
  std::string version = "unchanged";
  for (size_t at : {size_t(0), size_t(30000), size_t(61183)}) {
    auto bad = good;
    bad[at] ^= 0x01;
    EXPECT_FALSE(CheckFirmwareImage(bad.data(), bad.size(), &version)) << at;
  }
  EXPECT_FALSE(CheckFirmwareImage(good.data(), good.size() - 1, &version));
  auto longer = good;
  longer.push_back(0);
  EXPECT_FALSE(CheckFirmwareImage(longer.data(), longer.size(), &version));
  EXPECT_EQ(version, "unchanged");

  // Broken version texts, resealed with a matching CRC so only the text decides.
  auto check = [](std::vector<uint8_t> image) {
    const uint32_t crc = Crc32(image.data(), 61180);
    for (int k = 0; k < 4; ++k) image[61180 + k] = static_cast<uint8_t>(crc >> (8 * k));
    return CheckFirmwareImage(image.data(), image.size(), nullptr);
  };
  auto empty = good, noZero = good, control = good;
  empty[0] = 0;
  std::memset(noZero.data(), 'A', 40);
  control[1] = '\n';
  EXPECT_FALSE(check(empty));
  EXPECT_FALSE(check(noZero));
  EXPECT_FALSE(check(control));
  EXPECT_TRUE(check(good));

  EXPECT_THROW(MakeFirmwareImage("", 1), std::invalid_argument);
  EXPECT_THROW(MakeFirmwareImage(std::string(32, 'x'), 1), std::invalid_argument);
  EXPECT_THROW(MakeFirmwareImage("V1\t10", 1), std::invalid_argument);
}

}  // namespace
}  // namespace velmora
