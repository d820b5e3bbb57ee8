// A whole memory read (mem.load of 524288 bytes, 8192 packets) through the USB I/O layer with five
// reads in flight, as the link reads it: from a velmora-sim process over its socket, unpaced and at
// the full-speed bulk rate, and from the same device model attached in process for comparison.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/usbdrv/DriverInterface.h"
#include "platform/usbdrv/InProcessSource.h"
#include "platform/usbdrv/SocketSource.h"
#include "sim/model/Velmora.h"
#include "tests/common/LoggerEndpoints.h"
#include "usbio/UsbBuf.h"
#include "usbio/UsbPipe.h"

extern char** environ;

namespace {

constexpr uint32_t kWaitMs = 20000;

// One velmora-sim in a fresh run folder; gone (and its folder) when this goes.
class SimProcess {
 public:
  explicit SimProcess(std::vector<std::string> args) {
    char pattern[] = "/tmp/vsim-bench-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    args.insert(args.begin(), {VELMORA_SIM_PATH, "--run-dir", dir_});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (::posix_spawn(&pid_, VELMORA_SIM_PATH, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    // Attached once its one line is out.
    char c = 0;
    pollfd p{out[0], POLLIN, 0};
    while (pid_ > 0 && ::poll(&p, 1, kWaitMs) > 0 && ::read(out[0], &c, 1) == 1 && c != '\n') {
    }
    attached_ = c == '\n';
    out_ = out[0];
  }
  ~SimProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
    ::rmdir(dir_.c_str());
  }
  bool Attached() const { return attached_; }
  const std::string& Dir() const { return dir_; }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int out_ = -1;
  bool attached_ = false;
};

// Device 0 configured, with the command, answer and data pipes bound.
struct Pipes {
  CUsbDevice control;
  CUsbPipe out, answers, data;

  bool Open() {
    if (control.OpenDevice(0, nullptr, &g_UsbDrvInterfaceGuid, true) != 0) return false;
    UsbConfiguration configuration{};
    configuration.interfaceCount = 1;
    configuration.interfaces[0].maxTransferSize = 4096;
    return control.ConfigureDevice(&configuration) == 0 &&
           out.BindPipe(0, ep::kCommandOut, nullptr, &g_UsbDrvInterfaceGuid, true) == 0 &&
           answers.BindPipe(0, ep::kAnswerIn, nullptr, &g_UsbDrvInterfaceGuid, true) == 0 &&
           data.BindPipe(0, ep::kDatIn, nullptr, &g_UsbDrvInterfaceGuid, true) == 0;
  }
};

// Reads the whole memory once; false on any failure.
bool ReadAll(Pipes& pipes) {
  constexpr int kInFlight = 5;
  constexpr int kPackets = velmora::kMemorySize / velmora::kPacketSize;
  std::vector<uint8_t> storage(kInFlight * 64);
  std::vector<std::unique_ptr<CUsbBuf>> buffers;
  std::deque<CUsbBuf*> queue;
  for (int i = 0; i < kInFlight; ++i) {
    buffers.push_back(std::make_unique<CUsbBuf>(storage.data() + 64 * i, 64));
    buffers.back()->bytesToTransfer = 64;
    pipes.data.SubmitRead(buffers.back().get());
    queue.push_back(buffers.back().get());
  }
  const char command[] = "mem.load=0,524288";
  uint32_t length = sizeof(command);
  bool ok = pipes.out.WriteSync(command, &length, kWaitMs) == 0;
  uint8_t answer[64];
  CUsbBuf answerBuffer(answer, sizeof(answer));
  answerBuffer.bytesToTransfer = sizeof(answer);
  pipes.answers.SubmitRead(&answerBuffer);
  ok = ok && pipes.answers.WaitForBuffer(&answerBuffer, kWaitMs) == 0;
  for (int i = 0; ok && i < kPackets; ++i) {
    CUsbBuf* b = queue.front();
    queue.pop_front();
    ok = pipes.data.WaitForBuffer(b, kWaitMs) == 0 && b->bytesTransferred == 64;
    // The last reads stay unsubmitted: nothing follows the memory.
    if (i + kInFlight < kPackets) {
      pipes.data.SubmitRead(b);
      queue.push_back(b);
    }
  }
  if (!ok) {
    pipes.data.AbortTransfers();
    pipes.answers.AbortTransfers();
    for (CUsbBuf* b : queue) pipes.data.WaitForBuffer(b, kWaitMs);
    pipes.answers.WaitForBuffer(&answerBuffer, kWaitMs);
  }
  return ok;
}

void RunDownloads(benchmark::State& state, Pipes& pipes) {
  for (auto _ : state) {
    if (!ReadAll(pipes)) {
      state.SkipWithError("download failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * velmora::kMemorySize);
}

void BM_SimDownload(benchmark::State& state, bool paced) {
  std::vector<std::string> args{"--records", "16384"};
  if (paced) args.insert(args.end(), {"--pace", "full-speed"});
  SimProcess sim(args);
  if (!sim.Attached()) {
    state.SkipWithError("velmora-sim did not attach");
    return;
  }
  usbdrv::EnableVirtualLoggers(sim.Dir());
  {
    Pipes pipes;
    if (pipes.Open()) {
      RunDownloads(state, pipes);
    } else {
      state.SkipWithError("cannot open the virtual logger");
    }
  }
  usbdrv::DisableVirtualLoggers();
}

void BM_InProcessDownload(benchmark::State& state, bool paced) {
  velmora::Options options;
  options.records = 16384;
  options.paced = paced;
  auto device = std::make_shared<velmora::VelmoraDevice>(options, "bench-in-process");
  usbdrv::AttachDevice(device);
  {
    Pipes pipes;
    if (pipes.Open()) {
      RunDownloads(state, pipes);
    } else {
      state.SkipWithError("cannot open the in-process logger");
    }
  }
  usbdrv::DetachAllDevices();
}

BENCHMARK_CAPTURE(BM_SimDownload, socket_unpaced, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_SimDownload, socket_full_speed, true)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_InProcessDownload, in_process_unpaced, false)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_InProcessDownload, in_process_full_speed, true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
