// Worker threads: the read and write loops against an in-process device, the error count, the stop
// protocol from another thread, and what the destructor says about a worker left running.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "UsbioTestSupport.h"
#include "platform/DebugOutput.h"
#include "usbio/UsbThread.h"

namespace {

using usbio_test::kCommandOut;
using usbio_test::kDatIn;

constexpr uint32_t kStall = 0xE0000004;
constexpr uint32_t kPoweredDown = 0xE000101B;
constexpr uint32_t kCancelled = 0xE0010000;

enum class Hook { kProcess, kError, kExit, kInterrupt };

struct HookCall {
  Hook hook;
  uint32_t status = 0;
  uint32_t bytes = 0;
  uint8_t firstByte = 0;
  std::thread::id thread;
};

// Keeps every hook call in order and lets a test wait for them; `script` runs inside the hook on the
// worker thread, where it can change the device between two transfers.
class HookLog {
 public:
  void Add(Hook hook, const CUsbBuf* buffer) {
    HookCall call{hook, 0, 0, 0, std::this_thread::get_id()};
    if (buffer != nullptr) {
      call.status = buffer->status;
      call.bytes = buffer->bytesTransferred;
      call.firstByte = call.bytes > 0 ? static_cast<const uint8_t*>(buffer->Data())[0] : 0;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.push_back(call);
    }
    if (script) script(call);
    changed_.notify_all();
  }

  std::vector<HookCall> Calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

  size_t Count(Hook hook) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return CountLocked(hook);
  }

  bool WaitForCount(Hook hook, size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, usbio_test::kGenerousBound, [&] { return CountLocked(hook) >= n; });
  }

  std::function<void(const HookCall&)> script;

 private:
  size_t CountLocked(Hook hook) const {
    size_t n = 0;
    for (const auto& call : calls_) n += call.hook == hook ? 1 : 0;
    return n;
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<HookCall> calls_;
};

template <typename Worker>
class Recording : public Worker {
 public:
  // A failed assertion must not leave the worker running.
  ~Recording() override { usbio_test::ShutdownWithin(*this); }
  void ProcessData(CUsbBuf* buffer) override { log.Add(Hook::kProcess, buffer); }
  void HandleBufferError(CUsbBuf* buffer) override { log.Add(Hook::kError, buffer); }
  void OnWorkerExit() override { log.Add(Hook::kExit, nullptr); }
  void InterruptWorker() override {
    log.Add(Hook::kInterrupt, nullptr);
    Worker::InterruptWorker();
  }
  HookLog log;
};

using RecordingReader = Recording<CUsbReader>;

// Writes numbered packets (every third one empty) and marks the buffer after `packets` as finished.
class NumberingWriter : public Recording<CUsbWriter> {
 public:
  explicit NumberingWriter(int packets) : packets_(packets) {}
  void PrepareBuffer(CUsbBuf* buffer) override {
    CUsbWriter::PrepareBuffer(buffer);
    if (next_ >= packets_) {
      buffer->finished = 1;
      return;
    }
    static_cast<uint8_t*>(buffer->Data())[0] = static_cast<uint8_t>(next_);
    buffer->bytesToTransfer = next_ % 3 == 2 ? 0 : 4;
    ++next_;
  }

 private:
  const int packets_;
  int next_ = 0;
};

std::vector<Hook> HooksOf(const std::vector<HookCall>& calls) {
  std::vector<Hook> hooks;
  for (const auto& call : calls) hooks.push_back(call.hook);
  return hooks;
}

class UsbThreadTest : public usbio_test::PipeTest {
 protected:
  void Bind(CUsbPipe& pipe, uint8_t endpoint) { ASSERT_EQ(BindTo(pipe, endpoint), 0u); }

  bool WaitForPendingReads(size_t n) {
    return usbio_test::WaitUntil([&] { return device_->PendingReads(kDatIn) == n; });
  }
};

TEST_F(UsbThreadTest, ShutdownOfANeverStartedWorkerTouchesNoHook) {
  RecordingReader reader;
  EXPECT_FALSE(reader.IsWorkerRunning());
  EXPECT_TRUE(usbio_test::ShutdownWithin(reader));
  EXPECT_TRUE(usbio_test::ShutdownWithin(reader));
  EXPECT_TRUE(reader.log.Calls().empty());
}

TEST_F(UsbThreadTest, WorkerWithAnEmptyPoolEndsByItself) {
  RecordingReader reader;
  Bind(reader, kDatIn);
  ASSERT_TRUE(reader.StartWorker(3));
  ASSERT_TRUE(reader.log.WaitForCount(Hook::kExit, 1));
  ASSERT_TRUE(usbio_test::WaitUntil([&] { return !reader.IsWorkerRunning(); }))
      << "the worker must take back and close its own handle";
  EXPECT_NE(reader.log.Calls()[0].thread, std::this_thread::get_id());
  EXPECT_TRUE(usbio_test::ShutdownWithin(reader));
  EXPECT_EQ(HooksOf(reader.log.Calls()), std::vector<Hook>{Hook::kExit})
      << "no interrupt after the worker ended";
  EXPECT_EQ(device_->PendingReads(kDatIn), 0u);
}

TEST_F(UsbThreadTest, ReaderKeepsThePoolInFlightAndRefusesASecondStart) {
  RecordingReader reader;
  Bind(reader, kDatIn);
  ASSERT_TRUE(reader.AllocateBuffers(64, 5));
  ASSERT_TRUE(reader.StartWorker(3));
  ASSERT_TRUE(WaitForPendingReads(5));
  EXPECT_EQ(reader.Pool().FreeCount(), 0);

  EXPECT_FALSE(reader.StartWorker(3));
  EXPECT_TRUE(reader.IsWorkerRunning());

  for (uint8_t first = 1; first <= 12; ++first) device_->QueueIn(kDatIn, std::vector<uint8_t>(first, first));
  ASSERT_TRUE(reader.log.WaitForCount(Hook::kProcess, 12));
  ASSERT_TRUE(WaitForPendingReads(5)) << "every processed buffer goes back into flight";

  const auto calls = reader.log.Calls();
  ASSERT_EQ(calls.size(), 12u);
  for (uint8_t i = 0; i < 12; ++i) {
    EXPECT_EQ(calls[i].hook, Hook::kProcess);
    EXPECT_EQ(calls[i].status, 0u);
    EXPECT_EQ(calls[i].bytes, i + 1u) << "packets must be handed on in the order they arrived";
    EXPECT_EQ(calls[i].firstByte, i + 1);
  }
  EXPECT_TRUE(usbio_test::ShutdownWithin(reader));
}

TEST_F(UsbThreadTest, ShutdownFromAnotherThreadWakesTheBlockedWorkerAndDropsTheRest) {
  RecordingReader reader;
  Bind(reader, kDatIn);
  ASSERT_TRUE(reader.AllocateBuffers(64, 5));
  ASSERT_TRUE(reader.StartWorker(3));
  ASSERT_TRUE(WaitForPendingReads(5));

  std::thread::id stopper;
  EXPECT_TRUE(usbio_test::WithinBound("ShutdownThread", [&] {
    stopper = std::this_thread::get_id();
    return reader.ShutdownThread();
  }));
  EXPECT_FALSE(reader.IsWorkerRunning());

  // Only the oldest, aborted read passes the hooks; the four behind it are drained silently, and the
  // worker's exit has run before ShutdownThread returned.
  const auto calls = reader.log.Calls();
  ASSERT_EQ(HooksOf(calls), (std::vector<Hook>{Hook::kInterrupt, Hook::kError, Hook::kProcess, Hook::kExit}));
  EXPECT_EQ(calls[0].thread, stopper);
  EXPECT_EQ(calls[1].status, kCancelled);
  EXPECT_EQ(calls[2].status, kCancelled);
  EXPECT_NE(calls[3].thread, stopper);
  EXPECT_EQ(reader.Pool().FreeCount(), 5);
  EXPECT_EQ(device_->PendingReads(kDatIn), 0u);
}

TEST_F(UsbThreadTest, FourFailuresInARowEndTheLoopAndDropWhatIsStillInFlight) {
  RecordingReader reader;
  Bind(reader, kDatIn);
  ASSERT_TRUE(reader.AllocateBuffers(64, 5));
  // The first four reads fail; the fifth already holds data when the loop gives up.
  device_->FailNext(kDatIn, kStall, 4);
  device_->QueueIn(kDatIn, std::vector<uint8_t>{0x77});
  ASSERT_TRUE(reader.StartWorker(3));
  ASSERT_TRUE(reader.log.WaitForCount(Hook::kExit, 1));
  ASSERT_TRUE(usbio_test::WaitUntil([&] { return !reader.IsWorkerRunning(); }));

  const auto calls = reader.log.Calls();
  std::vector<Hook> expected;
  for (int i = 0; i < 4; ++i) {
    expected.push_back(Hook::kError);
    expected.push_back(Hook::kProcess);
  }
  expected.push_back(Hook::kExit);
  ASSERT_EQ(HooksOf(calls), expected);
  for (size_t i = 0; i + 1 < calls.size(); ++i) EXPECT_EQ(calls[i].status, kStall) << "call " << i;
  EXPECT_EQ(reader.Pool().FreeCount(), 5);
  EXPECT_EQ(device_->PendingReads(kDatIn), 0u) << "reads in flight must be aborted";
  EXPECT_EQ(device_->QueuedIn(kDatIn), 0u) << "the fifth read took the packet; its data is dropped";
  EXPECT_TRUE(usbio_test::ShutdownWithin(reader));
}

// With one buffer every transfer ends before the next starts, so the device can be scripted from the
// hooks transfer by transfer.
TEST_F(UsbThreadTest, ASuccessResetsTheErrorCount) {
  RecordingReader reader;
  Bind(reader, kDatIn);
  ASSERT_TRUE(reader.AllocateBuffers(64, 1));
  // F F F S  F F F S  F F F F: only the last run of four ends the loop.
  auto device = device_;
  reader.log.script = [device](const HookCall& call) {
    if (call.hook != Hook::kProcess || call.status != 0) return;
    if (call.firstByte == 1) {
      device->FailNext(kDatIn, kStall, 3);
      device->QueueIn(kDatIn, std::vector<uint8_t>{2});
    } else if (call.firstByte == 2) {
      device->FailNext(kDatIn, kStall, 4);
    }
  };
  device_->FailNext(kDatIn, kStall, 3);
  device_->QueueIn(kDatIn, std::vector<uint8_t>{1});
  ASSERT_TRUE(reader.StartWorker(3));
  const bool ended = reader.log.WaitForCount(Hook::kExit, 1);
  EXPECT_TRUE(usbio_test::ShutdownWithin(reader));
  ASSERT_TRUE(ended);

  std::string sequence;
  for (const auto& call : reader.log.Calls()) {
    if (call.hook == Hook::kProcess) sequence += call.status == 0 ? 'S' : 'F';
  }
  EXPECT_EQ(sequence, "FFFSFFFSFFFF");
  EXPECT_EQ(reader.log.Count(Hook::kError), 10u);
}

TEST_F(UsbThreadTest, PoweredDownIsNeitherCountedNorAReset) {
  RecordingReader reader;
  Bind(reader, kDatIn);
  ASSERT_TRUE(reader.AllocateBuffers(64, 1));
  // F F F, then twenty "powered down", then one more F: that makes four counted failures in a row.
  auto device = device_;
  std::atomic<int> errors{0};
  reader.log.script = [device, &errors](const HookCall& call) {
    if (call.hook != Hook::kError) return;
    const int n = ++errors;
    if (n == 3) device->FailNext(kDatIn, kPoweredDown, 20);
    if (n == 23) device->FailNext(kDatIn, kStall, 1);
  };
  device_->FailNext(kDatIn, kStall, 3);
  ASSERT_TRUE(reader.StartWorker(3));
  const bool ended = reader.log.WaitForCount(Hook::kExit, 1);
  EXPECT_TRUE(usbio_test::ShutdownWithin(reader));
  ASSERT_TRUE(ended);

  std::vector<uint32_t> statuses;
  for (const auto& call : reader.log.Calls()) {
    if (call.hook == Hook::kError) statuses.push_back(call.status);
  }
  std::vector<uint32_t> expected(3, kStall);
  expected.insert(expected.end(), 20, kPoweredDown);
  expected.push_back(kStall);
  EXPECT_EQ(statuses, expected);
}

// Stops the worker from another thread while the worker is between its stop check and its submissions,
// so that the abort reaches the pipe before the reads do.
class StopInSubmissionReader : public RecordingReader {
 public:
  void PrepareBuffer(CUsbBuf* buffer) override {
    RecordingReader::PrepareBuffer(buffer);
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopper_.valid() || taken_) return;
    stopper_ = std::async(std::launch::async, [this] { return ShutdownThread(); });
    changed_.notify_all();
    changed_.wait_for(lock, usbio_test::kGenerousBound, [this] { return interrupted_; });
  }
  void InterruptWorker() override {
    RecordingReader::InterruptWorker();
    std::lock_guard<std::mutex> lock(mutex_);
    interrupted_ = true;
    changed_.notify_all();
  }
  std::future<bool> TakeStopper() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, usbio_test::kGenerousBound, [this] { return stopper_.valid(); });
    taken_ = true;
    return std::move(stopper_);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::future<bool> stopper_;
  bool interrupted_ = false;
  bool taken_ = false;
};

TEST_F(UsbThreadTest, StopDuringSubmissionStillEndsTheWorker) {
  StopInSubmissionReader reader;
  Bind(reader, kDatIn);
  ASSERT_TRUE(reader.AllocateBuffers(64, 5));
  ASSERT_TRUE(reader.StartWorker(3));
  std::future<bool> stopper = reader.TakeStopper();
  ASSERT_TRUE(stopper.valid());
  EXPECT_TRUE(usbio_test::WithinBound("ShutdownThread", [&] { return stopper.get(); }));
  EXPECT_EQ(HooksOf(reader.log.Calls()),
            (std::vector<Hook>{Hook::kInterrupt, Hook::kError, Hook::kProcess, Hook::kExit}));
  EXPECT_EQ(reader.Pool().FreeCount(), 5);
  EXPECT_EQ(device_->PendingReads(kDatIn), 0u);
}

TEST_F(UsbThreadTest, WorkerCanBeStoppedAndStartedAgain) {
  RecordingReader reader;
  Bind(reader, kDatIn);
  ASSERT_TRUE(reader.AllocateBuffers(64, 5));
  for (int round = 0; round < 10; ++round) {
    ASSERT_TRUE(reader.StartWorker(3)) << "round " << round;
    ASSERT_TRUE(usbio_test::ShutdownWithin(reader));
    ASSERT_EQ(reader.Pool().FreeCount(), 5) << "round " << round;
  }
  EXPECT_EQ(reader.log.Count(Hook::kExit), 10u);

  ASSERT_TRUE(reader.StartWorker(3));
  device_->QueueIn(kDatIn, std::vector<uint8_t>{0x5A});
  // Each stop may have passed one aborted read to the hooks; the packet must come after them.
  EXPECT_TRUE(usbio_test::WaitUntil([&] {
    const auto calls = reader.log.Calls();
    return calls.back().hook == Hook::kProcess && calls.back().status == 0 && calls.back().firstByte == 0x5A;
  }));
  EXPECT_TRUE(usbio_test::ShutdownWithin(reader));
}

TEST_F(UsbThreadTest, WriterSendsWhatItPreparesUntilABufferIsFinished) {
  NumberingWriter writer(7);
  Bind(writer, kCommandOut);
  ASSERT_TRUE(writer.AllocateBuffers(16, 5));
  ASSERT_TRUE(writer.StartWorker(3));
  ASSERT_TRUE(writer.log.WaitForCount(Hook::kExit, 1));
  ASSERT_TRUE(usbio_test::WaitUntil([&] { return !writer.IsWorkerRunning(); }));

  EXPECT_EQ(HooksOf(writer.log.Calls()), std::vector<Hook>{Hook::kExit}) << "writes never reach ProcessData";
  const auto written = device_->TakeOut(kCommandOut);
  ASSERT_EQ(written.size(), 7u);
  for (size_t i = 0; i < written.size(); ++i) {
    if (i % 3 == 2) {
      EXPECT_TRUE(written[i].empty()) << "packet " << i << " is a zero-length write";
    } else {
      ASSERT_EQ(written[i].size(), 4u) << "packet " << i;
      EXPECT_EQ(written[i][0], i);
    }
  }
  EXPECT_EQ(writer.Pool().FreeCount(), 5);
  EXPECT_TRUE(usbio_test::ShutdownWithin(writer));
}

TEST_F(UsbThreadTest, WriterEndsAfterFourFailedWrites) {
  NumberingWriter writer(1000);
  Bind(writer, kCommandOut);
  ASSERT_TRUE(writer.AllocateBuffers(16, 5));
  device_->FailNext(kCommandOut, kStall, 4);
  device_->Stall(kCommandOut, true);  // what follows the failures stays in flight until the abort
  ASSERT_TRUE(writer.StartWorker(3));
  // The worker has left only once it gave up its handle; a stop before that would add an interrupt.
  const bool ended = writer.log.WaitForCount(Hook::kExit, 1) &&
                     usbio_test::WaitUntil([&] { return !writer.IsWorkerRunning(); });
  EXPECT_TRUE(usbio_test::ShutdownWithin(writer));
  ASSERT_TRUE(ended);

  const auto calls = writer.log.Calls();
  ASSERT_EQ(HooksOf(calls),
            (std::vector<Hook>{Hook::kError, Hook::kError, Hook::kError, Hook::kError, Hook::kExit}));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(calls[i].status, kStall);
  EXPECT_EQ(writer.Pool().FreeCount(), 5);
  device_->Stall(kCommandOut, false);
  EXPECT_TRUE(device_->TakeOut(kCommandOut).empty()) << "aborted writes must not reach the device";
}

// Pretends a worker is still registered, without one running, to see what the destructor reports.
class AbandonedReader : public CUsbReader {
 public:
  void PretendRunning(HANDLE handle) { threadHandle = handle; }
};

TEST(UsbThreadDestructor, ReportsAWorkerThatWasNeverShutDown) {
  std::mutex mutex;
  std::vector<std::string> lines;
  win32::SetDebugOutputSink([&](const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex);
    lines.push_back(line);
  });

  auto seen = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    return lines;
  };
  { AbandonedReader stopped; }
  EXPECT_TRUE(seen().empty()) << "a worker that never ran is nothing to report";

  HANDLE stand_in = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  {
    AbandonedReader abandoned;
    EXPECT_TRUE(abandoned.AllocateBuffers(64, 2));
    abandoned.PretendRunning(stand_in);
  }
  CloseHandle(stand_in);
  win32::SetDebugOutputSink(nullptr);
  EXPECT_EQ(seen(),
            std::vector<std::string>{"CUsbThread::~CUsbThread(): Thread is still running! ShutdownThread() "
                                     "must be called before the object is destroyed!\n"});
}

}  // namespace
