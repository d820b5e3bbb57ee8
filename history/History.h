// The measurement history: every downloaded or opened record of every logger, kept once in a local
// SQLite database or in a PostgreSQL database that several PCs share, the reader of the CSV files Tarnwick
// writes, and statistics over a set of records. No Qt here, so the command-line tool uses the same code as
// the window.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "data/Messwert.h"
#include "data/RegionalFormat.h"
#include "history/Limits.h"

struct sqlite3;

namespace history {

struct StoredRecord {
  std::string logger;   // logger serial as reported, e.g. "VLM12345"
  messwert_tag record;  // as downloaded (tick and reserved bytes zero when it came from a CSV file)
  int64_t time;         // seconds since 1970 of the record's calendar time, taken as UTC (no zone known)
  bool checksumError;
  int64_t download = 0;   // the import (DownloadRow::id) the record is kept from
  bool fromFile = false;  // read from a CSV file, not downloaded from the logger
};

struct ImportResult {
  int64_t records = 0;  // records with a valid time stamp, as many as the CSV file has lines
  int64_t added = 0;    // of those, the ones the history did not have yet
  // File records refused: the logger's download has another record there, or covers their time, or
  // their values disagree with their counts (ImportRules.h); the two last also counted on their own.
  int64_t differing = 0;
  int64_t downloadId = 0;   // the row in downloads()
  int64_t invalidTime = 0;  // records left out because their time stamp is invalid
  int64_t insideDownload = 0, disagreeing = 0;
  // The records the history had already (records - added - differing).
  int64_t known() const { return records - added - differing; }
};

struct DownloadRow {
  int64_t id;
  int64_t when;  // seconds since 1970 (UTC) of the import
  std::string logger, file;
  int64_t records, added;
  bool fromFile = false;  // imported from a CSV file rather than downloaded
  std::string device;     // a download's device source ("USB", "virtual"); empty when not known
  int64_t differing = 0;  // file records refused because they differ from the logger's download
  // The PC that made it (host name, user) and the firmware version the logger reported; empty when
  // not known (a file opened, a history of an older Tarnwick).
  std::string host, user, firmware;
};

// The computer a change or a download was made on: its host name and the user logged in.
struct Computer {
  std::string host, user;
};
// This process's computer: the host name, the user name of the effective user id (else $USER, else
// the number); each part at most kMaxNameLength printable characters.
Computer thisComputer();

// The time zone of this computer at a moment: its name (the TZ variable, else the zone the system's
// /etc/localtime names, else the abbreviation; "UTC" when nothing says otherwise) and its offset
// from UTC in seconds east at that moment.
struct Zone {
  std::string name;
  int offset = 0;
};
Zone localZone(int64_t utc);

// What the history keeps of a download besides its records.
struct DownloadOrigin {
  std::string device;             // kDeviceUsb, kDeviceVirtual, or empty when not known
  Computer computer;              // the PC the download was made on
  std::string firmware;           // the version the logger reported, or empty
  std::optional<Zone> clockZone;  // this PC's zone at the download: recorded as ClockZoneKind::download
};

// How a logger's clock zone came to be recorded.
enum class ClockZoneKind { setTime, download };
const char* clockZoneKindName(ClockZoneKind kind);  // "set-time", "download"

// The zone and UTC offset of the PC a logger met: the logger's clock has no zone and keeps the local
// time of the PC that last set it.
struct ClockZoneRow {
  int64_t utc = 0;  // seconds since 1970 (UTC) it was recorded
  Zone zone;
  ClockZoneKind kind = ClockZoneKind::setTime;
};

// The UTC offset of a logger's clock for its readings, from the zones recorded for it (oldest first,
// as Store::clockZones gives them). A reading takes the zone of the last set-time whose moment its
// clock time has reached (clock time at or after the set-time's UTC plus its offset), and one before
// the first set-time takes the first's: the logger does not change its clock by itself, so every
// reading between two settings has the first one's offset, summer or winter. Without a set-time every
// reading takes the latest download's zone, and without either the fallback.
class ClockOffsets {
 public:
  ClockOffsets(const std::vector<ClockZoneRow>& rows, const Zone& fallback);
  const Zone& at(int64_t clockTime) const;
  // The logger's clock time at a moment (seconds since 1970, UTC).
  int64_t clockTime(int64_t utc) const;
  // Whether a zone was recorded at all (else every reading takes the fallback).
  bool recorded() const { return recorded_; }

 private:
  std::vector<ClockZoneRow> setTimes_;
  Zone only_;  // without a set-time
  bool recorded_ = false;
};

// The zones a logger's clock followed, as every view of its readings takes them: those recorded in the
// history, or, where none is, this computer's zone at `now` (the clock was most likely set here;
// recorded() is then false and a view says the zone is assumed).
ClockOffsets clockOffsets(const std::vector<ClockZoneRow>& rows, int64_t now);

// A row of limits: logger-wide (no sensor) or one sensor's own.
struct LimitsRow {
  std::optional<uint16_t> sensor;
  Limits limits;
};

// A change of limits: who made it, when, and the limits before and after as limitsText() writes
// them (empty: none set).
struct LimitChange {
  int64_t utc = 0;
  std::optional<uint16_t> sensor;
  Computer who;
  std::string before, after;
  std::string reason;  // why; empty for a first setting (and for changes of an older Tarnwick)

  bool operator==(const LimitChange& o) const {
    return utc == o.utc && sensor == o.sensor && who.host == o.who.host && who.user == o.who.user &&
           before == o.before && after == o.after && reason == o.reason;
  }
};

// A logger's name and place as people call it ("Fridge 3", "Vaccine store"); empty when not given.
struct LoggerLabel {
  std::string name, place;
  bool empty() const { return name.empty() && place.empty(); }
};
// One change of a logger's name or place: when, who, what it was and what it became.
struct LabelChange {
  int64_t utc = 0;
  Computer who;
  LoggerLabel before, after;
};
// A comment on an excursion: its cause and the action taken, by whom and when. The excursion is
// known by its sensor, quantity ("temperature", "humidity") and first reading (StoredRecord::time).
struct ExcursionComment {
  uint16_t sensor = 0;
  std::string quantity;
  int64_t start = 0;
  int64_t utc = 0;  // when it was written
  Computer who;
  std::string cause, action;
};
// Longest name or place (in bytes of UTF-8), and longest reason, cause or action.
constexpr size_t kMaxLabelLength = 64;
constexpr size_t kMaxNoteLength = 500;
// A name, place, reason, cause or action as the history keeps it: valid UTF-8 on one line (line
// breaks and tabs become spaces, other control characters are dropped), without spaces at either
// end, at most `limit` bytes. False with a message naming `what` when it is not UTF-8 or too long.
bool noteText(const std::string& text, size_t limit, const char* what, std::string& out, std::string& error);
// The same for text read back from a history another program may have written: never fails,
// replaces what is not UTF-8 and cuts at `limit` on a character's boundary.
std::string shownNote(const std::string& text, size_t limit);

// Why a change of limits that are set was refused (sensor -1: the logger's).
inline std::string limitsNeedReason(const std::string& logger, int64_t sensor) {
  return "The limits of " + logger + (sensor < 0 ? std::string() : ", sensor " + std::to_string(sensor)) +
         " are set already: changing them needs a reason; nothing stored";
}

// Limits as one line of text, e.g. "temperature 2:8 15m consecutive; humidity not limited".
std::string limitsText(const Limits& limits);

// Where a download came from, as the history keeps it.
constexpr char kDeviceUsb[] = "USB";
constexpr char kDeviceVirtual[] = "virtual";

struct Query {
  std::string logger;                        // empty: every logger
  std::vector<uint16_t> sensors;             // empty: all
  int64_t from = INT64_MIN, to = INT64_MAX;  // inclusive, in StoredRecord::time
};

// What the history knows of one logger, for an overview of every logger it keeps.
struct LoggerSummary {
  std::string logger;
  LoggerLabel label;                          // its name and place
  int64_t readings = 0;                       // records kept, flagged ones included
  int64_t firstReading = 0, lastReading = 0;  // StoredRecord::time; only when readings > 0
  // The newest download from the logger itself (files opened into the history do not count);
  // lastDownload is 0 when there is none.
  int64_t lastDownload = 0;      // DownloadRow::id
  int64_t lastDownloadTime = 0;  // seconds since 1970 (UTC) of that import
  std::string device;            // DownloadRow::device of it
  std::string host, user;        // where and by whom; empty when the history did not record it
  std::string firmware;          // the logger's firmware last seen; empty when not recorded
  // The calendar times of the first and last record that download brought (the ones the history
  // had already too); both 0 when it brought none.
  int64_t rangeFirst = 0, rangeLast = 0;
  bool limitsSet = false;  // a limit is set for one of its sensors
  // In the last download's range, when limits are set, with the verdict over it (Excursions.h; empty
  // when not judged).
  int64_t excursions = 0, alarms = 0;
  std::string verdict;
  bool incomplete = false;  // the verdict is incomplete
  // Whole days from the last download to `now` (seconds since 1970, UTC); -1 without a download.
  int64_t daysSinceDownload(int64_t now) const;
};

// The lowest and highest values of one sensor in one pixel column of a chart: what a chart of many
// readings draws. Records with a check-sum error and values that are not numbers are left out.
struct EnvelopeQuery {
  std::string logger;
  std::vector<uint16_t> sensors;  // empty: all
  int64_t from = 0, to = 0;       // inclusive, in StoredRecord::time; clamped to +-kEnvelopeTimeLimit
  int columns = 0;                // 1 to kMaxEnvelopeColumns
};
constexpr int kMaxEnvelopeColumns = 1 << 16;
constexpr int64_t kEnvelopeTimeLimit = int64_t{1} << 42;  // beyond any year a record can hold
// The column of a time: (time - from) * columns / (to - from + 1), rounded down. Where a column is
// two hours or wider, the readings of each whole hour inside [from, to] count in the column of that
// hour's start (the history keeps each hour's lowest and highest), the others by their own time.
int envelopeColumn(const EnvelopeQuery& q, int64_t time);
// The hour of a time, as the history counts them: time / 3600 rounded down.
int64_t hourOf(int64_t time);
struct EnvelopeCell {
  uint16_t sensor = 0;
  int column = 0;
  int64_t readings = 0;         // records in the column without a check-sum error
  int64_t first = 0, last = 0;  // time of the first and the last of them
  // NaN when no reading in the column has a number for the quantity.
  double humidityMin, humidityMax, temperatureMin, temperatureMax, ambientMin, ambientMax;
};

// Longest logger serial the history takes; anything longer is not a serial number.
constexpr size_t kMaxLoggerLength = 64;
// Longest host, user, firmware or zone name the history takes; longer ones are cut there.
constexpr size_t kMaxNameLength = 64;
// The largest UTC offset the history takes for a zone, in seconds either side (real ones stay within
// -12 h and +14 h).
constexpr int kMaxZoneOffset = 18 * 3600;

// How long a connection waits for another program's write before it gives up with "in use by another
// program": the import of the largest CSV file the history reads takes seconds, and a download that
// comes meanwhile waits it out.
constexpr int kBusyTimeoutMs = 60000;
// A file up to this size is checked whole as it opens after an unclean end (about a second from a cold
// disk); see Store::setWholeCheckAtOpenLimit.
constexpr int64_t kWholeCheckAtOpenBytes = 32 << 20;

// Where the history is kept: the first of `flag` (--history), `environment` (TARNWICK_HISTORY) and
// `setting` (the window's) that is not empty, else defaultPath(). A location is a SQLite file's path or
// a PostgreSQL server's: "postgresql://user@host/db", "postgres://...", or libpq's "key=value ..." form
// ("host=/run/postgresql dbname=tarnwick").
std::string resolveLocation(const std::string& flag, const char* environment, const std::string& setting);
// Whether a location names a PostgreSQL server rather than a SQLite file.
bool isServerLocation(const std::string& location);
// The location as messages show it: a server's without its password, if it has one.
std::string shownLocation(const std::string& location);
// Why a location shaped like a server's cannot be read by libpq, without any secret of it; empty when
// it can (or it is a file's path).
std::string serverLocationProblem(const std::string& location);

// The roles `tarnwick-cli history init` grants when none are named, and the rule for a role's name
// (a lower-case letter or '_', then letters, digits and '_', at most 63).
constexpr char kDefaultWriterRole[] = "tarnwick_writer";
constexpr char kDefaultReviewerRole[] = "tarnwick_reviewer";
bool validRoleName(const std::string& name);
// Creates or upgrades a server's history: the owner role, the schema (moving an older Tarnwick's
// tables out of public), the missing steps of its version, the writer and reviewer roles (made without
// login when missing) and their grants; idempotent. With `print` nothing is changed and `sql` holds
// what would run. Run by the database's administrator.
bool setUpServer(const std::string& location, const std::string& writer, const std::string& reviewer,
                 bool print, std::string& sql, std::string& error);

class Backend;
struct AuditEntry;

// One history: a database file, or a database on a PostgreSQL server (chosen by the location given to
// open()). Not shared between threads: each thread that needs the history opens its own.
// A failure of the file or the database never throws: the call returns false (or an empty list) with
// a message that names the file and says what is wrong.
class Store {
 public:
  Store();
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // $XDG_DATA_HOME/tarnwick/measurements.sqlite, else ~/.local/share/tarnwick/measurements.sqlite;
  // on Windows %LOCALAPPDATA%\tarnwick\measurements.sqlite. Empty when no home folder is known.
  static std::string defaultPath();

  // Opens or creates the database and the folders leading to it (new folders get mode 0700; the
  // database and its -wal and -shm files 0600, and an existing one that others may read is narrowed
  // to that once, which notice() reports). Beside
  // the file, "<file>.lock" tells the connections of all programs from each other and says how the
  // last session ended: SQLite's quick check of the whole file runs when no session that started
  // from a sound file is open and the last one did not end cleanly with the file as it is now (a
  // crash, a power cut, another program's write); otherwise only the header and the tables are
  // looked at. A file that is not a database or fails the check is renamed aside with a time suffix
  // (never deleted), a new one is started and notice() says so; one program at a time does that,
  // and only to the file it found damaged. A database of another program is refused and left alone.
  // Later calls open the same path again if this one failed (say, it was locked).
  // A server's location with a password in it is refused (the password belongs in ~/.pgpass); the
  // server's schema is created or upgraded, and one written by a newer Tarnwick is refused and left as
  // it is. The file-only parts (lock file, check, set aside, permissions) do not apply to a server.
  bool open(const std::string& path, std::string& error);
  // A further connection to a history that another one (the importer's) opened and checked: no
  // check of the whole file and never a rename, so a reader neither waits for the check nor moves the
  // file away under the other connection. Damage shows as a failed read.
  bool openForReading(const std::string& path, std::string& error);
  // Ends the connection; the last one of all programs checkpoints the write-ahead log into the file
  // and notes a clean end.
  void close();
  // The whole-file check after an unclean end runs as open() opens a file of at most this many bytes
  // (kWholeCheckAtOpenBytes unless set), where it takes well under a second even from a cold disk. A
  // larger file opens without it: the sessions stay "unchecked" (no clean end is noted) until
  // checkWhole() passes, and damage shows, and is set aside, where the pages are used.
  void setWholeCheckAtOpenLimit(int64_t bytes) { wholeCheckAtOpenBytes_ = bytes; }
  // SQLite's quick check of the whole open file, in this connection: true when it ran, `sound` saying
  // whether the file passed. A file that fails is set aside and a new one started, as open() does, and
  // notice() says so. Not for a server.
  bool checkWhole(bool& sound, std::string& error);
  // How long this connection waits for other programs (kBusyTimeoutMs unless set; from 0 to that).
  void setBusyTimeout(int milliseconds);
  // Called once, on this object's thread, when a wait for another program has lasted half a second.
  void setWaitNotice(std::function<void()> notice) { waitNotice_ = std::move(notice); }
  bool isOpen() const;
  // The location as opened (a server's without a password: one with a password is never opened).
  const std::string& path() const { return path_; }
  bool isServer() const { return server_ != nullptr; }
  // What open() or a later call did that the user should hear of (a damaged file set aside); empty
  // otherwise.
  std::string notice() const { return notice_; }

  // Adds a download's records in one transaction. Records with a checksum error are kept and
  // flagged; records with an invalid time stamp are left out. A record is its 32 bytes: one the
  // history already has, byte for byte, is not added again, and one that differs in any byte (the
  // tick within the second too) is another record. A downloaded record replaces a copy read from a
  // CSV file that shows the same line (see sameLine), and a clean one replaces a flagged one with the
  // same time, sensor and raw counts (such a flagged one, downloaded later, is known). `device` says where
  // the logger was reached (kDeviceUsb, ...).
  bool importDownload(const std::string& logger, const std::string& file,
                      const std::vector<messwert_tag>& records, ImportResult& result, std::string& error,
                      const std::string& device = std::string());
  // The same with where the download was made: its row keeps the computer and the firmware, and the
  // PC's zone (when given) is recorded as the logger's clock zone of kind download, in the same
  // transaction.
  bool importDownload(const std::string& logger, const std::string& file,
                      const std::vector<messwert_tag>& records, const DownloadOrigin& origin,
                      ImportResult& result, std::string& error);
  // Records read from a CSV file (readCsvFile) into a logger's history: their check bytes are gone,
  // so the flags come with them. Where the logger's download has records of the same time and
  // sensor, the file's record is kept only as that download's (when one of them shows the same line)
  // and is otherwise refused and counted as differing; where it has none, the file's record is added
  // and stays marked as read from the file. The import's row names this computer and its user.
  bool importCsvRecords(const std::string& logger, const std::string& file,
                        const std::vector<messwert_tag>& records, const std::vector<bool>& checksumError,
                        ImportResult& result, std::string& error);
  // The logger whose download the history wrote to `file` (the newest such download); empty when the
  // history knows the file as no logger's download.
  std::string loggerOfDownloadFile(const std::string& file);
  // A logger whose downloaded records show the same lines as the first records given (at most a few
  // are looked at), or empty: what a file's contents suggest about where it came from.
  std::string loggerMatching(const std::vector<messwert_tag>& records,
                             const std::vector<bool>& checksumError);

  std::vector<std::string> loggers();                        // sorted
  std::vector<uint16_t> sensors(const std::string& logger);  // sorted
  // In time order, then logger, sensor and the record's bytes: records of one second always come in
  // the same order, so a digest over them does not depend on how they were stored.
  bool query(const Query& q, std::vector<StoredRecord>& out, std::string& error);
  // The same records one at a time, for a caller that keeps less of each or stops early (visit
  // returns false).
  // A reading whose stored time is not the time its record holds fails the scan with a message
  // naming it (the history was altered).
  bool scan(const Query& q, const std::function<bool(const StoredRecord&)>& visit, std::string& error);
  // The readings as they are stored, without the check of their time against their record: for the
  // audit trail's check, which must name what was altered rather than stop at it.
  bool scanAsStored(const Query& q, const std::function<bool(const StoredRecord&)>& visit,
                    std::string& error) {
    return scanStored(q, visit, error);
  }
  std::vector<DownloadRow> downloads(const std::string& logger /*empty: all*/);  // oldest first
  // The most records that one download from `logger` itself brought (files opened into the history
  // do not count): 0 when there is none, -1 when the history cannot be read (lastError()).
  int64_t largestDownload(const std::string& logger);
  // One row per logger, by serial, with its limits as effectiveLimits gives them and the excursions
  // and alarms they find among the records of its last download.
  bool loggerSummaries(std::vector<LoggerSummary>& out, std::string& error);
  // The time of a logger's first and last record; `found` false when it has none.
  bool timeSpan(const std::string& logger, int64_t& first, int64_t& last, bool& found, std::string& error);
  // How many records a logger has (from the kept hours, not by counting them); -1 when the history
  // cannot be read.
  int64_t readingCount(const std::string& logger, std::string& error);
  // Per sensor and column, in sensor then column order, only the columns that have readings.
  // Computed by the database over an index of (logger, sensor, time): no reading is loaded.
  bool envelope(const EnvelopeQuery& q, std::vector<EnvelopeCell>& out, std::string& error);
  // Copies one download of another history and its records, as they are (flags, file or download),
  // into this one in one transaction: a download already copied (the same logger, time, file, device
  // and counts) gets no second row, and a record the history has, byte for byte, is not added again.
  // `added` says how many records were new.
  bool copyDownload(const DownloadRow& download, const std::vector<StoredRecord>& records, int64_t& added,
                    std::string& error);
  // A firmware version a logger reported outside a download (a firmware update's check), at `utc`.
  bool recordFirmware(const std::string& logger, int64_t utc, const std::string& version, std::string& error);
  // The firmware version the logger reported last, to a download or recordFirmware; empty when it
  // never did (lastError() says whether the history could be read).
  std::string firmwareLastSeen(const std::string& logger);
  // The versions recorded by recordFirmware for a logger (moment, version), oldest first.
  bool firmwareSeen(const std::string& logger, std::vector<std::pair<int64_t, std::string>>& out,
                    std::string& error);

  // Limits. A sensor without limits of its own is held to the logger's (sensor empty). Setting them
  // replaces that row whole and records the change (who, when, before and after) in the same
  // transaction; limits that are not valid() are refused with nothing stored. Clearing removes the
  // row (a sensor then takes the logger's again) and records that too; clearing what is not set
  // changes and records nothing.
  // A change of limits that are set (to others, or clearing them) needs a reason (noteText, at most
  // kMaxNoteLength); without one it is refused with limitsNeedReason() and nothing is stored. A first
  // setting needs none, nor the replacing of a row that is not valid.
  bool setLimits(const std::string& logger, std::optional<uint16_t> sensor, const Limits& limits,
                 const Computer& who, std::string& error, const std::string& reason = std::string());
  bool clearLimits(const std::string& logger, std::optional<uint16_t> sensor, const Computer& who,
                   std::string& error, const std::string& reason = std::string());
  // The limits a sensor's readings are held to: its own, else the logger's (with a sensor given),
  // else none (`set` false). A row that another program wrote and that is not valid fails with a
  // message naming the logger and the sensor.
  bool effectiveLimits(const std::string& logger, std::optional<uint16_t> sensor, Limits& out, bool& set,
                       std::string& error);
  // Every row of a logger, the logger-wide one first, then by sensor.
  bool limitRows(const std::string& logger, std::vector<LimitsRow>& out, std::string& error);
  // Every change of a logger's limits, oldest first.
  bool limitChanges(const std::string& logger, std::vector<LimitChange>& out, std::string& error);
  // Takes over another history's changes of a logger's limits (oldest first) with who made them and
  // when, in one transaction: a change this history has (sensor, moment, computer, before and after
  // alike) is not added again. `rows` are the limits set there; a sensor's limits here become those
  // when that history's newest change of them is newer than every change of them here. `added` says
  // how many changes were new.
  bool copyLimitChanges(const std::string& logger, const std::vector<LimitChange>& changes,
                        const std::vector<LimitsRow>& rows, int64_t& added, std::string& error);

  // Clock zones. Recorded when Tarnwick sets a logger's clock (kind setTime) and at every download.
  // A zone name that is empty, over kMaxNameLength or not printable, or an offset beyond
  // kMaxZoneOffset is refused.
  bool recordClockZone(const std::string& logger, int64_t utc, const Zone& zone, ClockZoneKind kind,
                       std::string& error);
  // The zone the logger's clock followed: the latest set-time recorded, else the latest download
  // (`found` false when neither is). Rows written by another program are checked as above.
  bool clockZone(const std::string& logger, ClockZoneRow& out, bool& found, std::string& error);
  // Every zone recorded for a logger, oldest first.
  bool clockZones(const std::string& logger, std::vector<ClockZoneRow>& out, std::string& error);

  // A logger's name and place (LoggerRecord.cpp). Setting records the change (who, when, before and
  // after) beside the earlier ones, which stay as they were; a part not given keeps its value, an empty
  // one removes it, and setting what is set records nothing. Names and places go through noteText
  // (kMaxLabelLength).
  bool setLoggerLabel(const std::string& logger, const std::optional<std::string>& name,
                      const std::optional<std::string>& place, const Computer& who, std::string& error);
  // The name and place set last; both empty when none was.
  bool loggerLabel(const std::string& logger, LoggerLabel& out, std::string& error);
  // Every change of them, oldest first (by moment: the latest moment is what is set).
  bool labelChanges(const std::string& logger, std::vector<LabelChange>& out, std::string& error);
  // Takes over a change made in another history as it was (moment, computer, before and after).
  bool copyLabelChange(const std::string& logger, const LabelChange& change, std::string& error);
  // Adds a comment on an excursion beside the earlier ones (none is ever changed); its moment and
  // computer are the caller's. Cause and action go through noteText (kMaxNoteLength); one of them at
  // least is needed.
  bool addExcursionComment(const std::string& logger, const ExcursionComment& comment, std::string& error);
  // Every comment on a logger's excursions, oldest first.
  bool excursionComments(const std::string& logger, std::vector<ExcursionComment>& out, std::string& error);

  // The message of the last failure of loggers(), sensors(), downloads() or firmwareLastSeen().
  const std::string& lastError() const { return lastError_; }

  // The audit trail (history/Audit.h). Every change above appends its entry in its own transaction;
  // appendAudit is the entry point for other events (a key, a signature, a name, a comment): one entry
  // with this computer's time, host and user, in a transaction of its own. The kind and detail are
  // the caller's; the hash is the history's.
  bool appendAudit(const std::string& kind, const std::string& logger, int64_t subject,
                   const std::string& detail, std::string& error);
  // Every entry, oldest first; visit returns false to stop.
  bool auditTrail(const std::function<bool(const AuditEntry&)>& visit, std::string& error);
  // A record that a later import replaced with a better copy (a download in place of a file's line, a
  // clean copy in place of a flagged one): kept aside so that its import's digest still holds.
  struct ReplacedRecord {
    StoredRecord record;     // record.download: the import it was kept from
    int64_t replacedBy = 0;  // the import that replaced it
  };
  bool replacedRecords(const std::string& logger, std::vector<ReplacedRecord>& out, std::string& error);

 private:
  struct Statements;
  struct FileId {
    uint64_t device = 0, inode = 0;  // both 0: no file
    bool operator==(const FileId& o) const { return device == o.device && inode == o.inode; }
    bool operator!=(const FileId& o) const { return !(*this == o); }
  };
  static FileId fileId(const std::string& path);
  bool openServerLocation(const std::string& location, std::string& error);
  bool scanStored(const Query& q, const std::function<bool(const StoredRecord&)>& visit, std::string& error);
  bool connect(bool mayRepair, std::string& error);
  bool beginSession(bool mayRepair, bool& check, std::string& error);
  bool waitForLock(long byte, bool exclusive, std::string& error);
  void closeDatabase();
  bool openOnce(std::string& error, bool& damaged, bool check = true);
  bool repair(const FileId& damaged, std::string& error);
  bool ensureOpen(std::string& error);
  bool setAside(std::string& error);
  void checkpointLargeLog();
  static int busyWait(void* self, int count);
  bool import(const std::string& logger, const std::string& file, const std::vector<messwert_tag>& records,
              const std::vector<bool>* checksumError, const DownloadOrigin& origin, ImportResult& result,
              std::string& error);
  bool importOnce(const std::string& logger, const std::string& file,
                  const std::vector<messwert_tag>& records, const std::vector<bool>* checksumError,
                  const DownloadOrigin& origin, ImportResult& result, std::string& error, int& code);
  // The SQL of limits and clock zones (the last part of HistoryStore.cpp).
  bool loggerId(const std::string& logger, bool create, int64_t& id, int& code);
  bool readLimitsRow(const std::string& logger, int64_t loggerId, int64_t sensor, std::optional<Limits>& out,
                     bool& valid, std::string& error);
  bool writeLimits(const std::string& logger, std::optional<uint16_t> sensor, const Limits* limits,
                   const Computer& who, const std::string& reason, std::string& error);
  bool insertClockZone(int64_t loggerId, int64_t utc, const Zone& zone, ClockZoneKind kind, int& code);
  bool upgrade(int& code);
  // Computes the rows of reading_hours of these sensors' hours again from their readings.
  bool refreshReadingHours(int64_t loggerId, const std::set<std::pair<uint16_t, int64_t>>& hours, int& code);
  // Adds what an import inserted to reading_hours, and computes again the hours it also removed from.
  bool addReadingHours(int64_t loggerId, const class ReadingHourSums& added, int& code);
  void narrowPermissions();
  // Appends an entry inside the caller's write transaction (AuditStore.cpp).
  bool appendAuditLocked(const std::string& kind, const std::string& logger, int64_t subject,
                         const std::string& detail, int& code);
  bool appendAuditLocked(const std::string& kind, int64_t loggerId, int64_t subject,
                         const std::string& detail, int& code);
  bool appendImportAudit(const DownloadRow& row, std::vector<StoredRecord>& kept,
                         std::vector<StoredRecord>& replaced, int& code);
  // Moves a record about to be replaced into replaced_records, noting the import that replaces it.
  bool keepReplaced(int64_t loggerId, int64_t time, uint16_t sensor, const uint8_t* record,
                    int64_t replacedBy, StoredRecord& kept, int& code);
  std::string failure(const char* what, int code) const;

  sqlite3* db_ = nullptr;
  int64_t wholeCheckAtOpenBytes_ = kWholeCheckAtOpenBytes;
  std::unique_ptr<Statements> statements_;
  std::string path_;
  int lockFd_ = -1;  // "<file>.lock", held shared while open
  bool createdLock_ = false;
  FileId opened_;  // the file this connection opened
  int busyTimeoutMs_ = kBusyTimeoutMs;
  int64_t waitStartMs_ = 0;
  bool waitNoticed_ = false;
  std::function<void()> waitNotice_;
  std::string notice_;
  std::string lastError_;
  std::unique_ptr<Backend> server_;  // set while a server's history is open
};

// Copies every download of one history and the records kept from it into another (a file into a
// server, a server into a file, ...), each download in a transaction of its own: where each record
// came from goes with it, and a second copy adds nothing. Each logger's changes of limits (with who
// made them and when), clock zones and firmware versions go with it, also once. `progress` hears of each
// download copied.
struct CopyResult {
  int64_t downloads = 0;  // downloads copied (or found copied before)
  int64_t records = 0;    // records read from the source
  int64_t added = 0;      // of those, the ones the target did not have
  // Limit changes, clock zones, firmware versions seen outside downloads, changes of names and places
  // and comments on excursions the target did not have.
  int64_t notes = 0;
};
bool copyHistory(Store& from, Store& to, const std::function<void(int64_t done, int64_t total)>& progress,
                 CopyResult& result, std::string& error);

// Reads a CSV file that Tarnwick wrote: the header line, then one line per record in either regional
// format (German "dd.MM.yyyy HH:mm:ss" with ',' decimals, English "M/d/yyyy h:mm:ss tt" with '.'
// decimals; the time is left out at 00:00:00), with or without the "Check sum error" comment. The
// records come back with tick and reserved bytes zero. Anything else fails with a message naming the
// file and the first line it could not read (its number and its text, shortened). Files over
// kMaxCsvFileSize and lines over kMaxCsvLineLength are refused.
constexpr int64_t kMaxCsvFileSize = 128ll << 20;
constexpr size_t kMaxCsvLineLength = 256;
bool readCsvFile(const std::string& path, std::vector<messwert_tag>& records,
                 std::vector<bool>& checksumError, std::string& error);

// Whether two kept records show the same CSV line: the same time stamp to the second, sensor, raw
// counts, values to the CSV's one decimal and check-sum comment. This is how far a record read from a
// file can be compared with a downloaded one: the file has no tick, reserved bytes or full values.
bool sameLine(const messwert_tag& a, bool aFlagged, const messwert_tag& b, bool bFlagged);

// Seconds since 1970 of a record's calendar time taken as UTC; false for an invalid time stamp.
bool recordTime(const messwert_tag& record, int64_t& seconds);

// Minimum, maximum and mean of one quantity over the values that are numbers (NaN and infinities
// left out); count 0 and NaN when there are none.
struct Quantity {
  int64_t count = 0;
  double min = std::numeric_limits<double>::quiet_NaN();
  double max = std::numeric_limits<double>::quiet_NaN();
  double mean = std::numeric_limits<double>::quiet_NaN();
};

struct SensorStats {
  uint16_t sensor = 0;
  int64_t count = 0;  // records, flagged ones included
  int64_t first = 0, last = 0;
  int64_t checksumErrors = 0;
  // Over the records without a checksum error: a damaged record's values are not measurements.
  Quantity humidity, temperature, ambientTemperature;
  double meanKineticTemperature = std::numeric_limits<double>::quiet_NaN();  // °C, from the temperatures
};

// Per sensor, in sensor order. deltaHOverR is the activation energy over the gas constant, in K.
std::vector<SensorStats> statistics(const std::vector<StoredRecord>& records, double deltaHOverR = 10000.0);
// Mean kinetic temperature (°C) of temperatures in °C; NaN without usable values.
double meanKineticTemperature(const std::vector<double>& celsius, double deltaHOverR = 10000.0);
// Dew point (°C) by the Magnus formula with a = 17.62, b = 243.12 °C (over water, good from -45 to
// 60 °C); NaN for a humidity that is not above zero or a value that is not a number.
double dewPoint(double temperatureC, double humidityRH);

}  // namespace history
