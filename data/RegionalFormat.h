// The user's regional formats that the CSV export follows, and the export's text formatting.
#pragma once

#include <string>

#include "data/Messwert.h"

// Patterns in the Windows style: d, dd, M, MM, yy, yyyy for dates; h, hh (12-hour), H, HH (24-hour),
// m, mm, s, ss, t, tt (AM/PM designator) for times; text in single quotes and any other character is
// copied as it is.
struct RegionalFormat {
  std::string shortDate;
  std::string longTime;
  char decimalSeparator;
  std::string amDesignator = "AM";
  std::string pmDesignator = "PM";

  static RegionalFormat german() { return {"dd.MM.yyyy", "HH:mm:ss", ',', "", ""}; }
  static RegionalFormat english() { return {"M/d/yyyy", "h:mm:ss tt", '.', "AM", "PM"}; }
};

// The formats the CSV export follows: set once by the program from the user's locale, by tests
// explicitly. German until set. Safe to call from any thread.
void setExportFormat(const RegionalFormat& format);
RegionalFormat exportFormat();

namespace csv {

// "Date;SensorSerialNumber;Humidity;Temperature;HumidityRaw;TemperatureRaw;AmbientTemperature;Comment"
extern const char kHeader[];
extern const char kChecksumComment[];  // "Check sum error"

// The date, and unless the time is 00:00:00, a blank and the time.
std::string formatDateTime(const messwert::TimeStamp& ts, const RegionalFormat& format);
// One decimal, half away from zero on the exact value, at most 8 significant digits, scientific past
// 8 integer digits, INF, -INF, NAN.
std::string formatValue(float value, char decimalSeparator);
// The CSV line of one record with a valid time stamp, CR LF included.
std::string formatLine(const messwert_tag& record, const messwert::TimeStamp& ts,
                       const RegionalFormat& format);

// The same texts appended to `out`: a whole file is formatted into one buffer without a string per
// field.
void appendDateTime(std::string& out, const messwert::TimeStamp& ts, const RegionalFormat& format);
void appendValue(std::string& out, float value, char decimalSeparator);
void appendLine(std::string& out, const messwert_tag& record, const messwert::TimeStamp& ts,
                const RegionalFormat& format);
// A line without its date: appendDateTime and appendFields make appendLine. The comment says
// "Check sum error" when the record's check sum fails, or when `checksumComment` says so.
void appendFields(std::string& out, const messwert_tag& record, char decimalSeparator);
void appendFields(std::string& out, const messwert_tag& record, char decimalSeparator, bool checksumComment);

}  // namespace csv
