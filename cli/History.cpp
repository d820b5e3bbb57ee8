#include "cli/History.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>

#include "cli/Commands.h"
#include "cli/ConsoleText.h"
#include "cli/ExitStatus.h"
#include "cli/HistoryAccess.h"
#include "cli/Jsonl.h"
#include "data/CsvWriter.h"
#include "data/RegionalFormat.h"
#include "history/Digest.h"
#include "history/DownloadImport.h"
#include "history/FileOwner.h"
#include "history/History.h"
#include "link/USBInterface.h"

namespace cli {
namespace {

std::string historyFlag;

// A text field of the CSV export: UTF-8, quoted, and never a spreadsheet formula (a leading =, +, -, @,
// tab or carriage return gets an apostrophe before it).
std::string textField(const std::string& ansi) {
  std::string out = "\"";
  if (!ansi.empty() && std::strchr("=+-@\t\r", ansi[0]) != nullptr) out += '\'';
  // The one printable rule: a name read from a history may hold anything (a server's rows were written
  // by whoever had rights there); control characters never reach the file or terminal.
  for (char c : printable(ansi)) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

// The SHA-256 of exactly the readings the query gives, in the order the history gives them (the
// report's digest over the same range is the same).
int printDigest(Session& session, history::Store& store, const history::Query& query) {
  history::ReadingsDigest digest;
  int64_t readings = 0;
  std::string error;
  // The zones of each logger's clock, read before the readings: the digest covers the offsets shown.
  std::map<std::string, history::ClockOffsets> clocks;
  for (const std::string& logger :
       query.logger.empty() ? store.loggers() : std::vector<std::string>{query.logger}) {
    std::vector<history::ClockZoneRow> zones;
    if (!store.clockZones(logger, zones, error)) {
      session.problem("cannot read the history " + store.path() + ": " + printable(error));
      return kFileError;
    }
    clocks.emplace(logger, history::clockOffsets(zones, session.io().clock()));
  }
  if (!store.lastError().empty()) {
    session.problem("cannot read the history " + store.path() + ": " + printable(store.lastError()));
    return kFileError;
  }
  if (!store.scan(
          query,
          [&](const history::StoredRecord& stored) {
            const auto clock = clocks.find(stored.logger);
            digest.add(stored,
                       history::digestOffset(clock == clocks.end() ? nullptr : &clock->second, stored.time));
            ++readings;
            return true;
          },
          error)) {
    session.problem("cannot read the history " + store.path() + ": " + printable(error));
    return kFileError;
  }
  std::FILE* out = session.io().out;
  if (std::fprintf(out, "%s\n", digest.hex().c_str()) < 0 || std::fflush(out) != 0) {
    session.problem("cannot write to standard output");
    return kFileError;
  }
  session.note("SHA-256 of " + std::to_string(readings) + (readings == 1 ? " reading" : " readings"));
  return kDone;
}

}  // namespace

void setHistoryFlag(const std::string& location) {
  historyFlag = location;
}

bool historyNamed() {
  const char* environment = std::getenv("TARNWICK_HISTORY");
  return !historyFlag.empty() || (environment != nullptr && environment[0] != '\0');
}

std::string historyLocation() {
  return history::resolveLocation(historyFlag, std::getenv("TARNWICK_HISTORY"), std::string());
}

bool importIntoHistory(Session& session, const ScannedLogger& logger, const std::string& file,
                       const std::vector<messwert_tag>& records, const std::string& firmware,
                       history::Store* into) {
  const std::string name = loggerName(logger);
  history::DownloadImport what;
  what.database = historyLocation();
  what.logger = logger.hasSerial ? logger.serialText : std::string();
  what.device = logger.device;
  what.firmware = firmware;
  what.file = file;
  what.now = session.io().clock();
  what.busyTimeoutMs = session.io().historyWaitMs;
  what.waitNotice = [&] {
    session.note("the history " + printable(history::shownLocation(what.database)) +
                 " is in use by another program; waiting up to " +
                 std::to_string((session.io().historyWaitMs + 999) / 1000) + " s");
  };
  const history::DownloadImported done = history::importDownload(what, records, into);
  if (!done.notice.empty()) session.problem(printable(done.notice));
  if (!done.ok) {
    session.problem(name + ": not imported into the history (" + printable(done.error) +
                    "); the download is done");
    return false;
  }
  session.note(name + ": " + std::to_string(done.result.added) + " of " +
               std::to_string(done.result.records) + " records new in the history " +
               printable(history::shownLocation(what.database)));
  return true;
}

int64_t downloadedRecords(const ScannedLogger& logger, std::string& error) {
  return history::downloadedRecords(historyLocation(), logger.hasSerial ? logger.serialText : std::string(),
                                    error);
}

int history(Session& session, const HistoryOptions& options) {
  history::Query query;
  if (options.sensor >= 0) query.sensors = {static_cast<uint16_t>(options.sensor)};
  history::Store store;
  std::string error;
  const std::string path = historyLocation();
  if (!openHistory(session, store, path)) return kFileError;
  std::optional<history::ClockOffsets> offsets;
  if (!options.serial.empty()) {
    const int status = historyLogger(session, store, options.serial, false, query.logger);
    if (status != kDone) return status;
    std::vector<history::ClockZoneRow> zones;
    if (!store.clockZones(query.logger, zones, error)) {
      session.problem("cannot read the history " + printable(history::shownLocation(path)) + ": " +
                      printable(error));
      return kFileError;
    }
    offsets.emplace(history::clockOffsets(zones, session.io().clock()));
  }
  if (!options.from.empty() &&
      !parseClockTime(options.from, false, offsets ? &*offsets : nullptr, query.from, error)) {
    session.problem("--from: " + error);
    return kBadArguments;
  }
  if (!options.to.empty() &&
      !parseClockTime(options.to, true, offsets ? &*offsets : nullptr, query.to, error)) {
    session.problem("--to: " + error);
    return kBadArguments;
  }
  if (options.digest) return printDigest(session, store, query);
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
    session.problem("cannot read the history " + printable(history::shownLocation(path)) + ": " +
                    printable(error));
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
  if (!openHistory(session, store, historyLocation())) return kFileError;
  // A file joins a logger's history when the history wrote it as that logger's download, or when the
  // user names the logger.
  const std::string file = history::fileKey(options.file);
  history::FileOwner owner;
  if (!history::fileOwner(store, file, std::filesystem::path(options.file).stem().string(), records, flags,
                          owner, error)) {
    session.problem("cannot read the history " + printable(history::shownLocation(historyLocation())) + ": " +
                    printable(error));
    return kFileError;
  }
  const std::string& known = owner.known;
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
    const std::string& suggested = owner.suggested;
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
  // Why lines were refused, where it is more than another record of the download at that second.
  std::string why;
  if (result.insideDownload > 0) why += std::to_string(result.insideDownload) + " within a download's span";
  if (result.disagreeing > 0)
    why += (why.empty() ? "" : ", ") + std::to_string(result.disagreeing) + " against their own counts";
  const std::string line = printable(logger) + ": " + std::to_string(result.added) + " imported, " +
                           std::to_string(result.known()) + " already known, " +
                           std::to_string(result.differing) + " differ from the logger's download" +
                           (why.empty() ? "" : " (" + why + ")") + " \xE2\x80\x94 not imported\n";
  std::FILE* out = session.io().out;
  if (std::fputs(line.c_str(), out) < 0 || std::fflush(out) != 0) {
    session.problem("cannot write to standard output");
    return kFileError;
  }
  return kDone;
}

int copyHistory(Session& session, const CopyOptions& options) {
  const std::string from = options.from.empty() ? historyLocation() : options.from;
  history::Store source, target;
  if (!openHistory(session, source, from) || !openHistory(session, target, options.to)) return kFileError;
  if (source.path() == target.path()) {
    session.problem("the history " + printable(history::shownLocation(from)) +
                    " is both source and target: nothing copied");
    return kBadArguments;
  }
  std::FILE* err = session.io().err;
  auto bar = [&](int64_t done, int64_t total) {
    if (!options.progress) return;
    constexpr int kWidth = 30;
    const int filled = total > 0 ? static_cast<int>(done * kWidth / total) : kWidth;
    std::fprintf(err, "\rcopying [%s%s] %lld/%lld downloads\x1b[K", std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, '.').c_str(), static_cast<long long>(done),
                 static_cast<long long>(total));
    std::fflush(err);
  };
  history::CopyResult result;
  std::string error;
  const bool copied = history::copyHistory(source, target, bar, result, error);
  if (options.progress) std::fputs("\n", err);
  if (!copied) {
    session.problem("the history was not copied completely (" + printable(error) + "); " +
                    std::to_string(result.downloads) + " downloads are in " +
                    printable(history::shownLocation(options.to)) +
                    "; running the copy again goes on from there");
    return kFileError;
  }
  session.note(std::to_string(result.downloads) + " downloads with " + std::to_string(result.records) +
               " records copied from " + printable(history::shownLocation(from)) + " to " +
               printable(history::shownLocation(options.to)) + ", " + std::to_string(result.added) +
               " of them new there" +
               (result.notes > 0 ? "; " + std::to_string(result.notes) +
                                       " limit changes, clock zones and firmware versions new there"
                                 : std::string()));
  return kDone;
}

int checkHistory(Session& session) {
  history::Store store;
  const std::string location = historyLocation();
  if (!openHistory(session, store, location)) return kFileError;
  const std::string shown = printable(history::shownLocation(location));
  // A file found damaged as it opened has been set aside already (openHistory said so).
  const bool setAsideAtOpen = !store.notice().empty();
  bool sound = false;
  std::string error;
  if (!store.checkWhole(sound, error)) {
    session.problem("the history " + shown + " could not be checked: " + printable(error));
    return kFileError;
  }
  if (!sound) {
    session.problem(printable(store.notice()));
    return kFileError;
  }
  if (setAsideAtOpen) return kFileError;
  session.note("the history " + shown + " is sound");
  return kDone;
}

int initHistory(Session& session, const InitOptions& options) {
  const std::string path = historyLocation();
  if (!history::isServerLocation(path)) {
    session.problem("history init sets up a PostgreSQL server's history; " + printable(path) +
                    " is a file's path (give --history with the server's location)");
    return kBadArguments;
  }
  if (!history::validRoleName(options.writer) || !history::validRoleName(options.reviewer) ||
      options.writer == options.reviewer) {
    session.problem(
        "--writer-role and --reviewer-role: two different role names (a lower-case letter or '_', "
        "then lower-case letters, digits and '_', at most 63)");
    return kBadArguments;
  }
  std::string sql, error;
  if (!history::setUpServer(path, options.writer, options.reviewer, options.print, sql, error)) {
    session.problem(printable(error));
    return kFileError;
  }
  if (options.print) {
    if (!writeAll(session.io().out, sql)) {
      session.problem("cannot write to standard output");
      return kFileError;
    }
    return kDone;
  }
  session.note("the history " + printable(history::shownLocation(path)) +
               " is set up: schema tarnwick, owner " + "tarnwick_owner, writers " + options.writer +
               ", reviewers " + options.reviewer);
  return kDone;
}

}  // namespace cli
