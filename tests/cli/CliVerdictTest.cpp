// tarnwick-cli verdict, and the status excursions takes from the same verdict.
#include <cmath>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>

#include "CliSupport.h"
#include "cli/ExitStatus.h"
#include "history/History.h"
#include "history/HistorySupport.h"

using clitest::CliTest;
using clitest::runCli;

namespace {

// Sensor 1 every ten minutes on 2026-03-07, from slot `first` (10:00 is slot 0) up to `last`, at 5 °C.
std::vector<messwert_tag> slots(int first, int last) {
  std::vector<messwert_tag> out;
  for (int i = first; i <= last; ++i) {
    messwert_tag r = historytest::record(2026, 3, 7, 10 + i / 6, (i % 6) * 10, 0, 1);
    r.temperature = 5.0f;
    r.reserved[5] = 0;
    r.reserved[5] = static_cast<uint8_t>(0x100 - messwert::checksum(r));
    out.push_back(r);
  }
  return out;
}

void resum(messwert_tag& r) {
  r.reserved[5] = 0;
  r.reserved[5] = static_cast<uint8_t>(0x100 - messwert::checksum(r));
}

}  // namespace

TEST_F(CliTest, VerdictListsEveryReasonWithItsTimesAndExits13WhenIncomplete) {
  history::Store store;
  std::string error;
  ASSERT_TRUE(store.open(history::Store::defaultPath(), error)) << error;
  history::ImportResult imported;
  ASSERT_TRUE(store.recordClockZone("VLM1", 1772874000, {"Europe/Berlin", 3600},
                                    history::ClockZoneKind::setTime, error))
      << error;
  ASSERT_TRUE(store.importDownload("VLM1", "a.csv", slots(0, 11), imported, error)) << error;
  ASSERT_EQ(runCli({"limits", "-s", "VLM1", "--temperature", "2:8"}).status, cli::kDone);
  const auto within = runCli({"verdict", "-s", "VLM1"});
  EXPECT_EQ(within.status, cli::kDone) << within.err;
  EXPECT_EQ(within.out.substr(0, within.out.find('\n')), "VLM1: Within limits");

  // 11:50 to 14:10 without a reading, then readings without a value: an infinity and a check-sum error.
  std::vector<messwert_tag> later = slots(25, 30);
  later[1].temperature = std::numeric_limits<float>::infinity();
  resum(later[1]);
  later[2] = historytest::withBadChecksum(later[2]);
  ASSERT_TRUE(store.importDownload("VLM1", "b.csv", later, imported, error)) << error;
  const auto text = runCli({"verdict", "-s", "VLM1"});
  EXPECT_EQ(text.status, cli::kIncomplete) << text.err;
  EXPECT_NE(text.out.find("VLM1: Incomplete: 1 gap, 2 readings without a value\n"), std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("VLM1 sensor 1: gap of 2h20m from 2026-03-07T11:50:00+01:00 to "
                          "2026-03-07T14:10:00+01:00\n"),
            std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("VLM1 sensor 1: 2 readings without a value from 2026-03-07T14:20:00+01:00 to "
                          "2026-03-07T14:30:00+01:00\n"),
            std::string::npos)
      << text.out;
  const auto outside = runCli({"excursions", "-s", "VLM1"});
  EXPECT_EQ(outside.status, cli::kIncomplete);
  EXPECT_NE(outside.out.find("gap of 2h20m"), std::string::npos) << outside.out;
  EXPECT_EQ(runCli({"verdict", "-s", "VLM1", "--to", "2026-03-07T11:50"}).status, cli::kDone);
  // A period asked for beyond the readings: the stretch after the last one is a gap too.
  EXPECT_EQ(runCli({"verdict", "-s", "VLM1", "--to", "2026-03-07T13:00"}).status, cli::kIncomplete);

  // Readings only from a file, where no download covers them.
  std::vector<messwert_tag> fromFile = slots(36, 39);
  ASSERT_TRUE(store.importCsvRecords("VLM1", "c.csv", fromFile, std::vector<bool>(fromFile.size(), false),
                                     imported, error))
      << error;
  ASSERT_EQ(imported.added, 4);
  const auto jsonl = runCli({"verdict", "-s", "VLM1", "--from", "2026-03-07T16:00", "-f", "jsonl"});
  EXPECT_EQ(jsonl.status, cli::kIncomplete) << jsonl.err;
  const nlohmann::json line = nlohmann::json::parse(jsonl.out);
  EXPECT_EQ(line["verdict"], "incomplete");
  EXPECT_EQ(line["alarms"], 0);
  ASSERT_EQ(line["reasons"].size(), 1u) << jsonl.out;
  EXPECT_EQ(line["reasons"][0]["kind"], "file-only");
  EXPECT_EQ(line["reasons"][0]["start"], "2026-03-07T16:00:00+01:00");
  EXPECT_EQ(line["reasons"][0]["end"], "2026-03-07T16:30:00+01:00");
  EXPECT_EQ(line["reasons"][0]["count"], 4);

  // An alarm outranks all of it.
  std::vector<messwert_tag> warm = slots(42, 44);
  warm[1].temperature = 9.5f;
  resum(warm[1]);
  ASSERT_TRUE(store.importDownload("VLM1", "d.csv", warm, imported, error)) << error;
  const auto alarm = runCli({"verdict", "-s", "VLM1", "-f", "jsonl"});
  EXPECT_EQ(alarm.status, cli::kExcursionAlarm);
  EXPECT_EQ(nlohmann::json::parse(alarm.out)["verdict"], "alarms");
  EXPECT_EQ(runCli({"excursions", "-s", "VLM1"}).status, cli::kExcursionAlarm);
  EXPECT_EQ(runCli({"verdict", "-s", "VLM9"}).status, cli::kNoLogger);
}

// A download whose every reading is within the limits but one has no value: no all-clear, status 13.
TEST_F(CliTest, ADownloadWithAReadingWithoutAValueExits13) {
  std::vector<uint8_t> image = attach(logger("VLM12345", 300))->Memory();
  usbdrv::DetachAllDevices();
  uint8_t* record = image.data() + 20 * 32;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  int before = 0, after = 0;
  for (int i = 12; i < 16; ++i) before += record[i];
  std::memcpy(record + 12, &nan, sizeof nan);
  for (int i = 12; i < 16; ++i) after += record[i];
  record[31] = static_cast<uint8_t>(record[31] + before - after);  // the check byte still sums to 0
  velmora::Options options = logger("VLM12345");
  options.image = image;
  options.used = 300;
  attach(options);
  ASSERT_EQ(runCli({"limits", "-s", "VLM12345", "--temperature", "0:40"}).status, cli::kDone);
  const auto download = runCli({"download", "-o", path("a.csv")});
  EXPECT_EQ(download.status, cli::kIncomplete) << download.err;
  EXPECT_NE(download.err.find("VLM12345: Incomplete: 1 reading without a value in the download"),
            std::string::npos)
      << download.err;
}
