#include "cli/HistoryLookup.h"

#include <optional>

#include "cli/Commands.h"
#include "cli/ConsoleText.h"
#include "cli/ExitStatus.h"
#include "cli/History.h"

namespace cli {

int selectLogger(Session& session, history::Store& store, const Selection& selection, history::Query& query) {
  if (!selection.from.empty() && !parseTime(selection.from, false, query.from)) {
    session.problem("--from: \"" + selection.from +
                    "\" is not a time like 2026-03-02 or 2026-03-02T04:40:06");
    return kBadArguments;
  }
  if (!selection.to.empty() && !parseTime(selection.to, true, query.to)) {
    session.problem("--to: \"" + selection.to + "\" is not a time like 2026-03-02 or 2026-03-02T23:59:59");
    return kBadArguments;
  }
  for (int sensor : selection.sensors) {
    if (sensor < 0 || sensor > 0xFFFF) {
      session.problem("--sensor: " + std::to_string(sensor) + " is not a sensor number (0 to 65535)");
      return kBadArguments;
    }
    query.sensors.push_back(static_cast<uint16_t>(sensor));
  }
  const std::string path = history::Store::defaultPath();
  std::string error;
  if (path.empty() || !store.open(path, error)) {
    session.problem("cannot open the history " + path + ": " +
                    (path.empty() ? "no home folder is known" : printable(error)));
    return kFileError;
  }
  if (!store.notice().empty()) session.problem(printable(store.notice()));
  const std::vector<std::string> known = store.loggers();
  if (selection.serial.empty()) {
    if (known.size() != 1) {
      session.problem(known.empty() ? "the history holds no records"
                                    : "the history holds several loggers; name one with --serial");
      return known.empty() ? kNoRecords : kBadArguments;
    }
    query.logger = known.front();
    return kDone;
  }
  const std::string wanted = ansiFromUtf8(selection.serial);
  const std::vector<size_t> matching =
      serialMatches(std::vector<std::optional<std::string>>(known.begin(), known.end()), wanted);
  if (matching.size() > 1) {
    session.problem(printable(wanted) +
                    " matches several loggers of the history; give the whole serial number");
    return kBadArguments;
  }
  if (matching.empty()) {
    session.problem("the history holds no records of " + printable(wanted));
    return kNoLogger;
  }
  query.logger = known[matching.front()];
  return kDone;
}

}  // namespace cli
