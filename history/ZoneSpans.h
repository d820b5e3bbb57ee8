// Which zone a logger's clock followed over a run of its readings: the stretches with one zone and
// offset, for a report or a spreadsheet that shows times with their offset.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "history/History.h"

namespace history {

struct ZoneSpan {
  Zone zone;
  int64_t first = 0, last = 0;  // clock times of the first and last reading under it
};

// In the readings' order; a new span wherever the zone's name or offset changes. At most `most`
// spans: the last one then runs to the end.
std::vector<ZoneSpan> zoneSpans(const std::vector<StoredRecord>& records, const ClockOffsets& clock,
                                size_t most = 16);

// "UTC+01:00", "UTC-03:30".
std::string offsetText(int offset);

}  // namespace history
