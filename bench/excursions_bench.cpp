// What finding the excursions costs: 1,000,000 readings of two sensors a minute apart, the
// temperature swinging across 2 to 8 °C and the humidity across 30 to 70 %RH (some 7,000
// excursions), under each alarm rule; and the SHA-256 digest of the same readings.
// Figures only; a run that finds nothing is reported as an error, not timed.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "BenchSupport.h"
#include "history/Digest.h"
#include "history/Excursions.h"

namespace {

constexpr int kReadings = 1000000;

const std::vector<history::StoredRecord>& readings() {
  static const std::vector<history::StoredRecord> records = bench::swingingReadings(kReadings);
  return records;
}

void Excursions(benchmark::State& state) {
  const auto& records = readings();
  history::Limits limits;
  limits.temperature.lower = 2;
  limits.temperature.upper = 8;
  limits.humidity.lower = 30;
  limits.humidity.upper = 70;
  limits.temperature.rule = limits.humidity.rule = static_cast<history::AlarmRule>(state.range(0));
  limits.temperature.delay = limits.humidity.delay = 900;
  size_t found = 0;
  for (auto _ : state) {
    const history::ExcursionResult result = history::findExcursions(records, limits);
    found = result.excursions.size();
    benchmark::DoNotOptimize(found);
  }
  if (found == 0) state.SkipWithError("no excursions found");
  state.counters["excursions"] = static_cast<double>(found);
  state.SetItemsProcessed(state.iterations() * kReadings);
}
BENCHMARK(Excursions)
    ->Arg(static_cast<int>(history::AlarmRule::instant))
    ->Arg(static_cast<int>(history::AlarmRule::consecutive))
    ->Arg(static_cast<int>(history::AlarmRule::cumulative))
    ->Unit(benchmark::kMillisecond);

void Digest(benchmark::State& state) {
  const auto& records = readings();
  std::string hex;
  for (auto _ : state) {
    hex = history::readingsDigest(records);
    benchmark::DoNotOptimize(hex);
  }
  if (hex.size() != 64) state.SkipWithError("no digest");
  state.SetItemsProcessed(state.iterations() * kReadings);
}
BENCHMARK(Digest)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
