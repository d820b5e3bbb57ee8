// The verdict's coverage rules and the import's decisions, without a database.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "HistorySupport.h"
#include "history/Excursions.h"
#include "history/ImportRules.h"

namespace {

constexpr int64_t kStart = 1772877600;  // 2026-03-07 10:00:00
constexpr int64_t kStep = 600;

history::StoredRecord at(int64_t time, float temperature, uint16_t sensor = 1) {
  history::StoredRecord r{"VLM1", historytest::record(2026, 3, 7, 10, 0, 0, sensor), time, false};
  r.record.temperature = temperature;
  return r;
}

history::Limits twoToEight() {
  history::Limits l;
  l.temperature.lower = 2;
  l.temperature.upper = 8;
  return l;
}

std::vector<history::Reason> reasonsOf(const history::Coverage& c, history::ReasonKind kind) {
  std::vector<history::Reason> out;
  for (const history::Reason& r : c.reasons)
    if (r.kind == kind) out.push_back(r);
  return out;
}

}  // namespace

// A day of readings every ten minutes, in limits throughout, with each thing that leaves the period not
// covered by readings to trust: each is listed with its times, and only an alarm outranks them.
TEST(Verdict, GapsReadingsWithoutAValueAndFileReadingsMakeItIncomplete) {
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<history::StoredRecord> full, day;
  for (int64_t i = 0; i < 144; ++i) {
    full.push_back(at(kStart + i * kStep, 5));
    if (i < 60 || i >= 73) day.push_back(full.back());  // 2 h 20 min without a reading: 59 to 73
  }
  ASSERT_EQ(history::verdict(history::findExcursions(full, twoToEight())), "Within limits");

  std::vector<history::StoredRecord> flawed = day;
  ASSERT_EQ(flawed[59].time, kStart + 59 * kStep);
  flawed[10].record.temperature = inf;
  flawed[11].record.temperature = nan;
  flawed[12].checksumError = true;
  flawed[30].record.humidity = 180;  // beyond what the humidity count can give
  for (size_t i = 100; i < 104; ++i) flawed[i].fromFile = true;
  history::ExcursionResult result = history::findExcursions(flawed, twoToEight());
  EXPECT_EQ(history::verdictKind(result), history::VerdictKind::incomplete);
  EXPECT_EQ(history::verdict(result),
            "Incomplete: 1 gap, 4 readings without a value, 4 readings only from files");
  EXPECT_FALSE(result.sensors[0].complete);
  EXPECT_EQ(history::verdict(result.sensors[0]), "Incomplete");
  const history::Coverage& c = result.coverage;
  EXPECT_EQ(c.interval, kStep);
  const auto gaps = reasonsOf(c, history::ReasonKind::gap);
  ASSERT_EQ(gaps.size(), 1u);
  EXPECT_EQ(gaps[0].start, kStart + 59 * kStep);
  EXPECT_EQ(gaps[0].end, kStart + 73 * kStep);
  const auto noValue = reasonsOf(c, history::ReasonKind::noValue);
  ASSERT_EQ(noValue.size(), 2u);  // a run of three, and one alone
  EXPECT_EQ(noValue[0].start, kStart + 10 * kStep);
  EXPECT_EQ(noValue[0].end, kStart + 12 * kStep);
  EXPECT_EQ(noValue[0].count, 3);
  EXPECT_EQ(noValue[1].count, 1);
  const auto files = reasonsOf(c, history::ReasonKind::fileOnly);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].start, flawed[100].time);
  EXPECT_EQ(files[0].end, flawed[103].time);
  EXPECT_EQ(files[0].count, 4);

  // The out-of-range value raises no alarm of its own; a real one outranks everything.
  flawed[40].record.temperature = 12;
  result = history::findExcursions(flawed, twoToEight());
  EXPECT_EQ(history::verdictKind(result), history::VerdictKind::alarms);
  EXPECT_EQ(history::verdict(result), "1 alarm");

  // Records the logger held that did not come, and the stretches before the first and after the last
  // reading of a period asked for.
  history::ExcursionFinder finder([](uint16_t) { return twoToEight(); });
  finder.setPeriod(kStart - 3 * kStep, kStart + 200 * kStep);
  for (const history::StoredRecord& r : day) finder.add(r);
  finder.addNotDownloaded(12, kStart, kStart + 143 * kStep);
  result = finder.finish();
  EXPECT_EQ(history::verdict(result), "Incomplete: 3 gaps, 12 records not downloaded");
  const auto edges = reasonsOf(result.coverage, history::ReasonKind::gap);
  ASSERT_EQ(edges.size(), 3u);
  EXPECT_EQ(edges[0].start, kStart - 3 * kStep);
  EXPECT_EQ(edges[2].end, kStart + 200 * kStep);
  EXPECT_TRUE(result.coverage.loggerReasons);
}

// The import's one rule for both back ends: an incoming line, the copies kept of its second and sensor.
TEST(ImportRules, WhatBecomesOfALine) {
  using history::ImportOutcome;
  const messwert_tag clean = historytest::record(2026, 3, 7, 10, 5, 0);
  const messwert_tag flagged = historytest::withBadChecksum(clean);
  messwert_tag asFile = clean;  // as a CSV file gives it back: no tick, no reserved bytes
  asFile.tick = 0;
  for (uint8_t& b : asFile.reserved) b = 0;
  messwert_tag otherLine = asFile;
  otherLine.temperature = 5.0f;

  struct Row {
    const char* what;
    std::vector<history::KeptCopy> kept;
    history::IncomingLine line;
    ImportOutcome outcome;
    bool insert;
    std::vector<size_t> retire;
  };
  const std::vector<Row> table = {
      {"file line, nothing kept", {}, {asFile, false, true}, ImportOutcome::added, true, {}},
      {"file line inside a download's span",
       {},
       {asFile, false, true, true},
       ImportOutcome::insideDownload,
       false,
       {}},
      {"file line against its own counts",
       {},
       {asFile, false, true, false, true},
       ImportOutcome::disagreeing,
       false,
       {}},
      {"file line as the download shows it",
       {{clean, false, false}},
       {asFile, false, true, true},
       ImportOutcome::known,
       false,
       {}},
      {"file line over a downloaded one",
       {{clean, false, false}},
       {otherLine, false, true},
       ImportOutcome::differing,
       false,
       {}},
      {"file line read before",
       {{asFile, false, true}},
       {asFile, false, true},
       ImportOutcome::known,
       false,
       {}},
      {"download, nothing kept", {}, {clean, false, false}, ImportOutcome::added, true, {}},
      {"download again", {{clean, false, false}}, {clean, false, false}, ImportOutcome::known, false, {}},
      {"download over its file copy",
       {{asFile, false, true}},
       {clean, false, false},
       ImportOutcome::known,
       true,
       {0}},
      {"clean download over a flagged copy",
       {{flagged, true, false}},
       {clean, false, false},
       ImportOutcome::known,
       true,
       {0}},
      {"flagged download of a record kept clean",
       {{clean, false, false}},
       {flagged, true, false},
       ImportOutcome::known,
       false,
       {}},
      {"file copy retired before stays retired",
       {{asFile, false, true, false}},
       {asFile, false, true},
       ImportOutcome::known,
       false,
       {}},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.what);
    const history::ImportDecision d = history::decideImport(row.kept, row.line);
    EXPECT_EQ(d.outcome, row.outcome);
    EXPECT_EQ(d.insert, row.insert);
    EXPECT_EQ(d.retire, row.retire);
  }

  // A sensor's count gives one value: the value most lines show stands, a tie refuses all of them.
  std::vector<messwert_tag> lines(6, asFile);
  lines[3].temperature = 9.5f;      // edited, its count kept
  lines[4].temperatureRaw = 12000;  // another count, alone
  lines[4].temperature = 9.5f;
  lines[5].sensorSerialNumber = 2;  // another sensor
  lines[5].temperature = 9.5f;
  std::vector<bool> flags(6, false);
  EXPECT_EQ(history::disagreeingLines(lines, flags),
            (std::vector<bool>{false, false, false, true, false, false}));
  lines[2].temperature = 9.5f;  // two against two
  EXPECT_EQ(history::disagreeingLines(lines, flags),
            (std::vector<bool>{true, true, true, true, false, false}));
  flags[2] = flags[3] = true;  // flagged lines are no measure
  EXPECT_EQ(history::disagreeingLines(lines, flags),
            (std::vector<bool>{false, false, false, false, false, false}));
}
