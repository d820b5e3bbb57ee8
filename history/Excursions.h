// Excursions: the runs of readings outside a sensor's limits, how long and how far they went, and
// which of them raise an alarm. No Qt here, so the window, the command line and the report count the
// same way.
//
// An excursion is a longest run of consecutive readings of one sensor on the same side of a limit
// (above the upper, or below the lower; a value equal to a limit is within). It starts at its first
// reading outside and ends at the first reading after it that is not on that side, or at its last
// reading when the data ends outside. A reading that jumps from above the upper limit straight to
// below the lower one ends the excursion above and starts one below, both at that reading's time.
// Readings flagged with a check-sum error are left out, and so is a value that is not a finite
// number or lies beyond what the sensor's count can express (of that quantity only): the run goes on
// across them as if they were not there. Such readings make the verdict incomplete (Coverage.h).
//
// Time. The logger's clock has no zone: it keeps the local time of the PC that last set it and does
// not change for daylight-saving time by itself; a PC that sets it after a change moves it by the
// hour. The readings are taken in the order they come, never re-sorted, and every duration is summed
// from the steps between the calendar times (StoredRecord::time) of consecutive readings of the
// sensor:
//  - a step backwards counts as zero, so no duration or total is ever negative;
//  - a step forwards counts in full, gaps included.
// Clock set back an hour (the hour that repeats): the hour before the change has readings twice.
// In the logger's memory order the readings step back once at the change, which took no time, so
// durations come out right. Downloads and the history keep readings in calendar-time order, though:
// there the two passes of that hour interleave, the steps between them are small or zero, and the
// hour counts once although two passed.
// Clock set forward an hour (the hour that is skipped): the step across it counts the hour, though
// it never passed.
// So across a clock change a duration is off by at most the change, and only for an excursion that
// spans it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "history/Coverage.h"
#include "history/History.h"
#include "history/Limits.h"

namespace history {

enum class Measure { temperature, humidity };
enum class Side { above, below };
const char* measureName(Measure measure);  // "temperature", "humidity"
const char* sideName(Side side);           // "above", "below"

struct Excursion {
  uint16_t sensor = 0;
  Measure quantity = Measure::temperature;
  Side side = Side::above;
  int64_t start = 0;         // StoredRecord::time of the first reading outside
  int64_t end = 0;           // of the first reading no longer on this side, or of the last reading
  int64_t duration = 0;      // seconds from start to end, summed as described above
  int64_t readings = 0;      // readings outside
  double extreme = 0;        // highest value above, lowest below
  double limit = 0;          // the limit it crossed
  bool endsOutside = false;  // the data ends during it: `end` is its last reading
  bool alarm = false;
};

// One quantity of one sensor.
struct QuantityExcursions {
  bool limited = false;                  // a lower or upper limit is set
  int64_t timeAbove = 0, timeBelow = 0;  // seconds, the sums of the excursions' durations
  int64_t excursions = 0, alarms = 0;
};

struct SensorExcursions {
  uint16_t sensor = 0;
  int64_t readings = 0;  // readings looked at
  int64_t leftOut = 0;   // readings with a check-sum error
  QuantityExcursions temperature, humidity;
  bool complete = true;  // no reason of Coverage concerns this sensor
  int64_t excursions() const { return temperature.excursions + humidity.excursions; }
  int64_t alarms() const { return temperature.alarms + humidity.alarms; }
};

struct ExcursionResult {
  std::vector<Excursion> excursions;      // in the order of their first readings
  std::vector<SensorExcursions> sensors;  // in sensor order
  Coverage coverage;                      // over the same readings
  int64_t alarms() const;
};

// The limits a sensor's readings are held to, asked once per sensor.
using LimitsOf = std::function<Limits(uint16_t sensor)>;

// Reads one logger's records one at a time (as Store::scan hands them out) and keeps only the
// excursions, not the records.
class ExcursionFinder {
 public:
  explicit ExcursionFinder(LimitsOf limitsOf);
  ~ExcursionFinder();
  ExcursionFinder(const ExcursionFinder&) = delete;
  ExcursionFinder& operator=(const ExcursionFinder&) = delete;

  void add(const StoredRecord& record) {
    add(record.time, record.record, record.checksumError, record.fromFile);
  }
  // The same without a StoredRecord (time as in StoredRecord::time), for readings kept otherwise.
  void add(int64_t time, const messwert_tag& record, bool checksumError, bool fromFile = false);
  // The period asked for, and records the logger held that did not come (see CoverageFinder).
  void setPeriod(int64_t from, int64_t to);
  void addNotDownloaded(int64_t count, int64_t start, int64_t end);
  // The excursions with their alarms, and the sums per sensor. Ends the finder.
  ExcursionResult finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The same over a list of one logger's records (StoredRecord::logger is not looked at), e.g. what
// statistics() is given.
ExcursionResult findExcursions(const std::vector<StoredRecord>& records, const LimitsOf& limitsOf);
ExcursionResult findExcursions(const std::vector<StoredRecord>& records, const Limits& everySensor);

// The verdict over a set of readings, one rule for every view of them: alarms when any excursion
// alarms; else incomplete when the readings do not cover their period with values that can be trusted
// (Coverage); else no readings, no limits set, or within limits.
enum class VerdictKind { within, alarms, incomplete, noReadings, noLimits };
VerdictKind verdictKind(const ExcursionResult& result);
VerdictKind verdictKind(const SensorExcursions& sensor);
const char* verdictKindName(
    VerdictKind kind);  // "within", "alarms", "incomplete", "no-readings", "no-limits"

// One line: "Within limits", "1 alarm", "N alarms", "Incomplete: " and what Coverage::summary says;
// "No limits set" when no sensor has a limit, "No readings" when there were none to look at. For one
// sensor, incomplete is "Incomplete" alone.
std::string verdict(const ExcursionResult& result);
std::string verdict(const SensorExcursions& sensor);

}  // namespace history
