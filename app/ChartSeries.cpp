#include "ChartSeries.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace chart {

std::pair<size_t, size_t> rangeOf(const std::vector<int64_t>& times, int64_t from, int64_t to) {
  if (to < from) return {0, 0};
  const auto first = std::lower_bound(times.begin(), times.end(), from);
  const auto last = std::upper_bound(first, times.end(), to);
  return {static_cast<size_t>(first - times.begin()), static_cast<size_t>(last - times.begin())};
}

int64_t gapThreshold(const std::vector<int64_t>& times) {
  constexpr int64_t kMinimum = 60;
  if (times.size() < 2) return kMinimum;
  std::vector<int64_t> steps(times.size() - 1);
  for (size_t i = 1; i < times.size(); ++i) steps[i - 1] = times[i] - times[i - 1];
  const auto middle = steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2);
  std::nth_element(steps.begin(), middle, steps.end());
  return std::max(kMinimum, *middle > std::numeric_limits<int64_t>::max() / 3 ? *middle : 3 * *middle);
}

Series::Series() : times_(std::make_shared<std::vector<int64_t>>()) {}

Series::Series(std::shared_ptr<const std::vector<int64_t>> times, std::vector<float> values, int64_t gap)
    : times_(std::move(times)), values_(std::move(values)) {
  const std::vector<int64_t>& t = *times_;
  const size_t n = t.size();
  values_.resize(n, std::numeric_limits<float>::quiet_NaN());
  for (size_t i = 0; i < n; ++i) {
    if (!std::isfinite(values_[i])) {
      values_[i] = std::numeric_limits<float>::quiet_NaN();
      breaks_.push_back(i);
    } else if (i > 0 && t[i] - t[i - 1] > gap) {
      breaks_.push_back(i);
    }
  }
  const size_t blocks = n / kBlock;
  blockMin_.assign(blocks, kNone);
  blockMax_.assign(blocks, kNone);
  for (size_t b = 0; b < blocks; ++b) {
    size_t minAt = n, maxAt = n;
    float low = std::numeric_limits<float>::infinity(), high = -low;
    for (size_t i = b * kBlock; i < (b + 1) * kBlock; ++i) {
      const float v = values_[i];  // NaN fails both tests
      if (v < low) low = v, minAt = i;
      if (v > high) high = v, maxAt = i;
    }
    if (minAt != n) {
      blockMin_[b] = static_cast<uint8_t>(minAt - b * kBlock);
      blockMax_[b] = static_cast<uint8_t>(maxAt - b * kBlock);
    }
  }
}

void Series::extremes(size_t begin, size_t end, size_t& minAt, size_t& maxAt) const {
  minAt = maxAt = end;
  float low = std::numeric_limits<float>::infinity(), high = -low;
  const auto scan = [&](size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
      const float v = values_[i];
      if (v < low) low = v, minAt = i;
      if (v > high) high = v, maxAt = i;
    }
  };
  const size_t firstBlock = (begin + kBlock - 1) / kBlock, endBlock = end / kBlock;
  if (firstBlock >= endBlock) {
    scan(begin, end);
    return;
  }
  scan(begin, firstBlock * kBlock);
  for (size_t b = firstBlock; b < endBlock; ++b) {
    if (blockMin_[b] == kNone) continue;
    const size_t lowAt = b * kBlock + blockMin_[b], highAt = b * kBlock + blockMax_[b];
    if (values_[lowAt] < low) low = values_[lowAt], minAt = lowAt;
    if (values_[highAt] > high) high = values_[highAt], maxAt = highAt;
  }
  scan(endBlock * kBlock, end);
}

void Series::decimate(int64_t from, int64_t to, int columns, std::vector<Point>& out) const {
  out.clear();
  const std::vector<int64_t>& times = *times_;
  if (times.empty() || columns <= 0 || to < from) return;
  const auto [begin, end] = rangeOf(times, from, to);

  size_t last = times.size();  // the record drawn last
  size_t nextBreak = 0;        // into breaks_
  const auto add = [&](size_t i) {
    if (std::isnan(values_[i])) return;
    if (last != times.size()) {
      while (nextBreak < breaks_.size() && breaks_[nextBreak] <= last) ++nextBreak;
      if (nextBreak < breaks_.size() && breaks_[nextBreak] <= i)
        out.push_back({0.5 * (static_cast<double>(times[last]) + static_cast<double>(times[i])),
                       std::numeric_limits<double>::quiet_NaN()});
    }
    out.push_back({static_cast<double>(times[i]), static_cast<double>(values_[i])});
    last = i;
  };

  if (begin > 0) add(begin - 1);
  const double span = static_cast<double>(to) - static_cast<double>(from) + 1.0;
  size_t columnBegin = begin;
  for (int c = 0; c < columns && columnBegin < end; ++c) {
    size_t columnEnd = end;
    if (c + 1 < columns) {
      const double edge = static_cast<double>(from) + span * (c + 1) / columns;
      const int64_t edgeTime = static_cast<int64_t>(std::ceil(edge));
      columnEnd =
          static_cast<size_t>(std::lower_bound(times.begin() + static_cast<std::ptrdiff_t>(columnBegin),
                                               times.begin() + static_cast<std::ptrdiff_t>(end), edgeTime) -
                              times.begin());
    }
    size_t minAt, maxAt;
    extremes(columnBegin, columnEnd, minAt, maxAt);
    if (minAt != columnEnd) {
      add(std::min(minAt, maxAt));
      if (maxAt != minAt) add(std::max(minAt, maxAt));
    }
    columnBegin = columnEnd;
  }
  if (end < times.size()) add(end);
}

void envelopePoints(const std::vector<history::EnvelopeCell>& cells, uint16_t sensor, Quantity quantity,
                    std::vector<Point>& out) {
  out.clear();
  std::vector<const history::EnvelopeCell*> own;
  for (const history::EnvelopeCell& c : cells)
    if (c.sensor == sensor) own.push_back(&c);
  // The usual step: within columns that hold several readings, else between columns.
  std::vector<double> steps;
  for (const history::EnvelopeCell* c : own)
    if (c->readings > 1)
      steps.push_back(static_cast<double>(c->last - c->first) / static_cast<double>(c->readings - 1));
  if (steps.empty())
    for (size_t i = 1; i < own.size(); ++i)
      steps.push_back(static_cast<double>(own[i]->first - own[i - 1]->last));
  double gap = 60;
  if (!steps.empty()) {
    const auto middle = steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2);
    std::nth_element(steps.begin(), middle, steps.end());
    gap = std::max(gap, 3 * *middle);
  }
  const history::EnvelopeCell* previous = nullptr;
  for (const history::EnvelopeCell* c : own) {
    double low = c->temperatureMin, high = c->temperatureMax;
    if (quantity == Quantity::humidity) low = c->humidityMin, high = c->humidityMax;
    if (quantity == Quantity::ambient) low = c->ambientMin, high = c->ambientMax;
    if (std::isnan(low) || std::isnan(high)) continue;
    const double x = 0.5 * (static_cast<double>(c->first) + static_cast<double>(c->last));
    if (previous != nullptr && static_cast<double>(c->first - previous->last) > gap)
      out.push_back({0.5 * (static_cast<double>(previous->last) + static_cast<double>(c->first)),
                     std::numeric_limits<double>::quiet_NaN()});
    out.push_back({x, low});
    if (high != low) out.push_back({x, high});
    previous = c;
  }
}

}  // namespace chart
