// The records a measurements window shows, prepared once (off the GUI thread) and then only read: the
// records in time order, and per sensor the chart's series. Also the window's text forms of times and
// values, and the CSV lines of records in the download's format.
#pragma once

#include <QString>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ChartSeries.h"
#include "data/RegionalFormat.h"
#include "history/History.h"

struct SensorSeries {
  uint16_t sensor = 0;
  // The records without a checksum error: a damaged record's values are not measurements.
  chart::Series humidity, temperature, ambient, dewPoint;
};

// What the window keeps of a stored record: the logger is the same for all of them.
struct MeasurementRecord {
  int64_t time;  // seconds since 1970, the record's calendar time taken as UTC
  messwert_tag record;
  bool checksumError;
  bool fromFile = false;  // read from a CSV file, not downloaded from the logger
  int64_t download = 0;   // the history's import it is kept from (0: an opened file, not in the history)
};

struct MeasurementData {
  QString title;  // the logger's serial number, or the name of the file the records came from
  std::vector<MeasurementRecord> records;  // in time order, then the logger's tick
  std::vector<SensorSeries> sensors;       // in sensor order
  int64_t first = 0, last = 0;             // times of the first and last record
  // A logger with more records than the window keeps in memory: none are loaded (records is empty,
  // the sensors' series too) and the chart draws the history's lowest and highest per column.
  bool overview = false;
  int64_t readings = 0;  // with overview: the logger's records in the history
  // Where the records came from, by MeasurementRecord::download: "Download 07.12.2026 18:40 UTC, USB"
  // or "File VLM12345.csv"; records of an opened file not in the history are the title's file.
  std::map<int64_t, QString> sources;
  QString sourceOf(const MeasurementRecord& record) const;
};

// The text of an import of the history as the window and the report name it.
QString sourceText(const history::DownloadRow& row);

// Sorts `records` by time and tick (stable) and builds the series.
std::shared_ptr<const MeasurementData> prepareMeasurements(const QString& title,
                                                           std::vector<MeasurementRecord> records);

namespace measurementtext {
// A record's time (seconds since 1970, the logger's calendar time) in the export's regional format,
// always with the time of day.
QString time(int64_t seconds);
// A value with one decimal in the export's regional format ("NAN" and "INF" as in the CSV).
QString value(double value);
// A statistic with `decimals` decimals and the export's decimal separator; "–" when there is none.
QString number(double value, int decimals);
// A whole number grouped by threes with the separator that cannot be taken for the decimal one.
QString count(int64_t n);
}  // namespace measurementtext
