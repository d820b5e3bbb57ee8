#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

#include "history/History.h"

namespace history {

namespace {

constexpr double kZeroCelsius = 273.15;
// Magnus coefficients over water (Sonntag 1990): a dimensionless, b in °C.
constexpr double kMagnusA = 17.62;
constexpr double kMagnusB = 243.12;

class QuantitySum {
 public:
  void add(double v) {
    if (!std::isfinite(v)) return;
    if (q_.count == 0 || v < q_.min) q_.min = v;
    if (q_.count == 0 || v > q_.max) q_.max = v;
    sum_ += v;
    ++q_.count;
  }
  Quantity result() const {
    Quantity q = q_;
    if (q.count > 0) q.mean = sum_ / static_cast<double>(q.count);
    return q;
  }

 private:
  Quantity q_;
  double sum_ = 0;
};

// MKT = (dH/R) / -ln(mean of exp(-dH/(R T))), T in kelvin. The exponents are around -35, so the
// mean is kept as a largest exponent and a sum relative to it, which neither underflows nor loses
// the small terms.
class KineticSum {
 public:
  explicit KineticSum(double deltaHOverR) : k_(deltaHOverR) {}
  void add(double celsius) {
    const double kelvin = celsius + kZeroCelsius;
    if (!std::isfinite(kelvin) || kelvin <= 0) return;
    const double x = -k_ / kelvin;
    if (n_ == 0 || x > top_) {
      sum_ = n_ == 0 ? 1.0 : sum_ * std::exp(top_ - x) + 1.0;
      top_ = x;
    } else {
      sum_ += std::exp(x - top_);
    }
    ++n_;
  }
  double result() const {
    if (n_ == 0 || !std::isfinite(k_) || k_ <= 0) return std::nan("");
    const double logMean = top_ + std::log(sum_ / static_cast<double>(n_));
    return -k_ / logMean - kZeroCelsius;
  }

 private:
  double k_;
  double top_ = 0, sum_ = 0;
  int64_t n_ = 0;
};

struct SensorSum {
  explicit SensorSum(double deltaHOverR) : kinetic(deltaHOverR) {}
  SensorStats stats;
  QuantitySum humidity, temperature, ambient;
  KineticSum kinetic;
};

}  // namespace

double meanKineticTemperature(const std::vector<double>& celsius, double deltaHOverR) {
  KineticSum sum(deltaHOverR);
  for (double t : celsius) sum.add(t);
  return sum.result();
}

std::vector<SensorStats> statistics(const std::vector<StoredRecord>& records, double deltaHOverR) {
  std::map<uint16_t, SensorSum> sensors;
  for (const StoredRecord& r : records) {
    const uint16_t id = r.record.sensorSerialNumber;
    SensorSum& s = sensors.try_emplace(id, deltaHOverR).first->second;
    SensorStats& st = s.stats;
    if (st.count == 0 || r.time < st.first) st.first = r.time;
    if (st.count == 0 || r.time > st.last) st.last = r.time;
    ++st.count;
    if (r.checksumError) {
      ++st.checksumErrors;
      continue;
    }
    s.humidity.add(r.record.humidity);
    s.temperature.add(r.record.temperature);
    s.ambient.add(r.record.ambientTemperature);
    s.kinetic.add(r.record.temperature);
  }
  std::vector<SensorStats> out;
  out.reserve(sensors.size());
  for (auto& [id, s] : sensors) {
    SensorStats st = s.stats;
    st.sensor = id;
    st.humidity = s.humidity.result();
    st.temperature = s.temperature.result();
    st.ambientTemperature = s.ambient.result();
    st.meanKineticTemperature = s.kinetic.result();
    out.push_back(st);
  }
  return out;
}

double dewPoint(double temperatureC, double humidityRH) {
  if (!std::isfinite(temperatureC) || !std::isfinite(humidityRH) || humidityRH <= 0) return std::nan("");
  const double gamma = std::log(humidityRH / 100.0) + kMagnusA * temperatureC / (kMagnusB + temperatureC);
  return kMagnusB * gamma / (kMagnusA - gamma);
}

}  // namespace history
