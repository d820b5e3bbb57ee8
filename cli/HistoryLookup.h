// What the history commands that report on one logger share: the logger the user named, its readings
// over a range, and what the history knows around them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/Session.h"
#include "history/History.h"

namespace cli {

struct Selection {
  std::string serial;        // UTF-8 as typed; empty: the history's only logger
  std::vector<int> sensors;  // empty: every sensor
  std::string from, to;      // as the history command takes them; empty: open
};

// Opens the history and finds the logger (the rule of every --serial, or the only logger when none
// is named) and the query over the range. kDone, or the status to end with after the message.
int selectLogger(Session& session, history::Store& store, const Selection& selection, history::Query& query);

}  // namespace cli
