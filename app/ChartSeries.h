// What the measurements chart draws: one quantity of one sensor as arrays sorted by time, and the
// reduction of the part in view to the minimum and maximum of each pixel column, so that a history of
// millions of records draws as fast as a few thousand points and a single spike still shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "history/History.h"

namespace chart {

struct Point {
  double x;  // seconds since 1970
  double y;  // NaN breaks the line
};

// The records whose time lies in [from, to] (both inclusive) as the index range [first, second) of
// `times`, which is sorted.
std::pair<size_t, size_t> rangeOf(const std::vector<int64_t>& times, int64_t from, int64_t to);

// The step above which the line breaks: three times the usual interval between records (the median
// of the steps), at least one minute.
int64_t gapThreshold(const std::vector<int64_t>& times);

// One quantity over time.
class Series {
 public:
  // `times` sorted, shared by the quantities of one sensor. Values that are not finite are never
  // drawn, and the line breaks around them and wherever two neighbouring records are more than `gap`
  // seconds apart.
  Series(std::shared_ptr<const std::vector<int64_t>> times, std::vector<float> values, int64_t gap);
  Series();

  const std::vector<int64_t>& times() const { return *times_; }
  const std::vector<float>& values() const { return values_; }

  // The points that draw the series over [from, to] on `columns` pixel columns: per column the
  // minimum and the maximum in the order they occur (one point when they are the same record), plus
  // the last record before and the first after the range so that the line runs on to the edges.
  // `out` is replaced.
  void decimate(int64_t from, int64_t to, int columns, std::vector<Point>& out) const;

 private:
  static constexpr size_t kBlock = 64;
  // Index of the minimum and maximum among records [begin, end); end stays if there is no number.
  void extremes(size_t begin, size_t end, size_t& minAt, size_t& maxAt) const;

  std::shared_ptr<const std::vector<int64_t>> times_;
  std::vector<float> values_;  // not finite -> NaN
  // Sorted: the line does not join a record before one of these to one at or after it.
  std::vector<size_t> breaks_;
  // Per block of kBlock records, the offsets of its minimum and maximum in it (kNone: no number).
  static constexpr uint8_t kNone = 0xFF;
  std::vector<uint8_t> blockMin_, blockMax_;
};

enum class Quantity { humidity, temperature, ambient };

// The points that draw one quantity of one sensor from the history's lowest and highest per column
// (history::Store::envelope, in column order): both at the middle of the column's readings, and a
// break where the readings of two columns lie more than three usual steps apart. `out` is replaced.
void envelopePoints(const std::vector<history::EnvelopeCell>& cells, uint16_t sensor, Quantity quantity,
                    std::vector<Point>& out);

}  // namespace chart
