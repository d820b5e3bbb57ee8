// What the measurement history costs:
//  * the import of a full logger memory (16384 records) into a new database, and again into one that
//    holds it already (nothing new);
//  * reading back 1,000,000 records of one logger in time order, into StoredRecords and only visited;
//  * opening that database, and one of 5,000,000 readings with the page cache dropped before each
//    open when the bench runs as root (else warm, and the "cold" counter says 0);
//  * the write-ahead log left beside the file after one import of 1,000,000 readings, while the
//    importing connection is still open;
//  * reading a full download's CSV file.
// Figures only; a run that does not do its work is reported as an error, not timed.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "data/RegionalFormat.h"
#include "history/History.h"

namespace {

constexpr int kRecords = 16384;  // a full memory
constexpr int kHistory = 1000000;
constexpr int64_t kStart = 1577836800;  // 2020-01-01 00:00:00

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/tarnwick-bench-XXXXXX";
    if (::mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  bool ok() const { return !path_.empty(); }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Records a minute apart from `first` on, two sensors taking turns, with valid check bytes.
std::vector<messwert_tag> memory(int64_t first, int count) {
  return bench::minuteMemory(kStart, first, count);
}

void BM_ImportFullDownload(benchmark::State& state) {
  const bool repeated = state.range(0) != 0;
  const std::vector<messwert_tag> records = memory(0, kRecords);
  for (auto _ : state) {
    state.PauseTiming();
    TempDir dir;
    history::Store store;
    std::string error;
    history::ImportResult result;
    if (!dir.ok() || !store.open(dir.file("m.sqlite"), error) ||
        (repeated && !store.importDownload("VLM12345", "first.csv", records, result, error))) {
      state.SkipWithError(("no store: " + error).c_str());
      break;
    }
    state.ResumeTiming();
    const bool ok = store.importDownload("VLM12345", "download.csv", records, result, error);
    state.PauseTiming();
    if (!ok || result.added != (repeated ? 0 : kRecords)) {
      state.SkipWithError(("import failed: " + error).c_str());
      break;
    }
    store.close();
    state.ResumeTiming();
  }
  state.counters["records"] = kRecords;
}
BENCHMARK(BM_ImportFullDownload)->Arg(0)->Arg(1)->ArgName("repeated")->Unit(benchmark::kMillisecond);

// One database of a million records, made once for the query benchmarks.
struct BigHistory {
  TempDir dir;
  std::string path = dir.file("big.sqlite");
  std::string failure;
  BigHistory() {
    history::Store store;
    if (!dir.ok() || !store.open(path, failure)) return;
    for (int64_t first = 0; first < kHistory; first += kRecords) {
      const int count = static_cast<int>(std::min<int64_t>(kRecords, kHistory - first));
      history::ImportResult result;
      if (!store.importDownload("VLM12345", "d.csv", memory(first, count), result, failure)) return;
    }
  }
};
BigHistory& bigHistory() {
  static BigHistory big;
  return big;
}

void BM_QueryMillion(benchmark::State& state) {
  BigHistory& big = bigHistory();
  history::Store store;
  std::string error;
  if (!big.failure.empty() || !store.open(big.path, error)) {
    state.SkipWithError(("no history: " + big.failure + error).c_str());
    return;
  }
  history::Query q;
  q.logger = "VLM12345";
  const bool keep = state.range(0) != 0;
  for (auto _ : state) {
    size_t n = 0;
    bool ok;
    if (keep) {
      std::vector<history::StoredRecord> out;
      ok = store.query(q, out, error);
      n = out.size();
    } else {
      ok = store.scan(
          q,
          [&](const history::StoredRecord& r) {
            benchmark::DoNotOptimize(r.record.humidity);
            ++n;
            return true;
          },
          error);
    }
    if (!ok || n != static_cast<size_t>(kHistory)) {
      state.SkipWithError(("query failed: " + error).c_str());
      break;
    }
  }
  state.counters["records"] = kHistory;
}
BENCHMARK(BM_QueryMillion)->Arg(1)->Arg(0)->ArgName("vector")->Unit(benchmark::kMillisecond);

void BM_OpenMillion(benchmark::State& state) {
  BigHistory& big = bigHistory();
  if (!big.failure.empty()) {
    state.SkipWithError(big.failure.c_str());
    return;
  }
  state.counters["MB"] = static_cast<double>(std::filesystem::file_size(big.path)) / 1e6;
  for (auto _ : state) {
    history::Store store;
    std::string error;
    if (!store.open(big.path, error)) {
      state.SkipWithError(error.c_str());
      break;
    }
  }
}
BENCHMARK(BM_OpenMillion)->Unit(benchmark::kMillisecond);

// Drops the page cache, as after a reboot; false when this process may not.
bool dropCaches() {
  ::sync();
  std::ofstream control("/proc/sys/vm/drop_caches");
  control << "3\n";
  control.flush();
  return static_cast<bool>(control);
}

void BM_OpenFiveMillionCold(benchmark::State& state) {
  constexpr int64_t kReadings = 5000000;
  static TempDir dir;
  static const std::string path = dir.file("five.sqlite");
  static std::string failure = [] {
    history::Store store;
    std::string error;
    if (!dir.ok() || !store.open(path, error)) return "no store: " + error;
    for (int64_t first = 0; first < kReadings; first += kRecords) {
      history::ImportResult result;
      if (!store.importDownload("VLM12345", "d.csv", memory(first, kRecords), result, error)) return error;
    }
    return std::string();
  }();
  if (!failure.empty()) {
    state.SkipWithError(failure.c_str());
    return;
  }
  bool cold = true;
  for (auto _ : state) {
    state.PauseTiming();
    cold = cold && dropCaches();
    state.ResumeTiming();
    history::Store store;
    std::string error;
    if (!store.open(path, error)) {
      state.SkipWithError(error.c_str());
      break;
    }
  }
  state.counters["MB"] = static_cast<double>(std::filesystem::file_size(path)) / 1e6;
  state.counters["cold"] = cold ? 1 : 0;
}
BENCHMARK(BM_OpenFiveMillionCold)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_LogAfterLargeImport(benchmark::State& state) {
  constexpr int kReadings = 1000000;
  const std::vector<messwert_tag> records = memory(0, kReadings);
  double logMB = 0;
  for (auto _ : state) {
    TempDir dir;
    history::Store store;
    std::string error;
    history::ImportResult result;
    if (!dir.ok() || !store.open(dir.file("m.sqlite"), error) ||
        !store.importDownload("VLM12345", "big.csv", records, result, error)) {
      state.SkipWithError(("import failed: " + error).c_str());
      break;
    }
    std::error_code missing;
    const auto size = std::filesystem::file_size(dir.file("m.sqlite-wal"), missing);
    logMB = missing ? 0 : static_cast<double>(size) / 1e6;
  }
  state.counters["wal_MB"] = logMB;
}
BENCHMARK(BM_LogAfterLargeImport)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_ReadCsvFullDownload(benchmark::State& state) {
  TempDir dir;
  const std::string path = dir.file("m.csv");
  {
    std::string text = std::string(csv::kHeader) + "\r\n";
    for (const messwert_tag& r : memory(0, kRecords)) {
      messwert::TimeStamp ts;
      std::string message;
      if (messwert::timeStamp(r, ts, message)) text += csv::formatLine(r, ts, RegionalFormat::german());
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!f || std::fwrite(text.data(), 1, text.size(), f.get()) != text.size()) {
      state.SkipWithError("cannot write the CSV file");
      return;
    }
  }
  for (auto _ : state) {
    std::vector<messwert_tag> records;
    std::vector<bool> flags;
    std::string error;
    if (!history::readCsvFile(path, records, flags, error) ||
        records.size() != static_cast<size_t>(kRecords)) {
      state.SkipWithError(error.c_str());
      break;
    }
  }
}
BENCHMARK(BM_ReadCsvFullDownload)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
