#include "cli/Jsonl.h"

#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "cli/ConsoleText.h"

namespace cli {
namespace {

// Keys in the order written, and the values as the logger's single-precision floats, so that 65.3
// is written as 65.3 and not as the double nearest to the float.
using Json = nlohmann::basic_json<nlohmann::ordered_map, std::vector, std::string, bool, std::int64_t,
                                  std::uint64_t, float>;

std::string isoTime(const messwert::TimeStamp& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return text;
}

}  // namespace

std::string jsonLine(const messwert_tag& record, const messwert::TimeStamp& time, bool checksumOk,
                     const std::string* logger, const history::DownloadRow* source) {
  Json line;
  if (logger != nullptr) line["logger"] = utf8FromAnsi(*logger);
  line["time"] = isoTime(time);
  // Copies: the record's fields are packed and cannot be bound to references.
  line["sensor"] = static_cast<unsigned>(record.sensorSerialNumber);
  line["humidity_rh"] = static_cast<float>(record.humidity);
  line["temperature_c"] = static_cast<float>(record.temperature);
  line["ambient_temperature_c"] = static_cast<float>(record.ambientTemperature);
  line["humidity_raw"] = static_cast<unsigned>(record.humidityRaw);
  line["temperature_raw"] = static_cast<unsigned>(record.temperatureRaw);
  line["checksum_ok"] = checksumOk;
  if (source != nullptr) {
    char when[32] = "";
    const std::time_t seconds = static_cast<std::time_t>(source->when);
    std::tm utc{};
    if (gmtime_r(&seconds, &utc) != nullptr) std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
    Json from;
    from["kind"] = source->fromFile ? "file" : "download";
    if (source->fromFile) from["name"] = source->file;
    from["time"] = when;
    if (!source->fromFile) {
      from["file"] = source->file;
      from["device"] = source->device;
    }
    line["source"] = from;
  }
  // File names are the system's bytes: what is not UTF-8 shows as U+FFFD rather than failing the line.
  return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string jsonLines(const std::vector<messwert_tag>& records) {
  std::string text;
  text.reserve(records.size() * 200);
  for (const messwert_tag& record : records) {
    messwert::TimeStamp time;
    std::string message;
    if (!messwert::timeStamp(record, time, message)) continue;
    text += jsonLine(record, time, messwert::checksum(record) == 0);
    text += '\n';
  }
  return text;
}

}  // namespace cli
