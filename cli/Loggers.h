// tarnwick-cli loggers: every logger the history holds, one row each (not the attached loggers:
// that is `list`).
#pragma once

#include <string>

#include "cli/Session.h"

namespace cli {

struct LoggersOptions {
  std::string format = "text";  // text or jsonl
};

// One row per logger, by serial: its readings, first and last, the last download from it (when,
// where, by whom), the firmware last seen, limits, the excursions and alarms of the last download and
// the days since it. kDone also for an empty history (no rows); kFileError when it cannot be read.
int loggers(Session& session, const LoggersOptions& options);

}  // namespace cli
