// The history seen from above, on a large file: filling it, opening it again (after a clean end, and
// after a crash with the whole-file check), the loggers' summary, a logger's span and the lowest and
// highest values per pixel column of its whole range, each with the peak resident memory.
//   loggers_bench fill FILE [--loggers L] [--readings N]   N readings over L loggers, downloads of 16,384
//   loggers_bench open FILE                                  open, close
//   loggers_bench summary FILE                               the summary row of every logger
//   loggers_bench envelope FILE LOGGER [--columns C]         its whole range on C columns (1,200)
// Run each step as a process of its own: the peak memory is then that step's.
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "history/History.h"

namespace {

constexpr int64_t kStart = 1767225600;  // 2026-01-01 00:00:00
constexpr size_t kDownload = 16384;

double ms(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

double peakMb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;
}

// Two sensors, a record a minute each, values that wander through the day and the year.
messwert_tag reading(int64_t minute, int sensor) {
  messwert_tag r = bench::stamped(kStart + minute * 60);
  r.tick = static_cast<uint8_t>(sensor);
  const double day = std::sin(minute * 2 * M_PI / 1440.0), year = std::sin(minute * 2 * M_PI / 525600.0);
  r.temperature = static_cast<float>(std::round((18 + 6 * year + 3 * day + sensor) * 10) / 10);
  r.humidity = static_cast<float>(std::round((55 - 12 * year - 8 * day) * 10) / 10);
  r.ambientTemperature = r.temperature + 1.2f;
  r.sensorSerialNumber = static_cast<uint16_t>(4711 + sensor);
  r.humidityRaw = static_cast<uint16_t>(r.humidity * 100);
  r.temperatureRaw = static_cast<uint16_t>((r.temperature + 40) * 100);
  bench::seal(r);
  return r;
}

int usage() {
  std::fprintf(stderr,
               "usage: loggers_bench fill FILE [--loggers L] [--readings N] | open FILE | summary FILE | "
               "envelope FILE LOGGER [--columns C]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string step = argv[1], file = argv[2];
  int64_t loggers = 10, readings = 10000000;
  int columns = 1200;
  for (int i = 3; i + 1 < argc; ++i) {
    if (!std::strcmp(argv[i], "--loggers"))
      loggers = std::max<int64_t>(1, std::atoll(argv[++i]));
    else if (!std::strcmp(argv[i], "--readings"))
      readings = std::max<int64_t>(1, std::atoll(argv[++i]));
    else if (!std::strcmp(argv[i], "--columns"))
      columns = std::atoi(argv[++i]);
  }
  history::Store store;
  std::string error;
  auto start = std::chrono::steady_clock::now();
  if (!store.open(file, error)) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
  const double openMs = ms(start);

  if (step == "fill") {
    const int64_t each = readings / loggers;
    for (int64_t l = 0; l < loggers; ++l) {
      const std::string serial = "VLM" + std::to_string(10000 + l);
      std::vector<messwert_tag> batch;
      for (int64_t i = 0; i < each; ++i) {
        batch.push_back(reading(i / 2, static_cast<int>(i % 2)));
        if (batch.size() == kDownload || i + 1 == each) {
          history::ImportResult result;
          if (!store.importDownload(serial, "bench.csv", batch, result, error, history::kDeviceVirtual))
            return std::fprintf(stderr, "%s\n", error.c_str()), 1;
          batch.clear();
        }
      }
    }
    std::printf("filled %lld readings over %lld loggers in %.0f ms\n", static_cast<long long>(each * loggers),
                static_cast<long long>(loggers), ms(start));
  } else if (step == "open") {
    std::printf("opened in %.1f ms%s\n", openMs, store.notice().empty() ? "" : " (with a notice)");
  } else if (step == "summary") {
    start = std::chrono::steady_clock::now();
    std::vector<history::LoggerSummary> rows;
    if (!store.loggerSummaries(rows, error)) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
    int64_t total = 0;
    for (const history::LoggerSummary& row : rows) total += row.readings;
    std::printf("summary of %zu loggers (%lld readings) in %.0f ms (opened in %.1f ms)\n", rows.size(),
                static_cast<long long>(total), ms(start), openMs);
  } else if (step == "envelope" && argc >= 4) {
    const std::string logger = argv[3];
    start = std::chrono::steady_clock::now();
    int64_t first = 0, last = 0;
    bool found = false;
    if (!store.timeSpan(logger, first, last, found, error))
      return std::fprintf(stderr, "%s\n", error.c_str()), 1;
    if (!found) return std::fprintf(stderr, "%s has no readings\n", logger.c_str()), 1;
    const double spanMs = ms(start);
    history::EnvelopeQuery q;
    q.logger = logger;
    q.from = first;
    q.to = last;
    q.columns = columns;
    std::vector<history::EnvelopeCell> cells;
    if (!store.envelope(q, cells, error)) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
    int64_t counted = 0;
    for (const history::EnvelopeCell& c : cells) counted += c.readings;
    const double allMs = ms(start);
    // A zoom to a tenth of the range.
    start = std::chrono::steady_clock::now();
    q.from = first + (last - first) * 45 / 100;
    q.to = first + (last - first) * 55 / 100;
    if (!store.envelope(q, cells, error)) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
    std::printf(
        "%s: span in %.1f ms; whole range (%lld readings) on %d columns in %.0f ms; a tenth of it in %.0f ms "
        "(opened in %.1f ms)\n",
        logger.c_str(), spanMs, static_cast<long long>(counted), columns, allMs, ms(start), openMs);
  } else {
    return usage();
  }
  std::printf("peak resident memory: %.0f MB\n", peakMb());
  return 0;
}
