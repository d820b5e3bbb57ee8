// The per-hour summaries of the readings one import adds, gathered as it inserts them, so that the
// import adds them to `reading_hours` once per hour instead of reading each hour back.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <set>
#include <utility>

namespace history {

int64_t hourOf(int64_t time);

struct HourSum {
  int64_t readings = 0, firstTime = 0, lastTime = 0;
  // NaN: no reading of the hour had that value (the database keeps NULL).
  double minimum[3] = {NAN, NAN, NAN}, maximum[3] = {NAN, NAN, NAN};
};

class ReadingHourSums {
 public:
  using Key = std::pair<uint16_t, int64_t>;  // sensor, hour

  // A reading without a check-sum error that the import inserted; values not finite count as none.
  void add(uint16_t sensor, int64_t time, const float (&values)[3]) {
    HourSum& h = sums_[{sensor, hourOf(time)}];
    if (h.readings++ == 0) h.firstTime = h.lastTime = time;
    h.firstTime = std::min(h.firstTime, time);
    h.lastTime = std::max(h.lastTime, time);
    for (int i = 0; i < 3; ++i) {
      if (!std::isfinite(values[i])) continue;
      const double v = static_cast<double>(values[i]);
      if (std::isnan(h.minimum[i]) || v < h.minimum[i]) h.minimum[i] = v;
      if (std::isnan(h.maximum[i]) || v > h.maximum[i]) h.maximum[i] = v;
    }
  }
  // An hour whose readings the import also removed: its summary is computed again from the readings.
  void recompute(uint16_t sensor, int64_t time) { recompute_.emplace(sensor, hourOf(time)); }

  const std::map<Key, HourSum>& sums() const { return sums_; }
  const std::set<Key>& recomputed() const { return recompute_; }

 private:
  std::map<Key, HourSum> sums_;
  std::set<Key> recompute_;
};

}  // namespace history
