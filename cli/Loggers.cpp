#include "cli/Loggers.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/ConsoleText.h"
#include "cli/ExitStatus.h"
#include "cli/History.h"
#include "cli/HistoryAccess.h"
#include "history/History.h"

namespace cli {
namespace {

using Json = nlohmann::ordered_json;

// A record's calendar time (the logger's clock, no zone): "2026-03-02T04:40:06".
std::string readingTime(int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm utc{};
  char text[40] = "";
  if (gmtime_r(&t, &utc) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  return text;
}

// A download's time, which the history keeps in UTC: "2026-12-07T18:40:49Z".
std::string utcTime(int64_t seconds) {
  return readingTime(seconds) + "Z";
}

Json orNull(const std::string& text) {
  return text.empty() ? Json() : Json(utf8FromAnsi(text));
}

std::string orDash(const std::string& text) {
  return text.empty() ? "-" : printable(text);
}

Json jsonRow(const history::LoggerSummary& row, int64_t now) {
  Json line;
  line["logger"] = utf8FromAnsi(row.logger);
  line["readings"] = row.readings;
  line["first_reading"] = row.readings > 0 ? Json(readingTime(row.firstReading)) : Json();
  line["last_reading"] = row.readings > 0 ? Json(readingTime(row.lastReading)) : Json();
  if (row.lastDownload != 0) {
    Json last;
    last["time"] = utcTime(row.lastDownloadTime);
    last["device"] = utf8FromAnsi(row.device);
    last["host"] = orNull(row.host);
    last["user"] = orNull(row.user);
    last["first_reading"] = readingTime(row.rangeFirst);
    last["last_reading"] = readingTime(row.rangeLast);
    line["last_download"] = last;
  } else {
    line["last_download"] = nullptr;
  }
  line["firmware"] = orNull(row.firmware);
  line["limits_set"] = row.limitsSet;
  line["excursions"] = row.limitsSet && row.lastDownload != 0 ? Json(row.excursions) : Json();
  line["alarms"] = row.limitsSet && row.lastDownload != 0 ? Json(row.alarms) : Json();
  line["verdict"] = orNull(row.verdict);
  const int64_t days = row.daysSinceDownload(now);
  line["days_since_download"] = days < 0 ? Json() : Json(days);
  return line;
}

std::vector<std::string> textRow(const history::LoggerSummary& row, int64_t now) {
  const bool downloaded = row.lastDownload != 0;
  auto spaced = [](std::string text) {
    std::replace(text.begin(), text.end(), 'T', ' ');
    return text;
  };
  std::string where = downloaded ? orDash(row.device) : "-";
  if (!row.host.empty() || !row.user.empty()) where = orDash(row.user) + "@" + orDash(row.host);
  const bool counted = row.limitsSet && downloaded;
  return {printable(row.logger),
          std::to_string(row.readings),
          row.readings > 0 ? spaced(readingTime(row.firstReading)) : "-",
          row.readings > 0 ? spaced(readingTime(row.lastReading)) : "-",
          downloaded ? spaced(utcTime(row.lastDownloadTime)).substr(0, 16) + " UTC" : "never",
          where,
          orDash(row.firmware),
          row.limitsSet ? "set" : "none",
          counted ? std::to_string(row.excursions) : "-",
          counted ? std::to_string(row.alarms) : "-",
          downloaded ? std::to_string(row.daysSinceDownload(now)) : "-"};
}

}  // namespace

int loggers(Session& session, const LoggersOptions& options) {
  const std::string path = historyLocation();
  history::Store store;
  std::string error;
  if (!openHistory(session, store, path)) return kFileError;
  std::vector<history::LoggerSummary> rows;
  if (!store.loggerSummaries(rows, error)) {
    session.problem("cannot read the history " + printable(history::shownLocation(path)) + ": " +
                    printable(error));
    return kFileError;
  }
  const int64_t now = static_cast<int64_t>(session.io().clock());
  std::string text;
  if (options.format == "jsonl") {
    for (const history::LoggerSummary& row : rows)
      text += jsonRow(row, now).dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
  } else if (!rows.empty()) {
    std::vector<std::vector<std::string>> table = {{"LOGGER", "READINGS", "FIRST READING", "LAST READING",
                                                    "LAST DOWNLOAD", "WHERE", "FIRMWARE", "LIMITS",
                                                    "EXCURSIONS", "ALARMS", "DAYS"}};
    for (const history::LoggerSummary& row : rows) table.push_back(textRow(row, now));
    std::vector<size_t> widths(table[0].size(), 0);
    for (const auto& line : table)
      for (size_t i = 0; i < line.size(); ++i) widths[i] = std::max(widths[i], line[i].size());
    for (const auto& line : table) {
      std::string out;
      for (size_t i = 0; i < line.size(); ++i) {
        out += line[i];
        if (i + 1 < line.size()) out += std::string(widths[i] - line[i].size() + 2, ' ');
      }
      text += out + "\n";
    }
  }
  if (rows.empty())
    session.note("the history " + printable(history::shownLocation(path)) + " holds no loggers");
  std::FILE* out = session.io().out;
  if (std::fwrite(text.data(), 1, text.size(), out) != text.size() || std::fflush(out) != 0) {
    session.problem("cannot write to standard output");
    return kFileError;
  }
  return kDone;
}

}  // namespace cli
