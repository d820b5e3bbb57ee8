#include "cli/Verdict.h"

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>

#include "cli/ConsoleText.h"
#include "cli/ExitStatus.h"
#include "cli/History.h"
#include "cli/HistoryAccess.h"
#include "history/Limits.h"
#include "history/TimeText.h"

namespace cli {

int judgeHistory(Session& session, history::Store& store, const ExcursionOptions& options, bool withoutLimits,
                 Judged& out) {
  if (!openHistory(session, store, historyLocation())) return kFileError;
  history::Query& query = out.query;
  if (options.serial.empty()) {
    const std::vector<std::string> loggers = store.loggers();
    if (loggers.size() != 1) {
      session.problem(loggers.empty() ? std::string("the history holds no records")
                                      : "the history holds several loggers; give --serial");
      return loggers.empty() ? kNoLogger : kBadArguments;
    }
    query.logger = loggers.front();
  } else {
    const int status = historyLogger(session, store, options.serial, false, query.logger);
    if (status != kDone) return status;
  }
  out.logger = query.logger;
  if (options.sensor >= 0) query.sensors = {static_cast<uint16_t>(options.sensor)};
  std::string error;
  std::vector<history::ClockZoneRow> zones;
  if (!store.clockZones(query.logger, zones, error)) {
    session.problem(printable(error));
    return kFileError;
  }
  out.offsets = history::clockOffsets(zones, session.io().clock());
  if (!options.from.empty() && !parseClockTime(options.from, false, &out.offsets, query.from, error)) {
    session.problem("--from: " + error);
    return kBadArguments;
  }
  if (!options.to.empty() && !parseClockTime(options.to, true, &out.offsets, query.to, error)) {
    session.problem("--to: " + error);
    return kBadArguments;
  }
  std::vector<history::LimitsRow> rows;
  if (!store.limitRows(query.logger, rows, error)) {
    session.problem(printable(error));
    return kFileError;
  }
  out.limitsSet = !rows.empty();
  if (!out.limitsSet && !withoutLimits) return kDone;
  // Every sensor's limits are read before the readings stream: a server's connection carries one
  // statement at a time, and the finder asks while the readings arrive.
  std::string limitsError;
  std::map<int, history::Limits> limitsOf;
  const std::vector<uint16_t> sensors = store.sensors(query.logger);
  if (!store.lastError().empty()) {
    session.problem(printable(store.lastError()));
    return kFileError;
  }
  auto readLimits = [&](std::optional<uint16_t> sensor) {
    history::Limits limits;
    bool set = false;
    if (!store.effectiveLimits(query.logger, sensor, limits, set, limitsError) && limitsError.empty())
      limitsError = "cannot read the limits";
    limitsOf[sensor ? static_cast<int>(*sensor) : -1] = set ? limits : history::Limits{};
  };
  readLimits(std::nullopt);
  for (uint16_t sensor : sensors) readLimits(sensor);
  if (!limitsError.empty()) {
    session.problem(printable(limitsError));
    return kFileError;
  }
  history::ExcursionFinder finder([&](uint16_t sensor) {
    const auto own = limitsOf.find(sensor);
    return own != limitsOf.end() ? own->second : limitsOf[-1];
  });
  finder.setPeriod(query.from, query.to);
  if (!store.scan(
          query,
          [&](const history::StoredRecord& r) {
            finder.add(r);
            return true;
          },
          error)) {
    session.problem(printable(error));
    return kFileError;
  }
  out.result = finder.finish();
  return kDone;
}

int verdictStatus(const history::ExcursionResult& result) {
  switch (history::verdictKind(result)) {
    case history::VerdictKind::alarms:
      return kExcursionAlarm;
    case history::VerdictKind::incomplete:
      return kIncomplete;
    default:
      return kDone;
  }
}

namespace {

using Json = nlohmann::ordered_json;

std::string reasonText(const history::Reason& r) {
  switch (r.kind) {
    case history::ReasonKind::gap:
      return "gap of " + history::formatDelay(r.end - r.start);
    case history::ReasonKind::noValue:
      return std::to_string(r.count) + (r.count == 1 ? " reading" : " readings") + " without a value";
    case history::ReasonKind::notDownloaded:
      return std::to_string(r.count) + (r.count == 1 ? " record" : " records") + " not downloaded";
    case history::ReasonKind::fileOnly:
      return std::to_string(r.count) + (r.count == 1 ? " reading" : " readings") + " only from a file";
  }
  return std::string();
}

std::string timeOf(int64_t t, const history::ClockOffsets* offsets) {
  return history::isoWithOffset(t, offsets ? offsets->at(t).offset : 0);
}

// Reasons beyond the listed ones: "... and N more gaps".
std::string unlisted(const std::string& name, const history::Coverage& coverage) {
  std::string text;
  for (size_t kind = 0; kind < history::kReasonKinds; ++kind) {
    int64_t listed = 0;
    for (const history::Reason& r : coverage.reasons) listed += size_t(r.kind) == kind ? 1 : 0;
    const int64_t more = coverage.runs[kind] - listed;
    if (more > 0)
      text += name + ": " + std::to_string(more) + " more of kind " +
              history::reasonKindName(static_cast<history::ReasonKind>(kind)) + " not listed\n";
  }
  return text;
}

}  // namespace

std::string reasonLines(const std::string& name, const history::Coverage& coverage,
                        const history::ClockOffsets* offsets) {
  std::string text;
  for (const history::Reason& r : coverage.reasons) {
    text += name + (r.sensor ? " sensor " + std::to_string(*r.sensor) : std::string()) + ": " +
            reasonText(r) + " from " + timeOf(r.start, offsets) + " to " + timeOf(r.end, offsets) + "\n";
  }
  return text + unlisted(name, coverage);
}

int verdict(Session& session, const ExcursionOptions& options) {
  history::Store store;
  Judged judged;
  const int status = judgeHistory(session, store, options, true, judged);
  if (status != kDone) return status;
  const history::ExcursionResult& result = judged.result;
  const std::string name = printable(judged.logger);
  std::string text;
  if (options.format == "jsonl") {
    Json line;
    line["serial"] = utf8FromAnsi(judged.logger);
    line["verdict"] = history::verdictKindName(history::verdictKind(result));
    line["text"] = history::verdict(result);
    line["alarms"] = result.alarms();
    line["interval_s"] = result.coverage.interval;
    Json reasons = Json::array();
    for (const history::Reason& r : result.coverage.reasons) {
      Json reason;
      reason["kind"] = history::reasonKindName(r.kind);
      if (r.sensor) reason["sensor"] = static_cast<unsigned>(*r.sensor);
      reason["start"] = timeOf(r.start, &judged.offsets);
      reason["end"] = timeOf(r.end, &judged.offsets);
      reason["count"] = r.count;
      reasons.push_back(reason);
    }
    line["reasons"] = reasons;
    Json totals;
    for (size_t kind = 0; kind < history::kReasonKinds; ++kind)
      totals[history::reasonKindName(static_cast<history::ReasonKind>(kind))] = result.coverage.runs[kind];
    line["reason_totals"] = totals;
    text = line.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
  } else {
    text = name + ": " + history::verdict(result) + "\n";
    if (result.coverage.interval > 0)
      text += name + ": usual step " + history::formatDelay(result.coverage.interval) +
              ", a gap is longer than " + history::formatDelay(2 * result.coverage.interval) + "\n";
    text += reasonLines(name, result.coverage, &judged.offsets);
  }
  std::FILE* out = session.io().out;
  if (std::fwrite(text.data(), 1, text.size(), out) != text.size() || std::fflush(out) != 0) {
    session.problem("cannot write to standard output");
    return kFileError;
  }
  return verdictStatus(result);
}

}  // namespace cli
