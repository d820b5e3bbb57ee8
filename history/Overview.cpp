// The history seen from above: a row per logger, and the lowest and highest values per column of a
// chart. Each is one statement the database computes, so a history of millions of readings answers
// without handing them out.
#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>

#include "history/Excursions.h"
#include "history/History.h"

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

// Per logger: its records (counted along the primary key, which starts with the logger), the first
// and last of them, and the newest download from the logger itself with the range it brought.
const char kSummaries[] =
    "SELECT l.serial, "
    "(SELECT count(*) FROM measurements m WHERE m.logger = l.id), "
    "(SELECT min(time) FROM measurements m WHERE m.logger = l.id), "
    "(SELECT max(time) FROM measurements m WHERE m.logger = l.id), "
    "d.id, d.time, d.device, d.first_time, d.last_time, d.host_name, d.user_name "
    "FROM loggers l LEFT JOIN downloads d ON d.id = "
    "(SELECT max(id) FROM downloads WHERE logger = l.id AND NOT from_file) "
    "ORDER BY l.serial";

// Per sensor and column. The column is an integer division, which SQL and envelopeColumn do alike;
// `NOT checksum_error` names the partial index's condition so that the index serves the query.
const char kEnvelope[] =
    "SELECT m.sensor, (m.time - ?2) * ?4 / (?3 - ?2 + 1) AS col, count(*), min(m.time), max(m.time), "
    "min(m.humidity), max(m.humidity), min(m.temperature), max(m.temperature), min(m.ambient), "
    "max(m.ambient) FROM measurements m INDEXED BY readings "
    "WHERE m.logger = (SELECT id FROM loggers WHERE serial = ?1) AND m.sensor = ?5 AND m.time BETWEEN ?2 AND "
    "?3 "
    "AND NOT m.checksum_error GROUP BY m.sensor, col ORDER BY m.sensor, col";

}  // namespace

int64_t LoggerSummary::daysSinceDownload(int64_t now) const {
  if (lastDownload == 0) return -1;
  const int64_t seconds = now - lastDownloadTime;
  return seconds <= 0 ? 0 : seconds / 86400;
}

int envelopeColumn(const EnvelopeQuery& q, int64_t time) {
  const int64_t from = std::clamp(q.from, -kEnvelopeTimeLimit, kEnvelopeTimeLimit);
  const int64_t to = std::clamp(q.to, -kEnvelopeTimeLimit, kEnvelopeTimeLimit);
  return static_cast<int>((time - from) * q.columns / (to - from + 1));
}

bool Store::loggerSummaries(std::vector<LoggerSummary>& out, std::string& error) {
  out.clear();
  if (!ensureOpen(error)) return false;
  Prepared s;
  int rc = sqlite3_prepare_v2(db_, kSummaries, -1, &s.st, nullptr);
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
  }
  return true;
}

bool Store::envelope(const EnvelopeQuery& q, std::vector<EnvelopeCell>& out, std::string& error) {
  out.clear();
  if (q.columns < 1 || q.columns > kMaxEnvelopeColumns) {
    error = "History: a chart of " + std::to_string(q.columns) + " columns cannot be drawn";
    return false;
  }
  const int64_t from = std::clamp(q.from, -kEnvelopeTimeLimit, kEnvelopeTimeLimit);
  const int64_t to = std::clamp(q.to, -kEnvelopeTimeLimit, kEnvelopeTimeLimit);
  if (to < from) return true;
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
  Prepared s;
  int rc = sqlite3_prepare_v2(db_, kEnvelope, -1, &s.st, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_bind_text(s.st, 1, q.logger.data(), static_cast<int>(q.logger.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(s.st, 2, from);
    sqlite3_bind_int64(s.st, 3, to);
    sqlite3_bind_int64(s.st, 4, q.columns);
  }
  for (size_t i = 0; rc == SQLITE_OK && i < wanted.size(); ++i) {
    sqlite3_reset(s.st);
    sqlite3_bind_int64(s.st, 5, wanted[i]);
    while ((rc = sqlite3_step(s.st)) == SQLITE_ROW) {
      EnvelopeCell cell;
      cell.sensor = static_cast<uint16_t>(sqlite3_column_int(s.st, 0));
      cell.column = sqlite3_column_int(s.st, 1);
      cell.readings = sqlite3_column_int64(s.st, 2);
      cell.first = sqlite3_column_int64(s.st, 3);
      cell.last = sqlite3_column_int64(s.st, 4);
      cell.humidityMin = columnValue(s.st, 5);
      cell.humidityMax = columnValue(s.st, 6);
      cell.temperatureMin = columnValue(s.st, 7);
      cell.temperatureMax = columnValue(s.st, 8);
      cell.ambientMin = columnValue(s.st, 9);
      cell.ambientMax = columnValue(s.st, 10);
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
