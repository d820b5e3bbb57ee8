// The history on a PostgreSQL server, shared by several PCs and users.
//
// Readings are only ever inserted: a role with SELECT and INSERT is enough to download, and no
// reading is deleted. Where the local file deletes a worse copy of a record (a copy read from a CSV
// file that a download shows the same line of, a flagged record a clean one replaces), the server
// notes the worse copy in `superseded`, and every read leaves out what is noted there. Writers of one
// logger take turns (an advisory lock per logger, held to the end of the transaction), so what an
// import reads to decide is what it writes against; an import is one transaction. Loggers, sensors and
// copies from another history go in with INSERT ... ON CONFLICT DO NOTHING.
#include <libpq-fe.h>

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

#include "history/Backend.h"

namespace history {
namespace {

// The advisory locks' first key; the second is a logger's id, or 0 while the schema is created.
constexpr int kLockSpace = 0x5457;

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
    // 4: why limits were changed, the names and places people give loggers (the newest change of a
    // logger is what is set) and comments on excursions; rows are only ever added.
    "ALTER TABLE limit_changes ADD COLUMN reason text NOT NULL DEFAULT '';"
    "CREATE TABLE label_changes(id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY, logger bigint NOT NULL "
    "  REFERENCES loggers, time bigint NOT NULL, host_name text NOT NULL, user_name text NOT NULL,"
    "  old_name text NOT NULL, old_place text NOT NULL, name text NOT NULL, place text NOT NULL);"
    "CREATE INDEX label_changes_logger ON label_changes(logger, id);"
    "CREATE TABLE excursion_comments(id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY, logger bigint NOT "
    "  NULL REFERENCES loggers, sensor integer NOT NULL, quantity text NOT NULL, start bigint NOT NULL,"
    "  time bigint NOT NULL, host_name text NOT NULL, user_name text NOT NULL, cause text NOT NULL,"
    "  action text NOT NULL);"
    "CREATE INDEX excursion_comments_logger ON excursion_comments(logger, id);",
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

// A copy row's bytes in COPY's text form: "\\x" and hex.
void appendBytea(std::string& out, const uint8_t* bytes, size_t size) {
  static const char kHex[] = "0123456789abcdef";
  out += "\\\\x";
  for (size_t i = 0; i < size; ++i) {
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 15];
  }
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
    return "History database " + location_ + ": " + what + " (" + serverMessage() + ")";
  }
  Result run(const char* sql, const Params& params = Params(), int resultFormat = 0) {
    const std::vector<const char*> values = params.pointers();
    const std::vector<int> lengths = params.lengths();
    return Result(PQexecParams(conn_, sql, params.count(), nullptr, values.data(), lengths.data(),
                               params.formats(), resultFormat));
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
    return ok(Result(PQexec(conn_, "SET client_min_messages = warning; SET jit = off")));
  }
  // The session's staging tables, made when a write first needs them: a connection that reads, or
  // imports only new records, makes none (each costs the server a catalogue write when made and when
  // the session ends). Made inside a transaction that is rolled back, they go with it and are made again.
  bool staging() {
    return ok(Result(PQexec(
        conn_,
        "CREATE TEMPORARY TABLE IF NOT EXISTS incoming(logger bigint, time bigint, sensor integer, "
        "humidity_raw integer, temperature_raw integer, record bytea, checksum_error boolean, from_file "
        "boolean, download bigint) ON COMMIT DELETE ROWS; CREATE TEMPORARY TABLE IF NOT EXISTS "
        "incoming_superseded(logger bigint, time bigint, sensor integer, record bytea, from_file boolean, "
        "download bigint) ON COMMIT DELETE ROWS")));
  }
  bool schemaVersion(int64_t& version);
  // The limits set for a logger's id and sensor (-1: the logger's): `out` empty when none; `valid`
  // false with a message when the row is not.
  bool currentLimits(const std::string& logger, int64_t id, int64_t sensor, std::optional<Limits>& out,
                     bool& valid, std::string& error);
  bool loggerId(const std::string& serial, int64_t& id, int64_t* downloadId = nullptr);
  // One change of limits; `state` is what is set after it (null: none).
  bool insertLimitChange(int64_t id, const LimitChange& change, const Limits* state);
  bool copyIn(const char* sql, const std::string& rows);
  bool addSensors(int64_t logger, const std::vector<uint16_t>& sensors);

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
};

bool PgStore::schemaVersion(int64_t& version) {
  // Read from the catalogue as a table, so that a table another program has just created is seen.
  Result r = run(
      "SELECT CASE WHEN EXISTS (SELECT 1 FROM pg_catalog.pg_tables WHERE schemaname = current_schema() AND "
      "tablename = 'tarnwick_schema') THEN -1 ELSE 0 END");
  if (!ok(r) || PQntuples(r.get()) != 1) return false;
  version = std::atoll(PQgetvalue(r.get(), 0, 0));
  if (version == 0) return true;
  r = run("SELECT coalesce(max(version), 0) FROM tarnwick_schema");
  if (!ok(r) || PQntuples(r.get()) != 1) return false;
  version = std::atoll(PQgetvalue(r.get(), 0, 0));
  return true;
}

bool PgStore::prepare(std::string& error) {
  int64_t version = 0;
  if (!schemaVersion(version)) {
    error = message("cannot read its schema version");
    return false;
  }
  auto newer = [&] {
    error = "History database " + location_ + ": written by a newer Tarnwick (schema version " +
            std::to_string(version) + ", this one knows up to " + std::to_string(kSchemaVersion) +
            "); it is left as it is";
    return false;
  };
  if (version > kSchemaVersion) return newer();
  if (version < kSchemaVersion) {
    // One program creates or upgrades at a time; the others find the work done when their turn comes.
    if (!runOk("BEGIN") || !runOk("SELECT pg_advisory_xact_lock(" + std::to_string(kLockSpace) + ", 0)")) {
      error = message("cannot create or upgrade its tables");
      rollback();
      return false;
    }
    if (!schemaVersion(version)) {
      error = message("cannot read its schema version");
      rollback();
      return false;
    }
    if (version > kSchemaVersion) {
      rollback();
      return newer();
    }
    if (version == 0 &&
        !runOk("CREATE TABLE tarnwick_schema(version integer PRIMARY KEY, applied timestamptz "
               "NOT NULL DEFAULT now())")) {
      error = message("cannot create its tables");
      rollback();
      return false;
    }
    for (int64_t next = version + 1; next <= kSchemaVersion; ++next) {
      if (!ok(Result(PQexec(conn_, kMigrations[next - 1].c_str()))) ||
          !runOk("INSERT INTO tarnwick_schema(version) VALUES($1)", Params().number(next))) {
        error = message("cannot create or upgrade its tables to version " + std::to_string(next));
        rollback();
        return false;
      }
    }
    if (!runOk("COMMIT")) {
      error = message("cannot create or upgrade its tables");
      rollback();
      return false;
    }
  }
  if (!prepareSession()) {
    error = message("cannot set up the connection");
    return false;
  }
  return true;
}

bool PgStore::loggerId(const std::string& serial, int64_t& id, int64_t* downloadId) {
  // Writers of one logger take turns until their transactions end. A logger the history knows costs
  // one round trip (with the next download's number when asked for); a new one is added first.
  const std::string sql = std::string("SELECT id, pg_advisory_xact_lock($2, (id & 2147483647)::integer)") +
                          (downloadId ? ", nextval('download_ids')" : "") + " FROM loggers WHERE serial = $1";
  for (int attempt = 0; attempt < 2; ++attempt) {
    Result r = run(sql.c_str(), Params().text(serial).number(kLockSpace));
    if (!ok(r)) return false;
    if (PQntuples(r.get()) == 1) {
      id = std::atoll(PQgetvalue(r.get(), 0, 0));
      if (downloadId) *downloadId = std::atoll(PQgetvalue(r.get(), 0, 2));
      return true;
    }
    if (attempt == 0 &&
        !runOk("INSERT INTO loggers(serial) VALUES($1) ON CONFLICT DO NOTHING", Params().text(serial)))
      return false;
  }
  return false;
}

bool PgStore::copyIn(const char* sql, const std::string& rows) {
  Result start(PQexec(conn_, sql));
  if (!start || PQresultStatus(start.get()) != PGRES_COPY_IN) return false;
  if (PQputCopyData(conn_, rows.data(), static_cast<int>(rows.size())) != 1 ||
      PQputCopyEnd(conn_, nullptr) != 1)
    return false;
  bool good = true;
  while (Result r = Result(PQgetResult(conn_))) good = good && PQresultStatus(r.get()) == PGRES_COMMAND_OK;
  return good;
}

bool PgStore::addSensors(int64_t logger, const std::vector<uint16_t>& sensors) {
  if (sensors.empty()) return true;
  std::string array = "{";
  for (uint16_t s : sensors) array += (array.size() > 1 ? "," : "") + std::to_string(s);
  array += "}";
  return runOk("INSERT INTO sensors(logger, sensor) SELECT $1, unnest($2::integer[]) ON CONFLICT DO NOTHING",
               Params().number(logger).text(array));
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

  std::string inserts, supersedes;
  std::vector<bool> sensorSeen(65536, false);
  std::vector<uint16_t> newSensors;
  const std::string tail = "\t" + std::to_string(downloadId) + "\n";
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
    const std::string key = std::to_string(id) + "\t" + std::to_string(times[i]) + "\t" +
                            std::to_string(r.sensorSerialNumber) + "\t";
    // Whether this record is there already: shown, or (the same kind of copy) once replaced.
    auto present = [&] {
      for (const Kept& k : here)
        if (std::memcmp(k.bytes, mine.bytes, sizeof mine.bytes) == 0 && (k.visible || k.fromFile == fromFile))
          return true;
      return false;
    };
    bool insert = false;
    if (fromFile) {
      bool downloaded = false, sameAsDownloaded = false, sameAsFile = false;
      for (const Kept& k : here) {
        if (!k.visible) continue;
        const bool same = sameLine(k.record(), k.flagged, r, flagged);
        if (!k.fromFile) {
          downloaded = true;
          sameAsDownloaded = sameAsDownloaded || same;
        } else {
          sameAsFile = sameAsFile || same;
        }
      }
      if (downloaded) {
        if (!sameAsDownloaded) ++result.differing;
      } else if (!sameAsFile && !present()) {
        insert = true;
        ++result.added;
      }
    } else {
      // A damaged copy of a record kept clean (the same second, sensor and counts) is known.
      bool clean = false;
      for (const Kept& k : here) {
        if (!k.visible || !flagged || k.flagged || k.fromFile) continue;
        const messwert_tag old = k.record();
        clean = clean || (old.humidityRaw == r.humidityRaw && old.temperatureRaw == r.temperatureRaw);
      }
      if (clean) continue;
      bool replaced = false;
      for (Kept& k : here) {
        if (!k.visible || !(k.flagged || k.fromFile)) continue;
        const messwert_tag old = k.record();
        if (k.fromFile ? sameLine(old, k.flagged, r, flagged)
                       : k.flagged && !flagged && old.humidityRaw == r.humidityRaw &&
                             old.temperatureRaw == r.temperatureRaw) {
          k.visible = false;
          replaced = true;
          supersedes += key;
          appendBytea(supersedes, k.bytes, sizeof k.bytes);
          supersedes += k.fromFile ? "\tt" : "\tf";
          supersedes += tail;
        }
      }
      if (!present()) {
        insert = true;
        if (!replaced) ++result.added;
      }
    }
    if (insert) {
      here.push_back(mine);
      inserts += key + std::to_string(r.humidityRaw) + "\t" + std::to_string(r.temperatureRaw) + "\t";
      appendBytea(inserts, mine.bytes, sizeof mine.bytes);
      inserts += flagged ? "\tt" : "\tf";
      inserts += fromFile ? "\tt" : "\tf";
      inserts += tail;
    }
    if (!sensorSeen[r.sensorSerialNumber]) {
      sensorSeen[r.sensorSerialNumber] = true;
      newSensors.push_back(r.sensorSerialNumber);
    }
  }

  // Under the logger's lock the rows are known to be new: they go straight in (a row that is there after
  // all, from a writer that did not take the lock, fails the import as a whole).
  if (!inserts.empty() && !copyIn("COPY measurements FROM STDIN", inserts)) return fail();
  if (!supersedes.empty() &&
      (!staging() || !copyIn("COPY incoming_superseded FROM STDIN", supersedes) ||
       !runOk("INSERT INTO superseded SELECT * FROM incoming_superseded ON CONFLICT DO NOTHING")))
    return fail();
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  if (origin.clockZone && !runOk("INSERT INTO clock_zones(logger, time, zone, utc_offset, kind) "
                                 "VALUES($1, $2, $3, $4, $5)",
                                 Params()
                                     .number(id)
                                     .number(now)
                                     .text(origin.clockZone->name)
                                     .number(origin.clockZone->offset)
                                     .text(clockZoneKindName(ClockZoneKind::download))))
    return fail();
  if (!addSensors(id, newSensors) ||
      !runOk("INSERT INTO downloads(id, time, logger, file, records, added, from_file, device, differing, "
             "host_name, user_name, firmware) VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12)",
             Params()
                 .number(downloadId)
                 .number(now)
                 .number(id)
                 .text(file)
                 .number(result.records)
                 .number(result.added)
                 .text(fromFile ? "true" : "false")
                 .text(origin.device)
                 .number(result.differing)
                 .text(origin.computer.host)
                 .text(origin.computer.user)
                 .text(origin.firmware)) ||
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
  if (!runOk("BEGIN") || !loggerId(download.logger, id)) return fail();
  Params same;
  same.number(id)
      .number(download.when)
      .text(download.file)
      .text(download.device)
      .number(download.records)
      .number(download.added)
      .text(download.fromFile ? "true" : "false")
      .number(download.differing);
  Result found =
      run("SELECT id FROM downloads WHERE logger = $1 AND time = $2 AND file = $3 AND device = $4 AND "
          "records = $5 "
          "AND added = $6 AND from_file = $7 AND differing = $8 ORDER BY id LIMIT 1",
          same);
  if (!ok(found)) return fail();
  if (PQntuples(found.get()) == 1) {
    downloadId = std::atoll(PQgetvalue(found.get(), 0, 0));
  } else {
    Result r = run("SELECT nextval('download_ids')");
    if (!ok(r) || PQntuples(r.get()) != 1) return fail();
    downloadId = std::atoll(PQgetvalue(r.get(), 0, 0));
    if (!runOk(
            "INSERT INTO downloads(logger, time, file, device, records, added, from_file, differing, id, "
            "host_name, user_name, firmware) VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12)",
            Params(same).number(downloadId).text(download.host).text(download.user).text(download.firmware)))
      return fail();
  }
  std::string rows;
  std::vector<bool> sensorSeen(65536, false);
  std::vector<uint16_t> newSensors;
  for (const StoredRecord& s : records) {
    uint8_t bytes[messwert::kRecordSize];
    messwert::toBytes(s.record, bytes);
    rows += std::to_string(id) + "\t" + std::to_string(s.time) + "\t" +
            std::to_string(s.record.sensorSerialNumber) + "\t" + std::to_string(s.record.humidityRaw) + "\t" +
            std::to_string(s.record.temperatureRaw) + "\t";
    appendBytea(rows, bytes, sizeof bytes);
    rows += s.checksumError ? "\tt" : "\tf";
    rows += s.fromFile ? "\tt\t" : "\tf\t";
    rows += std::to_string(downloadId) + "\n";
    if (!sensorSeen[s.record.sensorSerialNumber]) {
      sensorSeen[s.record.sensorSerialNumber] = true;
      newSensors.push_back(s.record.sensorSerialNumber);
    }
  }
  if (!rows.empty()) {
    if (!staging() || !copyIn("COPY incoming FROM STDIN", rows)) return fail();
    // A record the history has in any form, byte for byte, is not added again.
    Result r = run(
        "INSERT INTO measurements SELECT i.* FROM incoming i WHERE NOT EXISTS (SELECT 1 FROM measurements m "
        "WHERE m.logger = i.logger AND m.time = i.time AND m.sensor = i.sensor AND m.record = i.record) "
        "ON CONFLICT DO NOTHING");
    if (!ok(r)) return fail();
    added = std::atoll(PQcmdTuples(r.get()));
  }
  if (!addSensors(id, newSensors) || !runOk("COMMIT")) return fail();
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
  char* quoted = PQescapeLiteral(conn_, q.logger.data(), q.logger.size());
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
  Result started(PQexec(conn_, sql.c_str()));
  if (!started || PQresultStatus(started.get()) != PGRES_COPY_OUT) {
    error = message("cannot read the measurements");
    return false;
  }
  // Ends the stream early: the server is asked to stop, and what is under way is read to its end.
  auto drain = [&] {
    if (PGcancel* cancel = PQgetCancel(conn_)) {
      char ignored[256];
      PQcancel(cancel, ignored, sizeof ignored);
      PQfreeCancel(cancel);
    }
    char* chunk = nullptr;
    while (PQgetCopyData(conn_, &chunk, 0) > 0) PQfreemem(chunk);
    while (Result(PQgetResult(conn_))) {
    }
  };
  auto damaged = [&](const char* what) {
    drain();
    error = "History database " + location_ + ": cannot read the measurements: " + what;
    return false;
  };
  static const char kSignature[] = "PGCOPY\n\377\r\n";
  constexpr size_t kHeader = 19;
  std::string pending;
  size_t at = 0;
  bool header = false, ended = false;
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
    pending.erase(0, at);
    at = 0;
    pending.append(chunk, static_cast<size_t>(n));
    PQfreemem(chunk);
    if (!header) {
      if (pending.size() < kHeader) continue;
      if (pending.compare(0, 11, kSignature, 11) != 0)
        return damaged("the server's stream is not as expected");
      const size_t extension = static_cast<size_t>(bigEndian(pending.data() + 15, 4));
      if (pending.size() < kHeader + extension) continue;
      at = kHeader + extension;
      header = true;
    }
    // Whole rows: a field count, then each field's length and bytes.
    while (!ended && pending.size() - at >= 2) {
      const int64_t fields = bigEndian(pending.data() + at, 2);
      if (fields == -1) {
        ended = true;
        break;
      }
      if (fields != 7) return damaged("the server's stream is not as expected");
      const char* field[7];
      int64_t length[7];
      size_t p = at + 2;
      bool whole = true;
      for (int f = 0; f < 7 && whole; ++f) {
        if (pending.size() - p < 4) {
          whole = false;
          break;
        }
        length[f] = bigEndian(pending.data() + p, 4);
        p += 4;
        if (length[f] < 0) length[f] = 0;
        if (pending.size() - p < static_cast<size_t>(length[f])) {
          whole = false;
          break;
        }
        field[f] = pending.data() + p;
        p += static_cast<size_t>(length[f]);
      }
      if (!whole) break;
      at = p;
      if (length[0] != 8 || length[1] != 4 || length[3] != 1 || length[4] != 8 || length[5] != 1)
        return damaged("the server's stream is not as expected");
      const uint16_t sensor = static_cast<uint16_t>(bigEndian(field[1], 4));
      if (!wanted.empty() && !wanted[sensor]) continue;
      if (length[2] != static_cast<int64_t>(messwert::kRecordSize))
        return damaged("a stored record is not 32 bytes");
      out.time = bigEndian(field[0], 8);
      out.record = messwert::fromBytes(reinterpret_cast<const uint8_t*>(field[2]));
      out.checksumError = *field[3] != 0;
      out.download = bigEndian(field[4], 8);
      out.fromFile = *field[5] != 0;
      if (all) out.logger.assign(field[6], static_cast<size_t>(length[6]));
      if (!visit(out)) {
        drain();
        return true;
      }
    }
  }
  bool good = true;
  while (Result r = Result(PQgetResult(conn_))) good = good && PQresultStatus(r.get()) == PGRES_COMMAND_OK;
  if (!good) {
    error = message("cannot read the measurements");
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
  for (int row = 0; row < PQntuples(r.get()); ++row) out.emplace_back(PQgetvalue(r.get(), row, 0));
  return true;
}

bool PgStore::sensors(const std::string& logger, std::vector<uint16_t>& out, std::string& error) {
  if (!alive(error)) return false;
  Result r =
      run("SELECT s.sensor FROM sensors s JOIN loggers l ON l.id = s.logger WHERE l.serial = $1 ORDER BY "
          "s.sensor",
          Params().text(logger));
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
          Params().text(logger));
  if (!ok(r)) {
    error = message("cannot read the downloads");
    return false;
  }
  PGresult* res = r.get();
  for (int row = 0; row < PQntuples(res); ++row) {
    out.push_back(DownloadRow{std::atoll(PQgetvalue(res, row, 0)), std::atoll(PQgetvalue(res, row, 1)),
                              PQgetvalue(res, row, 2), PQgetvalue(res, row, 3),
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
  int64_t id = 0;
  if (!runOk("BEGIN") || !loggerId(logger, id) ||
      !runOk("INSERT INTO clock_zones(logger, time, zone, utc_offset, kind) VALUES($1, $2, $3, $4, $5)",
             Params()
                 .number(id)
                 .number(utc)
                 .text(zone.name)
                 .number(zone.offset)
                 .text(clockZoneKindName(kind))) ||
      !runOk("COMMIT")) {
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
          Params().text(logger));
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
  int64_t id = 0;
  if (!runOk("BEGIN") || !loggerId(logger, id) ||
      !runOk("INSERT INTO firmware_seen(logger, time, version) VALUES($1, $2, $3)",
             Params().number(id).number(utc).text(version)) ||
      !runOk("COMMIT")) {
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
          Params().text(logger));
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
          Params().text(logger));
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
  return PQntuples(r.get()) == 1 ? PQgetvalue(r.get(), 0, 0) : std::string();
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
      best = PQgetvalue(list.get(), row, 1);
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
    s.logger = PQgetvalue(r.get(), row, 0);
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
                 Params().text(logger));
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
                 Params().text(logger));
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
          .text(q.logger)
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
  if (!runOk("BEGIN")) return fail();
  if (limits == nullptr) {  // nothing to clear for a logger never seen
    Result known = run("SELECT 1 FROM loggers WHERE serial = $1", Params().text(logger));
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
  if (beforeText == afterText) {
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
  if (!insertLimitChange(id, change, limits) || !runOk("COMMIT")) return fail();
  return true;
}

bool PgStore::insertLimitChange(int64_t id, const LimitChange& change, const Limits* state) {
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
      .number(change.utc)
      .text(change.who.host)
      .text(change.who.user);
  p.text(change.before).text(change.after).text(state ? "true" : "false");
  for (const QuantityLimits* q : {&after.temperature, &after.humidity})
    p.text(q->lower ? bound(q->lower) : "")
        .text(q->upper ? bound(q->upper) : "")
        .number(q->delay)
        .text(ruleName(q->rule));
  p.text(change.reason);
  return runOk(
      (std::string("INSERT INTO limit_changes(logger, sensor, time, host_name, user_name, old_value, "
                   "new_value, is_set, ") +
       kLimitsColumns +
       ", reason) VALUES($1, $2, $3, $4, $5, $6, $7, $8, nullif($9, '')::double precision, nullif($10, "
       "'')::double precision, $11, $12, nullif($13, '')::double precision, nullif($14, '')::double "
       "precision, $15, $16, $17)")
          .c_str(),
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
  if (!runOk("BEGIN") || !loggerId(logger, id)) return fail();
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
    if (!insertLimitChange(id, change, after ? &*after : nullptr)) return fail();
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
      Params().text(logger));
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
  Result known = run("SELECT id FROM loggers WHERE serial = $1", Params().text(logger));
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
          Params().text(logger));
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
          Params().text(logger));
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
  if (!runOk(
          "INSERT INTO label_changes(logger, time, host_name, user_name, old_name, old_place, name, place) "
          "VALUES($1, $2, $3, $4, $5, $6, $7, $8)",
          Params()
              .number(id)
              .number(utc)
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
          "JOIN loggers l ON l.id = c.logger WHERE l.serial = $1 ORDER BY c.id",
          Params().text(logger));
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
      !runOk(
          "INSERT INTO label_changes(logger, time, host_name, user_name, old_name, old_place, name, place) "
          "VALUES($1, $2, $3, $4, $5, $6, $7, $8)",
          Params()
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
      !runOk("INSERT INTO excursion_comments(logger, sensor, quantity, start, time, host_name, user_name, "
             "cause, action) VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9)",
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
          Params().text(logger));
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

bool locationHasPassword(const std::string& location) {
  char* failure = nullptr;
  PQconninfoOption* options = PQconninfoParse(location.c_str(), &failure);
  PQfreemem(failure);
  if (options == nullptr) return false;
  bool found = false;
  for (PQconninfoOption* o = options; o->keyword != nullptr; ++o)
    if (std::strcmp(o->keyword, "password") == 0 && o->val != nullptr && o->val[0] != '\0') found = true;
  PQconninfoFree(options);
  return found;
}

bool isServerLocation(const std::string& location) {
  if (location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0) return true;
  // libpq's "key=value" form starts with one of its keywords and '='; a file's path does not.
  size_t i = 0;
  while (i < location.size() && (std::islower(static_cast<unsigned char>(location[i])) || location[i] == '_'))
    ++i;
  size_t j = i;
  while (j < location.size() && location[j] == ' ') ++j;
  if (i == 0 || j == location.size() || location[j] != '=') return false;
  char* failure = nullptr;
  PQconninfoOption* options = PQconninfoParse(location.c_str(), &failure);
  PQfreemem(failure);
  const bool read = options != nullptr;
  PQconninfoFree(options);
  return read;
}

std::string shownLocation(const std::string& location) {
  if (!isServerLocation(location) || !locationHasPassword(location)) return location;
  // Rebuilt from what libpq reads in it, the password left out.
  PQconninfoOption* options = PQconninfoParse(location.c_str(), nullptr);
  std::string shown;
  for (PQconninfoOption* o = options; o != nullptr && o->keyword != nullptr; ++o) {
    if (o->val == nullptr || o->val[0] == '\0' || std::strcmp(o->keyword, "password") == 0) continue;
    shown += (shown.empty() ? "" : " ") + std::string(o->keyword) + "=" + o->val;
  }
  PQconninfoFree(options);
  return shown + (shown.empty() ? "" : " ") + "password=(left out)";
}

std::unique_ptr<Backend> openServer(const std::string& location, std::string& error) {
  const char* keywords[] = {"dbname", "application_name", "connect_timeout", nullptr};
  const char* values[] = {location.c_str(), "tarnwick", "10", nullptr};
  PGconn* connection = PQconnectdbParams(keywords, values, 1);
  if (connection == nullptr) {
    error = "History database " + location + ": cannot connect (out of memory)";
    return nullptr;
  }
  auto store = std::make_unique<PgStore>(connection, location);
  if (PQstatus(connection) != CONNECTION_OK) {
    std::string text = PQerrorMessage(connection);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    for (char& c : text)
      if (c == '\n' || c == '\t') c = ' ';
    error = "History database " + location + ": cannot connect to the server (" + text + ")";
    return nullptr;
  }
  if (!store->prepare(error)) return nullptr;
  return store;
}

}  // namespace history
