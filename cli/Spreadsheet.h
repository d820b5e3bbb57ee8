// The spreadsheet (.xlsx) of tarnwick-cli: of a download (download --format xlsx) and of the history
// (history --format xlsx --output FILE).
#pragma once

#include <string>
#include <vector>

#include "cli/History.h"
#include "cli/Session.h"
#include "data/Messwert.h"

struct ScannedLogger;

namespace cli {

// The workbook of a download's records (the same records as its CSV file; those with an impossible
// time stamp are left out as there). The logger's limits and clock zone come from the history when
// it has them. False with a message.
bool downloadXlsx(const ScannedLogger& logger, const std::vector<messwert_tag>& records, std::time_t now,
                  std::string& bytes, std::string& error);

// The history's readings of one logger (the only one, or --serial) over --from/--to, written to
// `output` through SafeFile.
int historyXlsx(Session& session, const HistoryOptions& options, const std::string& output);

}  // namespace cli
