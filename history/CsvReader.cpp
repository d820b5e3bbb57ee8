#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "data/RegionalFormat.h"
#include "history/History.h"

#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif
#ifndef O_NOCTTY
#define O_NOCTTY 0
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif
#ifndef O_BINARY
#define O_BINARY 0  // Windows: no CR LF translation, no end at Ctrl+Z
#endif

namespace history {

namespace {

constexpr size_t kShownLength = 60;  // of a line quoted in a message
constexpr size_t kFields = 8;

enum class Style { Unknown, German, English };

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// A number of `min` to `max` digits, no sign.
bool parseDigits(const std::string& s, size_t& pos, size_t min, size_t max, int& out) {
  size_t n = 0;
  int value = 0;
  while (pos + n < s.size() && n < max && isDigit(s[pos + n])) value = value * 10 + (s[pos + n++] - '0');
  if (n < min) return false;
  pos += n;
  out = value;
  return true;
}

bool expect(const std::string& s, size_t& pos, const char* text) {
  const size_t n = std::strlen(text);
  if (s.compare(pos, n, text) != 0) return false;
  pos += n;
  return true;
}

// "dd.MM.yyyy[ HH:mm:ss]" or "M/d/yyyy[ h:mm:ss AM|PM]"; the time is left out at midnight. The
// English form also comes as the C locale writes it, "MM/dd/yy[ HH:mm:ss]" (a two-digit year is one
// of 2000 to 2099: the logger keeps no earlier dates).
bool parseDateTime(const std::string& s, Style style, messwert_tag& r) {
  size_t pos = 0;
  int day, month, year, hour = 0, minute = 0, second = 0;
  if (style == Style::German) {
    if (!parseDigits(s, pos, 2, 2, day) || !expect(s, pos, ".") || !parseDigits(s, pos, 2, 2, month) ||
        !expect(s, pos, ".") || !parseDigits(s, pos, 4, 4, year))
      return false;
    if (pos < s.size() &&
        (!expect(s, pos, " ") || !parseDigits(s, pos, 2, 2, hour) || !expect(s, pos, ":") ||
         !parseDigits(s, pos, 2, 2, minute) || !expect(s, pos, ":") || !parseDigits(s, pos, 2, 2, second)))
      return false;
  } else {
    if (!parseDigits(s, pos, 1, 2, month) || !expect(s, pos, "/") || !parseDigits(s, pos, 1, 2, day) ||
        !expect(s, pos, "/"))
      return false;
    const size_t yearAt = pos;
    if (!parseDigits(s, pos, 2, 4, year) || pos - yearAt == 3) return false;
    if (pos - yearAt == 2) year += 2000;
    if (pos < s.size()) {
      if (!expect(s, pos, " ") || !parseDigits(s, pos, 1, 2, hour) || !expect(s, pos, ":") ||
          !parseDigits(s, pos, 2, 2, minute) || !expect(s, pos, ":") || !parseDigits(s, pos, 2, 2, second))
        return false;
      if (expect(s, pos, " AM")) {
        if (hour < 1 || hour > 12) return false;
        hour %= 12;
      } else if (expect(s, pos, " PM")) {
        if (hour < 1 || hour > 12) return false;
        hour = hour % 12 + 12;
      } else if (hour > 23) {
        return false;
      }
    }
  }
  if (pos != s.size()) return false;
  r.year = static_cast<uint16_t>(year);
  r.month = static_cast<uint8_t>(month);
  r.day = static_cast<uint8_t>(day);
  r.hour = static_cast<uint8_t>(hour);
  r.minute = static_cast<uint8_t>(minute);
  r.second = static_cast<uint8_t>(second);
  messwert::TimeStamp ts;
  std::string message;
  return messwert::timeStamp(r, ts, message);
}

bool parseCount(const std::string& s, uint16_t& out) {
  size_t pos = 0;
  int value;
  if (!parseDigits(s, pos, 1, 5, value) || pos != s.size() || value > 65535) return false;
  out = static_cast<uint16_t>(value);
  return true;
}

// A value as the export writes it: "-12,3", "1,5E9", "1E10", "NAN", "INF", "-INF".
bool parseValue(const std::string& s, char separator, float& out) {
  if (s == "NAN") {
    out = std::numeric_limits<float>::quiet_NaN();
    return true;
  }
  if (s == "INF" || s == "-INF") {
    out = s[0] == '-' ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
    return true;
  }
  if (s.empty() || s.size() > 24) return false;
  std::string text = s;
  size_t pos = text[0] == '-' ? 1 : 0;
  const size_t start = pos;
  while (pos < text.size() && isDigit(text[pos])) ++pos;
  const size_t integerDigits = pos - start;
  if (integerDigits == 0) return false;
  const size_t e = text.find('E');
  if (e == std::string::npos) {
    // Fixed: one decimal, exactly.
    if (pos + 2 != text.size() || text[pos] != separator || !isDigit(text[pos + 1])) return false;
  } else {
    // Scientific: one integer digit, optional fraction, a plain exponent.
    if (integerDigits != 1) return false;
    if (pos < e) {
      if (text[pos] != separator || pos + 1 == e) return false;
      for (size_t i = pos + 1; i < e; ++i)
        if (!isDigit(text[i])) return false;
    }
    if (e + 1 == text.size()) return false;
    for (size_t i = e + 1; i < text.size(); ++i)
      if (!isDigit(text[i])) return false;
  }
  if (pos < text.size() && text[pos] == separator) text[pos] = '.';
  double value;
  const auto parsed = std::from_chars(text.data(), text.data() + text.size(), value);
  if (parsed.ec != std::errc() || parsed.ptr != text.data() + text.size()) return false;
  out = static_cast<float>(value);  // beyond the float range: an infinity, as the value must have been
  return true;
}

// Parses one record line; on failure names the part that is wrong.
bool parseLine(const std::string& line, Style& style, messwert_tag& r, bool& flagged, const char*& wrong) {
  if (std::count(line.begin(), line.end(), ';') != kFields - 1) {
    wrong = "not 8 fields";
    return false;
  }
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t end; (end = line.find(';', start)) != std::string::npos; start = end + 1)
    fields.push_back(line.substr(start, end - start));
  fields.push_back(line.substr(start));
  if (style == Style::Unknown) {
    if (fields[0].find('/') != std::string::npos)
      style = Style::English;
    else if (fields[0].find('.') != std::string::npos)
      style = Style::German;
  }
  const char separator = style == Style::English ? '.' : ',';
  r = messwert_tag{};
  if (style == Style::Unknown || !parseDateTime(fields[0], style, r)) {
    wrong = "date and time";
    return false;
  }
  if (!parseCount(fields[1], r.sensorSerialNumber)) {
    wrong = "sensor serial number";
    return false;
  }
  if (!parseValue(fields[2], separator, r.humidity)) {
    wrong = "humidity";
    return false;
  }
  if (!parseValue(fields[3], separator, r.temperature)) {
    wrong = "temperature";
    return false;
  }
  if (!parseCount(fields[4], r.humidityRaw)) {
    wrong = "humidity raw count";
    return false;
  }
  if (!parseCount(fields[5], r.temperatureRaw)) {
    wrong = "temperature raw count";
    return false;
  }
  float ambient;  // the record's field is not aligned for a reference
  if (!parseValue(fields[6], separator, ambient)) {
    wrong = "ambient temperature";
    return false;
  }
  r.ambientTemperature = ambient;
  if (!fields[7].empty() && fields[7] != csv::kChecksumComment) {
    wrong = "comment";
    return false;
  }
  flagged = !fields[7].empty();
  return true;
}

// The line as a message may show it: printable ASCII, everything else as \xNN, cut short.
std::string shown(const std::string& line) {
  std::string out;
  for (size_t i = 0; i < line.size() && i < kShownLength; ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      static const char kHex[] = "0123456789ABCDEF";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  if (line.size() > kShownLength) out += "...";
  return out;
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

bool readCsvFile(const std::string& path, std::vector<messwert_tag>& records,
                 std::vector<bool>& checksumError, std::string& error) {
  records.clear();
  checksumError.clear();
  const std::string name = "\"" + path + "\"";
  // Not blocking: a FIFO or device in place of the file must not hang the reader.
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_BINARY));
  if (fd.get() < 0) {
    error = "Cannot open " + name + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    error = name + " is not a file";
    return false;
  }
  if (st.st_size > kMaxCsvFileSize) {
    error = name + " is larger than " + std::to_string(kMaxCsvFileSize >> 20) +
            " MB: not a measurement file of Tarnwick";
    return false;
  }

  Style style = Style::Unknown;
  size_t lineNumber = 0;
  std::string line;
  bool afterEmpty = false;  // empty lines are taken only at the end of the file
  int64_t total = 0;
  auto refuse = [&](const std::string& why) {
    error = name + " line " + std::to_string(lineNumber) + " cannot be read (" + why + "): \"" + shown(line) +
            "\"";
    records.clear();
    checksumError.clear();
    return false;
  };
  // One complete line (CR LF or LF taken off).
  auto take = [&]() {
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (lineNumber == 1) return line == csv::kHeader ? true : refuse("not the header of a measurement file");
    if (line.empty()) {
      afterEmpty = true;
      return true;
    }
    if (afterEmpty) return refuse("after an empty line");
    messwert_tag r;
    bool flagged = false;
    const char* wrong = "";
    if (!parseLine(line, style, r, flagged, wrong)) return refuse(wrong);
    records.push_back(r);
    checksumError.push_back(flagged);
    return true;
  };

  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = "Cannot read " + name + ": " + std::strerror(errno);
      records.clear();
      checksumError.clear();
      return false;
    }
    if (n == 0) break;
    total += n;
    if (total > kMaxCsvFileSize) {
      error = name + " is larger than " + std::to_string(kMaxCsvFileSize >> 20) +
              " MB: not a measurement file of Tarnwick";
      records.clear();
      checksumError.clear();
      return false;
    }
    const char* p = buffer;
    const char* end = buffer + n;
    while (p < end) {
      const char* newline = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
      const char* stop = newline ? newline : end;
      line.append(p, static_cast<size_t>(stop - p));
      if (line.size() > kMaxCsvLineLength + 1) {  // +1: the CR
        ++lineNumber;
        return refuse("longer than " + std::to_string(kMaxCsvLineLength) + " bytes");
      }
      p = stop;
      if (newline) {
        ++p;
        if (!take()) return false;
        line.clear();
      }
    }
  }
  if (!line.empty() && !take()) return false;
  if (lineNumber == 0) {
    lineNumber = 1;
    return refuse("the file is empty");
  }
  return true;
}

}  // namespace history
