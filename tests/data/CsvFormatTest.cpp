#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "DataBasics.h"
#include "data/CsvWriter.h"
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

// The one writer of every CSV file: a download's comment follows the record's check sum, a record
// read back follows the flag kept with it (its check bytes are gone); an impossible time stamp gives
// no line and says why.
TEST(CsvLine, WriterTakesTheCommentByItsRule) {
  const messwert_tag good = record(2017, 3, 5, 14, 7, 9);
  const messwert_tag bad = datatest::withBadChecksum(good);
  const std::string plain = "05.03.2017 14:07:09;1234;45,3;21,0;20000;10000;22,0;\r\n";
  const std::string commented = "05.03.2017 14:07:09;1234;45,3;21,0;20000;10000;22,0;Check sum error\r\n";
  const csv::Writer download(RegionalFormat::german(), csv::CommentRule::RecordChecksum);
  const csv::Writer kept(RegionalFormat::german(), csv::CommentRule::Flag);
  std::string text;
  download.header(text, "Logger;");
  EXPECT_EQ(text, std::string("Logger;") + csv::kHeader + "\r\n");
  const struct {
    const csv::Writer& writer;
    const messwert_tag& r;
    bool flagged;
    const std::string& line;
  } cases[] = {{download, good, true, plain},
               {download, bad, false, commented},
               {kept, good, true, commented},
               {kept, bad, false, plain}};
  for (const auto& c : cases) {
    text.assign("x");
    size_t dateLength = 0;
    EXPECT_TRUE(c.writer.line(text, c.r, c.flagged, nullptr, &dateLength));
    EXPECT_EQ(text, "x" + c.line);
    EXPECT_EQ(dateLength, std::strlen("05.03.2017 14:07:09"));
  }
  std::string why;
  text.clear();
  EXPECT_FALSE(download.line(text, record(2017, 2, 30, 14, 7, 9), false, &why));
  EXPECT_EQ(text, "");
  EXPECT_EQ(why, messwert::kDateMessage);
}

namespace {

// The number rules worked out on the C library's exact decimal text of the value (a double holds
// every float exactly): one decimal, half away from zero; at most eight significant digits; past
// eight integer digits "d,ddddddd" with trailing zeros dropped and "E" and the power of ten.
std::string referenceValue(float value, char sep) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  char text[512];
  std::snprintf(text, sizeof text, "%.160f", std::fabs(static_cast<double>(value)));
  std::string whole = text, fraction;
  const size_t point = whole.find('.');
  fraction = whole.substr(point + 1);
  whole.resize(point);
  whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size()));
  std::string digits = whole + fraction;  // the value is 0.digits * 10^exponent, digits maybe led by zeros
  int exponent = static_cast<int>(whole.size());
  const int kept = whole.size() > 8 ? 8 : static_cast<int>(whole.size()) + (whole.size() == 8 ? 0 : 1);
  const bool up = digits[static_cast<size_t>(kept)] >= '5';
  digits.resize(static_cast<size_t>(kept));
  digits.insert(digits.begin(), '0');  // room for a carry
  if (up) {
    size_t i = digits.size();
    while (digits[i - 1] == '9') digits[--i] = '0';
    ++digits[i - 1];
  }
  if (digits[0] == '1')
    ++exponent;
  else
    digits.erase(0, 1);
  // digits: the rounded value's integer digits (exponent of them) and, below nine of them, its tenths.
  const bool zero = digits.find_first_not_of('0') == std::string::npos;
  std::string out = value < 0 && !zero ? "-" : "";
  if (exponent > 8) {
    const std::string mantissa = digits.substr(1, digits.find_last_not_of('0'));
    out +=
        digits.substr(0, 1) + (mantissa.empty() ? "" : sep + mantissa) + "E" + std::to_string(exponent - 1);
    return out;
  }
  std::string integer = digits.substr(0, static_cast<size_t>(exponent));
  const char tenth =
      static_cast<size_t>(exponent) < digits.size() ? digits[static_cast<size_t>(exponent)] : '0';
  return out + (integer.empty() ? "0" : integer) + sep + tenth;
}

}  // namespace

// The integer arithmetic of the export against the rules on the exact decimal text, over every range
// of magnitudes: random bit patterns, values spread over 10^-3 to 10^10, the exact halves a float can
// hold (x.25, x.75) and their neighbours, eight-digit integers, and the edges.
TEST(CsvNumber, AgreesWithTheRulesOnTheExactValueOverEveryMagnitude) {
  std::vector<float> values = {0.0f,
                               -0.0f,
                               0.05f,
                               0.15f,
                               -0.15f,
                               0.25f,
                               0.45f,
                               0.95f,
                               99999999.95f,
                               1e8f,
                               -1e8f,
                               9999999.0f,
                               10000001.0f,
                               16777215.0f,
                               16777216.0f,
                               99999992.0f,
                               100000008.0f,
                               1e-45f,
                               FLT_MIN,
                               1.1754942e-38f,
                               FLT_MAX,
                               -FLT_MAX,
                               1e38f,
                               8388607.5f,
                               4194303.75f,
                               std::numeric_limits<float>::infinity(),
                               -std::numeric_limits<float>::infinity(),
                               std::numeric_limits<float>::quiet_NaN()};
  std::mt19937 random(20260712);
  std::uniform_int_distribution<uint32_t> bits;
  std::uniform_real_distribution<double> power(-3, 10);
  std::uniform_int_distribution<int32_t> small(-2097151, 2097151), large(10000000, 16777215);
  for (int i = 0; i < 10000; ++i) {
    const uint32_t b = bits(random);
    float v;
    std::memcpy(&v, &b, sizeof v);
    values.push_back(v);
    const float spread = static_cast<float>(std::pow(10.0, power(random))) * (i % 2 ? -1.0f : 1.0f);
    values.push_back(spread);
    values.push_back(std::nextafter(spread, 0.0f));
    const float tie = static_cast<float>(small(random)) + (i % 2 ? 0.25f : -0.75f);
    values.push_back(tie);
    values.push_back(std::nextafter(tie, 1e9f));
    values.push_back(std::nextafter(tie, -1e9f));
    values.push_back(static_cast<float>(large(random)));
    values.push_back(static_cast<float>(small(random)) * 0.05f);
  }
  for (const float v : values) {
    for (const char sep : {',', '.'}) {
      char text[64];
      std::snprintf(text, sizeof text, "%.9g", static_cast<double>(v));
      ASSERT_EQ(csv::formatValue(v, sep), referenceValue(v, sep)) << text;
    }
  }
}

// Patterns and lines longer than any buffer the formatting uses on its way.
TEST(CsvLine, LongPatternsAreWrittenWhole) {
  const std::string literal(300, 'x');
  RegionalFormat format = RegionalFormat::german();
  format.shortDate = "'" + literal + "' dd.MM.yyyy " + std::string(200, '-');
  format.longTime = "HH:mm:ss" + std::string(130, '.') + "ss";
  const messwert::TimeStamp ts{2017, 3, 5, 14, 7, 9};
  const std::string date = literal + " 05.03.2017 " + std::string(200, '-');
  const std::string time = "14:07:09" + std::string(130, '.') + "09";
  EXPECT_EQ(csv::formatDateTime(ts, format), date + " " + time);
  EXPECT_EQ(csv::formatLine(datatest::withBadChecksum(record(2017, 3, 5, 14, 7, 9)), ts, format),
            date + " " + time + ";1234;45,3;21,0;20000;10000;22,0;Check sum error\r\n");
}
