#include "cli/History.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>

#include "cli/Commands.h"
#include "cli/ConsoleText.h"
#include "cli/ExitStatus.h"
#include "cli/Jsonl.h"
#include "data/CsvWriter.h"
#include "data/RegionalFormat.h"
#include "history/DownloadImport.h"
#include "history/History.h"
#include "link/USBInterface.h"

namespace cli {
namespace {

// "2026-03-02", "2026-03-02T04:40", "2026-03-02T04:40:06" (a blank for the T too), as the history's
// seconds of the calendar time. A date alone is its first second, or its last for an end.
bool parseTime(const std::string& text, bool end, int64_t& seconds) {
  if (text.size() < 10 || text.size() > 19) return false;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  char separator = 0;
  int used = 0;
  const int fields = std::sscanf(text.c_str(), "%4d-%2d-%2d%n%c%2d:%2d%n:%2d%n", &year, &month, &day, &used,
                                 &separator, &hour, &minute, &used, &second, &used);
  if (fields < 3 || static_cast<size_t>(used) != text.size() || text[4] != '-' || text[7] != '-')
    return false;
  if (fields == 3 && end) {
    hour = 23;
    minute = 59;
    second = 59;
  }
  if (fields > 3 && (fields < 6 || (separator != 'T' && separator != ' '))) return false;
  messwert_tag at{};
  at.year = static_cast<uint16_t>(year);
  at.month = static_cast<uint8_t>(month);
  at.day = static_cast<uint8_t>(day);
  at.hour = static_cast<uint8_t>(hour);
  at.minute = static_cast<uint8_t>(minute);
  at.second = static_cast<uint8_t>(second);
  return history::recordTime(at, seconds);
}

// A text field of the CSV export: UTF-8, quoted, and never a spreadsheet formula (a leading =, +, -, @,
// tab or carriage return gets an apostrophe before it).
std::string textField(const std::string& ansi) {
  std::string out = "\"";
  if (!ansi.empty() && std::strchr("=+-@\t\r", ansi[0]) != nullptr) out += '\'';
  for (char c : utf8FromAnsi(ansi)) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

// Opens the history for a command that reads or adds to it; says why not, and passes on its notice.
bool openHistory(Session& session, history::Store& store, const std::string& path) {
  std::string error;
  if (path.empty() || !store.open(path, error)) {
    session.problem("cannot open the history " + path + ": " +
                    (path.empty() ? "no home folder is known" : printable(error)));
    return false;
  }
  if (!store.notice().empty()) session.problem(printable(store.notice()));
  return true;
}

}  // namespace

bool importIntoHistory(Session& session, const ScannedLogger& logger, const std::string& file,
                       const std::vector<messwert_tag>& records) {
  const std::string name = loggerName(logger);
  history::DownloadImport what;
  what.database = history::Store::defaultPath();
  what.logger = logger.hasSerial ? logger.serialText : std::string();
  what.device = logger.device;
  what.file = file;
  what.busyTimeoutMs = session.io().historyWaitMs;
  what.waitNotice = [&] {
    session.note("the history " + printable(what.database) + " is in use by another program; waiting up to " +
                 std::to_string((session.io().historyWaitMs + 999) / 1000) + " s");
  };
  const history::DownloadImported done = history::importDownload(what, records);
  if (!done.notice.empty()) session.problem(printable(done.notice));
  if (!done.ok) {
    session.problem(name + ": not imported into the history (" + printable(done.error) +
                    "); the download is done");
    return false;
  }
  session.note(name + ": " + std::to_string(done.result.added) + " of " +
               std::to_string(done.result.records) + " records new in the history " + what.database);
  return true;
}

int64_t downloadedRecords(const ScannedLogger& logger, std::string& error) {
  return history::downloadedRecords(history::Store::defaultPath(),
                                    logger.hasSerial ? logger.serialText : std::string(), error);
}

int history(Session& session, const HistoryOptions& options) {
  history::Query query;
  if (!options.from.empty() && !parseTime(options.from, false, query.from)) {
    session.problem("--from: \"" + options.from + "\" is not a time like 2026-03-02 or 2026-03-02T04:40:06");
    return kBadArguments;
  }
  if (!options.to.empty() && !parseTime(options.to, true, query.to)) {
    session.problem("--to: \"" + options.to + "\" is not a time like 2026-03-02 or 2026-03-02T23:59:59");
    return kBadArguments;
  }
  query.logger = ansiFromUtf8(options.serial);
  history::Store store;
  std::string error;
  const std::string path = history::Store::defaultPath();
  if (!openHistory(session, store, path)) return kFileError;
  if (!query.logger.empty()) {
    // The loggers' serial numbers as download and the other commands take them.
    const std::vector<std::string> known = store.loggers();
    const std::vector<size_t> matching =
        serialMatches(std::vector<std::optional<std::string>>(known.begin(), known.end()), query.logger);
    if (matching.size() > 1) {
      std::string names;
      for (size_t index : matching) names += (names.empty() ? "" : ", ") + printable(known[index]);
      session.problem(printable(query.logger) + " matches several loggers of the history (" + names +
                      "); give the whole serial number");
      return kBadArguments;
    }
    if (matching.empty()) {
      session.problem("the history holds no records of " + printable(query.logger));
      return kNoLogger;
    }
    query.logger = known[matching.front()];
  }
  const bool jsonl = options.format == "jsonl";
  // The download's CSV with the logger in front; the comment follows the flag the history keeps.
  const csv::Writer writer(exportFormat(), csv::CommentRule::Flag);
  std::FILE* out = session.io().out;
  bool written = true;
  if (!jsonl) {
    std::string header;
    writer.header(header, "Logger;");
    written = std::fwrite(header.data(), 1, header.size(), out) == header.size();
  }
  std::string text;  // a line in Windows-1252, its buffer used again
  std::map<int64_t, history::DownloadRow> sources;
  if (jsonl)
    for (history::DownloadRow& row : store.downloads(query.logger)) sources.emplace(row.id, std::move(row));
  const bool read = store.scan(
      query,
      [&](const history::StoredRecord& stored) {
        messwert::TimeStamp time;
        std::string message;
        if (!messwert::timeStamp(stored.record, time, message)) return true;
        const auto source = sources.find(stored.download);
        text.clear();
        if (!jsonl) writer.line(text, stored.record, stored.checksumError);
        const std::string line = jsonl ? jsonLine(stored.record, time, !stored.checksumError, &stored.logger,
                                                  source != sources.end() ? &source->second : nullptr) +
                                             "\n"
                                       : textField(stored.logger) + ";" + utf8FromAnsi(text);
        written = written && std::fwrite(line.data(), 1, line.size(), out) == line.size();
        return written;
      },
      error);
  if (!read) {
    session.problem("cannot read the history " + path + ": " + printable(error));
    return kFileError;
  }
  if (!written || std::fflush(out) != 0) {
    session.problem("cannot write to standard output");
    return kFileError;
  }
  return kDone;
}

int importFile(Session& session, const ImportOptions& options) {
  std::vector<messwert_tag> records;
  std::vector<bool> flags;
  std::string error;
  if (!history::readCsvFile(options.file, records, flags, error)) {
    session.problem(printable(error));
    return kFileError;
  }
  history::Store store;
  if (!openHistory(session, store, history::Store::defaultPath())) return kFileError;
  // A file joins a logger's history when the history wrote it as that logger's download, or when the
  // user names the logger.
  const std::string file = history::fileKey(options.file);
  const std::string known = store.loggerOfDownloadFile(file);
  std::string confirmed = ansiFromUtf8(options.serial);
  if (!confirmed.empty()) {
    // The same rule as every other command: the serial number, or its number alone for a logger the
    // history has; a name it does not have is taken as given (a logger never downloaded here).
    const std::vector<std::string> loggers = store.loggers();
    const std::vector<size_t> matching =
        serialMatches(std::vector<std::optional<std::string>>(loggers.begin(), loggers.end()), confirmed);
    if (matching.size() > 1) {
      session.problem(printable(confirmed) +
                      " matches several loggers of the history; give the whole serial number");
      return kBadArguments;
    }
    if (matching.size() == 1) confirmed = loggers[matching.front()];
  }
  if (!confirmed.empty() && !known.empty() && confirmed != known) {
    session.problem(printable(file) + " is the download of " + printable(known) + ", not of " +
                    printable(confirmed) + ": nothing imported");
    return kBadArguments;
  }
  const std::string logger = known.empty() ? confirmed : known;
  if (logger.empty()) {
    std::string suggested = store.loggerMatching(records, flags);
    const std::string stem = std::filesystem::path(options.file).stem().string();
    for (const std::string& name : store.loggers())
      if (suggested.empty() && name == stem) suggested = name;
    session.problem(printable(file) + " is not a download the history knows" +
                    (suggested.empty() ? "" : " (it looks like one of " + printable(suggested) + ")") +
                    ": nothing imported; --serial SERIAL adds its records to that logger's history");
    return kBadArguments;
  }
  history::ImportResult result;
  if (!store.importCsvRecords(logger, file, records, flags, result, error)) {
    session.problem("not imported into the history: " + printable(error));
    return kFileError;
  }
  const std::string line = printable(logger) + ": " + std::to_string(result.added) + " imported, " +
                           std::to_string(result.known()) + " already known, " +
                           std::to_string(result.differing) +
                           " differ from the logger's download \xE2\x80\x94 not imported\n";
  std::FILE* out = session.io().out;
  if (std::fputs(line.c_str(), out) < 0 || std::fflush(out) != 0) {
    session.problem("cannot write to standard output");
    return kFileError;
  }
  return kDone;
}

}  // namespace cli
