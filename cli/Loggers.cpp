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
#include "history/TimeText.h"

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

// Names and places are UTF-8 already; empty ones are null.
Json labelOrNull(const std::string& text) {
  return text.empty() ? Json() : Json(text);
}

std::string labelText(const history::LoggerLabel& label) {
  if (label.empty()) return "-";
  if (label.place.empty()) return label.name;
  return (label.name.empty() ? std::string("-") : label.name) + " (" + label.place + ")";
}

Json jsonRow(const history::LoggerSummary& row, int64_t now) {
  Json line;
  line["logger"] = utf8FromAnsi(row.logger);
  line["name"] = labelOrNull(row.label.name);
  line["place"] = labelOrNull(row.label.place);
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
          labelText(row.label),
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

bool writeOut(Session& session, const std::string& text) {
  std::FILE* out = session.io().out;
  if (std::fwrite(text.data(), 1, text.size(), out) != text.size() || std::fflush(out) != 0) {
    session.problem("cannot write to standard output");
    return false;
  }
  return true;
}

std::string inQuotes(const std::string& text) {
  return "\"" + text + "\"";
}

// One logger's name and place, set first when asked, with every change of them.
int oneLogger(Session& session, history::Store& store, const LoggersOptions& options) {
  std::string logger, error;
  const bool setting = options.name || options.place;
  int status = historyLogger(session, store, options.serial, setting, logger);
  if (status != kDone) return status;
  // Bad text is said as such before the history is written.
  std::string checked;
  if ((options.name &&
       !history::noteText(*options.name, history::kMaxLabelLength, "--name", checked, error)) ||
      (options.place &&
       !history::noteText(*options.place, history::kMaxLabelLength, "--place", checked, error))) {
    session.problem(error + "; nothing stored");
    return kBadArguments;
  }
  if (setting && !store.setLoggerLabel(logger, options.name, options.place, history::thisComputer(), error)) {
    session.problem(printable(error));
    return kFileError;
  }
  history::LoggerLabel label;
  std::vector<history::LabelChange> changes;
  if (!store.loggerLabel(logger, label, error) || !store.labelChanges(logger, changes, error)) {
    session.problem(printable(error));
    return kFileError;
  }
  const auto moment = [](int64_t utc) {
    const history::Zone zone = history::localZone(utc);
    return history::isoWithOffset(utc + zone.offset, zone.offset);
  };
  std::string text;
  if (options.format == "jsonl") {
    Json line;
    line["logger"] = utf8FromAnsi(logger);
    line["name"] = labelOrNull(label.name);
    line["place"] = labelOrNull(label.place);
    Json list = Json::array();
    for (const history::LabelChange& change : changes) {
      Json item;
      item["time"] = moment(change.utc);
      item["user"] = change.who.user;
      item["host"] = change.who.host;
      item["name_before"] = change.before.name;
      item["name"] = change.after.name;
      item["place_before"] = change.before.place;
      item["place"] = change.after.place;
      list.push_back(item);
    }
    line["changes"] = list;
    text = line.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
  } else {
    text = printable(logger) + ": name " + (label.name.empty() ? "(none)" : inQuotes(label.name)) +
           ", place " + (label.place.empty() ? "(none)" : inQuotes(label.place)) + "\n";
    if (!changes.empty()) text += "changes:\n";
    for (const history::LabelChange& change : changes) {
      text += moment(change.utc) + " " + change.who.user + " on " + change.who.host + ":";
      if (change.before.name != change.after.name)
        text += " name " + inQuotes(change.before.name) + " -> " + inQuotes(change.after.name);
      if (change.before.place != change.after.place)
        text += std::string(change.before.name != change.after.name ? ";" : "") + " place " +
                inQuotes(change.before.place) + " -> " + inQuotes(change.after.place);
      text += "\n";
    }
  }
  return writeOut(session, text) ? kDone : kFileError;
}

}  // namespace

int loggers(Session& session, const LoggersOptions& options) {
  const std::string path = historyLocation();
  history::Store store;
  std::string error;
  if ((options.name || options.place) && options.serial.empty()) {
    session.problem("--name and --place name one logger: give --serial");
    return kBadArguments;
  }
  if (!openHistory(session, store, path)) return kFileError;
  if (!options.serial.empty()) return oneLogger(session, store, options);
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
    std::vector<std::vector<std::string>> table = {{"LOGGER", "NAME (PLACE)", "READINGS", "FIRST READING",
                                                    "LAST READING", "LAST DOWNLOAD", "WHERE", "FIRMWARE",
                                                    "LIMITS", "EXCURSIONS", "ALARMS", "DAYS"}};
    for (const history::LoggerSummary& row : rows) table.push_back(textRow(row, now));
    // Widths in characters: a name may hold letters of several bytes.
    const auto width = [](const std::string& text) {
      return static_cast<size_t>(std::count_if(
          text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
    };
    std::vector<size_t> widths(table[0].size(), 0);
    for (const auto& line : table)
      for (size_t i = 0; i < line.size(); ++i) widths[i] = std::max(widths[i], width(line[i]));
    for (const auto& line : table) {
      std::string out;
      for (size_t i = 0; i < line.size(); ++i) {
        out += line[i];
        if (i + 1 < line.size()) out += std::string(widths[i] - width(line[i]) + 2, ' ');
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
