// The history seen from above: a row per logger, and the lowest and highest values per column of a
// chart. Each is one statement the database computes, so a history of millions of readings answers
// without handing them out.
#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>

#include "history/Backend.h"
#include "history/Excursions.h"
#include "history/History.h"
#include "history/ReadingHours.h"

namespace history {

namespace {

struct Prepared {
  sqlite3_stmt* st = nullptr;
  ~Prepared() { sqlite3_finalize(st); }
};

std::string columnText(sqlite3_stmt* st, int column) {
  const unsigned char* text = sqlite3_column_text(st, column);
  return text ? reinterpret_cast<const char*>(text) : "";
}

double columnValue(sqlite3_stmt* st, int column) {
  return sqlite3_column_type(st, column) == SQLITE_NULL ? std::numeric_limits<double>::quiet_NaN()
                                                        : sqlite3_column_double(st, column);
}

// A logger's records: the hours' counts of the clean ones, and the flagged ones counted over the index
// that holds only them and the ones read from files; a few thousand rows for years of readings.
#define TARNWICK_READING_COUNT                                                          \
  "(SELECT coalesce(sum(h.readings), 0) FROM reading_hours h WHERE h.logger = l.id) + " \
  "(SELECT count(*) FROM measurements m INDEXED BY replaceable WHERE m.logger = l.id AND m.checksum_error)"
const char kReadingCount[] = "SELECT " TARNWICK_READING_COUNT " FROM loggers l WHERE l.serial = ?1";

// Per logger: its records, the first and last of them (one step down the primary key each), and the
// newest download from the logger itself with the range it brought.
const char kSummaries[] = "SELECT l.serial, " TARNWICK_READING_COUNT
                          ", "
                          "(SELECT min(time) FROM measurements m WHERE m.logger = l.id), "
                          "(SELECT max(time) FROM measurements m WHERE m.logger = l.id), "
                          "d.id, d.time, d.device, d.first_time, d.last_time, d.host_name, d.user_name "
                          "FROM loggers l LEFT JOIN downloads d ON d.id = "
                          "(SELECT max(id) FROM downloads WHERE logger = l.id AND NOT from_file) "
                          "ORDER BY l.serial";
#undef TARNWICK_READING_COUNT

// Per sensor and column. The column is an integer division, which SQL and envelopeColumn do alike.
// Columns narrower than two hours read the readings, over the index of each sensor's readings in
// time order.
const char kEnvelope[] =
    "SELECT (m.time - ?2) * ?4 / (?3 - ?2 + 1) AS col, count(*), min(m.time), max(m.time), "
    "min(m.humidity), max(m.humidity), min(m.temperature), max(m.temperature), min(m.ambient), "
    "max(m.ambient) FROM measurements m INDEXED BY readings "
    "WHERE m.logger = (SELECT id FROM loggers WHERE serial = ?1) AND m.sensor = ?5 AND m.time BETWEEN ?2 AND "
    "?3 "
    "AND NOT m.checksum_error GROUP BY col ORDER BY col";
// Wider columns read the hours that lie whole in [from, to] (?6 to ?7) from reading_hours, each at its
// start, and the readings of the partial hours at the ends (before ?8, from ?9 on) themselves.
const char kEnvelopeByHours[] =
    "WITH parts(t, n, f, l, hmin, hmax, tmin, tmax, amin, amax) AS ("
    "SELECT time, 1, time, time, humidity, humidity, temperature, temperature, ambient, ambient "
    "FROM measurements INDEXED BY readings WHERE logger = (SELECT id FROM loggers WHERE serial = ?1) AND "
    "sensor = ?5 AND time >= ?2 AND time < ?8 AND NOT checksum_error "
    "UNION ALL SELECT time, 1, time, time, humidity, humidity, temperature, temperature, ambient, ambient "
    "FROM measurements INDEXED BY readings WHERE logger = (SELECT id FROM loggers WHERE serial = ?1) AND "
    "sensor = ?5 AND time >= ?9 AND time <= ?3 AND NOT checksum_error "
    "UNION ALL SELECT hour * 3600, readings, first_time, last_time, humidity_min, humidity_max, "
    "temperature_min, temperature_max, ambient_min, ambient_max FROM reading_hours WHERE logger = (SELECT id "
    "FROM loggers WHERE serial = ?1) AND sensor = ?5 AND hour BETWEEN ?6 AND ?7) "
    "SELECT (t - ?2) * ?4 / (?3 - ?2 + 1) AS col, sum(n), min(f), max(l), min(hmin), max(hmax), min(tmin), "
    "max(tmax), min(amin), max(amax) FROM parts GROUP BY col ORDER BY col";

constexpr int64_t kHour = 3600;

// The range and what it reads: by hours when a column is two hours or wider, then the whole hours
// inside it.
struct Plan {
  int64_t from, to;
  bool byHours = false;
  int64_t firstHour = 0, lastHour = -1;  // the whole hours inside [from, to]
};

Plan planOf(const EnvelopeQuery& q) {
  Plan p;
  p.from = std::clamp(q.from, -kEnvelopeTimeLimit, kEnvelopeTimeLimit);
  p.to = std::clamp(q.to, -kEnvelopeTimeLimit, kEnvelopeTimeLimit);
  if (q.columns < 1 || p.to < p.from) return p;
  p.byHours = (p.to - p.from + 1) / q.columns >= 2 * kHour;
  if (p.byHours) {
    p.firstHour = hourOf(p.from + kHour - 1);  // the first hour that starts at or after from
    p.lastHour = hourOf(p.to + 1) - 1;         // the last that ends at or before to
  }
  return p;
}

}  // namespace

int64_t hourOf(int64_t time) {
  return (time - (((time % kHour) + kHour) % kHour)) / kHour;
}
int64_t LoggerSummary::daysSinceDownload(int64_t now) const {
  if (lastDownload == 0) return -1;
  const int64_t seconds = now - lastDownloadTime;
  return seconds <= 0 ? 0 : seconds / 86400;
}

int envelopeColumn(const EnvelopeQuery& q, int64_t time) {
  const Plan p = planOf(q);
  const int64_t hour = hourOf(time);
  if (p.byHours && hour >= p.firstHour && hour <= p.lastHour) time = hour * kHour;
  return static_cast<int>((time - p.from) * q.columns / (p.to - p.from + 1));
}

bool Store::refreshReadingHours(int64_t loggerId, const std::set<std::pair<uint16_t, int64_t>>& hours,
                                int& code) {
  Prepared remove, insert;
  code = sqlite3_prepare_v2(db_, "DELETE FROM reading_hours WHERE logger = ?1 AND sensor = ?2 AND hour = ?3",
                            -1, &remove.st, nullptr);
  if (code == SQLITE_OK)
    code = sqlite3_prepare_v2(
        db_,
        "INSERT INTO reading_hours SELECT ?1, ?2, ?3, count(*), min(time), max(time), min(humidity), "
        "max(humidity), min(temperature), max(temperature), min(ambient), max(ambient) FROM measurements "
        "INDEXED BY readings WHERE logger = ?1 AND sensor = ?2 AND time BETWEEN ?3 * 3600 AND ?3 * 3600 + "
        "3599 "
        "AND NOT checksum_error HAVING count(*) > 0",
        -1, &insert.st, nullptr);
  for (auto it = hours.begin(); code == SQLITE_OK && it != hours.end(); ++it) {
    for (sqlite3_stmt* st : {remove.st, insert.st}) {
      sqlite3_bind_int64(st, 1, loggerId);
      sqlite3_bind_int64(st, 2, it->first);
      sqlite3_bind_int64(st, 3, it->second);
      code = sqlite3_step(st);
      sqlite3_reset(st);
      if (code != SQLITE_DONE) break;
      code = SQLITE_OK;
    }
  }
  return code == SQLITE_OK;
}

bool Store::addReadingHours(int64_t loggerId, const ReadingHourSums& added, int& code) {
  code = SQLITE_OK;
  if (!added.sums().empty()) {
    // SQLite's min() and max() of two values are NULL when either is: a side without the value keeps
    // the other's.
#define TARNWICK_MERGE(column, op) \
  column " = coalesce(" op "(" column ", excluded." column "), " column ", excluded." column ")"
    Prepared merge;
    code = sqlite3_prepare_v2(
        db_,
        "INSERT INTO reading_hours(logger, sensor, hour, readings, first_time, last_time, humidity_min, "
        "humidity_max, temperature_min, temperature_max, ambient_min, ambient_max) VALUES(?1, ?2, ?3, ?4, ?5, "
        "?6, ?7, ?8, ?9, ?10, ?11, ?12) ON CONFLICT(logger, sensor, hour) DO UPDATE SET readings = readings + "
        "excluded.readings, first_time = min(first_time, excluded.first_time), last_time = max(last_time, "
        "excluded.last_time), " TARNWICK_MERGE("humidity_min", "min") ", " TARNWICK_MERGE("humidity_max", "max")
        ", " TARNWICK_MERGE("temperature_min", "min") ", " TARNWICK_MERGE("temperature_max", "max") ", "
        TARNWICK_MERGE("ambient_min", "min") ", " TARNWICK_MERGE("ambient_max", "max"),
        -1, &merge.st, nullptr);
#undef TARNWICK_MERGE
    for (auto it = added.sums().begin(); code == SQLITE_OK && it != added.sums().end(); ++it) {
      if (added.recomputed().count(it->first) != 0) continue;
      const HourSum& h = it->second;
      sqlite3_bind_int64(merge.st, 1, loggerId);
      sqlite3_bind_int64(merge.st, 2, it->first.first);
      sqlite3_bind_int64(merge.st, 3, it->first.second);
      sqlite3_bind_int64(merge.st, 4, h.readings);
      sqlite3_bind_int64(merge.st, 5, h.firstTime);
      sqlite3_bind_int64(merge.st, 6, h.lastTime);
      for (int i = 0; i < 3; ++i) {
        for (int side = 0; side < 2; ++side) {
          const double v = side == 0 ? h.minimum[i] : h.maximum[i];
          if (std::isnan(v))
            sqlite3_bind_null(merge.st, 7 + 2 * i + side);
          else
            sqlite3_bind_double(merge.st, 7 + 2 * i + side, v);
        }
      }
      code = sqlite3_step(merge.st);
      sqlite3_reset(merge.st);
      code = code == SQLITE_DONE ? SQLITE_OK : code;
    }
  }
  return code == SQLITE_OK && refreshReadingHours(loggerId, added.recomputed(), code);
}

bool Store::loggerSummaries(std::vector<LoggerSummary>& out, std::string& error) {
  out.clear();
  if (!ensureOpen(error)) return false;
  Prepared s;
  int rc = SQLITE_DONE;
  if (server_ != nullptr) {
    if (!server_->summaryRows(out, error)) {
      out.clear();
      return false;
    }
  } else {
    rc = sqlite3_prepare_v2(db_, kSummaries, -1, &s.st, nullptr);
  }
  while (s.st != nullptr && (rc = sqlite3_step(s.st)) == SQLITE_ROW) {
    LoggerSummary row;
    row.logger = columnText(s.st, 0);
    row.readings = sqlite3_column_int64(s.st, 1);
    row.firstReading = sqlite3_column_int64(s.st, 2);
    row.lastReading = sqlite3_column_int64(s.st, 3);
    if (sqlite3_column_type(s.st, 4) != SQLITE_NULL) {
      row.lastDownload = sqlite3_column_int64(s.st, 4);
      row.lastDownloadTime = sqlite3_column_int64(s.st, 5);
      row.device = columnText(s.st, 6);
      row.rangeFirst = sqlite3_column_int64(s.st, 7);
      row.rangeLast = sqlite3_column_int64(s.st, 8);
      row.host = columnText(s.st, 9);
      row.user = columnText(s.st, 10);
    }
    out.push_back(std::move(row));
  }
  if (rc != SQLITE_DONE) {
    error = failure("cannot read the loggers", rc);
    out.clear();
    return false;
  }
  for (LoggerSummary& row : out) {
    if (!loggerLabel(row.logger, row.label, error)) {
      out.clear();
      return false;
    }
    row.firmware = firmwareLastSeen(row.logger);
    std::vector<uint16_t> sensorList;
    if (lastError_.empty()) sensorList = sensors(row.logger);
    if (!lastError_.empty()) {
      error = lastError_;
      out.clear();
      return false;
    }
    // A sensor's own limits, else the logger's.
    std::map<uint16_t, Limits> limits;
    for (uint16_t sensor : sensorList) {
      bool set = false;
      Limits found;
      if (!effectiveLimits(row.logger, sensor, found, set, error)) {
        out.clear();
        return false;
      }
      if (set && (found.temperature.limited() || found.humidity.limited())) {
        row.limitsSet = true;
        limits[sensor] = found;
      }
    }
    if (!row.limitsSet || row.lastDownload == 0 || row.rangeLast < row.rangeFirst ||
        (row.rangeFirst == 0 && row.rangeLast == 0))
      continue;
    ExcursionFinder finder([&](uint16_t sensor) {
      const auto it = limits.find(sensor);
      return it != limits.end() ? it->second : Limits{};
    });
    Query q;
    q.logger = row.logger;
    q.from = row.rangeFirst;
    q.to = row.rangeLast;
    if (!scan(
            q,
            [&](const StoredRecord& r) {
              finder.add(r);
              return true;
            },
            error)) {
      out.clear();
      return false;
    }
    const ExcursionResult result = finder.finish();
    row.excursions = static_cast<int64_t>(result.excursions.size());
    row.alarms = result.alarms();
    row.verdict = verdict(result);
    row.incomplete = verdictKind(result) == VerdictKind::incomplete;
  }
  return true;
}

bool Store::timeSpan(const std::string& logger, int64_t& first, int64_t& last, bool& found,
                     std::string& error) {
  found = false;
  if (!ensureOpen(error)) return false;
  if (server_ != nullptr) return server_->timeSpan(logger, first, last, found, error);
  Prepared s;
  // Each of min and max is one step down the primary key, which starts with the logger and time.
  int rc =
      sqlite3_prepare_v2(db_,
                         "SELECT (SELECT min(time) FROM measurements WHERE logger = l.id), (SELECT max(time) "
                         "FROM measurements WHERE logger = l.id) FROM loggers l WHERE l.serial = ?1",
                         -1, &s.st, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_bind_text(s.st, 1, logger.data(), static_cast<int>(logger.size()), SQLITE_TRANSIENT);
    rc = sqlite3_step(s.st);
  }
  if (rc == SQLITE_ROW) {
    found = sqlite3_column_type(s.st, 0) != SQLITE_NULL;
    first = sqlite3_column_int64(s.st, 0);
    last = sqlite3_column_int64(s.st, 1);
    return true;
  }
  if (rc == SQLITE_DONE) return true;
  error = failure("cannot read the measurements", rc);
  return false;
}

int64_t Store::readingCount(const std::string& logger, std::string& error) {
  if (!ensureOpen(error)) return -1;
  if (server_ != nullptr) return server_->readingCount(logger, error);
  Prepared s;
  int rc = sqlite3_prepare_v2(db_, kReadingCount, -1, &s.st, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_bind_text(s.st, 1, logger.data(), static_cast<int>(logger.size()), SQLITE_TRANSIENT);
    rc = sqlite3_step(s.st);
  }
  if (rc == SQLITE_ROW) return sqlite3_column_int64(s.st, 0);
  if (rc == SQLITE_DONE) return 0;
  error = failure("cannot read the measurements", rc);
  return -1;
}

bool Store::envelope(const EnvelopeQuery& q, std::vector<EnvelopeCell>& out, std::string& error) {
  out.clear();
  if (q.columns < 1 || q.columns > kMaxEnvelopeColumns) {
    error = "History: a chart of " + std::to_string(q.columns) + " columns cannot be drawn";
    return false;
  }
  const Plan plan = planOf(q);
  if (plan.to < plan.from) return true;
  if (!ensureOpen(error)) return false;
  std::vector<uint16_t> wanted = q.sensors;
  if (wanted.empty()) {
    wanted = sensors(q.logger);
    if (!lastError_.empty()) {
      error = lastError_;
      return false;
    }
  }
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  if (server_ != nullptr) {
    const bool hours = plan.byHours && plan.firstHour <= plan.lastHour;
    if (server_->envelope(q, plan.from, plan.to, hours ? plan.firstHour * kHour : 0,
                          hours ? (plan.lastHour + 1) * kHour : 0, wanted, out, error))
      return true;
    out.clear();
    return false;
  }
  Prepared s;
  int rc = sqlite3_prepare_v2(db_, plan.byHours ? kEnvelopeByHours : kEnvelope, -1, &s.st, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_bind_text(s.st, 1, q.logger.data(), static_cast<int>(q.logger.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(s.st, 2, plan.from);
    sqlite3_bind_int64(s.st, 3, plan.to);
    sqlite3_bind_int64(s.st, 4, q.columns);
    if (plan.byHours) {
      const bool whole = plan.firstHour <= plan.lastHour;
      sqlite3_bind_int64(s.st, 6, plan.firstHour);
      sqlite3_bind_int64(s.st, 7, plan.lastHour);
      // Without a whole hour inside, the readings of the range are all read as its head.
      sqlite3_bind_int64(s.st, 8, whole ? plan.firstHour * kHour : plan.to + 1);
      sqlite3_bind_int64(s.st, 9, whole ? (plan.lastHour + 1) * kHour : plan.to + 1);
    }
  }
  for (size_t i = 0; rc == SQLITE_OK && i < wanted.size(); ++i) {
    sqlite3_reset(s.st);
    sqlite3_bind_int64(s.st, 5, wanted[i]);
    while ((rc = sqlite3_step(s.st)) == SQLITE_ROW) {
      EnvelopeCell cell;
      cell.sensor = wanted[i];
      cell.column = sqlite3_column_int(s.st, 0);
      cell.readings = sqlite3_column_int64(s.st, 1);
      cell.first = sqlite3_column_int64(s.st, 2);
      cell.last = sqlite3_column_int64(s.st, 3);
      cell.humidityMin = columnValue(s.st, 4);
      cell.humidityMax = columnValue(s.st, 5);
      cell.temperatureMin = columnValue(s.st, 6);
      cell.temperatureMax = columnValue(s.st, 7);
      cell.ambientMin = columnValue(s.st, 8);
      cell.ambientMax = columnValue(s.st, 9);
      out.push_back(cell);
    }
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
  }
  if (rc != SQLITE_OK) {
    error = failure("cannot read the measurements", rc);
    out.clear();
    return false;
  }
  return true;
}

}  // namespace history
