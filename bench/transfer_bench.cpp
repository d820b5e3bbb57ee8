// What a full logger memory costs the program, on its own code path:
//  * the data reader's download completion for 16384 records (decode, sort, CSV export to a file),
//    with a window that only counts log lines and with one that keeps them all, as the log does; and
//    its parts: decoding and sorting, the CSV text in memory, the CSV file written and synced;
//  * a whole measurement download through the link, the USB I/O layer, the user-space driver and the
//    virtual logger attached in process: "mem.used" to "Download finished", unpaced and at the
//    full-speed bulk rate;
//  * the 956-packet firmware image transfer to the same logger, unpaced and at the full-speed rate,
//    as the link sends it (one write at a time) and, for comparison, with five writes in flight.
// Figures only; a run that does not do its work is reported as an error, not timed.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "link/CsvExport.h"
#include "link/Firmware.h"
#include "link/LinkAccess.h"
#include "link/MyDatReader.h"
#include "link/USBInterface.h"
#include "platform/usbdrv/DriverInterface.h"
#include "platform/usbdrv/InProcessSource.h"
#include "sim/model/Records.h"
#include "sim/model/Velmora.h"
#include "tests/common/LoggerEndpoints.h"
#include "tests/common/RecordingWindow.h"
#include "usbio/UsbBuf.h"
#include "usbio/UsbDevice.h"
#include "usbio/UsbPipe.h"

namespace {

constexpr uint32_t kRecords = 16384;  // a full memory
constexpr uint32_t kPackets = velmora::kMemorySize / velmora::kPacketSize;
constexpr uint32_t kFirmwarePackets = velmora::kFirmwareSize / velmora::kPacketSize;
// Time the bus needs for the packets at 19 packets per millisecond.
constexpr double kDownloadWireMs = kPackets / velmora::kFullSpeedPacketsPerMs;
constexpr double kFirmwareWireMs = kFirmwarePackets / velmora::kFullSpeedPacketsPerMs;
constexpr auto kBound = std::chrono::seconds(30);
const char kDownloadFinished[] = "Download finished";
const char kDebugPrefix[] = "DBG>>>";

double processCpuSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// A scratch directory, gone with this object.
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

// A window that answers every save dialog with one file and counts the log lines; the counting one
// keeps no lines, the keeping one keeps every line as the program's log does. Per-record lines are
// only counted; "sortiert" is the one error-channel line of a good download.
template <bool kKeepLog>
class BenchWindow : public RecordingWindow {
 public:
  explicit BenchWindow(const std::string& savePath) : RecordingWindow(options()) {
    answerEverySaveDialog(savePath);
  }
  size_t finished() const { return count(kDownloadFinished); }
  bool waitFinished(size_t times) const { return waitForLine(kDownloadFinished, times, kBound); }
  bool waitResponse(const std::string& line, size_t times) const {
    return waitUntil([&] { return responseCount(line) >= times; }, kBound);
  }

 private:
  static Options options() {
    Options o;
    o.keepEffects = kKeepLog;
    o.countOnly = [](const std::string& line) { return !line.empty() && line[0] >= '0' && line[0] <= '9'; };
    o.expectedErrors = {"sortiert"};
    return o;
  }
};
using CountingWindow = BenchWindow<false>;
using KeepingWindow = BenchWindow<true>;

// CR LF lines of a file.
size_t csvLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  size_t n = 0;
  for (size_t pos = 0; (pos = text.find("\r\n", pos)) != std::string::npos; pos += 2) ++n;
  return n;
}

// Per-run figures over the timed iterations.
void setRunCounters(benchmark::State& state, double wallSeconds, double cpuSeconds, uint32_t packets,
                    double wireMs) {
  const double runs = static_cast<double>(state.iterations());
  if (runs == 0) return;
  state.counters["ms_per_run"] = wallSeconds * 1e3 / runs;
  state.counters["wall_us_per_pkt"] = wallSeconds * 1e6 / runs / packets;
  state.counters["cpu_us_per_pkt"] = cpuSeconds * 1e6 / runs / packets;
  state.counters["cpu_ms_per_run"] = cpuSeconds * 1e3 / runs;
  state.counters["x_wire"] = wallSeconds * 1e3 / runs / wireMs;
}

// ---- 1. The data reader's download completion for a full memory ----

template <typename Window>
void BM_CompleteDownload(benchmark::State& state) {
  const std::vector<uint8_t> image = velmora::GenerateImage(kRecords, 1);
  TempDir dir;
  if (!dir.ok()) {
    state.SkipWithError("no scratch directory");
    return;
  }
  const std::string csv = dir.file("measurements.csv");
  Window window(csv);
  auto link = std::make_unique<USBInterface>(&window);
  {
    // Handed the packets directly, as its worker would; no device behind it.
    CMyDatReader reader(link.get(), link->linkGeneration());
    uint8_t storage[64];
    CUsbBuf buffer(storage, sizeof storage);
    size_t finished = 0;
    double wall = 0, cpu = 0;
    for (auto _ : state) {
      const auto start = std::chrono::steady_clock::now();
      const double cpuStart = processCpuSeconds();
      LinkAccess(*link).downloadActive() = true;
      LinkAccess(*link).packetCount() = 0;
      LinkAccess(*link).memUsed() = static_cast<int32_t>(kRecords);
      LinkAccess(*link).packetsExpected() = static_cast<int32_t>(kPackets);
      for (uint32_t i = 0; i < kPackets; ++i) {
        std::memcpy(storage, image.data() + static_cast<size_t>(i) * 64, 64);
        buffer.bytesToTransfer = 64;
        buffer.bytesTransferred = 64;
        buffer.status = 0;
        reader.ProcessData(&buffer);
      }
      cpu += processCpuSeconds() - cpuStart;
      wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (LinkAccess(*link).downloadActive() || window.finished() != ++finished ||
          !window.firstUnexpected().empty()) {
        state.SkipWithError(("export did not finish: " + window.firstUnexpected()).c_str());
        break;
      }
      if constexpr (std::is_same_v<Window, KeepingWindow>) {
        state.PauseTiming();
        window.dropEffects();
        state.ResumeTiming();
      }
    }
    if (state.iterations() > 0 && csvLines(csv) != kRecords + 1)
      state.SkipWithError("the CSV file does not hold a line per record");
    const double runs = static_cast<double>(state.iterations());
    if (runs > 0) {
      state.counters["ms_per_run"] = wall * 1e3 / runs;
      state.counters["us_per_record"] = wall * 1e6 / runs / kRecords;
      state.counters["cpu_us_per_record"] = cpu * 1e6 / runs / kRecords;
      state.counters["log_lines_per_run"] = static_cast<double>(window.lines()) / runs;
    }
  }
  link.reset();
}

std::vector<messwert_tag> sortedRecords() {
  const std::vector<uint8_t> image = velmora::GenerateImage(kRecords, 1);
  std::vector<messwert_tag> records;
  for (uint32_t i = 0; i < kRecords; ++i) records.push_back(messwert::fromBytes(image.data() + 32 * i));
  messwert::sortRecords(records);
  return records;
}

// The export's formatting alone: the text of 16384 already sorted records, in memory, with the log
// line of each record.
void BM_ExportOnly(benchmark::State& state) {
  const std::vector<messwert_tag> records = sortedRecords();
  CountingWindow window("");
  std::vector<messwert_tag> written;
  size_t bytes = 0;
  for (auto _ : state) {
    const std::string text =
        formatMeasurements(window, records, records.size(), RegionalFormat::german(), written);
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  if (written.size() != kRecords || window.lines() != static_cast<uint64_t>(state.iterations()) * kRecords) {
    state.SkipWithError("not every record was formatted and logged");
    return;
  }
  state.counters["us_per_record"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kRecords,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["file_bytes"] = static_cast<double>(bytes);
}

// The whole export of 16384 already sorted records to a file on disk: formatting, writing, syncing
// the file and its folder.
void BM_ExportToFile(benchmark::State& state) {
  const std::vector<messwert_tag> records = sortedRecords();
  TempDir dir;
  const std::string csv = dir.file("measurements.csv");
  CountingWindow window(csv);
  auto link = std::make_unique<USBInterface>(&window);
  size_t finished = 0;
  for (auto _ : state) {
    state.PauseTiming();
    LinkAccess(*link).measurements() = records;
    LinkAccess(*link).memUsed() = static_cast<int32_t>(kRecords);
    LinkAccess(*link).downloadActive() = true;
    state.ResumeTiming();
    exportMeasurements(*link, RegionalFormat::german());
    if (window.finished() != ++finished) {
      state.SkipWithError(("export did not finish: " + window.firstUnexpected()).c_str());
      break;
    }
  }
  if (state.iterations() > 0 && csvLines(csv) != kRecords + 1)
    state.SkipWithError("the CSV file does not hold a line per record");
  if (state.iterations() > 0)
    state.counters["us_per_record"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kRecords,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Decoding and sorting alone: a memory in time order (0), one whose second half comes first (1), as
// after the logger's clock was set back, and one in no order at all (2).
void BM_DecodeSort(benchmark::State& state) {
  std::vector<uint8_t> image = velmora::GenerateImage(kRecords, 1);
  if (state.range(0) == 1) std::rotate(image.begin(), image.begin() + image.size() / 2, image.end());
  if (state.range(0) == 2) {
    std::mt19937 random(7);
    for (uint32_t i = kRecords - 1; i > 0; --i)
      std::swap_ranges(image.begin() + 32 * i, image.begin() + 32 * (i + 1),
                       image.begin() + 32 * std::uniform_int_distribution<uint32_t>(0, i)(random));
  }
  std::vector<messwert_tag> records;
  for (auto _ : state) {
    records.clear();
    records.reserve(kRecords);
    for (uint32_t i = 0; i < kRecords; ++i) records.push_back(messwert::fromBytes(image.data() + 32 * i));
    messwert::sortRecords(records);
    benchmark::DoNotOptimize(records.data());
  }
}

// ---- 2. and 3. Through the whole stack to a logger attached in process ----

// A link connected once to a logger with a full memory.
struct Connected {
  std::shared_ptr<velmora::VelmoraDevice> logger;
  TempDir dir;
  CountingWindow window{dir.file("download.csv")};
  std::unique_ptr<USBInterface> link;
  std::string failure;

  explicit Connected(bool paced) {
    usbdrv::DetachAllDevices();
    velmora::Options options;
    options.records = kRecords;
    options.paced = paced;
    logger = std::make_shared<velmora::VelmoraDevice>(options, "bench-logger");
    usbdrv::AttachDevice(logger);
    link = std::make_unique<USBInterface>(&window);
    const std::vector<int32_t> serials = link->scanDevices();
    if (serials.size() != 1)
      failure = "scan found " + std::to_string(serials.size()) + " loggers";
    else if (!link->connect(serials[0]))
      failure = "connect failed";
  }
  ~Connected() {
    link.reset();
    usbdrv::DetachAllDevices();
  }
};

void BM_Download(benchmark::State& state, bool paced) {
  Connected c(paced);
  if (!c.failure.empty()) {
    state.SkipWithError(c.failure.c_str());
    return;
  }
  size_t finished = c.window.finished();
  double wall = 0, cpu = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = processCpuSeconds();
    // As the Download button does.
    LinkAccess(*c.link).packetCount() = 0;
    LinkAccess(*c.link).downloadActive() = true;
    const bool sent = c.link->sendCommand("mem.used");
    const bool done = sent && c.window.waitFinished(++finished);
    cpu += processCpuSeconds() - cpuStart;
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!done || !c.window.firstUnexpected().empty()) {
      state.SkipWithError(("download did not finish: " + c.window.firstUnexpected()).c_str());
      break;
    }
  }
  if (state.iterations() > 0 && csvLines(c.dir.file("download.csv")) != kRecords + 1)
    state.SkipWithError("the CSV file does not hold a line per record");
  setRunCounters(state, wall, cpu, kPackets, kDownloadWireMs);
}

void BM_FirmwareTransfer(benchmark::State& state, bool paced) {
  const uint8_t* image = nullptr;
  size_t size = 0;
  if (!firmware::rawImage(&image, &size) || size != velmora::kFirmwareSize) {
    state.SkipWithError("no embedded firmware image of 61184 bytes");
    return;
  }
  Connected c(paced);
  if (!c.failure.empty()) {
    state.SkipWithError(c.failure.c_str());
    return;
  }
  const std::string save =
      "mem.save=" + std::to_string(firmware::kAddress) + "," + std::to_string(firmware::kSize);
  const std::string stored =
      std::string(kDebugPrefix) + "mem.save done, " + std::to_string(firmware::kSize) + " bytes";
  double wall = 0, cpu = 0;
  for (auto _ : state) {
    state.PauseTiming();
    // The logger opens its memory for the image; the answer is only shown, so the link's update
    // handler does not start a transfer of its own.
    const size_t saves = c.window.responseCount(save);
    LinkAccess(*c.link).rawCommand() = true;
    if (!c.link->sendCommand(save) || !c.window.waitResponse(save, saves + 1)) {
      state.SkipWithError("no answer to mem.save");
      break;
    }
    const size_t storedBefore = c.window.count(stored);
    const uint64_t written = c.logger->PacketsWritten(ep::kDatOut);
    state.ResumeTiming();

    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = processCpuSeconds();
    const bool sent = c.link->sendData(image, static_cast<int32_t>(size));
    cpu += processCpuSeconds() - cpuStart;
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    state.PauseTiming();
    const bool whole = sent && c.logger->PacketsWritten(ep::kDatOut) - written == kFirmwarePackets &&
                       c.window.waitForLine(stored, storedBefore + 1, kBound);
    state.ResumeTiming();
    if (!whole) {
      state.SkipWithError("the logger did not take the whole image");
      break;
    }
  }
  const std::vector<uint8_t> memory = c.logger->Memory();
  if (state.iterations() > 0 && (c.logger->IgnoredDataBytes() != 0 ||
                                 std::memcmp(memory.data() + firmware::kAddress, image, size) != 0))
    state.SkipWithError("the logger's memory does not hold the image");
  setRunCounters(state, wall, cpu, kFirmwarePackets, kFirmwareWireMs);
}

// For comparison: the same image with several writes in flight on the data-out pipe, bound directly
// through the USB I/O layer, so the bus never waits for the host to hand over the next packet.
void BM_FirmwareInFlight(benchmark::State& state, bool paced) {
  constexpr int kInFlight = 5;
  const uint8_t* image = nullptr;
  size_t size = 0;
  if (!firmware::rawImage(&image, &size) || size != velmora::kFirmwareSize) {
    state.SkipWithError("no embedded firmware image of 61184 bytes");
    return;
  }
  usbdrv::DetachAllDevices();
  velmora::Options options;
  options.records = kRecords;
  options.paced = paced;
  auto logger = std::make_shared<velmora::VelmoraDevice>(options, "bench-logger");
  usbdrv::AttachDevice(logger);
  {
    CUsbDevice control;
    CUsbPipe commands, data;
    UsbConfiguration configuration{};
    configuration.interfaceCount = 1;
    configuration.interfaces[0].maxTransferSize = 4096;
    if (control.OpenDevice(0, nullptr, &g_UsbDrvInterfaceGuid, true) != 0 ||
        control.ConfigureDevice(&configuration) != 0 ||
        commands.BindPipe(0, ep::kCommandOut, nullptr, &g_UsbDrvInterfaceGuid, true) != 0 ||
        data.BindPipe(0, ep::kDatOut, nullptr, &g_UsbDrvInterfaceGuid, true) != 0) {
      state.SkipWithError("cannot open the logger");
    } else {
      const std::string save =
          "mem.save=" + std::to_string(firmware::kAddress) + "," + std::to_string(firmware::kSize);
      std::vector<std::unique_ptr<CUsbBuf>> buffers;
      for (int i = 0; i < kInFlight; ++i) buffers.push_back(std::make_unique<CUsbBuf>());
      double wall = 0, cpu = 0;
      for (auto _ : state) {
        state.PauseTiming();
        uint32_t length = static_cast<uint32_t>(save.size() + 1);
        const bool opened = commands.WriteSync(save.c_str(), &length, 1000) == 0;
        const uint64_t written = logger->PacketsWritten(ep::kDatOut);
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = processCpuSeconds();
        bool ok = opened;
        uint32_t next = 0, done = 0;
        while (ok && done < kFirmwarePackets) {
          // Keep the pipe full; wait for the oldest.
          while (next < kFirmwarePackets && next - done < kInFlight) {
            CUsbBuf* b = buffers[next % kInFlight].get();
            b->Assign(const_cast<uint8_t*>(image) + static_cast<size_t>(next) * 64, 64);
            b->bytesToTransfer = 64;
            data.SubmitWrite(b);
            ++next;
          }
          CUsbBuf* oldest = buffers[done % kInFlight].get();
          ok = data.WaitForBuffer(oldest, 20000) == 0 && oldest->bytesTransferred == 64;
          ++done;
        }
        cpu += processCpuSeconds() - cpuStart;
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!ok) {
          data.AbortTransfers();
          for (uint32_t i = done; i < next; ++i) data.WaitForBuffer(buffers[i % kInFlight].get(), 20000);
          state.SkipWithError("a write failed");
          break;
        }
        if (logger->PacketsWritten(ep::kDatOut) - written != kFirmwarePackets) {
          state.SkipWithError("the logger did not take every packet");
          break;
        }
      }
      // Waits for the last hand-over to the logger before looking at its memory.
      const auto end = std::chrono::steady_clock::now() + kBound;
      while (state.iterations() > 0 && std::chrono::steady_clock::now() < end &&
             std::memcmp(logger->Memory().data() + firmware::kAddress, image, size) != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (state.iterations() > 0 &&
          (logger->IgnoredDataBytes() != 0 ||
           std::memcmp(logger->Memory().data() + firmware::kAddress, image, size) != 0))
        state.SkipWithError("the logger's memory does not hold the image");
      setRunCounters(state, wall, cpu, kFirmwarePackets, kFirmwareWireMs);
    }
  }
  usbdrv::DetachAllDevices();
}

BENCHMARK_TEMPLATE(BM_CompleteDownload, CountingWindow)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_CompleteDownload, KeepingWindow)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DecodeSort)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ExportOnly)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ExportToFile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Download, unpaced, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Download, full_speed, true)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_FirmwareTransfer, unpaced, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_FirmwareTransfer, full_speed, true)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_FirmwareInFlight, unpaced, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_FirmwareInFlight, full_speed, true)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
