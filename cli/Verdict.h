// The verdict of a logger's readings in the history: one judgement shared by the verdict and
// excursions commands (and, over a download's records, by download's alarm check).
#pragma once

#include <cstdint>
#include <string>

#include "cli/Limits.h"
#include "cli/Session.h"
#include "history/Excursions.h"
#include "history/History.h"

namespace cli {

// A logger's readings as --serial, --sensor, --from and --to chose them, judged by its limits.
struct Judged {
  std::string logger;
  history::Query query;
  history::ClockOffsets offsets{{}, history::Zone{}};
  bool limitsSet = false;  // a limits row exists for the logger
  history::ExcursionResult result;
};
// Opens the history, finds the logger and reads its readings once; kDone, or the status after saying
// why. `withoutLimits` false stops after finding the logger when it has no limits (`limitsSet` false,
// nothing read).
int judgeHistory(Session& session, history::Store& store, const ExcursionOptions& options, bool withoutLimits,
                 Judged& out);

// The status a verdict adds to a command that would have ended with kDone: kExcursionAlarm for
// alarms, kIncomplete for readings that do not cover their period, else kDone.
int verdictStatus(const history::ExcursionResult& result);

// The reasons of an incomplete verdict, one line each, as "<serial> <what>: <start> to <end>...".
std::string reasonLines(const std::string& name, const history::Coverage& coverage,
                        const history::ClockOffsets* offsets);

// tarnwick-cli verdict: alarms, incomplete or within limits, with the reasons and their times, as text
// or one JSON object; kDone within, kExcursionAlarm, kIncomplete.
int verdict(Session& session, const ExcursionOptions& options);

}  // namespace cli
