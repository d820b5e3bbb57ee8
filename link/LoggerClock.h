// The clock text that "date.date" sets on the logger.
#pragma once

#include <string>

// "dd.mm.yyyy hh:mm:ss" with "." and ":" whatever the user's regional settings: the logger parses it.
std::string loggerClockText(int year, int month, int day, int hour, int minute, int second);
