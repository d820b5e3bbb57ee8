// Limits, their changes, clock zones and where downloads were made, as the history keeps them.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "HistorySupport.h"
#include "common/PgServer.h"
#include "history/Digest.h"
#include "history/History.h"
#include "history/LoggerContext.h"

using historytest::record;
using historytest::TempDir;

namespace {

history::Limits limits(double low, double high, int64_t delay, history::AlarmRule rule) {
  history::Limits l;
  l.temperature.lower = low;
  l.temperature.upper = high;
  l.temperature.delay = delay;
  l.temperature.rule = rule;
  return l;
}

struct HistoryLimits : ::testing::Test {
  TempDir dir;
  std::string path = dir / "measurements.sqlite";
  history::Store store;
  std::string error;
  const history::Computer anna{"lab-pc", "anna"};

  void SetUp() override { ASSERT_TRUE(store.open(path, error)) << error; }

  void sql(const std::string& text) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, text.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
  }
  history::Limits effective(std::optional<uint16_t> sensor, bool& set) {
    history::Limits out;
    EXPECT_TRUE(store.effectiveLimits("VLM1", sensor, out, set, error)) << error;
    return out;
  }
};

// The same against a database of the tests' own PostgreSQL server (true).
struct HistoryLimitsBackends : HistoryLimits, ::testing::WithParamInterface<bool> {
  void SetUp() override {
    if (GetParam()) {
      pgtest::Server& server = pgtest::Server::shared();
      ASSERT_TRUE(server.running()) << server.error();
      path = server.freshDatabase();
      ASSERT_FALSE(path.empty()) << server.error();
    }
    HistoryLimits::SetUp();
  }
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(, HistoryLimitsBackends, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "PostgreSQL" : "SQLite";
                         });

TEST_P(HistoryLimitsBackends, ASensorWithoutItsOwnTakesTheLoggersAndEveryChangeIsRecorded) {
  bool set = true;
  effective(1, set);
  EXPECT_FALSE(set);

  ASSERT_TRUE(
      store.setLimits("VLM1", std::nullopt, limits(2, 8, 900, history::AlarmRule::consecutive), anna, error))
      << error;
  history::Limits own = limits(-20, -10, 0, history::AlarmRule::instant);
  own.humidity.upper = 60;
  ASSERT_TRUE(store.setLimits("VLM1", 2, own, {"office", "ben"}, error)) << error;
  // The same again is no change.
  ASSERT_TRUE(store.setLimits("VLM1", 2, own, anna, error)) << error;

  history::Limits l = effective(1, set);
  EXPECT_TRUE(set);
  EXPECT_EQ(history::limitsText(l), "temperature 2:8 15m consecutive; humidity not limited");
  l = effective(2, set);
  EXPECT_EQ(history::limitsText(l), "temperature -20:-10 0 instant; humidity :60 0 consecutive");

  // Refused, nothing stored or recorded.
  history::Limits bad = limits(8, 2, 0, history::AlarmRule::consecutive);
  EXPECT_FALSE(store.setLimits("VLM1", 2, bad, anna, error));
  EXPECT_NE(error.find("lower limit 8 is above the upper limit 2"), std::string::npos) << error;
  bad = limits(2, 8, -1, history::AlarmRule::consecutive);
  EXPECT_FALSE(store.setLimits("VLM1", std::nullopt, bad, anna, error));

  // Limits that are set change only with a reason.
  EXPECT_FALSE(store.clearLimits("VLM1", 2, anna, error));
  EXPECT_EQ(error, history::limitsNeedReason("VLM1", 2));
  EXPECT_FALSE(
      store.setLimits("VLM1", 2, limits(-25, -10, 0, history::AlarmRule::instant), anna, error, " \n "));
  EXPECT_EQ(error, history::limitsNeedReason("VLM1", 2));
  EXPECT_EQ(history::limitsText(effective(2, set)),
            "temperature -20:-10 0 instant; humidity :60 0 consecutive");
  ASSERT_TRUE(store.clearLimits("VLM1", 2, anna, error, "Sensor 2\nmoved to the cold room")) << error;
  ASSERT_TRUE(store.clearLimits("VLM1", 2, anna, error)) << error;  // nothing left to clear
  EXPECT_EQ(history::limitsText(effective(2, set)), "temperature 2:8 15m consecutive; humidity not limited");

  std::vector<history::LimitsRow> rows;
  ASSERT_TRUE(store.limitRows("VLM1", rows, error)) << error;
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_FALSE(rows[0].sensor.has_value());

  std::vector<history::LimitChange> changes;
  ASSERT_TRUE(store.limitChanges("VLM1", changes, error)) << error;
  ASSERT_EQ(changes.size(), 3u);
  EXPECT_FALSE(changes[0].sensor.has_value());
  // On a server the user is the login's, whatever the program says.
  const std::string anna = GetParam() ? "desk" : "anna", ben = GetParam() ? "desk" : "ben";
  EXPECT_EQ(changes[0].who.user, anna);
  EXPECT_EQ(changes[0].who.host, "lab-pc");
  EXPECT_EQ(changes[0].before, "");
  EXPECT_EQ(changes[1].sensor, std::optional<uint16_t>(2));
  EXPECT_EQ(changes[1].who.user, ben);
  EXPECT_EQ(changes[2].before, "temperature -20:-10 0 instant; humidity :60 0 consecutive");
  EXPECT_EQ(changes[2].after, "");
  EXPECT_EQ(changes[0].reason, "");
  EXPECT_EQ(changes[2].reason, "Sensor 2 moved to the cold room");
  EXPECT_GT(changes[2].utc, 1700000000);

  // Kept across sessions.
  store.close();
  ASSERT_TRUE(store.open(path, error)) << error;
  EXPECT_EQ(history::limitsText(effective(7, set)), "temperature 2:8 15m consecutive; humidity not limited");
}

TEST_F(HistoryLimits, WhatAnotherProgramWroteIsCheckedWhenRead) {
  ASSERT_TRUE(
      store.setLimits("VLM1", std::nullopt, limits(2, 8, 0, history::AlarmRule::consecutive), anna, error))
      << error;
  ASSERT_TRUE(store.recordClockZone("VLM1", 1772877600, {"Europe/Berlin", 3600},
                                    history::ClockZoneKind::setTime, error))
      << error;
  store.close();
  sql("UPDATE limits SET temperature_lower = 9;"
      "UPDATE clock_zones SET utc_offset = 90000;");
  ASSERT_TRUE(store.open(path, error)) << error;
  history::Limits out;
  bool set = false;
  EXPECT_FALSE(store.effectiveLimits("VLM1", 1, out, set, error));
  EXPECT_NE(error.find("limits kept for VLM1 (all sensors) are not valid"), std::string::npos) << error;
  std::vector<history::LimitsRow> rows;
  EXPECT_FALSE(store.limitRows("VLM1", rows, error));
  history::ClockZoneRow zone;
  bool found = false;
  EXPECT_FALSE(store.clockZone("VLM1", zone, found, error));
  EXPECT_NE(error.find("UTC offset is out of range"), std::string::npos) << error;

  store.close();
  sql("UPDATE limits SET temperature_lower = 2, temperature_rule = 'sometimes';");
  ASSERT_TRUE(store.open(path, error)) << error;
  EXPECT_FALSE(store.effectiveLimits("VLM1", 1, out, set, error));
  EXPECT_NE(error.find("sometimes"), std::string::npos) << error;
  // A spoiled row is replaced by setting the limits again.
  ASSERT_TRUE(
      store.setLimits("VLM1", std::nullopt, limits(2, 8, 0, history::AlarmRule::cumulative), anna, error))
      << error;
  ASSERT_TRUE(store.effectiveLimits("VLM1", 1, out, set, error)) << error;
  EXPECT_EQ(out.temperature.rule, history::AlarmRule::cumulative);
  std::vector<history::LimitChange> changes;
  ASSERT_TRUE(store.limitChanges("VLM1", changes, error)) << error;
  EXPECT_EQ(changes.back().before, "(not valid)");

  EXPECT_FALSE(
      store.recordClockZone("VLM1", 0, {"Europe/Berlin", 19 * 3600}, history::ClockZoneKind::setTime, error));
  EXPECT_FALSE(store.recordClockZone("VLM1", 0, {"Bad\nZone", 0}, history::ClockZoneKind::setTime, error));
}

TEST_P(HistoryLimitsBackends, TheClockFollowsTheLastSetTimeElseTheLastDownload) {
  history::DownloadOrigin origin;
  origin.device = history::kDeviceVirtual;
  origin.computer = {"lab-pc", "anna"};
  origin.firmware = "V2.07";
  origin.clockZone = history::Zone{"America/New_York", -5 * 3600};
  history::ImportResult r;
  ASSERT_TRUE(store.importDownload("VLM1", "a.csv", {record(2026, 3, 7, 10, 0, 0)}, origin, r, error))
      << error;
  history::ClockZoneRow zone;
  bool found = false;
  ASSERT_TRUE(store.clockZone("VLM1", zone, found, error)) << error;
  ASSERT_TRUE(found);
  EXPECT_EQ(zone.zone.name, "America/New_York");
  EXPECT_EQ(zone.kind, history::ClockZoneKind::download);

  ASSERT_TRUE(store.recordClockZone("VLM1", 1772877600, {"Europe/Berlin", 3600},
                                    history::ClockZoneKind::setTime, error))
      << error;
  origin.firmware = "";  // a later download that did not learn the version
  origin.clockZone = history::Zone{"Asia/Tokyo", 9 * 3600};
  ASSERT_TRUE(store.importDownload("VLM1", "b.csv", {record(2026, 3, 7, 10, 1, 0)}, origin, r, error))
      << error;
  ASSERT_TRUE(store.clockZone("VLM1", zone, found, error)) << error;
  EXPECT_EQ(zone.zone.name, "Europe/Berlin");
  EXPECT_EQ(zone.zone.offset, 3600);
  EXPECT_EQ(zone.kind, history::ClockZoneKind::setTime);
  std::vector<history::ClockZoneRow> zones;
  ASSERT_TRUE(store.clockZones("VLM1", zones, error)) << error;
  EXPECT_EQ(zones.size(), 3u);

  const auto rows = store.downloads("VLM1");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].host, "lab-pc");
  EXPECT_EQ(rows[0].user, GetParam() ? "desk" : "anna");
  EXPECT_EQ(rows[0].firmware, "V2.07");
  EXPECT_EQ(store.firmwareLastSeen("VLM1"), "V2.07");
  ASSERT_TRUE(store.recordFirmware("VLM1", rows[1].when + 1, "V2.08", error)) << error;
  EXPECT_EQ(store.firmwareLastSeen("VLM1"), "V2.08");
  EXPECT_EQ(store.firmwareLastSeen("VLM2"), "");
  ASSERT_TRUE(store.clockZone("VLM2", zone, found, error)) << error;
  EXPECT_FALSE(found);

  // A report or spreadsheet takes the zones as the command line does: this computer's where none is
  // recorded, and says so.
  history::LoggerContext context;
  ASSERT_TRUE(history::readLoggerContext(store, "VLM2", {}, 1772877600, context, error)) << error;
  ASSERT_TRUE(context.clock.has_value());
  EXPECT_FALSE(context.clock->recorded());
  EXPECT_EQ(context.clock->at(0).offset, history::localZone(1772877600).offset);
  ASSERT_TRUE(history::readLoggerContext(store, "VLM1", {}, 1772877600, context, error)) << error;
  ASSERT_TRUE(context.clock.has_value() && context.clock->recorded());
}

TEST(HistoryZone, EachReadingTakesTheZoneOfTheLastTimeTheClockWasSet) {
  using history::ClockZoneKind;
  const int64_t winterSet = 1772877600;  // 2026-03-07 10:00 UTC, set at 11:00 +01:00
  const int64_t summerSet = 1775556000;  // 2026-04-07 10:00 UTC, set at 12:00 +02:00
  const history::ClockOffsets offsets({{winterSet - 86400, {"Asia/Tokyo", 9 * 3600}, ClockZoneKind::download},
                                       {winterSet, {"Europe/Berlin", 3600}, ClockZoneKind::setTime},
                                       {summerSet, {"Europe/Berlin", 7200}, ClockZoneKind::setTime}},
                                      {"UTC", 0});
  EXPECT_EQ(offsets.at(winterSet - 3600).offset, 3600);  // before the first setting
  EXPECT_EQ(offsets.at(winterSet + 3600).offset, 3600);
  // In April, before the clock was set again, it still showed winter time.
  EXPECT_EQ(offsets.at(summerSet + 3600 + 3599).offset, 3600);
  EXPECT_EQ(offsets.at(summerSet + 7200).offset, 7200);
  EXPECT_EQ(offsets.clockTime(summerSet - 1), summerSet - 1 + 3600);
  EXPECT_EQ(offsets.clockTime(summerSet), summerSet + 7200);
  // Without a setting the latest download's zone; without anything the fallback.
  const history::ClockOffsets downloaded({{winterSet, {"Asia/Tokyo", 9 * 3600}, ClockZoneKind::download}},
                                         {"UTC", 0});
  EXPECT_EQ(downloaded.at(0).name, "Asia/Tokyo");
  EXPECT_FALSE(history::ClockOffsets({}, {"local", -3600}).recorded());
  EXPECT_EQ(history::ClockOffsets({}, {"local", -3600}).at(0).offset, -3600);
}

TEST(HistoryZone, TheLocalZoneComesWithItsOffsetAtThatMoment) {
  const char* before = std::getenv("TZ");
  const std::string kept = before ? before : "";
  ::setenv("TZ", "Europe/Berlin", 1);
  ::tzset();
  const history::Zone winter = history::localZone(1767225600);  // 2026-01-01
  const history::Zone summer = history::localZone(1782864000);  // 2026-07-01
  // TZ naming a link into the zone database, as /etc/localtime is.
  TempDir dir;
  std::filesystem::create_symlink("/usr/share/zoneinfo/Europe/Berlin", dir / "localtime");
  ::setenv("TZ", (":" + (dir / "localtime")).c_str(), 1);
  ::tzset();
  const history::Zone path = history::localZone(1767225600);
  if (before)
    ::setenv("TZ", kept.c_str(), 1);
  else
    ::unsetenv("TZ");
  ::tzset();
  EXPECT_EQ(winter.name, "Europe/Berlin");
  EXPECT_EQ(winter.offset, 3600);
  EXPECT_EQ(summer.offset, 7200);
  EXPECT_EQ(path.name, "Europe/Berlin");
  EXPECT_EQ(path.offset, 3600);
  const history::Computer here = history::thisComputer();
  EXPECT_FALSE(here.user.empty());
}

TEST(HistoryOrder, RecordsOfOneSecondComeInOneOrderHoweverTheyWereStored) {
  // Two loggers and two records of the same second and sensor each, stored in opposite orders into
  // two histories: the digest over all loggers is the same.
  messwert_tag a = record(2026, 3, 7, 10, 0, 0), b = a;
  b.tick = static_cast<uint8_t>(a.tick + 1);
  b.temperatureRaw = static_cast<uint16_t>(a.temperatureRaw - 1);
  TempDir dir;
  std::string digests[2];
  for (int pass = 0; pass < 2; ++pass) {
    history::Store store;
    std::string error;
    ASSERT_TRUE(store.open(dir / ("h" + std::to_string(pass) + ".sqlite"), error)) << error;
    history::ImportResult r;
    const std::vector<std::string> loggers =
        pass == 0 ? std::vector<std::string>{"VLM1", "VLM2"} : std::vector<std::string>{"VLM2", "VLM1"};
    for (const std::string& logger : loggers) {
      ASSERT_TRUE(store.importDownload(logger, "x.csv", {pass == 0 ? a : b}, r, error)) << error;
      ASSERT_TRUE(store.importDownload(logger, "y.csv", {pass == 0 ? b : a}, r, error)) << error;
    }
    std::vector<history::StoredRecord> out;
    ASSERT_TRUE(store.query(history::Query{}, out, error)) << error;
    ASSERT_EQ(out.size(), 4u);
    digests[pass] = history::readingsDigest(out);
  }
  EXPECT_EQ(digests[0], digests[1]);
}

// Changes taken over from another history: each once, and the limits set follow the newest change,
// whichever history made it; what is set after that records the right limits before it.
TEST_P(HistoryLimitsBackends, CopiedChangesSetTheLimitsOnlyWhenTheyAreTheNewest) {
  ASSERT_TRUE(
      store.setLimits("VLM1", std::nullopt, limits(2, 8, 0, history::AlarmRule::consecutive), anna, error))
      << error;
  std::vector<history::LimitChange> mine;
  ASSERT_TRUE(store.limitChanges("VLM1", mine, error)) << error;
  ASSERT_EQ(mine.size(), 1u);
  const history::Limits older = limits(0, 1, 0, history::AlarmRule::instant);
  const history::Limits newer = limits(-5, 5, 0, history::AlarmRule::instant);
  history::LimitChange before{
      mine[0].utc - 3600, std::nullopt, {"office", "ben"}, "", history::limitsText(older), ""};
  history::LimitChange after{
      mine[0].utc + 3600, std::nullopt, {"office", "ben"}, before.after, history::limitsText(newer), ""};
  int64_t added = -1;
  bool set = false;
  ASSERT_TRUE(store.copyLimitChanges("VLM1", {before}, {{std::nullopt, older}}, added, error)) << error;
  EXPECT_EQ(added, 1);
  EXPECT_EQ(history::limitsText(effective(1, set)),
            history::limitsText(limits(2, 8, 0, history::AlarmRule::consecutive)));
  ASSERT_TRUE(store.copyLimitChanges("VLM1", {before, after}, {{std::nullopt, newer}}, added, error))
      << error;
  EXPECT_EQ(added, 1);
  EXPECT_EQ(history::limitsText(effective(1, set)), history::limitsText(newer));

  ASSERT_TRUE(store.clearLimits("VLM1", std::nullopt, anna, error, "Study ended")) << error;
  std::vector<history::LimitChange> changes;
  ASSERT_TRUE(store.limitChanges("VLM1", changes, error)) << error;
  ASSERT_EQ(changes.size(), 4u);
  EXPECT_EQ(changes[3].reason, "Study ended");
  EXPECT_EQ(changes[1], before);
  EXPECT_EQ(changes[3].before, history::limitsText(newer));
}
