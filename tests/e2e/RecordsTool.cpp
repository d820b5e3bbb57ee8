// Helper of the end-to-end runs: makes a logger memory image with awkward contents, and says what a
// download of it must produce, decoding the bytes on its own rather than with the program's code.
//
//   e2e_records image FILE               writes the image, prints the record count to give --used
//   e2e_records expect FILE USED CSV LOG writes the expected CSV file and the expected per-record
//                                        log lines, for the C locale (MM/dd/yy, HH:mm:ss, '.')
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "sim/model/Records.h"

namespace {

constexpr size_t kRecord = 32;
// Used records: not a whole number of 8-record pages, so the last page read holds slots beyond them.
constexpr uint32_t kGenerated = 1200;
constexpr uint32_t kUsed = kGenerated + 5;

[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "e2e_records: %s\n", message.c_str());
  std::exit(2);
}

std::vector<uint8_t> record(uint16_t year, uint8_t month, uint8_t day, uint8_t hour, uint8_t minute,
                            uint8_t second, uint16_t sensor, float humidity, float temperature, float ambient,
                            uint16_t humidityRaw = 30000, uint16_t temperatureRaw = 20000) {
  velmora::RecordFields f;
  f.year = year;
  f.month = month;
  f.day = day;
  f.hour = hour;
  f.minute = minute;
  f.second = second;
  f.sensorSerial = sensor;
  f.humidity = humidity;
  f.temperature = temperature;
  f.ambientTemperature = ambient;
  f.humidityRaw = humidityRaw;
  f.temperatureRaw = temperatureRaw;
  return velmora::RecordBytes(f);
}

int makeImage(const std::string& path) {
  std::vector<uint8_t> image = velmora::GenerateImage(kGenerated, 11);
  std::vector<std::vector<uint8_t>> records;
  for (uint32_t i = 0; i < kGenerated; ++i) {
    records.emplace_back(image.begin() + i * kRecord, image.begin() + (i + 1) * kRecord);
  }
  // Rounding ties away from zero, a negative value that rounds to zero, raw counts above 32767.
  records.push_back(record(2026, 3, 2, 12, 0, 1, 1002, 45.25f, -5.25f, -0.04f, 65535, 40000));
  // The same time stamp and sensor as the one before, other values: the sort must keep memory order.
  records.push_back(record(2026, 3, 2, 12, 0, 1, 1002, 50.0f, 20.0f, 20.0f));
  // A record whose bytes do not add up: exported with a comment.
  std::vector<uint8_t> broken = record(2026, 3, 3, 8, 15, 30, 1003, 55.5f, 18.5f, 19.0f);
  broken[20] ^= 0x10;
  records.push_back(broken);
  // Invalid time, invalid date: logged, left out of the file.
  records.push_back(record(2026, 3, 2, 24, 0, 0, 1001, 40.0f, 20.0f, 20.0f));
  records.push_back(record(2026, 2, 30, 10, 0, 0, 1001, 40.0f, 20.0f, 20.0f));
  if (records.size() != kUsed) die("record count");

  // Stored out of time order, so that the program's sort is what puts the file in order.
  std::mt19937 random(5);
  std::shuffle(records.begin(), records.end(), random);
  std::vector<uint8_t> out;
  for (const auto& r : records) out.insert(out.end(), r.begin(), r.end());
  // The rest of the last page: valid, older records beyond the used count that must not be exported.
  while (out.size() % 256 != 0) {
    std::vector<uint8_t> decoy = record(1999, 12, 31, 23, 59, 59, 999, 1.0f, 2.0f, 3.0f);
    out.insert(out.end(), decoy.begin(), decoy.end());
  }
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
  if (!file) die("cannot write " + path);
  std::printf("%u\n", kUsed);
  return 0;
}

// ---- An independent decoder ----

uint32_t le(const uint8_t* p, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

float f32(const uint8_t* p) {
  uint32_t bits = le(p, 4);
  float v;
  std::memcpy(&v, &bits, 4);
  return v;
}

// One decimal, exact ties away from zero. The float times ten is exact in long double (64-bit
// mantissa), so rounding it is exact too. Values this helper's images hold only.
std::string oneDecimal(float value) {
  if (!std::isfinite(value) || std::fabs(value) >= 1e7f) die("value outside the helper's range");
  long double tenths = std::roundl(std::fabs(static_cast<long double>(value)) * 10.0L);
  auto t = static_cast<unsigned long long>(tenths);
  std::string sign = value < 0 && t != 0 ? "-" : "";
  return sign + std::to_string(t / 10) + "." + std::to_string(t % 10);
}

int daysIn(int year, int month) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : days[month - 1];
}

int expect(const std::string& imagePath, const std::string& usedText, const std::string& csvPath,
           const std::string& logPath) {
  std::ifstream in(imagePath, std::ios::binary);
  std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  long used = std::strtol(usedText.c_str(), nullptr, 10);
  if (used <= 0 || static_cast<size_t>(used) * kRecord > image.size()) die("bad used count");

  struct Entry {
    uint64_t key;
    const uint8_t* bytes;
  };
  std::vector<Entry> entries;
  for (long i = 0; i < used; ++i) {
    const uint8_t* r = image.data() + i * kRecord;
    entries.push_back({static_cast<uint64_t>(le(r + 4, 4)) << 32 | le(r, 4), r});
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) { return a.key < b.key; });

  std::string csv =
      "Date;SensorSerialNumber;Humidity;Temperature;HumidityRaw;TemperatureRaw;"
      "AmbientTemperature;Comment\r\n";
  std::string log;
  int number = 0;
  for (const Entry& e : entries) {
    ++number;
    const uint8_t* r = e.bytes;
    int second = r[1], minute = r[2], hour = r[3], day = r[4], month = r[5],
        year = static_cast<int>(le(r + 6, 2));
    if (hour > 23 || minute > 59 || second > 59) {
      log += "Fehler Messwert Ung\xC3\xBCltiges Argument zum Codieren der Uhrzeit\n";
      continue;
    }
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > daysIn(year, month)) {
      log += "Fehler Messwert Ung\xC3\xBCltiges Argument zum Codieren des Datums\n";
      continue;
    }
    char date[32];
    std::snprintf(date, sizeof date, "%02d/%02d/%02d", month, day, year % 100);
    std::string when = date;
    if (hour || minute || second) {
      std::snprintf(date, sizeof date, " %02d:%02d:%02d", hour, minute, second);
      when += date;
    }
    uint8_t sum = 0;
    for (size_t i = 0; i < kRecord; ++i) sum = static_cast<uint8_t>(sum + r[i]);
    log += std::to_string(number) + " " + when + "\n";
    csv += when + ";" + std::to_string(le(r + 16, 2)) + ";" + oneDecimal(f32(r + 8)) + ";" +
           oneDecimal(f32(r + 12)) + ";" + std::to_string(le(r + 18, 2)) + ";" +
           std::to_string(le(r + 20, 2)) + ";" + oneDecimal(f32(r + 22)) + ";" +
           (sum ? "Check sum error" : "") + "\r\n";
  }
  std::ofstream(csvPath, std::ios::binary | std::ios::trunc) << csv;
  std::ofstream(logPath, std::ios::binary | std::ios::trunc) << log;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "image" && argc == 3) return makeImage(argv[2]);
  if (mode == "expect" && argc == 6) return expect(argv[2], argv[3], argv[4], argv[5]);
  std::fprintf(stderr, "usage: e2e_records image FILE | expect FILE USED CSV LOG\n");
  return 2;
}
