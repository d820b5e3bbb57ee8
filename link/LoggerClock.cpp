#include "link/LoggerClock.h"

#include <cstdio>

std::string loggerClockText(int year, int month, int day, int hour, int minute, int second) {
  char text[64];
  std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d:%02d", day, month, year, hour, minute, second);
  return text;
}
