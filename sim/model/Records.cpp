#include "sim/model/Records.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace velmora {
namespace {

constexpr uint32_t kMemoryBytes = 524288;
constexpr double kPi = 3.14159265358979323846;

void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void PutU32(uint8_t* p, uint32_t v) {
  for (int k = 0; k < 4; ++k) p[k] = static_cast<uint8_t>(v >> (8 * k));
}
void PutF32(uint8_t* p, float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, 4);
  PutU32(p, bits);
}
uint16_t GetU16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
float GetF32(const uint8_t* p) {
  const uint32_t bits = GetU32(p);
  float v;
  std::memcpy(&v, &bits, 4);
  return v;
}

// Days since 1970-01-01 of a Gregorian date, and back.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}
void CivilFromDays(int64_t z, int* year, unsigned* month, unsigned* day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *day = doy - (153 * mp + 2) / 5 + 1;
  *month = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (*month <= 2));
}

// Small deterministic noise source.
class Noise {
 public:
  explicit Noise(uint32_t seed) : x_(seed * 2654435761u ^ 0x5BD1E995u) {
    if (x_ == 0) x_ = 1;
  }
  // Uniform in [-1, 1].
  double Next() {
    x_ ^= x_ << 13;
    x_ ^= x_ >> 17;
    x_ ^= x_ << 5;
    return static_cast<double>(x_) / 2147483647.5 - 1.0;
  }

 private:
  uint32_t x_;
};

}  // namespace

void WriteRecord(const RecordFields& f, uint8_t* out) {
  out[0] = f.free;
  out[1] = f.second;
  out[2] = f.minute;
  out[3] = f.hour;
  out[4] = f.day;
  out[5] = f.month;
  PutU16(out + 6, f.year);
  PutF32(out + 8, f.humidity);
  PutF32(out + 12, f.temperature);
  PutU16(out + 16, f.sensorSerial);
  PutU16(out + 18, f.humidityRaw);
  PutU16(out + 20, f.temperatureRaw);
  PutF32(out + 22, f.ambientTemperature);
  PutU32(out + 26, f.sequence);
  out[30] = f.flags;
  out[31] = 0;
  out[31] = static_cast<uint8_t>(0x100 - RecordSum(out));
}

std::vector<uint8_t> RecordBytes(const RecordFields& fields) {
  std::vector<uint8_t> bytes(kRecordSize);
  WriteRecord(fields, bytes.data());
  return bytes;
}

RecordFields ReadRecord(const uint8_t* in) {
  RecordFields f;
  f.free = in[0];
  f.second = in[1];
  f.minute = in[2];
  f.hour = in[3];
  f.day = in[4];
  f.month = in[5];
  f.year = GetU16(in + 6);
  f.humidity = GetF32(in + 8);
  f.temperature = GetF32(in + 12);
  f.sensorSerial = GetU16(in + 16);
  f.humidityRaw = GetU16(in + 18);
  f.temperatureRaw = GetU16(in + 20);
  f.ambientTemperature = GetF32(in + 22);
  f.sequence = GetU32(in + 26);
  f.flags = in[30];
  return f;
}

uint8_t RecordSum(const uint8_t* in) {
  unsigned sum = 0;
  for (size_t i = 0; i < kRecordSize; ++i) sum += in[i];
  return static_cast<uint8_t>(sum);
}

float HumidityFromRaw(uint16_t raw) {
  return static_cast<float>(-6.0 + 125.0 * raw / 65536.0);
}
float TemperatureFromRaw(uint16_t raw) {
  return static_cast<float>(-46.85 + 175.72 * raw / 65536.0);
}
uint16_t HumidityToRaw(double humidity) {
  const double raw = std::round((humidity + 6.0) * 65536.0 / 125.0);
  return static_cast<uint16_t>(std::clamp(raw, 0.0, 65535.0));
}
uint16_t TemperatureToRaw(double temperature) {
  const double raw = std::round((temperature + 46.85) * 65536.0 / 175.72);
  return static_cast<uint16_t>(std::clamp(raw, 0.0, 65535.0));
}

std::vector<uint8_t> GenerateImage(uint32_t records, uint32_t seed) {
  std::vector<uint8_t> image(kMemoryBytes, 0);
  records = std::min<uint32_t>(records, kMemoryBytes / kRecordSize);
  constexpr size_t sensors = sizeof(kGeneratedSensors) / sizeof(kGeneratedSensors[0]);

  Noise noise(seed);
  // Each sensor sits in a slightly different spot of the room.
  double tempOffset[sensors];
  double humOffset[sensors];
  for (size_t k = 0; k < sensors; ++k) {
    tempOffset[k] = 0.4 * noise.Next();
    humOffset[k] = 2.0 * noise.Next();
  }
  const double dayPhase = 0.3 * noise.Next();  // weather: some days warmer than others

  const int64_t startDay = DaysFromCivil(kGenerateStartYear, kGenerateStartMonth, kGenerateStartDay);
  for (uint32_t i = 0; i < records; ++i) {
    const uint32_t round = i / sensors;
    const size_t k = i % sensors;
    const int64_t seconds = static_cast<int64_t>(round) * kRoundMinutes * 60 + 3 * static_cast<int64_t>(k);
    const int64_t dayIndex = seconds / 86400;
    const int64_t secOfDay = seconds % 86400;

    int year;
    unsigned month, day;
    CivilFromDays(startDay + dayIndex, &year, &month, &day);

    // Warmest and driest mid-afternoon, coolest and dampest before dawn.
    const double t = static_cast<double>(secOfDay) / 86400.0;
    const double cycle = std::sin(2.0 * kPi * (t - 0.375));
    const double weather = std::sin(2.0 * kPi * (static_cast<double>(dayIndex) / 7.0 + dayPhase));
    const double temp =
        std::clamp(20.0 + 4.0 * cycle + 0.5 * weather + tempOffset[k] + 0.15 * noise.Next(), 15.2, 24.8);
    const double hum =
        std::clamp(55.0 - 11.0 * cycle - 1.5 * weather + humOffset[k] + 0.8 * noise.Next(), 40.5, 69.5);

    RecordFields f;
    f.second = static_cast<uint8_t>(secOfDay % 60);
    f.minute = static_cast<uint8_t>(secOfDay / 60 % 60);
    f.hour = static_cast<uint8_t>(secOfDay / 3600);
    f.day = static_cast<uint8_t>(day);
    f.month = static_cast<uint8_t>(month);
    f.year = static_cast<uint16_t>(year);
    f.temperatureRaw = TemperatureToRaw(temp);
    f.humidityRaw = HumidityToRaw(hum);
    f.temperature = TemperatureFromRaw(f.temperatureRaw);
    f.humidity = HumidityFromRaw(f.humidityRaw);
    f.ambientTemperature = static_cast<float>(f.temperature + 0.3 * noise.Next());
    f.sensorSerial = kGeneratedSensors[k];
    f.sequence = i;
    WriteRecord(f, image.data() + static_cast<size_t>(i) * kRecordSize);
  }
  return image;
}

}  // namespace velmora
