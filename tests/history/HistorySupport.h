// Helpers of the history tests: records with a valid check byte and a scratch folder.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "data/Messwert.h"

namespace historytest {

inline messwert_tag record(int year, int month, int day, int hour, int minute, int second,
                           uint16_t sensor = 1) {
  messwert_tag r{};
  r.tick = static_cast<uint8_t>(second * 3 + 1);
  r.year = static_cast<uint16_t>(year);
  r.month = static_cast<uint8_t>(month);
  r.day = static_cast<uint8_t>(day);
  r.hour = static_cast<uint8_t>(hour);
  r.minute = static_cast<uint8_t>(minute);
  r.second = static_cast<uint8_t>(second);
  r.humidity = 45.25f;
  r.temperature = 21.0f + static_cast<float>(minute) / 8;
  r.sensorSerialNumber = sensor;
  r.humidityRaw = static_cast<uint16_t>(20000 + minute);
  // One count per value, as a sensor gives it: the temperature follows the minute.
  r.temperatureRaw = static_cast<uint16_t>(10000 + minute);
  r.ambientTemperature = 22.04f;
  r.reserved[0] = 0xA5;
  r.reserved[5] = static_cast<uint8_t>(0x100 - messwert::checksum(r));
  return r;
}

inline messwert_tag withBadChecksum(messwert_tag r) {
  r.reserved[5] = static_cast<uint8_t>(r.reserved[5] + 1);
  return r;
}

// A scratch folder, gone with this object.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/tarnwick-history-XXXXXX";
    path_ = ::mkdtemp(pattern) ? pattern : "";
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What a shell command prints on its standard output.
inline std::string commandOutput(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
  ::pclose(pipe);
  return out;
}

}  // namespace historytest
