#include "data/Messwert.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace messwert {

const char kTimeMessage[] = "Ung\xFCltiges Argument zum Codieren der Uhrzeit";
const char kDateMessage[] = "Ung\xFCltiges Argument zum Codieren des Datums";

namespace {

// The logger's byte order is little-endian whatever the host's; read and write it byte by byte.
uint16_t getU16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t getU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
float getF32(const uint8_t* p) {
  uint32_t bits = getU32(p);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}
void putU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void putU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void putF32(uint8_t* p, float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  putU32(p, bits);
}

bool isLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

messwert_tag fromBytes(const uint8_t* b) {
  messwert_tag r;
  r.tick = b[0];
  r.second = b[1];
  r.minute = b[2];
  r.hour = b[3];
  r.day = b[4];
  r.month = b[5];
  r.year = getU16(b + 6);
  r.humidity = getF32(b + 8);
  r.temperature = getF32(b + 12);
  r.sensorSerialNumber = getU16(b + 16);
  r.humidityRaw = getU16(b + 18);
  r.temperatureRaw = getU16(b + 20);
  r.ambientTemperature = getF32(b + 22);
  std::memcpy(r.reserved, b + 26, sizeof r.reserved);
  return r;
}

void toBytes(const messwert_tag& r, uint8_t* b) {
  b[0] = r.tick;
  b[1] = r.second;
  b[2] = r.minute;
  b[3] = r.hour;
  b[4] = r.day;
  b[5] = r.month;
  putU16(b + 6, r.year);
  putF32(b + 8, r.humidity);
  putF32(b + 12, r.temperature);
  putU16(b + 16, r.sensorSerialNumber);
  putU16(b + 18, r.humidityRaw);
  putU16(b + 20, r.temperatureRaw);
  putF32(b + 22, r.ambientTemperature);
  std::memcpy(b + 26, r.reserved, sizeof r.reserved);
}

uint8_t checksum(const messwert_tag& record) {
  uint8_t bytes[kRecordSize];
  toBytes(record, bytes);
  unsigned sum = 0;
  for (uint8_t b : bytes) sum += b;
  return static_cast<uint8_t>(sum);
}

uint64_t sortKey(const messwert_tag& r) {
  // Year, month, day, hour, minute, second, tick from most to least significant.
  return (static_cast<uint64_t>(r.year) << 48) | (static_cast<uint64_t>(r.month) << 40) |
         (static_cast<uint64_t>(r.day) << 32) | (static_cast<uint64_t>(r.hour) << 24) |
         (static_cast<uint64_t>(r.minute) << 16) | (static_cast<uint64_t>(r.second) << 8) | r.tick;
}

void sortRecords(std::vector<messwert_tag>& records) {
  // A logger writes its records in time order, so its memory is in order already or made of a few
  // runs in order (a clock set back, a memory that wrapped). One pass finds that, and a memory in
  // order stays as it is.
  const size_t n = records.size();
  size_t firstOut = 1;
  for (uint64_t last = n > 0 ? sortKey(records[0]) : 0; firstOut < n; ++firstOut) {
    const uint64_t key = sortKey(records[firstOut]);
    if (key < last) break;
    last = key;
  }
  if (firstOut >= n) return;

  // Otherwise the keys are made once, with each record's position, and the runs in order are merged
  // in pairs until one is left. A merge takes the earlier run's record first among equal keys, so
  // records with equal keys keep their memory order.
  using Keyed = std::pair<uint64_t, size_t>;
  std::vector<Keyed> order(n), merged(n);
  std::vector<size_t> runs{0};  // where each run starts
  for (size_t i = 0; i < n; ++i) {
    order[i] = {sortKey(records[i]), i};
    if (i > 0 && order[i].first < order[i - 1].first) runs.push_back(i);
  }
  const auto byKey = [](const Keyed& a, const Keyed& b) { return a.first < b.first; };
  std::vector<size_t> next;
  while (runs.size() > 1) {
    next.clear();
    for (size_t r = 0; r < runs.size(); r += 2) {
      const size_t middle = r + 1 < runs.size() ? runs[r + 1] : n;
      const size_t end = r + 2 < runs.size() ? runs[r + 2] : n;
      const auto base = static_cast<std::ptrdiff_t>(runs[r]);
      std::merge(order.begin() + base, order.begin() + static_cast<std::ptrdiff_t>(middle),
                 order.begin() + static_cast<std::ptrdiff_t>(middle),
                 order.begin() + static_cast<std::ptrdiff_t>(end), merged.begin() + base, byKey);
      next.push_back(runs[r]);
    }
    order.swap(merged);
    runs.swap(next);
  }
  std::vector<messwert_tag> sorted;
  sorted.reserve(n);
  for (const Keyed& entry : order) sorted.push_back(records[entry.second]);
  records.swap(sorted);
}

bool timeStamp(const messwert_tag& r, TimeStamp& out, std::string& message) {
  if (r.hour >= 24 || r.minute >= 60 || r.second >= 60) {
    message = kTimeMessage;
    return false;
  }
  if (r.year < 1 || r.year > 9999 || r.month < 1 || r.month > 12 || r.day < 1 ||
      r.day > daysInMonth(r.year, r.month)) {
    message = kDateMessage;
    return false;
  }
  out = TimeStamp{r.year, r.month, r.day, r.hour, r.minute, r.second};
  return true;
}

}  // namespace messwert
