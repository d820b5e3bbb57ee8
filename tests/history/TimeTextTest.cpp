#include <gtest/gtest.h>

#include <ctime>
#include <limits>
#include <random>

#include "history/TimeText.h"

namespace {

// The calendar arithmetic agrees with the C library's over the years loggers and users give,
// including leap days, the turn of centuries and times before 1970.
TEST(TimeText, CalendarAgreesWithTheCLibrary) {
  std::mt19937_64 random(20260307);
  std::uniform_int_distribution<int64_t> seconds(-2208988800LL /* 1900 */, 7258118400LL /* 2200 */);
  std::vector<int64_t> samples{0, -1, 951782400 /* 2000-02-29 */, 4107542399 /* 2100-02-28 23:59:59 */};
  for (int i = 0; i < 20000; ++i) samples.push_back(seconds(random));
  for (const int64_t s : samples) {
    const std::time_t t = static_cast<std::time_t>(s);
    std::tm parts{};
    ASSERT_NE(gmtime_r(&t, &parts), nullptr);
    char expected[32];
    std::strftime(expected, sizeof expected, "%Y-%m-%dT%H:%M:%S", &parts);
    ASSERT_EQ(history::calendarText(s, 'T'), expected) << s;
  }
  EXPECT_EQ(history::calendarText(951782400), "2000-02-29 00:00:00");
}

TEST(TimeText, OffsetsAreSignedHoursAndMinutesForAnyValue) {
  EXPECT_EQ(history::isoWithOffset(1772426406, 3600), "2026-03-02T04:40:06+01:00");
  EXPECT_EQ(history::utcOffsetText(0), "+00:00");
  EXPECT_EQ(history::utcOffsetText(-19800), "-05:30");
  EXPECT_EQ(history::utcOffsetText(45 * 60), "+00:45");
  EXPECT_EQ(history::utcOffsetText(-45 * 60), "-00:45");
  // Values no zone has, as a damaged history may hold them: written, never a crash or a wrap.
  EXPECT_EQ(history::utcOffsetText(std::numeric_limits<int64_t>::min()).front(), '-');
  EXPECT_EQ(history::utcOffsetText(std::numeric_limits<int32_t>::min()), "-596523:14");
  EXPECT_FALSE(history::calendarText(std::numeric_limits<int64_t>::min()).empty());
  EXPECT_FALSE(history::calendarText(std::numeric_limits<int64_t>::max()).empty());
}

}  // namespace
