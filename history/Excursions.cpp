#include "history/Excursions.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace history {

namespace {

enum class Where { within, above, below };

// One quantity of one sensor while the readings come.
struct Track {
  QuantityLimits limits;
  bool seen = false;
  int64_t lastTime = 0;
  Where where = Where::within;
  size_t open = 0;  // the running excursion in ExcursionFinder::State::excursions

  template <class Open>
  void step(int64_t time, double value, std::vector<Excursion>& excursions, Open&& openNew) {
    if (!std::isfinite(value)) return;
    if (seen && where != Where::within) excursions[open].duration += std::max<int64_t>(0, time - lastTime);
    seen = true;
    lastTime = time;
    const Where now = limits.above(value) ? Where::above : limits.below(value) ? Where::below : Where::within;
    if (where != Where::within && now != where) {
      excursions[open].end = time;
      where = Where::within;
    }
    if (now == Where::within) return;
    if (where == Where::within) {
      open = excursions.size();
      Excursion e = openNew();
      e.side = now == Where::above ? Side::above : Side::below;
      e.start = e.end = time;
      e.limit = now == Where::above ? *limits.upper : *limits.lower;
      e.extreme = value;
      excursions.push_back(e);
      where = now;
    } else {
      Excursion& e = excursions[open];
      e.extreme = now == Where::above ? std::max(e.extreme, value) : std::min(e.extreme, value);
    }
    ++excursions[open].readings;
  }

  void finish(std::vector<Excursion>& excursions) {
    if (where == Where::within) return;
    excursions[open].end = lastTime;
    excursions[open].endsOutside = true;
  }
};

struct Sensor {
  SensorExcursions sums;
  Track temperature, humidity;
};

}  // namespace

struct ExcursionFinder::State {
  LimitsOf limitsOf;
  std::vector<int32_t> index = std::vector<int32_t>(65536, -1);  // sensor number -> sensors
  std::vector<Sensor> sensors;
  std::vector<Excursion> excursions;
  CoverageFinder coverage;
};

ExcursionFinder::ExcursionFinder(LimitsOf limitsOf) : state_(std::make_unique<State>()) {
  state_->limitsOf = std::move(limitsOf);
}

ExcursionFinder::~ExcursionFinder() = default;

void ExcursionFinder::setPeriod(int64_t from, int64_t to) {
  state_->coverage.setPeriod(from, to);
}

void ExcursionFinder::addNotDownloaded(int64_t count, int64_t start, int64_t end) {
  state_->coverage.addNotDownloaded(count, start, end);
}

void ExcursionFinder::add(int64_t time, const messwert_tag& record, bool checksumError, bool fromFile) {
  State& s = *state_;
  s.coverage.add(time, record, checksumError, fromFile);
  const uint16_t id = record.sensorSerialNumber;
  int32_t& slot = s.index[id];
  if (slot < 0) {
    slot = static_cast<int32_t>(s.sensors.size());
    Sensor sensor;
    sensor.sums.sensor = id;
    const Limits limits = s.limitsOf ? s.limitsOf(id) : Limits{};
    sensor.temperature.limits = limits.temperature;
    sensor.humidity.limits = limits.humidity;
    sensor.sums.temperature.limited = limits.temperature.limited();
    sensor.sums.humidity.limited = limits.humidity.limited();
    s.sensors.push_back(sensor);
  }
  Sensor& sensor = s.sensors[static_cast<size_t>(slot)];
  if (checksumError) {
    ++sensor.sums.leftOut;
    return;
  }
  ++sensor.sums.readings;
  const auto opener = [id](Measure quantity) {
    return [id, quantity] {
      Excursion e;
      e.sensor = id;
      e.quantity = quantity;
      return e;
    };
  };
  // A value no count of the sensor can give is no measurement: left out like one that is not a number.
  const auto measured = [](double value, double lowest, double highest) {
    return value >= lowest && value <= highest ? value : std::numeric_limits<double>::quiet_NaN();
  };
  sensor.temperature.step(time, measured(record.temperature, kLowestTemperature, kHighestTemperature),
                          s.excursions, opener(Measure::temperature));
  sensor.humidity.step(time, measured(record.humidity, kLowestHumidity, kHighestHumidity), s.excursions,
                       opener(Measure::humidity));
}

ExcursionResult ExcursionFinder::finish() {
  State& s = *state_;
  for (Sensor& sensor : s.sensors) {
    sensor.temperature.finish(s.excursions);
    sensor.humidity.finish(s.excursions);
  }
  const auto quantityOf = [&](const Excursion& e) -> std::pair<QuantityExcursions&, const QuantityLimits&> {
    Sensor& sensor = s.sensors[static_cast<size_t>(s.index[e.sensor])];
    return e.quantity == Measure::temperature ? std::pair<QuantityExcursions&, const QuantityLimits&>(
                                                    sensor.sums.temperature, sensor.temperature.limits)
                                              : std::pair<QuantityExcursions&, const QuantityLimits&>(
                                                    sensor.sums.humidity, sensor.humidity.limits);
  };
  // The totals first: the cumulative rule needs the whole time outside on a side.
  for (const Excursion& e : s.excursions) {
    QuantityExcursions& q = quantityOf(e).first;
    (e.side == Side::above ? q.timeAbove : q.timeBelow) += e.duration;
    ++q.excursions;
  }
  for (Excursion& e : s.excursions) {
    auto [q, limits] = quantityOf(e);
    switch (limits.rule) {
      case AlarmRule::instant:
        e.alarm = true;
        break;
      case AlarmRule::consecutive:
        e.alarm = e.duration >= limits.delay;
        break;
      case AlarmRule::cumulative:
        e.alarm = (e.side == Side::above ? q.timeAbove : q.timeBelow) >= limits.delay;
        break;
    }
    if (e.alarm) ++q.alarms;
  }
  ExcursionResult result;
  result.excursions = std::move(s.excursions);
  result.coverage = s.coverage.finish();
  for (const Sensor& sensor : s.sensors) {
    result.sensors.push_back(sensor.sums);
    result.sensors.back().complete = result.coverage.completeFor(sensor.sums.sensor);
  }
  std::sort(result.sensors.begin(), result.sensors.end(),
            [](const SensorExcursions& a, const SensorExcursions& b) { return a.sensor < b.sensor; });
  state_ = std::make_unique<State>();
  return result;
}

int64_t ExcursionResult::alarms() const {
  int64_t n = 0;
  for (const SensorExcursions& s : sensors) n += s.alarms();
  return n;
}

ExcursionResult findExcursions(const std::vector<StoredRecord>& records, const LimitsOf& limitsOf) {
  ExcursionFinder finder(limitsOf);
  for (const StoredRecord& r : records) finder.add(r);
  return finder.finish();
}

ExcursionResult findExcursions(const std::vector<StoredRecord>& records, const Limits& everySensor) {
  return findExcursions(records, [&everySensor](uint16_t) { return everySensor; });
}

namespace {

VerdictKind kindOf(int64_t alarms, bool complete, int64_t readings, bool limited) {
  if (alarms > 0) return VerdictKind::alarms;
  if (!complete) return VerdictKind::incomplete;
  if (readings == 0) return VerdictKind::noReadings;
  if (!limited) return VerdictKind::noLimits;
  return VerdictKind::within;
}

std::string textOf(VerdictKind kind, int64_t alarms, const std::string& why) {
  switch (kind) {
    case VerdictKind::alarms:
      return alarms == 1 ? "1 alarm" : std::to_string(alarms) + " alarms";
    case VerdictKind::incomplete:
      return why.empty() ? "Incomplete" : "Incomplete: " + why;
    case VerdictKind::noReadings:
      return "No readings";
    case VerdictKind::noLimits:
      return "No limits set";
    case VerdictKind::within:
      break;
  }
  return "Within limits";
}

}  // namespace

VerdictKind verdictKind(const ExcursionResult& result) {
  int64_t readings = 0;
  bool limited = false;
  for (const SensorExcursions& s : result.sensors) {
    readings += s.readings;
    limited = limited || s.temperature.limited || s.humidity.limited;
  }
  // A set without sensors has no reading that a missing limit could leave unjudged.
  return kindOf(result.alarms(), result.coverage.complete(), readings, limited || result.sensors.empty());
}

VerdictKind verdictKind(const SensorExcursions& sensor) {
  return kindOf(sensor.alarms(), sensor.complete, sensor.readings,
                sensor.temperature.limited || sensor.humidity.limited);
}

const char* verdictKindName(VerdictKind kind) {
  switch (kind) {
    case VerdictKind::alarms:
      return "alarms";
    case VerdictKind::incomplete:
      return "incomplete";
    case VerdictKind::noReadings:
      return "no-readings";
    case VerdictKind::noLimits:
      return "no-limits";
    case VerdictKind::within:
      break;
  }
  return "within";
}

std::string verdict(const ExcursionResult& result) {
  return textOf(verdictKind(result), result.alarms(), result.coverage.summary());
}

std::string verdict(const SensorExcursions& sensor) {
  return textOf(verdictKind(sensor), sensor.alarms(), std::string());
}

const char* measureName(Measure measure) {
  return measure == Measure::temperature ? "temperature" : "humidity";
}

const char* sideName(Side side) {
  return side == Side::above ? "above" : "below";
}

}  // namespace history
