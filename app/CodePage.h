// Conversion between the Windows-1252 byte strings of the link and data layers and Qt's strings,
// through the table in data/Text.h.
#pragma once

#include <QString>
#include <string>

namespace cp1252 {

// Every byte maps to one character; 0x80 to 0x9F are the Windows-1252 characters (the euro sign,
// typographic quotes, ...), not the Latin-1 control codes. The five unassigned bytes stay C1 codes.
QString toQString(const std::string& bytes);
// Characters without a Windows-1252 byte become '?', one per character (not per UTF-16 unit).
std::string fromQString(const QString& text);

}  // namespace cp1252
