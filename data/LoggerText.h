// Text that a logger sent (serial numbers, answers, debug messages) on its way into a log line.
#pragma once

#include <string>

// The Windows-1252 text with every byte that is no printable character written as "\xNN" (two
// upper-case hex digits): the C0 controls, DEL, and the five bytes Windows-1252 leaves undefined
// (0x81, 0x8D, 0x8F, 0x90, 0x9D). The rest, 0x80 to 0x9F included, stays as it is. A line break in a
// serial number can then never start a line of its own, and an escape sequence never reaches a
// terminal that shows the log file. The backslash itself stays, so applying this twice changes nothing.
std::string loggerText(const std::string& text);
