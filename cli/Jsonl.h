// Measurement records as JSON lines: one object per record, named fields with their units.
#pragma once

#include <string>
#include <vector>

#include "data/Messwert.h"
#include "history/History.h"

namespace cli {

// {"time":"2026-03-02T04:40:06","sensor":1003,"humidity_rh":65.3,"temperature_c":16.9,
//  "ambient_temperature_c":17.1,"humidity_raw":37397,"temperature_raw":23765,"checksum_ok":true}
// The time is the logger's local time; a value that is not a number is null. Without a line end.
// With a logger (Windows-1252), a first key "logger" names it. With the import a kept record came
// from, a last key "source" says where: {"kind":"download","time":"2026-12-07T18:40:49Z","file":...,
// "device":"USB"} (device "virtual" for velmora-sim, "" when not known) or {"kind":"file","name":...,
// "time":...} for a record read from a CSV file (the time of that import, UTC).
std::string jsonLine(const messwert_tag& record, const messwert::TimeStamp& time, bool checksumOk,
                     const std::string* logger = nullptr, const history::DownloadRow* source = nullptr);
// One line per record that has a valid time stamp, in the order given, each ended by "\n".
std::string jsonLines(const std::vector<messwert_tag>& records);

}  // namespace cli
