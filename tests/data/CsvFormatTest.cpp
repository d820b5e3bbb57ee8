#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "DataBasics.h"
#include "data/RegionalFormat.h"

using datatest::record;

TEST(CsvNumber, OneDecimalRoundedHalfAwayFromZeroOnTheExactValue) {
  struct Case {
    float value;
    const char* comma;
  };
  const Case cases[] = {
      {-5.25f, "-5,3"},
      {-0.04f, "0,0"},   // rounds to zero: no sign
      {-0.05f, "-0,1"},  // 0.0500000007... is above the half
      {45.25f, "45,3"},
      {45.24f, "45,2"},
      {0.25f, "0,3"},
      {-0.25f, "-0,3"},
      {0.35f, "0,3"},  // 0.3499999940...: an exact half only where the binary value is one
      {0.95f, "0,9"},
      {9.95f, "9,9"},
      {99.75f, "99,8"},
      {0.0f, "0,0"},
      {-0.0f, "0,0"},
      {21.0f, "21,0"},
      {22.04f, "22,0"},
      {65535.0f, "65535,0"},
      {1e-45f, "0,0"},  // the smallest denormal
      {1234567.5f, "1234567,5"},
      {12345678.0f, "12345678,0"},
      {99999992.0f, "99999992,0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(csv::formatValue(c.value, ','), c.comma);
    std::string point = c.comma;
    for (char& ch : point)
      if (ch == ',') ch = '.';
    EXPECT_EQ(csv::formatValue(c.value, '.'), point);
  }
}

// The C library prints the exact binary value of a double when asked for enough places; rounding
// that text by hand is an independent check of the exact arithmetic over many magnitudes.
TEST(CsvNumber, AgreesWithTheExactExpansionOverManyValues) {
  std::mt19937 random(20170305);
  std::uniform_int_distribution<uint32_t> bits;
  int checked = 0;
  while (checked < 20000) {
    const uint32_t b = bits(random);
    float value;
    std::memcpy(&value, &b, sizeof value);
    if (!std::isfinite(value) || std::fabs(value) >= 1e7f) continue;
    char text[256];
    std::snprintf(text, sizeof text, "%.160f", std::fabs(static_cast<double>(value)));
    const std::string s = text;
    const size_t point = s.find('.');
    const long long tenths =
        std::stoll(s.substr(0, point)) * 10 + (s[point + 1] - '0') + (s[point + 2] >= '5' ? 1 : 0);
    const std::string expected = std::string(value < 0 && tenths != 0 ? "-" : "") +
                                 std::to_string(tenths / 10) + "," + std::to_string(tenths % 10);
    ASSERT_EQ(csv::formatValue(value, ','), expected) << text;
    ++checked;
  }
}

TEST(CsvNumber, MoreThanEightIntegerDigitsGoScientific) {
  EXPECT_EQ(csv::formatValue(1e9f, ','), "1E9");
  EXPECT_EQ(csv::formatValue(1.5e9f, ','), "1,5E9");
  EXPECT_EQ(csv::formatValue(-1.5e9f, '.'), "-1.5E9");
  EXPECT_EQ(csv::formatValue(1e8f, ','), "1E8");                  // 100000000: nine digits
  EXPECT_EQ(csv::formatValue(123456789.0f, ','), "1,2345679E8");  // stored as 123456792
  EXPECT_EQ(csv::formatValue(FLT_MAX, ','), "3,4028235E38");      // 3.40282346638...E38 rounds up
  EXPECT_EQ(csv::formatValue(-FLT_MAX, ','), "-3,4028235E38");
  EXPECT_EQ(csv::formatValue(std::numeric_limits<float>::infinity(), ','), "INF");
  EXPECT_EQ(csv::formatValue(-std::numeric_limits<float>::infinity(), ','), "-INF");
  EXPECT_EQ(csv::formatValue(std::numeric_limits<float>::quiet_NaN(), ','), "NAN");
  EXPECT_EQ(csv::formatValue(-std::numeric_limits<float>::quiet_NaN(), ','), "NAN");
}

TEST(CsvDate, RegionalPatternsAndMidnight) {
  const RegionalFormat de = RegionalFormat::german(), en = RegionalFormat::english();
  EXPECT_EQ(csv::formatDateTime({2017, 3, 5, 14, 7, 9}, de), "05.03.2017 14:07:09");
  EXPECT_EQ(csv::formatDateTime({2017, 3, 5, 14, 7, 9}, en), "3/5/2017 2:07:09 PM");
  EXPECT_EQ(csv::formatDateTime({2017, 3, 5, 0, 0, 0}, de), "05.03.2017");
  EXPECT_EQ(csv::formatDateTime({2017, 3, 5, 0, 0, 0}, en), "3/5/2017");
  EXPECT_EQ(csv::formatDateTime({2017, 3, 5, 0, 0, 1}, de), "05.03.2017 00:00:01");
  EXPECT_EQ(csv::formatDateTime({2017, 3, 5, 0, 0, 1}, en), "3/5/2017 12:00:01 AM");
  EXPECT_EQ(csv::formatDateTime({2017, 11, 25, 12, 30, 0}, en), "11/25/2017 12:30:00 PM");
  EXPECT_EQ(csv::formatDateTime({5, 1, 2, 3, 4, 5}, de), "02.01.0005 03:04:05");

  // Quoted text and '' are copied; y and yy give the year in the century; t the designator's first letter.
  const RegionalFormat custom{"d 'de' M yy, y", "H'h'mm''ss t", '.', "vorm.", "nachm."};
  EXPECT_EQ(csv::formatDateTime({2007, 6, 9, 15, 4, 3}, custom), "9 de 6 07, 7 15h04'03 n");
}

TEST(CsvLine, ExampleLineByteForByte) {
  const messwert_tag good = record(2017, 3, 5, 14, 7, 9);
  messwert::TimeStamp ts{2017, 3, 5, 14, 7, 9};
  EXPECT_EQ(csv::formatLine(good, ts, RegionalFormat::german()),
            "05.03.2017 14:07:09;1234;45,3;21,0;20000;10000;22,0;\r\n");
  EXPECT_EQ(csv::formatLine(datatest::withBadChecksum(good), ts, RegionalFormat::german()),
            "05.03.2017 14:07:09;1234;45,3;21,0;20000;10000;22,0;Check sum error\r\n");
  EXPECT_EQ(csv::formatLine(good, ts, RegionalFormat::english()),
            "3/5/2017 2:07:09 PM;1234;45.3;21.0;20000;10000;22.0;\r\n");

  // Counts are unsigned.
  messwert_tag big = good;
  big.sensorSerialNumber = 65535;
  big.humidityRaw = 65535;
  big.temperatureRaw = 32768;
  big.temperature = -5.25f;
  big.reserved[5] = static_cast<uint8_t>(big.reserved[5] - messwert::checksum(big));
  EXPECT_EQ(csv::formatLine(big, ts, RegionalFormat::german()),
            "05.03.2017 14:07:09;65535;45,3;-5,3;65535;32768;22,0;\r\n");
}
