// tarnwick-cli limits, excursions and history --digest against a history in a scratch folder, and what
// set-time and download note in it.
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>

#include "CliSupport.h"
#include "cli/ExitStatus.h"
#include "history/Digest.h"
#include "history/History.h"
#include "history/HistorySupport.h"

using clitest::CliTest;
using clitest::runCli;

namespace {

history::Limits limitsOf(const std::string& logger, std::optional<uint16_t> sensor) {
  history::Store store;
  std::string error;
  history::Limits out;
  bool set = false;
  EXPECT_TRUE(store.open(history::Store::defaultPath(), error) &&
              store.effectiveLimits(logger, sensor, out, set, error))
      << error;
  EXPECT_TRUE(set);
  return out;
}

size_t changes(const std::string& logger) {
  history::Store store;
  std::string error;
  std::vector<history::LimitChange> out;
  EXPECT_TRUE(store.open(history::Store::defaultPath(), error) && store.limitChanges(logger, out, error))
      << error;
  return out.size();
}

// Sensor 1 every ten minutes from 10:00 on 2026-03-07: 5, 5, 9, 9.5, 5, 1 °C; sensor 2 always 5 °C.
std::vector<messwert_tag> knownReadings() {
  const float sensor1[] = {5, 5, 9, 9.5f, 5, 1};
  std::vector<messwert_tag> out;
  for (int i = 0; i < 6; ++i)
    for (uint16_t sensor : {1, 2}) {
      messwert_tag r = historytest::record(2026, 3, 7, 10, i * 10, 0, sensor);
      r.temperature = sensor == 1 ? sensor1[i] : 5.0f;
      r.reserved[5] = 0;
      r.reserved[5] = static_cast<uint8_t>(0x100 - messwert::checksum(r));
      out.push_back(r);
    }
  return out;
}

}  // namespace

TEST_F(CliTest, LimitsAreMergedShownAndRecordedAndBadInputStoresNothing) {
  for (const std::vector<std::string>& bad :
       std::vector<std::vector<std::string>>{{"--temperature", "8:2"},
                                             {"--temperature", "2,5:8"},
                                             {"--humidity", "abc"},
                                             {"--rule", "sometimes"},
                                             {"--delay", "-5m"},
                                             {"--delay", "15"},
                                             {"--clear", "--rule", "instant"}}) {
    std::vector<std::string> args{"limits", "--serial", "VLM1"};
    args.insert(args.end(), bad.begin(), bad.end());
    const auto run = runCli(args);
    EXPECT_EQ(run.status, cli::kBadArguments) << bad[0] << " " << bad.back();
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
  EXPECT_EQ(changes("VLM1"), 0u);
  EXPECT_EQ(runCli({"limits", "--serial",
                    "VLM\x1b"
                    "1",
                    "--temperature", "2:8"})
                .status,
            cli::kBadArguments);
  EXPECT_EQ(runCli({"limits", "--serial", "1", "--temperature", "2:8"}).status, cli::kBadArguments)
      << "a number alone names no logger the history does not know";

  const auto set = runCli({"limits", "--serial", "VLM1", "--temperature", "2:8", "--delay", "15m"});
  ASSERT_EQ(set.status, cli::kDone) << set.err;
  // Options not given keep their value.
  ASSERT_EQ(runCli({"limits", "-s", "VLM1", "--humidity", ":60", "--reason", "Humidity too"}).status,
            cli::kDone);
  // A bad value after that changes nothing.
  EXPECT_EQ(runCli({"limits", "-s", "VLM1", "--temperature", "0:1", "--rule", "never"}).status,
            cli::kBadArguments);
  history::Limits logger = limitsOf("VLM1", std::nullopt);
  EXPECT_EQ(history::limitsText(logger), "temperature 2:8 15m consecutive; humidity :60 15m consecutive");

  // A sensor's own limits start from the logger's.
  ASSERT_EQ(runCli({"limits", "-s", "VLM1", "--sensor", "3", "--rule", "instant"}).status, cli::kDone);
  EXPECT_EQ(history::limitsText(limitsOf("VLM1", 3)),
            "temperature 2:8 15m instant; humidity :60 15m instant");
  EXPECT_EQ(limitsOf("VLM1", 4).temperature.rule, history::AlarmRule::consecutive);

  const auto shown = runCli({"limits", "--serial", "VLM1"});
  ASSERT_EQ(shown.status, cli::kDone) << shown.err;
  EXPECT_NE(shown.out.find("VLM1, every sensor: temperature 2:8 °C, alarm delay 15m, rule consecutive; "
                           "humidity :60 %RH, alarm delay 15m, rule consecutive\n"),
            std::string::npos)
      << shown.out;
  EXPECT_NE(shown.out.find("VLM1, sensor 3: temperature 2:8 °C, alarm delay 15m, rule instant"),
            std::string::npos);
  const std::string user = history::thisComputer().user;
  EXPECT_NE(shown.out.find(" " + user + " on "), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("every sensor: (none) -> temperature 2:8 15m consecutive"), std::string::npos);
  EXPECT_EQ(changes("VLM1"), 3u);

  // Limits that are set change only with a reason, kept with the change.
  const auto unexplained = runCli({"limits", "-s", "VLM1", "--sensor", "3", "--clear"});
  EXPECT_EQ(unexplained.status, cli::kBadArguments);
  EXPECT_NE(unexplained.err.find("needs a reason; nothing stored (give --reason TEXT)"), std::string::npos)
      << unexplained.err;
  EXPECT_EQ(changes("VLM1"), 3u);
  ASSERT_EQ(
      runCli({"limits", "-s", "VLM1", "--sensor", "3", "--clear", "--reason", "Sensor 3 removed"}).status,
      cli::kDone);
  EXPECT_NE(runCli({"limits", "-s", "VLM1"}).out.find("(none) (reason: Sensor 3 removed)\n"),
            std::string::npos);
  EXPECT_EQ(limitsOf("VLM1", 3).temperature.rule, history::AlarmRule::consecutive);
  EXPECT_EQ(changes("VLM1"), 4u);
}

TEST_F(CliTest, ExcursionsOfAKnownDataSetAndStatus12ForAnAlarm) {
  history::Store store;
  std::string error;
  ASSERT_TRUE(store.open(history::Store::defaultPath(), error)) << error;
  history::ImportResult imported;
  ASSERT_TRUE(store.importDownload("VLM1", "a.csv", knownReadings(), imported, error)) << error;
  // The clock was set at 09:00 UTC, 10:00 on a PC at +01:00.
  ASSERT_TRUE(store.recordClockZone("VLM1", 1772874000, {"Europe/Berlin", 3600},
                                    history::ClockZoneKind::setTime, error))
      << error;
  const auto none = runCli({"excursions", "-s", "VLM1"});
  EXPECT_EQ(none.status, cli::kDone);
  EXPECT_NE(none.err.find("no limits set"), std::string::npos);

  ASSERT_EQ(runCli({"limits", "-s", "VLM1", "--temperature", "2:8", "--delay", "15m"}).status, cli::kDone);
  const auto found = runCli({"excursions", "-s", "VLM1", "-f", "jsonl"});
  EXPECT_EQ(found.status, cli::kExcursionAlarm) << found.err;
  EXPECT_EQ(
      found.out,
      "{\"serial\":\"VLM1\",\"name\":null,\"sensor\":1,\"quantity\":\"temperature\",\"side\":\"above\","
      "\"start\":\"2026-03-07T10:20:00+01:00\",\"end\":\"2026-03-07T10:40:00+01:00\",\"duration_s\":1200,"
      "\"readings\":2,\"extreme\":9.5,\"limit\":8.0,\"alarm\":true,\"comments\":[]}\n"
      "{\"serial\":\"VLM1\",\"name\":null,\"sensor\":1,\"quantity\":\"temperature\",\"side\":\"below\","
      "\"start\":\"2026-03-07T10:50:00+01:00\",\"end\":\"2026-03-07T10:50:00+01:00\",\"duration_s\":0,"
      "\"readings\":1,\"extreme\":1.0,\"limit\":2.0,\"alarm\":false,\"comments\":[]}\n");
  const auto text = runCli({"excursions", "-s", "VLM1"});
  EXPECT_EQ(text.status, cli::kExcursionAlarm);
  EXPECT_NE(text.out.find("VLM1: 1 alarm\n"), std::string::npos) << text.out;

  // A range without the alarm; the same moment with its offset, and as the logger's clock shows it.
  EXPECT_EQ(runCli({"excursions", "-s", "VLM1", "--from", "2026-03-07T09:45:00Z"}).status, cli::kDone);
  const auto clockTime = runCli({"excursions", "-s", "VLM1", "-f", "jsonl", "--from", "2026-03-07T10:45"});
  EXPECT_EQ(clockTime.status, cli::kDone);
  EXPECT_NE(clockTime.out.find("\"side\":\"below\""), std::string::npos);
  EXPECT_EQ(runCli({"excursions", "-s", "VLM1", "--to", "2026-03-07T11:25:00+02:00"}).status, cli::kDone);
  EXPECT_EQ(runCli({"excursions", "-s", "VLM1", "--sensor", "2"}).status, cli::kDone);
  const auto empty = runCli({"excursions", "-s", "VLM1", "--sensor", "9"});
  EXPECT_EQ(empty.out, "VLM1: No readings\n") << empty.err;
  EXPECT_EQ(runCli({"excursions", "-s", "VLM1", "--from", "2026-03-07T10:45+25:00"}).status,
            cli::kBadArguments);
  EXPECT_EQ(runCli({"excursions", "-s", "VLM9"}).status, cli::kNoLogger);
}

TEST_F(CliTest, TheDigestIsTheLibrarysOverTheSameReadings) {
  history::Store store;
  std::string error;
  ASSERT_TRUE(store.open(history::Store::defaultPath(), error)) << error;
  history::ImportResult imported;
  ASSERT_TRUE(store.importDownload("VLM1", "a.csv", knownReadings(), imported, error)) << error;
  history::Query query;
  query.logger = "VLM1";
  query.sensors = {2};
  query.from = 1772877600 + 600;  // 10:10 to 10:40 as the clock shows it
  query.to = 1772877600 + 2400;
  std::vector<history::StoredRecord> records;
  ASSERT_TRUE(store.query(query, records, error)) << error;
  ASSERT_EQ(records.size(), 4u);
  const auto some = runCli({"history", "--digest", "-s", "VLM1", "--sensor", "2", "--from",
                            "2026-03-07T10:10", "--to", "2026-03-07 10:40:00"});
  ASSERT_EQ(some.status, cli::kDone) << some.err;
  EXPECT_EQ(some.out, history::readingsDigest(records) + "\n");
  query = history::Query{};
  ASSERT_TRUE(store.query(query, records, error)) << error;
  EXPECT_EQ(runCli({"history", "--digest"}).out, history::readingsDigest(records) + "\n");
}

TEST_F(CliTest, SetTimeAndDownloadNoteTheZoneAndADownloadWithAnAlarmExits12) {
  const char* before = std::getenv("TZ");
  const std::string kept = before ? before : "";
  ::setenv("TZ", "Europe/Berlin", 1);
  ::tzset();
  attach(logger("VLM12345", 300));
  ASSERT_EQ(runCli({"set-time"}).status, cli::kDone);
  // The virtual logger's rooms are warmer than 8 °C.
  ASSERT_EQ(runCli({"limits", "-s", "VLM12345", "--temperature", "2:8"}).status, cli::kDone);
  const auto download = runCli({"download", "-o", path("a.csv")});
  EXPECT_EQ(download.status, cli::kExcursionAlarm) << download.err;
  EXPECT_NE(download.err.find("VLM12345: 3 alarms in the download"), std::string::npos) << download.err;
  EXPECT_EQ(runCli({"download", "--no-history", "-o", path("b.csv")}).status, cli::kExcursionAlarm);
  if (before)
    ::setenv("TZ", kept.c_str(), 1);
  else
    ::unsetenv("TZ");
  ::tzset();

  history::Store store;
  std::string error;
  ASSERT_TRUE(store.open(history::Store::defaultPath(), error)) << error;
  std::vector<history::ClockZoneRow> zones;
  ASSERT_TRUE(store.clockZones("VLM12345", zones, error)) << error;
  ASSERT_EQ(zones.size(), 2u);
  EXPECT_EQ(zones[0].kind, history::ClockZoneKind::setTime);
  EXPECT_EQ(zones[0].zone.name, "Europe/Berlin");
  EXPECT_EQ(zones[0].zone.offset, 3600);  // on the fixed clock's day, 2026-03-07
  EXPECT_EQ(zones[1].kind, history::ClockZoneKind::download);
  const auto rows = store.downloads("VLM12345");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].user, history::thisComputer().user);
  EXPECT_EQ(rows[0].host, history::thisComputer().host);

  // Records left out as well: the lower status wins, and the alarm is said all the same.
  std::vector<uint8_t> image = attach(logger("VLM12345", 300))->Memory();
  image[20 * 32 + 5] = 13;  // month 13
  usbdrv::DetachAllDevices();
  velmora::Options options = logger("VLM12345");
  options.image = image;
  options.used = 300;
  attach(options);
  const auto skipped = runCli({"download", "-q", "-o", path("c.csv")});
  EXPECT_EQ(skipped.status, cli::kSkipped) << skipped.err;
  EXPECT_NE(skipped.err.find("alarms in the download"), std::string::npos) << skipped.err;
}
