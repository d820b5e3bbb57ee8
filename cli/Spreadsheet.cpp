#include "cli/Spreadsheet.h"

#include <algorithm>
#include <ctime>

#include "Version.h"
#include "cli/ConsoleText.h"
#include "cli/ExitStatus.h"
#include "cli/History.h"
#include "cli/HistoryLookup.h"
#include "data/SafeFile.h"
#include "history/LoggerContext.h"
#include "history/XlsxExport.h"
#include "link/USBInterface.h"

namespace cli {
namespace {

std::string utcText(int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm parts{};
  char text[40] = "?";
  if (gmtime_r(&t, &parts) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &parts);
  return text;
}

void withContext(history::XlsxInput& input, const history::LoggerContext& context) {
  input.limits = context.limits;
  input.clock = context.clock;
  input.label = context.label;
}

// "Download 2026-03-02 05:00 UTC, USB, quality on lab-pc" or "File /home/quality/VLM12345.csv".
std::string sourceText(const history::DownloadRow& row) {
  if (row.fromFile) return "File " + row.file;
  std::string text = "Download " + utcText(row.when);
  if (!row.device.empty()) text += ", " + row.device;
  if (!row.user.empty() || !row.host.empty())
    text +=
        ", " + (row.user.empty() ? std::string("?") : row.user) + (row.host.empty() ? "" : " on " + row.host);
  return text;
}

}  // namespace

bool downloadXlsx(const ScannedLogger& logger, const std::vector<messwert_tag>& records, std::time_t now,
                  std::string& bytes, std::string& error) {
  std::vector<history::StoredRecord> kept;
  kept.reserve(records.size());
  for (const messwert_tag& record : records) {
    history::StoredRecord r;
    if (!history::recordTime(record, r.time)) continue;  // as the CSV file leaves them out
    r.logger = logger.serialText;
    r.record = record;
    r.checksumError = messwert::checksum(record) != 0;
    kept.push_back(r);
  }
  // The download's order is the logger's; the sheet and the excursions go by time, as the history.
  std::stable_sort(
      kept.begin(), kept.end(),
      [](const history::StoredRecord& a, const history::StoredRecord& b) { return a.time < b.time; });
  history::XlsxInput input;
  input.serial = logger.serialText;
  input.records = &kept;
  input.sources[0] = "Download " + utcText(static_cast<int64_t>(now)) +
                     (logger.device.empty() ? std::string() : ", " + logger.device);
  const std::string path = historyLocation();
  // The history has the logger's limits and clock zones if it was ever set up or downloaded here; a
  // history that cannot be read only leaves them out, as it leaves the download itself alone.
  history::Store store;
  std::string ignored;
  history::LoggerContext context;
  if (!path.empty() && store.openForReading(path, ignored) &&
      history::readLoggerContext(store, logger.serialText, history::sensorsOf(kept), now, context, ignored))
    withContext(input, context);
  input.application = "Tarnwick " TARNWICK_VERSION;
  return history::xlsxBytes(input, bytes, error);
}

int historyXlsx(Session& session, const HistoryOptions& options, const std::string& output) {
  history::Store store;
  history::Query query;
  const int selected = selectLogger(
      session, store,
      Selection{options.serial, options.sensor >= 0 ? std::vector<int>{options.sensor} : std::vector<int>{},
                options.from, options.to},
      query);
  if (selected != kDone) return selected;
  std::vector<history::StoredRecord> records;
  std::string error;
  if (!store.query(query, records, error)) {
    session.problem("cannot read the history " + store.path() + ": " + printable(error));
    return kFileError;
  }
  history::XlsxInput input;
  input.serial = query.logger;
  input.records = &records;
  history::LoggerContext context;
  if (!history::readLoggerContext(store, query.logger, history::sensorsOf(records), session.io().clock(),
                                  context, error)) {
    session.problem("cannot read the history " + store.path() + ": " + printable(error));
    return kFileError;
  }
  for (const auto& [id, row] : context.downloads) input.sources[id] = sourceText(row);
  withContext(input, context);
  std::string bytes;
  input.application = "Tarnwick " TARNWICK_VERSION;
  if (!history::xlsxBytes(input, bytes, error)) {
    session.problem("the spreadsheet could not be made: " + error);
    return kFailed;
  }
  SafeFile file;
  if (!file.open(output) || !file.write(bytes.data(), bytes.size()) || !file.commit()) {
    file.discard();
    session.problem("cannot write " + printable(output) + "; a file there was left as it was");
    return kFileError;
  }
  session.note(printable(query.logger) + ": " + std::to_string(records.size()) + " records written to " +
               output);
  return kDone;
}

}  // namespace cli
