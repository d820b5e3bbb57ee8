#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

#include "data/RegionalFormat.h"

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

void appendPadded(std::string& out, int value, int width) {
  std::string text = std::to_string(value);
  if (static_cast<int>(text.size()) < width) out.append(width - text.size(), '0');
  out += text;
}

// One date or time pattern in the Windows style.
std::string applyPattern(const std::string& pattern, const messwert::TimeStamp& ts,
                         const RegionalFormat& format) {
  std::string out;
  size_t i = 0;
  while (i < pattern.size()) {
    const char c = pattern[i];
    if (c == '\'') {
      if (i + 1 < pattern.size() && pattern[i + 1] == '\'') {  // '' is a quote
        out += '\'';
        i += 2;
        continue;
      }
      for (++i; i < pattern.size(); ++i) {
        if (pattern[i] == '\'') {
          if (i + 1 < pattern.size() && pattern[i + 1] == '\'') {
            out += '\'';
            ++i;
            continue;
          }
          ++i;
          break;
        }
        out += pattern[i];
      }
      continue;
    }
    if (std::strchr("dMyhHmst", c) == nullptr) {
      out += c;
      ++i;
      continue;
    }
    size_t run = 1;
    while (i + run < pattern.size() && pattern[i + run] == c) ++run;
    i += run;
    // Longer runs of d and M (day and month names) have no numeric form; they are shown as two digits.
    const int width = run >= 2 ? 2 : 1;
    switch (c) {
      case 'd':
        appendPadded(out, ts.day, width);
        break;
      case 'M':
        appendPadded(out, ts.month, width);
        break;
      case 'y':
        if (run <= 2)
          appendPadded(out, ts.year % 100, width);
        else
          appendPadded(out, ts.year, 4);
        break;
      case 'h':
        appendPadded(out, ts.hour % 12 == 0 ? 12 : ts.hour % 12, width);
        break;
      case 'H':
        appendPadded(out, ts.hour, width);
        break;
      case 'm':
        appendPadded(out, ts.minute, width);
        break;
      case 's':
        appendPadded(out, ts.second, width);
        break;
      case 't': {
        const std::string& designator = ts.hour < 12 ? format.amDesignator : format.pmDesignator;
        out += run == 1 ? designator.substr(0, 1) : designator;
        break;
      }
    }
  }
  return out;
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

const char kHeader[] =
    "Date;SensorSerialNumber;Humidity;Temperature;HumidityRaw;TemperatureRaw;AmbientTemperature;Comment";
const char kChecksumComment[] = "Check sum error";

std::string formatDateTime(const messwert::TimeStamp& ts, const RegionalFormat& format) {
  std::string text = applyPattern(format.shortDate, ts, format);
  if (ts.hour != 0 || ts.minute != 0 || ts.second != 0) {
    text += ' ';
    text += applyPattern(format.longTime, ts, format);
  }
  return text;
}

std::string formatValue(float value, char decimalSeparator) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";

  constexpr int kSignificantDigits = 8;
  std::string out;
  if (value != 0) {
    ExactDecimal d = exactDecimal(value);
    // One decimal, but never more than 8 significant digits.
    roundAt(d, std::max(-1, d.exponent - kSignificantDigits));
    if (!d.digits.empty()) {
      if (value < 0) out += '-';
      if (d.exponent > kSignificantDigits) {
        const size_t last = d.digits.find_last_not_of('0');
        out += d.digits[0];
        if (last > 0) {
          out += decimalSeparator;
          out.append(d.digits, 1, last);
        }
        out += 'E';
        out += std::to_string(d.exponent - 1);
        return out;
      }
      const int digitCount = static_cast<int>(d.digits.size());
      if (d.exponent <= 0) out += '0';
      for (int i = 0; i < d.exponent; ++i) out += i < digitCount ? d.digits[i] : '0';
      out += decimalSeparator;
      out += d.exponent >= 0 && d.exponent < digitCount ? d.digits[d.exponent] : '0';
      return out;
    }
  }
  out += '0';
  out += decimalSeparator;
  out += '0';
  return out;
}

std::string formatLine(const messwert_tag& record, const messwert::TimeStamp& ts,
                       const RegionalFormat& format) {
  const char sep = format.decimalSeparator;
  std::string line = formatDateTime(ts, format);
  line += ';';
  line += std::to_string(record.sensorSerialNumber);
  line += ';';
  line += formatValue(record.humidity, sep);
  line += ';';
  line += formatValue(record.temperature, sep);
  line += ';';
  line += std::to_string(record.humidityRaw);
  line += ';';
  line += std::to_string(record.temperatureRaw);
  line += ';';
  line += formatValue(record.ambientTemperature, sep);
  line += ';';
  if (messwert::checksum(record) != 0) line += kChecksumComment;
  line += "\r\n";
  return line;
}

}  // namespace csv
