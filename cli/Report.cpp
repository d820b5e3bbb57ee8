#include "cli/Report.h"

#include <algorithm>
#include <ctime>
#include <optional>

#include "Version.h"
#include "cli/Commands.h"
#include "cli/ConsoleText.h"
#include "cli/ExitStatus.h"
#include "cli/HistoryLookup.h"
#include "cli/Verify.h"
#include "data/SafeFile.h"
#include "history/History.h"
#include "history/LoggerContext.h"
#include "history/ReportManifest.h"
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

int makeReport(Session& session, const ReportOptions& options) {
  history::Store store;
  history::Query query;
  const int selected = selectLogger(
      session, store, Selection{options.serial, options.sensors, options.from, options.to}, query);
  if (selected != kDone) return selected;
  report::Input input;
  input.serial = query.logger;
  input.sensorsAsked = query.sensors;
  input.from = query.from;
  input.to = query.to;
  std::string error;
  if (!store.scan(
          query,
          [&](const history::StoredRecord& record) {
            input.records.push_back(record);
            return true;
          },
          error)) {
    session.problem("cannot read the history " + store.path() + ": " + printable(error));
    return kFileError;
  }
  if (input.records.empty()) {
    session.problem("the history holds no readings of " + printable(input.serial) +
                    " in the range and sensors asked for; no report written");
    return kNoRecords;
  }
  history::LoggerContext context;
  if (!history::readLoggerContext(store, input.serial, history::sensorsOf(input.records),
                                  session.io().clock(), context, error)) {
    session.problem("cannot read the history " + store.path() + ": " + printable(error));
    return kFileError;
  }
  report::takeContext(input, context);
  input.version = TARNWICK_VERSION;
  input.madeAt = static_cast<int64_t>(session.io().clock());

  report::GuiSession gui;
  std::string pdf;
  report::Summary summary;
  if (!report::makePdf(input, pdf, summary, error)) {
    session.problem("the report could not be made: " + error);
    return kFailed;
  }
  // The proof it carries: what it says and the signatures of exactly its readings (tarnwick-cli verify).
  if (!history::attachManifest(
          pdf, [&](const std::string& pages) { return reportManifest(input, context, summary, pages); },
          error)) {
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
                           "\n" +
                           (input.auditHead.empty() ? "" : "audit trail head: " + input.auditHead + "\n");
  std::FILE* out = session.io().out;
  if (std::fputs(text.c_str(), out) < 0 || std::fflush(out) != 0) {
    session.problem("cannot write to standard output");
    return kFileError;
  }
  return kDone;
}

#endif

}  // namespace cli
