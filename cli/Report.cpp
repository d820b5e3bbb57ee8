#include "cli/Report.h"

#include <algorithm>
#include <ctime>
#include <optional>

#include "Version.h"
#include "cli/Commands.h"
#include "cli/ConsoleText.h"
#include "cli/ExitStatus.h"
#include "cli/History.h"
#include "data/SafeFile.h"
#include "history/History.h"
#ifdef TARNWICK_HAVE_REPORT
#include "report/Report.h"
#endif

namespace cli {

#ifndef TARNWICK_HAVE_REPORT

int makeReport(Session& session, const ReportOptions&) {
  session.problem("this tarnwick-cli is built without the report (it needs Qt's GUI module)");
  return kFailed;
}

#else

namespace {

// The logger the history knows by `wanted`, as the other commands match serial numbers; empty with
// the status to end with otherwise.
std::string historyLogger(Session& session, history::Store& store, const std::string& wanted, int& status) {
  const std::vector<std::string> known = store.loggers();
  const std::vector<size_t> matching =
      serialMatches(std::vector<std::optional<std::string> >(known.begin(), known.end()), wanted);
  if (matching.size() > 1) {
    session.problem(printable(wanted) +
                    " matches several loggers of the history; give the whole serial number");
    status = kBadArguments;
    return std::string();
  }
  if (matching.empty()) {
    session.problem("the history holds no records of " + printable(wanted));
    status = kNoLogger;
    return std::string();
  }
  return known[matching.front()];
}

}  // namespace

int makeReport(Session& session, const ReportOptions& options) {
  report::Input input;
  if (!options.from.empty() && !parseTime(options.from, false, input.from)) {
    session.problem("--from: \"" + options.from + "\" is not a time like 2026-03-02 or 2026-03-02T04:40:06");
    return kBadArguments;
  }
  if (!options.to.empty() && !parseTime(options.to, true, input.to)) {
    session.problem("--to: \"" + options.to + "\" is not a time like 2026-03-02 or 2026-03-02T23:59:59");
    return kBadArguments;
  }
  for (int sensor : options.sensors) {
    if (sensor < 0 || sensor > 0xFFFF) {
      session.problem("--sensor: " + std::to_string(sensor) + " is not a sensor number (0 to 65535)");
      return kBadArguments;
    }
    input.sensorsAsked.push_back(static_cast<uint16_t>(sensor));
  }
  const std::string path = history::Store::defaultPath();
  history::Store store;
  std::string error;
  if (path.empty() || !store.open(path, error)) {
    session.problem("cannot open the history " + path + ": " +
                    (path.empty() ? "no home folder is known" : printable(error)));
    return kFileError;
  }
  int status = kDone;
  input.serial = historyLogger(session, store, ansiFromUtf8(options.serial), status);
  if (input.serial.empty()) return status;

  history::Query query;
  query.logger = input.serial;
  query.sensors = input.sensorsAsked;
  query.from = input.from;
  query.to = input.to;
  if (!store.scan(
          query,
          [&](const history::StoredRecord& record) {
            input.records.push_back(record);
            return true;
          },
          error)) {
    session.problem("cannot read the history " + path + ": " + printable(error));
    return kFileError;
  }
  if (input.records.empty()) {
    session.problem("the history holds no readings of " + printable(input.serial) +
                    " in the range and sensors asked for; no report written");
    return kNoRecords;
  }
  for (const history::DownloadRow& row : store.downloads(input.serial)) {
    report::Source& source = input.sources[row.id];
    source.when = row.when;
    source.fromFile = row.fromFile;
    source.file = row.file;
    source.device = row.device;
  }
  input.version = TARNWICK_VERSION;
  input.madeAt = static_cast<int64_t>(session.io().clock());

  report::GuiSession gui;
  std::string pdf;
  report::Summary summary;
  if (!report::makePdf(input, pdf, summary, error)) {
    session.problem("the report could not be made: " + error);
    return kFailed;
  }
  SafeFile file;
  if (!file.open(options.output) || !file.write(pdf.data(), pdf.size()) || !file.commit()) {
    file.discard();
    session.problem("cannot write " + printable(options.output) + "; a file there was left as it was");
    return kFileError;
  }
  const std::string text = "wrote " + options.output + ": " + std::to_string(summary.pages) +
                           (summary.pages == 1 ? " page, " : " pages, ") + std::to_string(summary.readings) +
                           " readings\nverdict: " + summary.verdict + "\ndigest: sha256 " + summary.digest +
                           "\n";
  std::FILE* out = session.io().out;
  if (std::fputs(text.c_str(), out) < 0 || std::fflush(out) != 0) {
    session.problem("cannot write to standard output");
    return kFileError;
  }
  return kDone;
}

#endif

}  // namespace cli
