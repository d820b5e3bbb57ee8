// What the PDF report of 1,000,000 readings costs: two sensors a minute apart for about a year, the
// temperature swinging across 2 to 8 °C (thousands of excursions, the table cut at its limit), limits
// on both sensors. Prints the time of each run of report::makePdf (statistics, excursions, digest,
// the pages and the charts) and the PDF's size; with --out FILE it keeps the last PDF to look at.
// Figures only.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "report/Report.h"

int main(int argc, char* argv[]) {
  int runs = 3;
  const char* out = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
    if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc) out = argv[++i];
  }
  report::GuiSession gui;
  constexpr int kReadings = 1000000;
  report::Input input;
  input.serial = "VLM12345";
  input.firmware = "2.07";
  input.version = "bench";
  input.madeAt = 1800000000;
  input.records = bench::swingingReadings(kReadings);
  for (size_t i = 0; i < input.records.size(); ++i)
    input.records[i].download = 1 + static_cast<int64_t>(i) / 100000;
  history::Limits limits;
  limits.temperature.lower = 2;
  limits.temperature.upper = 8;
  limits.temperature.delay = 900;
  limits.humidity.lower = 30;
  limits.humidity.upper = 70;
  input.limits[1] = input.limits[2] = limits;
  for (int64_t id = 1; id <= 10; ++id) input.sources[id].when = 1577836800 + id * 2600000;
  input.clock.emplace(std::vector<history::ClockZoneRow>{{1577000000, history::Zone{"Europe/Berlin", 3600},
                                                          history::ClockZoneKind::setTime}},
                      history::Zone{});

  std::vector<double> times;
  std::string pdf, error;
  report::Summary summary;
  for (int run = 0; run < runs; ++run) {
    const auto start = std::chrono::steady_clock::now();
    if (!report::makePdf(input, pdf, summary, error)) {
      std::fprintf(stderr, "report_bench: %s\n", error.c_str());
      return 1;
    }
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    std::printf("report of %d readings: %.0f ms (%d pages, %.1f MB, %lld alarms)\n", kReadings, times.back(),
                summary.pages, pdf.size() / 1e6, static_cast<long long>(summary.alarms));
  }
  std::sort(times.begin(), times.end());
  std::printf("median of %d runs: %.0f ms\n", runs, times[times.size() / 2]);
  if (out != nullptr) std::ofstream(out, std::ios::binary) << pdf;
  return 0;
}
