#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "data/RegionalFormat.h"
#include "history/Audit.h"
#include "history/Backend.h"
#include "history/History.h"
#include "history/ImportRules.h"
#include "history/ReadingHours.h"
#ifdef _WIN32
#include <direct.h>
#else
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>
#endif

namespace history {

namespace {

constexpr int kSchemaVersion = 6;
constexpr int kApplicationId = 0x54574B48;  // "TWKH": tells our file from another program's database
constexpr size_t kMaxPathLength = 4096;
// A wait for another program is told of (setWaitNotice) once it has lasted this long.
constexpr int kWaitNoticeMs = 500;
// After a write that left more than this in the write-ahead log, the log is copied into the file and
// emptied at once, waiting for readers at most kCheckpointWaitMs; otherwise it would keep the size of
// the largest import until the last connection closes. Never longer than the limit between imports.
constexpr int64_t kLargeLogBytes = 8 << 20;
constexpr int kCheckpointWaitMs = 2000;
constexpr int64_t kLogSizeLimit = 8 << 20;

// The lock file beside the database: byte 0 is held shared by every connection while it is open, and
// exclusively by one that looks whether it is alone (opening, closing); byte 1 exclusively while a
// damaged file is set aside. Its text says how the sessions went:
//   "clean <file id>"  the last connection closed with the file (and no log) exactly as named;
//   "open"             a session that started from a sound file is going on;
//   "unchecked"        a session is going on that started after an unclean end without a check.
// Anything else, or no lock file, counts as an unclean end.
constexpr long kSessionByte = 0;
constexpr long kRepairByte = 1;
constexpr size_t kMaxMarkerLength = 256;

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The identity of a measurement is the logger and the record's 32 bytes: two records that differ in
// any byte the logger stored (the tick within the second too) are two measurements. The primary key
// starts with the logger, time and sensor, so it doubles as the index for a logger's records in time
// order and for the records of one second; WITHOUT ROWID keeps each row in that one tree. A row's
// `download` names the import it is kept from (a download, or a file where no download had it).
#define TARNWICK_MEASUREMENTS(name)     \
  "CREATE TABLE " name                  \
  "("                                   \
  "  logger INTEGER NOT NULL,"          \
  "  time INTEGER NOT NULL,"            \
  "  sensor INTEGER NOT NULL,"          \
  "  humidity_raw INTEGER NOT NULL,"    \
  "  temperature_raw INTEGER NOT NULL," \
  "  record BLOB NOT NULL,"             \
  "  checksum_error INTEGER NOT NULL,"  \
  "  from_file INTEGER NOT NULL,"       \
  "  download INTEGER NOT NULL,"        \
  "  PRIMARY KEY(logger, time, sensor, record)) WITHOUT ROWID;"
#define TARNWICK_REPLACEABLE \
  "CREATE INDEX replaceable ON measurements(logger, time, sensor) WHERE checksum_error OR from_file;"

const char kSchema[] =
    "CREATE TABLE loggers(id INTEGER PRIMARY KEY, serial TEXT NOT NULL UNIQUE);" TARNWICK_MEASUREMENTS(
        "measurements") TARNWICK_REPLACEABLE
    "CREATE TABLE sensors(logger INTEGER NOT NULL, sensor INTEGER NOT NULL, PRIMARY KEY(logger, sensor)) "
    "WITHOUT ROWID;"
    "CREATE TABLE downloads(id INTEGER PRIMARY KEY, time INTEGER NOT NULL, logger INTEGER NOT NULL, "
    "file TEXT NOT NULL, records INTEGER NOT NULL, added INTEGER NOT NULL, from_file INTEGER NOT NULL, "
    "device TEXT NOT NULL DEFAULT '', differing INTEGER NOT NULL DEFAULT 0);";

// Version 1 kept one row per logger, time, sensor and raw counts; its rows are distinct records under
// the wider key too, so they all move over. Downloads gain their device source and refused lines.
const char kUpgradeFrom1[] = TARNWICK_MEASUREMENTS("measurements_v2") "INSERT INTO measurements_v2 SELECT "
    "logger, time, sensor, humidity_raw, temperature_raw, record, checksum_error, from_file, download FROM "
    "measurements;"
    "DROP TABLE measurements;"
    "ALTER TABLE measurements_v2 RENAME TO measurements;" TARNWICK_REPLACEABLE
    "ALTER TABLE downloads ADD COLUMN device TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE downloads ADD COLUMN differing INTEGER NOT NULL DEFAULT 0;";
#undef TARNWICK_MEASUREMENTS
#undef TARNWICK_REPLACEABLE

// Version 3: limits per logger (sensor -1) and per sensor, the record of their changes, the zones of
// the PCs a logger's clock met, the firmware versions loggers reported outside a download, and where
// each download was made. A new file takes the same steps
// after kSchema.
const char kUpgradeFrom2[] =
    "CREATE TABLE limits(logger INTEGER NOT NULL, sensor INTEGER NOT NULL, "
    "temperature_lower REAL, temperature_upper REAL, temperature_delay INTEGER NOT NULL, "
    "temperature_rule TEXT NOT NULL, humidity_lower REAL, humidity_upper REAL, "
    "humidity_delay INTEGER NOT NULL, humidity_rule TEXT NOT NULL, PRIMARY KEY(logger, sensor));"
    "CREATE TABLE limit_changes(id INTEGER PRIMARY KEY, logger INTEGER NOT NULL, sensor INTEGER NOT NULL, "
    "time INTEGER NOT NULL, host_name TEXT NOT NULL, user_name TEXT NOT NULL, old_value TEXT NOT NULL, "
    "new_value TEXT NOT NULL);"
    "CREATE INDEX limit_changes_logger ON limit_changes(logger, id);"
    "CREATE TABLE clock_zones(id INTEGER PRIMARY KEY, logger INTEGER NOT NULL, time INTEGER NOT NULL, "
    "zone TEXT NOT NULL, utc_offset INTEGER NOT NULL, kind TEXT NOT NULL);"
    "CREATE INDEX clock_zones_logger ON clock_zones(logger, kind, id);"
    "CREATE TABLE firmware_seen(id INTEGER PRIMARY KEY, logger INTEGER NOT NULL, time INTEGER NOT NULL, "
    "version TEXT NOT NULL);"
    "ALTER TABLE downloads ADD COLUMN host_name TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE downloads ADD COLUMN user_name TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE downloads ADD COLUMN firmware TEXT NOT NULL DEFAULT '';";

// Version 4 keeps each record's three values beside its bytes (NULL for a value that is not a
// number), so that a chart's lowest and highest value per column come from an index of the sensor's
// readings in time order without reading a record; the rows there are filled from the bytes. Per
// logger, sensor and hour the count, first, last, lowest and highest of the readings without a
// check-sum error are kept too (reading_hours), so that a chart of years reads hours, not readings. A
// download notes the times of the first and last record it brought (an earlier one: of the records
// kept from it).
#define TARNWICK_HOUR_OF_TIME "((time - (((time % 3600) + 3600) % 3600)) / 3600)"
const char kUpgradeFrom3[] =
    "ALTER TABLE measurements ADD COLUMN humidity REAL;"
    "ALTER TABLE measurements ADD COLUMN temperature REAL;"
    "ALTER TABLE measurements ADD COLUMN ambient REAL;"
    "UPDATE measurements SET humidity = tarnwick_value(record, 8), temperature = tarnwick_value(record, 12), "
    "ambient = tarnwick_value(record, 22);"
    "CREATE INDEX readings ON measurements(logger, sensor, time, checksum_error, humidity, temperature, "
    "ambient);"
    "CREATE TABLE reading_hours(logger INTEGER NOT NULL, sensor INTEGER NOT NULL, hour INTEGER NOT NULL, "
    "readings INTEGER NOT NULL, first_time INTEGER NOT NULL, last_time INTEGER NOT NULL, humidity_min REAL, "
    "humidity_max REAL, temperature_min REAL, temperature_max REAL, ambient_min REAL, ambient_max REAL, "
    "PRIMARY KEY(logger, sensor, hour)) WITHOUT ROWID;"
    "INSERT INTO reading_hours SELECT logger, sensor, " TARNWICK_HOUR_OF_TIME
    " AS hour, count(*), min(time), "
    "max(time), min(humidity), max(humidity), min(temperature), max(temperature), min(ambient), max(ambient) "
    "FROM measurements WHERE NOT checksum_error GROUP BY logger, sensor, hour;"
    "ALTER TABLE downloads ADD COLUMN first_time INTEGER;"
    "ALTER TABLE downloads ADD COLUMN last_time INTEGER;"
    "UPDATE downloads SET first_time = kept.first_time, last_time = kept.last_time FROM (SELECT download, "
    "min(time) AS first_time, max(time) AS last_time FROM measurements GROUP BY download) AS kept WHERE "
    "kept.download = downloads.id;";
#undef TARNWICK_HOUR_OF_TIME

// Version 5: the audit trail (history/Audit.h), whose entries are never changed or removed, and the
// records later imports replaced with a better copy, kept so that the digest of their import holds.
const char kUpgradeFrom4[] =
    "CREATE TABLE audit_trail(seq INTEGER PRIMARY KEY, time INTEGER NOT NULL, host_name TEXT NOT NULL, "
    "user_name TEXT NOT NULL, kind TEXT NOT NULL, logger TEXT NOT NULL, subject INTEGER NOT NULL, "
    "detail TEXT NOT NULL, hash TEXT NOT NULL);"
    "CREATE TRIGGER audit_edit BEFORE UPDATE ON audit_trail BEGIN SELECT RAISE(ABORT,'kept as written');END;"
    "CREATE TRIGGER audit_drop BEFORE DELETE ON audit_trail BEGIN SELECT RAISE(ABORT,'kept as written');END;"
    "CREATE TABLE replaced_records(logger INTEGER NOT NULL, time INTEGER NOT NULL, sensor INTEGER NOT NULL, "
    "record BLOB NOT NULL, checksum_error INTEGER NOT NULL, from_file INTEGER NOT NULL, download INTEGER NOT "
    "NULL, replaced_by INTEGER NOT NULL);";
// Version 6: why limits were changed, the names and places people give loggers (each change a row:
// the latest is what is set), and comments on excursions. Rows are only ever added.
const char kUpgradeFrom5[] =
    "ALTER TABLE limit_changes ADD COLUMN reason TEXT NOT NULL DEFAULT '';"
    "CREATE TABLE label_changes(id INTEGER PRIMARY KEY, logger INTEGER NOT NULL, time INTEGER NOT NULL, "
    "host_name TEXT NOT NULL, user_name TEXT NOT NULL, old_name TEXT NOT NULL, old_place TEXT NOT NULL, "
    "name TEXT NOT NULL, place TEXT NOT NULL);"
    "CREATE INDEX label_changes_logger ON label_changes(logger, id);"
    "CREATE TABLE excursion_comments(id INTEGER PRIMARY KEY, logger INTEGER NOT NULL, sensor INTEGER NOT "
    "NULL, quantity TEXT NOT NULL, start INTEGER NOT NULL, time INTEGER NOT NULL, host_name TEXT NOT NULL, "
    "user_name TEXT NOT NULL, cause TEXT NOT NULL, action TEXT NOT NULL);"
    "CREATE INDEX excursion_comments_logger ON excursion_comments(logger, id);";

// A record's value as the history keeps it: NULL when it is not a finite number.
void bindValue(sqlite3_stmt* st, int i, float value) {
  if (std::isfinite(value))
    sqlite3_bind_double(st, i, static_cast<double>(value));
  else
    sqlite3_bind_null(st, i);
}

// tarnwick_value(record, offset): the little-endian float at `offset` of a 32-byte record, NULL when
// it is not a finite number or the blob is not a record.
void recordValue(sqlite3_context* context, int, sqlite3_value** args) {
  const auto* blob = static_cast<const uint8_t*>(sqlite3_value_blob(args[0]));
  const int size = sqlite3_value_bytes(args[0]);
  const int64_t offset = sqlite3_value_int64(args[1]);
  if (blob == nullptr || size != static_cast<int>(messwert::kRecordSize) || offset < 0 || offset + 4 > size) {
    sqlite3_result_null(context);
    return;
  }
  const uint32_t bits = static_cast<uint32_t>(blob[offset]) | static_cast<uint32_t>(blob[offset + 1]) << 8 |
                        static_cast<uint32_t>(blob[offset + 2]) << 16 |
                        static_cast<uint32_t>(blob[offset + 3]) << 24;
  float value;
  std::memcpy(&value, &bits, sizeof value);
  if (std::isfinite(value))
    sqlite3_result_double(context, static_cast<double>(value));
  else
    sqlite3_result_null(context);
}

const char kInsert[] =
    "INSERT INTO measurements(logger, time, sensor, humidity_raw, temperature_raw, record, checksum_error, "
    "from_file, download, humidity, temperature, ambient) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, "
    "?11, "
    "?12) ON CONFLICT DO NOTHING";
// A worse copy that gives way to a downloaded record (ImportRules.h decides which).
const char kRemove[] =
    "DELETE FROM measurements WHERE logger = ?1 AND time = ?2 AND sensor = ?3 AND record = ?4";
// Every copy kept of one second and sensor, which an incoming record is decided against.
const char kAtTime[] =
    "SELECT record, checksum_error, from_file FROM measurements WHERE logger = ?1 AND time = ?2 AND sensor = "
    "?3";

class Statement {
 public:
  Statement() = default;
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  int prepare(sqlite3* db, const char* sql, unsigned flags = 0) {
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
    return sqlite3_prepare_v3(db, sql, -1, flags, &stmt_, nullptr);
  }
  sqlite3_stmt* get() const { return stmt_; }
  void bind(int i, int64_t v) { sqlite3_bind_int64(stmt_, i, v); }
  void bind(int i, const std::string& v) {
    sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
  }
  int step() { return sqlite3_step(stmt_); }
  // Runs a statement that returns no rows and leaves it ready for the next binding.
  int run() {
    const int rc = sqlite3_step(stmt_);
    sqlite3_reset(stmt_);
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
  }
  void reset() { sqlite3_reset(stmt_); }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

int exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

// What eachRow returns when the row handler stopped the reading (it has said why).
constexpr int kRowsStopped = -1;

// Runs a query whose ?1, if it has one, is `key` (a logger's serial number, a file name) and hands
// every row to `row`, which returns false to stop. SQLITE_DONE when all rows were read, kRowsStopped
// when `row` stopped, else SQLite's code.
template <typename Row>
int eachRow(sqlite3* db, const char* sql, const std::string& key, Row row) {
  Statement s;
  int rc = s.prepare(db, sql);
  if (rc != SQLITE_OK) return rc;
  if (sqlite3_bind_parameter_count(s.get()) > 0) s.bind(1, key);
  while ((rc = s.step()) == SQLITE_ROW)
    if (!row(s.get())) return kRowsStopped;
  return rc;
}

// The single integer or text a pragma returns.
int pragmaInt(sqlite3* db, const char* sql, int64_t& value) {
  Statement s;
  int rc = s.prepare(db, sql);
  if (rc != SQLITE_OK) return rc;
  rc = s.step();
  if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? SQLITE_CORRUPT : rc;
  value = sqlite3_column_int64(s.get(), 0);
  return SQLITE_OK;
}
int pragmaText(sqlite3* db, const char* sql, std::string& value) {
  Statement s;
  int rc = s.prepare(db, sql);
  if (rc != SQLITE_OK) return rc;
  rc = s.step();
  if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? SQLITE_CORRUPT : rc;
  const unsigned char* text = sqlite3_column_text(s.get(), 0);
  value = text ? reinterpret_cast<const char*>(text) : "";
  return SQLITE_OK;
}

bool isDamage(int code) {
  code &= 0xFF;
  return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

std::string reason(int code) {
  switch (code & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return "it is in use by another program";
    case SQLITE_FULL:
      return "the disk is full";
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return "it cannot be written (read-only file or folder)";
    case SQLITE_CANTOPEN:
      return "it cannot be opened or created (missing or read-only folder, or not a plain file)";
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return "it is damaged";
    case SQLITE_IOERR:
      return "reading or writing it failed";
    case SQLITE_NOMEM:
      return "out of memory";
    default:
      return "SQLite failed";
  }
}

bool validLogger(const std::string& logger, std::string& error) {
  bool ok = !logger.empty() && logger.size() <= kMaxLoggerLength;
  for (unsigned char c : logger) ok = ok && c >= 0x20 && c != 0x7F;
  if (!ok) error = "Not a logger serial number the history can keep (1 to 64 printable characters)";
  return ok;
}

std::string folderOf(const std::string& path) {
#ifdef _WIN32
  const size_t slash = path.find_last_of("/\\");
#else
  const size_t slash = path.rfind('/');
#endif
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Creates the folders leading to the database, each new one for its owner only, and refuses a folder
// that another user could change under us.
bool prepareFolder(const std::string& folder, std::string& error) {
#ifdef _WIN32
  for (size_t i = 1; i <= folder.size(); ++i) {
    if (i < folder.size() && folder[i] != '\\' && folder[i] != '/') continue;
    const std::string prefix = folder.substr(0, i);
    if (prefix.size() <= 3) continue;  // "C:" or "C:\"
    if (_mkdir(prefix.c_str()) != 0 && errno != EEXIST) {
      error = "Cannot create the folder " + prefix + " for the history database: " + std::strerror(errno);
      return false;
    }
  }
  return true;
#else
  for (size_t i = 1; i <= folder.size(); ++i) {
    if (i < folder.size() && folder[i] != '/') continue;
    const std::string prefix = folder.substr(0, i);
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
      error = "Cannot create the folder " + prefix + " for the history database: " + std::strerror(errno);
      return false;
    }
  }
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = "The history database's folder " + folder + " is not a folder";
    return false;
  }
  if (st.st_uid != ::geteuid()) {
    error =
        "The history database's folder " + folder + " belongs to another user; the history is not kept there";
    return false;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    error = "The history database's folder " + folder +
            " can be changed by other users; the history is not kept there";
    return false;
  }
  return true;
#endif
}

#ifndef _WIN32
// Creates the database file for its owner only before SQLite opens it (SQLite gives its -wal and
// -shm files the mode of the database). A link in its place is neither followed nor replaced. Made
// without opening it where the file system allows: another connection of this program may open and
// lock the new file at once, and closing a descriptor of it would drop those locks.
void createPrivate(const std::string& path) {
  if (::mknod(path.c_str(), S_IFREG | 0600, 0) == 0 || errno == EEXIST) return;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0) ::close(fd);
}

// Takes the group and other bits off one of our files; true when there were any. Closing any
// descriptor of a file drops every lock this program holds on it, those of SQLite's connections
// included, so a file that is ours alone already is never opened, and the mode is changed without
// a descriptor that could be read or written (one for the path only, whose closing drops no lock).
bool narrow(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
      (st.st_mode & 077) == 0)
    return false;
  const mode_t mode = st.st_mode & 0700;
  if (::fchmodat(AT_FDCWD, path.c_str(), mode, AT_SYMLINK_NOFOLLOW) == 0) return true;
  if (errno != EOPNOTSUPP && errno != ENOSYS) return false;
  // No way to change a mode without following a link: a descriptor of the file itself.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool narrowed = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
                        ::fchmod(fd, st.st_mode & 0700) == 0;
  ::close(fd);
  return narrowed;
}
#endif

bool exists(const std::string& path) {
#ifdef _WIN32
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
#else
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
#endif
}

#ifndef _WIN32
// One byte of the lock file, for this open file (not the process: two connections of one program
// keep each other out as two programs do). Does not wait.
bool tryLock(int fd, long byte, short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// What the lock file says how the database's file stands when the last connection closes: which file,
// how long and when it was last changed, and that no write-ahead log holds changes beyond it.
std::string cleanMarker(const std::string& path) {
  struct stat st {
  }, log{};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::string();
  if (::lstat((path + "-wal").c_str(), &log) == 0 && log.st_size != 0) return std::string();
  char text[kMaxMarkerLength];
  std::snprintf(text, sizeof text, "clean %llu %llu %lld %lld.%09ld %lld.%09ld\n",
                static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino),
                static_cast<long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec),
                st.st_mtim.tv_nsec, static_cast<long long>(st.st_ctim.tv_sec), st.st_ctim.tv_nsec);
  return text;
}

std::string readMarker(int fd) {
  char text[kMaxMarkerLength];
  const ssize_t n = ::pread(fd, text, sizeof text, 0);
  return n > 0 ? std::string(text, static_cast<size_t>(n)) : std::string();
}

void writeMarker(int fd, const std::string& text) {
  if (::ftruncate(fd, 0) == 0 &&
      ::pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()))
    ::fdatasync(fd);
}
#endif

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar (valid for any year here).
int64_t daysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yearOfEra = y - era * 400;
  const int64_t dayOfYear = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

// A host, user, firmware or zone name as the history keeps it: control characters are dropped and
// it is cut to kMaxNameLength bytes, at a character's start so that UTF-8 stays whole.
std::string cleanName(const std::string& text) {
  std::string out;
  for (unsigned char c : text)
    if (c >= 0x20 && c != 0x7F) out += static_cast<char>(c);
  if (out.size() > kMaxNameLength) {
    size_t cut = kMaxNameLength;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
  }
  return out;
}

bool validZone(const Zone& zone, std::string& error) {
  bool ok = !zone.name.empty() && zone.name.size() <= kMaxNameLength;
  for (unsigned char c : zone.name) ok = ok && c > 0x20 && c < 0x7F;
  if (!ok) {
    error = "Not a time zone name the history can keep (1 to 64 printable characters without blanks)";
    return false;
  }
  if (zone.offset < -kMaxZoneOffset || zone.offset > kMaxZoneOffset) {
    error = "The UTC offset " + std::to_string(zone.offset) + " s of zone " + zone.name + " is out of range";
    return false;
  }
  return true;
}

std::string columnText(sqlite3_stmt* st, int column) {
  const unsigned char* value = sqlite3_column_text(st, column);
  return value ? reinterpret_cast<const char*>(value) : "";
}

bool readRecord(sqlite3_stmt* st, int column, messwert_tag& out) {
  const void* blob = sqlite3_column_blob(st, column);
  if (blob == nullptr || sqlite3_column_bytes(st, column) != static_cast<int>(messwert::kRecordSize))
    return false;
  out = messwert::fromBytes(static_cast<const uint8_t*>(blob));
  return true;
}

}  // namespace

bool sameLine(const messwert_tag& a, bool aFlagged, const messwert_tag& b, bool bFlagged) {
  auto value = [](float v) { return csv::formatValue(v, ','); };
  return aFlagged == bFlagged && a.second == b.second && a.minute == b.minute && a.hour == b.hour &&
         a.day == b.day && a.month == b.month && a.year == b.year &&
         a.sensorSerialNumber == b.sensorSerialNumber && a.humidityRaw == b.humidityRaw &&
         a.temperatureRaw == b.temperatureRaw && value(a.humidity) == value(b.humidity) &&
         value(a.temperature) == value(b.temperature) &&
         value(a.ambientTemperature) == value(b.ambientTemperature);
}

bool recordTime(const messwert_tag& record, int64_t& seconds) {
  messwert::TimeStamp ts;
  std::string message;
  if (!messwert::timeStamp(record, ts, message)) return false;
  seconds = daysFromCivil(ts.year, ts.month, ts.day) * 86400 + ts.hour * 3600 + ts.minute * 60 + ts.second;
  return true;
}

struct Store::Statements {
  Statement insert, remove, atTime, logger, loggerId, sensor, download, counts;
};

std::string resolveLocation(const std::string& flag, const char* environment, const std::string& setting) {
  if (!flag.empty()) return flag;
  if (environment != nullptr && environment[0] != '\0' && std::strlen(environment) < kMaxPathLength)
    return environment;
  if (!setting.empty()) return setting;
  return Store::defaultPath();
}

Store::Store() = default;
Store::~Store() {
  close();
}

std::string Store::defaultPath() {
  auto usable = [](const char* value) {
    return value != nullptr && value[0] != '\0' && std::strlen(value) < kMaxPathLength;
  };
#ifdef _WIN32
  const char* base = std::getenv("LOCALAPPDATA");
  if (!usable(base)) return std::string();
  return std::string(base) + "\\tarnwick\\measurements.sqlite";
#else
  const char kTail[] = "tarnwick/measurements.sqlite";
  // Relative values are to be ignored, as if unset.
  const char* data = std::getenv("XDG_DATA_HOME");
  if (usable(data) && data[0] == '/') return std::string(data) + "/" + kTail;
  std::string home;
  const char* env = std::getenv("HOME");
  if (usable(env) && env[0] == '/') {
    home = env;
  } else {
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        usable(found->pw_dir) && found->pw_dir[0] == '/')
      home = found->pw_dir;
  }
  if (home.empty()) return std::string();
  return home + "/.local/share/" + kTail;
#endif
}

std::string Store::failure(const char* what, int code) const {
  std::string text = "History database " + path_ + ": " + what + ": " + reason(code);
  text += " (";
  // The connection's message has the details, when it is about this failure.
  const bool own = db_ != nullptr && (sqlite3_errcode(db_) & 0xFF) == (code & 0xFF);
  text += own ? sqlite3_errmsg(db_) : sqlite3_errstr(code);
  text += ")";
  return text;
}

void Store::closeDatabase() {
  statements_.reset();
  if (db_ != nullptr) sqlite3_close_v2(db_);
  db_ = nullptr;
}

void Store::close() {
  server_.reset();
#ifndef _WIN32
  // The last connection of all programs: SQLite copies the log into the file and removes it as this
  // one closes, and the file as it is then counts as cleanly left, if the session started sound.
  const bool last = lockFd_ >= 0 && opened_ != FileId{} && tryLock(lockFd_, kSessionByte, F_WRLCK);
  closeDatabase();
  if (last && readMarker(lockFd_) == "open\n") {
    const std::string marker = cleanMarker(path_);
    if (!marker.empty()) writeMarker(lockFd_, marker);
  }
  if (lockFd_ >= 0) ::close(lockFd_);
  lockFd_ = -1;
#else
  closeDatabase();
#endif
  opened_ = FileId{};
}

void Store::setBusyTimeout(int milliseconds) {
  busyTimeoutMs_ = std::clamp(milliseconds, 0, kBusyTimeoutMs);
}

// SQLite's busy handler: waits in growing steps up to the time-out, and tells of a long wait once.
int Store::busyWait(void* self, int count) {
  Store& store = *static_cast<Store*>(self);
  const int64_t now = nowMs();
  if (count == 0) store.waitStartMs_ = now;
  const int64_t waited = now - store.waitStartMs_;
  if (waited >= store.busyTimeoutMs_) return 0;
  if (waited >= kWaitNoticeMs && !store.waitNoticed_ && store.waitNotice_) {
    store.waitNoticed_ = true;
    store.waitNotice_();
  }
  const int64_t step =
      std::min<int64_t>({int64_t{1} << std::min(count, 7), 100, store.busyTimeoutMs_ - waited});
  sqlite3_sleep(static_cast<int>(std::max<int64_t>(step, 1)));
  return 1;
}

Store::FileId Store::fileId(const std::string& path) {
  struct stat st {};
#ifdef _WIN32
  if (::stat(path.c_str(), &st) != 0) return FileId{};
#else
  if (::lstat(path.c_str(), &st) != 0) return FileId{};
#endif
  return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

// Waits for a byte of the lock file as long as for a busy database.
bool Store::waitForLock(long byte, bool exclusive, std::string& error) {
#ifndef _WIN32
  const int64_t start = nowMs();
  for (int count = 0; !tryLock(lockFd_, byte, exclusive ? F_WRLCK : F_RDLCK); ++count) {
    if (errno != EAGAIN && errno != EACCES && errno != EINTR) return true;  // no locks here: go without
    if (count == 0) waitStartMs_ = start;
    if (busyWait(this, count == 0 ? 1 : count) == 0) {
      error =
          "History database " + path_ + ": " +
          (byte == kRepairByte ? "another program is setting it aside" : "it is in use by another program") +
          " (waited " + std::to_string((nowMs() - start) / 1000) + " s)";
      return false;
    }
  }
#else
  (void)byte;
  (void)exclusive;
  (void)error;
#endif
  return true;
}

// Joins the session of all connections and says whether the whole file wants checking.
bool Store::beginSession(bool mayRepair, bool& check, std::string& error) {
  check = true;
#ifndef _WIN32
  const std::string lockPath = path_ + ".lock";
  lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  createdLock_ = lockFd_ >= 0;
  if (!createdLock_) lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (lockFd_ < 0) return true;  // a folder we cannot write in: every open checks, as the only way left
  struct stat st {};
  if (::fstat(lockFd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(lockFd_);
    lockFd_ = -1;
    error = "History database " + path_ + ": its lock file " + path_ + ".lock is not a plain file";
    return false;
  }
  const bool alone = tryLock(lockFd_, kSessionByte, F_WRLCK);
  if (!alone && !waitForLock(kSessionByte, false, error)) {
    close();
    return false;
  }
  const std::string marker = readMarker(lockFd_);
  if (alone) {
    const std::string clean = cleanMarker(path_);
    check = clean.empty() || marker != clean;
    // Until a check has passed, a crash leaves "unchecked", and a reader never checks.
    writeMarker(lockFd_, check ? "unchecked\n" : "open\n");
    if (!tryLock(lockFd_, kSessionByte, F_RDLCK)) {  // keeps the byte, shared now
      close();
      error = "History database " + path_ + ": its lock file cannot be locked";
      return false;
    }
  } else {
    // Others are open: a session that started sound goes on (or has just ended cleanly).
    check = marker != "open\n" && marker != cleanMarker(path_);
  }
#else
  (void)error;
#endif
  if (!mayRepair) check = false;
  return true;
}

// Opens path_: a file that another program set aside or replaced while this one opened it is opened
// again; a damaged one is set aside when `mayRepair`.
bool Store::connect(bool mayRepair, std::string& error) {
  bool check = true;
  if (!beginSession(mayRepair, check, error)) return false;
  // A large file is not read whole in the way of a start: its session stays "unchecked".
  struct stat size {};
  if (check && ::stat(path_.c_str(), &size) == 0 && size.st_size > wholeCheckAtOpenBytes_) check = false;
  for (int attempt = 0; attempt < 3; ++attempt) {
    // The repair byte, shared while opening: a program setting the file aside holds it exclusively, so
    // nobody opens the file while it and its log are being moved and a new one made in its place.
    if (lockFd_ >= 0 && !waitForLock(kRepairByte, false, error)) break;
    const FileId before = fileId(path_);
    bool damaged = false;
    const bool ok = openOnce(error, damaged, check);
    const FileId after = fileId(path_);
#ifndef _WIN32
    if (lockFd_ >= 0) tryLock(lockFd_, kRepairByte, F_UNLCK);
#endif
    // Set aside or replaced by another program while this one read it (which may also show as an I/O
    // error, its log having moved with it): open what is there now.
    if (before != after) {
      closeDatabase();
      continue;
    }
    if (ok) {
      opened_ = after;
#ifndef _WIN32
      if (check && lockFd_ >= 0) writeMarker(lockFd_, "open\n");
#endif
      return true;
    }
    if (!damaged || !mayRepair) {
#ifndef _WIN32
      // Nothing of ours beside a file that is not our history (another program's database, say).
      if (!damaged && createdLock_ && tryLock(lockFd_, kSessionByte, F_WRLCK))
        ::unlink((path_ + ".lock").c_str());
#endif
      break;
    }
    std::string again;
    if (!repair(after, again)) {
      error = again;
      break;
    }
    error.clear();
    return true;
  }
  close();
  return false;
}

bool Store::checkWhole(bool& sound, std::string& error) {
  sound = false;
  if (!ensureOpen(error)) return false;
  if (server_ != nullptr) {
    error = "History " + path_ + ": a server checks its own files";
    return false;
  }
  std::string verdict;
  const int rc = pragmaText(db_, "PRAGMA quick_check", verdict);
  if (rc == SQLITE_OK && verdict == "ok") {
    sound = true;
#ifndef _WIN32
    if (lockFd_ >= 0 && readMarker(lockFd_) == "unchecked\n") writeMarker(lockFd_, "open\n");
#endif
    return true;
  }
  if (rc != SQLITE_OK && !isDamage(rc)) {
    error = failure("cannot check it", rc);
    return false;
  }
  if (!repair(opened_, error)) return false;
  return true;
}

// Sets the damaged file aside and starts a new one, one program at a time: when another has done so
// already, the file now in its place is left alone and opened.
bool Store::repair(const FileId& damaged, std::string& error) {
  closeDatabase();
  if (lockFd_ >= 0 && !waitForLock(kRepairByte, true, error)) return false;
  struct Release {
    int fd;
    ~Release() {
#ifndef _WIN32
      if (fd >= 0) tryLock(fd, kRepairByte, F_UNLCK);
#endif
    }
  } release{lockFd_};
  bool again = false;
  if (fileId(path_) == damaged && damaged != FileId{}) {
    // Checked again under the lock: what looked damaged may have been a file another program was
    // just creating in the place of the damaged one.
    if (!openOnce(error, again, true)) {
      if (!again || !setAside(error)) return false;
    } else if (fileId(path_) == damaged) {
      opened_ = damaged;
#ifndef _WIN32
      if (lockFd_ >= 0) writeMarker(lockFd_, "open\n");
#endif
      return true;
    } else {
      closeDatabase();
    }
  }
  if (!openOnce(error, again, true)) return false;
  opened_ = fileId(path_);
#ifndef _WIN32
  if (lockFd_ >= 0) writeMarker(lockFd_, "open\n");
#endif
  return true;
}

bool Store::isOpen() const {
  return db_ != nullptr || server_ != nullptr;
}

// A server's history: the server keeps its own files, locks and rights.
bool Store::openServerLocation(const std::string& location, std::string& error) {
  close();
  notice_.clear();
  path_.clear();
  if (location.size() >= kMaxPathLength) {
    error = "The history database's location is too long";
    return false;
  }
  const std::string problem = serverLocationProblem(location);
  if (!problem.empty()) {
    error = "The history database's location is " + problem;
    return false;
  }
  if (locationHasPassword(location)) {
    error =
        "The history database's location holds a password; it is not used. Put the password into ~/.pgpass "
        "(one line: host:port:database:user:password, mode 0600) and give the location without it";
    return false;
  }
  path_ = location;
  server_ = openServer(location, error);
  if (server_ != nullptr) server_->setWaitNotice(waitNotice_);
  return server_ != nullptr;
}

bool Store::open(const std::string& path, std::string& error) {
  if (isServerLocation(path)) return openServerLocation(path, error);
  close();
  notice_.clear();
  path_ = path;
  if (path.empty()) {
    error = "No place for the history database: no home folder is known";
    return false;
  }
  if (path.size() >= kMaxPathLength) {
    error = "The history database's path is too long";
    return false;
  }
  if (!prepareFolder(folderOf(path), error)) return false;
  // Narrowed once it is known to be a history: another program's file keeps its mode.
  if (!connect(true, error)) return false;
  narrowPermissions();
  return true;
}

void Store::narrowPermissions() {
#ifndef _WIN32
  bool narrowed = false;
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) narrowed = narrow(path_ + suffix) || narrowed;
  if (narrowed)
    notice_ = "The history database " + path_ +
              " could be read by other users; it is now for its owner only (mode 0600)";
#endif
}

bool Store::openForReading(const std::string& path, std::string& error) {
  if (isServerLocation(path)) return openServerLocation(path, error);
  close();
  notice_.clear();
  path_ = path;
  if (path.empty() || path.size() >= kMaxPathLength) {
    error = "The history database's path is empty or too long";
    return false;
  }
  if (!prepareFolder(folderOf(path), error)) return false;
  return connect(false, error);
}

bool Store::openOnce(std::string& error, bool& damaged, bool check) {
  damaged = false;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
#ifdef SQLITE_OPEN_NOFOLLOW
  flags |= SQLITE_OPEN_NOFOLLOW;  // a link planted in place of the file is not followed
#endif
#ifndef _WIN32
  createPrivate(path_);
#endif
  int rc = sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr);
  auto fail = [&](const char* what) {
    damaged = isDamage(rc);
    error = failure(what, rc);
    closeDatabase();
    return false;
  };
  if (rc != SQLITE_OK) return fail("cannot open it");
  sqlite3_busy_handler(db_, &Store::busyWait, this);
  if ((rc = sqlite3_create_function(db_, "tarnwick_value", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                    &recordValue, nullptr, nullptr)) != SQLITE_OK)
    return fail("cannot open it");

  int64_t applicationId = 0, version = 0, objects = 0;
  if ((rc = pragmaInt(db_, "PRAGMA application_id", applicationId)) == SQLITE_NOTADB) {
    // No SQLite database at all (a CSV file named by mistake, say): not a history of ours, so never set
    // aside or replaced.
    error = "History database " + path_ +
            ": the file is not a Tarnwick history (no SQLite database); it is "
            "left as it is";
    closeDatabase();
    return false;
  }
  if (rc != SQLITE_OK) return fail("cannot open it");
  std::string verdict = "ok";
  if (check && (rc = pragmaText(db_, "PRAGMA quick_check", verdict)) != SQLITE_OK)
    return fail("cannot check it");
  if (verdict != "ok") {
    rc = SQLITE_CORRUPT;
    return fail("the check found faults");
  }
  // The header and the tables in one read transaction: another program creating a new file at this
  // moment is seen before or after its tables, never with the tables but without the header's mark.
  if ((rc = exec(db_, "BEGIN")) != SQLITE_OK ||
      (rc = pragmaInt(db_, "PRAGMA application_id", applicationId)) != SQLITE_OK ||
      (rc = pragmaInt(db_, "PRAGMA user_version", version)) != SQLITE_OK ||
      (rc = pragmaInt(db_, "SELECT count(*) FROM sqlite_master", objects)) != SQLITE_OK) {
    exec(db_, "ROLLBACK");
    return fail("cannot read it");
  }
  exec(db_, "COMMIT");
  const bool fresh = applicationId == 0 && objects == 0;
  if (!fresh && applicationId != kApplicationId) {
    error = "History database " + path_ + ": the file is a database of another program; it is left as it is";
    closeDatabase();
    return false;
  }
  if (version > kSchemaVersion) {
    error = "History database " + path_ + ": written by a newer Tarnwick; it is left as it is";
    closeDatabase();
    return false;
  }

  std::string mode;
  // Two programs switching a new file to WAL at once: SQLite answers one of them "busy" at once rather
  // than let both wait on each other, so the switch is tried again within the busy time-out.
  for (const int64_t start = nowMs();;) {
    rc = pragmaText(db_, "PRAGMA journal_mode=WAL", mode);
    if (rc != SQLITE_BUSY || nowMs() - start >= busyTimeoutMs_) break;
    sqlite3_sleep(5);
  }
  // Every commit syncs the log: an import reported as stored survives a power cut, also while another
  // program keeps the history open (then no connection's close copies the log into the file). The
  // pages a full download's import touches stay in memory until its commit: with SQLite's default 2 MB
  // they would spill into the log mid-import, each written there again and again.
  if (rc != SQLITE_OK || (rc = exec(db_, "PRAGMA synchronous=FULL")) != SQLITE_OK ||
      (rc = exec(db_, "PRAGMA cache_size=-32768")) != SQLITE_OK ||
      (rc = exec(db_, ("PRAGMA journal_size_limit=" + std::to_string(kLogSizeLimit)).c_str())) != SQLITE_OK)
    return fail("cannot set it up");
  if ((fresh || version < kSchemaVersion) && !upgrade(rc)) return fail("cannot create or upgrade its tables");

  statements_ = std::make_unique<Statements>();
  Statements& s = *statements_;
  const unsigned persistent = SQLITE_PREPARE_PERSISTENT;
  if ((rc = s.insert.prepare(db_, kInsert, persistent)) != SQLITE_OK ||
      (rc = s.remove.prepare(db_, kRemove, persistent)) != SQLITE_OK ||
      (rc = s.atTime.prepare(db_, kAtTime, persistent)) != SQLITE_OK ||
      (rc = s.counts.prepare(
           db_,
           "UPDATE downloads SET records = ?2, added = ?3, differing = ?4, first_time = ?5, last_time = ?6 "
           "WHERE id = ?1",
           persistent)) != SQLITE_OK ||
      (rc = s.logger.prepare(db_, "INSERT INTO loggers(serial) VALUES(?1) ON CONFLICT DO NOTHING",
                             persistent)) != SQLITE_OK ||
      (rc = s.loggerId.prepare(db_, "SELECT id FROM loggers WHERE serial = ?1", persistent)) != SQLITE_OK ||
      (rc = s.sensor.prepare(db_, "INSERT INTO sensors(logger, sensor) VALUES(?1, ?2) ON CONFLICT DO NOTHING",
                             persistent)) != SQLITE_OK ||
      (rc = s.download.prepare(
           db_,
           "INSERT INTO downloads(time, logger, file, records, added, from_file, device, "
           "host_name, user_name, firmware) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)",
           persistent)) != SQLITE_OK)
    return fail("its tables are not as expected");
  return true;
}

// Creates the tables of a new file or brings an older one up to date, in one write transaction: a
// second program opening the same file at the same moment finds the work done when it gets its turn.
bool Store::upgrade(int& code) {
  if ((code = exec(db_, "BEGIN IMMEDIATE")) != SQLITE_OK) return false;
  int64_t version = 0, objects = 0;
  if ((code = pragmaInt(db_, "PRAGMA user_version", version)) != SQLITE_OK ||
      (code = pragmaInt(db_, "SELECT count(*) FROM sqlite_master", objects)) != SQLITE_OK) {
    exec(db_, "ROLLBACK");
    return false;
  }
  // Each step brings one version to the next; a new file starts from version 2's tables.
  std::string steps;
  bool known = true;
  if (version >= kSchemaVersion)
    steps.clear();
  else if (objects == 0)
    steps = std::string(kSchema) + kUpgradeFrom2 + kUpgradeFrom3 + kUpgradeFrom4 + kUpgradeFrom5;
  else if (version == 1)
    steps = std::string(kUpgradeFrom1) + kUpgradeFrom2 + kUpgradeFrom3 + kUpgradeFrom4 + kUpgradeFrom5;
  else if (version == 2)
    steps = std::string(kUpgradeFrom2) + kUpgradeFrom3 + kUpgradeFrom4 + kUpgradeFrom5;
  else if (version == 3)
    steps = std::string(kUpgradeFrom3) + kUpgradeFrom4 + kUpgradeFrom5;
  else if (version == 4)
    steps = std::string(kUpgradeFrom4) + kUpgradeFrom5;
  else if (version == 5)
    steps = kUpgradeFrom5;
  else
    known = false;
  if (!known) {
    exec(db_, "ROLLBACK");
    code = SQLITE_CORRUPT;  // our file, without a version it can have
    return false;
  }
  const std::string stamp = "PRAGMA application_id=" + std::to_string(kApplicationId) +
                            ";PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";";
  // A history kept before the trail: its rows as they are now become the trail's first entries, in the
  // same transaction, so that no trail is ever empty beside rows.
  std::string unread;
  auto append = [&](const std::string& kind, const std::string& logger, int64_t subject,
                    const std::string& detail) {
    return appendAuditLocked(kind, logger, subject, detail, code);
  };
  if ((code = exec(db_, steps.c_str())) != SQLITE_OK ||
      (objects > 0 && version < 5 && !adoptIntoTrail(*this, append, unread)) ||
      (code = exec(db_, stamp.c_str())) != SQLITE_OK || (code = exec(db_, "COMMIT")) != SQLITE_OK) {
    if (code == SQLITE_OK) code = SQLITE_ERROR;
    exec(db_, "ROLLBACK");
    return false;
  }
  return true;
}

bool Store::setAside(std::string& error) {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &now);
#else
  gmtime_r(&now, &utc);
#endif
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &utc);
  std::string aside = path_ + ".damaged-" + stamp;
  for (int n = 2; exists(aside) || exists(aside + "-wal"); ++n) {
    aside = path_ + ".damaged-" + stamp + "-" + std::to_string(n);
  }
  if (std::rename(path_.c_str(), aside.c_str()) != 0) {
    error = "History database " + path_ + ": it is damaged and cannot be set aside: " + std::strerror(errno);
    return false;
  }
  // The write-ahead log holds the latest changes and belongs with the file.
  for (const char* suffix : {"-wal", "-shm", "-journal"}) {
    if (exists(path_ + suffix)) std::rename((path_ + suffix).c_str(), (aside + suffix).c_str());
  }
  notice_ = "The history database " + path_ + " was damaged; it was kept as " + aside +
            " and a new one was started";
  return true;
}

bool Store::ensureOpen(std::string& error) {
  if (db_ != nullptr || server_ != nullptr) return true;
  if (path_.empty()) {
    error = "The history database is not open";
    return false;
  }
  return open(path_, error);
}

bool Store::importDownload(const std::string& logger, const std::string& file,
                           const std::vector<messwert_tag>& records, ImportResult& result, std::string& error,
                           const std::string& device) {
  DownloadOrigin origin;
  origin.device = device;
  return import(logger, file, records, nullptr, origin, result, error);
}

bool Store::importDownload(const std::string& logger, const std::string& file,
                           const std::vector<messwert_tag>& records, const DownloadOrigin& origin,
                           ImportResult& result, std::string& error) {
  return import(logger, file, records, nullptr, origin, result, error);
}

bool Store::importCsvRecords(const std::string& logger, const std::string& file,
                             const std::vector<messwert_tag>& records, const std::vector<bool>& checksumError,
                             ImportResult& result, std::string& error) {
  if (checksumError.size() != records.size()) {
    error = "History: the checksum flags do not match the records";
    return false;
  }
  // A file's import says on which computer and by whom it was made, as a download does.
  DownloadOrigin origin;
  origin.computer = thisComputer();
  return import(logger, file, records, &checksumError, origin, result, error);
}

bool Store::import(const std::string& logger, const std::string& file,
                   const std::vector<messwert_tag>& records, const std::vector<bool>* checksumError,
                   const DownloadOrigin& origin, ImportResult& result, std::string& error) {
  result = ImportResult{};
  if (!validLogger(logger, error)) return false;
  if (origin.clockZone && !validZone(*origin.clockZone, error)) return false;
  if (server_ != nullptr || isServerLocation(path_)) {
    DownloadOrigin clean = origin;
    clean.computer = Computer{cleanName(origin.computer.host), cleanName(origin.computer.user)};
    clean.firmware = cleanName(origin.firmware);
    if (!ensureOpen(error)) return false;
    server_->setWaitLimit(busyTimeoutMs_);
    server_->setWaitNotice(waitNotice_);
    return server_->import(logger, file, records, checksumError, clean, result, error);
  }
  // A file set aside or replaced by another program since this connection opened it: the records go
  // into the one in its place, not into the one set aside.
  if (db_ != nullptr && fileId(path_) != opened_) close();
  if (!ensureOpen(error)) return false;
  int code = SQLITE_OK;
  if (importOnce(logger, file, records, checksumError, origin, result, error, code)) {
    checkpointLargeLog();
    return true;
  }
  if (!isDamage(code)) return false;
  // Found damaged while writing: kept aside like a damaged file found at opening, and the records go
  // into the new one.
  std::string again;
  if (!repair(opened_, again)) {
    error += "; " + again;
    return false;
  }
  if (!importOnce(logger, file, records, checksumError, origin, result, error, code)) return false;
  checkpointLargeLog();
  error.clear();
  return true;
}

void Store::checkpointLargeLog() {
  struct stat st {};
  if (::stat((path_ + "-wal").c_str(), &st) != 0 || st.st_size < kLargeLogBytes) return;
  const int keep = busyTimeoutMs_;
  busyTimeoutMs_ = std::min(keep, kCheckpointWaitMs);
  // Busy (a reader still on an older state) leaves the log for a later checkpoint: nothing is lost.
  sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  busyTimeoutMs_ = keep;
}

bool Store::importOnce(const std::string& logger, const std::string& file,
                       const std::vector<messwert_tag>& records, const std::vector<bool>* checksumError,
                       const DownloadOrigin& origin, ImportResult& result, std::string& error, int& code) {
  result = ImportResult{};
  Statements& s = *statements_;
  auto fail = [&](int rc) {
    code = rc;
    result = ImportResult{};
    error = failure("the download was not added", rc);
    for (Statement* st :
         {&s.insert, &s.remove, &s.atTime, &s.logger, &s.loggerId, &s.sensor, &s.download, &s.counts})
      st->reset();
    exec(db_, "ROLLBACK");
    return false;
  };
  int rc = exec(db_, "BEGIN IMMEDIATE");
  if (rc != SQLITE_OK) {
    code = rc;
    error = failure("the download was not added", rc);
    return false;
  }

  s.logger.bind(1, logger);
  if ((rc = s.logger.run()) != SQLITE_OK) return fail(rc);
  s.loggerId.bind(1, logger);
  if ((rc = s.loggerId.step()) != SQLITE_ROW) return fail(rc == SQLITE_DONE ? SQLITE_CORRUPT : rc);
  const int64_t loggerId = sqlite3_column_int64(s.loggerId.get(), 0);
  s.loggerId.reset();

  const int fromFile = checksumError != nullptr ? 1 : 0;
  const int64_t importTime = static_cast<int64_t>(std::time(nullptr));
  s.download.bind(1, importTime);
  s.download.bind(2, loggerId);
  s.download.bind(3, file);
  s.download.bind(4, 0);
  s.download.bind(5, 0);
  s.download.bind(6, fromFile);
  s.download.bind(7, origin.device);
  s.download.bind(8, cleanName(origin.computer.host));
  s.download.bind(9, cleanName(origin.computer.user));
  s.download.bind(10, cleanName(origin.firmware));
  if ((rc = s.download.run()) != SQLITE_OK) return fail(rc);
  const int64_t downloadId = sqlite3_last_insert_rowid(db_);
  if (origin.clockZone &&
      !insertClockZone(loggerId, std::time(nullptr), *origin.clockZone, ClockZoneKind::download, rc))
    return fail(rc);

  // A file's lines are held to the logger's downloads: their spans, and the lines that disagree with
  // their own counts.
  DownloadSpans spans;
  std::vector<bool> disagreeing;
  if (fromFile) {
    Statement st;
    if ((rc =
             st.prepare(db_,
                        "SELECT first_time, last_time FROM downloads WHERE logger = ?1 AND from_file = 0 AND "
                        "first_time IS NOT NULL AND last_time IS NOT NULL")) != SQLITE_OK)
      return fail(rc);
    st.bind(1, loggerId);
    while ((rc = st.step()) == SQLITE_ROW)
      spans.add(sqlite3_column_int64(st.get(), 0), sqlite3_column_int64(st.get(), 1));
    if (rc != SQLITE_DONE) return fail(rc);
    disagreeing = disagreeingLines(records, *checksumError);
  }

  std::vector<bool> sensorSeen(65536, false);
  int64_t firstTime = INT64_MAX, lastTime = INT64_MIN;
  ReadingHourSums hours;                           // what this import adds to the sensors' hours
  std::vector<StoredRecord> keptNow, replacedNow;  // for the audit trail's digests
  auto noteKept = [&](const messwert_tag& r, int64_t time, int flagged) {
    if (sqlite3_changes(db_) == 1)
      keptNow.push_back(StoredRecord{logger, r, time, flagged != 0, downloadId, fromFile != 0});
  };
  for (size_t i = 0; i < records.size(); ++i) {
    const messwert_tag& r = records[i];
    int64_t time;
    if (!recordTime(r, time)) {
      ++result.invalidTime;
      continue;
    }
    ++result.records;
    firstTime = std::min(firstTime, time);
    lastTime = std::max(lastTime, time);
    const int flagged = checksumError != nullptr ? ((*checksumError)[i] ? 1 : 0) : messwert::checksum(r) != 0;
    uint8_t bytes[messwert::kRecordSize];
    messwert::toBytes(r, bytes);
    const float values[3] = {r.humidity, r.temperature, r.ambientTemperature};
    auto bindKey = [&](Statement& st) {
      st.bind(1, loggerId);
      st.bind(2, time);
      st.bind(3, r.sensorSerialNumber);
    };
    auto bindCopy = [&](Statement& st) {
      st.bind(4, r.humidityRaw);
      st.bind(5, r.temperatureRaw);
      sqlite3_bind_blob(st.get(), 6, bytes, sizeof bytes, SQLITE_STATIC);
      st.bind(7, flagged);
      st.bind(8, fromFile);
      bindValue(st.get(), 10, r.humidity);
      bindValue(st.get(), 11, r.temperature);
      bindValue(st.get(), 12, r.ambientTemperature);
    };
    // Every copy the history keeps of that second and sensor, and the one rule for what becomes of it.
    std::vector<KeptCopy> kept;
    std::vector<std::vector<uint8_t>> keptBytes;
    bindKey(s.atTime);
    while ((rc = s.atTime.step()) == SQLITE_ROW) {
      KeptCopy k;
      if (!readRecord(s.atTime.get(), 0, k.record)) {
        s.atTime.reset();
        return fail(SQLITE_CORRUPT);
      }
      k.flagged = sqlite3_column_int(s.atTime.get(), 1) != 0;
      k.fromFile = sqlite3_column_int(s.atTime.get(), 2) != 0;
      const auto* blob = static_cast<const uint8_t*>(sqlite3_column_blob(s.atTime.get(), 0));
      keptBytes.emplace_back(blob, blob + messwert::kRecordSize);
      kept.push_back(k);
    }
    s.atTime.reset();
    if (rc != SQLITE_DONE) return fail(rc);
    IncomingLine line;
    line.record = r;
    line.flagged = flagged != 0;
    line.fromFile = fromFile != 0;
    line.insideDownload = fromFile && spans.covers(time);
    line.disagrees = fromFile && disagreeing[i];
    const ImportDecision decision = decideImport(kept, line);
    countOutcome(decision.outcome, result);
    for (size_t k : decision.retire) {
      StoredRecord replaced;
      if (!keepReplaced(loggerId, time, r.sensorSerialNumber, keptBytes[k].data(), downloadId, replaced, rc))
        return fail(rc);
      replaced.logger = logger;
      replacedNow.push_back(replaced);
      bindKey(s.remove);
      sqlite3_bind_blob(s.remove.get(), 4, keptBytes[k].data(), static_cast<int>(keptBytes[k].size()),
                        SQLITE_TRANSIENT);
      if ((rc = s.remove.run()) != SQLITE_OK) return fail(rc);
    }
    if (decision.insert) {
      bindKey(s.insert);
      bindCopy(s.insert);
      s.insert.bind(9, downloadId);
      if ((rc = s.insert.run()) != SQLITE_OK) return fail(rc);
      if (!line.flagged && sqlite3_changes(db_) == 1) hours.add(r.sensorSerialNumber, time, values);
      noteKept(r, time, flagged);
    }
    if (!decision.retire.empty()) hours.recompute(r.sensorSerialNumber, time);
    if (!sensorSeen[r.sensorSerialNumber]) {
      sensorSeen[r.sensorSerialNumber] = true;
      s.sensor.bind(1, loggerId);
      s.sensor.bind(2, r.sensorSerialNumber);
      if ((rc = s.sensor.run()) != SQLITE_OK) return fail(rc);
    }
  }

  if (!addReadingHours(loggerId, hours, rc)) return fail(rc);
  s.counts.bind(1, downloadId);
  s.counts.bind(2, result.records);
  s.counts.bind(3, result.added);
  s.counts.bind(4, result.differing);
  if (result.records > 0) {
    s.counts.bind(5, firstTime);
    s.counts.bind(6, lastTime);
  } else {
    sqlite3_bind_null(s.counts.get(), 5);
    sqlite3_bind_null(s.counts.get(), 6);
  }
  if ((rc = s.counts.run()) != SQLITE_OK) return fail(rc);
  const DownloadRow row{downloadId,
                        importTime,
                        logger,
                        file,
                        result.records,
                        result.added,
                        fromFile != 0,
                        origin.device,
                        result.differing,
                        cleanName(origin.computer.host),
                        cleanName(origin.computer.user),
                        cleanName(origin.firmware)};
  if (!appendImportAudit(row, keptNow, replacedNow, rc)) return fail(rc);
  result.downloadId = downloadId;
  if ((rc = exec(db_, "COMMIT")) != SQLITE_OK) return fail(rc);
  return true;
}

namespace {

std::string utcText(int64_t seconds) {
  const int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
  const int64_t rest = seconds - days * 86400;
  // Civil date from days since 1970 (H. Hinnant's algorithm).
  const int64_t z = days + 719468, era = (z >= 0 ? z : z - 146096) / 146097, doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365,
                doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153, d = doy - (153 * mp + 2) / 5 + 1, m = mp < 10 ? mp + 3 : mp - 9;
  char text[160];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld",
                static_cast<long long>(yoe + era * 400 + (m <= 2)), static_cast<long long>(m),
                static_cast<long long>(d), static_cast<long long>(rest / 3600),
                static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
  return text;
}

}  // namespace

// A reading's time is the one its record holds: a stored time that says otherwise (a history whose
// time column was rewritten) is refused, on every back end, before any caller sees the reading.
bool Store::scan(const Query& q, const std::function<bool(const StoredRecord&)>& visit, std::string& error) {
  std::string altered;
  const auto checked = [&](const StoredRecord& r) {
    int64_t own = 0;
    if (recordTime(r.record, own) && own == r.time) return visit(r);
    altered = "History " + shownLocation(path_) + ": a reading of " + r.logger + " sensor " +
              std::to_string(r.record.sensorSerialNumber) + " is stored at " + utcText(r.time) +
              " but its record holds " +
              (recordTime(r.record, own) ? utcText(own) : std::string("no valid time")) +
              "; the history's times were altered and it is not read";
    return false;
  };
  const bool done = scanStored(q, checked, error);
  if (!altered.empty()) {
    error = altered;
    return false;
  }
  return done;
}

bool Store::scanStored(const Query& q, const std::function<bool(const StoredRecord&)>& visit,
                       std::string& error) {
  if (!ensureOpen(error)) return false;
  if (server_ != nullptr) return server_->scan(q, visit, error);
  std::vector<bool> wanted;
  if (!q.sensors.empty()) {
    wanted.assign(65536, false);
    for (uint16_t sensor : q.sensors) wanted[sensor] = true;
  }
  Statement s;
  int rc;
  if (q.logger.empty()) {
    rc = s.prepare(
        db_,
        "SELECT m.time, m.sensor, m.record, m.checksum_error, m.download, m.from_file, l.serial FROM "
        "measurements m "
        "JOIN loggers l ON l.id = m.logger WHERE m.time BETWEEN ?2 AND ?3 "
        "ORDER BY m.time, l.serial, m.sensor, m.record");
  } else {
    rc = s.prepare(db_,
                   "SELECT m.time, m.sensor, m.record, m.checksum_error, m.download, m.from_file FROM "
                   "measurements m "
                   "JOIN loggers l ON l.id = m.logger WHERE l.serial = ?1 AND m.time BETWEEN ?2 AND ?3 "
                   "ORDER BY m.time, m.sensor, m.record");
    if (rc == SQLITE_OK) s.bind(1, q.logger);
  }
  if (rc != SQLITE_OK) {
    error = failure("cannot read the measurements", rc);
    return false;
  }
  s.bind(2, q.from);
  s.bind(3, q.to);
  sqlite3_stmt* st = s.get();
  StoredRecord out;
  out.logger = q.logger;
  while ((rc = s.step()) == SQLITE_ROW) {
    if (!wanted.empty() && !wanted[static_cast<uint16_t>(sqlite3_column_int(st, 1))]) continue;
    const void* blob = sqlite3_column_blob(st, 2);
    if (blob == nullptr || sqlite3_column_bytes(st, 2) != static_cast<int>(messwert::kRecordSize)) {
      error = failure("a stored record is not 32 bytes", SQLITE_CORRUPT);
      return false;
    }
    out.time = sqlite3_column_int64(st, 0);
    out.record = messwert::fromBytes(static_cast<const uint8_t*>(blob));
    out.checksumError = sqlite3_column_int(st, 3) != 0;
    out.download = sqlite3_column_int64(st, 4);
    out.fromFile = sqlite3_column_int(st, 5) != 0;
    if (q.logger.empty()) {
      const unsigned char* serial = sqlite3_column_text(st, 6);
      out.logger.assign(serial ? reinterpret_cast<const char*>(serial) : "");
    }
    if (!visit(out)) return true;
  }
  if (rc != SQLITE_DONE) {
    error = failure("cannot read the measurements", rc);
    return false;
  }
  return true;
}

bool Store::query(const Query& q, std::vector<StoredRecord>& out, std::string& error) {
  out.clear();
  // Counting first costs a quarter of what growing the vector row by row does on a large range.
  if (q.sensors.empty() && !q.logger.empty() && ensureOpen(error) && db_ != nullptr) {
    Statement count;
    if (count.prepare(db_,
                      "SELECT count(*) FROM measurements m JOIN loggers l ON l.id = m.logger "
                      "WHERE l.serial = ?1 AND m.time BETWEEN ?2 AND ?3") == SQLITE_OK) {
      count.bind(1, q.logger);
      count.bind(2, q.from);
      count.bind(3, q.to);
      if (count.step() == SQLITE_ROW)
        out.reserve(
            static_cast<size_t>(std::clamp<int64_t>(sqlite3_column_int64(count.get(), 0), 0, 1 << 24)));
    }
  }
  return scan(
      q,
      [&](const StoredRecord& r) {
        out.push_back(r);
        return true;
      },
      error);
}

std::vector<std::string> Store::loggers() {
  std::vector<std::string> out;
  lastError_.clear();
  if (!ensureOpen(lastError_)) return out;
  if (server_ != nullptr) {
    if (!server_->loggers(out, lastError_)) out.clear();
    return out;
  }
  const int rc = eachRow(db_, "SELECT serial FROM loggers ORDER BY serial", "", [&](sqlite3_stmt* st) {
    out.push_back(columnText(st, 0));
    return true;
  });
  if (rc != SQLITE_DONE) lastError_ = failure("cannot read the loggers", rc);
  return out;
}

std::vector<uint16_t> Store::sensors(const std::string& logger) {
  std::vector<uint16_t> out;
  lastError_.clear();
  if (!ensureOpen(lastError_)) return out;
  if (server_ != nullptr) {
    if (!server_->sensors(logger, out, lastError_)) out.clear();
    return out;
  }
  const int rc =
      eachRow(db_,
              "SELECT s.sensor FROM sensors s JOIN loggers l ON l.id = s.logger WHERE l.serial = ?1 "
              "ORDER BY s.sensor",
              logger, [&](sqlite3_stmt* st) {
                out.push_back(static_cast<uint16_t>(sqlite3_column_int(st, 0)));
                return true;
              });
  if (rc != SQLITE_DONE) lastError_ = failure("cannot read the sensors", rc);
  return out;
}

std::vector<DownloadRow> Store::downloads(const std::string& logger) {
  std::vector<DownloadRow> out;
  lastError_.clear();
  if (!ensureOpen(lastError_)) return out;
  if (server_ != nullptr) {
    if (!server_->downloads(logger, out, lastError_)) out.clear();
    return out;
  }
  const int rc = eachRow(
      db_,
      "SELECT d.id, d.time, l.serial, d.file, d.records, d.added, d.from_file, d.device, d.differing, "
      "d.host_name, d.user_name, d.firmware FROM downloads d "
      "JOIN loggers l ON l.id = d.logger WHERE ?1 = '' OR l.serial = ?1 ORDER BY d.id",
      logger, [&](sqlite3_stmt* st) {
        out.push_back(DownloadRow{sqlite3_column_int64(st, 0), sqlite3_column_int64(st, 1), columnText(st, 2),
                                  columnText(st, 3), sqlite3_column_int64(st, 4), sqlite3_column_int64(st, 5),
                                  sqlite3_column_int(st, 6) != 0, columnText(st, 7),
                                  sqlite3_column_int64(st, 8), cleanName(columnText(st, 9)),
                                  cleanName(columnText(st, 10)), cleanName(columnText(st, 11))});
        return true;
      });
  if (rc != SQLITE_DONE) lastError_ = failure("cannot read the downloads", rc);
  return out;
}

int64_t Store::largestDownload(const std::string& logger) {
  lastError_.clear();
  if (!ensureOpen(lastError_)) return -1;
  if (server_ != nullptr) return server_->largestDownload(logger, lastError_);
  Statement s;
  int rc = s.prepare(db_,
                     "SELECT coalesce(max(d.records), 0) FROM downloads d JOIN loggers l ON l.id = d.logger "
                     "WHERE l.serial = ?1 AND NOT d.from_file");
  if (rc == SQLITE_OK) {
    s.bind(1, logger);
    rc = s.step();
  }
  if (rc != SQLITE_ROW) {
    lastError_ = failure("cannot read the downloads", rc);
    return -1;
  }
  return sqlite3_column_int64(s.get(), 0);
}

std::string Store::loggerOfDownloadFile(const std::string& file) {
  lastError_.clear();
  if (!ensureOpen(lastError_)) return std::string();
  if (server_ != nullptr) return server_->loggerOfDownloadFile(file, lastError_);
  std::string serial;
  const int rc =
      eachRow(db_,
              "SELECT l.serial FROM downloads d JOIN loggers l ON l.id = d.logger WHERE d.file = ?1 "
              "AND d.from_file = 0 ORDER BY d.id DESC LIMIT 1",
              file, [&](sqlite3_stmt* st) {
                serial = columnText(st, 0);
                return true;
              });
  if (rc != SQLITE_DONE) lastError_ = failure("cannot read the downloads", rc);
  return serial;
}

std::string Store::loggerMatching(const std::vector<messwert_tag>& records,
                                  const std::vector<bool>& checksumError) {
  constexpr size_t kLooked = 8;
  lastError_.clear();
  if (checksumError.size() != records.size() || !ensureOpen(lastError_)) return std::string();
  if (server_ != nullptr) return server_->loggerMatching(records, checksumError, lastError_);
  Statement loggers, at;
  if (loggers.prepare(db_, "SELECT id, serial FROM loggers ORDER BY serial") != SQLITE_OK ||
      at.prepare(db_,
                 "SELECT record, checksum_error FROM measurements WHERE logger = ?1 AND time = ?2 AND "
                 "sensor = ?3 AND from_file = 0") != SQLITE_OK) {
    lastError_ = failure("cannot read the loggers", sqlite3_errcode(db_));
    return std::string();
  }
  std::string best;
  size_t bestMatches = 0;
  while (loggers.step() == SQLITE_ROW) {
    const int64_t id = sqlite3_column_int64(loggers.get(), 0);
    size_t matches = 0, looked = 0;
    for (size_t i = 0; i < records.size() && looked < kLooked; ++i) {
      int64_t time;
      if (!recordTime(records[i], time)) continue;
      ++looked;
      at.bind(1, id);
      at.bind(2, time);
      at.bind(3, records[i].sensorSerialNumber);
      bool same = false;
      messwert_tag kept;
      while (!same && at.step() == SQLITE_ROW)
        same = readRecord(at.get(), 0, kept) &&
               sameLine(kept, sqlite3_column_int(at.get(), 1) != 0, records[i], checksumError[i]);
      at.reset();
      matches += same;
    }
    if (matches > bestMatches) {
      bestMatches = matches;
      const unsigned char* serial = sqlite3_column_text(loggers.get(), 1);
      best = serial ? reinterpret_cast<const char*>(serial) : "";
    }
  }
  return best;
}

bool Store::copyDownload(const DownloadRow& download, const std::vector<StoredRecord>& records,
                         int64_t& added, std::string& error) {
  added = 0;
  if (!validLogger(download.logger, error) || !ensureOpen(error)) return false;
  if (server_ != nullptr) return server_->copyDownload(download, records, added, error);
  Statements& s = *statements_;
  Statement found;
  auto fail = [&](int rc) {
    error = failure("the download was not copied", rc);
    added = 0;
    for (Statement* st : {&s.insert, &s.logger, &s.loggerId, &s.sensor, &s.download, &s.counts, &found})
      st->reset();
    exec(db_, "ROLLBACK");
    return false;
  };
  int rc = exec(db_, "BEGIN IMMEDIATE");
  if (rc != SQLITE_OK) return fail(rc);
  s.logger.bind(1, download.logger);
  if ((rc = s.logger.run()) != SQLITE_OK) return fail(rc);
  s.loggerId.bind(1, download.logger);
  if ((rc = s.loggerId.step()) != SQLITE_ROW) return fail(rc == SQLITE_DONE ? SQLITE_CORRUPT : rc);
  const int64_t loggerId = sqlite3_column_int64(s.loggerId.get(), 0);
  s.loggerId.reset();
  // A download copied before keeps its one row.
  if ((rc = found.prepare(
           db_,
           "SELECT id FROM downloads WHERE logger = ?1 AND time = ?2 AND file = ?3 AND device = ?4 "
           "AND records = ?5 AND added = ?6 AND from_file = ?7 AND differing = ?8 ORDER BY id "
           "LIMIT 1")) != SQLITE_OK)
    return fail(rc);
  found.bind(1, loggerId);
  found.bind(2, download.when);
  found.bind(3, download.file);
  found.bind(4, download.device);
  found.bind(5, download.records);
  found.bind(6, download.added);
  found.bind(7, download.fromFile ? 1 : 0);
  found.bind(8, download.differing);
  int64_t downloadId = 0;
  bool copiedBefore = false;
  if ((rc = found.step()) == SQLITE_ROW) {
    downloadId = sqlite3_column_int64(found.get(), 0);
    copiedBefore = true;
  } else if (rc == SQLITE_DONE) {
    s.download.bind(1, download.when);
    s.download.bind(2, loggerId);
    s.download.bind(3, download.file);
    s.download.bind(4, download.records);
    s.download.bind(5, download.added);
    s.download.bind(6, download.fromFile ? 1 : 0);
    s.download.bind(7, download.device);
    s.download.bind(8, cleanName(download.host));
    s.download.bind(9, cleanName(download.user));
    s.download.bind(10, cleanName(download.firmware));
    if ((rc = s.download.run()) != SQLITE_OK) return fail(rc);
    downloadId = sqlite3_last_insert_rowid(db_);
    s.counts.bind(1, downloadId);
    s.counts.bind(2, download.records);
    s.counts.bind(3, download.added);
    s.counts.bind(4, download.differing);
    int64_t firstTime = INT64_MAX, lastTime = INT64_MIN;
    for (const StoredRecord& r : records)
      firstTime = std::min(firstTime, r.time), lastTime = std::max(lastTime, r.time);
    if (!records.empty()) {
      s.counts.bind(5, firstTime);
      s.counts.bind(6, lastTime);
    } else {
      sqlite3_bind_null(s.counts.get(), 5);
      sqlite3_bind_null(s.counts.get(), 6);
    }
    if ((rc = s.counts.run()) != SQLITE_OK) return fail(rc);
  } else {
    return fail(rc);
  }
  std::set<std::pair<uint16_t, int64_t>> hours;
  found.reset();
  std::vector<bool> sensorSeen(65536, false);
  std::vector<StoredRecord> keptNow;
  for (const StoredRecord& r : records) {
    uint8_t bytes[messwert::kRecordSize];
    messwert::toBytes(r.record, bytes);
    s.insert.bind(1, loggerId);
    s.insert.bind(2, r.time);
    s.insert.bind(3, r.record.sensorSerialNumber);
    s.insert.bind(4, r.record.humidityRaw);
    s.insert.bind(5, r.record.temperatureRaw);
    sqlite3_bind_blob(s.insert.get(), 6, bytes, sizeof bytes, SQLITE_STATIC);
    s.insert.bind(7, r.checksumError ? 1 : 0);
    s.insert.bind(8, r.fromFile ? 1 : 0);
    s.insert.bind(9, downloadId);
    bindValue(s.insert.get(), 10, r.record.humidity);
    bindValue(s.insert.get(), 11, r.record.temperature);
    bindValue(s.insert.get(), 12, r.record.ambientTemperature);
    if ((rc = s.insert.run()) != SQLITE_OK) return fail(rc);
    if (sqlite3_changes(db_) == 1) {
      keptNow.push_back(r);
      keptNow.back().download = downloadId;
    }
    added += sqlite3_changes(db_);
    hours.emplace(r.record.sensorSerialNumber, hourOf(r.time));
    if (!sensorSeen[r.record.sensorSerialNumber]) {
      sensorSeen[r.record.sensorSerialNumber] = true;
      s.sensor.bind(1, loggerId);
      s.sensor.bind(2, r.record.sensorSerialNumber);
      if ((rc = s.sensor.run()) != SQLITE_OK) return fail(rc);
    }
  }
  if (!refreshReadingHours(loggerId, hours, rc)) return fail(rc);
  // The copy is an import here, with the records it kept; one copied before that gained records now
  // (its records had gone from here) is entered again with all its records.
  if (copiedBefore && !keptNow.empty()) {
    keptNow.clear();
    std::string unread;
    Query q;
    q.logger = download.logger;
    if (!scan(
            q,
            [&](const StoredRecord& r) {
              if (r.download == downloadId) keptNow.push_back(r);
              return true;
            },
            unread))
      return fail(SQLITE_IOERR);
  }
  if (!copiedBefore || !keptNow.empty()) {
    DownloadRow row = download;
    row.id = downloadId;
    row.host = cleanName(download.host);
    row.user = cleanName(download.user);
    row.firmware = cleanName(download.firmware);
    std::vector<StoredRecord> none;
    if (!appendImportAudit(row, keptNow, none, rc)) return fail(rc);
  }
  if ((rc = exec(db_, "COMMIT")) != SQLITE_OK) return fail(rc);
  return true;
}

// ---- Limits, clock zones and where downloads were made ----

const char* clockZoneKindName(ClockZoneKind kind) {
  return kind == ClockZoneKind::setTime ? "set-time" : "download";
}

std::string limitsText(const Limits& limits) {
  // A quantity without a bound has no delay or rule that means anything.
  auto quantity = [](const char* name, const QuantityLimits& q) {
    if (!q.limited()) return std::string(name) + " not limited";
    return std::string(name) + " " + formatRange(q.lower, q.upper) + " " + formatDelay(q.delay) + " " +
           ruleName(q.rule);
  };
  return quantity("temperature", limits.temperature) + "; " + quantity("humidity", limits.humidity);
}

Computer thisComputer() {
  Computer out;
#ifdef _WIN32
  const char* host = std::getenv("COMPUTERNAME");
  const char* user = std::getenv("USERNAME");
  out.host = host && std::strlen(host) <= kMaxNameLength ? host : "";
  out.user = user && std::strlen(user) <= kMaxNameLength ? user : "";
#else
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) == 0) out.host = host;
  struct passwd entry {};
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_name != nullptr)
    out.user = found->pw_name;
  if (out.user.empty()) {
    const char* user = std::getenv("USER");
    out.user = user && std::strlen(user) <= kMaxNameLength ? user : std::to_string(::geteuid());
  }
#endif
  out.host = cleanName(out.host);
  out.user = cleanName(out.user);
  return out;
}

namespace {

// A zone's name as the TZ variable or a path into the zone database gives it: "Europe/Berlin" from
// ":Europe/Berlin" or "/usr/share/zoneinfo/Europe/Berlin"; empty when it is not a usable name.
std::string zoneName(std::string text) {
  if (!text.empty() && text.front() == ':') text.erase(0, 1);
  const size_t at = text.find("zoneinfo/");
  if (at != std::string::npos) text.erase(0, at + 9);
  if (text.empty() || text.size() > kMaxNameLength) return std::string();
  for (unsigned char c : text)
    if (c <= 0x20 || c >= 0x7F) return std::string();
  return text;
}

}  // namespace

Zone localZone(int64_t utc) {
  Zone zone;
  const std::time_t t = static_cast<std::time_t>(utc);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &t);
  long seconds = 0;
  _get_timezone(&seconds);
  zone.offset = static_cast<int>(-seconds + (local.tm_isdst > 0 ? 3600 : 0));
  const char* tz = std::getenv("TZ");
  zone.name = tz ? zoneName(tz) : std::string();
#else
  if (::localtime_r(&t, &local) != nullptr) zone.offset = static_cast<int>(local.tm_gmtoff);
  if (zone.offset < -kMaxZoneOffset || zone.offset > kMaxZoneOffset) zone.offset = 0;
  const char* tz = std::getenv("TZ");
  // A file of the zone database names the zone by its place there; /etc/localtime is a link to one.
  std::string file = "/etc/localtime";
  if (tz != nullptr) {
    zone.name = zoneName(tz);
    if (tz[0] == '\0') zone.name = "UTC";  // an empty TZ is UTC
    file = zone.name.size() > 1 && zone.name[0] == '/' ? zone.name : std::string();
    if (!file.empty()) zone.name.clear();
  }
  if (!file.empty()) {
    char target[512];
    const ssize_t n = ::readlink(file.c_str(), target, sizeof target - 1);
    if (n > 0) zone.name = zoneName(std::string(target, static_cast<size_t>(n)));
  }
  if (zone.name.empty() && local.tm_zone != nullptr) zone.name = zoneName(local.tm_zone);
#endif
  if (zone.name.empty()) zone.name = zone.offset == 0 ? "UTC" : "local";
  return zone;
}

ClockOffsets::ClockOffsets(const std::vector<ClockZoneRow>& rows, const Zone& fallback) : only_(fallback) {
  for (const ClockZoneRow& row : rows) {
    if (row.kind == ClockZoneKind::setTime)
      setTimes_.push_back(row);
    else
      only_ = row.zone;
  }
  recorded_ = !rows.empty();
}

ClockOffsets clockOffsets(const std::vector<ClockZoneRow>& rows, int64_t now) {
  return ClockOffsets(rows, localZone(now));
}

const Zone& ClockOffsets::at(int64_t clockTime) const {
  if (setTimes_.empty()) return only_;
  // A handful of rows: newest first is shortest for the readings of a download.
  for (auto it = setTimes_.rbegin(); it != setTimes_.rend(); ++it)
    if (clockTime >= it->utc + it->zone.offset) return it->zone;
  return setTimes_.front().zone;
}

int64_t ClockOffsets::clockTime(int64_t utc) const {
  if (setTimes_.empty()) return utc + only_.offset;
  for (auto it = setTimes_.rbegin(); it != setTimes_.rend(); ++it)
    if (utc >= it->utc) return utc + it->zone.offset;
  return utc + setTimes_.front().zone.offset;
}

// The row id of a logger, made when `create` and it has none yet (then inside the caller's write
// transaction); id 0 when it has none.
bool Store::loggerId(const std::string& logger, bool create, int64_t& id, int& code) {
  id = 0;
  Statement s;
  if (create) {
    if ((code = s.prepare(db_, "INSERT INTO loggers(serial) VALUES(?1) ON CONFLICT DO NOTHING")) != SQLITE_OK)
      return false;
    s.bind(1, logger);
    if ((code = s.run()) != SQLITE_OK) return false;
  }
  if ((code = s.prepare(db_, "SELECT id FROM loggers WHERE serial = ?1")) != SQLITE_OK) return false;
  s.bind(1, logger);
  code = s.step();
  if (code == SQLITE_ROW) id = sqlite3_column_int64(s.get(), 0);
  if (code != SQLITE_ROW && code != SQLITE_DONE) return false;
  code = SQLITE_OK;
  return true;
}

namespace {

constexpr char kLimitsColumns[] =
    "temperature_lower, temperature_upper, temperature_delay, temperature_rule, humidity_lower, "
    "humidity_upper, humidity_delay, humidity_rule";

// One quantity's limits from four columns (lower, upper, delay, rule) of a row another program may
// have written: a bound is NULL or a number, the delay a whole number, the rule one of the names.
bool readQuantity(sqlite3_stmt* st, int first, QuantityLimits& out, std::string& why) {
  for (int i = 0; i < 2; ++i) {
    const int type = sqlite3_column_type(st, first + i);
    std::optional<double>& bound = i == 0 ? out.lower : out.upper;
    if (type == SQLITE_NULL)
      bound.reset();
    else if (type == SQLITE_FLOAT || type == SQLITE_INTEGER)
      bound = sqlite3_column_double(st, first + i);
    else {
      why = "a limit is not a number";
      return false;
    }
  }
  if (sqlite3_column_type(st, first + 2) != SQLITE_INTEGER) {
    why = "the alarm delay is not a whole number";
    return false;
  }
  out.delay = sqlite3_column_int64(st, first + 2);
  return parseRule(columnText(st, first + 3), out.rule, why) && out.valid(why);
}

void bindQuantity(sqlite3_stmt* st, int first, const QuantityLimits& q) {
  for (int i = 0; i < 2; ++i) {
    const std::optional<double>& bound = i == 0 ? q.lower : q.upper;
    if (bound)
      sqlite3_bind_double(st, first + i, *bound);
    else
      sqlite3_bind_null(st, first + i);
  }
  sqlite3_bind_int64(st, first + 2, q.delay);
  sqlite3_bind_text(st, first + 3, ruleName(q.rule), -1, SQLITE_STATIC);
}

// At most 256 bytes of a text, without control characters.
std::string oneLine(const std::string& text) {
  std::string out;
  for (unsigned char c : text.substr(0, 256))
    if (c >= 0x20 && c != 0x7F) out += static_cast<char>(c);
  return out;
}

std::string sensorText(int64_t sensor) {
  return sensor < 0 ? std::string("(all sensors)") : "sensor " + std::to_string(sensor);
}

}  // namespace

// One row of limits (sensor -1: the logger's): `out` empty when there is none. A row that is not
// valid leaves `valid` false with a message naming the logger and the sensor; false only when the
// database cannot be read.
bool Store::readLimitsRow(const std::string& logger, int64_t id, int64_t sensor, std::optional<Limits>& out,
                          bool& valid, std::string& error) {
  out.reset();
  valid = true;
  Statement s;
  int rc = s.prepare(
      db_,
      (std::string("SELECT ") + kLimitsColumns + " FROM limits WHERE logger = ?1 AND sensor = ?2").c_str());
  if (rc == SQLITE_OK) {
    s.bind(1, id);
    s.bind(2, sensor);
    rc = s.step();
  }
  if (rc == SQLITE_DONE) return true;
  if (rc != SQLITE_ROW) {
    error = failure("cannot read the limits", rc);
    return false;
  }
  Limits limits;
  std::string why;
  if (!readQuantity(s.get(), 0, limits.temperature, why) || !readQuantity(s.get(), 4, limits.humidity, why)) {
    error = "History database " + path_ + ": the limits kept for " + logger + " " + sensorText(sensor) +
            " are not valid (" + why + ")";
    valid = false;
    return true;
  }
  out = limits;
  return true;
}

bool Store::writeLimits(const std::string& logger, std::optional<uint16_t> sensor, const Limits* limits,
                        const Computer& who, const std::string& givenReason, std::string& error) {
  if (!validLogger(logger, error)) return false;
  std::string why, reason;
  if (limits && (!limits->temperature.valid(why) || !limits->humidity.valid(why))) {
    error = "Limits not stored: " + why;
    return false;
  }
  if (!noteText(givenReason, kMaxNoteLength, "the reason", reason, why)) {
    error = "Limits not stored: " + why;
    return false;
  }
  if (db_ != nullptr && fileId(path_) != opened_) close();
  if (!ensureOpen(error)) return false;
  const int64_t row = sensor ? static_cast<int64_t>(*sensor) : -1;
  if (server_ != nullptr)
    return server_->writeLimits(logger, row, limits, Computer{cleanName(who.host), cleanName(who.user)},
                                reason, error);
  int rc = exec(db_, "BEGIN IMMEDIATE");
  auto fail = [&](int code) {
    error = failure("the limits were not stored", code);
    exec(db_, "ROLLBACK");
    return false;
  };
  if (rc != SQLITE_OK) return fail(rc);
  int64_t id = 0;
  if (!loggerId(logger, limits != nullptr, id, rc)) return fail(rc);
  if (id == 0) {  // nothing to clear for a logger never seen
    exec(db_, "ROLLBACK");
    return true;
  }
  // What was set before, in words; a row another program spoiled is replaced and its change recorded.
  std::optional<Limits> before;
  std::string beforeText, unreadable;
  bool valid = true;
  if (!readLimitsRow(logger, id, row, before, valid, unreadable)) {
    exec(db_, "ROLLBACK");
    error = unreadable;
    return false;
  }
  if (!valid)
    beforeText = "(not valid)";
  else if (before)
    beforeText = limitsText(*before);
  const std::string afterText = limits ? limitsText(*limits) : std::string();
  // The text leaves out the delay and rule of a quantity without bounds: those count as a change too.
  if (beforeText == afterText && (!limits || (before && *before == *limits))) {  // nothing to record
    exec(db_, "ROLLBACK");
    return true;
  }
  // A row another program spoiled is no limits anyone set: replacing it needs no reason.
  if (valid && before && reason.empty()) {
    exec(db_, "ROLLBACK");
    error = limitsNeedReason(logger, row);
    return false;
  }
  Statement s;
  if (limits) {
    rc = s.prepare(db_, (std::string("INSERT OR REPLACE INTO limits(logger, sensor, ") + kLimitsColumns +
                         ") VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)")
                            .c_str());
    if (rc == SQLITE_OK) {
      bindQuantity(s.get(), 3, limits->temperature);
      bindQuantity(s.get(), 7, limits->humidity);
    }
  } else {
    rc = s.prepare(db_, "DELETE FROM limits WHERE logger = ?1 AND sensor = ?2");
  }
  if (rc != SQLITE_OK) return fail(rc);
  s.bind(1, id);
  s.bind(2, row);
  if ((rc = s.run()) != SQLITE_OK) return fail(rc);
  Statement change;
  if ((rc = change.prepare(db_,
                           "INSERT INTO limit_changes(logger, sensor, time, host_name, user_name, old_value, "
                           "new_value, reason) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)")) != SQLITE_OK)
    return fail(rc);
  const int64_t changeTime = static_cast<int64_t>(std::time(nullptr));
  change.bind(1, id);
  change.bind(2, row);
  change.bind(3, changeTime);
  change.bind(4, cleanName(who.host));
  change.bind(5, cleanName(who.user));
  change.bind(6, beforeText);
  change.bind(7, afterText);
  change.bind(8, reason);
  LimitChange recorded{
      changeTime,         sensor, Computer{cleanName(who.host), cleanName(who.user)}, oneLine(beforeText),
      oneLine(afterText), reason};
  if ((rc = change.run()) != SQLITE_OK ||
      !appendAuditLocked(kAuditLimits, logger, 0, limitChangeDetail(recorded), rc) ||
      (rc = exec(db_, "COMMIT")) != SQLITE_OK)
    return fail(rc);
  return true;
}

bool Store::setLimits(const std::string& logger, std::optional<uint16_t> sensor, const Limits& limits,
                      const Computer& who, std::string& error, const std::string& reason) {
  return writeLimits(logger, sensor, &limits, who, reason, error);
}

bool Store::clearLimits(const std::string& logger, std::optional<uint16_t> sensor, const Computer& who,
                        std::string& error, const std::string& reason) {
  return writeLimits(logger, sensor, nullptr, who, reason, error);
}

bool Store::effectiveLimits(const std::string& logger, std::optional<uint16_t> sensor, Limits& out, bool& set,
                            std::string& error) {
  set = false;
  if (!ensureOpen(error)) return false;
  if (server_ != nullptr) return server_->effectiveLimits(logger, sensor, out, set, error);
  int rc;
  int64_t id = 0;
  if (!loggerId(logger, false, id, rc)) {
    error = failure("cannot read the limits", rc);
    return false;
  }
  if (id == 0) return true;
  std::optional<Limits> found;
  bool valid = true;
  if (sensor && (!readLimitsRow(logger, id, *sensor, found, valid, error) || !valid)) return false;
  if (!found && (!readLimitsRow(logger, id, -1, found, valid, error) || !valid)) return false;
  if (found) {
    out = *found;
    set = true;
  }
  return true;
}

bool Store::limitRows(const std::string& logger, std::vector<LimitsRow>& out, std::string& error) {
  out.clear();
  if (!ensureOpen(error)) return false;
  if (server_ != nullptr) return server_->limitRows(logger, out, error);
  const std::string sql =
      std::string("SELECT m.sensor, ") + kLimitsColumns +
      " FROM limits m JOIN loggers l ON l.id = m.logger WHERE l.serial = ?1 ORDER BY m.sensor";
  const int rc = eachRow(db_, sql.c_str(), logger, [&](sqlite3_stmt* st) {
    const int64_t sensor = sqlite3_column_int64(st, 0);
    LimitsRow row;
    std::string why;
    if (sensor < -1 || sensor > 0xFFFF) {
      why = "no such sensor number";
    } else {
      if (sensor >= 0) row.sensor = static_cast<uint16_t>(sensor);
      if (readQuantity(st, 1, row.limits.temperature, why) && readQuantity(st, 5, row.limits.humidity, why))
        why.clear();
    }
    if (!why.empty()) {
      out.clear();
      error = "History database " + path_ + ": the limits kept for " + logger + " " + sensorText(sensor) +
              " are not valid (" + why + ")";
      return false;
    }
    out.push_back(row);
    return true;
  });
  if (rc == kRowsStopped) return false;
  if (rc != SQLITE_DONE) {
    out.clear();
    error = failure("cannot read the limits", rc);
    return false;
  }
  return true;
}

bool Store::limitChanges(const std::string& logger, std::vector<LimitChange>& out, std::string& error) {
  out.clear();
  if (!ensureOpen(error)) return false;
  if (server_ != nullptr) {
    if (!server_->limitChanges(logger, out, error)) return false;
    // Shown as one line whatever another program wrote there.
    for (LimitChange& change : out) {
      change.who = Computer{cleanName(change.who.host), cleanName(change.who.user)};
      change.before = oneLine(change.before);
      change.after = oneLine(change.after);
      change.reason = shownNote(change.reason, kMaxNoteLength);
    }
    return true;
  }
  const int rc =
      eachRow(db_,
              "SELECT c.time, c.sensor, c.host_name, c.user_name, c.old_value, c.new_value, c.reason FROM "
              "limit_changes c JOIN loggers l ON l.id = c.logger WHERE l.serial = ?1 ORDER BY c.id",
              logger, [&](sqlite3_stmt* st) {
                LimitChange change;
                change.utc = sqlite3_column_int64(st, 0);
                const int64_t sensor = sqlite3_column_int64(st, 1);
                if (sensor >= 0 && sensor <= 0xFFFF) change.sensor = static_cast<uint16_t>(sensor);
                change.who = Computer{cleanName(columnText(st, 2)), cleanName(columnText(st, 3))};
                // Shown as one line whatever another program wrote there.
                change.before = oneLine(columnText(st, 4));
                change.after = oneLine(columnText(st, 5));
                change.reason = shownNote(columnText(st, 6), kMaxNoteLength);
                out.push_back(change);
                return true;
              });
  if (rc != SQLITE_DONE) {
    out.clear();
    error = failure("cannot read the changes of limits", rc);
    return false;
  }
  return true;
}

bool Store::copyLimitChanges(const std::string& logger, const std::vector<LimitChange>& changes,
                             const std::vector<LimitsRow>& rows, int64_t& added, std::string& error) {
  added = 0;
  if (!validLogger(logger, error)) return false;
  std::string why;
  for (const LimitsRow& row : rows)
    if (!row.limits.temperature.valid(why) || !row.limits.humidity.valid(why)) {
      error = "Limits of " + logger + " not copied: " + why;
      return false;
    }
  std::vector<LimitChange> clean = changes;
  for (LimitChange& change : clean) {
    change.who = Computer{cleanName(change.who.host), cleanName(change.who.user)};
    change.before = oneLine(change.before);
    change.after = oneLine(change.after);
    change.reason = shownNote(change.reason, kMaxNoteLength);
  }
  if (clean.empty()) return true;
  if (db_ != nullptr && fileId(path_) != opened_) close();
  if (!ensureOpen(error)) return false;
  if (server_ != nullptr) return server_->copyLimitChanges(logger, clean, rows, added, error);
  std::vector<LimitChange> have;
  int rc = exec(db_, "BEGIN IMMEDIATE");
  auto fail = [&](int code) {
    error = failure("the limits were not copied", code);
    exec(db_, "ROLLBACK");
    added = 0;
    return false;
  };
  if (rc != SQLITE_OK) return fail(rc);
  int64_t id = 0;
  if (!loggerId(logger, true, id, rc)) return fail(rc);
  if (!limitChanges(logger, have, error)) {
    exec(db_, "ROLLBACK");
    return false;
  }
  const std::map<int64_t, int64_t> newestHere = newestChanges(have);
  for (const LimitChange& change : clean) {
    if (std::find(have.begin(), have.end(), change) != have.end()) continue;
    Statement s;
    if ((rc = s.prepare(db_,
                        "INSERT INTO limit_changes(logger, sensor, time, host_name, user_name, old_value, "
                        "new_value, reason) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)")) != SQLITE_OK)
      return fail(rc);
    s.bind(1, id);
    s.bind(2, change.sensor ? static_cast<int64_t>(*change.sensor) : -1);
    s.bind(3, change.utc);
    s.bind(4, change.who.host);
    s.bind(5, change.who.user);
    s.bind(6, change.before);
    s.bind(7, change.after);
    s.bind(8, change.reason);
    if ((rc = s.run()) != SQLITE_OK ||
        !appendAuditLocked(kAuditLimits, logger, 0, limitChangeDetail(change), rc))
      return fail(rc);
    have.push_back(change);
    ++added;
  }
  // A sensor whose newest change came from there takes the limits set there.
  for (const auto& [sensor, utc] : newestChanges(clean)) {
    const auto here = newestHere.find(sensor);
    if (here != newestHere.end() && here->second >= utc) continue;
    const LimitsRow* there = nullptr;
    for (const LimitsRow& row : rows)
      if ((row.sensor ? static_cast<int64_t>(*row.sensor) : -1) == sensor) there = &row;
    Statement s;
    if (there) {
      rc = s.prepare(db_, (std::string("INSERT OR REPLACE INTO limits(logger, sensor, ") + kLimitsColumns +
                           ") VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)")
                              .c_str());
      if (rc == SQLITE_OK) {
        bindQuantity(s.get(), 3, there->limits.temperature);
        bindQuantity(s.get(), 7, there->limits.humidity);
      }
    } else {
      rc = s.prepare(db_, "DELETE FROM limits WHERE logger = ?1 AND sensor = ?2");
    }
    if (rc != SQLITE_OK) return fail(rc);
    s.bind(1, id);
    s.bind(2, sensor);
    if ((rc = s.run()) != SQLITE_OK) return fail(rc);
  }
  if ((rc = exec(db_, "COMMIT")) != SQLITE_OK) return fail(rc);
  return true;
}

bool Store::firmwareSeen(const std::string& logger, std::vector<std::pair<int64_t, std::string>>& out,
                         std::string& error) {
  out.clear();
  if (!ensureOpen(error)) return false;
  if (server_ != nullptr) {
    if (!server_->firmwareSeen(logger, out, error)) return false;
  } else {
    const int rc = eachRow(db_,
                           "SELECT f.time, f.version FROM firmware_seen f JOIN loggers l ON l.id = f.logger "
                           "WHERE l.serial = ?1 ORDER BY f.id",
                           logger, [&](sqlite3_stmt* st) {
                             out.emplace_back(sqlite3_column_int64(st, 0), columnText(st, 1));
                             return true;
                           });
    if (rc != SQLITE_DONE) {
      out.clear();
      error = failure("cannot read the firmware versions", rc);
      return false;
    }
  }
  for (auto& seen : out) seen.second = cleanName(seen.second);
  return true;
}

bool Store::insertClockZone(int64_t id, int64_t utc, const Zone& zone, ClockZoneKind kind, int& code) {
  Statement s;
  if ((code = s.prepare(db_,
                        "INSERT INTO clock_zones(logger, time, zone, utc_offset, kind) "
                        "VALUES(?1, ?2, ?3, ?4, ?5)")) != SQLITE_OK)
    return false;
  s.bind(1, id);
  s.bind(2, utc);
  s.bind(3, zone.name);
  s.bind(4, static_cast<int64_t>(zone.offset));
  s.bind(5, std::string(clockZoneKindName(kind)));
  return (code = s.run()) == SQLITE_OK &&
         appendAuditLocked(kAuditClockZone, id, 0, clockZoneDetail(ClockZoneRow{utc, zone, kind}), code);
}

bool Store::appendImportAudit(const DownloadRow& row, std::vector<StoredRecord>& kept,
                              std::vector<StoredRecord>& replaced, int& code) {
  std::sort(kept.begin(), kept.end(), recordOrder);
  std::sort(replaced.begin(), replaced.end(), recordOrder);
  RecordSetDigest keptDigest, replacedDigest;
  for (const StoredRecord& r : kept) keptDigest.add(r);
  for (const StoredRecord& r : replaced) replacedDigest.add(r);
  return appendAuditLocked(kAuditImport, row.logger, row.id,
                           importDetail(row, keptDigest.summary(), replacedDigest.summary()), code);
}

bool Store::recordClockZone(const std::string& logger, int64_t utc, const Zone& zone, ClockZoneKind kind,
                            std::string& error) {
  if (!validLogger(logger, error) || !validZone(zone, error)) return false;
  if (server_ != nullptr || isServerLocation(path_))
    return ensureOpen(error) && server_->recordClockZone(logger, utc, zone, kind, error);
  if (db_ != nullptr && fileId(path_) != opened_) close();
  if (!ensureOpen(error)) return false;
  int rc = exec(db_, "BEGIN IMMEDIATE");
  int64_t id = 0;
  if (rc != SQLITE_OK || !loggerId(logger, true, id, rc) || !insertClockZone(id, utc, zone, kind, rc) ||
      (rc = exec(db_, "COMMIT")) != SQLITE_OK) {
    error = failure("the clock's zone was not recorded", rc);
    exec(db_, "ROLLBACK");
    return false;
  }
  return true;
}

bool Store::clockZones(const std::string& logger, std::vector<ClockZoneRow>& out, std::string& error) {
  out.clear();
  if (!ensureOpen(error)) return false;
  if (server_ != nullptr) {
    // Rows another program wrote are checked as the file's are.
    std::vector<Backend::ZoneRow> rows;
    if (!server_->clockZones(logger, rows, error)) return false;
    for (const Backend::ZoneRow& raw : rows) {
      ClockZoneRow row;
      row.utc = raw.utc;
      row.zone.name = raw.zone;
      row.zone.offset = static_cast<int>(std::clamp<int64_t>(raw.offset, -kMaxZoneOffset, kMaxZoneOffset));
      std::string why;
      if (raw.offset < -kMaxZoneOffset || raw.offset > kMaxZoneOffset) why = "the UTC offset is out of range";
      if (why.empty() && raw.kind != clockZoneKindName(ClockZoneKind::setTime) &&
          raw.kind != clockZoneKindName(ClockZoneKind::download))
        why = "unknown kind";
      if (why.empty()) validZone(row.zone, why);
      if (!why.empty()) {
        out.clear();
        error =
            "History database " + path_ + ": a clock zone kept for " + logger + " is not valid (" + why + ")";
        return false;
      }
      row.kind = raw.kind == clockZoneKindName(ClockZoneKind::setTime) ? ClockZoneKind::setTime
                                                                       : ClockZoneKind::download;
      out.push_back(row);
    }
    return true;
  }
  const int rc = eachRow(
      db_,
      "SELECT z.time, z.zone, z.utc_offset, z.kind FROM clock_zones z JOIN loggers l ON "
      "l.id = z.logger WHERE l.serial = ?1 ORDER BY z.id",
      logger, [&](sqlite3_stmt* st) {
        ClockZoneRow row;
        row.utc = sqlite3_column_int64(st, 0);
        row.zone.name = columnText(st, 1);
        const int64_t offset = sqlite3_column_int64(st, 2);
        const std::string kind = columnText(st, 3);
        std::string why;
        if (sqlite3_column_type(st, 2) != SQLITE_INTEGER || offset < -kMaxZoneOffset ||
            offset > kMaxZoneOffset)
          why = "the UTC offset is out of range";
        row.zone.offset = static_cast<int>(std::clamp<int64_t>(offset, -kMaxZoneOffset, kMaxZoneOffset));
        if (why.empty() && kind != clockZoneKindName(ClockZoneKind::setTime) &&
            kind != clockZoneKindName(ClockZoneKind::download))
          why = "unknown kind";
        if (why.empty()) validZone(row.zone, why);
        if (!why.empty()) {
          out.clear();
          error = "History database " + path_ + ": a clock zone kept for " + logger + " is not valid (" +
                  why + ")";
          return false;
        }
        row.kind = kind == clockZoneKindName(ClockZoneKind::setTime) ? ClockZoneKind::setTime
                                                                     : ClockZoneKind::download;
        out.push_back(row);
        return true;
      });
  if (rc == kRowsStopped) return false;
  if (rc != SQLITE_DONE) {
    out.clear();
    error = failure("cannot read the clock zones", rc);
    return false;
  }
  return true;
}

bool Store::clockZone(const std::string& logger, ClockZoneRow& out, bool& found, std::string& error) {
  found = false;
  std::vector<ClockZoneRow> rows;
  if (!clockZones(logger, rows, error)) return false;
  for (auto kind : {ClockZoneKind::setTime, ClockZoneKind::download}) {
    for (auto it = rows.rbegin(); it != rows.rend() && !found; ++it)
      if (it->kind == kind) {
        out = *it;
        found = true;
      }
  }
  return true;
}

bool Store::recordFirmware(const std::string& logger, int64_t utc, const std::string& version,
                           std::string& error) {
  if (!validLogger(logger, error)) return false;
  if (cleanName(version).empty()) {
    error = "No firmware version to record";
    return false;
  }
  if (server_ != nullptr || isServerLocation(path_))
    return ensureOpen(error) && server_->recordFirmware(logger, utc, cleanName(version), error);
  if (db_ != nullptr && fileId(path_) != opened_) close();
  if (!ensureOpen(error)) return false;
  int rc = exec(db_, "BEGIN IMMEDIATE");
  int64_t id = 0;
  Statement s;
  if (rc == SQLITE_OK && loggerId(logger, true, id, rc) &&
      (rc = s.prepare(db_, "INSERT INTO firmware_seen(logger, time, version) VALUES(?1, ?2, ?3)")) ==
          SQLITE_OK) {
    s.bind(1, id);
    s.bind(2, utc);
    s.bind(3, cleanName(version));
    if ((rc = s.run()) == SQLITE_OK &&
        appendAuditLocked(kAuditFirmware, logger, 0, firmwareDetail(utc, cleanName(version)), rc))
      rc = exec(db_, "COMMIT");
  }
  if (rc != SQLITE_OK) {
    error = failure("the firmware version was not recorded", rc);
    exec(db_, "ROLLBACK");
    return false;
  }
  return true;
}

std::string Store::firmwareLastSeen(const std::string& logger) {
  lastError_.clear();
  if (!ensureOpen(lastError_)) return std::string();
  if (server_ != nullptr) {
    std::string version;
    server_->firmwareLastSeen(logger, version, lastError_);
    return cleanName(version);
  }
  std::string version;
  const int rc =
      eachRow(db_,
              "SELECT version FROM (SELECT d.time AS time, d.id AS id, 1 AS download, d.firmware AS "
              "version FROM downloads d JOIN loggers l ON l.id = d.logger WHERE l.serial = ?1 AND "
              "d.firmware <> '' UNION ALL SELECT f.time, f.id, 0, f.version FROM firmware_seen f JOIN "
              "loggers l ON l.id = f.logger WHERE l.serial = ?1) ORDER BY time DESC, download DESC, "
              "id DESC LIMIT 1",
              logger, [&](sqlite3_stmt* st) {
                version = columnText(st, 0);
                return true;
              });
  if (rc != SQLITE_DONE) lastError_ = failure("cannot read the downloads", rc);
  return cleanName(version);
}

}  // namespace history
