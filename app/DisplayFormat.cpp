#include "LocaleFormat.h"

#include "CodePage.h"
#include "data/LocaleFormat.h"

namespace localeformat {
namespace {

posixlocale::Locale toPosix(const PosixLocale& locale) {
  return {
      locale.dateFormat.toStdString(), locale.timeFormat.toStdString(), locale.timeFormatAmPm.toStdString(),
      locale.am.toStdString(),         locale.pm.toStdString(),         locale.radix.toStdString()};
}

}  // namespace

QString windowsPattern(const QString& strftimePattern, const QString& ampmPattern) {
  return QString::fromStdString(
      posixlocale::windowsPattern(strftimePattern.toStdString(), ampmPattern.toStdString()));
}

RegionalFormat regionalFormat(const PosixLocale& locale) {
  return posixlocale::regionalFormat(toPosix(locale));
}

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

PosixLocale readPosixLocale() {
  posixlocale::Locale read;
  posixlocale::readLocale(read);  // a locale the machine lacks leaves the C locale's data, as before
  PosixLocale locale;
  locale.dateFormat = QString::fromStdString(read.dateFormat);
  locale.timeFormat = QString::fromStdString(read.timeFormat);
  locale.timeFormatAmPm = QString::fromStdString(read.timeFormatAmPm);
  locale.am = QString::fromStdString(read.am);
  locale.pm = QString::fromStdString(read.pm);
  locale.radix = QString::fromStdString(read.radix);
  return locale;
}

}  // namespace localeformat
