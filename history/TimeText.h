// Times as text, the one way the report, the workbook and the command line write them.
#pragma once

#include <cstdint>
#include <string>

namespace history {

// An offset from UTC in seconds as "+01:00" or "-05:30" (whole minutes; the sign of zero is "+").
std::string utcOffsetText(int64_t offset);

// Seconds since 1970 on a clock's own calendar as "2026-03-02 04:40:06" (`separator` ' ') or
// "2026-03-02T04:40:06" ('T'); any value, including years before 1970 and after 9999.
std::string calendarText(int64_t seconds, char separator = ' ');

// A clock time with the offset of the zone the clock followed then: "2026-03-02T04:40:06+01:00" (the
// offset is always written, "Z" is not used).
std::string isoWithOffset(int64_t clockTime, int64_t offset);

}  // namespace history
