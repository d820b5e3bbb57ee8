#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "DataBasics.h"
#include "data/Messwert.h"

using datatest::record;

TEST(Messwert, FieldsAreReadLittleEndianAtTheirOffsets) {
  const float humidity = 45.25f, temperature = -5.25f, ambient = 22.04f;
  uint8_t bytes[32] = {0x07, 9, 7, 14, 5, 3, 0xE1, 0x07};  // tick 7, 14:07:09, 05.03.2017
  uint32_t bits;
  std::memcpy(&bits, &humidity, 4);
  for (int i = 0; i < 4; ++i) bytes[8 + i] = static_cast<uint8_t>(bits >> (8 * i));
  std::memcpy(&bits, &temperature, 4);
  for (int i = 0; i < 4; ++i) bytes[12 + i] = static_cast<uint8_t>(bits >> (8 * i));
  const uint8_t counts[] = {0xD2, 0x04, 0x20, 0x4E, 0xFF, 0xFF};  // 1234, 20000, 65535
  std::memcpy(bytes + 16, counts, sizeof counts);
  std::memcpy(&bits, &ambient, 4);
  for (int i = 0; i < 4; ++i) bytes[22 + i] = static_cast<uint8_t>(bits >> (8 * i));
  for (int i = 26; i < 32; ++i) bytes[i] = static_cast<uint8_t>(0xA0 + i);

  // Packed fields are compared as copies: a reference to one may be misaligned.
  const messwert_tag r = messwert::fromBytes(bytes);
  EXPECT_EQ(r.tick, 7);
  EXPECT_EQ(r.second, 9);
  EXPECT_EQ(r.minute, 7);
  EXPECT_EQ(r.hour, 14);
  EXPECT_EQ(r.day, 5);
  EXPECT_EQ(r.month, 3);
  EXPECT_EQ(+r.year, 2017);
  EXPECT_EQ(+r.humidity, humidity);
  EXPECT_EQ(+r.temperature, temperature);
  EXPECT_EQ(+r.sensorSerialNumber, 1234);
  EXPECT_EQ(+r.humidityRaw, 20000);
  EXPECT_EQ(+r.temperatureRaw, 65535);
  EXPECT_EQ(+r.ambientTemperature, ambient);
  EXPECT_EQ(r.reserved[0], 0xA0 + 26);

  uint8_t back[32];
  messwert::toBytes(r, back);
  EXPECT_EQ(0, std::memcmp(bytes, back, 32));
  EXPECT_EQ(messwert::sortKey(r), 0x07E1'0305'0E07'0907ULL);
}

TEST(Messwert, ChecksumIsTheByteSumModulo256) {
  uint8_t bytes[32];
  for (int i = 0; i < 32; ++i) bytes[i] = 24;  // 32 * 24 = 0x300
  EXPECT_EQ(messwert::checksum(messwert::fromBytes(bytes)), 0);
  bytes[31] = 25;  // 0x301
  EXPECT_EQ(messwert::checksum(messwert::fromBytes(bytes)), 1);
  bytes[0] = 0xFF;  // every byte counts, the first as much as the last
  EXPECT_EQ(messwert::checksum(messwert::fromBytes(bytes)), static_cast<uint8_t>(0x301 - 24 + 0xFF));
}

TEST(Messwert, TimeIsCheckedBeforeTheGregorianDate) {
  struct Case {
    int year, month, day, hour, minute, second;
    const char* message;  // null: valid
  };
  const Case cases[] = {
      {2016, 2, 29, 0, 0, 0, nullptr},
      {2000, 2, 29, 23, 59, 59, nullptr},
      {9999, 12, 31, 0, 0, 0, nullptr},
      {1, 1, 1, 0, 0, 0, nullptr},
      {2017, 2, 29, 0, 0, 0, messwert::kDateMessage},
      {1900, 2, 29, 0, 0, 0, messwert::kDateMessage},
      {2017, 4, 31, 0, 0, 0, messwert::kDateMessage},
      {2017, 0, 1, 0, 0, 0, messwert::kDateMessage},
      {2017, 13, 1, 0, 0, 0, messwert::kDateMessage},
      {2017, 1, 0, 0, 0, 0, messwert::kDateMessage},
      {0, 1, 1, 0, 0, 0, messwert::kDateMessage},
      {10000, 1, 1, 0, 0, 0, messwert::kDateMessage},
      {2017, 1, 1, 24, 0, 0, messwert::kTimeMessage},
      {2017, 1, 1, 0, 60, 0, messwert::kTimeMessage},
      {2017, 1, 1, 0, 0, 60, messwert::kTimeMessage},
      {2017, 0, 1, 24, 0, 0, messwert::kTimeMessage},  // both wrong: the time is reported
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.year) + "-" + std::to_string(c.month) + "-" + std::to_string(c.day) + " " +
                 std::to_string(c.hour) + ":" + std::to_string(c.minute) + ":" + std::to_string(c.second));
    messwert::TimeStamp ts{};
    std::string message;
    const bool ok =
        messwert::timeStamp(record(c.year, c.month, c.day, c.hour, c.minute, c.second), ts, message);
    if (c.message == nullptr) {
      EXPECT_TRUE(ok);
      EXPECT_EQ(ts.year, c.year);
      EXPECT_EQ(ts.month, c.month);
      EXPECT_EQ(ts.day, c.day);
      EXPECT_EQ(ts.hour, c.hour);
      EXPECT_EQ(ts.minute, c.minute);
      EXPECT_EQ(ts.second, c.second);
    } else {
      EXPECT_FALSE(ok);
      EXPECT_EQ(message, c.message);
    }
  }
  // The messages are Windows-1252 bytes.
  EXPECT_EQ(std::string(messwert::kTimeMessage), "Ung\xFCltiges Argument zum Codieren der Uhrzeit");
  EXPECT_EQ(std::string(messwert::kDateMessage), "Ung\xFCltiges Argument zum Codieren des Datums");
}

namespace {
std::vector<uint16_t> serials(const std::vector<messwert_tag>& records) {
  std::vector<uint16_t> out;
  for (const auto& r : records) out.push_back(+r.sensorSerialNumber);
  return out;
}
}  // namespace

TEST(Messwert, SortIsTimeOrderWithTheFirstByteLast) {
  const messwert_tag newYearsEve = record(2016, 12, 31, 23, 59, 59, 1);
  const messwert_tag newYear = record(2017, 1, 1, 0, 0, 0, 2);
  for (bool reversed : {false, true}) {
    std::vector<messwert_tag> v = reversed ? std::vector<messwert_tag>{newYear, newYearsEve}
                                           : std::vector<messwert_tag>{newYearsEve, newYear};
    messwert::sortRecords(v);
    EXPECT_EQ(serials(v), (std::vector<uint16_t>{1, 2}));
  }

  messwert_tag tickHigh = record(2017, 5, 5, 10, 0, 0, 11), tickLow = record(2017, 5, 5, 10, 0, 0, 10);
  tickHigh.tick = 2;
  tickLow.tick = 1;
  // Month 13 is impossible but still ordered by its raw key: after December, before the next year.
  std::vector<messwert_tag> v = {record(2018, 1, 1, 0, 0, 0, 30),
                                 record(2017, 13, 1, 0, 0, 0, 31),
                                 record(2017, 12, 31, 23, 59, 59, 32),
                                 tickHigh,
                                 tickLow,
                                 record(2017, 5, 5, 9, 59, 59, 12)};
  messwert::sortRecords(v);
  EXPECT_EQ(serials(v), (std::vector<uint16_t>{12, 10, 11, 32, 31, 30}));
}

TEST(Messwert, SortKeepsImageOrderForEqualKeys) {
  // Enough records that an unstable sort would reorder equal keys.
  std::vector<messwert_tag> v;
  for (uint16_t i = 0; i < 600; ++i) {
    messwert_tag r = record(2017, 3, 1 + (599 - i) % 3, 12, 0, 0, i);
    r.humidity = static_cast<float>(i);  // rest of the record differs, the key does not
    v.push_back(r);
  }
  messwert::sortRecords(v);
  ASSERT_EQ(v.size(), 600u);
  for (size_t i = 1; i < v.size(); ++i) {
    ASSERT_LE(v[i - 1].day, v[i].day) << i;
    if (v[i - 1].day == v[i].day) {
      ASSERT_LT(+v[i - 1].sensorSerialNumber, +v[i].sensorSerialNumber) << i;
    }
  }
}
