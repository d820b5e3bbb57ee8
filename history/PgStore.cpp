// The history on a PostgreSQL server, shared by several PCs and users.
//
// Readings are only ever inserted, and only through the functions of the schema (PgSetup.cpp), which
// check what they are given. Where the local file deletes a worse copy of a record (a copy read from a
// CSV file that a download shows the same line of, a flagged record a clean one replaces), the server
// notes the worse copy in `superseded`, and every read leaves out what is noted there. Writers of one
// logger take turns (the logger's row, locked by the writing functions to the end of the
// transaction), so what an import reads to decide is what it writes against; an import is one
// transaction. Serials travel as UTF-8 converted from the logger's Windows-1252 and back.
#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "data/Text.h"
#include "history/Backend.h"
#include "history/CopyReader.h"
#include "history/ImportRules.h"

namespace history {
namespace {

// The longest a statement runs: a back-stop above the lock waits, which end at the wait limit.
constexpr int kStatementLimitMs = 600 * 1000;
// A wait is told of (the wait notice) once it has lasted this long, as with the local file.
constexpr int kWaitNoticeMs = 500;

// Serials as the server keeps them (UTF-8) and as the program knows them (Windows-1252).
std::string toServer(const std::string& serial) {
  return utf8FromAnsi(serial);
}
std::string fromServer(const char* text) {
  return ansiFromUtf8(text);
}

// One step per schema version, run in a transaction with its row in tarnwick_schema. A record is its
// 32 bytes; a copy read from a file and a downloaded one with the same bytes are two rows, of which
// reads show one.
// The little-endian float at `offset` of a record, as SQL on its bytes: NULL when it is not a finite
// number. Written out rather than called, as a function call per value would be most of an import's time.
std::string recordValue(int offset) {
  const auto byte = [&](int i) { return "get_byte(record, " + std::to_string(offset + i) + ")"; };
  const std::string exponent = "(((" + byte(3) + " & 127) << 1) | (" + byte(2) + " >> 7))";
  const std::string mantissa = "(((" + byte(2) + " & 127) << 16) | (" + byte(1) + " << 8) | " + byte(0) + ")";
  return "(CASE WHEN " + exponent + " = 255 THEN NULL ELSE (1 - 2 * (" + byte(3) + " >> 7)) * (" + mantissa +
         " | (CASE WHEN " + exponent +
         " = 0 THEN 0 ELSE 8388608 END))::double precision * power(2::double "
         "precision, greatest(" +
         exponent + ", 1) - 150) END)";
}

const std::string kMigrations[] = {
    // 1
    "CREATE TABLE loggers(id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY, serial text NOT NULL UNIQUE);"
    "CREATE TABLE sensors(logger bigint NOT NULL REFERENCES loggers, sensor integer NOT NULL,"
    "  PRIMARY KEY(logger, sensor));"
    "CREATE SEQUENCE download_ids;"
    "CREATE TABLE downloads(id bigint PRIMARY KEY, time bigint NOT NULL, logger bigint NOT NULL REFERENCES "
    "  loggers, file text NOT NULL, records bigint NOT NULL, added bigint NOT NULL, from_file boolean NOT "
    "  NULL, device text NOT NULL, differing bigint NOT NULL);"
    "CREATE INDEX downloads_file ON downloads(file);"
    "CREATE TABLE measurements(logger bigint NOT NULL, time bigint NOT NULL, sensor integer NOT NULL,"
    "  humidity_raw integer NOT NULL, temperature_raw integer NOT NULL,"
    "  record bytea NOT NULL CHECK (length(record) = 32), checksum_error boolean NOT NULL,"
    "  from_file boolean NOT NULL, download bigint NOT NULL,"
    "  PRIMARY KEY(logger, time, sensor, record, from_file));"
    "CREATE TABLE superseded(logger bigint NOT NULL, time bigint NOT NULL, sensor integer NOT NULL,"
    "  record bytea NOT NULL, from_file boolean NOT NULL, download bigint NOT NULL,"
    "  PRIMARY KEY(logger, time, sensor, record, from_file));",
    // 2: where each download was made, the zones a logger's clock met, firmware seen outside a download.
    "ALTER TABLE downloads ADD COLUMN host_name text NOT NULL DEFAULT '',"
    "  ADD COLUMN user_name text NOT NULL DEFAULT '', ADD COLUMN firmware text NOT NULL DEFAULT '';"
    "CREATE TABLE clock_zones(id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY, logger bigint NOT NULL "
    "  REFERENCES loggers, time bigint NOT NULL, zone text NOT NULL, utc_offset bigint NOT NULL, kind text "
    "NOT "
    "  NULL);"
    "CREATE INDEX clock_zones_logger ON clock_zones(logger, id);"
    "CREATE TABLE firmware_seen(id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY, logger bigint NOT NULL "
    "  REFERENCES loggers, time bigint NOT NULL, version text NOT NULL);"
    // Limits are their changes: the newest of a logger and sensor (-1: the logger's) is what is set, and
    // a change that clears them has is_set false. Nothing is updated or deleted.
    "CREATE TABLE limit_changes(id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY, logger bigint NOT NULL "
    "  REFERENCES loggers, sensor integer NOT NULL, time bigint NOT NULL, host_name text NOT NULL, user_name "
    "  text NOT NULL, old_value text NOT NULL, new_value text NOT NULL, is_set boolean NOT NULL,"
    "  temperature_lower double precision, temperature_upper double precision, temperature_delay bigint NOT "
    "NULL,"
    "  temperature_rule text NOT NULL, humidity_lower double precision, humidity_upper double precision,"
    "  humidity_delay bigint NOT NULL, humidity_rule text NOT NULL);"
    "CREATE INDEX limit_changes_logger ON limit_changes(logger, sensor, id);",
    // 3: each reading's values as numbers, computed from its bytes once as it goes in, and the indexes the
    // chart and the overview read: a sensor's clean readings in time order with their values (the ones
    // read from files apart, as only those and flagged ones are ever superseded), and a download's.
    "ALTER TABLE measurements"
    "  ADD COLUMN humidity double precision GENERATED ALWAYS AS " +
        recordValue(8) +
        " STORED,"
        "  ADD COLUMN temperature double precision GENERATED ALWAYS AS " +
        recordValue(12) +
        " STORED,"
        "  ADD COLUMN ambient double precision GENERATED ALWAYS AS " +
        recordValue(22) +
        " STORED;"
        "CREATE INDEX readings ON measurements(logger, sensor, time) INCLUDE (humidity, temperature, "
        "ambient) "
        "  WHERE NOT checksum_error AND NOT from_file;"
        "CREATE INDEX readings_from_file ON measurements(logger, sensor, time) WHERE NOT checksum_error AND "
        "  from_file;"
        "CREATE INDEX measurements_download ON measurements(logger, download, time);"
        // Each sensor's clean readings of each hour summed up, for charts of days and months, kept by
        // the server as readings go in and as they are superseded, as the table's owner (a writer may
        // only add readings).
        "CREATE TABLE reading_hours(logger bigint NOT NULL, sensor integer NOT NULL, hour bigint NOT NULL,"
        "  readings bigint NOT NULL, first_time bigint NOT NULL, last_time bigint NOT NULL,"
        "  humidity_min double precision, humidity_max double precision, temperature_min double precision,"
        "  temperature_max double precision, ambient_min double precision, ambient_max double precision,"
        "  PRIMARY KEY(logger, sensor, hour));"
        "CREATE FUNCTION tarnwick_hours_added() RETURNS trigger LANGUAGE plpgsql SECURITY DEFINER SET "
        "  search_path FROM CURRENT AS $$ BEGIN"
        "  INSERT INTO reading_hours AS r SELECT logger, sensor, (time - ((time % 3600) + 3600) % 3600) / "
        "3600"
        "    AS hour, count(*), min(time), max(time), min(humidity), max(humidity), min(temperature),"
        "    max(temperature), min(ambient), max(ambient) FROM changed WHERE NOT checksum_error GROUP BY "
        "logger,"
        "    sensor, hour ON CONFLICT (logger, sensor, hour) DO UPDATE SET readings = r.readings +"
        "    excluded.readings, first_time = least(r.first_time, excluded.first_time), last_time ="
        "    greatest(r.last_time, excluded.last_time), humidity_min = least(r.humidity_min,"
        "    excluded.humidity_min), humidity_max = greatest(r.humidity_max, excluded.humidity_max),"
        "    temperature_min = least(r.temperature_min, excluded.temperature_min), temperature_max ="
        "    greatest(r.temperature_max, excluded.temperature_max), ambient_min = least(r.ambient_min,"
        "    excluded.ambient_min), ambient_max = greatest(r.ambient_max, excluded.ambient_max);"
        "  RETURN NULL; END $$;"
        // A superseded reading leaves its hour: the hour is worked out again from what is left.
        "CREATE FUNCTION tarnwick_hours_left() RETURNS trigger LANGUAGE plpgsql SECURITY DEFINER SET "
        "  search_path FROM CURRENT AS $$ BEGIN"
        "  DELETE FROM reading_hours r USING (SELECT DISTINCT logger, sensor, (time - ((time % 3600) + 3600) "
        "%"
        "    3600) / 3600 AS hour FROM changed) t WHERE r.logger = t.logger AND r.sensor = t.sensor AND "
        "r.hour"
        "    = t.hour;"
        "  INSERT INTO reading_hours SELECT t.logger, t.sensor, t.hour, count(*), min(m.time), max(m.time),"
        "    min(m.humidity), max(m.humidity), min(m.temperature), max(m.temperature), min(m.ambient),"
        "    max(m.ambient) FROM (SELECT DISTINCT logger, sensor, (time - ((time % 3600) + 3600) % 3600) / "
        "3600"
        "    AS hour FROM changed) t JOIN measurements m ON m.logger = t.logger AND m.sensor = t.sensor AND"
        "    m.time BETWEEN t.hour * 3600 AND t.hour * 3600 + 3599 WHERE NOT m.checksum_error AND NOT EXISTS"
        "    (SELECT 1 FROM superseded s WHERE s.logger = m.logger AND s.time = m.time AND s.sensor = "
        "m.sensor"
        "    AND s.record = m.record AND s.from_file = m.from_file) GROUP BY t.logger, t.sensor, t.hour;"
        "  RETURN NULL; END $$;"
        "CREATE TRIGGER measurements_hours AFTER INSERT ON measurements REFERENCING NEW TABLE AS changed FOR "
        "  EACH STATEMENT EXECUTE FUNCTION tarnwick_hours_added();"
        "CREATE TRIGGER superseded_hours AFTER INSERT ON superseded REFERENCING NEW TABLE AS changed FOR "
        "EACH "
        "  STATEMENT EXECUTE FUNCTION tarnwick_hours_left();"
        "INSERT INTO reading_hours SELECT m.logger, m.sensor, (m.time - ((m.time % 3600) + 3600) % 3600) / "
        "3600 "
        "  AS hour, count(*), min(m.time), max(m.time), min(m.humidity), max(m.humidity), min(m.temperature),"
        "  max(m.temperature), min(m.ambient), max(m.ambient) FROM measurements m WHERE NOT m.checksum_error"
        "  AND NOT EXISTS (SELECT 1 FROM superseded s WHERE s.logger = m.logger AND s.time = m.time AND"
        "  s.sensor = m.sensor AND s.record = m.record AND s.from_file = m.from_file) GROUP BY m.logger,"
        "  m.sensor, hour;",
    // 4: the schema's own functions are the only way in for writers; see PgSetup.cpp.
    serverHardeningStep(),
    // 5: why limits were changed, the names and places people give loggers (the newest change of a
    // logger is what is set) and comments on excursions; rows are only ever added, by the writers'
    // functions.
    serverNotesStep(),
};

constexpr char kLimitsColumns[] =
    "temperature_lower, temperature_upper, temperature_delay, temperature_rule, humidity_lower, "
    "humidity_upper, humidity_delay, humidity_rule";

std::string sensorText(int64_t sensor) {
  return sensor < 0 ? std::string("(all sensors)") : "sensor " + std::to_string(sensor);
}

// One quantity's limits from four text columns (lower, upper, delay, rule) of a row another program
// may have written.
bool readQuantity(PGresult* r, int row, int first, QuantityLimits& out, std::string& why) {
  for (int i = 0; i < 2; ++i) {
    std::optional<double>& bound = i == 0 ? out.lower : out.upper;
    bound.reset();
    if (!PQgetisnull(r, row, first + i)) bound = std::strtod(PQgetvalue(r, row, first + i), nullptr);
  }
  out.delay = std::atoll(PQgetvalue(r, row, first + 2));
  return parseRule(PQgetvalue(r, row, first + 3), out.rule, why) && out.valid(why);
}
constexpr int kSchemaVersion = static_cast<int>(sizeof kMigrations / sizeof kMigrations[0]);

// Rows that are not superseded; `m` is the measurements' alias.
const char kVisible[] =
    "NOT EXISTS (SELECT 1 FROM superseded s WHERE s.logger = m.logger AND s.time = m.time AND s.sensor = "
    "m.sensor AND s.record = m.record AND s.from_file = m.from_file)";

struct ResultDeleter {
  void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

// Parameters of one statement: text, or bytes sent as they are.
class Params {
 public:
  Params& text(std::string v) {
    values_.push_back(std::move(v));
    formats_.push_back(0);
    return *this;
  }
  Params& number(int64_t v) { return text(std::to_string(v)); }
  Params& bytes(const uint8_t* data, size_t size) {
    values_.emplace_back(reinterpret_cast<const char*>(data), size);
    formats_.push_back(1);
    return *this;
  }
  int count() const { return static_cast<int>(values_.size()); }
  std::vector<const char*> pointers() const {
    std::vector<const char*> out;
    for (const std::string& v : values_) out.push_back(v.data());
    return out;
  }
  std::vector<int> lengths() const {
    std::vector<int> out;
    for (const std::string& v : values_) out.push_back(static_cast<int>(v.size()));
    return out;
  }
  const int* formats() const { return formats_.data(); }

 private:
  std::vector<std::string> values_;
  std::vector<int> formats_;
};

int64_t bigEndian(const char* p, int size) {
  uint64_t v = 0;
  for (int i = 0; i < size; ++i) v = (v << 8) | static_cast<uint8_t>(p[i]);
  if (size == 2) return static_cast<int16_t>(static_cast<uint16_t>(v));
  if (size == 4) return static_cast<int32_t>(static_cast<uint32_t>(v));
  return static_cast<int64_t>(v);
}

// What the server keeps of one second and sensor of a logger while an import decides.
struct Kept {
  uint8_t bytes[messwert::kRecordSize];
  bool flagged, fromFile, visible;
  messwert_tag record() const { return messwert::fromBytes(bytes); }
};

class PgStore : public Backend {
 public:
  PgStore(PGconn* connection, std::string location) : conn_(connection), location_(std::move(location)) {}
  ~PgStore() override { PQfinish(conn_); }

  bool prepare(std::string& error);
  void setWaitLimit(int milliseconds) override { waitLimitMs_ = milliseconds; }

  bool import(const std::string& logger, const std::string& file, const std::vector<messwert_tag>& records,
              const std::vector<bool>* checksumError, const DownloadOrigin& origin, ImportResult& result,
              std::string& error) override;
  bool copyDownload(const DownloadRow& download, const std::vector<StoredRecord>& records, int64_t& added,
                    std::string& error) override;
  bool scan(const Query& q, const std::function<bool(const StoredRecord&)>& visit,
            std::string& error) override;
  bool loggers(std::vector<std::string>& out, std::string& error) override;
  bool sensors(const std::string& logger, std::vector<uint16_t>& out, std::string& error) override;
  bool downloads(const std::string& logger, std::vector<DownloadRow>& out, std::string& error) override;
  int64_t largestDownload(const std::string& logger, std::string& error) override;
  std::string loggerOfDownloadFile(const std::string& file, std::string& error) override;
  std::string loggerMatching(const std::vector<messwert_tag>& records, const std::vector<bool>& checksumError,
                             std::string& error) override;
  bool summaryRows(std::vector<LoggerSummary>& out, std::string& error) override;
  bool timeSpan(const std::string& logger, int64_t& first, int64_t& last, bool& found,
                std::string& error) override;
  int64_t readingCount(const std::string& logger, std::string& error) override;
  bool envelope(const EnvelopeQuery& q, int64_t from, int64_t to, int64_t hoursFrom, int64_t hoursTo,
                const std::vector<uint16_t>& sensors, std::vector<EnvelopeCell>& out,
                std::string& error) override;
  bool recordClockZone(const std::string& logger, int64_t utc, const Zone& zone, ClockZoneKind kind,
                       std::string& error) override;
  bool clockZones(const std::string& logger, std::vector<ZoneRow>& out, std::string& error) override;
  bool recordFirmware(const std::string& logger, int64_t utc, const std::string& version,
                      std::string& error) override;
  bool firmwareLastSeen(const std::string& logger, std::string& version, std::string& error) override;
  bool writeLimits(const std::string& logger, int64_t sensor, const Limits* limits, const Computer& who,
                   const std::string& reason, std::string& error) override;
  bool setLoggerLabel(const std::string& logger, const std::optional<std::string>& name,
                      const std::optional<std::string>& place, const Computer& who, int64_t utc,
                      std::string& error) override;
  bool labelChanges(const std::string& logger, std::vector<LabelChange>& out, std::string& error) override;
  bool copyLabelChange(const std::string& logger, const LabelChange& change, std::string& error) override;
  bool addExcursionComment(const std::string& logger, const ExcursionComment& comment,
                           std::string& error) override;
  bool excursionComments(const std::string& logger, std::vector<ExcursionComment>& out,
                         std::string& error) override;
  bool effectiveLimits(const std::string& logger, std::optional<uint16_t> sensor, Limits& out, bool& set,
                       std::string& error) override;
  bool limitRows(const std::string& logger, std::vector<LimitsRow>& out, std::string& error) override;
  bool limitChanges(const std::string& logger, std::vector<LimitChange>& out, std::string& error) override;
  bool copyLimitChanges(const std::string& logger, const std::vector<LimitChange>& changes,
                        const std::vector<LimitsRow>& rows, int64_t& added, std::string& error) override;
  bool firmwareSeen(const std::string& logger, std::vector<std::pair<int64_t, std::string>>& out,
                    std::string& error) override;

 private:
  // The server's last message, on one line.
  std::string serverMessage() const {
    std::string text = PQerrorMessage(conn_);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    for (char& c : text)
      if (c == '\n' || c == '\t') c = ' ';
    return text.empty() ? "no message from the server" : text;
  }
  std::string message(const std::string& what) const {
    std::string waited;
    if (lastState_ == "55P03")
      waited = "; waited " + std::to_string(waitLimitMs_ / 1000) +
               " s for another program writing to the same logger or setting the history up";
    else if (lastState_ == "57014")
      waited = "; the statement ran longer than " + std::to_string(kStatementLimitMs / 1000) + " s";
    return "History database " + location_ + ": " + what + " (" + serverMessage() + waited + ")";
  }
  void noteState(const PGresult* r) {
    const char* state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    lastState_ = state ? state : "";
  }
  // One statement; a wait of more than kWaitNoticeMs for its answer is told of once.
  Result run(const char* sql, const Params& params = Params(), int resultFormat = 0) {
    const std::vector<const char*> values = params.pointers();
    const std::vector<int> lengths = params.lengths();
    if (PQsendQueryParams(conn_, sql, params.count(), nullptr, values.data(), lengths.data(),
                          params.formats(), resultFormat) != 1)
      return Result();
    const int64_t start = nowMs();
    bool noticed = false;
    while (PQisBusy(conn_)) {
      const int64_t waited = nowMs() - start;
      const bool noticing = waitNotice_ && !noticed;
      pollfd fd{PQsocket(conn_), POLLIN, 0};
      if (fd.fd < 0) break;
      const int ready =
          ::poll(&fd, 1, noticing ? static_cast<int>(std::max<int64_t>(kWaitNoticeMs - waited, 0)) : -1);
      if (ready < 0 && errno != EINTR) break;
      if (ready > 0 && PQconsumeInput(conn_) != 1) break;
      if (noticing && nowMs() - start >= kWaitNoticeMs) {
        noticed = true;
        waitNotice_();
      }
    }
    Result last;
    while (PGresult* r = PQgetResult(conn_)) {
      const ExecStatusType status = PQresultStatus(r);
      last.reset(r);
      if (status == PGRES_COPY_IN || status == PGRES_COPY_OUT || status == PGRES_COPY_BOTH) break;
    }
    noteState(last.get());
    return last;
  }
  static int64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  }
  static bool ok(const Result& r) {
    return r && (PQresultStatus(r.get()) == PGRES_COMMAND_OK || PQresultStatus(r.get()) == PGRES_TUPLES_OK);
  }
  bool runOk(const char* sql, const Params& params = Params()) { return ok(run(sql, params)); }
  bool runOk(const std::string& sql, const Params& params = Params()) { return ok(run(sql.c_str(), params)); }
  // A broken connection is made again once, before a call; its work in flight was lost with it.
  bool alive(std::string& error) {
    if (PQstatus(conn_) == CONNECTION_OK) return true;
    PQreset(conn_);
    appliedWaitMs_ = -1;
    if (PQstatus(conn_) == CONNECTION_OK && prepareSession()) return true;
    error = message("the server cannot be reached");
    return false;
  }
  void rollback() {
    if (PQstatus(conn_) == CONNECTION_OK && PQtransactionStatus(conn_) != PQTRANS_IDLE) runOk("ROLLBACK");
  }
  bool prepareSession() {
    // One round trip. Compiling a query pays for itself only in long reports, not in the history's reads.
    // Every lock wait ends at the wait limit and every statement at kStatementLimitMs.
    appliedWaitMs_ = waitLimitMs_;
    return ok(Result(
        PQexec(conn_, ("SET client_min_messages = warning; SET jit = off; SET client_encoding = 'UTF8'; SET "
                       "search_path = tarnwick, pg_catalog; SET statement_timeout = " +
                       std::to_string(kStatementLimitMs) +
                       "; SET lock_timeout = " + std::to_string(std::max(waitLimitMs_, 1)))
                          .c_str())));
  }
  // The schema's version: in its own schema, or (`legacy`) an older Tarnwick's tables in public.
  bool schemaVersion(int64_t& version, bool& legacy);
  // Runs the set-up (PgSetup.cpp) from `version`: roles, schema, the missing steps, grants.
  bool setUp(int64_t version, bool legacy, const std::string& writer, const std::string& reviewer,
             std::string& error);
  // The limits set for a logger's id and sensor (-1: the logger's): `out` empty when none; `valid`
  // false with a message when the row is not.
  bool currentLimits(const std::string& logger, int64_t id, int64_t sensor, std::optional<Limits>& out,
                     bool& valid, std::string& error);
  bool loggerId(const std::string& serial, int64_t& id, int64_t* downloadId = nullptr);
  // One change of limits; `state` is what is set after it (null: none); `copied` keeps the change's own
  // time, user and host (a copy from another history), otherwise the server notes its own.
  bool insertLimitChange(int64_t id, const LimitChange& change, const Limits* state, bool copied);

 public:
  std::string setupScript(int64_t version, bool legacy, const std::string& writer,
                          const std::string& reviewer);
  bool runScript(const std::string& sql, std::string& error);
  bool version(int64_t& version, bool& legacy, std::string& error) {
    if (schemaVersion(version, legacy)) return true;
    error = message("cannot read its schema version");
    return false;
  }
  void setWaitNotice(std::function<void()> notice) override { waitNotice_ = std::move(notice); }

 private:
  // Sets the server's lock time-out to the wait limit, when it is not that already.
  bool applyWaitLimit() {
    if (appliedWaitMs_ == waitLimitMs_) return true;
    if (!runOk("SET lock_timeout = " + std::to_string(std::max(waitLimitMs_, 1)))) return false;
    appliedWaitMs_ = waitLimitMs_;
    return true;
  }

  PGconn* conn_;
  std::string location_;
  int waitLimitMs_ = kBusyTimeoutMs, appliedWaitMs_ = -1;
  std::function<void()> waitNotice_;
  std::string lastState_;
};

// A reading as the writing functions take it: the time (8 bytes, big-endian), the record's bytes and a
// byte of flags (1: checksum error, 2: read from a file).
void appendRow(std::string& out, int64_t time, const uint8_t* bytes, bool flagged, bool fromFile) {
  for (int shift = 56; shift >= 0; shift -= 8)
    out += static_cast<char>((static_cast<uint64_t>(time) >> shift) & 0xFF);
  out.append(reinterpret_cast<const char*>(bytes), messwert::kRecordSize);
  out += static_cast<char>((flagged ? 1 : 0) | (fromFile ? 2 : 0));
}

bool PgStore::schemaVersion(int64_t& version, bool& legacy) {
  // Read from the catalogue, so that a table another program has just created is seen.
  version = 0;
  legacy = false;
  Result r =
      run("SELECT pg_catalog.to_regclass('tarnwick.tarnwick_schema') IS NOT NULL, "
          "pg_catalog.to_regclass('public.tarnwick_schema') IS NOT NULL");
  if (!ok(r) || PQntuples(r.get()) != 1) return false;
  const bool own = PQgetvalue(r.get(), 0, 0)[0] == 't';
  legacy = !own && PQgetvalue(r.get(), 0, 1)[0] == 't';
  if (!own && !legacy) return true;
  r = run(own ? "SELECT coalesce(max(version), 0) FROM tarnwick.tarnwick_schema"
              : "SELECT coalesce(max(version), 0) FROM public.tarnwick_schema");
  if (!ok(r) || PQntuples(r.get()) != 1) return false;
  version = std::atoll(PQgetvalue(r.get(), 0, 0));
  return true;
}

std::string PgStore::setupScript(int64_t version, bool legacy, const std::string& writer,
                                 const std::string& reviewer) {
  std::string s = "BEGIN;\nSET LOCAL client_min_messages = warning;\nSET LOCAL lock_timeout = " +
                  std::to_string(std::max(waitLimitMs_, 1)) +
                  ";\nSET LOCAL statement_timeout = " + std::to_string(kStatementLimitMs) + ";\n";
  s += serverRolesAndSchema(legacy, writer, reviewer);
  s += "SET LOCAL ROLE tarnwick_owner;\nSET LOCAL search_path = tarnwick, pg_catalog, pg_temp;\n"
       "CREATE TABLE IF NOT EXISTS tarnwick.tarnwick_schema(version integer PRIMARY KEY, applied timestamptz "
       "NOT NULL DEFAULT now());\n"
       // One set-up at a time; a lock a reader cannot take.
       "LOCK TABLE tarnwick.tarnwick_schema IN SHARE ROW EXCLUSIVE MODE;\n";
  s += "DO $v$ BEGIN IF (SELECT coalesce(max(version), 0) FROM tarnwick.tarnwick_schema) <> " +
       std::to_string(version) +
       " THEN RAISE EXCEPTION 'another program changed the schema meanwhile; run this again'; END IF; END "
       "$v$;\n";
  for (int64_t next = version + 1; next <= kSchemaVersion; ++next)
    s += "-- version " + std::to_string(next) + "\n" + kMigrations[next - 1] +
         "\nINSERT INTO tarnwick.tarnwick_schema(version) VALUES (" + std::to_string(next) + ");\n";
  s += "RESET ROLE;\n" + serverGrants(writer, reviewer) + "COMMIT;\n";
  return s;
}

bool PgStore::runScript(const std::string& sql, std::string& error) {
  Result r(PQexec(conn_, sql.c_str()));
  if (!ok(r)) {
    noteState(r.get());
    error = message("cannot create or upgrade its tables");
    rollback();
    return false;
  }
  return true;
}

bool PgStore::setUp(int64_t version, bool legacy, const std::string& writer, const std::string& reviewer,
                    std::string& error) {
  return runScript(setupScript(version, legacy, writer, reviewer), error);
}

bool PgStore::prepare(std::string& error) {
  if (!prepareSession()) {
    error = message("cannot set up the connection");
    return false;
  }
  int64_t version = 0;
  bool legacy = false;
  if (!schemaVersion(version, legacy)) {
    error = message("cannot read its schema version");
    return false;
  }
  if (version > kSchemaVersion) {
    error = "History database " + location_ + ": written by a newer Tarnwick (schema version " +
            std::to_string(version) + ", this one knows up to " + std::to_string(kSchemaVersion) +
            "); it is left as it is";
    return false;
  }
  if (version == kSchemaVersion && !legacy) return true;
  // A login that may set the history up does so; any other is told who can.
  std::string failure;
  if (setUp(version, legacy, kDefaultWriterRole, kDefaultReviewerRole, failure)) return true;
  error = failure + "; the history is at schema version " + std::to_string(version) +
          (legacy ? " in public" : "") + ", this Tarnwick needs " + std::to_string(kSchemaVersion) +
          ": the database's administrator sets it up with tarnwick-cli history init --history LOCATION";
  return false;
}

bool PgStore::loggerId(const std::string& serial, int64_t& id, int64_t* downloadId) {
  // Writers of one logger take turns until their transactions end: the writing function locks the
  // logger's row (and adds the logger when new). One round trip, with the next download's number when
  // asked for.
  Result r = run(downloadId ? "SELECT tarnwick.lock_logger($1), tarnwick.new_download()"
                            : "SELECT tarnwick.lock_logger($1)",
                 Params().text(toServer(serial)));
  if (!ok(r) || PQntuples(r.get()) != 1) return false;
  id = std::atoll(PQgetvalue(r.get(), 0, 0));
  if (downloadId) *downloadId = std::atoll(PQgetvalue(r.get(), 0, 1));
  return true;
}

bool PgStore::import(const std::string& logger, const std::string& file,
                     const std::vector<messwert_tag>& records, const std::vector<bool>* checksumError,
                     const DownloadOrigin& origin, ImportResult& result, std::string& error) {
  result = ImportResult{};
  if (!alive(error)) return false;
  auto fail = [&] {
    error = message("the download was not added");
    result = ImportResult{};
    rollback();
    return false;
  };
  const bool fromFile = checksumError != nullptr;
  std::vector<int64_t> times(records.size());
  std::vector<bool> valid(records.size());
  int64_t first = INT64_MAX, last = INT64_MIN;
  for (size_t i = 0; i < records.size(); ++i) {
    valid[i] = recordTime(records[i], times[i]);
    if (!valid[i]) continue;
    first = std::min(first, times[i]);
    last = std::max(last, times[i]);
  }

  int64_t id = 0, downloadId = 0;
  if (!applyWaitLimit() || !runOk("BEGIN") || !loggerId(logger, id, &downloadId)) return fail();

  // Everything kept of this logger in the import's time range, superseded rows too.
  std::map<std::pair<int64_t, uint16_t>, std::vector<Kept>> kept;
  if (first <= last) {
    Result r = run((std::string("SELECT m.time, m.sensor, m.record, m.checksum_error, m.from_file, ") +
                    kVisible + " FROM measurements m WHERE m.logger = $1 AND m.time BETWEEN $2 AND $3")
                       .c_str(),
                   Params().number(id).number(first).number(last), 1);
    if (!ok(r)) return fail();
    for (int row = 0; row < PQntuples(r.get()); ++row) {
      if (PQgetlength(r.get(), row, 2) != static_cast<int>(messwert::kRecordSize)) return fail();
      Kept k{};
      std::memcpy(k.bytes, PQgetvalue(r.get(), row, 2), messwert::kRecordSize);
      k.flagged = *PQgetvalue(r.get(), row, 3) != 0;
      k.fromFile = *PQgetvalue(r.get(), row, 4) != 0;
      k.visible = *PQgetvalue(r.get(), row, 5) != 0;
      kept[{bigEndian(PQgetvalue(r.get(), row, 0), 8),
            static_cast<uint16_t>(bigEndian(PQgetvalue(r.get(), row, 1), 4))}]
          .push_back(k);
    }
  }

  // A file's lines are held to the logger's downloads: their spans, and the lines that disagree with
  // their own counts.
  DownloadSpans spans;
  std::vector<bool> disagreeing;
  if (fromFile) {
    Result r =
        run("SELECT min(time), max(time) FROM measurements WHERE logger = $1 AND NOT from_file "
            "GROUP BY download",
            Params().number(id), 1);
    if (!ok(r)) return fail();
    for (int row = 0; row < PQntuples(r.get()); ++row)
      spans.add(bigEndian(PQgetvalue(r.get(), row, 0), 8), bigEndian(PQgetvalue(r.get(), row, 1), 8));
    disagreeing = disagreeingLines(records, *checksumError);
  }

  std::string inserts, supersedes;
  for (size_t i = 0; i < records.size(); ++i) {
    if (!valid[i]) {
      ++result.invalidTime;
      continue;
    }
    ++result.records;
    const messwert_tag& r = records[i];
    const bool flagged = fromFile ? (*checksumError)[i] : messwert::checksum(r) != 0;
    Kept mine{};
    messwert::toBytes(r, mine.bytes);
    mine.flagged = flagged;
    mine.fromFile = fromFile;
    mine.visible = true;
    std::vector<Kept>& here = kept[{times[i], r.sensorSerialNumber}];
    std::vector<KeptCopy> copies;
    for (const Kept& k : here) copies.push_back(KeptCopy{k.record(), k.flagged, k.fromFile, k.visible});
    IncomingLine line{r, flagged, fromFile, fromFile && spans.covers(times[i]), fromFile && disagreeing[i]};
    const ImportDecision decision = decideImport(copies, line);
    countOutcome(decision.outcome, result);
    for (size_t at : decision.retire) {
      Kept& k = here[at];
      k.visible = false;
      appendRow(supersedes, times[i], k.bytes, k.flagged, k.fromFile);
    }
    const bool insert = decision.insert;
    if (insert) {
      here.push_back(mine);
      appendRow(inserts, times[i], mine.bytes, flagged, fromFile);
    }
  }

  // Under the logger's lock the rows are known to be new; the server checks every replacement.
  if (!inserts.empty() &&
      !runOk("SELECT tarnwick.add_readings($1, $2, $3, false)",
             Params()
                 .number(id)
                 .number(downloadId)
                 .bytes(reinterpret_cast<const uint8_t*>(inserts.data()), inserts.size())))
    return fail();
  if (!supersedes.empty() &&
      !runOk("SELECT tarnwick.supersede($1, $2, $3)",
             Params()
                 .number(id)
                 .number(downloadId)
                 .bytes(reinterpret_cast<const uint8_t*>(supersedes.data()), supersedes.size())))
    return fail();
  Params finish;
  finish.number(id)
      .number(downloadId)
      .text(file)
      .number(result.records)
      .number(result.added)
      .text(fromFile ? "true" : "false")
      .text(origin.device)
      .number(result.differing)
      .text(origin.computer.host)
      .text(origin.firmware);
  if (origin.clockZone)
    finish.text(origin.clockZone->name).number(origin.clockZone->offset);
  else
    finish.text("").text("");
  if (!runOk("SELECT tarnwick.finish_download($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, nullif($11, ''), "
             "nullif($12, '')::bigint)",
             finish) ||
      !runOk("COMMIT"))
    return fail();
  result.downloadId = downloadId;
  return true;
}

bool PgStore::copyDownload(const DownloadRow& download, const std::vector<StoredRecord>& records,
                           int64_t& added, std::string& error) {
  added = 0;
  if (!alive(error)) return false;
  auto fail = [&] {
    error = message("the download was not copied");
    added = 0;
    rollback();
    return false;
  };
  int64_t id = 0, downloadId = 0;
  if (!applyWaitLimit() || !runOk("BEGIN") || !loggerId(download.logger, id)) return fail();
  Result found = run("SELECT tarnwick.copy_download($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11)",
                     Params()
                         .number(id)
                         .number(download.when)
                         .text(download.file)
                         .text(download.device)
                         .number(download.records)
                         .number(download.added)
                         .text(download.fromFile ? "true" : "false")
                         .number(download.differing)
                         .text(download.host)
                         .text(download.user)
                         .text(download.firmware));
  if (!ok(found) || PQntuples(found.get()) != 1) return fail();
  downloadId = std::atoll(PQgetvalue(found.get(), 0, 0));
  std::string rows;
  for (const StoredRecord& s : records) {
    uint8_t bytes[messwert::kRecordSize];
    messwert::toBytes(s.record, bytes);
    appendRow(rows, s.time, bytes, s.checksumError, s.fromFile);
  }
  if (!rows.empty()) {
    // A record the history has in any form, byte for byte, is not added again.
    Result r = run("SELECT tarnwick.add_readings($1, $2, $3, true)",
                   Params()
                       .number(id)
                       .number(downloadId)
                       .bytes(reinterpret_cast<const uint8_t*>(rows.data()), rows.size()));
    if (!ok(r) || PQntuples(r.get()) != 1) return fail();
    added = std::atoll(PQgetvalue(r.get(), 0, 0));
  }
  if (!runOk("COMMIT")) return fail();
  return true;
}

bool PgStore::scan(const Query& q, const std::function<bool(const StoredRecord&)>& visit,
                   std::string& error) {
  if (!alive(error)) return false;
  std::vector<bool> wanted;
  if (!q.sensors.empty()) {
    wanted.assign(65536, false);
    for (uint16_t sensor : q.sensors) wanted[sensor] = true;
  }
  const bool all = q.logger.empty();
  const std::string wantedSerial = toServer(q.logger);
  char* quoted = PQescapeLiteral(conn_, wantedSerial.data(), wantedSerial.size());
  if (quoted == nullptr) {
    error = message("cannot read the measurements");
    return false;
  }
  const std::string serial = quoted;
  PQfreemem(quoted);
  const std::string range = "m.time BETWEEN " + std::to_string(q.from) + " AND " + std::to_string(q.to);
  // The readings stream in COPY's binary form, one statement and one snapshot; one logger's in the
  // order of the key, read along it without sorting.
  const std::string sql =
      "COPY (SELECT m.time, m.sensor, m.record, m.checksum_error, m.download, m.from_file, l.serial FROM "
      "measurements m JOIN loggers l ON l.id = m.logger WHERE " +
      (all ? range + " AND " + kVisible + " ORDER BY m.time, l.serial, m.sensor, m.record, m.from_file"
           : "m.logger = (SELECT id FROM loggers WHERE serial = " + serial + ") AND " + range + " AND " +
                 kVisible + " ORDER BY m.time, m.sensor, m.record, m.from_file") +
      ") TO STDOUT (FORMAT binary)";
  Result started = run(sql.c_str());
  if (!started || PQresultStatus(started.get()) != PGRES_COPY_OUT) {
    error = message("cannot read the measurements");
    return false;
  }
  // Ends the stream early: the connection is made anew (within its connect time-out) rather than
  // asking the server to cancel, which could wait without bound; what was read stands.
  auto drop = [&] {
    PQreset(conn_);
    if (PQstatus(conn_) == CONNECTION_OK) prepareSession();
  };
  auto damaged = [&](const std::string& what) {
    drop();
    error = "History database " + location_ + ": cannot read the measurements: " + what;
    return false;
  };
  CopyReader reader(7);
  std::vector<std::string_view> field;
  StoredRecord out;
  out.logger = q.logger;
  for (;;) {
    char* chunk = nullptr;
    const int n = PQgetCopyData(conn_, &chunk, 0);
    if (n == -2) {
      error = message("cannot read the measurements");
      while (Result(PQgetResult(conn_))) {
      }
      return false;
    }
    if (n == -1) break;
    reader.feed(chunk, static_cast<size_t>(n));
    PQfreemem(chunk);
    for (CopyReader::Next next; (next = reader.next(field)) != CopyReader::Next::more;) {
      if (next == CopyReader::Next::bad)
        return damaged("the server's stream is not as expected (" + reader.why() + ")");
      if (next == CopyReader::Next::end) break;
      if (field[0].size() != 8 || field[1].size() != 4 || field[3].size() != 1 || field[4].size() != 8 ||
          field[5].size() != 1)
        return damaged("the server's stream is not as expected");
      const uint16_t sensor = static_cast<uint16_t>(bigEndian(field[1].data(), 4));
      if (!wanted.empty() && !wanted[sensor]) continue;
      if (field[2].size() != messwert::kRecordSize) return damaged("a stored record is not 32 bytes");
      out.time = bigEndian(field[0].data(), 8);
      out.record = messwert::fromBytes(reinterpret_cast<const uint8_t*>(field[2].data()));
      out.checksumError = field[3][0] != 0;
      out.download = bigEndian(field[4].data(), 8);
      out.fromFile = field[5][0] != 0;
      if (all) out.logger = fromServer(std::string(field[6]).c_str());
      if (!visit(out)) {
        drop();
        return true;
      }
    }
  }
  bool good = true;
  while (Result r = Result(PQgetResult(conn_))) {
    good = good && PQresultStatus(r.get()) == PGRES_COMMAND_OK;
    if (!good) noteState(r.get());
  }
  if (!good) {
    error = message("cannot read the measurements");
    return false;
  }
  if (!reader.ended()) {
    error = "History database " + location_ +
            ": cannot read the measurements: the server's stream ended "
            "before its end mark";
    return false;
  }
  return true;
}

bool PgStore::loggers(std::vector<std::string>& out, std::string& error) {
  if (!alive(error)) return false;
  Result r = run("SELECT serial FROM loggers ORDER BY serial COLLATE \"C\"");
  if (!ok(r)) {
    error = message("cannot read the loggers");
    return false;
  }
  for (int row = 0; row < PQntuples(r.get()); ++row)
    out.emplace_back(fromServer(PQgetvalue(r.get(), row, 0)));
  return true;
}

bool PgStore::sensors(const std::string& logger, std::vector<uint16_t>& out, std::string& error) {
  if (!alive(error)) return false;
  Result r =
      run("SELECT s.sensor FROM sensors s JOIN loggers l ON l.id = s.logger WHERE l.serial = $1 ORDER BY "
          "s.sensor",
          Params().text(toServer(logger)));
  if (!ok(r)) {
    error = message("cannot read the sensors");
    return false;
  }
  for (int row = 0; row < PQntuples(r.get()); ++row)
    out.push_back(static_cast<uint16_t>(std::atoi(PQgetvalue(r.get(), row, 0))));
  return true;
}

bool PgStore::downloads(const std::string& logger, std::vector<DownloadRow>& out, std::string& error) {
  if (!alive(error)) return false;
  Result r =
      run("SELECT d.id, d.time, l.serial, d.file, d.records, d.added, d.from_file, d.device, d.differing, "
          "d.host_name, d.user_name, d.firmware FROM downloads "
          "d JOIN loggers l ON l.id = d.logger WHERE $1 = '' OR l.serial = $1 ORDER BY d.id",
          Params().text(toServer(logger)));
  if (!ok(r)) {
    error = message("cannot read the downloads");
    return false;
  }
  PGresult* res = r.get();
  for (int row = 0; row < PQntuples(res); ++row) {
    out.push_back(DownloadRow{std::atoll(PQgetvalue(res, row, 0)), std::atoll(PQgetvalue(res, row, 1)),
                              fromServer(PQgetvalue(res, row, 2)), PQgetvalue(res, row, 3),
                              std::atoll(PQgetvalue(res, row, 4)), std::atoll(PQgetvalue(res, row, 5)),
                              PQgetvalue(res, row, 6)[0] == 't', PQgetvalue(res, row, 7),
                              std::atoll(PQgetvalue(res, row, 8)), "", "", ""});
    out.back().host = PQgetvalue(res, row, 9);
    out.back().user = PQgetvalue(res, row, 10);
    out.back().firmware = PQgetvalue(res, row, 11);
  }
  return true;
}

bool PgStore::recordClockZone(const std::string& logger, int64_t utc, const Zone& zone, ClockZoneKind kind,
                              std::string& error) {
  if (!alive(error)) return false;
  if (!applyWaitLimit() ||
      !runOk("SELECT tarnwick.record_zone($1, $2, $3, $4, $5)", Params()
                                                                    .text(toServer(logger))
                                                                    .number(utc)
                                                                    .text(zone.name)
                                                                    .number(zone.offset)
                                                                    .text(clockZoneKindName(kind)))) {
    error = message("the clock's zone was not recorded");
    rollback();
    return false;
  }
  return true;
}

bool PgStore::clockZones(const std::string& logger, std::vector<ZoneRow>& out, std::string& error) {
  if (!alive(error)) return false;
  Result r =
      run("SELECT z.time, z.utc_offset, z.zone, z.kind FROM clock_zones z JOIN loggers l ON l.id = z.logger "
          "WHERE "
          "l.serial = $1 ORDER BY z.id",
          Params().text(toServer(logger)));
  if (!ok(r)) {
    error = message("cannot read the clock zones");
    return false;
  }
  for (int row = 0; row < PQntuples(r.get()); ++row)
    out.push_back(ZoneRow{std::atoll(PQgetvalue(r.get(), row, 0)), std::atoll(PQgetvalue(r.get(), row, 1)),
                          PQgetvalue(r.get(), row, 2), PQgetvalue(r.get(), row, 3)});
  return true;
}

bool PgStore::recordFirmware(const std::string& logger, int64_t utc, const std::string& version,
                             std::string& error) {
  if (!alive(error)) return false;
  if (!applyWaitLimit() || !runOk("SELECT tarnwick.record_firmware($1, $2, $3)",
                                  Params().text(toServer(logger)).number(utc).text(version))) {
    error = message("the firmware version was not recorded");
    rollback();
    return false;
  }
  return true;
}

bool PgStore::firmwareLastSeen(const std::string& logger, std::string& version, std::string& error) {
  version.clear();
  if (!alive(error)) return false;
  Result r =
      run("SELECT version FROM (SELECT d.time AS time, d.id AS id, 1 AS download, d.firmware AS version FROM "
          "downloads d JOIN loggers l ON l.id = d.logger WHERE l.serial = $1 AND d.firmware <> '' UNION ALL "
          "SELECT "
          "f.time, f.id, 0, f.version FROM firmware_seen f JOIN loggers l ON l.id = f.logger WHERE l.serial "
          "= $1) "
          "v ORDER BY time DESC, download DESC, id DESC LIMIT 1",
          Params().text(toServer(logger)));
  if (!ok(r)) {
    error = message("cannot read the downloads");
    return false;
  }
  if (PQntuples(r.get()) == 1) version = PQgetvalue(r.get(), 0, 0);
  return true;
}

int64_t PgStore::largestDownload(const std::string& logger, std::string& error) {
  if (!alive(error)) return -1;
  Result r =
      run("SELECT coalesce(max(d.records), 0) FROM downloads d JOIN loggers l ON l.id = d.logger WHERE "
          "l.serial = $1 "
          "AND NOT d.from_file",
          Params().text(toServer(logger)));
  if (!ok(r) || PQntuples(r.get()) != 1) {
    error = message("cannot read the downloads");
    return -1;
  }
  return std::atoll(PQgetvalue(r.get(), 0, 0));
}

std::string PgStore::loggerOfDownloadFile(const std::string& file, std::string& error) {
  if (!alive(error)) return std::string();
  Result r =
      run("SELECT l.serial FROM downloads d JOIN loggers l ON l.id = d.logger WHERE d.file = $1 AND NOT "
          "d.from_file "
          "ORDER BY d.id DESC LIMIT 1",
          Params().text(file));
  if (!ok(r)) {
    error = message("cannot read the downloads");
    return std::string();
  }
  return PQntuples(r.get()) == 1 ? fromServer(PQgetvalue(r.get(), 0, 0)) : std::string();
}

std::string PgStore::loggerMatching(const std::vector<messwert_tag>& records,
                                    const std::vector<bool>& checksumError, std::string& error) {
  constexpr size_t kLooked = 8;
  if (checksumError.size() != records.size() || !alive(error)) return std::string();
  Result list = run("SELECT id, serial FROM loggers ORDER BY serial COLLATE \"C\"");
  if (!ok(list)) {
    error = message("cannot read the loggers");
    return std::string();
  }
  const std::string at = std::string(
                             "SELECT m.record, m.checksum_error FROM measurements m WHERE m.logger = $1 AND "
                             "m.time = $2 AND m.sensor = $3 AND NOT m.from_file AND ") +
                         kVisible;
  std::string best;
  size_t bestMatches = 0;
  for (int row = 0; row < PQntuples(list.get()); ++row) {
    const int64_t id = std::atoll(PQgetvalue(list.get(), row, 0));
    size_t matches = 0, looked = 0;
    for (size_t i = 0; i < records.size() && looked < kLooked; ++i) {
      int64_t time;
      if (!recordTime(records[i], time)) continue;
      ++looked;
      Result r = run(at.c_str(), Params().number(id).number(time).number(records[i].sensorSerialNumber), 1);
      if (!ok(r)) {
        error = message("cannot read the measurements");
        return std::string();
      }
      bool same = false;
      for (int k = 0; k < PQntuples(r.get()) && !same; ++k)
        same = PQgetlength(r.get(), k, 0) == static_cast<int>(messwert::kRecordSize) &&
               sameLine(messwert::fromBytes(reinterpret_cast<const uint8_t*>(PQgetvalue(r.get(), k, 0))),
                        *PQgetvalue(r.get(), k, 1) != 0, records[i], checksumError[i]);
      matches += same;
    }
    if (matches > bestMatches) {
      bestMatches = matches;
      best = fromServer(PQgetvalue(list.get(), row, 1));
    }
  }
  return best;
}

// A logger's visible readings: `m` the measurements' alias, `l` the logger's.
#define TARNWICK_VISIBLE_OF(what, order) \
  "(SELECT " what " FROM measurements m WHERE m.logger = l.id AND " TARNWICK_VISIBLE order ")"
#define TARNWICK_VISIBLE                                                                                 \
  "NOT EXISTS (SELECT 1 FROM superseded s WHERE s.logger = m.logger AND s.time = m.time AND s.sensor = " \
  "m.sensor AND s.record = m.record AND s.from_file = m.from_file)"

bool PgStore::summaryRows(std::vector<LoggerSummary>& out, std::string& error) {
  out.clear();
  if (!alive(error)) return false;
  // The first and last reading are one step each along the key; the newest download from the logger
  // itself, and the range of what it added, along the index of the downloads' readings.
  Result r = run(
      "SELECT l.serial, " TARNWICK_VISIBLE_OF("count(*)", "") ", " TARNWICK_VISIBLE_OF(
          "m.time", " ORDER BY m.time LIMIT 1") ", " TARNWICK_VISIBLE_OF("m.time",
                                                                       " ORDER BY m.time DESC LIMIT 1") ", "
                                                                                                       "d.id, "
                                                                                                       "d.time, "
                                                                                                       "d.device, "
      "(SELECT min(m.time) FROM measurements m WHERE m.logger = l.id AND m.download = d.id AND " TARNWICK_VISIBLE
      "), (SELECT max(m.time) FROM measurements m WHERE m.logger = l.id AND m.download = d.id AND " TARNWICK_VISIBLE
      "), d.host_name, d.user_name FROM loggers l LEFT JOIN downloads d ON d.id = (SELECT max(id) FROM downloads "
      "WHERE logger = l.id AND NOT from_file) ORDER BY l.serial COLLATE \"C\"");
  if (!ok(r)) {
    error = message("cannot read the loggers");
    return false;
  }
  const auto number = [&](int row, int column) {
    return PQgetisnull(r.get(), row, column) ? 0 : std::atoll(PQgetvalue(r.get(), row, column));
  };
  for (int row = 0; row < PQntuples(r.get()); ++row) {
    LoggerSummary s;
    s.logger = fromServer(PQgetvalue(r.get(), row, 0));
    s.readings = number(row, 1);
    s.firstReading = number(row, 2);
    s.lastReading = number(row, 3);
    if (!PQgetisnull(r.get(), row, 4)) {
      s.lastDownload = number(row, 4);
      s.lastDownloadTime = number(row, 5);
      s.device = PQgetvalue(r.get(), row, 6);
      s.rangeFirst = number(row, 7);
      s.rangeLast = number(row, 8);
      s.host = PQgetvalue(r.get(), row, 9);
      s.user = PQgetvalue(r.get(), row, 10);
    }
    out.push_back(std::move(s));
  }
  return true;
}

bool PgStore::timeSpan(const std::string& logger, int64_t& first, int64_t& last, bool& found,
                       std::string& error) {
  found = false;
  if (!alive(error)) return false;
  Result r = run("SELECT " TARNWICK_VISIBLE_OF("m.time", " ORDER BY m.time LIMIT 1") ", " TARNWICK_VISIBLE_OF(
                     "m.time", " ORDER BY m.time DESC LIMIT 1") " FROM loggers l WHERE l.serial = $1",
                 Params().text(toServer(logger)));
  if (!ok(r)) {
    error = message("cannot read the measurements");
    return false;
  }
  if (PQntuples(r.get()) == 1 && !PQgetisnull(r.get(), 0, 0) && !PQgetisnull(r.get(), 0, 1)) {
    found = true;
    first = std::atoll(PQgetvalue(r.get(), 0, 0));
    last = std::atoll(PQgetvalue(r.get(), 0, 1));
  }
  return true;
}

int64_t PgStore::readingCount(const std::string& logger, std::string& error) {
  if (!alive(error)) return -1;
  Result r = run("SELECT " TARNWICK_VISIBLE_OF("count(*)", "") " FROM loggers l WHERE l.serial = $1",
                 Params().text(toServer(logger)));
  if (!ok(r)) {
    error = message("cannot read the measurements");
    return -1;
  }
  return PQntuples(r.get()) == 1 ? std::atoll(PQgetvalue(r.get(), 0, 0)) : 0;
}

bool PgStore::envelope(const EnvelopeQuery& q, int64_t from, int64_t to, int64_t hoursFrom, int64_t hoursTo,
                       const std::vector<uint16_t>& sensors, std::vector<EnvelopeCell>& out,
                       std::string& error) {
  if (!alive(error)) return false;
  if (sensors.empty()) return true;
  std::string array = "{";
  for (uint16_t s : sensors) array += (array.size() > 1 ? "," : "") + std::to_string(s);
  array += "}";
  // The readings downloaded go along the covering index alone; those read from files, which a download
  // may have superseded since, along their own. The whole hours inside [hoursFrom, hoursTo) come from
  // reading_hours, each at its start, and only the readings before and after them are read.
#define TARNWICK_READINGS_OF(kind, range)                                                                    \
  "SELECT m.sensor, m.time AS t, 1 AS n, m.time AS f, m.time AS l, m.humidity AS hmin, m.humidity AS hmax, " \
  "m.temperature AS tmin, m.temperature AS tmax, m.ambient AS amin, m.ambient AS amax FROM measurements m "  \
  "WHERE m.logger = (SELECT id FROM loggers WHERE serial = $1) AND m.sensor = ANY($5::integer[]) AND " range \
  " AND NOT m.checksum_error AND " kind
#define TARNWICK_HEAD "m.time >= $2 AND m.time < $6"
#define TARNWICK_TAIL "m.time >= $7 AND m.time <= $3"
  const bool hours = hoursFrom < hoursTo;
  Result r = run(
      "WITH parts AS (" TARNWICK_READINGS_OF("NOT m.from_file", TARNWICK_HEAD) " UNION ALL " TARNWICK_READINGS_OF(
          "m.from_file AND " TARNWICK_VISIBLE, TARNWICK_HEAD) " UNION ALL " TARNWICK_READINGS_OF("NOT m.from_file",
                                                                                              TARNWICK_TAIL) " UNION "
                                                                                                             "ALL " TARNWICK_READINGS_OF(
          "m.from_file AND " TARNWICK_VISIBLE,
          TARNWICK_TAIL) " UNION ALL SELECT sensor, hour * 3600, readings, first_time, last_time, humidity_min, "
                         "humidity_max, temperature_min, temperature_max, ambient_min, ambient_max FROM "
                         "reading_hours WHERE logger = (SELECT id FROM loggers WHERE serial = $1) AND sensor = "
                         "ANY($5::integer[]) AND hour >= $8 AND hour < $9) "
      "SELECT sensor, (t - $2) * $4 / ($3 - $2 + 1) AS col, sum(n), min(f), max(l), min(hmin), max(hmax), "
      "min(tmin), max(tmax), min(amin), max(amax) FROM parts GROUP BY sensor, col ORDER BY sensor, col",
      Params()
          .text(toServer(q.logger))
          .number(from)
          .number(to)
          .number(q.columns)
          .text(array)
          .number(hours ? hoursFrom : to + 1)
          .number(hours ? hoursTo : to + 1)
          .number(hoursFrom / 3600)
          .number(hoursTo / 3600));
#undef TARNWICK_HEAD
#undef TARNWICK_TAIL
#undef TARNWICK_READINGS_OF
  if (!ok(r)) {
    error = message("cannot read the measurements");
    return false;
  }
  const auto value = [&](int row, int column) {
    return PQgetisnull(r.get(), row, column) ? std::numeric_limits<double>::quiet_NaN()
                                             : std::strtod(PQgetvalue(r.get(), row, column), nullptr);
  };
  for (int row = 0; row < PQntuples(r.get()); ++row) {
    EnvelopeCell c;
    c.sensor = static_cast<uint16_t>(std::atoi(PQgetvalue(r.get(), row, 0)));
    c.column = std::atoi(PQgetvalue(r.get(), row, 1));
    c.readings = std::atoll(PQgetvalue(r.get(), row, 2));
    c.first = std::atoll(PQgetvalue(r.get(), row, 3));
    c.last = std::atoll(PQgetvalue(r.get(), row, 4));
    c.humidityMin = value(row, 5);
    c.humidityMax = value(row, 6);
    c.temperatureMin = value(row, 7);
    c.temperatureMax = value(row, 8);
    c.ambientMin = value(row, 9);
    c.ambientMax = value(row, 10);
    out.push_back(c);
  }
  return true;
}
#undef TARNWICK_VISIBLE_OF
#undef TARNWICK_VISIBLE

bool PgStore::currentLimits(const std::string& logger, int64_t id, int64_t sensor, std::optional<Limits>& out,
                            bool& valid, std::string& error) {
  out.reset();
  valid = true;
  Result r = run((std::string("SELECT is_set, ") + kLimitsColumns +
                  " FROM limit_changes WHERE logger = $1 AND sensor = $2 ORDER BY id DESC LIMIT 1")
                     .c_str(),
                 Params().number(id).number(sensor));
  if (!ok(r)) {
    error = message("cannot read the limits");
    return false;
  }
  if (PQntuples(r.get()) == 0 || PQgetvalue(r.get(), 0, 0)[0] != 't') return true;
  Limits limits;
  std::string why;
  if (!readQuantity(r.get(), 0, 1, limits.temperature, why) ||
      !readQuantity(r.get(), 0, 5, limits.humidity, why)) {
    error = "History database " + location_ + ": the limits kept for " + logger + " " + sensorText(sensor) +
            " are not valid (" + why + ")";
    valid = false;
    return true;
  }
  out = limits;
  return true;
}

bool PgStore::writeLimits(const std::string& logger, int64_t sensor, const Limits* limits,
                          const Computer& who, const std::string& reason, std::string& error) {
  if (!alive(error)) return false;
  auto fail = [&] {
    error = message("the limits were not stored");
    rollback();
    return false;
  };
  if (!applyWaitLimit() || !runOk("BEGIN")) return fail();
  if (limits == nullptr) {  // nothing to clear for a logger never seen
    Result known = run("SELECT 1 FROM loggers WHERE serial = $1", Params().text(toServer(logger)));
    if (!ok(known)) return fail();
    if (PQntuples(known.get()) == 0) {
      rollback();
      return true;
    }
  }
  int64_t id = 0;
  if (!loggerId(logger, id)) return fail();
  std::optional<Limits> before;
  bool valid = true;
  std::string unreadable;
  if (!currentLimits(logger, id, sensor, before, valid, unreadable)) {
    error = unreadable;
    rollback();
    return false;
  }
  const std::string beforeText = !valid ? "(not valid)" : before ? limitsText(*before) : std::string();
  const std::string afterText = limits ? limitsText(*limits) : std::string();
  // The text leaves out the delay and rule of a quantity without bounds: those count as a change too.
  if (beforeText == afterText && (!limits || (before && *before == *limits))) {
    rollback();
    return true;
  }
  if (valid && before && reason.empty()) {
    rollback();
    error = limitsNeedReason(logger, sensor);
    return false;
  }
  LimitChange change;
  change.utc = static_cast<int64_t>(std::time(nullptr));
  if (sensor >= 0) change.sensor = static_cast<uint16_t>(sensor);
  change.who = who;
  change.before = beforeText;
  change.after = afterText;
  change.reason = reason;
  if (!insertLimitChange(id, change, limits, false) || !runOk("COMMIT")) return fail();
  return true;
}

bool PgStore::insertLimitChange(int64_t id, const LimitChange& change, const Limits* state, bool copied) {
  const Limits none;
  const Limits& after = state ? *state : none;
  auto bound = [](const std::optional<double>& b) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", b.value_or(0));
    return std::string(text);
  };
  Params p;
  p.number(id)
      .number(change.sensor ? static_cast<int64_t>(*change.sensor) : -1)
      .text(copied ? std::to_string(change.utc) : std::string())
      .text(change.who.host)
      .text(change.who.user);
  p.text(change.before).text(change.after).text(state ? "true" : "false");
  for (const QuantityLimits* q : {&after.temperature, &after.humidity})
    p.text(q->lower ? bound(q->lower) : "")
        .text(q->upper ? bound(q->upper) : "")
        .number(q->delay)
        .text(ruleName(q->rule));
  p.text(change.reason);
  // The reason goes with the row the function writes, in the same transaction.
  return runOk(
      "SELECT tarnwick.change_limits($1, $2, nullif($3, '')::bigint, $4, $5, $6, $7, $8, nullif($9, "
      "'')::double precision, nullif($10, '')::double precision, $11, $12, nullif($13, '')::double "
      "precision, nullif($14, '')::double precision, $15, $16, $17)",
      p);
}

bool PgStore::copyLimitChanges(const std::string& logger, const std::vector<LimitChange>& changes,
                               const std::vector<LimitsRow>& rows, int64_t& added, std::string& error) {
  added = 0;
  if (!alive(error)) return false;
  auto fail = [&] {
    if (error.empty()) error = message("the limits were not copied");
    rollback();
    added = 0;
    return false;
  };
  int64_t id = 0;
  std::vector<LimitChange> have;
  if (!applyWaitLimit() || !runOk("BEGIN") || !loggerId(logger, id)) return fail();
  if (!limitChanges(logger, have, error)) return fail();
  const std::map<int64_t, int64_t> newestHere = newestChanges(have), newestThere = newestChanges(changes);
  // Every change of a sensor copied here carries what is set after the copy, so the newest row of the
  // sensor says it whichever history its newest change came from.
  std::map<int64_t, std::optional<Limits>> state;
  for (const auto& [sensor, utc] : newestThere) {
    const auto here = newestHere.find(sensor);
    std::optional<Limits>& after = state[sensor];
    if (here != newestHere.end() && here->second >= utc) {
      bool valid = true;
      if (!currentLimits(logger, id, sensor, after, valid, error) || !valid) return fail();
    } else {
      for (const LimitsRow& row : rows)
        if ((row.sensor ? static_cast<int64_t>(*row.sensor) : -1) == sensor) after = row.limits;
    }
  }
  for (const LimitChange& change : changes) {
    if (std::find(have.begin(), have.end(), change) != have.end()) continue;
    const std::optional<Limits>& after = state[change.sensor ? static_cast<int64_t>(*change.sensor) : -1];
    if (!insertLimitChange(id, change, after ? &*after : nullptr, true)) return fail();
    have.push_back(change);
    ++added;
  }
  if (!runOk("COMMIT")) return fail();
  return true;
}

bool PgStore::firmwareSeen(const std::string& logger, std::vector<std::pair<int64_t, std::string>>& out,
                           std::string& error) {
  out.clear();
  if (!alive(error)) return false;
  Result r = run(
      "SELECT f.time, f.version FROM firmware_seen f JOIN loggers l ON l.id = f.logger WHERE l.serial = $1 "
      "ORDER BY f.id",
      Params().text(toServer(logger)));
  if (!ok(r)) {
    error = message("cannot read the firmware versions");
    return false;
  }
  for (int row = 0; row < PQntuples(r.get()); ++row)
    out.emplace_back(std::atoll(PQgetvalue(r.get(), row, 0)), PQgetvalue(r.get(), row, 1));
  return true;
}

bool PgStore::effectiveLimits(const std::string& logger, std::optional<uint16_t> sensor, Limits& out,
                              bool& set, std::string& error) {
  set = false;
  if (!alive(error)) return false;
  Result known = run("SELECT id FROM loggers WHERE serial = $1", Params().text(toServer(logger)));
  if (!ok(known)) {
    error = message("cannot read the limits");
    return false;
  }
  if (PQntuples(known.get()) == 0) return true;
  const int64_t id = std::atoll(PQgetvalue(known.get(), 0, 0));
  std::optional<Limits> found;
  bool valid = true;
  if (sensor && (!currentLimits(logger, id, *sensor, found, valid, error) || !valid)) return false;
  if (!found && (!currentLimits(logger, id, -1, found, valid, error) || !valid)) return false;
  if (found) {
    out = *found;
    set = true;
  }
  return true;
}

bool PgStore::limitRows(const std::string& logger, std::vector<LimitsRow>& out, std::string& error) {
  if (!alive(error)) return false;
  Result r =
      run((std::string("SELECT DISTINCT ON (c.sensor) c.sensor, c.is_set, ") + kLimitsColumns +
           " FROM limit_changes c JOIN loggers l ON l.id = c.logger WHERE l.serial = $1 ORDER BY c.sensor, "
           "c.id DESC")
              .c_str(),
          Params().text(toServer(logger)));
  if (!ok(r)) {
    error = message("cannot read the limits");
    return false;
  }
  for (int row = 0; row < PQntuples(r.get()); ++row) {
    if (PQgetvalue(r.get(), row, 1)[0] != 't') continue;
    const int64_t sensor = std::atoll(PQgetvalue(r.get(), row, 0));
    LimitsRow limits;
    std::string why;
    if (sensor < -1 || sensor > 0xFFFF) why = "no such sensor number";
    if (sensor >= 0 && why.empty()) limits.sensor = static_cast<uint16_t>(sensor);
    if (why.empty() &&
        (!readQuantity(r.get(), row, 2, limits.limits.temperature, why) ||
         !readQuantity(r.get(), row, 6, limits.limits.humidity, why)) &&
        why.empty())
      why = "not valid";
    if (!why.empty()) {
      out.clear();
      error = "History database " + location_ + ": the limits kept for " + logger + " " + sensorText(sensor) +
              " are not valid (" + why + ")";
      return false;
    }
    out.push_back(limits);
  }
  return true;
}

bool PgStore::limitChanges(const std::string& logger, std::vector<LimitChange>& out, std::string& error) {
  if (!alive(error)) return false;
  Result r =
      run("SELECT c.time, c.sensor, c.host_name, c.user_name, c.old_value, c.new_value, c.reason FROM "
          "limit_changes c JOIN loggers l ON l.id = c.logger WHERE l.serial = $1 ORDER BY c.id",
          Params().text(toServer(logger)));
  if (!ok(r)) {
    error = message("cannot read the changes of limits");
    return false;
  }
  for (int row = 0; row < PQntuples(r.get()); ++row) {
    LimitChange change;
    change.utc = std::atoll(PQgetvalue(r.get(), row, 0));
    const int64_t sensor = std::atoll(PQgetvalue(r.get(), row, 1));
    if (sensor >= 0 && sensor <= 0xFFFF) change.sensor = static_cast<uint16_t>(sensor);
    change.who = Computer{PQgetvalue(r.get(), row, 2), PQgetvalue(r.get(), row, 3)};
    change.before = PQgetvalue(r.get(), row, 4);
    change.after = PQgetvalue(r.get(), row, 5);
    change.reason = PQgetvalue(r.get(), row, 6);
    out.push_back(change);
  }
  return true;
}

bool PgStore::setLoggerLabel(const std::string& logger, const std::optional<std::string>& name,
                             const std::optional<std::string>& place, const Computer& who, int64_t utc,
                             std::string& error) {
  if (!alive(error)) return false;
  auto fail = [&] {
    error = message("the name and place were not stored");
    rollback();
    return false;
  };
  int64_t id = 0;
  if (!runOk("BEGIN") || !loggerId(logger, id)) return fail();
  Result last =
      run("SELECT name, place FROM label_changes WHERE logger = $1 ORDER BY time DESC, id DESC LIMIT 1",
          Params().number(id));
  if (!ok(last)) return fail();
  LoggerLabel before;
  if (PQntuples(last.get()) == 1)
    before = LoggerLabel{shownNote(PQgetvalue(last.get(), 0, 0), kMaxLabelLength),
                         shownNote(PQgetvalue(last.get(), 0, 1), kMaxLabelLength)};
  const LoggerLabel after{name.value_or(before.name), place.value_or(before.place)};
  if (after.name == before.name && after.place == before.place) {
    rollback();
    return true;
  }
  // The server's clock and the session's user; the before is the newest change's, as read here under
  // the logger's lock.
  (void)utc;
  if (!runOk("SELECT tarnwick.change_label($1, NULL, $2, $3, $4, $5, $6, $7)", Params()
                                                                                   .number(id)
                                                                                   .text(who.host)
                                                                                   .text(who.user)
                                                                                   .text(before.name)
                                                                                   .text(before.place)
                                                                                   .text(after.name)
                                                                                   .text(after.place)) ||
      !runOk("COMMIT"))
    return fail();
  return true;
}

bool PgStore::labelChanges(const std::string& logger, std::vector<LabelChange>& out, std::string& error) {
  if (!alive(error)) return false;
  Result r =
      run("SELECT c.time, c.host_name, c.user_name, c.old_name, c.old_place, c.name, c.place FROM "
          "label_changes c "
          "JOIN loggers l ON l.id = c.logger WHERE l.serial = $1 ORDER BY c.time, c.id",
          Params().text(toServer(logger)));
  if (!ok(r)) {
    error = message("cannot read the names and places");
    return false;
  }
  for (int row = 0; row < PQntuples(r.get()); ++row) {
    const auto at = [&](int column) { return std::string(PQgetvalue(r.get(), row, column)); };
    out.push_back(LabelChange{std::atoll(PQgetvalue(r.get(), row, 0)), Computer{at(1), at(2)},
                              LoggerLabel{at(3), at(4)}, LoggerLabel{at(5), at(6)}});
  }
  return true;
}

bool PgStore::copyLabelChange(const std::string& logger, const LabelChange& change, std::string& error) {
  if (!alive(error)) return false;
  int64_t id = 0;
  if (!runOk("BEGIN") || !loggerId(logger, id) ||
      !runOk("SELECT tarnwick.change_label($1, $2, $3, $4, $5, $6, $7, $8)", Params()
                                                                                 .number(id)
                                                                                 .number(change.utc)
                                                                                 .text(change.who.host)
                                                                                 .text(change.who.user)
                                                                                 .text(change.before.name)
                                                                                 .text(change.before.place)
                                                                                 .text(change.after.name)
                                                                                 .text(change.after.place)) ||
      !runOk("COMMIT")) {
    error = message("the name and place were not copied");
    rollback();
    return false;
  }
  return true;
}

bool PgStore::addExcursionComment(const std::string& logger, const ExcursionComment& comment,
                                  std::string& error) {
  if (!alive(error)) return false;
  int64_t id = 0;
  if (!runOk("BEGIN") || !loggerId(logger, id) ||
      !runOk("SELECT tarnwick.add_comment($1, $2, $3, $4, nullif($5, 0), $6, $7, $8, $9)",
             Params()
                 .number(id)
                 .number(comment.sensor)
                 .text(comment.quantity)
                 .number(comment.start)
                 .number(comment.utc)
                 .text(comment.who.host)
                 .text(comment.who.user)
                 .text(comment.cause)
                 .text(comment.action)) ||
      !runOk("COMMIT")) {
    error = message("the comment was not stored");
    rollback();
    return false;
  }
  return true;
}

bool PgStore::excursionComments(const std::string& logger, std::vector<ExcursionComment>& out,
                                std::string& error) {
  if (!alive(error)) return false;
  Result r =
      run("SELECT c.sensor, c.quantity, c.start, c.time, c.host_name, c.user_name, c.cause, c.action FROM "
          "excursion_comments c JOIN loggers l ON l.id = c.logger WHERE l.serial = $1 ORDER BY c.id",
          Params().text(toServer(logger)));
  if (!ok(r)) {
    error = message("cannot read the comments on excursions");
    return false;
  }
  for (int row = 0; row < PQntuples(r.get()); ++row) {
    const int64_t sensor = std::atoll(PQgetvalue(r.get(), row, 0));
    if (sensor < 0 || sensor > 0xFFFF) continue;
    ExcursionComment c;
    c.sensor = static_cast<uint16_t>(sensor);
    c.quantity = PQgetvalue(r.get(), row, 1);
    c.start = std::atoll(PQgetvalue(r.get(), row, 2));
    c.utc = std::atoll(PQgetvalue(r.get(), row, 3));
    c.who = Computer{PQgetvalue(r.get(), row, 4), PQgetvalue(r.get(), row, 5)};
    c.cause = PQgetvalue(r.get(), row, 6);
    c.action = PQgetvalue(r.get(), row, 7);
    out.push_back(std::move(c));
  }
  return true;
}

}  // namespace

namespace {

bool isSecret(const char* keyword) {
  return std::strcmp(keyword, "password") == 0 || std::strcmp(keyword, "sslpassword") == 0;
}

// A libpq message about a location, each quoted piece of it left out unless it is an option's name:
// a piece may be a password's.
std::string withoutQuoted(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '"') {
      out += text[i] == '\n' ? ' ' : text[i];
      continue;
    }
    const size_t end = text.find('"', i + 1);
    if (end == std::string::npos) break;
    const std::string piece = text.substr(i + 1, end - i - 1);
    const bool name =
        !piece.empty() && piece.size() <= 32 &&
        std::all_of(piece.begin(), piece.end(), [](char c) { return (c >= 'a' && c <= 'z') || c == '_'; });
    out += name ? "\"" + piece + "\"" : std::string("(left out)");
    i = end;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::unique_ptr<PgStore> connectServer(const std::string& location, std::string& error) {
  const std::string shown = shownLocation(location);
  const std::string problem = serverLocationProblem(location);
  if (!problem.empty()) {
    error = "History database " + shown + ": " + problem;
    return nullptr;
  }
  const char* keywords[] = {"dbname", "application_name", "connect_timeout", "client_encoding", nullptr};
  const char* values[] = {location.c_str(), "tarnwick", "10", "UTF8", nullptr};
  PGconn* connection = PQconnectdbParams(keywords, values, 1);
  if (connection == nullptr) {
    error = "History database " + shown + ": cannot connect (out of memory)";
    return nullptr;
  }
  auto store = std::make_unique<PgStore>(connection, shown);
  if (PQstatus(connection) != CONNECTION_OK) {
    std::string text = PQerrorMessage(connection);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    for (char& c : text)
      if (c == '\n' || c == '\t') c = ' ';
    error = "History database " + shown + ": cannot connect to the server (" + text + ")";
    return nullptr;
  }
  return store;
}

}  // namespace

bool locationHasPassword(const std::string& location) {
  char* failure = nullptr;
  PQconninfoOption* options = PQconninfoParse(location.c_str(), &failure);
  PQfreemem(failure);
  if (options == nullptr) return false;
  bool found = false;
  for (PQconninfoOption* o = options; o->keyword != nullptr; ++o)
    if (isSecret(o->keyword) && o->val != nullptr && o->val[0] != '\0') found = true;
  PQconninfoFree(options);
  return found;
}

bool isServerLocation(const std::string& location) {
  if (location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0) return true;
  // libpq's "key=value" form: a keyword libpq knows and '=', or several such pairs (a keyword a newer
  // libpq knows, a typo); a file's path has neither. Whether libpq can read the rest is for
  // serverLocationProblem to say: such a location is never a file.
  auto word = [&](size_t from, size_t& end) {
    end = from;
    while (end < location.size() &&
           (std::islower(static_cast<unsigned char>(location[end])) || location[end] == '_'))
      ++end;
    size_t j = end;
    while (j < location.size() && location[j] == ' ') ++j;
    return end > from && j < location.size() && location[j] == '=';
  };
  size_t end = 0;
  if (!word(0, end)) return false;
  bool known = false;
  if (PQconninfoOption* all = PQconninfoParse("", nullptr)) {
    for (PQconninfoOption* o = all; o->keyword != nullptr; ++o)
      known = known || (std::strlen(o->keyword) == end && location.compare(0, end, o->keyword) == 0);
    PQconninfoFree(all);
  }
  if (known) return true;
  for (size_t i = end; i < location.size(); ++i) {
    size_t next = 0;
    if (location[i] == ' ' && word(i + 1, next)) return true;
  }
  return false;
}

std::string serverLocationProblem(const std::string& location) {
  if (!isServerLocation(location)) return std::string();
  char* failure = nullptr;
  PQconninfoOption* options = PQconninfoParse(location.c_str(), &failure);
  std::string why = failure ? withoutQuoted(failure) : std::string("out of memory");
  PQfreemem(failure);
  if (options != nullptr) {
    PQconninfoFree(options);
    return std::string();
  }
  return "not a server location this Tarnwick can read (" + why + ")";
}

std::string shownLocation(const std::string& location) {
  if (!isServerLocation(location)) return location;
  PQconninfoOption* options = PQconninfoParse(location.c_str(), nullptr);
  if (options == nullptr) return "(a server location that cannot be read)";
  bool secret = false;
  for (PQconninfoOption* o = options; o->keyword != nullptr; ++o)
    secret = secret || (isSecret(o->keyword) && o->val != nullptr && o->val[0] != '\0');
  if (!secret) {
    PQconninfoFree(options);
    return location;
  }
  // Rebuilt from what libpq reads in it, the secrets left out.
  std::string shown;
  for (PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
    if (o->val == nullptr || o->val[0] == '\0' || isSecret(o->keyword)) continue;
    shown += (shown.empty() ? "" : " ") + std::string(o->keyword) + "=" + o->val;
  }
  PQconninfoFree(options);
  return shown + (shown.empty() ? "" : " ") + "password=(left out)";
}

bool validRoleName(const std::string& name) {
  if (name.empty() || name.size() > 63 ||
      !(std::islower(static_cast<unsigned char>(name[0])) || name[0] == '_'))
    return false;
  return std::all_of(name.begin(), name.end(),
                     [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'; });
}

std::unique_ptr<Backend> openServer(const std::string& location, std::string& error) {
  std::unique_ptr<PgStore> store = connectServer(location, error);
  if (store == nullptr || !store->prepare(error)) return nullptr;
  return store;
}

bool setUpServer(const std::string& location, const std::string& writer, const std::string& reviewer,
                 bool print, std::string& sql, std::string& error) {
  sql.clear();
  for (const std::string* role : {&writer, &reviewer})
    if (!validRoleName(*role) || *role == "tarnwick_owner" || *role == "public") {
      error = "\"" + *role +
              "\" is not a role name Tarnwick grants (a lower-case letter or '_', then "
              "lower-case letters, digits and '_', at most 63; not tarnwick_owner or public)";
      return false;
    }
  if (writer == reviewer) {
    error = "the writer and the reviewer role must differ: a reviewer may not write";
    return false;
  }
  std::unique_ptr<PgStore> store = connectServer(location, error);
  if (store == nullptr) return false;
  int64_t version = 0;
  bool legacy = false;
  if (!store->version(version, legacy, error)) return false;
  if (version > kSchemaVersion) {
    error = "History database " + shownLocation(location) + ": written by a newer Tarnwick (schema version " +
            std::to_string(version) + ", this one knows up to " + std::to_string(kSchemaVersion) +
            "); it is left as it is";
    return false;
  }
  sql = store->setupScript(version, legacy, writer, reviewer);
  return print || store->runScript(sql, error);
}

}  // namespace history
