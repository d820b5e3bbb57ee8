// tarnwick-cli loggers: every logger the history holds, one row each (not the attached loggers:
// that is `list`).
#pragma once

#include <optional>
#include <string>

#include "cli/Session.h"

namespace cli {

struct LoggersOptions {
  std::string format = "text";             // text or jsonl
  std::string serial;                      // one logger: its name and place and their changes
  std::optional<std::string> name, place;  // with serial: set them (UTF-8; empty removes)
};

// One row per logger, by serial: its name and place, its readings, first and last, the last download
// from it (when, where, by whom), the firmware last seen, limits, the excursions and alarms of the
// last download and the days since it. kDone also for an empty history (no rows); kFileError when it
// cannot be read. With a serial, that logger's name and place with every change of them (who, when,
// on which computer, before and after), after setting what name and place give.
int loggers(Session& session, const LoggersOptions& options);

}  // namespace cli
