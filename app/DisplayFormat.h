// The user's regional formats for the CSV export, read from the POSIX locale: the window's QString
// face of data/LocaleFormat.h, which tarnwick-cli uses as well, and the clock display's format.
#pragma once

#include <QString>

#include "data/RegionalFormat.h"

namespace localeformat {

// What the C library says about the user's locale (LC_TIME and LC_NUMERIC), already decoded.
struct PosixLocale {
  QString dateFormat;      // D_FMT, e.g. "%d.%m.%Y"
  QString timeFormat;      // T_FMT, e.g. "%H:%M:%S" or "%r"
  QString timeFormatAmPm;  // T_FMT_AMPM, what "%r" stands for, e.g. "%I:%M:%S %p"
  QString am, pm;          // AM_STR, PM_STR
  QString radix;           // RADIXCHAR
};

// A strftime pattern as a Windows-style pattern (d, dd, M, MM, yy, yyyy, h, hh, H, HH, m, mm, s, ss,
// tt); composite conversions (%D, %T, %R, %F, %r) are expanded, literal letters are quoted, and
// conversions without a numeric equivalent (weekday names, time zone) are left out.
QString windowsPattern(const QString& strftimePattern,
                       const QString& ampmPattern = QStringLiteral("%I:%M:%S %p"));

// The export's format from the locale data; an empty date or time pattern falls back to the C locale's.
RegionalFormat regionalFormat(const PosixLocale& locale);

// A Windows-style pattern (Windows-1252) as a Qt date/time display format: the field letters are
// the same, the AM/PM designator (t, tt) becomes AP.
QString qtDisplayFormat(const std::string& windowsPattern);

// Reads the process's locale as set from the environment (setlocale(LC_ALL, "")).
PosixLocale readPosixLocale();

}  // namespace localeformat
