// Finding sims: the order of the run folder, serial numbers through the link's scan, connections kept
// across listings, stale sockets, and a logger that is in use elsewhere.
#include <sys/socket.h>
#include <sys/un.h>

#include "VsimHarness.h"
#include "common/LoggerEndpoints.h"
#include "common/RecordingWindow.h"
#include "link/USBInterface.h"
#include "platform/usbdrv/DeviceSource.h"

namespace {

using vsimtest::Sim;

// Leaves a socket file with no listener behind, as a sim killed with SIGKILL does.
void MakeDeadSocket(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ::close(fd);
}

class VsimDiscoveryTest : public vsimtest::VsimTest {};

TEST_F(VsimDiscoveryTest, SimsAreListedInNameOrderWithTheirSerials) {
  // Started out of order: the folder's name order decides, not who came first.
  Sim second, old, first;
  ASSERT_TRUE(second.Start(dir.Path(), {"--serial", "VLM1002"}));
  ASSERT_TRUE(old.Start(dir.Path(), {"--no-serial"}));
  ASSERT_TRUE(first.Start(dir.Path(), {"--serial", "VLM1001"}));
  EXPECT_EQ(first.Line(), "velmora-sim: VLM1001 attached at " + first.Socket());
  EXPECT_EQ(first.SocketName(), "VLM1001-" + std::to_string(first.Pid()) + ".sock");
  EXPECT_EQ(old.SocketName(), "old-" + std::to_string(old.Pid()) + ".sock");

  // A dead socket sorting first, and a file that is no socket of a sim.
  MakeDeadSocket(dir.File("AAA-1.sock"));
  vsimtest::WriteBytes(dir.File("notes.txt"), {1, 2, 3});

  RecordingWindow window;
  {
    USBInterface usb(&window);
    EXPECT_EQ(usb.scanDevices(), (std::vector<int32_t>{1001, 1002, 0}));
    EXPECT_EQ(window.count("->old device"), 1u);
    EXPECT_EQ(usb.scanDevices(), (std::vector<int32_t>{1001, 1002, 0}));
  }
  EXPECT_FALSE(vsimtest::Exists(dir.File("AAA-1.sock"))) << "a socket without listener is removed";
  EXPECT_TRUE(vsimtest::Exists(dir.File("notes.txt")));

  // The same connection serves every listing while the sim lives.
  const auto a = usbdrv::ListDevices();
  const auto b = usbdrv::ListDevices();
  ASSERT_EQ(a.size(), 3u);
  EXPECT_EQ(a, b);
  EXPECT_EQ(InstanceIds(), (std::vector<std::string>{"vsim-VLM1001-" + std::to_string(first.Pid()),
                                                     "vsim-VLM1002-" + std::to_string(second.Pid()),
                                                     "vsim-old-" + std::to_string(old.Pid())}));

  // One ends cleanly: it takes its socket along and leaves the others' numbers in order.
  ASSERT_TRUE(second.Stop());
  EXPECT_FALSE(vsimtest::Exists(second.Socket()));
  ASSERT_TRUE(vsimtest::WaitUntil([&] { return usbdrv::ListDevices().size() == 2; }));
  const auto c = usbdrv::ListDevices();
  EXPECT_EQ(c[0], a[0]);
  EXPECT_EQ(c[1], a[2]);
}

TEST_F(VsimDiscoveryTest, DescriptorsCrossTheSocketAndInUseRefusesConfiguration) {
  Sim sim;
  ASSERT_TRUE(sim.Start(dir.Path(), {"--serial", "VLM4711", "--in-use"}));
  CUsbDevice device;
  HDEVINFO list = CUsbDevice::BuildDeviceList(&g_UsbDrvInterfaceGuid);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(device.OpenDevice(0, list, &g_UsbDrvInterfaceGuid, true), 0u);
  EXPECT_NE(device.OpenDevice(1, list, &g_UsbDrvInterfaceGuid, true), 0u);
  CUsbDevice::DestroyDeviceList(list);

  uint8_t descriptor[18] = {};
  ASSERT_EQ(device.ReadDeviceDescriptor(descriptor), 0u);
  EXPECT_EQ(descriptor[8] | (descriptor[9] << 8), 0x11E3);
  EXPECT_EQ(descriptor[10] | (descriptor[11] << 8), 0x0005);
  ASSERT_NE(descriptor[16], 0);
  uint8_t text[64] = {};
  uint32_t length = sizeof(text);
  ASSERT_EQ(device.ReadStringDescriptor(text, &length, descriptor[16], 0x0409), 0u);
  ASSERT_EQ(length, 2u + 2 * 7);
  std::string serial;
  for (uint32_t i = 2; i < length; i += 2) serial.push_back(static_cast<char>(text[i]));
  EXPECT_EQ(serial, "VLM4711");
  // A short buffer gets the first bytes, as from a real control transfer.
  length = 4;
  ASSERT_EQ(device.ReadStringDescriptor(text, &length, descriptor[16], 0x0409), 0u);
  EXPECT_EQ(length, 4u);
  // A descriptor the logger does not have is stalled by the logger, not lost on the way.
  length = sizeof(text);
  EXPECT_EQ(device.ReadStringDescriptor(text, &length, 9, 0x0409), usbdrv::kStatusStallPid);

  UsbConfiguration configuration{};
  configuration.interfaceCount = 1;
  configuration.interfaces[0].maxTransferSize = 4096;
  EXPECT_EQ(device.ConfigureDevice(&configuration), usbdrv::kStatusExclusive);
  // Not configured, so no pipe can be bound.
  CUsbPipe pipe;
  EXPECT_EQ(pipe.BindPipe(0, ep::kDatIn, nullptr, &g_UsbDrvInterfaceGuid, true), usbdrv::kStatusPipeNotFound);
}

}  // namespace
