// Writes on a paced device: they wait for the bus like reads do, share it with reads, reach the device
// whole and in order, and are never left without their completion.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "PlatformTestSupport.h"
#include "platform/usbdrv/DriverControl.h"
#include "platform/usbdrv/InProcessSource.h"
#include "platform/win32.h"
#include "usbdev/PacketDevice.h"

namespace {

using pt::Finish;
using pt::Handle;
using pt::kAnswerIn;
using pt::kCommandOut;
using pt::kDatIn;
using pt::kDatOut;
using pt::OpenBound;
using pt::Overlapped;
using pt::Packet;
using pt::StartRead;
using pt::StartWrite;
using pt::Thread;

constexpr double kFullSpeed = 19.0;
// One packet in about sixteen minutes: a write waits for the bus for the whole test.
constexpr double kCrawl = 1e-6;

// Keeps what was written on the data pipe and echoes commands on the answer pipe from inside OnOut.
class EchoingDevice : public usbdrv::PacketDevice {
 public:
  EchoingDevice()
      : PacketDevice("paced", 0x11E3, 0x0005, nullptr,
                     std::vector<uint8_t>{kDatIn, kAnswerIn, kCommandOut, kDatOut}) {}
  std::vector<std::vector<uint8_t>> Data() {
    std::lock_guard<std::mutex> lock(mutex_);
    return data_;
  }

 protected:
  void OnOut(uint8_t endpoint, const uint8_t* data, size_t size) override {
    if (endpoint == kCommandOut) {
      QueueIn(kAnswerIn, data, size);
      return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    data_.emplace_back(data, data + size);
  }

 private:
  std::mutex mutex_;
  std::vector<std::vector<uint8_t>> data_;
};

class PacedWrites : public pt::DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    dev_ = std::make_shared<EchoingDevice>();
    usbdrv::AttachDevice(dev_);
  }

  std::shared_ptr<EchoingDevice> dev_;
};

TEST_F(PacedWrites, ShareTheBusWithReadsAndArriveWholeAndInOrder) {
  dev_->SetPace(kFullSpeed);
  constexpr uint32_t kCount = 150;
  constexpr int kInFlight = 4;
  for (uint32_t i = 0; i < kCount; ++i) dev_->QueueIn(kDatIn, Packet(i));

  Handle out(OpenBound(kDatOut));
  Handle in(OpenBound(kDatIn));
  std::vector<uint32_t> writeResults, readNumbers;
  {
    // Several writes in flight, then one of four packets' length.
    Thread writer([&] {
      std::vector<std::vector<uint8_t>> packets;
      for (uint32_t i = 0; i < kCount; ++i) packets.push_back(Packet(i));
      packets.push_back(Packet(kCount, 200));
      Overlapped o[kInFlight];
      for (size_t next = 0, done = 0; done < packets.size(); ++done) {
        for (; next < packets.size() && next - done < kInFlight; ++next) {
          const auto& p = packets[next];
          if (StartWrite(out.get(), p.data(), static_cast<DWORD>(p.size()), o[next % kInFlight]) !=
              ERROR_IO_PENDING)
            return;
        }
        DWORD n = 0;
        const uint32_t status = Finish(out.get(), o[done % kInFlight], &n);
        writeResults.push_back(status == 0 ? n : status);
        if (status != 0) return;
      }
    });
    Thread reader([&] {
      uint8_t buf[64];
      Overlapped o;
      for (uint32_t i = 0; i < kCount; ++i) {
        if (StartRead(in.get(), buf, 64, o) != ERROR_IO_PENDING || Finish(in.get(), o) != 0) return;
        uint32_t number;
        std::memcpy(&number, buf, 4);
        readNumbers.push_back(number);
      }
    });
    ASSERT_TRUE(writer.Join(60000));
    ASSERT_TRUE(reader.Join(60000));
  }

  ASSERT_EQ(writeResults.size(), kCount + 1);
  for (uint32_t i = 0; i < kCount; ++i) ASSERT_EQ(writeResults[i], 64u) << "write " << i;
  EXPECT_EQ(writeResults[kCount], 200u);
  ASSERT_EQ(readNumbers.size(), kCount);
  for (uint32_t i = 0; i < kCount; ++i) ASSERT_EQ(readNumbers[i], i);
  EXPECT_EQ(dev_->PacketsWritten(kDatOut), kCount + 1);

  // The device sees each write once its transfer has completed, on the pacing thread: wait for the
  // last one.
  std::vector<std::vector<uint8_t>> data;
  for (int i = 0; i < 1000 && (data = dev_->Data()).size() < kCount + 1; ++i) Sleep(10);
  ASSERT_EQ(data.size(), kCount + 1);
  for (uint32_t i = 0; i < kCount; ++i) ASSERT_EQ(data[i], Packet(i)) << "packet " << i;
  EXPECT_EQ(data[kCount], Packet(kCount, 200));

  // A device may answer from inside OnOut while paced.
  Handle cmd(OpenBound(kCommandOut));
  Handle answers(OpenBound(kAnswerIn));
  uint8_t answer[64] = {};
  Overlapped oRead, oWrite;
  ASSERT_EQ(StartRead(answers.get(), answer, 64, oRead), ERROR_IO_PENDING);
  const char ping[] = "ping";
  ASSERT_EQ(StartWrite(cmd.get(), ping, sizeof(ping), oWrite), ERROR_IO_PENDING);
  EXPECT_EQ(Finish(cmd.get(), oWrite), 0u);
  DWORD n = 0;
  ASSERT_EQ(Finish(answers.get(), oRead, &n), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(answer), n), std::string(ping, sizeof(ping)));
}

TEST_F(PacedWrites, AWriteWaitingForTheBusGoesWhenPacingStopsAndEndsAtAnUnplug) {
  dev_->SetPace(kCrawl);
  Handle out(OpenBound(kDatOut));
  std::vector<uint8_t> bytes(5, 'a');
  Overlapped o;
  ASSERT_EQ(StartWrite(out.get(), bytes.data(), 5, o), ERROR_IO_PENDING);
  EXPECT_FALSE(o.Signalled(20));
  EXPECT_TRUE(dev_->Data().empty());
  std::fill(bytes.begin(), bytes.end(), 'z');  // the driver keeps its own copy

  dev_->SetPace(0);
  DWORD n = 0;
  ASSERT_EQ(Finish(out.get(), o, &n), 0u);
  EXPECT_EQ(n, 5u);
  ASSERT_EQ(dev_->Data().size(), 1u);
  EXPECT_EQ(dev_->Data()[0], std::vector<uint8_t>(5, 'a'));

  // A stalled pipe holds a paced write until it is released, and then it waits for the bus again.
  dev_->SetPace(kCrawl);
  dev_->Stall(kDatOut, true);
  Overlapped o2;
  ASSERT_EQ(StartWrite(out.get(), bytes.data(), 5, o2), ERROR_IO_PENDING);
  dev_->Stall(kDatOut, false);
  EXPECT_FALSE(o2.Signalled(20));

  dev_->Unplug();
  EXPECT_EQ(Finish(out.get(), o2), usbdrv::kStatusDeviceRemoved);
  EXPECT_EQ(dev_->Data().size(), 1u);
  EXPECT_EQ(dev_->PacketsWritten(kDatOut), 1u);
}

}  // namespace
