// Measurement records as the logger stores them: 32 bytes, little-endian, bytes summing to 0 mod 256.
//
//  0 u8  free          8 f32 humidity        18 u16 humidity raw        26 u32 sequence number
//  1 u8  second       12 f32 temperature     20 u16 temperature raw     30 u8  flags
//  2 u8  minute       16 u16 sensor serial   22 f32 ambient temperature 31 u8  check byte
//  3 u8  hour
//  4 u8  day, 5 u8 month, 6 u16 year
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora {

constexpr size_t kRecordSize = 32;

struct RecordFields {
  uint8_t free = 0;
  uint8_t second = 0;
  uint8_t minute = 0;
  uint8_t hour = 0;
  uint8_t day = 1;
  uint8_t month = 1;
  uint16_t year = 2026;
  float humidity = 0;
  float temperature = 0;
  uint16_t sensorSerial = 0;
  uint16_t humidityRaw = 0;
  uint16_t temperatureRaw = 0;
  float ambientTemperature = 0;
  uint32_t sequence = 0;
  uint8_t flags = 0;
};

// Writes the 32 bytes of a record with its check byte; `out` must have room for 32 bytes.
void WriteRecord(const RecordFields& fields, uint8_t* out);
std::vector<uint8_t> RecordBytes(const RecordFields& fields);
// Reads a record back (the check byte is not verified; see RecordSum).
RecordFields ReadRecord(const uint8_t* in);
// Sum of the 32 bytes modulo 256; 0 for an intact record.
uint8_t RecordSum(const uint8_t* in);

// The sensors' conversion from raw counts to values (16-bit counts over the sensor's range).
float HumidityFromRaw(uint16_t raw);
float TemperatureFromRaw(uint16_t raw);
uint16_t HumidityToRaw(double humidity);
uint16_t TemperatureToRaw(double temperature);

// Generated memory contents.
constexpr uint16_t kGeneratedSensors[] = {1001, 1002, 1003};
constexpr int kRoundMinutes = 10;
// First round of generated records: 02.03.2026 00:00:00; sensor k of a round measures 3·k s later.
constexpr uint16_t kGenerateStartYear = 2026;
constexpr uint8_t kGenerateStartMonth = 3;
constexpr uint8_t kGenerateStartDay = 2;

// A 524288-byte memory image holding `records` generated records (at most 16384; more are cut) in
// time order, zero beyond them: sensors take turns in rounds every 10 minutes, humidity 40..70 %,
// temperature 15..25 °C following the time of day, ambient temperature close to the temperature.
// Deterministic for a seed.
std::vector<uint8_t> GenerateImage(uint32_t records, uint32_t seed);

}  // namespace velmora
