#include "cli/Limits.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "cli/ConsoleText.h"
#include "cli/ExitStatus.h"
#include "cli/History.h"
#include "cli/HistoryAccess.h"
#include "cli/Verdict.h"
#include "history/Excursions.h"
#include "history/History.h"
#include "history/Limits.h"
#include "history/TimeText.h"

namespace cli {
namespace {

// Keys in the order written; values as single-precision floats, so that a reading of 9.4 is written
// as 9.4 (as in the download's JSON lines).
using Json = nlohmann::basic_json<nlohmann::ordered_map, std::vector, std::string, bool, std::int64_t,
                                  std::uint64_t, float>;

std::string number(double value) {
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, static_cast<float>(value));
  return ec == std::errc() ? std::string(text, end) : std::string("?");
}

// A reading as the CSV file and the window show it.
std::string oneDecimal(double value) {
  char text[48];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::string quantityText(const history::QuantityLimits& q, const char* unit) {
  if (!q.limited()) return "not limited";
  return history::formatRange(q.lower, q.upper) + " " + unit + ", alarm delay " +
         history::formatDelay(q.delay) + ", rule " + history::ruleName(q.rule);
}

std::string whereText(const std::optional<uint16_t>& sensor) {
  return sensor ? "sensor " + std::to_string(*sensor) : std::string("every sensor");
}

bool write(Session& session, const std::string& text) {
  std::FILE* out = session.io().out;
  if (std::fwrite(text.data(), 1, text.size(), out) != text.size() || std::fflush(out) != 0) {
    session.problem("cannot write to standard output");
    return false;
  }
  return true;
}

// A moment (UTC) as this computer's local time with its offset, for the record of changes.
std::string localIso(int64_t utc) {
  return history::isoWithOffset(utc + history::localZone(utc).offset, history::localZone(utc).offset);
}

int showLimits(Session& session, history::Store& store, const std::string& logger,
               const std::optional<uint16_t>& sensor) {
  std::vector<history::LimitsRow> rows;
  std::vector<history::LimitChange> changes;
  std::string error;
  if (!store.limitRows(logger, rows, error) || !store.limitChanges(logger, changes, error)) {
    session.problem(printable(error));
    return kFileError;
  }
  const std::string name = printable(logger);
  std::string text;
  for (const history::LimitsRow& row : rows) {
    if (sensor && row.sensor && *row.sensor != *sensor) continue;
    text += name + ", " + whereText(row.sensor) + ": temperature " +
            quantityText(row.limits.temperature, "°C") + "; humidity " +
            quantityText(row.limits.humidity, "%RH") + "\n";
  }
  if (text.empty()) text = name + ": no limits set\n";
  if (!changes.empty()) text += "changes:\n";
  for (const history::LimitChange& change : changes)
    text += localIso(change.utc) + " " + printable(change.who.user) + " on " + printable(change.who.host) +
            ", " + whereText(change.sensor) + ": " +
            (change.before.empty() ? "(none)" : printable(change.before)) + " -> " +
            (change.after.empty() ? "(none)" : printable(change.after)) +
            (change.reason.empty() ? std::string() : " (reason: " + change.reason + ")") + "\n";
  return write(session, text) ? kDone : kFileError;
}

// A change the history refused for want of a reason is the caller's to mend.
int limitsNotStored(Session& session, const std::string& logger, const std::optional<uint16_t>& sensor,
                    const std::string& error) {
  if (error == history::limitsNeedReason(logger, sensor ? static_cast<int64_t>(*sensor) : -1)) {
    session.problem(printable(error) + " (give --reason TEXT)");
    return kBadArguments;
  }
  session.problem(printable(error));
  return kFileError;
}

// The comments on one excursion, oldest first.
std::vector<const history::ExcursionComment*> commentsOn(const std::vector<history::ExcursionComment>& all,
                                                         const history::Excursion& e) {
  std::vector<const history::ExcursionComment*> out;
  for (const history::ExcursionComment& c : all)
    if (c.sensor == e.sensor && c.start == e.start && c.quantity == history::measureName(e.quantity))
      out.push_back(&c);
  return out;
}

// --at with --cause and --action: the comment goes to the one excursion that starts then.
int commentExcursion(Session& session, history::Store& store, const std::string& logger,
                     const history::ClockOffsets& offsets, const history::ExcursionResult& result,
                     const ExcursionOptions& options) {
  std::string error, cause, action;
  int64_t at = 0;
  if (!parseClockTime(options.at, false, &offsets, at, error)) {
    session.problem("--at: " + error);
    return kBadArguments;
  }
  if (!history::noteText(options.cause.value_or(""), history::kMaxNoteLength, "--cause", cause, error) ||
      !history::noteText(options.action.value_or(""), history::kMaxNoteLength, "--action", action, error)) {
    session.problem(error + "; nothing stored");
    return kBadArguments;
  }
  if (cause.empty() && action.empty()) {
    session.problem("--at comments an excursion: give --cause, --action or both");
    return kBadArguments;
  }
  std::vector<const history::Excursion*> matching;
  for (const history::Excursion& e : result.excursions)
    if (e.start == at && (options.quantity.empty() || options.quantity == history::measureName(e.quantity)))
      matching.push_back(&e);
  const std::string name = printable(logger);
  const std::string when = history::isoWithOffset(at, offsets.at(at).offset);
  if (matching.empty()) {
    session.problem(name + ": no excursion starts at " + when +
                    " (tarnwick-cli excursions lists them with their start)");
    return kBadArguments;
  }
  if (matching.size() > 1) {
    session.problem(name + ": several excursions start at " + when +
                    "; choose one with --sensor or --quantity");
    return kBadArguments;
  }
  const history::Excursion& e = *matching.front();
  history::ExcursionComment comment;
  comment.sensor = e.sensor;
  comment.quantity = history::measureName(e.quantity);
  comment.start = e.start;
  comment.utc = static_cast<int64_t>(session.io().clock());
  comment.who = history::thisComputer();
  comment.cause = cause;
  comment.action = action;
  if (!store.addExcursionComment(logger, comment, error)) {
    session.problem(printable(error));
    return kFileError;
  }
  session.note(name + " sensor " + std::to_string(e.sensor) + ": comment added to the " +
               history::measureName(e.quantity) + " excursion from " + when);
  return kDone;
}

// Opens the history at its usual place; false after saying why.
bool openStore(Session& session, history::Store& store) {
  return openHistory(session, store, historyLocation());
}

}  // namespace

int limits(Session& session, const LimitsOptions& options) {
  const bool setting = options.temperature || options.humidity || options.delay || options.rule;
  if (setting && options.clear) {
    session.problem("--clear removes the limits; it takes no --temperature, --humidity, --delay or --rule");
    return kBadArguments;
  }
  // Everything read before anything is stored.
  std::string error;
  std::optional<double> temperatureLow, temperatureHigh, humidityLow, humidityHigh;
  int64_t delay = 0;
  history::AlarmRule rule = history::AlarmRule::consecutive;
  if ((options.temperature &&
       !history::parseRange(*options.temperature, temperatureLow, temperatureHigh, error)) ||
      (options.humidity && !history::parseRange(*options.humidity, humidityLow, humidityHigh, error)) ||
      (options.delay && !history::parseDelay(*options.delay, delay, error)) ||
      (options.rule && !history::parseRule(*options.rule, rule, error))) {
    session.problem(printable(error));
    return kBadArguments;
  }
  std::optional<uint16_t> sensor;
  if (options.sensor >= 0) sensor = static_cast<uint16_t>(options.sensor);

  history::Store store;
  if (!openStore(session, store)) return kFileError;
  std::string logger;
  int status = historyLogger(session, store, options.serial, true, logger);
  if (status != kDone) return status;
  if (!setting && !options.clear) return showLimits(session, store, logger, sensor);

  const history::Computer who = history::thisComputer();
  std::string reason;
  if (!history::noteText(options.reason, history::kMaxNoteLength, "--reason", reason, error)) {
    session.problem(error + "; nothing stored");
    return kBadArguments;
  }
  if (options.clear) {
    if (!store.clearLimits(logger, sensor, who, error, reason))
      return limitsNotStored(session, logger, sensor, error);
    session.note(printable(logger) + ", " + whereText(sensor) + ": limits removed");
    return kDone;
  }
  history::Limits limits;
  bool set = false;
  if (!store.effectiveLimits(logger, sensor, limits, set, error)) {
    session.problem(printable(error));
    return kFileError;
  }
  if (options.temperature) {
    limits.temperature.lower = temperatureLow;
    limits.temperature.upper = temperatureHigh;
  }
  if (options.humidity) {
    limits.humidity.lower = humidityLow;
    limits.humidity.upper = humidityHigh;
  }
  for (history::QuantityLimits* q : {&limits.temperature, &limits.humidity}) {
    if (options.delay) q->delay = delay;
    if (options.rule) q->rule = rule;
  }
  // What the merge gives is checked as a whole: ":1" for a logger whose lower limit is 2, say.
  for (const auto& [q, what] :
       {std::pair<const history::QuantityLimits*, const char*>{&limits.temperature, "temperature"},
        {&limits.humidity, "humidity"}}) {
    if (!q->valid(error)) {
      session.problem(std::string(what) + " limits " + history::formatRange(q->lower, q->upper) + ": " +
                      error + "; give both bounds");
      return kBadArguments;
    }
  }
  if (!store.setLimits(logger, sensor, limits, who, error, reason))
    return limitsNotStored(session, logger, sensor, error);
  return showLimits(session, store, logger, sensor);
}

int excursions(Session& session, const ExcursionOptions& options) {
  history::Store store;
  Judged judged;
  const int status = judgeHistory(session, store, options, false, judged);
  if (status != kDone) return status;
  const history::Query& query = judged.query;
  const history::ClockOffsets& offsets = judged.offsets;
  const std::string name = printable(query.logger);
  if (!judged.limitsSet) {
    session.note(name + ": no limits set (tarnwick-cli limits --serial " + name +
                 " --temperature 2:8 sets them)");
    return kDone;
  }
  history::ExcursionResult& result = judged.result;
  std::stable_sort(result.excursions.begin(), result.excursions.end(),
                   [](const history::Excursion& a, const history::Excursion& b) {
                     return a.start != b.start ? a.start < b.start : a.sensor < b.sensor;
                   });
  if (!options.at.empty()) return commentExcursion(session, store, query.logger, offsets, result, options);
  std::string error;
  std::vector<history::ExcursionComment> comments;
  if (!store.excursionComments(query.logger, comments, error)) {
    session.problem(printable(error));
    return kFileError;
  }
  history::LoggerLabel label;
  if (!store.loggerLabel(query.logger, label, error)) {
    session.problem(printable(error));
    return kFileError;
  }
  const auto writtenAt = [](int64_t utc) {
    const history::Zone zone = history::localZone(utc);
    return history::isoWithOffset(utc + zone.offset, zone.offset);
  };
  const bool jsonl = options.format == "jsonl";
  std::string text;
  for (const history::Excursion& e : result.excursions) {
    const std::string start = history::isoWithOffset(e.start, offsets.at(e.start).offset);
    const std::string end = history::isoWithOffset(e.end, offsets.at(e.end).offset);
    const bool temperature = e.quantity == history::Measure::temperature;
    if (jsonl) {
      Json line;
      line["serial"] = utf8FromAnsi(query.logger);
      line["name"] = label.name.empty() ? Json() : Json(label.name);
      line["sensor"] = static_cast<unsigned>(e.sensor);
      line["quantity"] = history::measureName(e.quantity);
      line["side"] = history::sideName(e.side);
      line["start"] = start;
      line["end"] = end;
      line["duration_s"] = e.duration;
      line["readings"] = e.readings;
      line["extreme"] = static_cast<float>(e.extreme);
      line["limit"] = static_cast<float>(e.limit);
      line["alarm"] = e.alarm;
      Json notes = Json::array();
      for (const history::ExcursionComment* c : commentsOn(comments, e)) {
        Json note;
        note["cause"] = c->cause;
        note["action"] = c->action;
        note["user"] = c->who.user;
        note["host"] = c->who.host;
        note["time"] = writtenAt(c->utc);
        notes.push_back(note);
      }
      line["comments"] = notes;
      text += line.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
    } else {
      text += name + " sensor " + std::to_string(e.sensor) + ": " + history::measureName(e.quantity) + " " +
              history::sideName(e.side) + " " + number(e.limit) + (temperature ? " °C" : " %RH") + " from " +
              start + " to " + end + (e.endsOutside ? " (still outside at the end)" : "") + ", " +
              history::durationText(e.duration) + ", " + std::to_string(e.readings) +
              (e.readings == 1 ? " reading" : " readings") + ", extreme " + oneDecimal(e.extreme) +
              (e.alarm ? ", ALARM" : "") + "\n";
      for (const history::ExcursionComment* c : commentsOn(comments, e))
        text += "  comment " + writtenAt(c->utc) + " " + c->who.user + " on " + c->who.host + ":" +
                (c->cause.empty() ? std::string() : " cause: " + c->cause) +
                (c->cause.empty() || c->action.empty() ? "" : ";") +
                (c->action.empty() ? std::string() : " action: " + c->action) + "\n";
    }
  }
  if (!jsonl) text += name + ": " + history::verdict(result) + "\n";
  if (!jsonl && history::verdictKind(result) == history::VerdictKind::incomplete)
    text += reasonLines(name, result.coverage, &offsets);
  if (!write(session, text)) return kFileError;
  return verdictStatus(result);
}

int downloadAlarms(Session& session, const std::string& serialText, const std::vector<messwert_tag>& records,
                   history::Store& store, int64_t skipped) {
  const std::string path = historyLocation();
  std::string error;
  // No history, no limits: a download with --no-history makes none.
  std::error_code failed;
  if (serialText.empty() || path.empty()) return kDone;
  if (!store.isOpen() && ((!history::isServerLocation(path) && !std::filesystem::exists(path, failed)) ||
                          !store.open(path, error)))
    return kDone;
  bool anyLimits = false, unreadable = false;
  history::ExcursionFinder finder([&](uint16_t sensor) {
    history::Limits limits;
    bool set = false;
    if (!unreadable && !store.effectiveLimits(serialText, sensor, limits, set, error)) {
      session.problem(printable(error) + "; the download is not checked against its limits");
      unreadable = true;
    }
    set = set && !unreadable;
    anyLimits = anyLimits || set;
    return set ? limits : history::Limits{};
  });
  // In the order the download gives them; what the history leaves out (no valid time) is left out here.
  int64_t first = INT64_MAX, last = INT64_MIN;
  for (const messwert_tag& record : records) {
    int64_t time = 0;
    if (!history::recordTime(record, time)) continue;
    finder.add(time, record, messwert::checksum(record) != 0);
    first = std::min(first, time);
    last = std::max(last, time);
  }
  if (first <= last) finder.addNotDownloaded(skipped, first, last);
  const history::ExcursionResult result = finder.finish();
  const int status = verdictStatus(result);
  if (!anyLimits || status == kDone) return kDone;
  const std::string name = printable(serialText);
  // Said even with --quiet: the exit status is not 0.
  session.problem(name + ": " + history::verdict(result) + " in the download (tarnwick-cli " +
                  (status == kExcursionAlarm ? "excursions" : "verdict") + " --serial " + name + " lists " +
                  (status == kExcursionAlarm ? "them)" : "the reasons)"));
  return status;
}

void recordClockSetting(Session& session, const std::string& serialText, std::time_t now) {
  const std::string path = historyLocation();
  std::string error;
  history::Store store;
  if (serialText.empty()) return;  // the history keeps no logger without a serial number
  if (path.empty() || !store.open(path, error) ||
      !store.recordClockZone(serialText, now, history::localZone(now), history::ClockZoneKind::setTime,
                             error))
    session.problem(printable(serialText) + ": the clock is set, but its zone is not noted in the history (" +
                    (path.empty() ? std::string("no home folder is known") : printable(error)) + ")");
}

void recordFirmwareSeen(Session& session, const std::string& serialText, const std::string& version) {
  const std::string path = historyLocation();
  std::string error;
  history::Store store;
  if (serialText.empty() || version.empty() || path.empty()) return;
  if (!store.open(path, error) || !store.recordFirmware(serialText, std::time(nullptr), version, error))
    session.problem(printable(serialText) + ": its firmware version is not noted in the history (" +
                    printable(error) + ")");
}

}  // namespace cli
