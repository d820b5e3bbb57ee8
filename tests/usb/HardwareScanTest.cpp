// Finding real loggers through libusb: which devices, in what order, in use by another program, and
// plugged in or pulled out while the program runs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HardwareFixture.h"
#include "common/LoggerEndpoints.h"
#include "platform/usbdrv/DeviceSource.h"
#include "usbdev/PacketDevice.h"

using Lines = std::vector<std::string>;
using HardwareScanTest = HardwareFixture;

namespace {

velmora::Options WithSerial(const std::string& serial) {
  velmora::Options options;
  options.serial = serial;
  return options;
}

}  // namespace

TEST_F(HardwareScanTest, LoggersAreListedByPortWithTheirSerialsAndOtherDevicesLeftOut) {
  plugLogger(3, WithSerial("VLM333"));
  const std::string otherSerial = "XYZ1";
  bus->Plug(2, std::make_shared<usbdrv::PacketDevice>("other", 0x1234, 0x5678, &otherSerial,
                                                      std::vector<uint8_t>{ep::kDatIn}));
  plugLogger(1, WithSerial("VLM111"));
  enable();

  const auto devices = usbdrv::ListDevices();
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0]->InstanceId(), "usb-1-1");
  EXPECT_EQ(devices[1]->InstanceId(), "usb-1-3");

  EXPECT_EQ(usb->scanDevices(), (std::vector<int32_t>{111, 333}));
  ASSERT_EQ(usb->lastScan().size(), 2u);
  EXPECT_EQ(usb->lastScan()[0].device, "USB");  // what the history records of its downloads
  EXPECT_EQ(window.log(),
            (Lines{"Scanning for attached USB devices...", "Device 0:  VendorID:0x11E3  ProductID:0x0005",
                   "SerialNumber:", "VLM111", "Check if device is already connected",
                   "Device 1:  VendorID:0x11E3  ProductID:0x0005", "SerialNumber:", "VLM333",
                   "Check if device is already connected"}));
  EXPECT_TRUE(window.messageBoxes().empty());
}

TEST_F(HardwareScanTest, LoggerClaimedByAnotherProgramIsAlreadyConnected) {
  velmora::Options options;
  options.inUse = true;
  plugLogger(1, options);
  enable();
  EXPECT_TRUE(usb->scanDevices().empty());
  EXPECT_EQ(window.log().back(), "Device is already connected");
  EXPECT_TRUE(window.messageBoxes().empty());
}

TEST_F(HardwareScanTest, EveryHandleOfTheProcessSharesOneOpenDevice) {
  plugLogger(1);
  enable();
  connectOne();
  // The device handle and five pipe handles of the link, and the scan's handle before them.
  EXPECT_EQ(bus->At(1)->ClientsOpened(), 1);
  ASSERT_EQ(usb->scanDevices().size(), 1u);  // our own claim does not make it "already connected"
  ASSERT_TRUE(usb->sendCommand("device.serial"));
  EXPECT_TRUE(window.waitForLine("device.serial=VLM12345"));
  EXPECT_EQ(bus->At(1)->ClientsOpened(), 1);
}

// The scan configures each logger to see whether it is in use, and leaves the configuration as it is;
// the interface it claimed for that goes back when its handle closes, so that other programs can use
// the logger.
TEST_F(HardwareScanTest, AScanLeavesNoLoggerClaimedAndAnOpenLinkKeepsItsClaim) {
  plugLogger(1);
  plugLogger(2, WithSerial("VLM222"));
  enable();
  ASSERT_EQ(usb->scanDevices(), (std::vector<int32_t>{12345, 222}));
  EXPECT_FALSE(bus->At(1)->Claimed());
  EXPECT_FALSE(bus->At(2)->Claimed());

  ASSERT_TRUE(usb->connect(12345));
  EXPECT_TRUE(bus->At(1)->Claimed());
  EXPECT_FALSE(bus->At(2)->Claimed());
  // A scan while the link is open: its own handle closing leaves the link's claim alone.
  ASSERT_EQ(usb->scanDevices().size(), 2u);
  EXPECT_TRUE(bus->At(1)->Claimed());
  ASSERT_TRUE(usb->sendCommand("device.serial"));
  EXPECT_TRUE(window.waitForLine("device.serial=VLM12345"));

  usb->disconnect();
  EXPECT_TRUE(waitFor([&] { return !bus->At(1)->Claimed(); }));
}

TEST_F(HardwareScanTest, LoggerPluggedInLaterIsFoundAndOnePulledOutLeavesTheList) {
  enable();
  EXPECT_TRUE(usb->scanDevices().empty());
  EXPECT_EQ(window.count("There are no USB devices attached to the USB driver."), 1u);

  plugLogger(2);
  ASSERT_TRUE(waitForDevices(1));
  EXPECT_EQ(usb->scanDevices(), (std::vector<int32_t>{12345}));

  bus->Unplug(2);
  ASSERT_TRUE(waitForDevices(0));
  EXPECT_TRUE(usb->scanDevices().empty());

  // Back in, on another port: a new attachment, found again.
  plugLogger(4, WithSerial("VLM54321"));
  ASSERT_TRUE(waitForDevices(1));
  EXPECT_EQ(usbdrv::ListDevices()[0]->InstanceId(), "usb-1-4");
  EXPECT_EQ(usb->scanDevices(), (std::vector<int32_t>{54321}));
}
