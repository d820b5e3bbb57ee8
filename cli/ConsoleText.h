// Text of the link (Windows-1252 bytes) for a terminal.
#pragma once

#include <string>

// The conversions between UTF-8 and Windows-1252 (utf8FromAnsi, ansiFromUtf8).
#include "data/Text.h"

namespace cli {

// UTF-8 for a terminal line: control characters of the logger's bytes (escape sequences, line breaks)
// become '?', so that a logger cannot move the cursor or forge lines.
std::string printable(const std::string& ansi);

}  // namespace cli
