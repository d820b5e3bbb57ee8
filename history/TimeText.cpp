#include "history/TimeText.h"

#include <cstdio>

namespace history {

std::string utcOffsetText(int64_t offset) {
  // The magnitude as unsigned: negating the most negative offset would overflow.
  const uint64_t magnitude = offset < 0 ? 0 - static_cast<uint64_t>(offset) : static_cast<uint64_t>(offset);
  char text[48];
  std::snprintf(text, sizeof text, "%c%02llu:%02llu", offset < 0 ? '-' : '+',
                static_cast<unsigned long long>(magnitude / 3600),
                static_cast<unsigned long long>(magnitude / 60 % 60));
  return text;
}

std::string calendarText(int64_t seconds, char separator) {
  // Floor division without negating, so that the whole int64 range is safe.
  int64_t days = seconds / 86400;
  int64_t secondOfDay = seconds % 86400;
  if (secondOfDay < 0) {
    secondOfDay += 86400;
    --days;
  }
  // Civil date from days since 1970 (proleptic Gregorian).
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t mp = (5 * dayOfYear + 2) / 153;
  const int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yearOfEra + era * 400 + (month <= 2);
  char text[96];  // room for any year the arithmetic gives
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld%c%02lld:%02lld:%02lld", static_cast<long long>(year),
                static_cast<long long>(month), static_cast<long long>(day), separator,
                static_cast<long long>(secondOfDay / 3600), static_cast<long long>(secondOfDay / 60 % 60),
                static_cast<long long>(secondOfDay % 60));
  return text;
}

std::string isoWithOffset(int64_t clockTime, int64_t offset) {
  return calendarText(clockTime, 'T') + utcOffsetText(offset);
}

}  // namespace history
