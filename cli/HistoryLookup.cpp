#include "cli/HistoryLookup.h"

#include <optional>

#include "cli/ConsoleText.h"
#include "cli/ExitStatus.h"
#include "cli/History.h"
#include "cli/HistoryAccess.h"

namespace cli {

int selectLogger(Session& session, history::Store& store, const Selection& selection, history::Query& query) {
  for (int sensor : selection.sensors) {
    if (sensor < 0 || sensor > 0xFFFF) {
      session.problem("--sensor: " + std::to_string(sensor) + " is not a sensor number (0 to 65535)");
      return kBadArguments;
    }
    query.sensors.push_back(static_cast<uint16_t>(sensor));
  }
  if (!openHistory(session, store, historyLocation())) return kFileError;
  if (selection.serial.empty()) {
    const std::vector<std::string> known = store.loggers();
    if (known.size() != 1) {
      session.problem(known.empty() ? "the history holds no records"
                                    : "the history holds several loggers; name one with --serial");
      return known.empty() ? kNoRecords : kBadArguments;
    }
    query.logger = known.front();
  } else {
    const int status = historyLogger(session, store, selection.serial, false, query.logger);
    if (status != kDone) return status;
  }
  // Times as the logger's clock shows them, or with an offset through the zones its clock followed.
  std::vector<history::ClockZoneRow> zones;
  std::string error;
  if (!store.clockZones(query.logger, zones, error)) {
    session.problem("cannot read the history " + store.path() + ": " + printable(error));
    return kFileError;
  }
  const history::ClockOffsets offsets = history::clockOffsets(zones, session.io().clock());
  if (!selection.from.empty() && !parseClockTime(selection.from, false, &offsets, query.from, error)) {
    session.problem("--from: " + error);
    return kBadArguments;
  }
  if (!selection.to.empty() && !parseClockTime(selection.to, true, &offsets, query.to, error)) {
    session.problem("--to: " + error);
    return kBadArguments;
  }
  return kDone;
}

}  // namespace cli
