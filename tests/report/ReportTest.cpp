// The report read back as a reader's tools see it: its text through pdftotext, its pages through
// pdfinfo.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "history/Digest.h"
#include "history/Excursions.h"
#include "report/Report.h"
#include "tests/history/HistorySupport.h"

namespace {

struct Read {
  std::string text;  // pdftotext, in reading order
  int pages = 0;     // pdfinfo
};

Read readBack(const std::string& pdf) {
  char pattern[] = "/tmp/tarnwick-report-XXXXXX";
  const std::filesystem::path dir = ::mkdtemp(pattern);
  const std::string file = (dir / "report.pdf").string();
  std::ofstream(file, std::ios::binary) << pdf;
  Read out;
  // Rows as they stand on the page; where a line breaks and how wide a gap is are the layout's business.
  for (char c : historytest::commandOutput("pdftotext -layout -enc UTF-8 '" + file + "' -")) {
    const bool blank = c == ' ' || c == '\n' || c == '\f';
    if (!blank || (!out.text.empty() && out.text.back() != ' ')) out.text += blank ? ' ' : c;
  }
  const std::string info = historytest::commandOutput("pdfinfo '" + file + "'");
  const size_t at = info.find("Pages:");
  if (at != std::string::npos) out.pages = std::atoi(info.c_str() + at + 6);
  std::filesystem::remove_all(dir);
  return out;
}

history::StoredRecord reading(int64_t time, uint16_t sensor, float temperature, float humidity = 50) {
  history::StoredRecord r{};
  r.logger = "VLM12345";
  r.record = messwert_tag{};
  std::time_t t = static_cast<std::time_t>(time);
  std::tm parts{};
  gmtime_r(&t, &parts);
  r.record.year = static_cast<uint16_t>(parts.tm_year + 1900);
  r.record.month = static_cast<uint8_t>(parts.tm_mon + 1);
  r.record.day = static_cast<uint8_t>(parts.tm_mday);
  r.record.hour = static_cast<uint8_t>(parts.tm_hour);
  r.record.minute = static_cast<uint8_t>(parts.tm_min);
  r.record.second = static_cast<uint8_t>(parts.tm_sec);
  r.record.sensorSerialNumber = sensor;
  r.record.temperature = temperature;
  r.record.humidity = humidity;
  r.time = time;
  r.download = 1;
  return r;
}

constexpr int64_t kStart = 1772422800;  // 2026-03-02 03:40:00

// Two sensors a minute apart for a day, 2 to 8 °C, sensor 1 going above 8 °C once for 40 minutes
// (an alarm with a 15 minute delay) and once for 5 minutes (none), with a gap of two hours.
report::Input dataSet() {
  report::Input input;
  input.serial = "VLM12345";
  input.firmware = "2.07";
  // The clock was set in winter time, before the readings.
  input.clock.emplace(
      std::vector<history::ClockZoneRow>{
          {kStart - 86400, history::Zone{"Europe/Berlin", 3600}, history::ClockZoneKind::setTime}},
      history::Zone{});
  input.version = "9.8.7";
  input.madeAt = kStart + 2 * 86400;
  for (int64_t minute = 0; minute < 24 * 60; ++minute) {
    if (minute >= 600 && minute < 720) continue;  // the gap
    for (uint16_t sensor : {1, 2}) {
      float t = 5;
      if (sensor == 1 && minute >= 100 && minute < 140) t = 9.5f + static_cast<float>(minute % 3);
      if (sensor == 1 && minute >= 300 && minute < 305) t = 8.4f;
      input.records.push_back(reading(kStart + minute * 60, sensor, t));
    }
  }
  input.records[7].checksumError = true;
  history::Limits limits;
  limits.temperature.lower = 2;
  limits.temperature.upper = 8;
  limits.temperature.delay = 15 * 60;
  input.limits[1] = input.limits[2] = limits;
  input.limitChange = "2026-03-01T10:00:00+01:00 by quality: temperature :  ->  2:8";
  report::Source& source = input.sources[1];
  source.when = kStart + 86400 + 600;
  source.file = "/home/quality/first.csv";
  source.host = "lab-pc";
  source.user = "quality";
  source.device = "USB";
  return input;
}

class ReportTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gui_ = new report::GuiSession; }
  static void TearDownTestSuite() {
    delete gui_;
    gui_ = nullptr;
  }
  static report::GuiSession* gui_;
};
report::GuiSession* ReportTest::gui_ = nullptr;

TEST_F(ReportTest, TextPagesVerdictDigestAndSignOffAsAReaderSeesThem) {
  const report::Input input = dataSet();
  std::string pdf, error;
  report::Summary summary;
  ASSERT_TRUE(report::makePdf(input, pdf, summary, error)) << error;
  const Read read = readBack(pdf);
  ASSERT_GT(read.pages, 1);
  EXPECT_EQ(summary.pages, read.pages);
  const std::string n = std::to_string(read.pages);
  EXPECT_NE(read.text.find("Page 1 of " + n), std::string::npos) << read.text;
  EXPECT_NE(read.text.find("Page " + n + " of " + n), std::string::npos);

  // One alarm (40 minutes above 8 °C), the 5 minutes above not.
  EXPECT_EQ(summary.alarms, 1);
  const std::string verdict =
      "Verdict: 1 alarm: sensor 1 temperature above 8 \xC2\xB0"
      "C from 2026-03-02T05:20:00+01:00 for 40 min";
  EXPECT_NE(read.text.find(verdict), std::string::npos) << read.text;

  EXPECT_EQ(summary.digest, history::readingsDigest(input.records, input.clock ? &*input.clock : nullptr));
  // The times and offsets shown are part of what the digest vouches for.
  EXPECT_NE(summary.digest, history::readingsDigest(input.records));
  EXPECT_NE(read.text.find(summary.digest), std::string::npos);

  for (const char* expected :
       {"Prepared by", "Reviewed by", "Date", "Signature", "2.07", "Europe/Berlin (UTC+01:00)",
        "Tarnwick 9.8.7", "lab-pc", "quality",
        "1 min (the usual step between readings); 2 gaps longer than 2 min",
        "2026-03-02T03:40:00+01:00 to 2026-03-03T03:39:00+01:00", "by quality: temperature",
        "in the logger's clock, with its offset from UTC", "this report's making in UTC"})
    EXPECT_NE(read.text.find(expected), std::string::npos) << expected;

  // Plain letters, as written: a path or a heading copied from the report is the one it shows.
  for (const char* plain : {"/home/quality/first.csv", "Sign-off"})
    EXPECT_NE(read.text.find(plain), std::string::npos) << plain << " in " << read.text;
  for (const char* ligature :
       {"\xEF\xAC\x80", "\xEF\xAC\x81", "\xEF\xAC\x82", "\xEF\xAC\x83", "\xEF\xAC\x84"})
    EXPECT_EQ(read.text.find(ligature), std::string::npos);
}

TEST_F(ReportTest, LongExcursionTableGoesOnOverPages) {
  report::Input input = dataSet();
  input.limits[1].temperature.upper = 4.5;  // sensor 1 is outside the whole day but for the swings below
  for (size_t i = 0; i < input.records.size(); i += 4) input.records[i].record.temperature = 4;
  std::string pdf, error;
  report::Summary summary;
  ASSERT_TRUE(report::makePdf(input, pdf, summary, error)) << error;
  const Read read = readBack(pdf);
  EXPECT_GE(read.pages, 8);
  EXPECT_EQ(summary.pages, read.pages);
  // Every row is there (numbered), the last one pages after the first.
  const size_t count =
      history::findExcursions(input.records, [&](uint16_t s) { return input.limits[s]; }).excursions.size();
  ASSERT_GT(count, 600u);
  const size_t first = read.text.find(" 1 1 Temp. above ");
  const size_t last = read.text.find(" " + std::to_string(count) + " 1 Temp. above ");
  const size_t third = read.text.find("Page 3 of");
  EXPECT_LT(first, third);
  EXPECT_NE(last, std::string::npos);
  EXPECT_LT(third, last);
}

// The clock set again in summer time during the readings: each time is shown with the offset the
// clock had then, and the zone line says where it changed.
TEST_F(ReportTest, ClockSetAgainGivesEachTimeItsOffset) {
  report::Input input = dataSet();
  input.clock.emplace(
      std::vector<history::ClockZoneRow>{
          {kStart - 86400, history::Zone{"Europe/Berlin", 3600}, history::ClockZoneKind::setTime},
          {kStart + 6 * 3600, history::Zone{"Europe/Berlin", 7200}, history::ClockZoneKind::setTime}},
      history::Zone{});
  std::string pdf, error;
  report::Summary summary;
  ASSERT_TRUE(report::makePdf(input, pdf, summary, error)) << error;
  const Read read = readBack(pdf);
  EXPECT_NE(
      read.text.find("Europe/Berlin (UTC+01:00) from 2026-03-02T03:40:00+01:00 to 2026-03-02T11:39:00+01:00; "
                     "Europe/Berlin (UTC+02:00) from 2026-03-02T11:40:00+02:00 to 2026-03-03T03:39:00+02:00"),
      std::string::npos)
      << read.text;
  // The excursion before the change and the gap after it.
  EXPECT_NE(read.text.find("2026-03-02T05:20:00+01:00"), std::string::npos);
  EXPECT_NE(read.text.find("2026-03-02T13:39:00+02:00"), std::string::npos);

  // No zone recorded: times carry the zone taken in its place, and the report says it was taken.
  input.clock.emplace(std::vector<history::ClockZoneRow>{}, history::Zone{"Europe/Berlin", 3600});
  ASSERT_TRUE(report::makePdf(input, pdf, summary, error)) << error;
  const std::string assumed = readBack(pdf).text;
  EXPECT_NE(assumed.find("not recorded; taken as this computer's zone, Europe/Berlin (UTC+01:00)"),
            std::string::npos)
      << assumed;
  EXPECT_NE(assumed.find("2026-03-02T05:20:00+01:00"), std::string::npos);
}

TEST_F(ReportTest, CancelStopsWithoutAPdf) {
  std::string pdf, error;
  report::Summary summary;
  EXPECT_FALSE(report::makePdf(dataSet(), pdf, summary, error, [](double done) { return done < 0.3; }));
  EXPECT_EQ(error, "cancelled");
  EXPECT_TRUE(pdf.empty());
}

}  // namespace
