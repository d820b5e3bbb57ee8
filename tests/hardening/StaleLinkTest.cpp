// A reader of a link that has ended must not act on the link that replaced it.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/LinkFixture.h"
#include "link/Firmware.h"
#include "platform/usbdrv/InProcessSource.h"
#include "sim/model/Firmware.h"

namespace {

class StaleLink : public LinkFixture {
 protected:
  void TearDown() override {
    firmware::setCheckPauseMs(firmware::kCheckPauseMs);
    LinkFixture::TearDown();
  }
};

bool received(const velmora::VelmoraDevice& device, const std::string& command) {
  const auto commands = device.Commands();
  return std::find(commands.begin(), commands.end(), command) != commands.end();
}

}  // namespace

// The logger goes away in the middle of the firmware image, and another one is connected while the
// answer reader of the old link still waits out its pause before the check. The check belongs to the
// old link: it must not reach the new logger, whose answer would start an update nobody asked for.
TEST_F(StaleLink, InterruptedFirmwareUpdateSendsNothingToTheNextLogger) {
  firmware::setCheckPauseMs(2500);  // time enough to connect the second logger
  velmora::Options first;
  first.software = "V1.09";
  first.unplugAfterDatOut = 100;
  auto old = attachLogger(first);
  connectOne();
  usb->sendCommand("device.software");
  ASSERT_TRUE(window.waitForLine("sendData WriteSync failed!"));
  ASSERT_TRUE(window.waitUntil([&] { return !usb->isConnected(); }));

  // The next logger holds an intact image in its firmware region: it would accept a check.
  velmora::Options second;
  second.image.assign(velmora::kMemorySize, 0);
  const auto image = velmora::MakeFirmwareImage("V1.10", 5);
  std::copy(image.begin(), image.end(), second.image.begin() + velmora::kFirmwareAddress);
  second.used = 0;
  usbdrv::DetachDevice(old);
  auto next = attachLogger(second);
  connectOne();

  // The old reader ends after its pause; then the new link stays quiet.
  ASSERT_TRUE(window.waitForLine("Worker thread exits", 3));
  usb->sendCommand("device.serial");
  ASSERT_TRUE(window.waitForLine("device.serial=VLM12345"));
  // The second logger was connected before the old reader sent its check: the case in question.
  const auto log = window.log();
  const auto connected =
      std::find(std::find(log.begin(), log.end(), "Device connected") + 1, log.end(), "Device connected");
  ASSERT_LT(connected - log.begin(), std::find(log.begin(), log.end(), " <<< firmware.check") - log.begin());
  EXPECT_FALSE(received(*next, "firmware.check"));
  EXPECT_FALSE(received(*next, "firmware.update"));
  EXPECT_EQ(window.count("Start firmware update"), 0u);
}

// The reader of an ended link wakes from its pause before the check after the next link's update has
// loaded its image. It used to release the one image of the link object, so the new update's
// "mem.save" answer found none and failed.
TEST_F(StaleLink, EndedLinksReaderLeavesTheNextUpdatesImage) {
  firmware::setCheckPauseMs(1500);
  velmora::Options first;
  first.software = "V1.09";
  first.unplugAfterDatOut = 100;
  auto old = attachLogger(first);
  connectOne();
  usb->sendCommand("device.software");
  ASSERT_TRUE(window.waitForLine("sendData WriteSync failed!"));
  ASSERT_TRUE(window.waitUntil([&] { return !usb->isConnected(); }));
  usbdrv::DetachDevice(old);

  const std::string serial = "VLM12345";
  auto next = attachOther(logger::kVendorId, logger::kProductId, &serial, {0x85, 0x81, 0x83, 0x04, 0x02});
  connectOne();
  const auto answer = [&](const std::string& text) {
    std::vector<uint8_t> packet(text.begin(), text.end());
    packet.push_back(0);
    next->QueueIn(0x85, packet);
  };
  answer("device.software=V1.09");
  ASSERT_TRUE(window.waitForLine(" <<< mem.save=463104,61184", 2));
  // The old reader sends its check into its ended link and ends.
  ASSERT_TRUE(window.waitForLine(" <<< firmware.check", 1));
  ASSERT_TRUE(window.waitForLine("Worker thread exits", 3));
  answer("mem.save=463104,61184");
  ASSERT_TRUE(window.waitForLine(" <<< firmware.check", 2));
  EXPECT_TRUE(window.messageBoxes().empty());
  EXPECT_EQ(next->TakeOut(0x02).size(), 956u);
}
