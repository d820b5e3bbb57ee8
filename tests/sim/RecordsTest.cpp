#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>

#include "sim/model/Records.h"

namespace velmora {
namespace {

uint64_t SortKey(const uint8_t* record) {
  uint64_t key = 0;
  for (int k = 7; k >= 0; --k) key = key << 8 | record[k];
  return key;
}

TEST(Records, RecordBytesPlacesEveryFieldAndBalancesTheSum) {
  RecordFields f;
  f.free = 0x5A;
  f.second = 59;
  f.minute = 58;
  f.hour = 23;
  f.day = 31;
  f.month = 12;
  f.year = 2016;
  f.temperature = -3.25f;
  f.sensorSerial = 0xBEEF;
  f.humidityRaw = 0x1234;
  f.ambientTemperature = 21.75f;
  f.sequence = 0x01020304;
  const auto bytes = RecordBytes(f);
  ASSERT_EQ(bytes.size(), 32u);
  EXPECT_EQ(RecordSum(bytes.data()), 0);
  const uint8_t head[] = {0x5A, 59, 58, 23, 31, 12, 0xE0, 0x07};
  EXPECT_EQ(std::memcmp(bytes.data(), head, 8), 0);
  float ambient;
  std::memcpy(&ambient, bytes.data() + 22, 4);
  EXPECT_EQ(ambient, 21.75f);
  EXPECT_EQ(bytes[16], 0xEF);
  EXPECT_EQ(bytes[18], 0x34);
  const RecordFields back = ReadRecord(bytes.data());
  EXPECT_EQ(back.temperature, -3.25f);
  EXPECT_EQ(back.sequence, 0x01020304u);
}

TEST(Records, GeneratedImageIsAPlausibleLog) {
  const auto image = GenerateImage(20000, 42);  // more than memory holds: cut at 16384
  ASSERT_EQ(image.size(), 524288u);
  std::set<uint16_t> sensors;
  std::set<int> months;
  float minT = 100, maxT = -100;
  for (uint32_t i = 0; i < 16384; ++i) {
    const uint8_t* r = image.data() + 32 * i;
    ASSERT_EQ(RecordSum(r), 0) << "record " << i;
    if (i > 0) {
      ASSERT_LT(SortKey(r - 32), SortKey(r)) << "record " << i << " out of time order";
    }
    const RecordFields f = ReadRecord(r);
    ASSERT_TRUE(f.year == 2026 && f.day >= 1 && f.day <= 31 && f.hour < 24 && f.minute < 60 && f.second < 60);
    ASSERT_TRUE(f.humidity >= 40 && f.humidity <= 70 && f.temperature >= 15 && f.temperature <= 25) << i;
    ASSERT_LT(std::fabs(f.ambientTemperature - f.temperature), 1.0f);
    ASSERT_EQ(f.temperature, TemperatureFromRaw(f.temperatureRaw));
    ASSERT_EQ(f.humidity, HumidityFromRaw(f.humidityRaw));
    sensors.insert(f.sensorSerial);
    months.insert(f.month);
    if (i < 144 * 3) {  // the first day
      minT = std::min(minT, f.temperature);
      maxT = std::max(maxT, f.temperature);
    }
  }
  EXPECT_EQ(sensors, (std::set<uint16_t>{1001, 1002, 1003}));
  EXPECT_EQ(months, (std::set<int>{3, 4}));
  EXPECT_GT(maxT - minT, 5.0f) << "no daily cycle";

  // Rounds are 10 minutes apart from 02.03.2026 00:00: record 999 is round 333, 04.03. 07:30.
  const auto small = GenerateImage(1000, 42);
  EXPECT_TRUE(std::equal(small.begin(), small.begin() + 32000, image.begin()));
  EXPECT_TRUE(std::all_of(small.begin() + 32000, small.end(), [](uint8_t b) { return b == 0; }));
  const RecordFields last = ReadRecord(small.data() + 32 * 999);
  EXPECT_EQ(std::vector<int>({last.day, last.hour, last.minute, last.second, last.sensorSerial}),
            std::vector<int>({4, 7, 30, 0, 1001}));
  EXPECT_NE(GenerateImage(1000, 43), small);
}

}  // namespace
}  // namespace velmora
