#include "LocaleFormat.h"

#include <langinfo.h>

#include <clocale>
#include <utility>

#include "CodePage.h"

namespace localeformat {
namespace {

// Letters that the Windows-style formatter would read as fields; literal text holding them is quoted.
bool needsQuotes(QChar c) {
  return c.isLetter() || c == QLatin1Char('\'');
}

// One conversion character (after '%' and any flag or E/O modifier). Month names have no numeric
// pattern and become the month number; weekday names, time zone etc. have nothing to show.
QString conversion(QChar c) {
  static const std::pair<char, const char*> kFields[] = {
      {'d', "dd"},       {'e', "d"},          {'m', "MM"},       {'b', "MM"},    {'B', "MM"}, {'h', "MM"},
      {'Y', "yyyy"},     {'G', "yyyy"},       {'y', "yy"},       {'g', "yy"},    {'H', "HH"}, {'k', "H"},
      {'I', "hh"},       {'l', "h"},          {'M', "mm"},       {'S', "ss"},    {'p', "tt"}, {'P', "tt"},
      {'D', "MM/dd/yy"}, {'F', "yyyy-MM-dd"}, {'T', "HH:mm:ss"}, {'R', "HH:mm"}, {'n', " "},  {'t', " "},
  };
  for (const auto& [letter, field] : kFields) {
    if (c == QLatin1Char(letter)) return QString::fromLatin1(field);
  }
  return QString();
}

QString convert(const QString& pattern, const QString& ampmPattern, int depth) {
  QString out;
  QString literal;
  auto flushLiteral = [&]() {
    if (literal.isEmpty()) return;
    bool quote = false;
    for (QChar c : literal) quote = quote || needsQuotes(c);
    if (quote) {
      QString text = literal;
      text.remove(QLatin1Char('\''));  // a quote cannot be written inside quoted text
      out += QLatin1Char('\'') + text + QLatin1Char('\'');
    } else {
      out += literal;
    }
    literal.clear();
  };
  for (qsizetype i = 0; i < pattern.size(); ++i) {
    QChar c = pattern[i];
    if (c != QLatin1Char('%') || i + 1 >= pattern.size()) {
      literal += c;
      continue;
    }
    ++i;
    // glibc flags (-, _, 0, ^, #) and width digits, then the E and O modifiers. "-" and "_" drop
    // the leading zero, which the single-letter Windows fields do as well.
    bool unpadded = false;
    while (i < pattern.size() && (QStringLiteral("-_0^#").contains(pattern[i]) || pattern[i].isDigit())) {
      unpadded = unpadded || pattern[i] == QLatin1Char('-') || pattern[i] == QLatin1Char('_');
      ++i;
    }
    while (i < pattern.size() && (pattern[i] == QLatin1Char('E') || pattern[i] == QLatin1Char('O'))) ++i;
    if (i >= pattern.size()) break;
    if (pattern[i] == QLatin1Char('%')) {
      literal += QLatin1Char('%');
      continue;
    }
    QString field;
    if (pattern[i] == QLatin1Char('r')) {
      // %r is the locale's 12-hour time; the depth guards against a locale whose %r names itself.
      field = depth < 2 ? convert(ampmPattern, QStringLiteral("%I:%M:%S %p"), depth + 1) : QString();
    } else {
      field = conversion(pattern[i]);
      if (unpadded && field.size() == 2 && field[0] == field[1]) field.truncate(1);
    }
    if (!field.isEmpty()) {
      flushLiteral();
      out += field;
    }
  }
  flushLiteral();
  return out.trimmed();
}

}  // namespace

QString windowsPattern(const QString& strftimePattern, const QString& ampmPattern) {
  return convert(strftimePattern, ampmPattern.isEmpty() ? QStringLiteral("%I:%M:%S %p") : ampmPattern, 0);
}

RegionalFormat regionalFormat(const PosixLocale& locale) {
  QString date = windowsPattern(locale.dateFormat, locale.timeFormatAmPm);
  QString time = windowsPattern(locale.timeFormat, locale.timeFormatAmPm);
  if (date.isEmpty()) date = windowsPattern(QStringLiteral("%m/%d/%y"));
  if (time.isEmpty()) time = windowsPattern(QStringLiteral("%H:%M:%S"));

  RegionalFormat format = RegionalFormat::english();
  format.shortDate = cp1252::fromQString(date);
  format.longTime = cp1252::fromQString(time);
  // The CSV file holds single bytes: a separator without one (Arabic decimal separator) falls back.
  std::string radix = cp1252::fromQString(locale.radix);
  format.decimalSeparator = radix.size() == 1 && radix[0] != '?' ? radix[0] : '.';
  format.amDesignator = cp1252::fromQString(locale.am);
  format.pmDesignator = cp1252::fromQString(locale.pm);
  return format;
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
  setlocale(LC_ALL, "");
  auto text = [](nl_item item) { return QString::fromLocal8Bit(nl_langinfo(item)); };
  PosixLocale locale;
  locale.dateFormat = text(D_FMT);
  locale.timeFormat = text(T_FMT);
  locale.timeFormatAmPm = text(T_FMT_AMPM);
  locale.am = text(AM_STR);
  locale.pm = text(PM_STR);
  locale.radix = text(RADIXCHAR);
  // Number formatting in the link and data layers must not follow the user's decimal separator;
  // they take it from the format explicitly.
  setlocale(LC_NUMERIC, "C");
  return locale;
}

}  // namespace localeformat
