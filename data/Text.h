// Text helpers of the link, the readers and the window: numbers as the logger and the service
// console write them, and the Windows-1252 code page that every text of the program is in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Text to integer as the service console reads it: decimal, "$" or "0x" for hexadecimal, 0 if invalid.
int32_t strToIntDef0(const std::string& text);
// Serial-number string to number: the characters from the fourth on, read as a signed 32-bit
// integer (decimal, or hexadecimal after "$" or "0x"; leading blanks skipped); 0 when invalid.
int32_t serialNumberFromString(const std::string& text);
// Leading decimal integer (leading blanks and a sign allowed); 0 when there are no digits.
int32_t leadingInt(const std::string& text);
// UTF-16 (little-endian code units) to Windows-1252; characters without a byte, and the C1 controls,
// become '?'.
std::string utf16ToAnsi(const uint16_t* chars, size_t count);

// UTF-8, the text of terminals, files and the C library's locales, and the one conversion between it
// and Windows-1252.
// The code points of UTF-8 text; a malformed or cut sequence becomes U+FFFD, one per byte skipped.
std::u32string decodeUtf8(const std::string& text);
// Appends the UTF-8 of one code point.
void appendUtf8(std::string& out, char32_t c);
std::string encodeUtf8(const std::u32string& text);
// UTF-8 of Windows-1252 bytes.
std::string utf8FromAnsi(const std::string& bytes);
// Windows-1252 of UTF-8 text: a character without a byte, and any malformed sequence, becomes '?'.
std::string ansiFromUtf8(const std::string& text);

// The Windows-1252 table, both directions.
namespace cp1252 {
// Every byte has a character; 0x80 to 0x9F are the Windows-1252 characters (the euro sign,
// typographic quotes, ...), not the Latin-1 control codes. The five unassigned bytes stay C1 codes.
char16_t toUnicode(unsigned char byte);
// The byte of a character, or '?' when Windows-1252 has none.
char fromUnicode(char32_t c);
}  // namespace cp1252
