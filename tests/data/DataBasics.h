// Helpers of the data layer tests that need no link: records with a valid check byte, file contents,
// a scratch directory. They also build for Windows (scripts/test-windows).
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "data/Messwert.h"

namespace datatest {

// A record with a correct check sum; the last reserved byte absorbs the sum.
inline messwert_tag record(int year, int month, int day, int hour, int minute, int second,
                           uint16_t serial = 1234) {
  messwert_tag r{};
  r.year = static_cast<uint16_t>(year);
  r.month = static_cast<uint8_t>(month);
  r.day = static_cast<uint8_t>(day);
  r.hour = static_cast<uint8_t>(hour);
  r.minute = static_cast<uint8_t>(minute);
  r.second = static_cast<uint8_t>(second);
  r.humidity = 45.25f;
  r.temperature = 21.0f;
  r.sensorSerialNumber = serial;
  r.humidityRaw = 20000;
  r.temperatureRaw = 10000;
  r.ambientTemperature = 22.04f;
  r.reserved[5] = static_cast<uint8_t>(0x100 - messwert::checksum(r));
  return r;
}

inline messwert_tag withBadChecksum(messwert_tag r) {
  r.reserved[5] = static_cast<uint8_t>(r.reserved[5] + 1);
  return r;
}

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

// Lines of a CSV file, without their CR LF; an unterminated tail becomes a line of its own.
inline std::vector<std::string> crlfLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

class ScratchDir {
 public:
  ScratchDir() {
    static std::atomic<int> counter{0};
    path_ = std::filesystem::temp_directory_path() /
            ("tarnwick-data-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  const std::filesystem::path& path() const { return path_; }
  // Names in the directory, to see that no temporary is left behind.
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(path_))
      out.push_back(entry.path().filename().string());
    return out;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace datatest
