// tarnwick-cli history verify against histories edited behind Tarnwick's back with sqlite3.
#include <sys/wait.h>

#include <filesystem>

#include "CliSupport.h"
#include "cli/ExitStatus.h"
#include "history/History.h"
#include "history/HistorySupport.h"

using clitest::CliTest;
using clitest::runCli;

namespace {

// A record as a CSV file gives it back: no tick, no reserved bytes.
messwert_tag asReadFromFile(messwert_tag r) {
  r.tick = 0;
  for (uint8_t& b : r.reserved) b = 0;
  return r;
}

int sqlite(const std::string& file, const std::string& sql) {
  const std::string command = "sqlite3 '" + file + "' \"" + sql + "\" >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

// One history with every kind of row the trail speaks for (a download that replaced a file's lines, a
// flagged record, limits, a clock zone, a firmware version), then each edit on a copy of it.
TEST_F(CliTest, HistoryVerifyFindsEachEditMadeOutsideTarnwick) {
  const std::string base = path("base.sqlite");
  {
    history::Store store;
    std::string error;
    ASSERT_TRUE(store.open(base, error)) << error;
    std::vector<messwert_tag> downloaded, fromFile;
    for (int minute = 0; minute < 30; minute += 5)
      for (uint16_t sensor : {1, 2})
        downloaded.push_back(historytest::record(2026, 3, 7, 10, minute, 0, sensor));
    downloaded.push_back(historytest::withBadChecksum(historytest::record(2026, 3, 7, 10, 40, 0, 1)));
    for (int i = 0; i < 4; ++i) fromFile.push_back(asReadFromFile(downloaded[i]));
    history::ImportResult result;
    ASSERT_TRUE(
        store.importCsvRecords("VLM1", "early.csv", fromFile, std::vector<bool>(4, false), result, error))
        << error;
    history::DownloadOrigin origin;
    origin.device = history::kDeviceVirtual;
    origin.computer = history::Computer{"desk", "anna"};
    origin.firmware = "V1.09";
    origin.clockZone = history::Zone{"Europe/Berlin", 3600};
    ASSERT_TRUE(store.importDownload("VLM1", "VLM1.csv", downloaded, origin, result, error)) << error;
    history::Limits limits;
    limits.temperature.upper = 25;
    ASSERT_TRUE(store.setLimits("VLM1", uint16_t{1}, limits, history::Computer{"desk", "anna"}, error))
        << error;
    ASSERT_TRUE(store.recordFirmware("VLM1", 1772877600, "V1.10", error)) << error;
  }
  const auto sound = runCli({"--history", base, "history", "verify"});
  ASSERT_EQ(sound.status, cli::kDone) << sound.err;
  ASSERT_EQ(sound.out.rfind("verified: ", 0), 0u) << sound.out;
  EXPECT_NE(sound.out.find(" and 17 records checked"), std::string::npos)
      << sound.out;  // 13 kept, 4 replaced
  const std::string head = sound.out.substr(sound.out.find("head ") + 5, 64);

  // A copy into another history keeps a trail of its own that holds.
  const auto copied = runCli({"--history", base, "history", "copy", "--to", path("copy.sqlite")});
  ASSERT_EQ(copied.status, cli::kDone) << copied.err;
  EXPECT_EQ(runCli({"--history", path("copy.sqlite"), "history", "verify"}).status, cli::kDone);

  struct Edit {
    const char* what;
    std::string sql;
    std::string said;  // a part of the message
  };
  const std::string first = "(SELECT min(time) FROM measurements)";
  const std::vector<Edit> edits = {
      {"a value byte",
       "UPDATE measurements SET record = substr(record, 1, 12) || x'41' || substr(record, 14) WHERE time = " +
           first + " AND sensor = 2",
       "no longer match the digest"},
      {"a time", "UPDATE measurements SET time = time + 3600 WHERE time = " + first + " AND sensor = 2",
       "(13 records now, 13 in the trail)"},
      {"a deleted row", "DELETE FROM measurements WHERE time = " + first + " AND sensor = 2",
       "(12 records now, 13 in the trail)"},
      {"an inserted row",
       "INSERT INTO measurements SELECT logger, time + 60, sensor, humidity_raw, temperature_raw, record, "
       "checksum_error, from_file, download, humidity, temperature, ambient FROM measurements LIMIT 1",
       "(14 records now, 13 in the trail)"},
      {"a replaced record", "UPDATE replaced_records SET checksum_error = 1", "does not verify"},
      {"a download's row", "UPDATE downloads SET host_name = 'elsewhere' WHERE from_file = 0",
       "differs from audit entry"},
      {"a changed limit", "UPDATE limits SET temperature_upper = 30",
       "not the ones the last recorded change left"},
      {"a removed limit change", "DELETE FROM limit_changes",
       "change of limits of VLM1 recorded in audit entry 4 is no longer"},
      {"a firmware version", "UPDATE firmware_seen SET version = 'V9'", "firmware version V9 of VLM1"},
      {"an audit entry changed",
       "DROP TRIGGER audit_edit; UPDATE audit_trail SET user_name = 'someone' WHERE seq = 2",
       "audit entry 2 (clock-zone"},
      {"an audit entry removed", "DROP TRIGGER audit_drop; DELETE FROM audit_trail WHERE seq = 2",
       "audit entry 2 is missing"},
  };
  for (const Edit& edit : edits) {
    SCOPED_TRACE(edit.what);
    const std::string file = path("edited.sqlite");
    std::filesystem::copy_file(base, file, std::filesystem::copy_options::overwrite_existing);
    ASSERT_EQ(sqlite(file, edit.sql), 0);
    const auto run = runCli({"--history", file, "history", "verify"});
    EXPECT_EQ(run.status, cli::kNotVerified) << run.out;
    EXPECT_NE(run.err.find("does not verify"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(edit.said), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }

  // Whoever writes the whole trail anew (here: by letting Tarnwick start it again over edited records)
  // makes a trail that holds in itself; the head kept from before finds it.
  const std::string file = path("rewritten.sqlite");
  std::filesystem::copy_file(base, file);
  ASSERT_EQ(sqlite(file,
                   "DROP TABLE audit_trail; DROP TABLE replaced_records; DROP TABLE label_changes; "
                   "DROP TABLE excursion_comments; ALTER TABLE limit_changes DROP COLUMN reason; "
                   "PRAGMA user_version = 4; "
                   "UPDATE measurements SET record = substr(record, 1, 12) || x'41' || substr(record, 14) "
                   "WHERE time = " +
                       first),
            0);
  EXPECT_EQ(runCli({"--history", file, "history", "verify"}).status, cli::kDone);
  const auto kept = runCli({"--history", file, "history", "verify", "--head", head});
  EXPECT_EQ(kept.status, cli::kNotVerified);
  EXPECT_NE(kept.err.find("is not in the audit trail: the trail was written anew"), std::string::npos)
      << kept.err;
  EXPECT_EQ(runCli({"--history", base, "history", "verify", "--head", head}).status, cli::kDone);
}
