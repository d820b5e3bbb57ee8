// The regional format's date and time patterns (data/RegionalFormat.h) as Qt display formats, for the
// window's date and time controls and the measurements window.
#pragma once

#include <QString>
#include <string>

namespace localeformat {

// A Windows-style pattern (Windows-1252) as a Qt date/time display format: the field letters are
// the same, the AM/PM designator (t, tt) becomes AP.
QString qtDisplayFormat(const std::string& windowsPattern);

}  // namespace localeformat
