#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "HistorySupport.h"
#include "history/Digest.h"
#include "history/Excursions.h"
#include "history/Limits.h"

namespace {

using history::AlarmRule;
using history::Excursion;
using history::Measure;
using history::Side;

history::StoredRecord reading(int64_t time, float temperature, float humidity = 50, uint16_t sensor = 1,
                              bool flagged = false) {
  history::StoredRecord r{"VLM1", historytest::record(2026, 3, 29, 1, 0, 0, sensor), time, flagged};
  r.record.temperature = temperature;
  r.record.humidity = humidity;
  return r;
}

history::Limits limits(const char* temperature, const char* humidity = ":",
                       AlarmRule rule = AlarmRule::instant, int64_t delay = 0) {
  history::Limits l;
  std::string error;
  EXPECT_TRUE(history::parseRange(temperature, l.temperature.lower, l.temperature.upper, error)) << error;
  EXPECT_TRUE(history::parseRange(humidity, l.humidity.lower, l.humidity.upper, error)) << error;
  l.temperature.rule = l.humidity.rule = rule;
  l.temperature.delay = l.humidity.delay = delay;
  return l;
}

// sensor, quantity, side, start, end, duration, readings, extreme, ends outside
void expectExcursion(const Excursion& e, uint16_t sensor, Measure quantity, Side side, int64_t start,
                     int64_t end, int64_t duration, int64_t readings, double extreme,
                     bool endsOutside = false) {
  EXPECT_EQ(e.sensor, sensor);
  EXPECT_EQ(e.quantity, quantity);
  EXPECT_EQ(e.side, side);
  EXPECT_EQ(e.start, start);
  EXPECT_EQ(e.end, end);
  EXPECT_EQ(e.duration, duration);
  EXPECT_EQ(e.readings, readings);
  EXPECT_DOUBLE_EQ(e.extreme, extreme);
  EXPECT_EQ(e.endsOutside, endsOutside);
}

}  // namespace

TEST(Excursions, RunsFromTheFirstReadingOutsideToTheFirstBackWithin) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<history::StoredRecord> records = {
      reading(0, 8),  // equal to the upper limit: within
      reading(60, 8.5f),
      reading(120, 9.5f),
      reading(150, 30, 50, 1, true),  // check-sum error: left out, the run goes on
      reading(180, nan),              // no temperature: left out of the temperature only
      reading(240, 9),
      reading(300, 2),      // back within (equal to the lower limit)
      reading(360, 1.5f),   // a single reading below
      reading(420, 5, 10),  // humidity has no lower limit (":70"): not an excursion
      reading(480, 7, 80),
      reading(500, 4, 1, 2),  // another sensor, its own runs
      reading(540, 12, 71),   // the data ends outside
  };
  const history::ExcursionResult r = history::findExcursions(records, limits("2:8", ":70"));
  ASSERT_EQ(r.excursions.size(), 4u);
  expectExcursion(r.excursions[0], 1, Measure::temperature, Side::above, 60, 300, 240, 3, 9.5);
  expectExcursion(r.excursions[1], 1, Measure::temperature, Side::below, 360, 420, 60, 1, 1.5);
  expectExcursion(r.excursions[2], 1, Measure::humidity, Side::above, 480, 540, 60, 2, 80, true);
  expectExcursion(r.excursions[3], 1, Measure::temperature, Side::above, 540, 540, 0, 1, 12, true);
  EXPECT_EQ(r.excursions[0].limit, 8);
  EXPECT_EQ(r.excursions[1].limit, 2);

  ASSERT_EQ(r.sensors.size(), 2u);
  const history::SensorExcursions& s = r.sensors[0];
  EXPECT_EQ(s.sensor, 1);
  EXPECT_EQ(s.readings, 10);
  EXPECT_EQ(s.leftOut, 1);
  EXPECT_EQ(s.temperature.timeAbove, 240);
  EXPECT_EQ(s.temperature.timeBelow, 60);
  EXPECT_EQ(s.humidity.timeAbove, 60);
  EXPECT_EQ(s.excursions(), 4);
  EXPECT_EQ(s.alarms(), 4);  // instant
  EXPECT_EQ(history::verdict(s), "4 alarms");
  EXPECT_EQ(r.sensors[1].sensor, 2);
  EXPECT_EQ(r.sensors[1].excursions(), 0);
  EXPECT_EQ(history::verdict(r.sensors[1]), "Within limits");
  EXPECT_EQ(history::verdict(r), "4 alarms");

  // Readings without a value leave the verdict incomplete, limits or not.
  EXPECT_EQ(history::verdict(history::findExcursions(records, history::Limits{})),
            "Incomplete: 2 readings without a value");
  EXPECT_EQ(history::verdict(history::findExcursions({reading(0, 8), reading(60, 9)}, history::Limits{})),
            "No limits set");
  EXPECT_EQ(history::verdict(history::findExcursions({}, limits("2:8"))), "No readings");
}

TEST(Excursions, AJumpFromAboveToBelowEndsOneAndStartsTheOtherAtThatReading) {
  const history::ExcursionResult r = history::findExcursions(
      {reading(0, 5), reading(60, 9), reading(120, 1), reading(180, 9), reading(240, 5)}, limits("2:8"));
  ASSERT_EQ(r.excursions.size(), 3u);
  expectExcursion(r.excursions[0], 1, Measure::temperature, Side::above, 60, 120, 60, 1, 9);
  expectExcursion(r.excursions[1], 1, Measure::temperature, Side::below, 120, 180, 60, 1, 1);
  expectExcursion(r.excursions[2], 1, Measure::temperature, Side::above, 180, 240, 60, 1, 9);
  EXPECT_EQ(r.sensors[0].temperature.timeAbove, 120);
  EXPECT_EQ(r.sensors[0].temperature.timeBelow, 60);
}

TEST(Excursions, AlarmRulesAtTheirDelay) {
  // Above for 10 minutes, below for 3, above for 5.
  const std::vector<history::StoredRecord> records = {
      reading(0, 9),    reading(300, 9),  reading(600, 5),  reading(900, 1),
      reading(1080, 5), reading(1200, 9), reading(1500, 5),
  };
  const auto alarms = [&](AlarmRule rule, int64_t delay) {
    std::string out;
    for (const Excursion& e : history::findExcursions(records, limits("2:8", ":", rule, delay)).excursions)
      out += e.alarm ? '1' : '0';
    return out;
  };
  EXPECT_EQ(alarms(AlarmRule::instant, 3600), "111");
  EXPECT_EQ(alarms(AlarmRule::consecutive, 600), "100");  // a duration equal to the delay alarms
  EXPECT_EQ(alarms(AlarmRule::consecutive, 180), "111");
  EXPECT_EQ(alarms(AlarmRule::consecutive, 601), "000");
  // 10 + 5 minutes above reach 15 minutes: both alarm; the 3 minutes below stay on their own side.
  EXPECT_EQ(alarms(AlarmRule::cumulative, 900), "101");
  EXPECT_EQ(alarms(AlarmRule::cumulative, 901), "000");
  EXPECT_EQ(alarms(AlarmRule::cumulative, 180), "111");

  const history::ExcursionResult r =
      history::findExcursions(records, limits("2:8", ":", AlarmRule::cumulative, 900));
  EXPECT_EQ(r.sensors[0].temperature.timeAbove, 900);
  EXPECT_EQ(r.sensors[0].temperature.timeBelow, 180);
  EXPECT_EQ(r.sensors[0].temperature.alarms, 2);
  EXPECT_EQ(history::verdict(r), "2 alarms");
  // Each sensor is asked for its own limits.
  const auto perSensor = [](uint16_t sensor) { return sensor == 1 ? limits("2:8") : limits("0:10"); };
  EXPECT_EQ(
      history::findExcursions({reading(0, 9, 50, 1), reading(0, 9, 50, 2)}, perSensor).excursions.size(), 1u);
}

TEST(Excursions, ClockSetBackCountsZeroAndSetForwardCountsInFull) {
  constexpr int64_t h = 3600, m = 60;
  // In memory order: the clock set back an hour at 03:00, which became 02:00: 02:50, 02:55, 02:00, 02:10.
  const history::ExcursionResult back =
      history::findExcursions({reading(2 * h + 50 * m, 9), reading(2 * h + 55 * m, 9), reading(2 * h, 9),
                               reading(2 * h + 10 * m, 5), reading(3 * h, 9), reading(2 * h + 5 * m, 5)},
                              limits("2:8"));
  ASSERT_EQ(back.excursions.size(), 2u);
  // 5 minutes, the step back as nothing, 10 minutes: never the minus 40 minutes "end minus start" gives.
  EXPECT_EQ(back.excursions[0].duration, 15 * m);
  EXPECT_EQ(back.excursions[0].readings, 3);
  // An excursion that ends before it starts by the clock lasted nothing, not minus 55 minutes.
  EXPECT_EQ(back.excursions[1].start, 3 * h);
  EXPECT_EQ(back.excursions[1].end, 2 * h + 5 * m);
  EXPECT_EQ(back.excursions[1].duration, 0);
  EXPECT_EQ(back.sensors[0].temperature.timeAbove, 15 * m);

  // The same hour in calendar-time order, as the history hands it out: both passes interleave, equal
  // times step by nothing, and the hour counts once.
  const history::ExcursionResult sorted =
      history::findExcursions({reading(2 * h, 9), reading(2 * h, 9), reading(2 * h + 30 * m, 9),
                               reading(2 * h + 30 * m, 9), reading(3 * h, 5)},
                              limits("2:8"));
  ASSERT_EQ(sorted.excursions.size(), 1u);
  EXPECT_EQ(sorted.excursions[0].readings, 4);
  EXPECT_EQ(sorted.excursions[0].duration, h);

  // Set forward an hour at 02:00: 01:50 then 03:00; the skipped hour counts.
  const history::ExcursionResult forward =
      history::findExcursions({reading(h + 50 * m, 9), reading(3 * h, 5)}, limits("2:8"));
  ASSERT_EQ(forward.excursions.size(), 1u);
  EXPECT_EQ(forward.excursions[0].duration, 70 * m);
}

TEST(Limits, ParsersReadWhatPeopleTypeAndRefuseTheRestWithOneLine) {
  std::optional<double> low, high;
  std::string error;
  ASSERT_TRUE(history::parseRange(" -5.5 : +30 ", low, high, error));
  EXPECT_EQ(low, -5.5);
  EXPECT_EQ(high, 30);
  ASSERT_TRUE(history::parseRange(":8", low, high, error));
  EXPECT_FALSE(low.has_value());
  EXPECT_EQ(high, 8);
  ASSERT_TRUE(history::parseRange("2:", low, high, error));
  EXPECT_EQ(history::formatRange(low, high), "2:");
  ASSERT_TRUE(history::parseRange("0.1:0.1", low, high, error));
  EXPECT_EQ(history::formatRange(low, high), "0.1:0.1");
  for (const char* bad :
       {"8:2", "a:8", "2,5:8", "nan:", ":inf", ":1e999", "8", "1:2:3", "", "+-1:", "2:8x", "0x10:"}) {
    error.clear();
    EXPECT_FALSE(history::parseRange(bad, low, high, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
    EXPECT_EQ(history::formatRange(low, high), "0.1:0.1") << bad << ": left alone";
  }
  history::parseRange("2,5:8", low, high, error);
  EXPECT_NE(error.find("decimal point"), std::string::npos) << error;
  history::parseRange("ab\ncd:8", low, high, error);
  EXPECT_EQ(error.find('\n'), std::string::npos) << "one line";

  int64_t delay = -1;
  const std::pair<const char*, int64_t> good[] = {{"0", 0},
                                                  {"90s", 90},
                                                  {"15m", 900},
                                                  {"2h", 7200},
                                                  {"1h30m", 5400},
                                                  {"1d2h3m4s", 93784},
                                                  {"3660d", history::kMaxDelay}};
  for (const auto& [text, seconds] : good) {
    ASSERT_TRUE(history::parseDelay(text, delay, error)) << text << ": " << error;
    EXPECT_EQ(delay, seconds) << text;
    int64_t again = -1;
    EXPECT_TRUE(history::parseDelay(history::formatDelay(seconds), again, error) && again == seconds) << text;
  }
  EXPECT_EQ(history::formatDelay(90), "1m30s");
  EXPECT_EQ(history::formatDelay(5400), "1h30m");
  // What people read (report, window, excursions): the two largest units, a zero second unit left out.
  const std::pair<int64_t, const char*> spoken[] = {{-5, "0 s"},
                                                    {45, "45 s"},
                                                    {720, "12 min"},
                                                    {750, "12 min 30 s"},
                                                    {3 * 3600 + 300, "3 h 05 min"},
                                                    {86400, "1 d"},
                                                    {4 * 86400 + 15 * 3600 + 59, "4 d 15 h"},
                                                    {history::kMaxDelay, "3660 d"}};
  for (const auto& [seconds, text] : spoken) EXPECT_EQ(history::durationText(seconds), text) << seconds;
  for (const char* bad :
       {"-5m", "15", "1.5h", "m", "30m1h", "1h1h", "99999999999999999999s", "3660d1s", "5x", "", "1h 30m"}) {
    error.clear();
    EXPECT_FALSE(history::parseDelay(bad, delay, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
    EXPECT_EQ(delay, history::kMaxDelay) << bad << ": left alone";
  }

  AlarmRule rule = AlarmRule::instant;
  for (AlarmRule r : {AlarmRule::consecutive, AlarmRule::cumulative, AlarmRule::instant}) {
    ASSERT_TRUE(history::parseRule(history::ruleName(r), rule, error));
    EXPECT_EQ(rule, r);
  }
  EXPECT_FALSE(history::parseRule("Cumulative", rule, error));
  EXPECT_FALSE(history::parseRule("", rule, error));
  EXPECT_EQ(history::QuantityLimits{}.rule, AlarmRule::consecutive);

  // Limits from elsewhere (a database row) are checked the same way.
  history::QuantityLimits q;
  q.lower = 8;
  q.upper = 2;
  EXPECT_FALSE(q.valid(error));
  q.upper = std::nan("");
  EXPECT_FALSE(q.valid(error));
  q.upper = 9;
  q.delay = -1;
  EXPECT_FALSE(q.valid(error));
  q.delay = 900;
  EXPECT_TRUE(q.valid(error)) << error;
}

TEST(ReadingsDigest, IsSha256OfTheRecordsInTheirByteForm) {
  EXPECT_EQ(history::readingsDigest({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  const std::vector<history::StoredRecord> records = {reading(0, 5.5f), reading(60, 9, 40, 2, true)};
  // The byte form written out by hand: serial length (4 bytes, little-endian), serial, the 32 record
  // bytes as the logger keeps them (this host is little-endian, so the packed record is that), flag,
  // the time shown (8 bytes) and its UTC offset (4 bytes), here of a clock set at +01:00.
  const history::ClockOffsets clock({{0, {"Europe/Berlin", 3600}, history::ClockZoneKind::setTime}},
                                    history::Zone{"UTC", 0});
  std::string bytes;
  for (const history::StoredRecord& r : records) {
    bytes += std::string("\x04\0\0\0", 4) + r.logger;
    bytes.append(reinterpret_cast<const char*>(&r.record), sizeof r.record);
    bytes += r.checksumError ? '\x01' : '\x00';
    bytes.append(reinterpret_cast<const char*>(&r.time), sizeof r.time);
    bytes += std::string("\x10\x0e\0\0", 4);
  }
  ASSERT_EQ(bytes.size(), 2u * 53);
  historytest::TempDir dir;
  const std::string file = dir / "readings.bin";
  historytest::writeFile(file, bytes);
  std::FILE* pipe = ::popen(("sha256sum '" + file + "'").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char hex[65] = {};
  const size_t got = std::fread(hex, 1, 64, pipe);
  ::pclose(pipe);
  ASSERT_EQ(got, 64u) << "sha256sum printed nothing";
  EXPECT_EQ(history::readingsDigest(records, &clock), std::string(hex));

  // The flag, the order, the time and the offset are part of it; without a zone recorded the offset
  // is 0, whatever this computer's zone.
  std::vector<history::StoredRecord> changed = records;
  changed[1].checksumError = false;
  EXPECT_NE(history::readingsDigest(changed, &clock), hex);
  EXPECT_NE(history::readingsDigest({records[1], records[0]}, &clock), hex);
  changed = records;
  changed[1].time += 3600;
  EXPECT_NE(history::readingsDigest(changed, &clock), hex);
  EXPECT_NE(history::readingsDigest(records), hex);
  const history::ClockOffsets assumed({}, history::Zone{"Europe/Berlin", 3600});
  EXPECT_EQ(history::readingsDigest(records, &assumed), history::readingsDigest(records));
}
