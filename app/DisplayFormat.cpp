#include "DisplayFormat.h"

#include "CodePage.h"

namespace localeformat {

QString qtDisplayFormat(const std::string& windowsPattern) {
  QString pattern = cp1252::toQString(windowsPattern);
  QString out;
  bool quoted = false;
  for (qsizetype i = 0; i < pattern.size(); ++i) {
    QChar c = pattern[i];
    if (c == QLatin1Char('\'')) quoted = !quoted;
    if (!quoted && c == QLatin1Char('t')) {
      while (i + 1 < pattern.size() && pattern[i + 1] == QLatin1Char('t')) ++i;
      out += QStringLiteral("AP");
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace localeformat
