#include "history/Coverage.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <queue>

namespace history {

const char* reasonKindName(ReasonKind kind) {
  switch (kind) {
    case ReasonKind::gap:
      return "gap";
    case ReasonKind::noValue:
      return "no-value";
    case ReasonKind::notDownloaded:
      return "not-downloaded";
    case ReasonKind::fileOnly:
      return "file-only";
  }
  return "gap";
}

bool hasValue(const messwert_tag& record) {
  const double humidity = record.humidity, temperature = record.temperature;
  return std::isfinite(humidity) && std::isfinite(temperature) && humidity >= kLowestHumidity &&
         humidity <= kHighestHumidity && temperature >= kLowestTemperature &&
         temperature <= kHighestTemperature;
}

bool Coverage::complete() const {
  for (int64_t n : runs)
    if (n > 0) return false;
  return true;
}

bool Coverage::completeFor(uint16_t sensor) const {
  return !loggerReasons && !std::binary_search(incompleteSensors.begin(), incompleteSensors.end(), sensor);
}

std::string Coverage::summary() const {
  std::string out;
  const auto part = [&](int64_t n, const char* one, const char* many) {
    if (n == 0) return;
    if (!out.empty()) out += ", ";
    out += std::to_string(n) + " " + (n == 1 ? one : many);
  };
  part(runs[size_t(ReasonKind::gap)], "gap", "gaps");
  part(readings[size_t(ReasonKind::noValue)], "reading without a value", "readings without a value");
  part(readings[size_t(ReasonKind::notDownloaded)], "record not downloaded", "records not downloaded");
  part(readings[size_t(ReasonKind::fileOnly)], "reading only from a file", "readings only from files");
  return out;
}

namespace {

struct SensorState {
  bool seen = false;
  int64_t first = 0, last = 0;
  // The open runs of readings without a value and of file readings, as indexes into the listed
  // reasons (or -1: none open, or not listed because the list is full).
  bool inNoValue = false, inFile = false;
  int64_t noValueAt = -1, fileAt = -1;
  int64_t longestStep = 0;
  bool incomplete = false;  // a reason of its own other than a gap between its readings
};

// Gaps longer than a step: by length, shortest on top, so that the longest are the ones kept.
struct ByLength {
  bool operator()(const Reason& a, const Reason& b) const { return a.end - a.start > b.end - b.start; }
};

}  // namespace

struct CoverageFinder::State {
  std::map<uint16_t, SensorState> sensors;
  std::map<int64_t, int64_t> steps;  // step -> how often
  std::priority_queue<Reason, std::vector<Reason>, ByLength> longest;
  std::vector<Reason> runs;  // no value, file only, not downloaded
  std::array<int64_t, kReasonKinds> listed{}, total{}, readings{};
  std::optional<std::pair<int64_t, int64_t>> period;

  void open(ReasonKind kind, uint16_t sensor, int64_t time, bool& in, int64_t& at) {
    in = true;
    ++total[size_t(kind)];
    at = -1;
    if (listed[size_t(kind)] >= int64_t(kMostReasonsListed)) return;
    ++listed[size_t(kind)];
    at = int64_t(runs.size());
    runs.push_back(Reason{kind, sensor, time, time, 0});
  }
  void extend(ReasonKind kind, int64_t time, int64_t at) {
    ++readings[size_t(kind)];
    if (at < 0) return;
    Reason& r = runs[size_t(at)];
    r.end = std::max(r.end, time);
    ++r.count;
  }
};

CoverageFinder::CoverageFinder() : state_(std::make_unique<State>()) {}
CoverageFinder::~CoverageFinder() = default;

void CoverageFinder::setPeriod(int64_t from, int64_t to) {
  state_->period = std::make_pair(from, to);
}

void CoverageFinder::add(int64_t time, const messwert_tag& record, bool checksumError, bool fromFile) {
  State& s = *state_;
  SensorState& sensor = s.sensors[record.sensorSerialNumber];
  if (!sensor.seen) {
    sensor.seen = true;
    sensor.first = time;
  } else if (time > sensor.last) {
    const int64_t step = time - sensor.last;
    ++s.steps[step];
    sensor.longestStep = std::max(sensor.longestStep, step);
    // Only the longest steps can be gaps; which are is known once the usual step is.
    const Reason gap{ReasonKind::gap, record.sensorSerialNumber, sensor.last, time, 1};
    if (s.longest.size() < kMostReasonsListed) {
      s.longest.push(gap);
    } else if (step > s.longest.top().end - s.longest.top().start) {
      s.longest.pop();
      s.longest.push(gap);
    }
  }
  sensor.last = std::max(sensor.last, time);

  const bool noValue = checksumError || !hasValue(record);
  if (noValue || fromFile) sensor.incomplete = true;
  if (!noValue) {
    sensor.inNoValue = false;
  } else {
    if (!sensor.inNoValue)
      s.open(ReasonKind::noValue, record.sensorSerialNumber, time, sensor.inNoValue, sensor.noValueAt);
    s.extend(ReasonKind::noValue, time, sensor.noValueAt);
  }
  if (!fromFile) {
    sensor.inFile = false;
  } else {
    if (!sensor.inFile)
      s.open(ReasonKind::fileOnly, record.sensorSerialNumber, time, sensor.inFile, sensor.fileAt);
    s.extend(ReasonKind::fileOnly, time, sensor.fileAt);
  }
}

void CoverageFinder::addNotDownloaded(int64_t count, int64_t start, int64_t end) {
  if (count <= 0) return;
  State& s = *state_;
  const size_t kind = size_t(ReasonKind::notDownloaded);
  ++s.total[kind];
  s.readings[kind] += count;
  if (s.listed[kind] >= int64_t(kMostReasonsListed)) return;
  ++s.listed[kind];
  s.runs.push_back(Reason{ReasonKind::notDownloaded, std::nullopt, start, end, count});
}

Coverage CoverageFinder::finish() {
  State& s = *state_;
  Coverage out;
  int64_t stepCount = 0;
  for (const auto& [step, n] : s.steps) stepCount += n;
  if (stepCount >= 2) {
    // The median: the step at the middle of their sorted order.
    const int64_t middle = stepCount / 2;
    int64_t before = 0;
    for (const auto& [step, n] : s.steps) {
      if (before + n > middle) {
        out.interval = step;
        break;
      }
      before += n;
    }
  }
  const size_t gapKind = size_t(ReasonKind::gap);
  if (out.interval > 0) {
    const int64_t longest = 2 * out.interval;
    for (auto it = s.steps.upper_bound(longest); it != s.steps.end(); ++it) s.total[gapKind] += it->second;
    while (!s.longest.empty()) {
      if (s.longest.top().end - s.longest.top().start > longest) out.reasons.push_back(s.longest.top());
      s.longest.pop();
    }
    if (s.period) {
      for (auto& [id, sensor] : s.sensors) {
        const auto edge = [&, id = id, &sensor = sensor](int64_t from, int64_t to) {
          if (to - from <= longest) return;
          sensor.incomplete = true;
          ++s.total[gapKind];
          out.reasons.push_back(Reason{ReasonKind::gap, id, from, to, 1});
        };
        if (s.period->first != INT64_MIN) edge(s.period->first, sensor.first);
        if (s.period->second != INT64_MAX) edge(sensor.last, s.period->second);
      }
    }
  }
  if (s.period && s.sensors.empty() && s.period->first != INT64_MIN && s.period->second != INT64_MAX) {
    // Nothing at all in a bounded period: the whole of it is one gap.
    ++s.total[gapKind];
    out.reasons.push_back(Reason{ReasonKind::gap, std::nullopt, s.period->first, s.period->second, 1});
  }
  out.reasons.insert(out.reasons.end(), s.runs.begin(), s.runs.end());
  std::sort(out.reasons.begin(), out.reasons.end(), [](const Reason& a, const Reason& b) {
    if (a.start != b.start) return a.start < b.start;
    if (a.kind != b.kind) return a.kind < b.kind;
    return a.sensor < b.sensor;
  });
  out.runs = s.total;
  out.readings = s.readings;
  out.readings[gapKind] = s.total[gapKind];
  for (const Reason& r : out.reasons) out.loggerReasons = out.loggerReasons || !r.sensor;
  for (const auto& [id, sensor] : s.sensors)
    if (sensor.incomplete || (out.interval > 0 && sensor.longestStep > 2 * out.interval))
      out.incompleteSensors.push_back(id);  // in order: the map is sorted
  state_ = std::make_unique<State>();
  return out;
}

}  // namespace history
