// Coverage: whether a run of readings covers its period with readings that can be trusted, and where
// it does not. The verdict of a set of readings (Excursions.h) is "within limits" only when nothing
// here is found; otherwise, without an alarm, it is "incomplete" with these reasons and their times.
//
// The reasons:
//  - gap: two consecutive readings of a sensor further apart than twice the usual step. The usual
//    step is the median of the positive steps between consecutive readings of each sensor (all
//    sensors' steps together: a logger takes its sensors in rounds at one interval). Where the period
//    asked for is known, the stretch from its start to a sensor's first reading and from the last
//    reading to its end counts the same way. With fewer than two steps there is no usual step and no
//    gap is found.
//  - no value: a reading flagged with a check-sum error, or whose temperature or humidity is not a
//    number (NaN, an infinity) or lies beyond what the sensor's 16-bit count can express. Consecutive
//    such readings of a sensor make one run.
//  - not downloaded: records the logger held that no download brought (left out for impossible time
//    stamps, or lost to a firmware update); added by the caller that knows of them.
//  - file only: readings read from a CSV file, not downloaded from the logger (files fill only where no
//    download exists, and their values cannot be checked against the logger's check bytes).
//    Consecutive file readings of a sensor make one run.
//
// One pass over the readings in time order, keeping per sensor only its last reading and open runs,
// and a table of the steps seen (one entry per distinct step): no copy of the readings.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "data/Messwert.h"

namespace history {

enum class ReasonKind { gap, noValue, notDownloaded, fileOnly };
constexpr size_t kReasonKinds = 4;
// "gap", "no-value", "not-downloaded", "file-only"
const char* reasonKindName(ReasonKind kind);

struct Reason {
  ReasonKind kind = ReasonKind::gap;
  std::optional<uint16_t> sensor;  // none: the logger as a whole (records not downloaded)
  int64_t start = 0, end = 0;      // StoredRecord::time; a gap runs from the reading before to the one after
  int64_t count = 0;               // readings (no value, file only), records (not downloaded); 1 for a gap
};

// The bounds of the readings' values that a sensor's count can express; beyond them a value is no
// measurement.
constexpr double kLowestHumidity = -6.0, kHighestHumidity = 119.0;
constexpr double kLowestTemperature = -46.85, kHighestTemperature = 128.87;
// Whether a reading has a value for both its quantities (finite, within those bounds).
bool hasValue(const messwert_tag& record);

// At most this many reasons of each kind are listed; the totals count them all.
constexpr size_t kMostReasonsListed = 500;

struct Coverage {
  int64_t interval = 0;         // the usual step in seconds; 0: not known (fewer than two steps)
  std::vector<Reason> reasons;  // by start, then kind and sensor
  // Per kind (ReasonKind as index): how many runs or gaps there are in all, and the readings or
  // records they concern.
  std::array<int64_t, kReasonKinds> runs{}, readings{};
  bool complete() const;
  // "1 gap, 3 readings without a value, 12 records not downloaded, 40 readings only from files"; empty
  // when complete.
  std::string summary() const;
  // Whether a sensor has a reason of its own (reasons of the whole logger count for every sensor).
  bool completeFor(uint16_t sensor) const;
  std::vector<uint16_t> incompleteSensors;  // sorted; sensors with a reason of their own
  bool loggerReasons = false;               // a reason of the whole logger
};

class CoverageFinder {
 public:
  CoverageFinder();
  ~CoverageFinder();
  CoverageFinder(const CoverageFinder&) = delete;
  CoverageFinder& operator=(const CoverageFinder&) = delete;

  // The period the readings were asked for (inclusive): the stretches before a sensor's first and
  // after its last reading count as gaps too.
  void setPeriod(int64_t from, int64_t to);
  void add(int64_t time, const messwert_tag& record, bool checksumError, bool fromFile);
  // Records the logger held that no download brought, around [start, end].
  void addNotDownloaded(int64_t count, int64_t start, int64_t end);
  // Ends the finder.
  Coverage finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace history
