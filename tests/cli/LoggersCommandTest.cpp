// tarnwick-cli loggers: a row per logger of the history, whether or not it is attached.
#include <sqlite3.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "CliSupport.h"
#include "cli/ExitStatus.h"
#include "history/History.h"

using clitest::CliTest;
using clitest::runCli;

namespace {

messwert_tag reading(int minute, uint16_t sensor) {
  messwert_tag r{};
  r.year = 2026;
  r.month = 3;
  r.day = 1;
  r.hour = static_cast<uint8_t>(minute / 60);
  r.minute = static_cast<uint8_t>(minute % 60);
  r.humidity = 50;
  r.temperature = 20;
  r.sensorSerialNumber = sensor;
  r.reserved[5] = static_cast<uint8_t>(0x100 - messwert::checksum(r));
  return r;
}

}  // namespace

TEST_F(CliTest, LoggersHasARowPerLoggerOfTheHistory) {
  ::setenv("XDG_DATA_HOME", path("data").c_str(), 1);
  const auto empty = runCli({"loggers", "--format", "jsonl"});
  EXPECT_EQ(empty.status, cli::kDone) << empty.err;
  EXPECT_EQ(empty.out, "");

  {
    history::Store store;
    std::string error;
    ASSERT_TRUE(store.open(history::Store::defaultPath(), error)) << error;
    std::vector<messwert_tag> records;
    for (int m = 0; m < 90; ++m) records.push_back(reading(m, static_cast<uint16_t>(1 + m % 2)));
    history::ImportResult result;
    ASSERT_TRUE(
        store.importDownload("VLM12345", "/tmp/a.csv", records, result, error, history::kDeviceVirtual))
        << error;
    ASSERT_TRUE(store.importCsvRecords("VLM900", "/tmp/b.csv", {reading(5, 1)}, {false}, result, error))
        << error;
  }
  // The download took place 2026-03-04 12:00 UTC; the command runs on 2026-03-07 at 14:05 local time.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(history::Store::defaultPath().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "UPDATE downloads SET time = 1772625600", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);

  const auto run = runCli({"loggers", "-f", "jsonl"});
  ASSERT_EQ(run.status, cli::kDone) << run.err;
  std::istringstream lines(run.out);
  std::vector<nlohmann::json> rows;
  for (std::string line; std::getline(lines, line);) rows.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(rows.size(), 2u);
  const nlohmann::json& a = rows[0];
  EXPECT_EQ(a["logger"], "VLM12345");
  EXPECT_EQ(a["readings"], 90);
  EXPECT_EQ(a["first_reading"], "2026-03-01T00:00:00");
  EXPECT_EQ(a["last_reading"], "2026-03-01T01:29:00");
  EXPECT_EQ(a["last_download"]["time"], "2026-03-04T12:00:00Z");
  EXPECT_EQ(a["last_download"]["device"], "virtual");
  EXPECT_EQ(a["last_download"]["first_reading"], "2026-03-01T00:00:00");
  EXPECT_EQ(a["last_download"]["last_reading"], "2026-03-01T01:29:00");
  EXPECT_EQ(a["limits_set"], false);
  EXPECT_TRUE(a["excursions"].is_null());
  EXPECT_EQ(a["days_since_download"], 3);
  const nlohmann::json& b = rows[1];
  EXPECT_EQ(b["logger"], "VLM900");
  EXPECT_EQ(b["readings"], 1);
  EXPECT_TRUE(b["last_download"].is_null());  // a file opened into the history is no download
  EXPECT_TRUE(b["days_since_download"].is_null());

  const auto text = runCli({"loggers"});
  ASSERT_EQ(text.status, cli::kDone) << text.err;
  EXPECT_EQ(text.out.rfind("LOGGER ", 0), 0u) << text.out;
  EXPECT_NE(text.out.find("\nVLM12345 "), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("2026-03-04 12:00 UTC"), std::string::npos) << text.out;
  EXPECT_EQ(runCli({"loggers", "-f", "csv"}).status, cli::kBadArguments);
  ::unsetenv("XDG_DATA_HOME");
}
