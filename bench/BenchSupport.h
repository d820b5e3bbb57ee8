// Readings the benchmarks make up: logger records stamped with a UTC time and sealed with a valid
// check byte, and stored readings that swing across the usual limits.
#pragma once

#include <cmath>
#include <cstdint>
#include <ctime>
#include <vector>

#include "history/History.h"

namespace bench {

// An empty record carrying the UTC time `t` in its date and time fields.
inline messwert_tag stamped(int64_t t) {
  const std::time_t time = static_cast<std::time_t>(t);
  std::tm utc{};
  gmtime_r(&time, &utc);
  messwert_tag r{};
  r.second = static_cast<uint8_t>(utc.tm_sec);
  r.minute = static_cast<uint8_t>(utc.tm_min);
  r.hour = static_cast<uint8_t>(utc.tm_hour);
  r.day = static_cast<uint8_t>(utc.tm_mday);
  r.month = static_cast<uint8_t>(utc.tm_mon + 1);
  r.year = static_cast<uint16_t>(utc.tm_year + 1900);
  return r;
}

// Sets the check byte so that the record's bytes add up as the logger's do.
inline void seal(messwert_tag& r) {
  r.reserved[5] = static_cast<uint8_t>(0x100 - messwert::checksum(r));
}

// Records a minute apart from `start` + `first` minutes on, two sensors taking turns.
inline std::vector<messwert_tag> minuteMemory(int64_t start, int64_t first, int count) {
  std::vector<messwert_tag> out(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    messwert_tag& r = out[static_cast<size_t>(i)];
    r = stamped(start + (first + i) * 60);
    r.tick = static_cast<uint8_t>(i);
    r.humidity = 40.0f + static_cast<float>(i % 200) / 10;
    r.temperature = 15.0f + static_cast<float>(i % 100) / 10;
    r.sensorSerialNumber = static_cast<uint16_t>(1000 + i % 2);
    r.humidityRaw = static_cast<uint16_t>(20000 + i % 2000);
    r.temperatureRaw = static_cast<uint16_t>(10000 + i % 1000);
    r.ambientTemperature = 21.5f;
    seal(r);
  }
  return out;
}

// Two sensors a minute apart from 2020-01-01 on, the temperature swinging across 2 to 8 °C and the
// humidity across 30 to 70 %RH, now and then a record with a bad check byte.
inline std::vector<history::StoredRecord> swingingReadings(int count) {
  std::vector<history::StoredRecord> out(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    history::StoredRecord& r = out[static_cast<size_t>(i)];
    r.logger = "VLM12345";
    r.record = messwert_tag{};
    r.record.sensorSerialNumber = static_cast<uint16_t>(1 + i % 2);
    r.time = 1577836800 + (i / 2) * 60;
    const double phase = i / 2 * 0.013;
    r.record.temperature = static_cast<float>(5 + 3.6 * std::sin(phase) + 0.3 * std::sin(phase * 17));
    r.record.humidity = static_cast<float>(50 + 22 * std::cos(phase * 0.7));
    r.checksumError = i % 9973 == 0;
  }
  return out;
}

}  // namespace bench
