// One stored measurement as the logger keeps it, its checksum, its sort order and its time stamp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#pragma pack(push, 1)
struct messwert_tag {
  uint8_t tick;  // not interpreted; lowest-order byte of the sort key
  uint8_t second;
  uint8_t minute;
  uint8_t hour;
  uint8_t day;
  uint8_t month;
  uint16_t year;
  float humidity;
  float temperature;
  uint16_t sensorSerialNumber;
  uint16_t humidityRaw;
  uint16_t temperatureRaw;
  float ambientTemperature;  // not aligned to 4 bytes
  uint8_t reserved[6];
};
#pragma pack(pop)

static_assert(sizeof(messwert_tag) == 32, "a record is 32 bytes");
static_assert(offsetof(messwert_tag, second) == 1 && offsetof(messwert_tag, year) == 6, "time stamp layout");
static_assert(offsetof(messwert_tag, humidity) == 8 && offsetof(messwert_tag, temperature) == 12, "values");
static_assert(offsetof(messwert_tag, sensorSerialNumber) == 16 && offsetof(messwert_tag, humidityRaw) == 18 &&
                  offsetof(messwert_tag, temperatureRaw) == 20,
              "counts");
static_assert(offsetof(messwert_tag, ambientTemperature) == 22 && offsetof(messwert_tag, reserved) == 26,
              "ambient temperature and tail");

namespace messwert {

constexpr size_t kRecordSize = 32;
constexpr size_t kRecordsPerPage = 8;
constexpr size_t kPageSize = 256;

// Record from 32 little-endian bytes, and back.
messwert_tag fromBytes(const uint8_t* bytes);
void toBytes(const messwert_tag& record, uint8_t* bytes);

// Sum of the 32 bytes modulo 256; 0 for a valid record.
uint8_t checksum(const messwert_tag& record);

// Sort key: the first 8 bytes as an unsigned little-endian 64-bit number.
uint64_t sortKey(const messwert_tag& record);
// Stable sort by sortKey.
void sortRecords(std::vector<messwert_tag>& records);

// The two conversion messages (Windows-1252).
extern const char kTimeMessage[];  // "Ungültiges Argument zum Codieren der Uhrzeit"
extern const char kDateMessage[];  // "Ungültiges Argument zum Codieren des Datums"

// A checked calendar time stamp.
struct TimeStamp {
  int year, month, day, hour, minute, second;
};
// Time checked first, then date. On failure returns false and sets `message` to one of the two.
bool timeStamp(const messwert_tag& record, TimeStamp& out, std::string& message);

}  // namespace messwert
