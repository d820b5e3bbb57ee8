// tarnwick-cli report: the PDF report of a logger's readings in the history, made without a display.
#pragma once

#include <string>
#include <vector>

#include "cli/Session.h"

namespace cli {

struct ReportOptions {
  std::string serial;
  std::vector<int> sensors;  // empty: every sensor
  std::string from, to;      // as the history command takes them; empty: open
  std::string output;        // the PDF file
};

// Writes the report through SafeFile (the old file stays as it was on any failure) and prints what it
// wrote, the verdict and the digest. kNoRecords when the range holds no readings (no file is written).
int makeReport(Session& session, const ReportOptions& options);

}  // namespace cli
