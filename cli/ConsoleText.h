// Text of the link (Windows-1252 bytes) for a terminal.
#pragma once

#include <cstdio>
#include <string>

// The conversions between UTF-8 and Windows-1252 (utf8FromAnsi, ansiFromUtf8).
#include "data/Text.h"

namespace cli {

// UTF-8 for a terminal line: control characters of the logger's bytes (escape sequences, line breaks)
// become '?', so that a logger cannot move the cursor or forge lines.
std::string printable(const std::string& ansi);

// Writes the whole text past the stream's buffer with write(2): a reader that leaves the pipe full
// holds the writing thread in the kernel, not with the stream locked, so that the signal thread's
// exit (which a sanitizer makes flush the streams) is not held up by it. False when it could not.
bool writeAll(std::FILE* out, const std::string& bytes);

}  // namespace cli
