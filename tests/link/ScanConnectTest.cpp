// Finding loggers, connecting to one and tearing the link down.
#include <gtest/gtest.h>

#include "common/LinkFixture.h"
#include "common/LoggerEndpoints.h"
#include "data/Text.h"
#include "link/LinkAccess.h"
#include "link/MyDatReader.h"
#include "link/MyDbgReader.h"
#include "link/MyReader.h"

using Lines = std::vector<std::string>;

namespace {
const Lines kLoggerLines = {"Device 0:  VendorID:0x11E3  ProductID:0x0005", "SerialNumber:", "VLM12345"};
const char kNoDevices[] = "There are no USB devices attached to the USB driver.";
}  // namespace

using ScanTest = LinkFixture;

TEST_F(ScanTest, NoDeviceAttached) {
  EXPECT_TRUE(usb->scanDevices().empty());
  EXPECT_EQ(window.log(), (Lines{"Scanning for attached USB devices...", kNoDevices}));
}

TEST_F(ScanTest, OneLoggerIsListedByTheNumberInItsSerialString) {
  attachLogger();
  EXPECT_EQ(usb->scanDevices(), (std::vector<int32_t>{12345}));
  Lines expected{"Scanning for attached USB devices..."};
  expected.insert(expected.end(), kLoggerLines.begin(), kLoggerLines.end());
  expected.push_back("Check if device is already connected");
  EXPECT_EQ(window.log(), expected);
  EXPECT_TRUE(window.messageBoxes().empty());
}

TEST_F(ScanTest, LoggerInUseIsNotListed) {
  velmora::Options options;
  options.inUse = true;
  attachLogger(options);
  EXPECT_TRUE(usb->scanDevices().empty());
  auto log = window.log();
  EXPECT_EQ(log.back(), "Device is already connected");
  EXPECT_EQ(window.count(kNoDevices), 0u);
}

TEST_F(ScanTest, OldLoggerWithoutStringCountsAsZero) {
  velmora::Options options;
  options.serial.reset();
  attachLogger(options);
  EXPECT_EQ(usb->scanDevices(), (std::vector<int32_t>{0}));
  EXPECT_EQ(logFrom("SerialNumber:"), (Lines{"SerialNumber:", "->not available", "->old device"}));
}

TEST_F(ScanTest, ShortStringReplyIsNoString) {
  auto dev = attachLogger();
  dev->SetRawDescriptor(3, 3, {ep::kCommandOut});  // one byte: not even the header
  EXPECT_EQ(usb->scanDevices(), (std::vector<int32_t>{0}));
  EXPECT_EQ(logFrom("SerialNumber:"), (Lines{"SerialNumber:", "->not available", "->old device"}));
  EXPECT_EQ(window.count("Query Serial Number String Descriptor failed"), 0u);
}

TEST_F(ScanTest, OtherDevicesAreLoggedButNotListed) {
  const std::string serial = "ABC99";
  attachOther(0x1234, 0x5678, &serial, {ep::kDatIn});
  EXPECT_TRUE(usb->scanDevices().empty());
  EXPECT_EQ(window.log(), (Lines{"Scanning for attached USB devices...",
                                 "Device 0:  VendorID:0x1234  ProductID:0x5678", "SerialNumber:", "ABC99"}));
}

TEST_F(ScanTest, DescriptorFailureSkipsOnlyThatDevice) {
  const std::string serial = "VLM777";
  auto broken = attachOther(logger::kVendorId, logger::kProductId, &serial);
  broken->FailDescriptors(0xE0000005);
  attachLogger();
  EXPECT_EQ(usb->scanDevices(), (std::vector<int32_t>{12345}));
  EXPECT_EQ(window.count("Query Device Descriptor failed, status:0xE0000005"), 1u);
  EXPECT_EQ(window.messageBoxes(), (Lines{"USB Problems: Please reset your Velmora and USB-HUB (if used)!"}));
  EXPECT_EQ(window.count("Device 1:  VendorID:0x11E3  ProductID:0x0005"), 1u);
}

TEST_F(ScanTest, SerialStringsAndConsoleNumbers) {
  EXPECT_EQ(serialNumberFromString("VLM12345"), 12345);
  EXPECT_EQ(serialNumberFromString("VLM"), 0);
  EXPECT_EQ(serialNumberFromString("AB"), 0);
  EXPECT_EQ(serialNumberFromString("VLMabc"), 0);
  EXPECT_EQ(serialNumberFromString("VLM  -42"), -42);
  EXPECT_EQ(serialNumberFromString("VLM$1F"), 31);
  EXPECT_EQ(serialNumberFromString("VLM0x10"), 16);
  EXPECT_EQ(serialNumberFromString("VLM2147483648"), 0);  // out of range
  EXPECT_EQ(strToIntDef0("4096"), 4096);
  EXPECT_EQ(strToIntDef0("4096 "), 0);
  EXPECT_EQ(strToIntDef0(""), 0);
  EXPECT_EQ(leadingInt(" -12abc"), -12);
  EXPECT_EQ(leadingInt("x12"), 0);
  EXPECT_EQ(leadingInt("99999999999"), 2147483647);
}

TEST_F(ScanTest, RepeatedScansReplaceTheDeviceList) {
  attachLogger();
  for (int i = 0; i < 20; ++i) ASSERT_EQ(usb->scanDevices().size(), 1u);
  EXPECT_EQ(usbdrv::OpenDeviceInfoLists(), 1);  // each scan released the list of the one before
  attachLogger({}, "second");
  EXPECT_EQ(usb->scanDevices().size(), 2u);
}

// A serial number is the logger's text: its line breaks and escape sequences never reach the log raw.
TEST_F(ScanTest, SerialTextIsLoggedAsOneLine) {
  const std::string serial = "VLM7\r\nDownload finished\x1B[2J\x7F";
  attachOther(logger::kVendorId, logger::kProductId, &serial, {0x85, 0x81, 0x83, 0x04, 0x02});
  const std::string shown = "VLM7\\x0D\\x0ADownload finished\\x1B[2J\\x7F";
  EXPECT_EQ(usb->scanDevices(), (std::vector<int32_t>{0}));
  EXPECT_EQ(window.count(shown), 1u);
  ASSERT_TRUE(usb->connect(0));
  EXPECT_EQ(window.count(shown), 2u);
  for (const auto& line : window.log())
    EXPECT_EQ(line.find_first_of("\r\n\x1B\x7F"), std::string::npos) << line;
}

using ConnectTest = LinkFixture;

TEST_F(ConnectTest, NormalConnectStartsThreeReaders) {
  attachLogger();
  usb->scanDevices();
  window.clear();
  ASSERT_TRUE(usb->connect(12345));
  Lines expected = kLoggerLines;
  expected.push_back("Configuring the device...");
  expected.push_back("Device connected");
  EXPECT_EQ(window.log(), expected);
  EXPECT_TRUE(usb->isConnected());
  EXPECT_TRUE(LinkAccess(*usb).inReader()->IsWorkerRunning());
  EXPECT_TRUE(LinkAccess(*usb).datInReader()->IsWorkerRunning());
  EXPECT_TRUE(LinkAccess(*usb).debugInReader()->IsWorkerRunning());
  EXPECT_FALSE(LinkAccess(*usb).outWriter()->IsWorkerRunning());  // writers are only written synchronously
}

TEST_F(ConnectTest, UnbindableInPipeFailsAndDisconnectCleansUp) {
  const std::string serial = "VLM12345";
  attachOther(logger::kVendorId, logger::kProductId, &serial,
              {ep::kDatIn, ep::kDebugIn, ep::kCommandOut, ep::kDatOut});
  usb->scanDevices();
  EXPECT_FALSE(usb->connect(12345));
  EXPECT_EQ(window.log().back(), "Can not bind IN pipe");
  EXPECT_FALSE(LinkAccess(*usb).inReader()->IsWorkerRunning());
  usb->disconnect();
  EXPECT_EQ(window.log().back(), "Device disconnected!");
  EXPECT_FALSE(usb->isConnected());
}

TEST_F(ConnectTest, DisconnectWithoutLinkAndTwice) {
  usb->disconnect();
  usb->disconnect();
  EXPECT_EQ(window.log(), (Lines{"Device disconnected!", "Device disconnected!"}));
  EXPECT_FALSE(usb->isConnected());
  attachLogger();
  connectOne();
  usb->disconnect();
  usb->disconnect();
  EXPECT_FALSE(usb->isConnected());
  EXPECT_GE(window.count("Device disconnected!"), 4u);
}

TEST_F(ConnectTest, UnplugEndsEveryReaderAndTheLink) {
  auto dev = attachLogger();
  connectOne();
  window.clear();
  dev->Unplug();
  ASSERT_TRUE(window.waitForLine("Worker thread exits", 3)) << ::testing::PrintToString(window.log());
  ASSERT_TRUE(window.waitForLine("Device disconnected!", 3));
  EXPECT_FALSE(usb->isConnected());
  // Each reader saw exactly its four counted failures before it gave up.
  // (the first failures say the device is removed; once another reader's exit has unbound the pipes
  // the resubmitted reads fail for that reason instead)
  auto startingWith = [&](const std::string& prefix) {
    size_t n = 0;
    for (const auto& line : window.log()) n += line.rfind(prefix, 0) == 0;
    return n;
  };
  EXPECT_GE(window.count("Error ProcessData: Error code 0xE000100A: Device is removed."), 1u);
  EXPECT_EQ(startingWith("Error ProcessData: "), 4u);
  EXPECT_EQ(startingWith("Error ProcessData DbgInPipe: "), 4u);
  EXPECT_EQ(window.count("received unexpected binary data"), 4u);
}

TEST_F(ConnectTest, ReconnectMakesFreshObjects) {
  attachLogger();
  connectOne();
  std::shared_ptr<CMyReader> oldReader = LinkAccess(*usb).inReader();
  std::shared_ptr<CMyWriter> oldWriter = LinkAccess(*usb).outWriter();
  usb->disconnect();
  ASSERT_TRUE(window.waitForLine("Worker thread exits", 3));
  ASSERT_TRUE(usb->connect(12345));
  EXPECT_NE(LinkAccess(*usb).inReader(), oldReader);
  EXPECT_NE(LinkAccess(*usb).outWriter(), oldWriter);
  EXPECT_TRUE(usb->sendCommand("device.serial"));
  EXPECT_TRUE(window.waitForLine("device.serial=VLM12345"));
}

TEST_F(ConnectTest, OldLoggerBeforeTheAskedForOneWins) {
  velmora::Options old;
  old.serial.reset();
  auto oldDev = attachLogger(old);
  auto wanted = attachLogger();
  EXPECT_EQ(usb->scanDevices(), (std::vector<int32_t>{0, 12345}));
  window.clear();
  ASSERT_TRUE(usb->connect(12345));
  EXPECT_EQ(window.count("-> connect old device"), 1u);
  EXPECT_EQ(window.count("not available"), 1u);
  usb->sendCommand("device.serial");
  ASSERT_TRUE(window.waitForLine("device.serial=0"));
  EXPECT_EQ(oldDev->Commands(), (Lines{"device.serial"}));
  EXPECT_TRUE(wanted->Commands().empty());
}

TEST_F(ConnectTest, SerialNotAttachedConnectsNothing) {
  attachLogger();
  usb->scanDevices();
  window.clear();
  EXPECT_FALSE(usb->connect(-1));
  EXPECT_EQ(window.log(), kLoggerLines);
  EXPECT_FALSE(usb->isConnected());
}
