#include "cli/HistoryLookup.h"

#include <ctime>
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

std::string changeText(const history::LimitChange& change) {
  const std::time_t t = static_cast<std::time_t>(change.utc);
  std::tm parts{};
  char when[40] = "?";
  if (gmtime_r(&t, &parts) != nullptr) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &parts);
  std::string who = change.who.user.empty() ? std::string("unknown user") : change.who.user;
  if (!change.who.host.empty()) who += " on " + change.who.host;
  return std::string(when) + ", " + who + ", " +
         (change.sensor ? "sensor " + std::to_string(*change.sensor) : std::string("the logger")) + ": " +
         (change.before.empty() ? std::string("none") : change.before) + " -> " +
         (change.after.empty() ? std::string("none") : change.after);
}

bool loggerContext(history::Store& store, const std::string& logger, const std::vector<uint16_t>& sensors,
                   Context& context, std::string& error) {
  for (uint16_t sensor : sensors) {
    history::Limits limits;
    bool set = false;
    if (!store.effectiveLimits(logger, sensor, limits, set, error)) return false;
    if (set) context.limits[sensor] = limits;
  }
  std::vector<history::LimitChange> changes;
  if (!store.limitChanges(logger, changes, error)) return false;
  if (!changes.empty()) context.limitChange = changeText(changes.back());
  std::vector<history::ClockZoneRow> zones;
  if (!store.clockZones(logger, zones, error)) return false;
  if (!zones.empty()) context.clock.emplace(zones, history::Zone{});
  context.firmware = store.firmwareLastSeen(logger);
  if (context.firmware.empty() && !store.lastError().empty()) {
    error = store.lastError();
    return false;
  }
  std::vector<history::DownloadRow> rows = store.downloads(logger);
  if (rows.empty() && !store.lastError().empty()) {
    error = store.lastError();
    return false;
  }
  for (history::DownloadRow& row : rows) context.downloads.emplace(row.id, std::move(row));
  return true;
}

}  // namespace cli
