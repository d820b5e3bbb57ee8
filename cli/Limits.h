// Limits, excursions and the clock's zone on the command line: the limits and excursions commands,
// the alarm check after a download, and what set-time and a firmware update note in the history.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "cli/Session.h"
#include "data/Messwert.h"

namespace history {
class Store;
}

namespace cli {

// tarnwick-cli limits: with any of temperature, humidity, delay, rule the limits are set, merged with
// what was set (options not given keep their value; a sensor without limits of its own starts from
// the logger's); delay and rule go to both quantities. `clear` removes them (a sensor takes the
// logger's again). Without any, they are shown with the record of their changes. Bad input: one
// line, kBadArguments, nothing stored.
struct LimitsOptions {
  std::string serial;
  int sensor = -1;  // -1: the logger's limits, for every sensor without its own
  std::optional<std::string> temperature, humidity, delay, rule;
  bool clear = false;
  std::string reason;  // why they change: needed when limits are set
};
int limits(Session& session, const LimitsOptions& options);

// tarnwick-cli excursions: the excursions of a logger's readings in the history, as text or one JSON
// object per line, each with the comments on it; kExcursionAlarm when one alarms. With `at`, a comment
// (cause, action) is added to the excursion that starts then instead.
struct ExcursionOptions {
  std::string serial;  // empty: the history's only logger
  int sensor = -1;
  std::string from, to;
  std::string format = "text";
  std::string at;  // the start of the excursion to comment
  std::string quantity;
  std::optional<std::string> cause, action;
};
int excursions(Session& session, const ExcursionOptions& options);

// After a download: kExcursionAlarm (said on standard error) when the logger has limits in the
// history and an excursion of the downloaded records alarms, else kIncomplete when their verdict is
// incomplete (`skipped`: records left out for impossible time stamps); kDone otherwise, also when the
// history cannot be read. `store`: the command's connection to the history, opened here when it is not
// open yet.
int downloadAlarms(Session& session, const std::string& serialText, const std::vector<messwert_tag>& records,
                   history::Store& store, int64_t skipped = 0);

// Notes in the history what the logger's clock was set by: this PC's zone and UTC offset at `now`.
// A failure is said; the clock is set all the same.
void recordClockSetting(Session& session, const std::string& serialText, std::time_t now);
// Notes the firmware version a logger reported (a firmware update's check).
void recordFirmwareSeen(Session& session, const std::string& serialText, const std::string& version);

}  // namespace cli
