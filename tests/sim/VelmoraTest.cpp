#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <mutex>

#include "SimHarness.h"
#include "common/LoggerEndpoints.h"
#include "platform/usbdrv/DeviceSource.h"
#include "platform/usbdrv/InProcessSource.h"
#include "sim/model/Velmora.h"

namespace velmora {
namespace {

using simtest::Command;
using simtest::Read;
using simtest::ReadText;
using simtest::Write;
using Bytes = std::vector<uint8_t>;

std::shared_ptr<VelmoraDevice> Configured(Options options = Options()) {
  auto device = std::make_shared<VelmoraDevice>(options, "sim-test");
  simtest::Configure(*device);
  return device;
}

Bytes B(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

std::vector<Bytes> Drain(VelmoraDevice& device, uint8_t endpoint) {
  std::vector<Bytes> packets;
  while (device.QueuedIn(endpoint) > 0) packets.push_back(Read(device, endpoint));
  return packets;
}

// Fills logger memory the way the PC does: "mem.save", then DATOUT packets of 64.
void Save(VelmoraDevice& device, uint32_t address, const Bytes& data) {
  const std::string range = std::to_string(address) + "," + std::to_string(data.size());
  Command(device, "mem.save=" + range);
  ASSERT_EQ(ReadText(device), "mem.save=" + range);
  for (size_t pos = 0; pos < data.size(); pos += 64)
    Write(device, ep::kDatOut, Bytes(data.begin() + pos, data.begin() + std::min(data.size(), pos + 64)));
}

TEST(VelmoraIdentity, DescriptorSerialStringOldLoggerAndInUse) {
  VelmoraDevice device(Options(), "sim-test");
  uint8_t d[18] = {}, s[516] = {};
  uint32_t got = 0;
  ASSERT_EQ(device.GetDescriptor(1, 0, 0, d, sizeof d, &got), 0u);
  EXPECT_EQ(std::vector<int>({d[8] | d[9] << 8, d[10] | d[11] << 8}), std::vector<int>({0x11E3, 0x0005}));
  ASSERT_EQ(device.GetDescriptor(3, d[16], 0, s, sizeof s, &got), 0u);
  std::string utf16;
  for (char c : std::string("VLM12345")) utf16 += {c, '\0'};
  EXPECT_EQ(std::string(s + 2, s + got), utf16);

  Options old;
  old.serial.reset();
  auto oldDevice = std::make_shared<VelmoraDevice>(old, "sim-old");
  ASSERT_EQ(oldDevice->GetDescriptor(1, 0, 0, d, sizeof d, &got), 0u);
  EXPECT_EQ(d[16], 0);
  simtest::Configure(*oldDevice);
  Command(*oldDevice, "device.serial");
  EXPECT_EQ(ReadText(*oldDevice), "device.serial=0");

  Options inUse;
  inUse.inUse = true;
  VelmoraDevice busy(inUse, "sim-busy");
  EXPECT_EQ(busy.SetConfiguration({0, {{0, 0, 4096}}}), usbdrv::kStatusExclusive);
}

TEST(VelmoraCommands, EachCommandIsAnsweredUnderItsNameWithADebugLine) {
  Options options;
  options.serial = std::string("VLM00042");
  options.records = 123;
  auto device = Configured(options);
  Command(*device, "device.serial");
  EXPECT_EQ(Read(*device, ep::kAnswerIn), B(std::string("device.serial=VLM00042") + '\0'));
  const std::vector<std::pair<std::string, std::string>> exchanges = {
      {"mem.used", "mem.used=123"},
      {"device.software", "device.software=V1.09"},
      {"date.date=06.12.2026 14:05:09", "date.date=06.12.2026 14:05:09"},
      {"Debug", "error=Debug"},
      {"mem.load=12", "mem.load=error"},
  };
  for (const auto& [command, answer] : exchanges) {
    Command(*device, command);
    EXPECT_EQ(ReadText(*device), answer);
  }
  EXPECT_EQ(device->Clock(), "06.12.2026 14:05:09");
  EXPECT_EQ(device->QueuedIn(ep::kAnswerIn), 0u);
  const auto debug = Drain(*device, ep::kDebugIn);
  ASSERT_EQ(debug.size(), 6u);
  EXPECT_EQ(debug[1], B(std::string("cmd mem.used") + '\0'));

  // Long texts are cut into full packets; the zero byte rides in the last one when there is room.
  Command(*device, std::string(100, 'q'));
  const auto answer = Drain(*device, ep::kAnswerIn);
  ASSERT_EQ(answer.size(), 2u);
  EXPECT_EQ(answer[0].size(), 64u);
  EXPECT_EQ(std::string(answer[0].begin(), answer[0].end()) + std::string(answer[1].begin(), answer[1].end()),
            "error=" + std::string(100, 'q') + '\0');
  Command(*device, std::string(58, 'z'));  // exactly 64 characters of answer
  EXPECT_EQ(Drain(*device, ep::kAnswerIn), std::vector<Bytes>{B("error=" + std::string(58, 'z'))});
  const auto longDebug = Drain(*device, ep::kDebugIn);
  ASSERT_EQ(longDebug.size(), 2u);
  EXPECT_EQ(longDebug[0].size(), 64u);
  EXPECT_EQ(longDebug[0].back(), 0);
}

TEST(VelmoraCommands, CommandsAreFramedByZeroBytesNotByPackets) {
  auto device = Configured();
  Write(*device, ep::kCommandOut, B("mem."));
  Write(*device, ep::kCommandOut, B("us"));
  EXPECT_EQ(device->QueuedIn(ep::kAnswerIn), 0u);
  Write(*device, ep::kCommandOut, B(std::string("ed") + '\0' + "device.software" + '\0' + "device.se"));
  EXPECT_EQ(ReadText(*device), "mem.used=1000");
  EXPECT_EQ(ReadText(*device), "device.software=V1.09");
  EXPECT_EQ(device->QueuedIn(ep::kAnswerIn), 0u);
  Write(*device, ep::kCommandOut, B(std::string("rial") + '\0' + '\0'));  // a lone zero byte is no command
  EXPECT_EQ(ReadText(*device), "device.serial=VLM12345");
  EXPECT_EQ(device->QueuedIn(ep::kAnswerIn), 0u);
  EXPECT_EQ(device->Commands(), (std::vector<std::string>{"mem.used", "device.software", "device.serial"}));
}

TEST(VelmoraMemory, LoadStreamsTheExactBytesInPacketsOf64) {
  auto device = Configured();
  const auto memory = device->Memory();
  ASSERT_EQ(memory, GenerateImage(1000, 1));
  Command(*device, "mem.load=100,200");
  EXPECT_EQ(ReadText(*device), "mem.load=100,200");
  const auto packets = Drain(*device, ep::kDatIn);
  ASSERT_EQ(packets.size(), 4u);
  EXPECT_EQ(packets[3].size(), 8u);
  Bytes joined;
  for (const auto& p : packets) joined.insert(joined.end(), p.begin(), p.end());
  EXPECT_EQ(joined, Bytes(memory.begin() + 100, memory.begin() + 300));

  Command(*device, "mem.load=524160,128");  // the very top of memory
  EXPECT_EQ(ReadText(*device), "mem.load=524160,128");
  EXPECT_EQ(Drain(*device, ep::kDatIn).back(), Bytes(memory.end() - 64, memory.end()));
  for (const char* bad : {"mem.load=524160,129", "mem.load=0,524289", "mem.load=4294967295,2",
                          "mem.load=x,64", "mem.load=0,", "mem.load=-1,64", "mem.load"}) {
    Command(*device, bad);
    EXPECT_EQ(ReadText(*device), "mem.load=error") << bad;
  }
  EXPECT_EQ(device->QueuedIn(ep::kDatIn), 0u);
  Command(*device, "mem.load=0,524288");
  EXPECT_EQ(ReadText(*device), "mem.load=0,524288");
  EXPECT_EQ(device->QueuedIn(ep::kDatIn), 8192u);
}

TEST(VelmoraMemory, SaveStoresDatOutDataAtItsAddressAndNothingElse) {
  auto device = Configured();
  auto expected = device->Memory();
  Write(*device, ep::kDatOut, Bytes(64, 0xEE));  // no save open
  Bytes data(100);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
  Save(*device, 5000, data);
  Write(*device, ep::kDatOut, Bytes(10, 0xEE));  // beyond the announced length
  Command(*device, "mem.save=524200,89");
  EXPECT_EQ(ReadText(*device), "mem.save=error");
  Write(*device, ep::kDatOut, Bytes(5, 0xEE));
  EXPECT_EQ(device->IgnoredDataBytes(), 79u);
  std::copy(data.begin(), data.end(), expected.begin() + 5000);
  EXPECT_EQ(device->Memory(), expected);

  Command(*device, "mem.load=5000,100");  // a load gives back what was saved
  EXPECT_EQ(ReadText(*device), "mem.load=5000,100");
  auto packets = Drain(*device, ep::kDatIn);
  ASSERT_EQ(packets.size(), 2u);
  packets[0].insert(packets[0].end(), packets[1].begin(), packets[1].end());
  EXPECT_EQ(packets[0], data);
}

TEST(VelmoraMemory, ImageOptionAndDatInFaults) {
  Options options;
  options.image = {1, 2, 3, 4, 5};
  options.used = 77;
  options.unplugAfter = 4;
  options.shortEvery = 2;
  auto device = Configured(options);
  Command(*device, "mem.used");
  EXPECT_EQ(ReadText(*device), "mem.used=77");
  auto expected = options.image;
  expected.resize(524288);
  EXPECT_EQ(device->Memory(), expected);

  Command(*device, "mem.load=0,384");
  EXPECT_EQ(ReadText(*device), "mem.load=0,384");
  EXPECT_EQ(Read(*device, ep::kDatIn), Bytes(expected.begin(), expected.begin() + 64));
  EXPECT_EQ(Read(*device, ep::kDatIn), Bytes(expected.begin() + 64, expected.begin() + 96));  // short
  Read(*device, ep::kDatIn);
  EXPECT_EQ(Read(*device, ep::kDatIn).size(), 32u);
  EXPECT_EQ(Read(*device, ep::kDatIn), B("<refused>"));  // unplugged after the fourth
  EXPECT_FALSE(device->Present());
}

class VelmoraFirmware : public ::testing::Test {
 protected:
  void SetUp() override {
    device = Configured();
    device->SetRestartHandler([this](std::shared_ptr<VelmoraDevice> next) {
      usbdrv::AttachDevice(next);
      std::lock_guard<std::mutex> lock(mutex);
      restarted.push_back(std::move(next));
      cv.notify_all();
    });
  }
  void TearDown() override { usbdrv::DetachAllDevices(); }
  std::string Ask(VelmoraDevice& target, const std::string& command) {
    Command(target, command);
    return ReadText(target);
  }
  std::shared_ptr<VelmoraDevice> WaitRestart(size_t n) {
    std::unique_lock<std::mutex> lock(mutex);
    if (!cv.wait_for(lock, std::chrono::seconds(10), [&] { return restarted.size() >= n; })) return nullptr;
    return restarted[n - 1];
  }

  std::shared_ptr<VelmoraDevice> device;
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::shared_ptr<VelmoraDevice>> restarted;
  const Bytes image = MakeFirmwareImage("V1.10", 9);
};

TEST_F(VelmoraFirmware, CheckAcceptsOnlyAWholeIntactImageInPlace) {
  EXPECT_EQ(Ask(*device, "firmware.check"), "firmware.check=0");  // nothing there yet
  Save(*device, kFirmwareAddress, Bytes(image.begin(), image.begin() + 30000));
  EXPECT_EQ(Ask(*device, "firmware.check"), "firmware.check=0");
  EXPECT_EQ(Ask(*device, "firmware.update"), "firmware.update=0");
  EXPECT_EQ(Ask(*device, "device.software"), "device.software=V1.09");
  Save(*device, kFirmwareAddress, image);
  EXPECT_EQ(Ask(*device, "firmware.check"), "firmware.check=1");
  Save(*device, kFirmwareAddress + 40000, {static_cast<uint8_t>(image[40000] ^ 0x10)});
  EXPECT_EQ(Ask(*device, "firmware.check"), "firmware.check=0");
  Save(*device, kFirmwareAddress - 1, image);  // one byte too low
  EXPECT_EQ(Ask(*device, "firmware.check"), "firmware.check=0");
  EXPECT_TRUE(device->Present());
}

TEST_F(VelmoraFirmware, UpdateAnswersThenRestartsWithTheNewVersionAndSameState) {
  Save(*device, kFirmwareAddress, image);
  EXPECT_EQ(Ask(*device, "date.date=01.02.2026 03:04:05"), "date.date=01.02.2026 03:04:05");
  const auto memory = device->Memory();
  simtest::TestTransfer waiting(ep::kDatIn, {});
  ASSERT_EQ(device->Submit(&waiting), 0u);
  EXPECT_EQ(Ask(*device, "firmware.update"), "firmware.update=1");  // delivered before it drops off
  ASSERT_TRUE(waiting.Wait()) << "pending read not ended by the restart";
  EXPECT_EQ(waiting.status, usbdrv::kStatusDeviceRemoved);

  const auto next = WaitRestart(1);
  ASSERT_TRUE(next) << "restart handler never called";
  EXPECT_FALSE(device->Present());
  EXPECT_NE(next, device);
  EXPECT_EQ(next->InstanceId(), "sim-test");
  EXPECT_EQ(next->Serial(), device->Serial());
  EXPECT_EQ(next->Memory(), memory);
  EXPECT_EQ(next->RecordCount(), 1000u);
  EXPECT_EQ(next->Clock(), "01.02.2026 03:04:05");
  const auto listed = usbdrv::ListDevices();
  EXPECT_EQ(std::count(listed.begin(), listed.end(), next), 1);
  EXPECT_EQ(std::count(listed.begin(), listed.end(), device), 0);

  // The logger that came back runs the new firmware and restarts again on the next update.
  simtest::Configure(*next);
  EXPECT_EQ(Ask(*next, "device.software"), "device.software=V1.10");
  EXPECT_EQ(Ask(*next, "firmware.update"), "firmware.update=1");
  const auto again = WaitRestart(2);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->Software(), "V1.10");
}

// The handler may drop the last reference to the old device on the old device's own helper thread.
TEST(VelmoraRestart, HandlerMayReleaseTheOldDevice) {
  auto device = Configured();
  auto holder = std::make_shared<std::shared_ptr<VelmoraDevice>>(device);
  std::promise<std::shared_ptr<VelmoraDevice>> next;
  device->SetRestartHandler([holder, &next](std::shared_ptr<VelmoraDevice> restarted) {
    holder->reset();
    if (restarted->Software() == "V3.00") next.set_value(restarted);
  });
  Save(*device, kFirmwareAddress, MakeFirmwareImage("V3.00", 1));
  Command(*device, "firmware.update");
  EXPECT_EQ(ReadText(*device), "firmware.update=1");
  std::weak_ptr<VelmoraDevice> old = device;
  device.reset();
  auto result = next.get_future();
  ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(result.get()->Memory().size(), kMemorySize);
  EXPECT_TRUE(old.expired());
}

}  // namespace
}  // namespace velmora
