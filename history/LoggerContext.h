// What the history keeps around a logger's readings, for a report or a spreadsheet of them: the limits
// each sensor is held to, the latest change of the limits, the zones its clock followed, the firmware
// last seen and where each download was made.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "history/History.h"
#include "history/Limits.h"
#include "history/Signing.h"

namespace history {

struct LoggerContext {
  std::map<uint16_t, Limits> limits;         // per sensor with limits
  std::string limitChange;                   // the latest change, one line; empty: none
  std::vector<LimitChange> limitChanges;     // every change of the limits of these sensors, oldest first
  LoggerLabel label;                         // the logger's name and place
  std::vector<ExcursionComment> comments;    // on its excursions, oldest first
  std::optional<ClockOffsets> clock;         // as clockOffsets() takes them
  std::string firmware;                      // last seen; empty: not known
  std::map<int64_t, DownloadRow> downloads;  // by id
  // The audit trail's head and the signatures of this logger's readings, oldest first (a server's
  // history keeps none).
  std::string auditHead;
  std::vector<KeptSignature> signatures;
  std::map<std::string, RegisteredKey> keys;  // by fingerprint
};

// False with a message when the history cannot be read or holds limits that are not valid: a report
// or a spreadsheet held to the wrong limits is worse than none. `now` stands in for the clock's zone
// where none is recorded (see clockOffsets()).
bool readLoggerContext(Store& store, const std::string& logger, const std::vector<uint16_t>& sensors,
                       int64_t now, LoggerContext& context, std::string& error);

// A change of limits as one line: "2026-03-02 09:15:00 UTC, quality on lab-pc, sensor 2: temperature
// ... -> temperature ..." and ", reason: ..." when one was given.
std::string limitChangeText(const LimitChange& change);
// When and by whom: "2026-03-02 09:15:00 UTC, quality on lab-pc".
std::string whenAndWhoText(int64_t utc, const Computer& computer);

// A logger as people know it: "VLM70001 (Fridge 3, Vaccine store)", or the serial alone.
std::string loggerTitle(const std::string& serial, const LoggerLabel& label);

// The sensors of a set of readings, in the order they first come.
std::vector<uint16_t> sensorsOf(const std::vector<StoredRecord>& records);

// Sorts one logger's readings as Store::scan hands them out (time, sensor, the record's bytes), so that
// a digest over readings kept elsewhere equals the history's.
void sortAsStored(std::vector<StoredRecord>& records);

}  // namespace history
