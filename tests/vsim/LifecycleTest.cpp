// A sim's life as the program sees it: killed mid-transfer, unplugged after N packets, stopped with
// its memory written out, and restarted by a firmware update.
#include "VsimHarness.h"
#include "platform/usbdrv/DeviceSource.h"
#include "sim/model/Firmware.h"

namespace {

using vsimtest::Logger;
using vsimtest::ReadStream;
using vsimtest::Sim;

class VsimLifecycleTest : public vsimtest::VsimTest {};

TEST_F(VsimLifecycleTest, KillingTheSimMidTransferFailsEveryPendingRead) {
  Sim sim;
  // Paced, so that 8192 packets are still streaming when the sim dies.
  ASSERT_TRUE(sim.Start(dir.Path(), {"--records", "16384", "--pace", "full-speed"}));
  Logger logger;
  ASSERT_EQ(logger.Open(0), 0u);
  ReadStream stream(logger.data, 5);
  ASSERT_EQ(logger.Command("mem.load=0,524288"), 0u);
  for (int i = 0; i < 50; ++i) ASSERT_EQ(stream.Next().status, 0u) << "packet " << i;

  sim.Signal(SIGKILL);
  ASSERT_NE(sim.WaitExit(), -1);
  // Packets already on their way may still arrive; from the first failure on, nothing succeeds.
  int delivered = 50;
  vsimtest::ReadStream::Result r = stream.Next();
  while (r.status == 0 && delivered < 8192) {
    ++delivered;
    r = stream.Next();
  }
  EXPECT_LT(delivered, 8192);
  EXPECT_EQ(r.status, usbdrv::kStatusDeviceRemoved);
  while (stream.InFlight() > 0) EXPECT_EQ(stream.Next(false).status, usbdrv::kStatusDeviceRemoved);
  EXPECT_EQ(logger.Command("device.serial"), usbdrv::kStatusDeviceRemoved);
  uint8_t descriptor[18];
  EXPECT_EQ(logger.control.ReadDeviceDescriptor(descriptor), usbdrv::kStatusDeviceRemoved);

  // Gone from the next list, and its left-over socket with it.
  EXPECT_TRUE(usbdrv::ListDevices().empty());
  EXPECT_FALSE(vsimtest::Exists(sim.Socket()));
  CUsbDevice again;
  EXPECT_NE(again.OpenDevice(0, nullptr, &g_UsbDrvInterfaceGuid, true), 0u);
}

TEST_F(VsimLifecycleTest, UnplugAfterNPacketsDropsOffTheBusUntilStopped) {
  Sim sim;
  ASSERT_TRUE(sim.Start(dir.Path(), {"--unplug-after", "10"}));
  Logger logger;
  ASSERT_EQ(logger.Open(0), 0u);
  ReadStream stream(logger.data, 5);
  ASSERT_EQ(logger.Command("mem.load=0,4096"), 0u);
  for (int i = 0; i < 10; ++i) ASSERT_EQ(stream.Next().status, 0u) << "packet " << i;
  while (stream.InFlight() > 0) EXPECT_EQ(stream.Next(false).status, usbdrv::kStatusDeviceRemoved);

  // The sim took its socket away itself and keeps running.
  ASSERT_TRUE(vsimtest::WaitUntil([&] { return !vsimtest::Exists(sim.Socket()); }));
  EXPECT_TRUE(usbdrv::ListDevices().empty());
  logger.Close();
  ASSERT_TRUE(sim.Stop(SIGINT));
}

TEST_F(VsimLifecycleTest, FirmwareRestartComesBackUnderTheSameSocketAndKeepsMemory) {
  // An image holding an intact firmware where the logger checks it.
  std::vector<uint8_t> image = vsimtest::RandomBytes(velmora::kMemorySize, 3);
  const auto firmware = velmora::MakeFirmwareImage("V2.00", 5);
  std::copy(firmware.begin(), firmware.end(), image.begin() + velmora::kFirmwareAddress);
  vsimtest::WriteBytes(dir.File("image.bin"), image);
  Sim sim;
  ASSERT_TRUE(sim.Start(dir.Path(), {"--serial", "VLM3000", "--image", dir.File("image.bin"), "--used", "10",
                                     "--memory-out", dir.File("out.bin")}));
  const std::vector<uint8_t> before(64, 0xA5), after(64, 0x5A);
  std::string instance;
  {
    Logger logger;
    ASSERT_EQ(logger.Open(0), 0u);
    instance = InstanceIds().at(0);
    ASSERT_EQ(logger.Command("mem.save=1024,64"), 0u);
    EXPECT_EQ(logger.Answer(), "mem.save=1024,64");
    ASSERT_EQ(logger.Write(logger.datOut, before), 0u);
    ReadStream stream(logger.data, 5);
    ASSERT_EQ(logger.Command("firmware.update"), 0u);
    EXPECT_EQ(logger.Answer(), "firmware.update=1");
    // The logger drops off the bus: what waited on the data pipe ends as an unplug.
    while (stream.InFlight() > 0) EXPECT_EQ(stream.Next(false).status, usbdrv::kStatusDeviceRemoved);
  }

  // Back under the same socket name and instance, running the new firmware, memory kept.
  ASSERT_TRUE(vsimtest::WaitUntil([&] { return InstanceIds() == std::vector<std::string>{instance}; }));
  EXPECT_TRUE(vsimtest::Exists(sim.Socket()));
  // Nothing else is left in the folder, no second socket and no half-made one.
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{sim.SocketName(), "image.bin"}));
  {
    Logger logger;
    ASSERT_EQ(logger.Open(0), 0u);
    ASSERT_EQ(logger.Command("device.software"), 0u);
    EXPECT_EQ(logger.Answer(), "device.software=V2.00");
    ReadStream stream(logger.data, 1);
    ASSERT_EQ(logger.Command("mem.load=1024,64"), 0u);
    EXPECT_EQ(logger.Answer(), "mem.load=1024,64");
    const auto r = stream.Next(false);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.bytes, before);
    ASSERT_EQ(logger.Command("mem.save=2048,64"), 0u);
    EXPECT_EQ(logger.Answer(), "mem.save=2048,64");
    ASSERT_EQ(logger.Write(logger.datOut, after), 0u);
  }

  // Stopped: the socket goes, and the restarted logger's memory is written out.
  ASSERT_TRUE(sim.Stop(SIGTERM));
  EXPECT_FALSE(vsimtest::Exists(sim.Socket()));
  std::copy(before.begin(), before.end(), image.begin() + 1024);
  std::copy(after.begin(), after.end(), image.begin() + 2048);
  const auto out = vsimtest::ReadBytes(dir.File("out.bin"));
  ASSERT_EQ(out.size(), velmora::kMemorySize);
  EXPECT_TRUE(out == image) << "memory written out differs from what the logger holds";
}

}  // namespace
