#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "HistorySupport.h"
#include "data/RegionalFormat.h"
#include "history/History.h"

using historytest::record;
using historytest::TempDir;

namespace {

std::string lineOf(const messwert_tag& r, const RegionalFormat& format) {
  messwert::TimeStamp ts;
  std::string message;
  EXPECT_TRUE(messwert::timeStamp(r, ts, message));
  return csv::formatLine(r, ts, format);
}

const std::string kHeaderLine = std::string(csv::kHeader) + "\r\n";

}  // namespace

TEST(CsvFile, RoundTripInBothRegionalFormats) {
  std::vector<messwert_tag> records = {
      record(2017, 3, 5, 14, 7, 9),    record(2017, 3, 7, 0, 0, 0, 6),  // time left out
      record(2017, 3, 7, 0, 5, 0, 7),  record(2017, 12, 31, 12, 30, 59, 65535),
      record(2024, 2, 29, 23, 59, 59), historytest::withBadChecksum(record(2017, 3, 8, 1, 2, 3, 8)),
      record(1, 1, 1, 9, 0, 0),        record(9999, 12, 31, 23, 0, 0),
  };
  records[1].humidity = std::numeric_limits<float>::quiet_NaN();
  records[1].temperature = std::numeric_limits<float>::infinity();
  records[1].ambientTemperature = -std::numeric_limits<float>::infinity();
  records[2].humidity = 1.5e9f;
  records[2].temperature = -5.25f;
  records[2].ambientTemperature = 1234567.5f;
  records[3].temperature = -0.04f;
  records[3].humidityRaw = 0;
  records[3].temperatureRaw = 65535;
  records[4].humidity = 99.75f;
  records[4].ambientTemperature = 3e38f;
  TempDir dir;
  for (const RegionalFormat& format : {RegionalFormat::german(), RegionalFormat::english()}) {
    SCOPED_TRACE(format.shortDate);
    std::string text = kHeaderLine;
    for (const auto& r : records) text += lineOf(r, format);
    historytest::writeFile(dir / "m.csv", text);

    std::vector<messwert_tag> read;
    std::vector<bool> flags;
    std::string error;
    ASSERT_TRUE(history::readCsvFile(dir / "m.csv", read, flags, error)) << error;
    ASSERT_EQ(read.size(), records.size());
    ASSERT_EQ(flags.size(), records.size());
    for (size_t i = 0; i < records.size(); ++i) {
      SCOPED_TRACE(i);
      const messwert_tag& a = records[i];
      const messwert_tag& b = read[i];
      EXPECT_EQ(messwert::sortKey(b), messwert::sortKey(a) & ~0xFFull);  // tick zero, time stamp equal
      EXPECT_EQ(b.sensorSerialNumber, a.sensorSerialNumber);
      EXPECT_EQ(b.humidityRaw, a.humidityRaw);
      EXPECT_EQ(b.temperatureRaw, a.temperatureRaw);
      const char sep = format.decimalSeparator;
      EXPECT_EQ(csv::formatValue(b.humidity, sep), csv::formatValue(a.humidity, sep));
      EXPECT_EQ(csv::formatValue(b.temperature, sep), csv::formatValue(a.temperature, sep));
      EXPECT_EQ(csv::formatValue(b.ambientTemperature, sep), csv::formatValue(a.ambientTemperature, sep));
      EXPECT_EQ(flags[i], messwert::checksum(a) != 0);
      for (uint8_t byte : b.reserved) EXPECT_EQ(byte, 0);
    }
  }
  // A file with the header alone holds no records; LF alone ends a line too.
  historytest::writeFile(dir / "empty.csv", std::string(csv::kHeader) + "\n");
  std::vector<messwert_tag> read{record(2017, 1, 1, 0, 0, 0)};
  std::vector<bool> flags;
  std::string error;
  EXPECT_TRUE(history::readCsvFile(dir / "empty.csv", read, flags, error)) << error;
  EXPECT_TRUE(read.empty());
}

// The command line in the C locale writes two-digit years and a 24-hour clock.
TEST(CsvFile, TheCLocalesFormReadsBack) {
  const RegionalFormat cLocale{"MM/dd/yy", "HH:mm:ss", '.', "AM", "PM"};
  const std::vector<messwert_tag> records = {record(2026, 3, 2, 0, 0, 0), record(2026, 3, 2, 13, 40, 6),
                                             record(2000, 12, 31, 23, 59, 59)};
  std::string text = kHeaderLine;
  for (const auto& r : records) text += lineOf(r, cLocale);
  TempDir dir;
  historytest::writeFile(dir / "c.csv", text);
  std::vector<messwert_tag> read;
  std::vector<bool> flags;
  std::string error;
  ASSERT_TRUE(history::readCsvFile(dir / "c.csv", read, flags, error)) << error;
  ASSERT_EQ(read.size(), records.size());
  for (size_t i = 0; i < records.size(); ++i)
    EXPECT_EQ(messwert::sortKey(read[i]), messwert::sortKey(records[i]) & ~0xFFull) << i;
}

TEST(CsvFile, ForeignFilesAreRefusedNamingTheFileAndTheLine) {
  const std::string good = lineOf(record(2017, 3, 5, 14, 7, 9), RegionalFormat::german());
  const std::string english = lineOf(record(2017, 3, 5, 14, 7, 9), RegionalFormat::english());
  struct Case {
    std::string content;
    int line;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {"", 1, "empty"},
      {"Date,Serial,Humidity\r\n1,2,3\r\n", 1, "\"Date,Serial,Humidity\""},
      {kHeaderLine + good + "07.03.2017 25:00:00;1;45,3;21,0;20000;10000;22,0;\r\n", 3, "25:00:00"},
      {kHeaderLine + good + english, 3, "3/5/2017 2:07:09 PM"},
      {kHeaderLine + "3/5/2017;1234;45,3;21,0;20000;10000;22,0;\r\n", 2, "humidity"},
      {kHeaderLine + "05.03.2017;1234;45,3;21,0;20000;10000;22,0;;\r\n", 2, "not 8 fields"},
      {kHeaderLine + "05.03.2017;1234;45,3;21,0;70000;10000;22,0;\r\n", 2, "humidity raw count"},
      {kHeaderLine + "05.03.2017;1234;45,3;21,0;20000;10000;22,0;Checked\r\n", 2, "comment"},
      {kHeaderLine + "30.02.2017;1234;45,3;21,0;20000;10000;22,0;\r\n", 2, "date and time"},
      {kHeaderLine + "\r\n" + good, 3, "after an empty line"},
      {kHeaderLine + std::string("05.03.2017\0;1", 13) + "\r\n", 2, "05.03.2017\\x00;1"},
      {kHeaderLine + good + std::string(1 << 20, 'x'), 3, "longer than 256 bytes"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    const std::string path = dir / "foreign.csv";
    historytest::writeFile(path, c.content);
    std::vector<messwert_tag> read;
    std::vector<bool> flags;
    std::string error;
    EXPECT_FALSE(history::readCsvFile(path, read, flags, error));
    EXPECT_NE(error.find("\"" + path + "\" line " + std::to_string(c.line) + " "), std::string::npos)
        << error;
    EXPECT_NE(error.find(c.shown), std::string::npos) << error;
    EXPECT_LT(error.size(), 250u) << error;
    EXPECT_TRUE(read.empty());
  }

  // Neither a FIFO (a blocking read would hang) nor a file past the size limit is read.
  const std::string fifo = dir / "fifo.csv";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string big = dir / "big.csv";
  historytest::writeFile(big, kHeaderLine);
  ASSERT_EQ(::truncate(big.c_str(), history::kMaxCsvFileSize + 1), 0);
  for (const std::string& path : {fifo, big, dir / "missing.csv"}) {
    std::vector<messwert_tag> read;
    std::vector<bool> flags;
    std::string error;
    EXPECT_FALSE(history::readCsvFile(path, read, flags, error));
    EXPECT_NE(error.find(path), std::string::npos) << error;
  }
}
