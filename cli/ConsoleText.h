// Text of the link (Windows-1252 bytes) for a terminal or a file, and back.
#pragma once

#include <string>

namespace cli {

// UTF-8 of Windows-1252 bytes.
std::string utf8FromAnsi(const std::string& bytes);
// Windows-1252 of UTF-8 text: a character without a byte, and any malformed sequence, becomes '?'.
std::string ansiFromUtf8(const std::string& text);
// UTF-8 for a terminal line: control characters of the logger's bytes (escape sequences, line breaks)
// become '?', so that a logger cannot move the cursor or forge lines.
std::string printable(const std::string& ansi);

}  // namespace cli
