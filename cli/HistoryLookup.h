// What the history commands that report on one logger share: the logger the user named, its readings
// over a range, and what the history knows around them.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cli/Session.h"
#include "history/History.h"
#include "history/Limits.h"

namespace cli {

struct Selection {
  std::string serial;        // UTF-8 as typed; empty: the history's only logger
  std::vector<int> sensors;  // empty: every sensor
  std::string from, to;      // as the history command takes them; empty: open
};

// Opens the history and finds the logger (the rule of every --serial, or the only logger when none
// is named) and the query over the range. kDone, or the status to end with after the message.
int selectLogger(Session& session, history::Store& store, const Selection& selection, history::Query& query);

// What the history keeps around a logger's readings, for a report or a spreadsheet.
struct Context {
  std::map<uint16_t, history::Limits> limits;         // per sensor with limits
  std::string limitChange;                            // the latest change, one line; empty: none
  std::optional<history::ClockOffsets> clock;         // unset: no zone recorded
  std::string firmware;                               // last seen; empty: not known
  std::map<int64_t, history::DownloadRow> downloads;  // by id
};
// False with a message when the history cannot be read or holds limits that are not valid: a report
// or a spreadsheet held to the wrong limits is worse than none.
bool loggerContext(history::Store& store, const std::string& logger, const std::vector<uint16_t>& sensors,
                   Context& context, std::string& error);
// The latest change as one line: "2026-03-02 09:15 UTC, quality on lab-pc, sensor 2: temperature ...
// -> temperature ...".
std::string changeText(const history::LimitChange& change);

}  // namespace cli
