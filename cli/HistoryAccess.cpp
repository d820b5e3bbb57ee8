#include "cli/HistoryAccess.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

#include "cli/Commands.h"
#include "cli/ConsoleText.h"
#include "cli/ExitStatus.h"

namespace cli {

bool openHistory(Session& session, history::Store& store, const std::string& path) {
  std::string error;
  if (path.empty() || !store.open(path, error)) {
    session.problem("cannot open the history " + printable(history::shownLocation(path)) + ": " +
                    (path.empty() ? "no home folder is known" : printable(error)));
    return false;
  }
  if (!store.notice().empty()) session.problem(printable(store.notice()));
  return true;
}

int historyLogger(Session& session, history::Store& store, const std::string& wanted, bool mayBeNew,
                  std::string& logger) {
  const std::string serial = ansiFromUtf8(wanted);
  // The loggers' serial numbers as download and the other commands take them.
  const std::vector<std::string> known = store.loggers();
  if (!store.lastError().empty()) {
    session.problem(printable(store.lastError()));
    return kFileError;
  }
  const std::vector<size_t> matching =
      serialMatches(std::vector<std::optional<std::string>>(known.begin(), known.end()), serial);
  if (matching.size() > 1) {
    std::string names;
    for (size_t index : matching) names += (names.empty() ? "" : ", ") + printable(known[index]);
    session.problem(printable(serial) + " matches several loggers of the history (" + names +
                    "); give the whole serial number");
    return kBadArguments;
  }
  if (matching.size() == 1) {
    logger = known[matching.front()];
    return kDone;
  }
  const bool number = !serial.empty() &&
                      std::all_of(serial.begin(), serial.end(), [](char c) { return c >= '0' && c <= '9'; });
  const bool printableText = std::all_of(serial.begin(), serial.end(), [](char c) {
    return static_cast<unsigned char>(c) >= 0x20 && c != 0x7F;
  });
  if (mayBeNew && !printableText) {
    session.problem("\"" + printable(serial) + "\" is not a serial number (control characters)");
    return kBadArguments;
  }
  if (mayBeNew && !number && !serial.empty() && serial.size() <= history::kMaxLoggerLength) {
    logger = serial;
    return kDone;
  }
  if (mayBeNew && !serial.empty() && serial.size() <= history::kMaxLoggerLength) {
    session.problem("the history knows no logger " + printable(serial) +
                    "; give its whole serial number (VLM" + printable(serial) + ")");
    return kBadArguments;
  }
  session.problem("the history holds no records of " + printable(serial));
  return mayBeNew ? kBadArguments : kNoLogger;
}

bool parseClockTime(const std::string& text, bool end, const history::ClockOffsets* offsets, int64_t& seconds,
                    std::string& why) {
  why = "\"" + printable(text.substr(0, 40)) + "\" is not a time like 2026-03-02, 2026-03-02T04:40:06 or " +
        "2026-03-02T04:40:06+01:00";
  // The offset first: "Z", or +hh:mm / -hh:mm after a time of day.
  std::string local = text;
  std::optional<int> offset;
  if (local.size() > 10 && local.back() == 'Z') {
    offset = 0;
    local.pop_back();
  } else if (local.size() > 16 && (local[local.size() - 6] == '+' || local[local.size() - 6] == '-') &&
             local[local.size() - 3] == ':') {
    const std::string tail = local.substr(local.size() - 5);  // hh:mm
    for (size_t i : {0, 1, 3, 4})
      if (tail[i] < '0' || tail[i] > '9') return false;
    const int hours = (tail[0] - '0') * 10 + (tail[1] - '0'),
              minutes = (tail[3] - '0') * 10 + (tail[4] - '0');
    if (hours > 18 || minutes > 59) return false;
    offset = (local[local.size() - 6] == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
    local.resize(local.size() - 6);
  }
  if (local.size() < 10 || local.size() > 19) return false;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  char separator = 0;
  int used = 0;
  const int fields = std::sscanf(local.c_str(), "%4d-%2d-%2d%n%c%2d:%2d%n:%2d%n", &year, &month, &day, &used,
                                 &separator, &hour, &minute, &used, &second, &used);
  if (fields < 3 || static_cast<size_t>(used) != local.size() || local[4] != '-' || local[7] != '-')
    return false;
  if (fields == 3 && offset) return false;  // an offset belongs to a time of day
  if (fields == 3 && end) {
    hour = 23;
    minute = 59;
    second = 59;
  }
  if (fields > 3 && (fields < 6 || (separator != 'T' && separator != ' '))) return false;
  messwert_tag at{};
  at.year = static_cast<uint16_t>(year);
  at.month = static_cast<uint8_t>(month);
  at.day = static_cast<uint8_t>(day);
  at.hour = static_cast<uint8_t>(hour);
  at.minute = static_cast<uint8_t>(minute);
  at.second = static_cast<uint8_t>(second);
  int64_t calendar = 0;
  if (!history::recordTime(at, calendar)) return false;
  if (!offset) {
    seconds = calendar;
    return true;
  }
  if (offsets == nullptr || !offsets->recorded()) {
    why = "\"" + printable(text.substr(0, 40)) +
          "\" has a UTC offset, but no zone is recorded for the logger's clock (or no --serial is given); "
          "give the time as the logger's clock shows it, without an offset";
    return false;
  }
  seconds = offsets->clockTime(calendar - *offset);
  return true;
}

}  // namespace cli
