// The user-space USB driver over in-process devices: opening, control requests, overlapped
// transfers and every way they can end (device, abort, CancelIo, close, unplug).
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "PlatformTestSupport.h"
#include "common/LoggerEndpoints.h"
#include "platform/usbdrv/DeviceSource.h"
#include "platform/usbdrv/DriverControl.h"
#include "platform/usbdrv/DriverInterface.h"
#include "platform/usbdrv/InProcessSource.h"
#include "platform/win32.h"
#include "usbdev/PacketDevice.h"

namespace {

using pt::Finish;
using pt::Handle;
using pt::kAnswerIn;
using pt::kCommandOut;
using pt::kDatIn;
using pt::kDebugIn;
using pt::kWaitMs;
using pt::OpenBound;
using pt::Overlapped;
using pt::Packet;
using pt::StartRead;
using pt::StartWrite;
using pt::Thread;

std::string PathOf(const std::string& id) {
  return "\\\\?\\usbdrv#" + id + "#{92614419-12d7-4c4a-a437-a4dab49b654d}";
}

class Driver : public pt::DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    std::string serial = "VLM00001";
    dev_ = std::make_shared<usbdrv::PacketDevice>(
        "logger-1", 0x11E3, 0x0005, &serial,
        std::vector<uint8_t>{ep::kDatIn, ep::kAnswerIn, ep::kDebugIn, ep::kCommandOut, ep::kDatOut});
    usbdrv::AttachDevice(dev_);
  }

  std::shared_ptr<usbdrv::PacketDevice> dev_;
};

TEST_F(Driver, OpensByNumberOrInterfacePathAndMissingDevicesGiveError2) {
  Handle a(pt::OpenNumber(0));
  ASSERT_TRUE(a.valid());
  Handle b(pt::OpenPath(PathOf("logger-1")));
  ASSERT_TRUE(b.valid());
  Handle c(
      pt::OpenPath("\\\\?\\USBDRV#LOGGER-1#{92614419-12D7-4C4A-A437-A4DAB49B654D}"));  // not case-sensitive
  ASSERT_TRUE(c.valid());
  EXPECT_NE(a.get(), b.get());
  EXPECT_EQ(usbdrv::OpenDriverHandles(), 3);

  for (const std::string& path :
       {std::string("\\\\.\\UsbDrv_Device1"), std::string("\\\\.\\UsbDrv_Device"),
        std::string("\\\\.\\UsbDrv_Device0x"), std::string("\\\\.\\UsbDrv_Device-1"), PathOf("logger-2"),
        std::string("C:\\logger.bin")}) {
    SetLastError(0);
    EXPECT_EQ(pt::OpenPath(path), INVALID_HANDLE_VALUE) << path;
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << path;
  }

  // Each handle has its own binding on the one device.
  ASSERT_EQ(pt::Configure(a.get()), 0u);
  EXPECT_EQ(pt::Bind(a.get(), kDatIn), 0u);
  EXPECT_EQ(pt::Bind(b.get(), kDatIn), 0u);
  EXPECT_EQ(pt::Bind(c.get(), kCommandOut), 0u);
  EXPECT_TRUE(b.Close());
  EXPECT_EQ(usbdrv::OpenDriverHandles(), 2);
}

TEST_F(Driver, DriverInfoCarriesTheInterfaceVersion) {
  Handle h(pt::OpenNumber(0));
  uint8_t info[12];
  std::memset(info, 0xAA, sizeof(info));
  DWORD n = 0;
  ASSERT_EQ(pt::Ioctl(h.get(), usbioctl::kGetDriverInfo, nullptr, 0, info, sizeof(info), &n), 0u);
  EXPECT_EQ(n, 12u);
  EXPECT_EQ(info[0], 0x32);
  EXPECT_EQ(info[1], 0x02);
  for (int i = 2; i < 12; ++i) EXPECT_EQ(info[i], 0) << i;

  usbdrv::SetInterfaceVersion(0x0231);
  ASSERT_EQ(pt::Ioctl(h.get(), usbioctl::kGetDriverInfo, nullptr, 0, info, sizeof(info)), 0u);
  EXPECT_EQ(info[0], 0x31);
  EXPECT_EQ(pt::Ioctl(h.get(), usbioctl::kGetDriverInfo, nullptr, 0, info, 11), ERROR_INSUFFICIENT_BUFFER);

  // With an OVERLAPPED, the result is also there for GetOverlappedResult, success or failure.
  Overlapped o(false);
  ASSERT_TRUE(
      DeviceIoControl(h.get(), usbioctl::kGetDriverInfo, nullptr, 0, info, sizeof(info), nullptr, &o.ov));
  n = 0;
  EXPECT_TRUE(GetOverlappedResult(h.get(), &o.ov, &n, TRUE));
  EXPECT_EQ(n, 12u);
  EXPECT_FALSE(DeviceIoControl(h.get(), 0x80942000, nullptr, 0, nullptr, 0, nullptr, &o.ov));
  EXPECT_EQ(GetLastError(), usbdrv::kStatusBadControlCode);
  EXPECT_FALSE(GetOverlappedResult(h.get(), &o.ov, &n, TRUE));
  EXPECT_EQ(GetLastError(), usbdrv::kStatusBadControlCode);

  // Not a driver handle.
  EXPECT_EQ(pt::Ioctl(o.ov.hEvent, usbioctl::kGetDriverInfo, nullptr, 0, info, sizeof(info)),
            ERROR_INVALID_HANDLE);
}

TEST_F(Driver, DescriptorsAndTheirFailures) {
  Handle h(pt::OpenNumber(0));
  std::vector<uint8_t> d;
  ASSERT_EQ(pt::Descriptor(h.get(), 1, 0, d, 18), 0u);
  ASSERT_EQ(d.size(), 18u);
  EXPECT_EQ(d[0], 18);
  EXPECT_EQ(d[1], 1);
  EXPECT_EQ(d[8] | d[9] << 8, 0x11E3);
  EXPECT_EQ(d[10] | d[11] << 8, 0x0005);
  EXPECT_EQ(d[16], 3);  // serial number string
  EXPECT_EQ(d[17], 1);
  ASSERT_EQ(pt::Descriptor(h.get(), 1, 0, d, 8), 0u);  // a short buffer gets the first bytes
  EXPECT_EQ(d.size(), 8u);

  ASSERT_EQ(pt::Descriptor(h.get(), 3, 0, d), 0u);
  EXPECT_EQ(d, (std::vector<uint8_t>{4, 3, 0x09, 0x04}));
  ASSERT_EQ(pt::Descriptor(h.get(), 3, 3, d, 516), 0u);
  std::vector<uint8_t> serial{18, 3};
  for (char ch : std::string("VLM00001")) serial.insert(serial.end(), {static_cast<uint8_t>(ch), 0});
  EXPECT_EQ(d, serial);

  ASSERT_EQ(pt::Descriptor(h.get(), 2, 0, d), 0u);
  ASSERT_GE(d.size(), 9u);
  EXPECT_EQ(d.size(), static_cast<size_t>(d[2] | d[3] << 8));
  EXPECT_EQ(d.size(), 9u + 9u + 5u * 7u);

  EXPECT_EQ(pt::Descriptor(h.get(), 1, 0, d, 18, 1), usbdrv::kStatusInvalidRecipient);
  EXPECT_EQ(pt::Descriptor(h.get(), 6, 0, d), usbdrv::kStatusStallPid);
  EXPECT_EQ(pt::Descriptor(h.get(), 3, 9, d), usbdrv::kStatusStallPid);

  dev_->SetRawDescriptor(3, 3, {3, 3, 'X'});
  ASSERT_EQ(pt::Descriptor(h.get(), 3, 3, d), 0u);
  EXPECT_EQ(d, (std::vector<uint8_t>{3, 3, 'X'}));
  dev_->FailDescriptors(usbdrv::kStatusNotResponding);
  EXPECT_EQ(pt::Descriptor(h.get(), 1, 0, d, 18), usbdrv::kStatusNotResponding);
  dev_->FailDescriptors(0);
  EXPECT_EQ(pt::Descriptor(h.get(), 1, 0, d, 18), 0u);

  // An old logger without serial string: index 0 in the descriptor, and string 3 stalls.
  auto old = std::make_shared<usbdrv::PacketDevice>("old", 0x11E3, 0x0005, nullptr,
                                                    std::vector<uint8_t>{ep::kDatIn});
  usbdrv::AttachDevice(old);
  Handle h1(pt::OpenNumber(1));
  ASSERT_EQ(pt::Descriptor(h1.get(), 1, 0, d, 18), 0u);
  EXPECT_EQ(d[16], 0);
  EXPECT_EQ(pt::Descriptor(h1.get(), 3, 3, d), usbdrv::kStatusStallPid);
}

TEST_F(Driver, ConfigurationAndPipeBinding) {
  Handle h(pt::OpenNumber(0));
  EXPECT_EQ(pt::Bind(h.get(), kDatIn), usbdrv::kStatusPipeNotFound) << "bound before configuration";
  EXPECT_EQ(pt::Configure(h.get(), 0, 1), usbdrv::kStatusSetConfigFailed);
  dev_->RefuseConfiguration(usbdrv::kStatusExclusive);
  EXPECT_EQ(pt::Configure(h.get()), usbdrv::kStatusExclusive);
  dev_->RefuseConfiguration(0);
  EXPECT_EQ(pt::Configure(h.get()), 0u);
  EXPECT_EQ(pt::Configure(h.get()), 0u);
  EXPECT_TRUE(dev_->Configured());

  std::vector<uint8_t> record(usbioctl::kSetConfigurationSize, 0);
  EXPECT_EQ(pt::Ioctl(h.get(), usbioctl::kSetConfiguration, record.data(), 3),
            usbdrv::kStatusInvalidParameter);
  record[2] = 33;  // more entries than the record holds
  EXPECT_EQ(pt::Ioctl(h.get(), usbioctl::kSetConfiguration, record.data(), 260),
            usbdrv::kStatusInvalidParameter);

  EXPECT_EQ(pt::Bind(h.get(), 0x86), usbdrv::kStatusPipeNotFound);
  EXPECT_EQ(pt::Bind(h.get(), kDatIn), 0u);
  EXPECT_EQ(pt::Bind(h.get(), kAnswerIn), usbdrv::kStatusAlreadyBound);
  EXPECT_EQ(pt::Ioctl(h.get(), usbioctl::kUnbindPipe), 0u);
  EXPECT_EQ(pt::Ioctl(h.get(), usbioctl::kUnbindPipe), usbdrv::kStatusNotBound);
  EXPECT_EQ(pt::Bind(h.get(), kAnswerIn), 0u);
  EXPECT_EQ(pt::Ioctl(h.get(), 0x80942000), usbdrv::kStatusBadControlCode);

  EXPECT_EQ(pt::Ioctl(h.get(), usbioctl::kDropConfiguration), 0u);
  EXPECT_FALSE(dev_->Configured());
  Handle h2(pt::OpenNumber(0));
  EXPECT_EQ(pt::Bind(h2.get(), kDatIn), usbdrv::kStatusPipeNotFound);
}

TEST_F(Driver, ReadStaysPendingUntilThePacketComes) {
  uint8_t buf[64] = {};
  Overlapped o;
  Handle h(OpenBound(kDatIn));
  ASSERT_EQ(StartRead(h.get(), buf, sizeof(buf), o), ERROR_IO_PENDING);
  DWORD n = 99;
  EXPECT_FALSE(GetOverlappedResult(h.get(), &o.ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
  EXPECT_FALSE(o.Signalled(20));
  EXPECT_EQ(dev_->PendingReads(kDatIn), 1u);

  const auto packet = Packet(1);
  dev_->QueueIn(kDatIn, packet);
  ASSERT_EQ(Finish(h.get(), o, &n), 0u);
  EXPECT_EQ(n, 64u);
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + 64), packet);

  // Packets queued ahead of the reads go in order; a packet longer than the read is cut.
  dev_->QueueIn(kDatIn, Packet(2, 40));
  dev_->QueueIn(kDatIn, Packet(3));
  uint8_t small[16];
  Overlapped o2, o3;
  ASSERT_EQ(StartRead(h.get(), small, sizeof(small), o2), ERROR_IO_PENDING);
  ASSERT_EQ(StartRead(h.get(), buf, sizeof(buf), o3), ERROR_IO_PENDING);
  ASSERT_EQ(Finish(h.get(), o2, &n), 0u);
  EXPECT_EQ(n, 16u);
  EXPECT_EQ(std::vector<uint8_t>(small, small + 16), Packet(2, 16));
  ASSERT_EQ(Finish(h.get(), o3, &n), 0u);
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + 64), Packet(3));
  EXPECT_EQ(dev_->PacketsRead(kDatIn), 3u);
}

TEST_F(Driver, ImmediateFailuresLeaveTheEventAlone) {
  uint8_t buf[64] = {};
  Overlapped o;
  Handle unbound(pt::OpenNumber(0));
  ASSERT_EQ(pt::Configure(unbound.get()), 0u);
  EXPECT_EQ(StartRead(unbound.get(), buf, sizeof(buf), o), usbdrv::kStatusNotBound);
  Handle in(OpenBound(kDatIn));
  Handle out(OpenBound(kCommandOut));
  EXPECT_EQ(StartWrite(in.get(), buf, sizeof(buf), o), usbdrv::kStatusBadDirection);
  EXPECT_EQ(StartRead(out.get(), buf, sizeof(buf), o), usbdrv::kStatusBadDirection);
  EXPECT_EQ(StartRead(o.ov.hEvent, buf, sizeof(buf), o), ERROR_INVALID_HANDLE);
  DWORD n = 0;
  EXPECT_FALSE(ReadFile(in.get(), buf, sizeof(buf), &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(o.Signalled());
  EXPECT_EQ(dev_->PendingReads(kDatIn), 0u);
  EXPECT_EQ(usbdrv::OutstandingTransfers(), 0);
}

TEST_F(Driver, WritesReachTheDeviceFromTheirOwnCopy) {
  Handle out(OpenBound(kCommandOut));
  const char command[] = "mem.used";
  Overlapped o;
  ASSERT_EQ(StartWrite(out.get(), command, sizeof(command), o), ERROR_IO_PENDING);  // even when done at once
  DWORD n = 0;
  ASSERT_EQ(Finish(out.get(), o, &n), 0u);
  EXPECT_EQ(n, sizeof(command));
  auto written = dev_->TakeOut(kCommandOut);
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(std::string(written[0].begin(), written[0].end()), std::string(command, sizeof(command)));

  // A stalled pipe holds the write; the caller may reuse its buffer at once.
  dev_->Stall(kCommandOut, true);
  std::vector<uint8_t> data(5, 'a');
  Overlapped o2;
  ASSERT_EQ(StartWrite(out.get(), data.data(), 5, o2), ERROR_IO_PENDING);
  EXPECT_FALSE(o2.Signalled(20));
  std::fill(data.begin(), data.end(), 'z');
  dev_->Stall(kCommandOut, false);
  ASSERT_EQ(Finish(out.get(), o2, &n), 0u);
  EXPECT_EQ(n, 5u);
  written = dev_->TakeOut(kCommandOut);
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0], std::vector<uint8_t>(5, 'a'));
  EXPECT_EQ(dev_->PacketsWritten(kCommandOut), 2u);

  // A write that times out is cancelled by its own thread; the device forgets it.
  dev_->Stall(kCommandOut, true);
  Overlapped o3;
  ASSERT_EQ(StartWrite(out.get(), data.data(), 5, o3), ERROR_IO_PENDING);
  EXPECT_FALSE(o3.Signalled(20));
  ASSERT_TRUE(CancelIo(out.get()));
  EXPECT_EQ(Finish(out.get(), o3, &n), ERROR_OPERATION_ABORTED);
  EXPECT_EQ(n, 0u);
  dev_->Stall(kCommandOut, false);
  EXPECT_TRUE(dev_->TakeOut(kCommandOut).empty());
}

TEST_F(Driver, CancelIoReachesOnlyTheCallingThreadsTransfers) {
  uint8_t mine[64], theirs[64];
  Overlapped oMine, oTheirs;
  Handle started(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  Handle cancelNow(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  Handle h(OpenBound(kDatIn));
  ASSERT_EQ(StartRead(h.get(), mine, sizeof(mine), oMine), ERROR_IO_PENDING);
  uint32_t theirStart = 0;
  BOOL theirCancel = FALSE;
  Thread other([&] {
    theirStart = StartRead(h.get(), theirs, sizeof(theirs), oTheirs);
    SetEvent(started.get());
    WaitForSingleObject(cancelNow.get(), kWaitMs);
    theirCancel = CancelIo(h.get());
  });
  ASSERT_EQ(WaitForSingleObject(started.get(), kWaitMs), WAIT_OBJECT_0);
  ASSERT_EQ(theirStart, ERROR_IO_PENDING);

  ASSERT_TRUE(CancelIo(h.get()));
  EXPECT_EQ(Finish(h.get(), oMine), ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(oTheirs.Signalled(20)) << "CancelIo ended another thread's read";
  EXPECT_EQ(dev_->PendingReads(kDatIn), 1u);

  SetEvent(cancelNow.get());
  ASSERT_TRUE(other.Join());
  EXPECT_TRUE(theirCancel);
  EXPECT_EQ(Finish(h.get(), oTheirs), ERROR_OPERATION_ABORTED);
  EXPECT_EQ(dev_->PendingReads(kDatIn), 0u);
}

TEST_F(Driver, AbortEndsEveryTransferOfTheHandleAndWakesAWaiter) {
  uint8_t bufs[5][64];
  uint8_t otherBuf[64];
  Overlapped o[5];
  Overlapped oOther;
  Handle h(OpenBound(kDatIn));
  Handle h2(OpenBound(kDatIn));
  for (int i = 0; i < 5; ++i) ASSERT_EQ(StartRead(h.get(), bufs[i], 64, o[i]), ERROR_IO_PENDING);
  ASSERT_EQ(StartRead(h2.get(), otherBuf, 64, oOther), ERROR_IO_PENDING);
  EXPECT_EQ(dev_->PendingReads(kDatIn), 6u);

  // An abort from this thread wakes another one that waits inside GetOverlappedResult.
  BOOL waitResult = TRUE;
  DWORD waitError = 0;
  DWORD n = 99;
  Thread waiter([&] {
    waitResult = GetOverlappedResult(h.get(), &o[0].ov, &n, TRUE);
    waitError = GetLastError();
  });
  EXPECT_EQ(pt::Ioctl(h.get(), usbioctl::kAbortPipe), 0u);
  ASSERT_TRUE(waiter.Join()) << "the waiter was not woken";
  EXPECT_FALSE(waitResult);
  EXPECT_EQ(waitError, usbdrv::kStatusCancelled);
  EXPECT_EQ(n, 0u);
  for (int i = 1; i < 5; ++i) EXPECT_EQ(Finish(h.get(), o[i]), usbdrv::kStatusCancelled) << i;

  // The other handle's read was not touched and the device forgot the aborted ones.
  EXPECT_FALSE(oOther.Signalled());
  EXPECT_EQ(dev_->PendingReads(kDatIn), 1u);
  dev_->QueueIn(kDatIn, Packet(7));
  ASSERT_EQ(Finish(h2.get(), oOther, &n), 0u);
  EXPECT_EQ(std::vector<uint8_t>(otherBuf, otherBuf + 64), Packet(7));

  // The aborted handle keeps working.
  ASSERT_EQ(StartRead(h.get(), bufs[0], 64, o[0]), ERROR_IO_PENDING);
  dev_->QueueIn(kDatIn, Packet(8));
  ASSERT_EQ(Finish(h.get(), o[0], &n), 0u);
  EXPECT_EQ(std::vector<uint8_t>(bufs[0], bufs[0] + 64), Packet(8));
}

TEST_F(Driver, ClosingAHandleEndsItsTransfers) {
  uint8_t bufs[3][64];
  std::memset(bufs, 0xEE, sizeof(bufs));
  Overlapped o[3];
  Handle h(OpenBound(kDatIn));
  for (int i = 0; i < 3; ++i) ASSERT_EQ(StartRead(h.get(), bufs[i], 64, o[i]), ERROR_IO_PENDING);
  const HANDLE stale = h.get();
  ASSERT_TRUE(h.Close());
  DWORD n = 99;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Finish(stale, o[i], &n), ERROR_OPERATION_ABORTED) << i;
    EXPECT_EQ(n, 0u);
  }
  EXPECT_EQ(usbdrv::OpenDriverHandles(), 0);
  EXPECT_EQ(usbdrv::OutstandingTransfers(), 0);
  EXPECT_EQ(dev_->PendingReads(kDatIn), 0u);

  // A packet arriving later stays with the device; the closed reads never see it.
  dev_->QueueIn(kDatIn, Packet(1));
  EXPECT_EQ(dev_->QueuedIn(kDatIn), 1u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(bufs[i][0], 0xEE);
  EXPECT_EQ(StartRead(stale, bufs[0], 64, o[0]), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(stale));
}

// A worker may resubmit between the abort and the unbind of a tear-down: the unbind must end that
// read too, or the worker would wait for a packet that never comes.
TEST_F(Driver, UnbindingAPipeEndsItsTransfers) {
  uint8_t bufs[2][64];
  Overlapped o[2];
  Handle h(OpenBound(kDatIn));
  for (int i = 0; i < 2; ++i) ASSERT_EQ(StartRead(h.get(), bufs[i], 64, o[i]), ERROR_IO_PENDING);
  ASSERT_EQ(pt::Ioctl(h.get(), usbioctl::kUnbindPipe), 0u);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(Finish(h.get(), o[i]), usbdrv::kStatusCancelled) << i;
  EXPECT_EQ(dev_->PendingReads(kDatIn), 0u);
  EXPECT_EQ(usbdrv::OutstandingTransfers(), 0);
  EXPECT_EQ(StartRead(h.get(), bufs[0], 64, o[0]), usbdrv::kStatusNotBound);

  // The packet stays with the device for whoever binds the endpoint next.
  dev_->QueueIn(kDatIn, Packet(3));
  ASSERT_EQ(pt::Bind(h.get(), kDatIn), 0u);
  ASSERT_EQ(StartRead(h.get(), bufs[0], 64, o[0]), ERROR_IO_PENDING);
  ASSERT_EQ(Finish(h.get(), o[0]), 0u);
  EXPECT_EQ(std::vector<uint8_t>(bufs[0], bufs[0] + 64), Packet(3));
}

// A device that completes transfers only when the test says so, and ignores Cancel.
class ManualDevice : public usbdrv::UsbDevice {
 public:
  std::string InstanceId() const override { return "manual"; }
  uint32_t GetDescriptor(uint8_t, uint8_t, uint16_t, uint8_t*, uint32_t, uint32_t*) override {
    return usbdrv::kStatusStallPid;
  }
  uint32_t SetConfiguration(const usbdrv::ConfigurationRequest&) override { return configurationStatus; }
  uint32_t DropConfiguration() override { return 0; }
  bool HasEndpoint(uint8_t) const override { return true; }
  bool Present() const override { return true; }

  uint32_t Submit(usbdrv::UsbTransfer* t) override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (refuse != 0) return refuse;
    if (inlineBytes > 0) {
      const uint32_t n = inlineBytes;
      std::memset(t->data, 0x5A, n);
      lock.unlock();
      t->Complete(0, n);  // before Submit returns
      return 0;
    }
    held_.push_back(t);
    return 0;
  }
  void Cancel(usbdrv::UsbTransfer*) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++cancels;
  }
  usbdrv::UsbTransfer* Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (held_.empty()) return nullptr;
    auto* t = held_.front();
    held_.pop_front();
    return t;
  }
  int Cancels() {
    std::lock_guard<std::mutex> lock(mutex_);
    return cancels;
  }

  uint32_t refuse = 0;               // set before use
  uint32_t inlineBytes = 0;          // set before use
  uint32_t configurationStatus = 0;  // set before use

 private:
  std::mutex mutex_;
  std::deque<usbdrv::UsbTransfer*> held_;
  int cancels = 0;
};

TEST_F(Driver, LateDeviceCompletionAfterAnAbortNeverTouchesCallerMemory) {
  usbdrv::DetachAllDevices();
  auto manual = std::make_shared<ManualDevice>();
  usbdrv::AttachDevice(manual);
  uint8_t kept[64];
  std::memset(kept, 0x11, sizeof(kept));
  Overlapped oKept;
  Handle h(pt::OpenNumber(0));
  ASSERT_EQ(pt::Bind(h.get(), kDatIn), 0u);

  // One read whose buffer and OVERLAPPED are freed as soon as the abort has ended it (the address
  // sanitizer catches a late write), and one whose memory is kept to be checked.
  auto* freed = new uint8_t[64];
  auto* oFreed = new Overlapped;
  ASSERT_EQ(StartRead(h.get(), freed, 64, *oFreed), ERROR_IO_PENDING);
  ASSERT_EQ(StartRead(h.get(), kept, 64, oKept), ERROR_IO_PENDING);
  EXPECT_EQ(usbdrv::OutstandingTransfers(), 2);
  ASSERT_EQ(pt::Ioctl(h.get(), usbioctl::kAbortPipe), 0u);
  EXPECT_EQ(Finish(h.get(), *oFreed), usbdrv::kStatusCancelled);
  EXPECT_EQ(Finish(h.get(), oKept), usbdrv::kStatusCancelled);
  EXPECT_EQ(manual->Cancels(), 2);
  delete oFreed;
  delete[] freed;

  // The device lets go only now, with data.
  for (int i = 0; i < 2; ++i) {
    usbdrv::UsbTransfer* t = manual->Take();
    ASSERT_NE(t, nullptr);
    std::memset(t->data, 0x22, t->capacity);
    t->Complete(0, t->capacity);
  }
  EXPECT_EQ(kept[0], 0x11);
  EXPECT_EQ(kept[63], 0x11);
  EXPECT_EQ(oKept.ov.Internal, usbdrv::kStatusCancelled);
  EXPECT_EQ(usbdrv::OutstandingTransfers(), 0);

  // Completed inside Submit: still reported pending, the result is in the OVERLAPPED.
  manual->inlineBytes = 10;
  Overlapped oInline;
  ASSERT_EQ(StartRead(h.get(), kept, 64, oInline), ERROR_IO_PENDING);
  DWORD n = 0;
  ASSERT_EQ(Finish(h.get(), oInline, &n), 0u);
  EXPECT_EQ(n, 10u);
  EXPECT_EQ(kept[0], 0x5A);
  EXPECT_EQ(kept[10], 0x11);

  // Refused: the device's status at once, nothing pending, no signal.
  manual->inlineBytes = 0;
  manual->refuse = usbdrv::kStatusNotResponding;
  Overlapped oRefused;
  EXPECT_EQ(StartRead(h.get(), kept, 64, oRefused), usbdrv::kStatusNotResponding);
  EXPECT_FALSE(oRefused.Signalled());
  EXPECT_FALSE(GetOverlappedResult(h.get(), &oRefused.ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), usbdrv::kStatusNotResponding);
  EXPECT_EQ(usbdrv::OutstandingTransfers(), 0);
}

// A device reports the statuses of the device contract. Any other number, above all "pending" (997),
// which left the caller of a control request waiting for a completion that never came, reaches the
// caller as a failed request.
TEST_F(Driver, StatusesOutsideTheDeviceContractAreFailedRequests) {
  usbdrv::DetachAllDevices();
  auto manual = std::make_shared<ManualDevice>();
  usbdrv::AttachDevice(manual);
  Handle h(pt::OpenNumber(0));
  ASSERT_EQ(pt::Bind(h.get(), kDatIn), 0u);
  for (const uint32_t foreign : {static_cast<uint32_t>(ERROR_IO_PENDING), 0x12345678u}) {
    // A control request, as the USB I/O layer makes it: with an OVERLAPPED and its event.
    manual->configurationStatus = foreign;
    std::vector<uint8_t> record(usbioctl::kSetConfigurationSize, 0);
    Overlapped o;
    DWORD n = 0;
    EXPECT_FALSE(DeviceIoControl(h.get(), usbioctl::kSetConfiguration, record.data(),
                                 static_cast<DWORD>(record.size()), nullptr, 0, &n, &o.ov));
    EXPECT_EQ(GetLastError(), usbdrv::kStatusRequestFailed) << foreign;
    EXPECT_EQ(Finish(h.get(), o), usbdrv::kStatusRequestFailed) << foreign;

    // A transfer the device completes with it, and one it refuses with it.
    uint8_t buffer[64];
    Overlapped completed, refused;
    ASSERT_EQ(StartRead(h.get(), buffer, 64, completed), ERROR_IO_PENDING);
    manual->Take()->Complete(foreign, 0);
    EXPECT_EQ(Finish(h.get(), completed), usbdrv::kStatusRequestFailed) << foreign;
    manual->refuse = foreign;
    EXPECT_EQ(StartRead(h.get(), buffer, 64, refused), usbdrv::kStatusRequestFailed) << foreign;
    manual->refuse = 0;
  }
}

TEST_F(Driver, UnplugEndsPendingTransfersAndTheDeviceIsGone) {
  uint8_t a[64], b[64];
  Overlapped oa, ob;
  Handle h(OpenBound(kDatIn));
  Handle h2(OpenBound(kAnswerIn));
  ASSERT_EQ(StartRead(h.get(), a, 64, oa), ERROR_IO_PENDING);
  ASSERT_EQ(StartRead(h2.get(), b, 64, ob), ERROR_IO_PENDING);

  usbdrv::DetachDevice(dev_);
  EXPECT_EQ(Finish(h.get(), oa), usbdrv::kStatusDeviceRemoved);
  EXPECT_EQ(Finish(h2.get(), ob), usbdrv::kStatusDeviceRemoved);
  EXPECT_FALSE(dev_->Present());
  EXPECT_EQ(StartRead(h.get(), a, 64, oa), usbdrv::kStatusDeviceRemoved);
  uint8_t info[12];
  EXPECT_EQ(pt::Ioctl(h.get(), usbioctl::kGetDriverInfo, nullptr, 0, info, 12), usbdrv::kStatusDeviceRemoved);

  SetLastError(0);
  EXPECT_EQ(pt::OpenNumber(0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(pt::OpenPath(PathOf("logger-1")), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(usbdrv::ListDevices().empty());
}

TEST_F(Driver, UnplugAfterInDeliversThatManyPacketsThenRemoves) {
  dev_->UnplugAfterIn(kDatIn, 3);
  uint8_t bufs[5][64];
  Overlapped o[5];
  Handle h(OpenBound(kDatIn));
  for (int i = 0; i < 5; ++i) ASSERT_EQ(StartRead(h.get(), bufs[i], 64, o[i]), ERROR_IO_PENDING);
  for (uint32_t i = 0; i < 5; ++i) dev_->QueueIn(kDatIn, Packet(i));
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(Finish(h.get(), o[i]), 0u) << i;
    EXPECT_EQ(std::vector<uint8_t>(bufs[i], bufs[i] + 64), Packet(i));
  }
  for (int i = 3; i < 5; ++i) EXPECT_EQ(Finish(h.get(), o[i]), usbdrv::kStatusDeviceRemoved) << i;
  EXPECT_FALSE(dev_->Present());
}

TEST_F(Driver, FailNextFailsThroughTheNormalCompletion) {
  dev_->FailNext(kDatIn, usbdrv::kStatusDataOverrun, 2);
  uint8_t buf[64];
  Overlapped o[3];
  Handle h(OpenBound(kDatIn));
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(StartRead(h.get(), buf, 64, o[i]), ERROR_IO_PENDING) << "failed at submission, not completion";
    EXPECT_EQ(Finish(h.get(), o[i]), usbdrv::kStatusDataOverrun);
  }
  ASSERT_EQ(StartRead(h.get(), buf, 64, o[2]), ERROR_IO_PENDING);
  EXPECT_FALSE(o[2].Signalled());
  dev_->QueueIn(kDatIn, Packet(1));
  EXPECT_EQ(Finish(h.get(), o[2]), 0u);
}

TEST_F(Driver, ResultWithoutAnEventWaitsOnTheHandle) {
  uint8_t buf[64];
  OVERLAPPED ov{};  // no event
  Handle h(OpenBound(kDatIn));
  DWORD n = 0;
  ASSERT_FALSE(ReadFile(h.get(), buf, 64, &n, &ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  BOOL ok = FALSE;
  Thread waiter([&] { ok = GetOverlappedResult(h.get(), &ov, &n, TRUE); });
  dev_->QueueIn(kDatIn, Packet(4, 4));
  ASSERT_TRUE(waiter.Join()) << "the waiter was not woken";
  EXPECT_TRUE(ok);
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), Packet(4, 4));
}

// Reads `count` packets through `h` the way the I/O layer's workers do: five reads in flight, wait
// for the oldest, resubmit. Returns the first 4 bytes (the packet number) of each packet in order.
std::vector<uint32_t> ReadLikeAWorker(HANDLE h, size_t count) {
  constexpr int kInFlight = 5;
  uint8_t bufs[kInFlight][64];
  Overlapped o[kInFlight];
  std::vector<uint32_t> numbers;
  size_t submitted = 0;
  for (int i = 0; i < kInFlight && submitted < count; ++i, ++submitted) {
    if (StartRead(h, bufs[i], 64, o[i]) != ERROR_IO_PENDING) return numbers;
  }
  for (size_t done = 0; done < count; ++done) {
    const int slot = static_cast<int>(done % kInFlight);
    DWORD n = 0;
    if (Finish(h, o[slot], &n) != 0 || n != 64) break;
    uint32_t number;
    std::memcpy(&number, bufs[slot], 4);
    numbers.push_back(number);
    if (submitted < count) {
      ++submitted;
      if (StartRead(h, bufs[slot], 64, o[slot]) != ERROR_IO_PENDING) break;
    }
  }
  CancelIo(h);  // whatever is left (only after a failure)
  for (int i = 0; i < kInFlight; ++i) o[i].Signalled(kWaitMs);
  return numbers;
}

TEST_F(Driver, ManyTransfersArriveCompleteAndInOrder) {
  constexpr uint32_t kCount = 8192;  // a full memory download
  Handle h(OpenBound(kDatIn));
  std::vector<uint32_t> got;
  Thread reader([&] { got = ReadLikeAWorker(h.get(), kCount); });
  for (uint32_t i = 0; i < kCount; ++i) dev_->QueueIn(kDatIn, Packet(i));
  ASSERT_TRUE(reader.Join(60000));
  ASSERT_EQ(got.size(), kCount);
  for (uint32_t i = 0; i < kCount; ++i) ASSERT_EQ(got[i], i) << "packet " << i;
  EXPECT_EQ(dev_->PacketsRead(kDatIn), kCount);
}

TEST_F(Driver, PacedDeliveryDeliversEveryPacketOnEachEndpoint) {
  dev_->SetPace(19.0);
  constexpr uint32_t kCount = 300;
  Handle data(OpenBound(kDatIn));
  Handle debug(OpenBound(kDebugIn));
  std::vector<uint32_t> gotData, gotDebug;
  {
    Thread a([&] { gotData = ReadLikeAWorker(data.get(), kCount); });
    Thread b([&] { gotDebug = ReadLikeAWorker(debug.get(), kCount); });
    for (uint32_t i = 0; i < kCount; ++i) {
      dev_->QueueIn(kDatIn, Packet(i));
      dev_->QueueIn(kDebugIn, Packet(1000 + i));
    }
    ASSERT_TRUE(a.Join(60000));
    ASSERT_TRUE(b.Join(60000));
  }
  ASSERT_EQ(gotData.size(), kCount);
  ASSERT_EQ(gotDebug.size(), kCount);
  for (uint32_t i = 0; i < kCount; ++i) {
    ASSERT_EQ(gotData[i], i);
    ASSERT_EQ(gotDebug[i], 1000 + i);
  }

  // Switching pacing off hands over what is waiting at once.
  uint8_t buf[64];
  Overlapped o;
  ASSERT_EQ(StartRead(data.get(), buf, 64, o), ERROR_IO_PENDING);
  dev_->SetPace(0);
  dev_->QueueIn(kDatIn, Packet(5));
  EXPECT_EQ(Finish(data.get(), o), 0u);
}

// Answers every command on the answer pipe from inside OnOut, as the device model does.
class EchoDevice : public usbdrv::PacketDevice {
 public:
  EchoDevice()
      : PacketDevice("echo", 0x11E3, 0x0005, nullptr, std::vector<uint8_t>{kAnswerIn, kCommandOut}) {}
  const Overlapped* writeInFlight = nullptr;  // set before the write
  std::atomic<int> outCalls{0};
  std::atomic<bool> writeEndedFirst{false};

 protected:
  void OnOut(uint8_t endpoint, const uint8_t* data, size_t size) override {
    writeEndedFirst = writeInFlight != nullptr && writeInFlight->Signalled();
    ++outCalls;
    if (endpoint == kCommandOut) QueueIn(kAnswerIn, data, size);
  }
};

TEST_F(Driver, DeviceMayAnswerFromInsideOnOut) {
  usbdrv::DetachAllDevices();
  auto echo = std::make_shared<EchoDevice>();
  usbdrv::AttachDevice(echo);
  uint8_t answer[64] = {};
  Overlapped oRead, oWrite;
  Handle in(OpenBound(kAnswerIn));
  Handle out(OpenBound(kCommandOut));
  ASSERT_EQ(StartRead(in.get(), answer, 64, oRead), ERROR_IO_PENDING);
  echo->writeInFlight = &oWrite;
  const char ping[] = "ping";
  ASSERT_EQ(StartWrite(out.get(), ping, sizeof(ping), oWrite), ERROR_IO_PENDING);
  EXPECT_EQ(Finish(out.get(), oWrite), 0u);
  DWORD n = 0;
  ASSERT_EQ(Finish(in.get(), oRead, &n), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(answer), n), std::string(ping, sizeof(ping)));
  EXPECT_EQ(echo->outCalls.load(), 1);
  EXPECT_TRUE(echo->writeEndedFirst.load()) << "OnOut ran before the write had completed";
}

}  // namespace
