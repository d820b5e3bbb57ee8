#include "data/RegionalFormat.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

namespace csv {

const char kHeader[] =
    "Date;SensorSerialNumber;Humidity;Temperature;HumidityRaw;TemperatureRaw;AmbientTemperature;Comment";
const char kChecksumComment[] = "Check sum error";

}  // namespace csv

namespace {

std::mutex& formatLock() {
  static std::mutex lock;
  return lock;
}
RegionalFormat& currentFormat() {
  static RegionalFormat format = RegionalFormat::german();
  return format;
}

// The exact decimal expansion of a finite, non-zero float: |value| = 0.d1 d2 d3 ... * 10^exponent,
// d1 not zero. A float is m * 2^e with m below 2^24, so the expansion is finite; it is formed with a
// small base-10^9 integer so that rounding later sees every digit of the true value.
struct ExactDecimal {
  std::string digits;
  int exponent;
};

constexpr uint64_t kLimbBase = 1000000000;

void multiply(std::vector<uint32_t>& limbs, uint32_t factor) {
  uint64_t carry = 0;
  for (uint32_t& limb : limbs) {
    uint64_t product = static_cast<uint64_t>(limb) * factor + carry;
    limb = static_cast<uint32_t>(product % kLimbBase);
    carry = product / kLimbBase;
  }
  while (carry != 0) {
    limbs.push_back(static_cast<uint32_t>(carry % kLimbBase));
    carry /= kLimbBase;
  }
}

// Multiplies by base^count, in steps of base^step that keep every product below 2^64.
void multiplyPower(std::vector<uint32_t>& limbs, uint32_t base, int step, int count) {
  uint32_t big = 1;
  for (int i = 0; i < step; ++i) big *= base;
  for (; count >= step; count -= step) multiply(limbs, big);
  uint32_t rest = 1;
  for (; count > 0; --count) rest *= base;
  if (rest != 1) multiply(limbs, rest);
}

ExactDecimal exactDecimal(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const uint32_t fraction = bits & 0x7FFFFF;
  const int biased = static_cast<int>((bits >> 23) & 0xFF);
  const uint32_t mantissa = biased == 0 ? fraction : (fraction | 0x800000);
  const int binaryExponent = (biased == 0 ? 1 : biased) - 150;

  std::vector<uint32_t> limbs{mantissa};  // below 2^24, one limb
  int decimalPlaces = 0;                  // the integer in limbs is the value times 10^decimalPlaces
  if (binaryExponent >= 0) {
    multiplyPower(limbs, 2, 29, binaryExponent);
  } else {
    // m / 2^k == m * 5^k / 10^k
    multiplyPower(limbs, 5, 13, -binaryExponent);
    decimalPlaces = -binaryExponent;
  }
  while (limbs.size() > 1 && limbs.back() == 0) limbs.pop_back();

  ExactDecimal out;
  out.digits = std::to_string(limbs.back());
  for (size_t i = limbs.size() - 1; i-- > 0;) {
    std::string part = std::to_string(limbs[i]);
    out.digits.append(9 - part.size(), '0');
    out.digits += part;
  }
  out.exponent = static_cast<int>(out.digits.size()) - decimalPlaces;
  return out;
}

// Rounds 0.digits * 10^exponent to a multiple of 10^unit, an exact half away from zero. Afterwards
// digits holds exactly exponent - unit digits (exponent grows by one on a carry out of the top
// digit), or is empty when the result is zero.
void roundAt(ExactDecimal& d, int unit) {
  const int keep = d.exponent - unit;
  if (keep < 0) {
    d.digits.clear();
    return;
  }
  const size_t n = static_cast<size_t>(keep);
  const bool up = n < d.digits.size() && d.digits[n] >= '5';
  d.digits.resize(n, '0');
  if (up) {
    size_t i = n;
    while (i > 0 && d.digits[i - 1] == '9') d.digits[--i] = '0';
    if (i > 0) {
      ++d.digits[i - 1];
    } else {
      d.digits.insert(d.digits.begin(), '1');  // 99.9 -> 100.0: one digit more, one place higher
      ++d.exponent;
    }
  }
  if (d.digits.find_first_not_of('0') == std::string::npos) d.digits.clear();
}

// The decimal digits of `value`, at least `width` of them with leading zeros, written at `p`;
// returns the end. Without the C library: the text must not depend on the locale, and this runs a
// few times per record.
char* putNumber(char* p, uint32_t value, int width = 1) {
  int digits = 1;
  for (uint32_t rest = value; rest >= 10; rest /= 10) ++digits;
  for (; width > digits; --width) *p++ = '0';
  char* const end = p + digits;
  char* d = end;
  do {
    *--d = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return end;
}

// Text appended to a string through a small buffer on the stack: one append per line instead of
// one per character or field.
class Buffer {
 public:
  static constexpr size_t kSize = 128;
  explicit Buffer(std::string& out) : out_(out) {}
  ~Buffer() { flush(); }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  void put(char c) {
    if (p_ == buffer_ + kSize) flush();
    *p_++ = c;
  }
  // Room for `size` (at most kSize) bytes; done() tells where the writing ended.
  char* room(size_t size) {
    if (static_cast<size_t>(buffer_ + kSize - p_) < size) flush();
    return p_;
  }
  void done(char* end) { p_ = end; }
  void flush() {
    out_.append(buffer_, p_);
    p_ = buffer_;
  }

 private:
  std::string& out_;
  char buffer_[kSize];
  char* p_ = buffer_;
};

bool isFieldLetter(char c) {
  switch (c) {
    case 'd':
    case 'M':
    case 'y':
    case 'h':
    case 'H':
    case 'm':
    case 's':
    case 't':
      return true;
    default:
      return false;
  }
}

// One date or time pattern in the Windows style.
void putPattern(Buffer& out, const std::string& pattern, const messwert::TimeStamp& ts,
                const RegionalFormat& format) {
  const size_t size = pattern.size();
  size_t i = 0;
  while (i < size) {
    const char c = pattern[i];
    if (c == '\'') {
      if (i + 1 < size && pattern[i + 1] == '\'') {  // '' is a quote
        out.put('\'');
        i += 2;
        continue;
      }
      for (++i; i < size; ++i) {
        if (pattern[i] == '\'') {
          if (i + 1 < size && pattern[i + 1] == '\'') {
            out.put('\'');
            ++i;
            continue;
          }
          ++i;
          break;
        }
        out.put(pattern[i]);
      }
      continue;
    }
    if (!isFieldLetter(c)) {
      if (c != '\0') out.put(c);  // a NUL in the pattern has never been written
      ++i;
      continue;
    }
    size_t run = 1;
    while (i + run < size && pattern[i + run] == c) ++run;
    i += run;
    if (c == 't') {
      const std::string& designator = ts.hour < 12 ? format.amDesignator : format.pmDesignator;
      const size_t length = run == 1 ? std::min<size_t>(designator.size(), 1) : designator.size();
      for (size_t k = 0; k < length; ++k) out.put(designator[k]);
      continue;
    }
    int value = 0;
    // Longer runs of d and M (day and month names) have no numeric form; they are shown as two digits.
    int digits = run >= 2 ? 2 : 1;
    switch (c) {
      case 'd':
        value = ts.day;
        break;
      case 'M':
        value = ts.month;
        break;
      case 'y':
        value = run <= 2 ? ts.year % 100 : ts.year;
        if (run > 2) digits = 4;
        break;
      case 'h':
        value = ts.hour % 12 == 0 ? 12 : ts.hour % 12;
        break;
      case 'H':
        value = ts.hour;
        break;
      case 'm':
        value = ts.minute;
        break;
      case 's':
        value = ts.second;
        break;
    }
    // Only checked time stamps come here; a negative value (none is) would be written as 0.
    out.done(putNumber(out.room(10), static_cast<uint32_t>(std::max(value, 0)), digits));
  }
}

void putDateTime(Buffer& out, const messwert::TimeStamp& ts, const RegionalFormat& format) {
  putPattern(out, format.shortDate, ts, format);
  if (ts.hour != 0 || ts.minute != 0 || ts.second != 0) {
    out.put(' ');
    putPattern(out, format.longTime, ts, format);
  }
}

// Room for one value: "-3,4028235E38" is the longest text.
constexpr size_t kValueRoom = 16;

// Values past eight integer digits: rounded to eight significant digits on the exact decimal
// expansion, trailing zeros dropped, e.g. 1,2345679E8. Rare enough (broken records) to be worked
// out digit by digit.
char* putScientific(char* p, float value, char decimalSeparator) {
  constexpr int kSignificantDigits = 8;
  ExactDecimal d = exactDecimal(value);
  roundAt(d, d.exponent - kSignificantDigits);
  if (value < 0) *p++ = '-';
  const size_t last = d.digits.find_last_not_of('0');  // d.digits holds 8 or 9 digits, not all 0
  *p++ = d.digits[0];
  if (last > 0) {
    *p++ = decimalSeparator;
    std::memcpy(p, d.digits.data() + 1, last);
    p += last;
  }
  *p++ = 'E';
  return putNumber(p, static_cast<uint32_t>(d.exponent - 1));
}

// A float is m * 2^e with an integer m below 2^24. Below 10^8 the rounded value is worked out exactly
// in 64-bit integers: tenths = round(m * 10 / 2^-e), half away from zero, the bits shifted out
// deciding the half. Writes at most kValueRoom bytes.
char* putValue(char* p, float value, char decimalSeparator) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const int biased = static_cast<int>((bits >> 23) & 0xFF);
  const uint32_t fraction = bits & 0x7FFFFF;
  const bool negative = (bits >> 31) != 0;
  if (biased == 0xFF) {
    const char* text = fraction != 0 ? "NAN" : negative ? "-INF" : "INF";
    const size_t size = std::strlen(text);
    std::memcpy(p, text, size);
    return p + size;
  }
  const uint64_t mantissa = biased == 0 ? fraction : (fraction | 0x800000);
  const int binaryExponent = (biased == 0 ? 1 : biased) - 150;

  constexpr uint64_t kScientificFrom = 100000000;  // nine integer digits
  uint64_t whole = 0;                              // the rounded value's integer part
  uint32_t tenth = 0;                              // and its decimal
  if (binaryExponent >= 0) {
    // An integer: m * 2^e, below 2^63 for e up to 39.
    if (binaryExponent > 39 || (mantissa << binaryExponent) >= kScientificFrom)
      return putScientific(p, value, decimalSeparator);
    whole = mantissa << binaryExponent;
  } else if (binaryExponent > -29) {
    // Below 2^23, seven integer digits at most: one decimal always fits the eight digits.
    // m * 10 is below 2^28, so from 29 binary places on ten times the value is below a half and the
    // value rounds to zero.
    const int shift = -binaryExponent;
    const uint64_t tenths = (mantissa * 10 + (uint64_t{1} << (shift - 1))) >> shift;
    whole = tenths / 10;
    tenth = static_cast<uint32_t>(tenths % 10);
  }
  if (negative && (whole != 0 || tenth != 0)) *p++ = '-';
  p = putNumber(p, static_cast<uint32_t>(whole));
  *p++ = decimalSeparator;
  *p++ = static_cast<char>('0' + tenth);
  return p;
}

// Everything of a line after its date, CR LF included.
void putFields(Buffer& out, const messwert_tag& record, char sep, bool comment) {
  // Seven separators, three counts of up to five digits, three values, the comment, CR LF.
  char* p = out.room(7 + 3 * 5 + 3 * kValueRoom + sizeof csv::kChecksumComment + 2);
  *p++ = ';';
  p = putNumber(p, record.sensorSerialNumber);
  *p++ = ';';
  p = putValue(p, record.humidity, sep);
  *p++ = ';';
  p = putValue(p, record.temperature, sep);
  *p++ = ';';
  p = putNumber(p, record.humidityRaw);
  *p++ = ';';
  p = putNumber(p, record.temperatureRaw);
  *p++ = ';';
  p = putValue(p, record.ambientTemperature, sep);
  *p++ = ';';
  if (comment) {
    std::memcpy(p, csv::kChecksumComment, sizeof csv::kChecksumComment - 1);
    p += sizeof csv::kChecksumComment - 1;
  }
  *p++ = '\r';
  *p++ = '\n';
  out.done(p);
}

}  // namespace

void setExportFormat(const RegionalFormat& format) {
  std::lock_guard<std::mutex> guard(formatLock());
  currentFormat() = format;
}

RegionalFormat exportFormat() {
  std::lock_guard<std::mutex> guard(formatLock());
  return currentFormat();
}

namespace csv {

void appendDateTime(std::string& out, const messwert::TimeStamp& ts, const RegionalFormat& format) {
  Buffer buffer(out);
  putDateTime(buffer, ts, format);
}

std::string formatDateTime(const messwert::TimeStamp& ts, const RegionalFormat& format) {
  std::string text;
  appendDateTime(text, ts, format);
  return text;
}

void appendValue(std::string& out, float value, char decimalSeparator) {
  char text[kValueRoom];
  out.append(text, putValue(text, value, decimalSeparator));
}

std::string formatValue(float value, char decimalSeparator) {
  std::string text;
  appendValue(text, value, decimalSeparator);
  return text;
}

void appendFields(std::string& out, const messwert_tag& record, char decimalSeparator) {
  appendFields(out, record, decimalSeparator, messwert::checksum(record) != 0);
}

void appendFields(std::string& out, const messwert_tag& record, char decimalSeparator, bool checksumComment) {
  Buffer buffer(out);
  putFields(buffer, record, decimalSeparator, checksumComment);
}

void appendLine(std::string& out, const messwert_tag& record, const messwert::TimeStamp& ts,
                const RegionalFormat& format) {
  Buffer buffer(out);
  putDateTime(buffer, ts, format);
  putFields(buffer, record, format.decimalSeparator, messwert::checksum(record) != 0);
}

std::string formatLine(const messwert_tag& record, const messwert::TimeStamp& ts,
                       const RegionalFormat& format) {
  std::string line;
  appendLine(line, record, ts, format);
  return line;
}

}  // namespace csv
