#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "HistorySupport.h"
#include "common/PgServer.h"
#include "data/CsvWriter.h"
#include "data/RegionalFormat.h"
#include "history/DownloadImport.h"
#include "history/Excursions.h"
#include "history/History.h"

using historytest::record;
using historytest::TempDir;

namespace {

// A logger memory: one record a minute, two sensors taking turns.
std::vector<messwert_tag> memory(int first, int count) {
  std::vector<messwert_tag> out;
  for (int i = first; i < first + count; ++i)
    out.push_back(record(2026, 3, 7, 10 + i / 60, i % 60, 0, static_cast<uint16_t>(1 + i % 2)));
  return out;
}

bool sameBytes(const messwert_tag& a, const messwert_tag& b) {
  uint8_t x[32], y[32];
  messwert::toBytes(a, x);
  messwert::toBytes(b, y);
  return std::memcmp(x, y, sizeof x) == 0;
}

struct HistoryStore : ::testing::Test {
  TempDir dir;
  std::string path = dir / "data/tarnwick/measurements.sqlite";
  history::Store store;
  std::string error;

  void SetUp() override { ASSERT_TRUE(store.open(path, error)) << error; }

  history::ImportResult import(const std::string& logger, const std::vector<messwert_tag>& records) {
    history::ImportResult result;
    EXPECT_TRUE(store.importDownload(logger, "/home/u/" + logger + ".csv", records, result, error)) << error;
    return result;
  }
  std::vector<history::StoredRecord> all(const std::string& logger) {
    std::vector<history::StoredRecord> out;
    history::Query q;
    q.logger = logger;
    EXPECT_TRUE(store.query(q, out, error)) << error;
    return out;
  }
};

// The same tests against the local file and against a database of the tests' own PostgreSQL server.
enum class Kind { File, Server };
struct HistoryBackends : HistoryStore, ::testing::WithParamInterface<Kind> {
  void SetUp() override {
    if (GetParam() == Kind::Server) {
      pgtest::Server& server = pgtest::Server::shared();
      ASSERT_TRUE(server.running()) << server.error();
      path = server.freshDatabase();
      ASSERT_FALSE(path.empty()) << server.error();
    }
    HistoryStore::SetUp();
  }
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(, HistoryBackends, ::testing::Values(Kind::File, Kind::Server),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                           return info.param == Kind::File ? "SQLite" : "PostgreSQL";
                         });

TEST_P(HistoryBackends, RepeatedAndOverlappingDownloadsAddOnlyNewRecordsPerLogger) {
  if (GetParam() == Kind::File) {
    struct stat st {};
    ASSERT_EQ(::stat((dir / "data/tarnwick").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
  }

  std::vector<messwert_tag> first = memory(0, 100);
  first[10] = historytest::withBadChecksum(first[10]);
  first.push_back(record(2026, 3, 7, 24, 0, 0));  // invalid time: left out
  first.push_back(record(2026, 2, 29, 1, 0, 0));  // no such day
  history::ImportResult r = import("VLM12345", first);
  EXPECT_EQ(r.records, 100);
  EXPECT_EQ(r.added, 100);
  EXPECT_EQ(r.invalidTime, 2);
  EXPECT_EQ(import("VLM12345", first).added, 0);
  std::vector<messwert_tag> overlap = memory(60, 70);  // 40 known, 30 new
  std::reverse(overlap.begin(), overlap.end());
  EXPECT_EQ(import("VLM12345", overlap).added, 30);
  EXPECT_EQ(import("VLM777", memory(0, 100)).added, 100);  // the same memory of another logger

  const auto stored = all("VLM12345");
  ASSERT_EQ(stored.size(), 130u);
  for (size_t i = 0; i < stored.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(stored[i].logger, "VLM12345");
    // Calendar time taken as UTC: 2026-03-07 10:00:00 is 1772877600.
    EXPECT_EQ(stored[i].time, 1772877600 + 60 * static_cast<int64_t>(i));
    const messwert_tag expected = i < 100 ? first[i] : memory(static_cast<int>(i), 1)[0];
    EXPECT_TRUE(sameBytes(stored[i].record, expected));
    EXPECT_EQ(stored[i].checksumError, i == 10);
  }
  EXPECT_EQ(all("VLM777").size(), 100u);
  EXPECT_TRUE(all("VLM0").empty());
  EXPECT_EQ(store.loggers(), (std::vector<std::string>{"VLM12345", "VLM777"}));
  EXPECT_EQ(store.sensors("VLM12345"), (std::vector<uint16_t>{1, 2}));

  const auto rows = store.downloads("VLM12345");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].added, 100);
  EXPECT_EQ(rows[1].records, 100);
  EXPECT_EQ(rows[1].added, 0);
  EXPECT_EQ(rows[2].records, 70);
  EXPECT_EQ(rows[2].added, 30);
  EXPECT_EQ(rows[2].file, "/home/u/VLM12345.csv");
  EXPECT_EQ(store.downloads("").size(), 4u);
  for (size_t i = 0; i < stored.size(); ++i) EXPECT_EQ(stored[i].download, rows[i < 100 ? 0 : 2].id) << i;

  // One sensor over a time range, after the file was closed and opened again.
  store.close();
  ASSERT_TRUE(store.open(path, error)) << error;
  history::Query q;
  q.logger = "VLM12345";
  q.sensors = {2};
  q.from = 1772877600 + 60 * 20;
  q.to = 1772877600 + 60 * 29;
  std::vector<history::StoredRecord> some;
  ASSERT_TRUE(store.query(q, some, error)) << error;
  ASSERT_EQ(some.size(), 5u);
  EXPECT_EQ(some.front().time, q.from + 60);
  EXPECT_EQ(some.back().time, q.to);

  std::vector<messwert_tag> noLogger = memory(0, 1);
  history::ImportResult ignored;
  EXPECT_FALSE(store.importDownload("", "x.csv", noLogger, ignored, error));
  EXPECT_FALSE(store.importDownload(std::string("VLM\n1"), "x.csv", noLogger, ignored, error));
}

TEST_P(HistoryBackends, RecordsFromACsvFileMergeWithTheDownloadAndGiveWayToIt) {
  std::vector<messwert_tag> downloaded = memory(0, 20);
  downloaded[3] = historytest::withBadChecksum(downloaded[3]);
  std::string text = std::string(csv::kHeader) + "\r\n";
  for (const auto& r : downloaded) {
    messwert::TimeStamp ts;
    std::string message;
    ASSERT_TRUE(messwert::timeStamp(r, ts, message));
    text += csv::formatLine(r, ts, RegionalFormat::english());
  }
  historytest::writeFile(dir / "first.csv", text);
  std::vector<messwert_tag> fromFile;
  std::vector<bool> flags;
  ASSERT_TRUE(history::readCsvFile(dir / "first.csv", fromFile, flags, error)) << error;

  history::ImportResult r;
  ASSERT_TRUE(store.importCsvRecords("VLM1", dir / "first.csv", fromFile, flags, r, error)) << error;
  EXPECT_EQ(r.added, 20);
  EXPECT_FALSE(sameBytes(all("VLM1")[0].record, downloaded[0]));  // rounded values, no tick
  EXPECT_EQ(import("VLM1", downloaded).added, 0);
  // Read again after the download: the downloaded bytes stay.
  ASSERT_TRUE(store.importCsvRecords("VLM1", dir / "first.csv", fromFile, flags, r, error)) << error;
  EXPECT_EQ(r.added, 0);
  const auto stored = all("VLM1");
  ASSERT_EQ(stored.size(), 20u);
  for (size_t i = 0; i < stored.size(); ++i) {
    EXPECT_TRUE(sameBytes(stored[i].record, downloaded[i])) << i;
    EXPECT_EQ(stored[i].checksumError, i == 3) << i;
  }
  const auto rows = store.downloads("VLM1");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_TRUE(rows[0].fromFile);
  EXPECT_FALSE(rows[1].fromFile);
}

// What a firmware update asks before it overwrites a logger's newest records: the most one download
// from that logger brought; records read from files are no download of the logger.
TEST_P(HistoryBackends, LargestDownloadCountsOnlyThatLoggersOwnDownloads) {
  EXPECT_EQ(store.largestDownload("VLM1"), 0);
  std::vector<bool> flags(30, false);
  history::ImportResult r;
  ASSERT_TRUE(store.importCsvRecords("VLM1", dir / "copy.csv", memory(0, 30), flags, r, error)) << error;
  import("VLM2", memory(0, 25));
  EXPECT_EQ(store.largestDownload("VLM1"), 0);
  import("VLM1", memory(0, 12));
  import("VLM1", memory(0, 20));
  import("VLM1", memory(0, 8));
  EXPECT_EQ(store.largestDownload("VLM1"), 20);
  EXPECT_EQ(store.largestDownload("VLM2"), 25);
}

namespace {
history::Query loggerQuery(const std::string& logger) {
  history::Query q;
  q.logger = logger;
  return q;
}
}  // namespace

namespace {
std::string csvText(const std::vector<messwert_tag>& records) {
  const csv::Writer writer(RegionalFormat::german(), csv::CommentRule::RecordChecksum);
  std::string text;
  writer.header(text);
  for (const auto& r : records) writer.line(text, r);
  return text;
}
}  // namespace

// A downloaded file edited by hand, then opened: the logger's download stays the truth.
TEST_P(HistoryBackends, AFileRecordThatDiffersFromTheDownloadIsRefusedAndCounted) {
  const std::vector<messwert_tag> downloaded = memory(0, 20);
  const std::string file = dir / "VLM1.csv";
  history::ImportResult r;
  ASSERT_TRUE(store.importDownload("VLM1", file, downloaded, r, error, history::kDeviceVirtual)) << error;
  std::vector<messwert_tag> edited = downloaded;
  edited[5].temperature = 39.5f;                      // an invented reading over a downloaded one
  edited.push_back(record(2026, 3, 7, 11, 0, 0, 1));  // a second the download does not have
  historytest::writeFile(file, csvText(edited));
  std::vector<messwert_tag> fromFile;
  std::vector<bool> flags;
  ASSERT_TRUE(history::readCsvFile(file, fromFile, flags, error)) << error;

  EXPECT_EQ(store.loggerOfDownloadFile(file), "VLM1");
  EXPECT_EQ(store.loggerOfDownloadFile(dir / "VLM2.csv"), "");
  EXPECT_EQ(store.loggerMatching(fromFile, flags), "VLM1");
  ASSERT_TRUE(store.importCsvRecords("VLM1", file, fromFile, flags, r, error)) << error;
  EXPECT_EQ(r.records, 21);
  EXPECT_EQ(r.added, 1);
  EXPECT_EQ(r.differing, 1);
  EXPECT_EQ(r.known(), 19);

  const auto stored = all("VLM1");
  ASSERT_EQ(stored.size(), 21u);
  for (size_t i = 0; i < 20; ++i) {
    EXPECT_TRUE(sameBytes(stored[i].record, downloaded[i])) << i;
    EXPECT_FALSE(stored[i].fromFile) << i;
  }
  EXPECT_TRUE(stored[20].fromFile);
  const auto rows = store.downloads("VLM1");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].device, "virtual");
  EXPECT_EQ(stored[0].download, rows[0].id);
  EXPECT_EQ(stored[20].download, rows[1].id);
  EXPECT_TRUE(rows[1].fromFile);
  EXPECT_EQ(rows[1].differing, 1);
}

// A repeated hour (clocks put back) gives records of the same second that differ only in the tick.
TEST_P(HistoryBackends, RecordsThatDifferInAnyStoredByteAreTwoRecords) {
  std::vector<messwert_tag> memory;
  for (int pass = 0; pass < 2; ++pass)
    for (int minute : {10, 11}) {
      messwert_tag r = record(2026, 10, 25, 2, minute, 0);
      r.tick = static_cast<uint8_t>(pass == 0 ? 7 : 9);
      r.reserved[5] = 0;
      r.reserved[5] = static_cast<uint8_t>(0x100 - messwert::checksum(r));
      memory.push_back(r);
    }
  EXPECT_EQ(import("VLM1", memory).added, 4);
  EXPECT_EQ(import("VLM1", memory).added, 0);
  EXPECT_EQ(all("VLM1").size(), 4u);
}

// A record damaged on the way is kept flagged until a download brings it clean; the clean one takes
// its place and counts as known. Another reading of that second and sensor stays.
TEST_P(HistoryBackends, ACleanDownloadReplacesAFlaggedCopyOfTheSameCounts) {
  std::vector<messwert_tag> damaged = memory(0, 10);
  damaged[4] = historytest::withBadChecksum(damaged[4]);
  messwert_tag other = historytest::withBadChecksum(memory(4, 1)[0]);
  other.humidityRaw = 1;  // not the same counts: not a copy of the clean record
  damaged.push_back(other);
  EXPECT_EQ(import("VLM1", damaged).added, 11);
  const history::ImportResult clean = import("VLM1", memory(0, 10));
  EXPECT_EQ(clean.added, 0);
  EXPECT_EQ(clean.known(), 10);
  const auto stored = all("VLM1");
  ASSERT_EQ(stored.size(), 11u);
  int flagged = 0;
  for (const auto& r : stored) flagged += r.checksumError;
  EXPECT_EQ(flagged, 1);
  EXPECT_TRUE(
      std::any_of(stored.begin(), stored.end(), [&](const auto& r) { return sameBytes(r.record, other); }));
  EXPECT_TRUE(std::any_of(stored.begin(), stored.end(),
                          [&](const auto& r) { return sameBytes(r.record, memory(4, 1)[0]); }));
  // Downloaded again, the damaged copy does not come back beside the clean one.
  EXPECT_EQ(import("VLM1", damaged).added, 0);
  EXPECT_EQ(all("VLM1").size(), 11u);
}

// A reader that has seen enough stops; the history answers the next call as ever.
TEST_P(HistoryBackends, AScanStoppedEarlyLeavesTheHistoryUsable) {
  import("VLM1", memory(0, 600));
  int seen = 0;
  ASSERT_TRUE(store.scan(
      loggerQuery("VLM1"), [&](const history::StoredRecord&) { return ++seen < 10; }, error))
      << error;
  EXPECT_EQ(seen, 10);
  EXPECT_EQ(import("VLM1", memory(590, 20)).added, 10);
  EXPECT_EQ(all("VLM1").size(), 610u);
}

// Anyone's CSV with in-limit lines between the logger's readings would cut its excursions short: where
// the logger's download covers the time its lines are refused and counted; beyond it they fill in and
// stay marked as read from a file.
TEST_P(HistoryBackends, AFileIsRefusedInsideADownloadsSpanAndTakenOutsideIt) {
  import("VLM1", memory(0, 20));  // 10:00 to 10:19
  std::vector<messwert_tag> lines;
  for (int minute = 0; minute < 19; ++minute) lines.push_back(record(2026, 3, 7, 10, minute, 30, 1));
  for (int minute = 0; minute < 5; ++minute) lines.push_back(record(2026, 3, 7, 12, minute, 0, 1));
  lines.push_back(record(2026, 3, 7, 12, 5, 0, 1));
  lines.back().temperature = 2.0f;  // edited, its count kept: another line of that count says 21.6
  lines.push_back(record(2026, 3, 7, 13, 5, 0, 1));
  history::ImportResult r;
  ASSERT_TRUE(store.importCsvRecords("VLM1", dir / "diluting.csv", lines,
                                     std::vector<bool>(lines.size(), false), r, error))
      << error;
  EXPECT_EQ(r.records, 26);
  EXPECT_EQ(r.insideDownload, 19);
  EXPECT_EQ(r.disagreeing, 1);
  EXPECT_EQ(r.differing, 20);
  EXPECT_EQ(r.added, 6);
  EXPECT_EQ(store.downloads("VLM1").back().differing, 20);
  const auto stored = all("VLM1");
  ASSERT_EQ(stored.size(), 26u);
  for (size_t i = 0; i < stored.size(); ++i) {
    EXPECT_EQ(stored[i].fromFile, i >= 20) << i;
    if (i >= 20) {
      EXPECT_NE(stored[i].record.temperature, 2.0f) << i;
    }
  }
  // What is left of the file is a reading only from a file: the verdict says so.
  const history::ExcursionResult result = history::findExcursions(stored, history::Limits{});
  EXPECT_EQ(result.coverage.readings[static_cast<size_t>(history::ReasonKind::fileOnly)], 6);
}

// A history whose time column was rewritten (a file crafted to hide an excursion) is read by nobody:
// the copy to another history refuses it, naming the reading, and brings nothing of that logger.
TEST_P(HistoryBackends, ACopyRefusesAHistoryWithRewrittenTimes) {
  const std::string crafted = dir / "crafted.sqlite";
  {
    history::Store source;
    ASSERT_TRUE(source.open(crafted, error)) << error;
    history::ImportResult r;
    ASSERT_TRUE(source.importDownload("VLM1", "/home/u/a.csv", memory(0, 40), r, error)) << error;
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(crafted.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "UPDATE measurements SET time = 1772877600 + (time - 1772877600) / 40", nullptr,
                         nullptr, nullptr),
            SQLITE_OK)
      << sqlite3_errmsg(db);
  sqlite3_close(db);

  history::Store source;
  ASSERT_TRUE(source.open(crafted, error)) << error;
  history::CopyResult copied;
  EXPECT_FALSE(history::copyHistory(source, store, nullptr, copied, error));
  EXPECT_NE(
      error.find("VLM1 sensor 2 is stored at 2026-03-07T10:00:01 but its record holds 2026-03-07T10:01:00"),
      std::string::npos)
      << error;
  EXPECT_TRUE(all("VLM1").empty());
  std::vector<history::StoredRecord> read;
  EXPECT_FALSE(source.query(loggerQuery("VLM1"), read, error));
}

// A history written before records kept their 32 bytes and their source is brought up to date in place.
TEST(HistoryStoreUpgrade, AnOlderFileKeepsEveryRecordAndTakesTheNewOnes) {
  TempDir dir;
  const std::string path = dir / "measurements.sqlite";
  const messwert_tag old = record(2026, 10, 25, 2, 10, 0);
  uint8_t bytes[32];
  messwert::toBytes(old, bytes);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  const char* v1 =
      "CREATE TABLE loggers(id INTEGER PRIMARY KEY, serial TEXT NOT NULL UNIQUE);"
      "CREATE TABLE measurements(logger INTEGER NOT NULL, time INTEGER NOT NULL, sensor INTEGER NOT NULL, "
      "humidity_raw INTEGER NOT NULL, temperature_raw INTEGER NOT NULL, record BLOB NOT NULL, checksum_error "
      "INTEGER NOT NULL, from_file INTEGER NOT NULL, download INTEGER NOT NULL, PRIMARY KEY(logger, time, "
      "sensor, humidity_raw, temperature_raw)) WITHOUT ROWID;"
      "CREATE INDEX replaceable ON measurements(logger, time, sensor, humidity_raw, temperature_raw) WHERE "
      "checksum_error OR from_file;"
      "CREATE TABLE sensors(logger INTEGER NOT NULL, sensor INTEGER NOT NULL, PRIMARY KEY(logger, sensor)) "
      "WITHOUT ROWID;"
      "CREATE TABLE downloads(id INTEGER PRIMARY KEY, time INTEGER NOT NULL, logger INTEGER NOT NULL, file "
      "TEXT "
      "NOT NULL, records INTEGER NOT NULL, added INTEGER NOT NULL, from_file INTEGER NOT NULL);"
      "INSERT INTO loggers VALUES(1, 'VLM1');"
      "INSERT INTO sensors VALUES(1, 1);"
      "INSERT INTO downloads VALUES(1, 1700000000, 1, '/home/u/VLM1.csv', 1, 1, 0);"
      "PRAGMA application_id=1415007048; PRAGMA user_version=1;";
  ASSERT_EQ(sqlite3_exec(db, v1, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_stmt* insert = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "INSERT INTO measurements VALUES(1, ?1, 1, ?2, ?3, ?4, 0, 0, 1)", -1,
                               &insert, nullptr),
            SQLITE_OK);
  int64_t time = 0;
  ASSERT_TRUE(history::recordTime(old, time));
  sqlite3_bind_int64(insert, 1, time);
  sqlite3_bind_int(insert, 2, old.humidityRaw);
  sqlite3_bind_int(insert, 3, old.temperatureRaw);
  sqlite3_bind_blob(insert, 4, bytes, sizeof bytes, SQLITE_STATIC);
  ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE);
  sqlite3_finalize(insert);
  sqlite3_close(db);

  history::Store store;
  std::string error;
  ASSERT_TRUE(store.open(path, error)) << error;
  std::vector<history::StoredRecord> kept;
  ASSERT_TRUE(store.query(loggerQuery("VLM1"), kept, error)) << error;
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_TRUE(sameBytes(kept[0].record, old));
  EXPECT_EQ(kept[0].download, 1);
  const auto rows = store.downloads("VLM1");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].file, "/home/u/VLM1.csv");
  EXPECT_EQ(rows[0].device, "");
  // Its values are there for a chart too.
  history::EnvelopeQuery chart;
  chart.logger = "VLM1";
  chart.from = chart.to = time;
  chart.columns = 1;
  std::vector<history::EnvelopeCell> cells;
  ASSERT_TRUE(store.envelope(chart, cells, error)) << error;
  ASSERT_EQ(cells.size(), 1u);
  EXPECT_EQ(cells[0].temperatureMax, +old.temperature);
  EXPECT_EQ(cells[0].ambientMin, +old.ambientTemperature);  // a copy: the field is not aligned
  // The same second once more, another tick: now a record of its own.
  messwert_tag again = old;
  again.tick = static_cast<uint8_t>(old.tick + 1);
  again.reserved[5] = static_cast<uint8_t>(again.reserved[5] - 1);  // its check byte to match
  history::ImportResult r;
  ASSERT_TRUE(store.importDownload("VLM1", "b.csv", {old, again}, r, error, history::kDeviceUsb)) << error;
  EXPECT_EQ(r.added, 1);
  // Limits and clock zones come with the upgrade.
  history::Limits limits;
  limits.temperature.upper = 8;
  EXPECT_TRUE(store.setLimits("VLM1", std::nullopt, limits, history::Computer{"pc", "u"}, error)) << error;
  EXPECT_TRUE(store.recordClockZone("VLM1", 1700000000, {"UTC", 0}, history::ClockZoneKind::setTime, error))
      << error;
  store.close();
  ASSERT_TRUE(store.open(path, error)) << error;
  EXPECT_EQ(store.downloads("VLM1").back().device, "USB");
  EXPECT_EQ(store.downloads("VLM1").front().firmware, "");
  bool set = false;
  EXPECT_TRUE(store.effectiveLimits("VLM1", 1, limits, set, error) && set) << error;
}

TEST(HistoryStoreAccess, TheDatabaseAndItsLogAreForTheOwnerOnly) {
  TempDir dir;
  const mode_t mask = ::umask(022);
  const std::string path = dir / "measurements.sqlite";
  auto mode = [](const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? st.st_mode & 0777 : 01000;
  };
  {
    history::Store store;
    std::string error;
    history::ImportResult r;
    ASSERT_TRUE(store.open(path, error)) << error;
    ASSERT_TRUE(store.importDownload("VLM1", "a.csv", {record(2026, 1, 1, 0, 0, 0)}, r, error)) << error;
    EXPECT_TRUE(store.notice().empty()) << store.notice();
    for (const char* suffix : {"", "-wal", "-shm"}) EXPECT_EQ(mode(path + suffix), 0600u) << suffix;
  }
  // A history made readable by others earlier is narrowed once, and says so once.
  ASSERT_EQ(::chmod(path.c_str(), 0664), 0);
  for (int pass = 0; pass < 2; ++pass) {
    history::Store store;
    std::string error;
    ASSERT_TRUE(store.open(path, error)) << error;
    EXPECT_EQ(store.notice().find("owner only") != std::string::npos, pass == 0) << store.notice();
    EXPECT_EQ(mode(path), 0600u);
  }
  ::umask(mask);
}

namespace {

// Whether another program finds `length` bytes from `start` of `file` locked (asked from a child
// process: a program's own locks never stand in its own way).
bool lockedForOthers(const std::string& file, off_t start, off_t length) {
  const pid_t child = ::fork();
  if (child == 0) {
    const int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = start;
    lock.l_len = length;
    ::_exit(fd < 0 || ::fcntl(fd, F_GETLK, &lock) != 0 ? 2 : lock.l_type == F_UNLCK ? 1 : 0);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) > 1) {
    ADD_FAILURE() << "cannot ask about the locks of " << file;
    return false;
  }
  return WEXITSTATUS(status) == 0;
}

}  // namespace

// Opening the history a second time in one program leaves the locks of the connection in use on the
// database and its shared memory: other programs still see a reader there, so none takes the shared
// memory for abandoned and starts it anew, and none copies the log into the file as the last one.
TEST_F(HistoryStore, OpeningAgainKeepsTheLocksOfTheConnectionInUse) {
  import("VLM1", memory(0, 10));
  const off_t shared = 0x40000002, sharedLength = 510;  // where readers of the file lock it
  const off_t inUse = 128;                              // the shared memory's byte of its users
  ASSERT_TRUE(lockedForOthers(path, shared, sharedLength));
  ASSERT_TRUE(lockedForOthers(path + "-shm", inUse, 1));
  // Also when it narrows the files' modes on the way.
  for (const bool narrowing : {false, true}) {
    for (const char* suffix : {"", "-shm"})
      ASSERT_EQ(::chmod((path + suffix).c_str(), narrowing ? 0640 : 0600), 0);
    history::Store second;
    ASSERT_TRUE(second.open(path, error)) << error;
    EXPECT_EQ(second.notice().empty(), !narrowing) << second.notice();
    EXPECT_TRUE(lockedForOthers(path, shared, sharedLength)) << narrowing;
    EXPECT_TRUE(lockedForOthers(path + "-shm", inUse, 1)) << narrowing;
  }
}

// Another program's write: the import waits for it (the other program commits once the wait has been
// told of), and one held longer than the wait fails the import with a message; later it works.
TEST_F(HistoryStore, AnImportWaitsForAnotherProgramsWriteOrFailsWithAMessage) {
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE; DELETE FROM downloads;", nullptr, nullptr, nullptr),
            SQLITE_OK);
  int notices = 0;
  store.setWaitNotice([&] {
    ++notices;
    EXPECT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  });
  EXPECT_EQ(import("VLM1", memory(0, 10)).added, 10);
  EXPECT_EQ(notices, 1);

  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE; DELETE FROM downloads;", nullptr, nullptr, nullptr),
            SQLITE_OK);
  store.setWaitNotice(nullptr);
  store.setBusyTimeout(100);
  history::ImportResult r;
  EXPECT_FALSE(store.importDownload("VLM1", "a.csv", memory(10, 10), r, error));
  EXPECT_NE(error.find(path), std::string::npos) << error;
  EXPECT_NE(error.find("in use by another program"), std::string::npos) << error;
  ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);
  EXPECT_EQ(import("VLM1", memory(10, 10)).added, 10);
}

TEST_F(HistoryStore, ADamagedFileIsKeptAsideAndANewOneStarted) {
  import("VLM1", memory(0, 2000));
  store.close();
  // Garbage over a page in the middle of the table.
  std::string bytes = historytest::readFile(path);
  ASSERT_GT(bytes.size(), 40000u);
  std::memset(&bytes[bytes.size() / 2 / 4096 * 4096], 0x5A, 4096);
  historytest::writeFile(path, bytes);
  // Another program's write since the clean close, its time apart from the close's on any clock.
  std::filesystem::last_write_time(path, std::filesystem::last_write_time(path) - std::chrono::hours(1));

  ASSERT_TRUE(store.open(path, error)) << error;
  const std::string notice = store.notice();
  const size_t at = notice.find(path + ".damaged-");
  ASSERT_NE(at, std::string::npos) << notice;
  const std::string aside = notice.substr(at, notice.find(' ', at) - at);
  EXPECT_EQ(historytest::readFile(aside), bytes);
  EXPECT_TRUE(store.loggers().empty());
  EXPECT_EQ(import("VLM1", memory(0, 10)).added, 10);
  store.close();

  // A file that is no database at all (a CSV file given as the history, say) is no history of ours:
  // every connection refuses it and leaves it as it is, its contents, name and mode.
  const std::string csvText = "Date;Temperature\r\n03/02/26;21.5\r\n" + std::string(8192, 'x');
  historytest::writeFile(path, csvText);
  ::chmod(path.c_str(), 0644);
  history::Store reader;
  std::vector<history::StoredRecord> out;
  EXPECT_FALSE(reader.openForReading(path, error) && reader.query(loggerQuery("VLM1"), out, error));
  reader.close();
  EXPECT_FALSE(store.open(path, error));
  EXPECT_NE(error.find("not a Tarnwick history"), std::string::npos) << error;
  EXPECT_EQ(historytest::readFile(path), csvText);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  int setAsideFiles = 0;  // the damaged one above only
  for (const auto& entry : std::filesystem::directory_iterator(dir / "data/tarnwick")) {
    const std::string name = entry.path().string();
    setAsideFiles += name.find(".damaged-") != std::string::npos && name.find("-wal") == std::string::npos &&
                     name.find("-shm") == std::string::npos;
  }
  EXPECT_EQ(setAsideFiles, 1);
  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_TRUE(store.open(path, error)) << error;
  EXPECT_EQ(import("VLM1", memory(0, 10)).added, 10);
  store.close();

  // A sound database of another program is left alone.
  const std::string foreign = dir / "data/tarnwick/other.sqlite";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(foreign.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE t(x); INSERT INTO t VALUES(1);", nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  const std::string before = historytest::readFile(foreign);
  EXPECT_FALSE(store.open(foreign, error));
  EXPECT_NE(error.find("another program"), std::string::npos) << error;
  EXPECT_EQ(historytest::readFile(foreign), before);
  // Nor is a link put in place of the file followed.
  const std::string link = dir / "data/tarnwick/link.sqlite", target = dir / "elsewhere.sqlite";
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  EXPECT_FALSE(store.open(link, error));
  EXPECT_NE(error.find(link), std::string::npos) << error;
  EXPECT_FALSE(std::filesystem::exists(target));
  for (const auto& entry : std::filesystem::directory_iterator(dir / "data/tarnwick"))
    EXPECT_EQ(entry.path().string().find(foreign + "."), std::string::npos) << entry.path();
}

namespace {
// Garbage over every page that an empty history does not have (the schema and the tables' roots stay,
// the readings' pages go), the size kept.
void damagePages(const std::string& path) {
  const std::string probe = path + ".probe";
  {
    history::Store empty;
    std::string error;
    ASSERT_TRUE(empty.open(probe, error)) << error;
  }
  const size_t kept = historytest::readFile(probe).size();
  for (const char* suffix : {"", "-wal", "-shm", ".lock"}) std::remove((probe + suffix).c_str());
  std::string bytes = historytest::readFile(path);
  ASSERT_GT(bytes.size(), kept + 2 * 4096u);
  std::memset(&bytes[kept], 0x5A, bytes.size() - kept);
  historytest::writeFile(path, bytes);
}
std::vector<std::string> setAside(const TempDir& dir) {
  std::vector<std::string> out;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path() / "data/tarnwick")) {
    const std::string name = entry.path().filename().string();
    if (name.find(".damaged-") != std::string::npos && name.find("-wal") == std::string::npos &&
        name.find("-shm") == std::string::npos)
      out.push_back(name);
  }
  return out;
}
}  // namespace

// The whole file is checked only after a session that did not end cleanly: damage done while the
// history was open and closed cleanly afterwards goes unnoticed at the next open (it shows when the
// pages are read), while the same file left by a program that died is checked and set aside.
TEST_F(HistoryStore, TheWholeFileIsCheckedOnlyAfterAnUncleanEnd) {
  import("VLM1", memory(0, 2000));
  store.close();
  ASSERT_TRUE(store.open(path, error)) << error;
  damagePages(path);
  store.close();
  ASSERT_TRUE(store.open(path, error)) << error;
  EXPECT_EQ(store.notice(), "");
  store.close();

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    history::Store dying;
    std::string ignored;
    ::_exit(dying.open(path, ignored) && dying.notice().empty() ? 0 : 1);  // no close
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ASSERT_TRUE(store.open(path, error)) << error;
  EXPECT_NE(store.notice().find(path + ".damaged-"), std::string::npos) << store.notice();
  EXPECT_EQ(setAside(dir).size(), 1u);
}

// A file too large to check as it opens, after an unclean end: it opens at once, unchecked; damage
// is found where its pages are used, or by the check on request, and set aside either way. Sessions
// stay unchecked until a check has passed, clean closes between them notwithstanding.
TEST_F(HistoryStore, ALargeFileOpensUncheckedAndIsCheckedWhenUsedOrOnRequest) {
  const auto dieOpen = [&] {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      history::Store dying;
      std::string ignored;
      dying.setWholeCheckAtOpenLimit(0);
      ::_exit(dying.open(path, ignored) ? 0 : 1);  // no close
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  };
  import("VLM1", memory(0, 2000));
  store.close();
  dieOpen();
  damagePages(path);
  store.setWholeCheckAtOpenLimit(0);
  ASSERT_TRUE(store.open(path, error)) << error;
  EXPECT_EQ(store.notice(), "");
  EXPECT_EQ(import("VLM2", memory(0, 10)).added, 10);
  EXPECT_NE(store.notice().find(path + ".damaged-"), std::string::npos) << store.notice();
  ASSERT_EQ(setAside(dir).size(), 1u);
  store.close();

  import("VLM1", memory(0, 2000));
  store.close();
  dieOpen();
  damagePages(path);
  for (int session = 0; session < 2; ++session) {
    ASSERT_TRUE(store.open(path, error)) << error;
    EXPECT_EQ(store.notice(), "");
    store.close();
  }
  ASSERT_TRUE(store.open(path, error)) << error;
  bool sound = true;
  ASSERT_TRUE(store.checkWhole(sound, error)) << error;
  EXPECT_FALSE(sound);
  EXPECT_NE(store.notice().find(path + ".damaged-"), std::string::npos) << store.notice();
  EXPECT_EQ(setAside(dir).size(), 2u);
  EXPECT_TRUE(store.loggers().empty());
  ASSERT_TRUE(store.checkWhole(sound, error)) << error;
  EXPECT_TRUE(sound);
  EXPECT_EQ(import("VLM3", memory(0, 10)).added, 10);
  store.close();
  // Checked and closed cleanly: the next open finds nothing to say.
  history::Store next;
  ASSERT_TRUE(next.open(path, error)) << error;
  EXPECT_EQ(next.notice(), "");
  EXPECT_EQ(next.loggers(), (std::vector<std::string>{"VLM3"}));
}

// Two programs with the history open find it damaged one after the other: the first sets it aside
// and starts a new one, the second writes into that new one instead of setting it aside too.
TEST_F(HistoryStore, OnlyTheFileFoundDamagedIsSetAside) {
  import("VLM1", memory(0, 2000));
  store.close();
  ASSERT_TRUE(store.open(path, error)) << error;
  history::Store second;
  ASSERT_TRUE(second.open(path, error)) << error;
  damagePages(path);

  EXPECT_EQ(import("VLM2", memory(0, 10)).added, 10);
  EXPECT_NE(store.notice().find(".damaged-"), std::string::npos) << store.notice();
  history::ImportResult result;
  EXPECT_TRUE(second.importDownload("VLM3", "b.csv", memory(0, 10), result, error)) << error;
  EXPECT_EQ(result.added, 10);
  EXPECT_EQ(setAside(dir).size(), 1u);
  history::Store later;
  ASSERT_TRUE(later.open(path, error)) << error;
  EXPECT_EQ(later.loggers(), (std::vector<std::string>{"VLM2", "VLM3"}));
}

// Two programs that open one damaged file at the same moment: both check it, one sets it aside, and
// both end up with the one new history. Some rounds, as the moment is the scheduler's.
TEST_F(HistoryStore, TwoProgramsOpeningOneDamagedFileSetItAsideOnce) {
  for (int logger = 0; logger < 40; ++logger) import("VLM" + std::to_string(100 + logger), memory(0, 840));
  store.close();
  std::string damaged = historytest::readFile(path);
  ASSERT_GT(damaged.size(), 40 * 4096u);
  std::memset(&damaged[damaged.size() / 2 / 4096 * 4096], 0x5A, 4096);
  for (int round = 1; round <= 8; ++round) {
    historytest::writeFile(path, damaged);
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    pid_t children[2];
    for (pid_t& child : children) {
      child = ::fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        ::close(go[1]);
        char start;
        if (::read(go[0], &start, 1) != 1) ::_exit(2);
        history::Store program;
        std::string ignored;
        history::ImportResult result;
        bool ok = program.open(path, ignored) &&
                  program.importDownload("VLM1", "a.csv", memory(0, 10), result, ignored);
        if (!ok) fprintf(stderr, "child: %s\n", ignored.c_str());
        if (!program.notice().empty()) fprintf(stderr, "child notice: %s\n", program.notice().c_str());
        ::_exit(ok ? 0 : 1);
      }
    }
    ::close(go[0]);
    ASSERT_EQ(::write(go[1], "gg", 2), 2);
    ::close(go[1]);
    for (pid_t child : children) {
      int status = 0;
      ASSERT_EQ(::waitpid(child, &status, 0), child);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
    }
    EXPECT_EQ(setAside(dir).size(), static_cast<size_t>(round));
    ASSERT_TRUE(store.open(path, error)) << error;
    EXPECT_EQ(store.notice(), "");
    EXPECT_EQ(all("VLM1").size(), 10u) << "round " << round;
    store.close();
  }
}

// Root ignores permission bits, so the store runs as nobody in a child process.
TEST(HistoryStoreAccess, AReadOnlyFolderFailsWithAMessage) {
  TempDir dir;
  uid_t uid = ::getuid();
  gid_t gid = ::getgid();
  if (uid == 0) {
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    uid = nobody->pw_uid;
    gid = nobody->pw_gid;
  }
  // One folder made read-only before the store runs, one holding a database made before.
  const std::string empty = dir / "empty", full = dir / "full";
  ASSERT_EQ(::mkdir(empty.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(full.c_str(), 0700), 0);
  {
    history::Store store;
    std::string error;
    ASSERT_TRUE(store.open(full + "/measurements.sqlite", error)) << error;
  }
  for (const std::string& p : {dir.path().string(), empty, full, full + "/measurements.sqlite"})
    ASSERT_EQ(::chown(p.c_str(), uid, gid), 0) << p;
  ASSERT_EQ(::chmod(empty.c_str(), 0500), 0);
  ASSERT_EQ(::chmod(full.c_str(), 0500), 0);

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(fds[0]);
    if (::getuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0))
      ::_exit(2);
    if (::getuid() == 0) ::_exit(2);
    std::string report;
    for (const std::string& path : {empty + "/tarnwick/measurements.sqlite", empty + "/measurements.sqlite",
                                    full + "/measurements.sqlite"}) {
      history::Store store;
      std::string error;
      history::ImportResult result;
      const bool ok = store.open(path, error) &&
                      store.importDownload("VLM1", "a.csv", {record(2026, 1, 1, 0, 0, 0)}, result, error);
      report += (ok ? "stored " : "failed ") + error + "\n";
    }
    const ssize_t written = ::write(fds[1], report.data(), report.size());
    ::_exit(written == static_cast<ssize_t>(report.size()) ? 0 : 3);
  }
  ::close(fds[1]);
  std::string report;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
    report.append(buffer, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::istringstream lines(report);
  std::string line;
  int failed = 0;
  while (std::getline(lines, line)) {
    EXPECT_EQ(line.rfind("failed ", 0), 0u) << line;
    EXPECT_TRUE(line.find(empty) != std::string::npos || line.find(full) != std::string::npos) << line;
    failed += line.rfind("failed ", 0) == 0;
  }
  EXPECT_EQ(failed, 3) << report;
  ::chmod(empty.c_str(), 0700);
  ::chmod(full.c_str(), 0700);
}

// The one import of a download for the window and the command line: a logger without serial number
// has one name in the history whichever front end downloaded it, a download to no file is kept as
// "-", and the download keeps this computer as its origin. No database is a message, not a crash.
TEST_F(HistoryStore, OneImportOfADownloadForEveryFrontEnd) {
  store.close();
  history::DownloadImport what;
  what.database = path;
  what.device = history::kDeviceVirtual;
  const history::DownloadImported first = history::importDownload(what, memory(0, 12));
  ASSERT_TRUE(first.ok) << first.error;
  EXPECT_EQ(first.result.added, 12);
  what.file = "relative.csv";
  EXPECT_EQ(history::importDownload(what, memory(0, 20)).result.added, 8);
  ASSERT_TRUE(store.open(path, error)) << error;
  EXPECT_EQ(store.loggers(), std::vector<std::string>{history::kNoSerialLogger});
  EXPECT_EQ(history::downloadedRecords(path, "", error), 20);
  const std::vector<history::DownloadRow> rows = store.downloads("");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].file, "-");
  EXPECT_EQ(rows[1].file, history::fileKey("relative.csv"));
  EXPECT_EQ(rows[1].file.front(), '/');
  EXPECT_EQ(rows[1].device, history::kDeviceVirtual);
  EXPECT_EQ(rows[1].host, history::thisComputer().host);

  what.database.clear();
  const history::DownloadImported nowhere = history::importDownload(what, memory(0, 1));
  EXPECT_FALSE(nowhere.ok);
  EXPECT_FALSE(nowhere.error.empty());
}
