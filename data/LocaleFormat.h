// The user's regional formats for the CSV export, read from the POSIX locale.
#pragma once

#include <string>

#include "data/RegionalFormat.h"

namespace posixlocale {

// What the C library says about a locale (LC_TIME and LC_NUMERIC), in UTF-8.
struct Locale {
  std::string dateFormat;      // D_FMT, e.g. "%d.%m.%Y"
  std::string timeFormat;      // T_FMT, e.g. "%H:%M:%S" or "%r"
  std::string timeFormatAmPm;  // T_FMT_AMPM, what "%r" stands for, e.g. "%I:%M:%S %p"
  std::string am, pm;          // AM_STR, PM_STR
  std::string radix;           // RADIXCHAR
};

// A strftime pattern as a Windows-style pattern (d, dd, M, MM, yy, yyyy, h, hh, H, HH, m, mm, s, ss,
// tt), both UTF-8; composite conversions (%D, %T, %R, %F, %r) are expanded, literal letters are
// quoted, and conversions without a numeric equivalent (weekday names, time zone) are left out.
std::string windowsPattern(const std::string& strftimePattern,
                           const std::string& ampmPattern = "%I:%M:%S %p");

// The export's format (Windows-1252) from the locale data; an empty date or time pattern falls back
// to the C locale's.
RegionalFormat regionalFormat(const Locale& locale);

#ifndef _WIN32
// Sets the process's locale from the environment (setlocale(LC_ALL, "")) and reads it; LC_NUMERIC is
// put back to "C" afterwards, since the link and data layers format numbers themselves. False when
// the environment names a locale this machine does not have (the C locale's data is read then).
// POSIX only: Windows keeps its regional settings in Windows-style patterns already.
bool readLocale(Locale& locale);
#endif

}  // namespace posixlocale
