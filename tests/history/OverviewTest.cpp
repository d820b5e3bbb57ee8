#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "HistorySupport.h"
#include "common/PgServer.h"
#include "history/History.h"

using historytest::record;
using historytest::TempDir;

namespace {

// The same tests against the local file and against a database of the tests' own PostgreSQL server.
struct Overview : ::testing::TestWithParam<bool> {
  TempDir dir;
  history::Store store;
  std::string error;

  void SetUp() override {
    std::string location = dir / "measurements.sqlite";
    if (GetParam()) {
      pgtest::Server& server = pgtest::Server::shared();
      ASSERT_TRUE(server.running()) << server.error();
      location = server.freshDatabase();
      ASSERT_FALSE(location.empty()) << server.error();
    }
    ASSERT_TRUE(store.open(location, error)) << error;
  }
  void download(const std::string& logger, const std::vector<messwert_tag>& records) {
    history::ImportResult result;
    ASSERT_TRUE(store.importDownload(logger, "/tmp/" + logger + ".csv", records, result, error)) << error;
  }
};

// The same cells worked out from every stored record.
std::vector<history::EnvelopeCell> bruteForce(history::Store& store, const history::EnvelopeQuery& q) {
  std::vector<history::StoredRecord> records;
  history::Query all;
  all.logger = q.logger;
  std::string error;
  EXPECT_TRUE(store.query(all, records, error)) << error;
  std::map<std::pair<uint16_t, int>, history::EnvelopeCell> cells;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const auto widen = [](double& low, double& high, float value) {
    if (!std::isfinite(value)) return;
    if (std::isnan(low) || value < low) low = value;
    if (std::isnan(high) || value > high) high = value;
  };
  for (const history::StoredRecord& r : records) {
    if (r.checksumError || r.time < q.from || r.time > q.to) continue;
    const uint16_t sensor = r.record.sensorSerialNumber;
    if (!q.sensors.empty() && std::find(q.sensors.begin(), q.sensors.end(), sensor) == q.sensors.end())
      continue;
    const int column = history::envelopeColumn(q, r.time);
    auto [it, fresh] = cells.try_emplace({sensor, column});
    history::EnvelopeCell& c = it->second;
    if (fresh) {
      c = history::EnvelopeCell{sensor, column, 0, r.time, r.time, nan, nan, nan, nan, nan, nan};
    }
    ++c.readings;
    c.first = std::min(c.first, r.time);
    c.last = std::max(c.last, r.time);
    widen(c.humidityMin, c.humidityMax, r.record.humidity);
    widen(c.temperatureMin, c.temperatureMax, r.record.temperature);
    widen(c.ambientMin, c.ambientMax, r.record.ambientTemperature);
  }
  std::vector<history::EnvelopeCell> out;
  for (const auto& [key, cell] : cells) out.push_back(cell);
  return out;
}

void expectSame(const std::vector<history::EnvelopeCell>& got, const std::vector<history::EnvelopeCell>& want,
                const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  const auto same = [](double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; };
  for (size_t i = 0; i < got.size(); ++i) {
    const history::EnvelopeCell &g = got[i], &w = want[i];
    EXPECT_EQ(g.sensor, w.sensor) << what << " cell " << i;
    EXPECT_EQ(g.column, w.column) << what << " cell " << i;
    EXPECT_EQ(g.readings, w.readings) << what << " cell " << i;
    EXPECT_EQ(g.first, w.first) << what << " cell " << i;
    EXPECT_EQ(g.last, w.last) << what << " cell " << i;
    for (auto [a, b] : {std::pair{g.humidityMin, w.humidityMin},
                        {g.humidityMax, w.humidityMax},
                        {g.temperatureMin, w.temperatureMin},
                        {g.temperatureMax, w.temperatureMax},
                        {g.ambientMin, w.ambientMin},
                        {g.ambientMax, w.ambientMax}})
      EXPECT_TRUE(same(a, b)) << what << " cell " << i << ": " << a << " vs " << b;
  }
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(, Overview, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "PostgreSQL" : "SQLite";
});

// The database's lowest and highest values per column are those of the readings themselves: at the
// edges of columns, with empty columns between, a single reading, flagged records and values that
// are not numbers left out, and another logger's readings at the same times kept apart.
TEST_P(Overview, TheEnvelopeIsTheMinimumAndMaximumOfEachColumnsReadings) {
  std::vector<messwert_tag> memory;
  for (int i = 0; i < 300; ++i) {
    // Irregular steps: bursts of readings a second apart, then pauses.
    const int second = (i % 10) + (i / 10) * 97;
    messwert_tag r =
        record(2026, 4, 1, second / 3600, second / 60 % 60, second % 60, static_cast<uint16_t>(1 + i % 3));
    r.humidity = static_cast<float>(40 + (i * 37) % 23);
    r.temperature = static_cast<float>(-5 + (i * 11) % 17) / 4;
    if (i % 29 == 0) r.ambientTemperature = std::numeric_limits<float>::quiet_NaN();
    if (i % 31 == 0) r.temperature = std::numeric_limits<float>::infinity();
    r.reserved[5] = 0;
    r.reserved[5] = static_cast<uint8_t>(0x100 - messwert::checksum(r));
    memory.push_back(i % 13 == 0 ? historytest::withBadChecksum(r) : r);
  }
  download("VLM1", memory);
  std::vector<messwert_tag> other = memory;
  for (messwert_tag& r : other) r.humidity = 99;
  download("VLM2", other);

  int64_t first = 0, last = 0;
  ASSERT_TRUE(history::recordTime(memory.front(), first));
  ASSERT_TRUE(history::recordTime(memory.back(), last));
  struct Case {
    int64_t from, to;
    int columns;
    std::vector<uint16_t> sensors;
  };
  const Case cases[] = {
      {first, last, 1, {}},                     // everything in one column
      {first, last, 7, {}},                     // column edges between readings and on them
      {first, last, 5000, {2}},                 // more columns than readings: most are empty
      {first - 1000, last + 1000, 13, {1, 3}},  // a range wider than the readings
      {first + 5, first + 5, 3, {}},            // one second: one reading per sensor at most
      {first + 10, first + 96, 4, {}},          // a pause: no readings at all
  };
  for (const Case& c : cases) {
    history::EnvelopeQuery q;
    q.logger = "VLM1";
    q.from = c.from;
    q.to = c.to;
    q.columns = c.columns;
    q.sensors = c.sensors;
    std::vector<history::EnvelopeCell> got;
    ASSERT_TRUE(store.envelope(q, got, error)) << error;
    const std::string what = std::to_string(c.columns) + " columns from " + std::to_string(c.from - first);
    expectSame(got, bruteForce(store, q), what);
    for (const history::EnvelopeCell& cell : got)
      EXPECT_EQ(cell.column, history::envelopeColumn(q, cell.first));
  }

  // A column edge: of a range of 10 s on 2 columns, second 5 opens the second column.
  history::EnvelopeQuery q;
  q.logger = "VLM1";
  q.from = first;
  q.to = first + 9;
  q.columns = 2;
  q.sensors = {1, 2, 3};
  std::vector<history::EnvelopeCell> got;
  ASSERT_TRUE(store.envelope(q, got, error)) << error;
  for (const history::EnvelopeCell& cell : got) EXPECT_EQ(cell.column, cell.first >= first + 5 ? 1 : 0);

  // Days of readings: columns of hours read the kept hours, and the partial hours at the ends the
  // readings; a later download into those hours counts in them.
  std::vector<messwert_tag> days;
  for (int i = 0; i < 700; ++i) {
    const int minute = i * 7;
    messwert_tag r = record(2026, 4, 2 + minute / 1440, minute / 60 % 24, minute % 60, 0,
                            static_cast<uint16_t>(1 + i % 2));
    r.temperature = static_cast<float>((i * 13) % 29);
    if (i % 41 == 0) r.humidity = std::numeric_limits<float>::quiet_NaN();
    r.reserved[5] = 0;
    r.reserved[5] = static_cast<uint8_t>(0x100 - messwert::checksum(r));
    days.push_back(i % 17 == 0 ? historytest::withBadChecksum(r) : r);
  }
  download("VLM3", days);
  int64_t dayFirst = 0, dayLast = 0;
  ASSERT_TRUE(history::recordTime(days.front(), dayFirst));
  ASSERT_TRUE(history::recordTime(days.back(), dayLast));
  const auto compare = [&](int64_t from, int64_t to, int columns, const std::string& what) {
    history::EnvelopeQuery wide;
    wide.logger = "VLM3";
    wide.from = from;
    wide.to = to;
    wide.columns = columns;
    std::vector<history::EnvelopeCell> cells;
    ASSERT_TRUE(store.envelope(wide, cells, error)) << error;
    expectSame(cells, bruteForce(store, wide), what);
  };
  compare(dayFirst, dayLast, 10, "whole hours");
  compare(dayFirst + 1234, dayLast - 777, 5, "partial hours at both ends");
  compare(dayFirst + 1234, dayFirst + 1234 + 3 * 3600, 1, "three hours on one column");
  compare(dayFirst + 600, dayFirst + 7800, 1, "one whole hour, 2 h wide");
  messwert_tag spike = days[300];
  spike.tick = 99;
  spike.temperature = 80;
  spike.reserved[5] = 0;
  spike.reserved[5] = static_cast<uint8_t>(0x100 - messwert::checksum(spike));
  download("VLM3", {spike});
  compare(dayFirst, dayLast, 10, "after a later download");

  q.columns = 0;
  EXPECT_FALSE(store.envelope(q, got, error));
  q.columns = 2;
  q.logger = "VLM9";
  ASSERT_TRUE(store.envelope(q, got, error)) << error;
  EXPECT_TRUE(got.empty());
}

// A file's copies that a download of the same lines replaces count once, in every view; the values are
// the records' own to the last bit, however small, large or inexact in decimal.
TEST_P(Overview, FileCopiesADownloadReplacesCountOnceAndValuesStayExact) {
  std::vector<messwert_tag> records;
  for (int i = 0; i < 23; ++i) {
    const int minute = i < 20 ? i : 60 + i;  // the file's last ones an hour later
    messwert_tag r = record(2026, 7, 1, 10 + minute / 60, minute % 60, 0, static_cast<uint16_t>(1 + i % 2));
    r.humidity = 0.1f + static_cast<float>(i);
    r.temperature = i % 2 ? -123.456f : 1e-40f;
    r.ambientTemperature = i == 3 ? std::numeric_limits<float>::max() : 21.37f;
    r.reserved[5] = 0;
    r.reserved[5] = static_cast<uint8_t>(0x100 - messwert::checksum(r));
    records.push_back(r);
  }
  history::ImportResult result;
  // The first 12 from a file, then the logger's download of the first 20; the last 3 only in a file.
  ASSERT_TRUE(store.importCsvRecords("VLM4", "/tmp/old.csv", {records.begin(), records.begin() + 12},
                                     std::vector<bool>(12, false), result, error))
      << error;
  download("VLM4", {records.begin(), records.begin() + 20});
  ASSERT_TRUE(store.importCsvRecords("VLM4", "/tmp/late.csv", {records.begin() + 20, records.end()},
                                     std::vector<bool>(3, false), result, error))
      << error;

  EXPECT_EQ(store.readingCount("VLM4", error), 23) << error;
  int64_t first = 0, last = 0, t0 = 0, t22 = 0;
  bool found = false;
  ASSERT_TRUE(store.timeSpan("VLM4", first, last, found, error)) << error;
  ASSERT_TRUE(history::recordTime(records.front(), t0));
  ASSERT_TRUE(history::recordTime(records.back(), t22));
  EXPECT_TRUE(found);
  EXPECT_EQ(first, t0);
  EXPECT_EQ(last, t22);
  std::vector<history::LoggerSummary> rows;
  ASSERT_TRUE(store.loggerSummaries(rows, error)) << error;
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].readings, 23);
  EXPECT_EQ(rows[0].rangeFirst, t0);

  history::EnvelopeQuery q;
  q.logger = "VLM4";
  q.from = t0;
  q.to = t22;
  for (int columns : {1, 50}) {
    q.columns = columns;
    std::vector<history::EnvelopeCell> got;
    ASSERT_TRUE(store.envelope(q, got, error)) << error;
    expectSame(got, bruteForce(store, q), std::to_string(columns) + " columns");
  }
  q.from = t0 - 36000;  // a column of 20 hours, read by hours
  q.to = t0 + 36000;
  q.columns = 1;
  std::vector<history::EnvelopeCell> wide;
  ASSERT_TRUE(store.envelope(q, wide, error)) << error;
  expectSame(wide, bruteForce(store, q), "by hours");
  q.from = t0;
  q.to = t22;
  std::vector<history::EnvelopeCell> one;
  ASSERT_TRUE(store.envelope(q, one, error)) << error;
  ASSERT_EQ(one.size(), 2u);
  EXPECT_EQ(one[0].readings + one[1].readings, 23);
  EXPECT_EQ(one[0].temperatureMin, static_cast<double>(1e-40f));
  EXPECT_EQ(one[1].temperatureMin, static_cast<double>(-123.456f));
  EXPECT_EQ(one[0].humidityMin, static_cast<double>(0.1f));
  EXPECT_EQ(one[1].ambientMax, static_cast<double>(std::numeric_limits<float>::max()));
}

// A row per logger: its records, their first and last time, and the newest download from the logger
// itself with the range it brought; a file opened into the history later is no download. With limits,
// the excursions and alarms of that download's range are counted, not those of earlier records.
TEST_P(Overview, EachLoggersSummaryTellsItsReadingsAndLastDownload) {
  const auto minutes = [](int firstMinute, int count, float temperature) {
    std::vector<messwert_tag> out;
    for (int m = firstMinute; m < firstMinute + count; ++m) {
      messwert_tag r = record(2026, 5, 2, 8 + m / 60, m % 60, 0);
      r.temperature = temperature;
      r.reserved[5] = 0;
      r.reserved[5] = static_cast<uint8_t>(0x100 - messwert::checksum(r));
      out.push_back(r);
    }
    return out;
  };
  std::vector<messwert_tag> early = minutes(0, 30, 30);  // too warm: before the last download's range
  early[3] = historytest::withBadChecksum(early[3]);     // counted among the readings all the same
  download("VLM7", early);
  download("VLM7", minutes(30, 30, 20));
  std::vector<messwert_tag> last = minutes(60, 10, 20);
  last[4].temperature = 31;
  last[4].reserved[5] = 0;
  last[4].reserved[5] = static_cast<uint8_t>(0x100 - messwert::checksum(last[4]));
  history::DownloadOrigin origin;
  origin.device = history::kDeviceUsb;
  origin.computer = {"lab-pc", "anna"};
  origin.firmware = "2.14";
  history::ImportResult result;
  ASSERT_TRUE(store.importDownload("VLM7", "/tmp/VLM7.csv", last, origin, result, error)) << error;
  ASSERT_TRUE(store.importCsvRecords("VLM7", "/tmp/old.csv", minutes(200, 5, 20), std::vector<bool>(5, false),
                                     result, error))
      << error;
  ASSERT_TRUE(store.importCsvRecords("VLM3", "/tmp/other.csv", minutes(0, 2, 20), std::vector<bool>(2, false),
                                     result, error))
      << error;

  std::vector<history::LoggerSummary> rows;
  ASSERT_TRUE(store.loggerSummaries(rows, error)) << error;
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].logger, "VLM3");
  EXPECT_EQ(rows[0].readings, 2);
  EXPECT_EQ(rows[0].lastDownload, 0);
  EXPECT_EQ(rows[0].daysSinceDownload(0), -1);

  const history::LoggerSummary& vlm7 = rows[1];
  EXPECT_EQ(vlm7.logger, "VLM7");
  EXPECT_EQ(vlm7.readings, 75);
  int64_t t0 = 0, t60 = 0, t69 = 0, t204 = 0;
  ASSERT_TRUE(history::recordTime(minutes(0, 1, 0)[0], t0));
  ASSERT_TRUE(history::recordTime(last.front(), t60));
  ASSERT_TRUE(history::recordTime(last.back(), t69));
  ASSERT_TRUE(history::recordTime(minutes(204, 1, 0)[0], t204));
  EXPECT_EQ(vlm7.firstReading, t0);
  EXPECT_EQ(vlm7.lastReading, t204);
  const std::vector<history::DownloadRow> downloads = store.downloads("VLM7");
  ASSERT_EQ(downloads.size(), 4u);
  EXPECT_EQ(vlm7.lastDownload, downloads[2].id);
  EXPECT_EQ(vlm7.lastDownloadTime, downloads[2].when);
  EXPECT_EQ(vlm7.rangeFirst, t60);
  EXPECT_EQ(vlm7.rangeLast, t69);
  EXPECT_EQ(vlm7.device, "USB");
  EXPECT_EQ(vlm7.host, "lab-pc");
  EXPECT_EQ(vlm7.user, GetParam() ? "desk" : "anna");  // on a server, the login
  EXPECT_EQ(vlm7.firmware, "2.14");
  EXPECT_FALSE(vlm7.limitsSet);
  EXPECT_EQ(vlm7.daysSinceDownload(vlm7.lastDownloadTime + 3 * 86400 - 1), 2);

  history::Limits limits;
  limits.temperature.upper = 25;
  limits.temperature.rule = history::AlarmRule::instant;
  ASSERT_TRUE(store.setLimits("VLM7", std::nullopt, limits, {"lab-pc", "anna"}, error)) << error;
  ASSERT_TRUE(store.loggerSummaries(rows, error)) << error;
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_FALSE(rows[0].limitsSet);
  EXPECT_TRUE(rows[1].limitsSet);
  EXPECT_EQ(rows[1].excursions, 1);
  EXPECT_EQ(rows[1].alarms, 1);
}

// A download copied into a file keeps what a chart and the summary read: the values beside the bytes,
// the hours, and the times of the records it brought.
TEST(OverviewCopy, ACopiedDownloadIsChartedAndSummedUpAsTheOriginal) {
  TempDir dir;
  history::Store from, into;
  std::string error;
  ASSERT_TRUE(from.open(dir / "from.sqlite", error)) << error;
  ASSERT_TRUE(into.open(dir / "into.sqlite", error)) << error;
  std::vector<messwert_tag> records;
  for (int i = 0; i < 500; ++i) {
    messwert_tag r = record(2026, 6, 1 + i / 96, i / 4 % 24, i % 4 * 15, 0);
    r.temperature = static_cast<float>(i % 37);
    r.reserved[5] = 0;
    r.reserved[5] = static_cast<uint8_t>(0x100 - messwert::checksum(r));
    records.push_back(r);
  }
  history::ImportResult result;
  ASSERT_TRUE(from.importDownload("VLM5", "/tmp/VLM5.csv", records, result, error)) << error;
  const history::DownloadRow download = from.downloads("VLM5").at(0);
  std::vector<history::StoredRecord> kept;
  history::Query all;
  all.logger = "VLM5";
  ASSERT_TRUE(from.query(all, kept, error)) << error;
  int64_t added = 0;
  ASSERT_TRUE(into.copyDownload(download, kept, added, error)) << error;
  EXPECT_EQ(added, 500);

  history::EnvelopeQuery q;
  q.logger = "VLM5";
  q.from = kept.front().time;
  q.to = kept.back().time;
  for (int columns : {3, 700}) {
    q.columns = columns;
    std::vector<history::EnvelopeCell> original, copied;
    ASSERT_TRUE(from.envelope(q, original, error)) << error;
    ASSERT_TRUE(into.envelope(q, copied, error)) << error;
    expectSame(copied, original, std::to_string(columns) + " columns");
  }
  std::vector<history::LoggerSummary> rows;
  ASSERT_TRUE(into.loggerSummaries(rows, error)) << error;
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].readings, 500);
  EXPECT_EQ(rows[0].rangeFirst, kept.front().time);
  EXPECT_EQ(rows[0].rangeLast, kept.back().time);
}
