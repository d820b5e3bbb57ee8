#include "history/ZoneSpans.h"

#include <cstdio>
#include <cstdlib>

#include "history/TimeText.h"

namespace history {

std::vector<ZoneSpan> zoneSpans(const std::vector<StoredRecord>& records, const ClockOffsets& clock,
                                size_t most) {
  std::vector<ZoneSpan> spans;
  for (const StoredRecord& r : records) {
    const Zone& zone = clock.at(r.time);
    if (spans.empty() || (spans.size() < most &&
                          (spans.back().zone.offset != zone.offset || spans.back().zone.name != zone.name))) {
      spans.push_back(ZoneSpan{zone, r.time, r.time});
      continue;
    }
    spans.back().last = r.time;
  }
  return spans;
}

std::string offsetText(int offset) {
  return "UTC" + utcOffsetText(offset);
}

}  // namespace history
