// What the commands that read the history share: opening it, the logger --serial names in it, and
// the times --from and --to give.
#pragma once

#include <cstdint>
#include <string>

#include "cli/Session.h"
#include "history/History.h"

namespace cli {

// Opens the history for a command that reads or adds to it; says why not, and passes on its notice.
bool openHistory(Session& session, history::Store& store, const std::string& path);

// The logger of the history that `wanted` (UTF-8, from --serial) names, by the one serial rule of
// every command: kDone with `logger` set, else the status after saying why (kBadArguments for several,
// kNoLogger for none). With `mayBeNew`, a whole serial number the history does not know yet is taken
// as given (limits set before the first download); a number alone must name a known logger.
int historyLogger(Session& session, history::Store& store, const std::string& wanted, bool mayBeNew,
                  std::string& logger);

// --from and --to: "2026-03-02", "2026-03-02T04:40", "2026-03-02T04:40:06" (a blank for the T too),
// read as the logger's clock shows it, which is how the history keeps the readings' times. A date alone
// is its first second, or its last for an end. With an offset ("...T04:40:06+01:00" or "...Z") the
// moment is turned into the logger's clock time by the zones recorded for it (`offsets`; without
// them an offset is refused). False with the reason in `why`.
bool parseClockTime(const std::string& text, bool end, const history::ClockOffsets* offsets, int64_t& seconds,
                    std::string& why);

}  // namespace cli
