#include "data/LocaleFormat.h"

#ifndef _WIN32
#include <langinfo.h>
#endif

#include <clocale>
#include <utility>

#include "data/Text.h"

namespace posixlocale {
namespace {

using Text = std::u32string;

bool isSpace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Literal text holding a letter is quoted, so that the Windows-style formatter does not read it as a
// field. Beyond ASCII everything is quoted: quoted text is copied as it is, so that costs nothing.
bool needsQuotes(char32_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '\'' || (c >= 0x80 && !isSpace(c));
}

bool isDigit(char32_t c) {
  return c >= '0' && c <= '9';
}

// One conversion character (after '%' and any flag or E/O modifier). Month names have no numeric
// pattern and become the month number; weekday names, time zone etc. have nothing to show.
Text conversion(char32_t c) {
  static const std::pair<char, const char*> kFields[] = {
      {'d', "dd"},       {'e', "d"},          {'m', "MM"},       {'b', "MM"},    {'B', "MM"}, {'h', "MM"},
      {'Y', "yyyy"},     {'G', "yyyy"},       {'y', "yy"},       {'g', "yy"},    {'H', "HH"}, {'k', "H"},
      {'I', "hh"},       {'l', "h"},          {'M', "mm"},       {'S', "ss"},    {'p', "tt"}, {'P', "tt"},
      {'D', "MM/dd/yy"}, {'F', "yyyy-MM-dd"}, {'T', "HH:mm:ss"}, {'R', "HH:mm"}, {'n', " "},  {'t', " "},
  };
  for (const auto& [letter, field] : kFields) {
    if (c == static_cast<char32_t>(letter)) return Text(field, field + std::char_traits<char>::length(field));
  }
  return Text();
}

const Text kDefaultAmPm = U"%I:%M:%S %p";

Text convert(const Text& pattern, const Text& ampmPattern, int depth) {
  Text out;
  Text literal;
  auto flushLiteral = [&]() {
    if (literal.empty()) return;
    bool quote = false;
    for (char32_t c : literal) quote = quote || needsQuotes(c);
    if (quote) {
      Text text;
      for (char32_t c : literal) {
        if (c != U'\'') text.push_back(c);  // a quote cannot be written inside quoted text
      }
      out += U'\'' + text + U'\'';
    } else {
      out += literal;
    }
    literal.clear();
  };
  const Text flags = U"-_0^#";
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char32_t c = pattern[i];
    if (c != U'%' || i + 1 >= pattern.size()) {
      literal += c;
      continue;
    }
    ++i;
    // glibc flags (-, _, 0, ^, #) and width digits, then the E and O modifiers. "-" and "_" drop
    // the leading zero, which the single-letter Windows fields do as well.
    bool unpadded = false;
    while (i < pattern.size() && (flags.find(pattern[i]) != Text::npos || isDigit(pattern[i]))) {
      unpadded = unpadded || pattern[i] == U'-' || pattern[i] == U'_';
      ++i;
    }
    while (i < pattern.size() && (pattern[i] == U'E' || pattern[i] == U'O')) ++i;
    if (i >= pattern.size()) break;
    if (pattern[i] == U'%') {
      literal += U'%';
      continue;
    }
    Text field;
    if (pattern[i] == U'r') {
      // %r is the locale's 12-hour time; the depth guards against a locale whose %r names itself.
      field = depth < 2 ? convert(ampmPattern, kDefaultAmPm, depth + 1) : Text();
    } else {
      field = conversion(pattern[i]);
      if (unpadded && field.size() == 2 && field[0] == field[1]) field.resize(1);
    }
    if (!field.empty()) {
      flushLiteral();
      out += field;
    }
  }
  flushLiteral();
  size_t begin = 0, end = out.size();
  while (begin < end && isSpace(out[begin])) ++begin;
  while (end > begin && isSpace(out[end - 1])) --end;
  return out.substr(begin, end - begin);
}

}  // namespace

std::string windowsPattern(const std::string& strftimePattern, const std::string& ampmPattern) {
  const Text ampm = ampmPattern.empty() ? kDefaultAmPm : decodeUtf8(ampmPattern);
  return encodeUtf8(convert(decodeUtf8(strftimePattern), ampm, 0));
}

RegionalFormat regionalFormat(const Locale& locale) {
  std::string date = windowsPattern(locale.dateFormat, locale.timeFormatAmPm);
  std::string time = windowsPattern(locale.timeFormat, locale.timeFormatAmPm);
  if (date.empty()) date = windowsPattern("%m/%d/%y");
  if (time.empty()) time = windowsPattern("%H:%M:%S");

  RegionalFormat format = RegionalFormat::english();
  format.shortDate = ansiFromUtf8(date);
  format.longTime = ansiFromUtf8(time);
  // The CSV file holds single bytes: a separator without one (Arabic decimal separator) falls back.
  const std::string radix = ansiFromUtf8(locale.radix);
  format.decimalSeparator = radix.size() == 1 && radix[0] != '?' ? radix[0] : '.';
  format.amDesignator = ansiFromUtf8(locale.am);
  format.pmDesignator = ansiFromUtf8(locale.pm);
  return format;
}

#ifndef _WIN32
bool readLocale(Locale& locale) {
  const bool available = std::setlocale(LC_ALL, "") != nullptr;
  auto text = [](nl_item item) { return std::string(nl_langinfo(item)); };
  locale.dateFormat = text(D_FMT);
  locale.timeFormat = text(T_FMT);
  locale.timeFormatAmPm = text(T_FMT_AMPM);
  locale.am = text(AM_STR);
  locale.pm = text(PM_STR);
  locale.radix = text(RADIXCHAR);
  // Number formatting in the link and data layers must not follow the user's decimal separator;
  // they take it from the format explicitly.
  std::setlocale(LC_NUMERIC, "C");
  return available;
}
#endif

}  // namespace posixlocale
