// The hostile switches of the virtual logger, driven through the USB device contract, and the link
// against the identities a hostile logger gives itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "common/LinkFixture.h"
#include "common/LoggerEndpoints.h"
#include "platform/usbdrv/InProcessSource.h"
#include "sim/SimHarness.h"
#include "sim/model/Velmora.h"

using simtest::Command;
using simtest::Read;
using Bytes = std::vector<uint8_t>;
using velmora::Options;
using velmora::VelmoraDevice;

namespace {

std::shared_ptr<VelmoraDevice> configured(const Options& options) {
  auto device = std::make_shared<VelmoraDevice>(options, "hostile-test");
  simtest::Configure(*device);
  return device;
}

std::vector<Bytes> drain(VelmoraDevice& device, uint8_t endpoint) {
  std::vector<Bytes> packets;
  while (device.QueuedIn(endpoint) > 0) packets.push_back(Read(device, endpoint));
  return packets;
}

std::string text(const Bytes& packet) {
  const std::string s(packet.begin(), packet.end());
  return s.substr(0, s.find('\0'));
}

// The answers a logger gives to the same commands.
std::vector<Bytes> answersOf(const Options& options) {
  auto device = configured(options);
  std::vector<Bytes> answers;
  for (int i = 0; i < 60; ++i) {
    Command(*device, i % 3 == 0 ? "mem.used" : i % 3 == 1 ? "device.software" : "device.serial");
    for (auto& p : drain(*device, ep::kAnswerIn)) answers.push_back(p);
  }
  return answers;
}

}  // namespace

TEST(HostileLogger, RandomAnswersFollowTheSeedAndTakeEveryShape) {
  Options options;
  options.hostile.randomAnswers = true;
  options.hostile.seed = 42;
  const auto answers = answersOf(options);
  EXPECT_EQ(answersOf(options), answers);  // the same seed repeats the run
  options.hostile.seed = 43;
  EXPECT_NE(answersOf(options), answers);

  std::set<size_t> lengths;
  bool withoutZero = false, empty = false, changed = false;
  for (const auto& a : answers) {
    ASSERT_LE(a.size(), 64u);
    lengths.insert(a.size());
    withoutZero |= std::find(a.begin(), a.end(), 0) == a.end();
    empty |= a.empty();
    const std::string t = text(a);
    changed |= t != "mem.used=1000" && t != "device.software=V1.09" && t != "device.serial=VLM12345";
  }
  EXPECT_GT(lengths.size(), 10u);
  EXPECT_TRUE(withoutZero);
  EXPECT_TRUE(changed);
  (void)empty;  // an empty one is possible but not certain in 60 answers
}

TEST(HostileLogger, SilentLoggerCarriesOutButNeverAnswers) {
  Options options;
  options.hostile.silent = true;
  auto device = configured(options);
  Command(*device, "mem.used");
  Command(*device, "mem.load=0,256");
  EXPECT_EQ(device->QueuedIn(ep::kAnswerIn), 0u);
  EXPECT_EQ(device->QueuedIn(ep::kDatIn), 4u);  // the memory still comes
  EXPECT_EQ(device->FaultEvents(), 2u);
}

TEST(HostileLogger, MemUsedReportsAnyCount) {
  for (int64_t count : {int64_t{-5}, int64_t{0}, int64_t{-2147483648LL}, int64_t{99999999999LL}}) {
    Options options;
    options.hostile.memUsed = count;
    auto device = configured(options);
    Command(*device, "mem.used");
    EXPECT_EQ(simtest::ReadText(*device), "mem.used=" + std::to_string(count));
  }
}

TEST(HostileLogger, ExtraAndShortMemoryPackets) {
  Options extra;
  extra.hostile.extraDatIn = 7;
  auto device = configured(extra);
  Command(*device, "mem.load=0,256");
  auto packets = drain(*device, ep::kDatIn);
  ASSERT_EQ(packets.size(), 4u + 7u);
  const auto memory = device->Memory();
  EXPECT_EQ(packets[0], Bytes(memory.begin(), memory.begin() + 64));
  for (const auto& p : packets) EXPECT_EQ(p.size(), 64u);

  Options shortOnes;
  shortOnes.hostile.shortPackets = true;
  device = configured(shortOnes);
  Command(*device, "mem.load=0,65536");
  packets = drain(*device, ep::kDatIn);
  ASSERT_EQ(packets.size(), 1024u);  // as many packets as asked for, some of them short
  size_t shortCount = 0, emptyCount = 0;
  for (size_t i = 0; i < packets.size(); ++i) {
    shortCount += packets[i].size() < 64;
    emptyCount += packets[i].empty();
    // A short packet is the beginning of its block.
    EXPECT_TRUE(std::equal(packets[i].begin(), packets[i].end(), device->Memory().begin() + 64 * i));
  }
  EXPECT_GT(shortCount, 100u);
  EXPECT_LT(shortCount, 500u);
  EXPECT_GT(emptyCount, 0u);
}

TEST(HostileLogger, OddDescriptors) {
  Options options;
  options.hostile.oddDescriptors = true;
  VelmoraDevice device(options, "odd");
  uint8_t buffer[300] = {};
  uint32_t got = 0;
  ASSERT_EQ(device.GetDescriptor(1, 0, 0, buffer, 18, &got), 0u);
  EXPECT_EQ(got, 17u);
  EXPECT_EQ(buffer[0], 17);
  EXPECT_EQ(buffer[8] | buffer[9] << 8, velmora::kVendorId);  // what identifies it is still there
  ASSERT_EQ(device.GetDescriptor(3, buffer[16], 0x0409, buffer, sizeof buffer, &got), 0u);
  EXPECT_EQ(got, 2u + 2u * 8u + 1u);
  EXPECT_EQ(buffer[0], got);
}

TEST(HostileLogger, DebugFloodRunsWhileConfiguredAndEndsWithTheUnplug) {
  Options options;
  options.hostile.debugLinesPerSecond = 5000;
  auto device = std::make_shared<VelmoraDevice>(options, "flood");
  EXPECT_EQ(device->FaultEvents(), 0u);  // nothing before a host configures it
  simtest::Configure(*device);
  std::vector<Bytes> lines;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (lines.size() < 300 && std::chrono::steady_clock::now() < end) {
    if (device->QueuedIn(ep::kDebugIn) > 0)
      lines.push_back(Read(*device, ep::kDebugIn));
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(lines.size(), 300u);
  long previous = -1;
  for (const Bytes& line : lines) {
    ASSERT_LE(line.size(), 64u);
    EXPECT_EQ(line.back(), 0);
    // Numbered in order; a line the flood had to drop leaves a gap.
    ASSERT_EQ(text(line).rfind("flood ", 0), 0u) << text(line);
    const long number = std::strtol(text(line).c_str() + 6, nullptr, 10);
    EXPECT_GT(number, previous);
    previous = number;
  }
  // The flood ends with the unplug: one line under way when it came may still be counted, however
  // long the flood's thread takes to get to it; a flood that went on would add hundreds meanwhile.
  device->Unplug();
  const uint64_t after = device->FaultEvents();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_LE(device->FaultEvents(), after + 1);
}

TEST(HostileLogger, OutStallsAfterCommandsAndUnplugAfterDataPackets) {
  Options options;
  options.stallOutAfter = 2;
  auto device = configured(options);
  Command(*device, "device.serial");
  Command(*device, "device.serial");
  simtest::TestTransfer stuck(ep::kCommandOut, {'x', 0});
  ASSERT_EQ(device->Submit(&stuck), 0u);
  EXPECT_EQ(stuck.completions, 0);  // the third command waits on the stalled pipe
  device->Stall(ep::kCommandOut, false);
  ASSERT_TRUE(stuck.Wait());
  EXPECT_EQ(device->Commands().size(), 3u);

  Options unplug;
  unplug.unplugAfterDatOut = 3;
  device = configured(unplug);
  for (int i = 0; i < 3; ++i) simtest::Write(*device, ep::kDatOut, Bytes(64, 1));
  EXPECT_FALSE(device->Present());
}

TEST(HostileLogger, FirmwareRestartDropsTheHostileSwitches) {
  Options options;
  options.hostile.memUsed = -1;
  options.stallOutAfter = 100;
  std::shared_ptr<VelmoraDevice> back;
  std::mutex mutex;
  auto device = configured(options);
  device->SetRestartHandler([&](std::shared_ptr<VelmoraDevice> d) {
    std::lock_guard<std::mutex> lock(mutex);
    back = std::move(d);
  });
  std::vector<uint8_t> firmware = velmora::MakeFirmwareImage("V2.00", 3);
  Command(*device, "mem.save=463104,61184");
  drain(*device, ep::kAnswerIn);
  for (size_t pos = 0; pos < firmware.size(); pos += 64)
    simtest::Write(*device, ep::kDatOut, Bytes(firmware.begin() + pos, firmware.begin() + pos + 64));
  Command(*device, "firmware.update");
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (back) break;
    }
    drain(*device, ep::kAnswerIn);
    ASSERT_LT(std::chrono::steady_clock::now(), end) << "the logger never came back";
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  simtest::Configure(*back);
  Command(*back, "mem.used");
  EXPECT_EQ(simtest::ReadText(*back), "mem.used=1000");
}

// The link against the identities a hostile logger gives itself: odd descriptor lengths, and serial
// strings of 0, 1, 3 and 126 characters (none of which makes a number; they connect as serial 0).
class HostileIdentity : public LinkFixture {};

TEST_F(HostileIdentity, OddDescriptorsAndSerialLengthsStillConnect) {
  struct Case {
    std::string serial;
    bool odd;
    int32_t number;
  } cases[] = {{"", false, 0},
               {"V", false, 0},
               {"VLM", true, 0},
               {"VLM" + std::string(123, '9'), false, 0},
               {"VLM12345", true, 12345}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.serial.size()) + " characters" + (c.odd ? ", odd descriptors" : ""));
    Options options;
    options.serial = c.serial;
    options.hostile.oddDescriptors = c.odd;
    auto dev = attachLogger(options);
    auto serials = usb->scanDevices();
    ASSERT_EQ(serials, std::vector<int32_t>{c.number});
    ASSERT_TRUE(usb->connect(serials[0]));
    usb->sendCommand("device.serial");
    // A long answer comes in packets of 64 bytes, each of them an answer of its own.
    EXPECT_TRUE(window.waitForLine(("device.serial=" + c.serial).substr(0, 64)));
    usb->disconnect();
    usbdrv::DetachDevice(dev);
  }
}
