// The device handle: opening by number and through the device list, the driver version check, the
// statuses of misuse, descriptor requests, and control requests from several threads.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "UsbioTestSupport.h"
#include "platform/usbdrv/DeviceSource.h"
#include "platform/usbdrv/InProcessSource.h"
#include "usbio/UsbDevice.h"

namespace {

using usbio_test::MakeDevice;

class UsbDeviceTest : public usbio_test::DriverTest {};

uint16_t Le16(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

// The serial number as the device sends it: UTF-16LE after the two header bytes.
std::string SerialOf(CUsbDevice& device) {
  uint8_t descriptor[18] = {};
  if (device.ReadDeviceDescriptor(descriptor) != 0) return "<no device descriptor>";
  uint8_t text[516] = {};
  uint32_t length = sizeof(text);
  if (device.ReadStringDescriptor(text, &length, descriptor[16], 0) != 0) return "<no string>";
  if (length != text[0] || text[1] != 3) return "<bad string descriptor>";
  std::string serial;
  for (uint32_t i = 2; i + 1 < length; i += 2) serial.push_back(static_cast<char>(text[i]));
  return serial;
}

TEST_F(UsbDeviceTest, DriverVersionIsCheckedOnlyWhenAsked) {
  usbdrv::AttachDevice(MakeDevice("usbio-test-0", "A0001"));
  const int baseline = usbdrv::OpenDriverHandles();
  struct Case {
    uint16_t version;
    bool check;
    uint32_t expected;
  };
  const Case cases[] = {{0x0231, true, 0xE000101C}, {0x0231, false, 0},         {0x0232, true, 0},
                        {0x02FF, true, 0},          {0x0332, true, 0xE000101C}, {0x0132, true, 0xE000101C}};
  CUsbDevice device;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << "version 0x" << c.version << " check " << c.check);
    usbdrv::SetInterfaceVersion(c.version);
    EXPECT_EQ(device.OpenDevice(0, nullptr, &g_UsbDrvInterfaceGuid, c.check), c.expected);
    EXPECT_EQ(device.IsOpen(), c.expected == 0);
    EXPECT_EQ(usbdrv::OpenDriverHandles(), baseline + (c.expected == 0 ? 1 : 0))
        << "refused open left a handle";
    device.CloseDevice();
  }
}

TEST_F(UsbDeviceTest, SecondOpenIsRefusedAndTheFirstHandleKeepsWorking) {
  usbdrv::AttachDevice(MakeDevice("usbio-test-0", "A0001"));
  CUsbDevice device;
  ASSERT_EQ(device.OpenDevice(0, nullptr, &g_UsbDrvInterfaceGuid, true), 0u);
  const int handles = usbdrv::OpenDriverHandles();
  EXPECT_EQ(device.OpenDevice(0, nullptr, &g_UsbDrvInterfaceGuid, true), 0xE0001107u);
  EXPECT_EQ(device.OpenPath("\\\\.\\UsbDrv_Device0", false), 0xE0001107u);
  EXPECT_EQ(usbdrv::OpenDriverHandles(), handles);

  uint8_t descriptor[18] = {};
  ASSERT_EQ(device.ReadDeviceDescriptor(descriptor), 0u);
  EXPECT_EQ(Le16(descriptor + 8), usbio_test::kVendorId);
  EXPECT_EQ(Le16(descriptor + 10), usbio_test::kProductId);
  EXPECT_EQ(SerialOf(device), "A0001");
}

TEST_F(UsbDeviceTest, ClosedObjectRefusesRequestsAndClosesTwiceHarmlessly) {
  CUsbDevice device;
  uint32_t count = 0x5A5A5A5A;
  uint8_t out[12] = {};
  EXPECT_EQ(device.SendRequest(0x8094206C, nullptr, 0, out, sizeof(out), &count), 0xE0001102u);
  EXPECT_EQ(count, 0x5A5A5A5Au) << "the byte count must be left alone";
  uint32_t length = 0x5A5A5A5A;
  EXPECT_EQ(device.ReadStringDescriptor(out, &length, 3, 0), 0xE0001102u);
  EXPECT_EQ(length, 0x5A5A5A5Au);

  usbdrv::AttachDevice(MakeDevice("usbio-test-0", "A0001"));
  HDEVINFO list = CUsbDevice::BuildDeviceList(&g_UsbDrvInterfaceGuid);
  ASSERT_NE(list, nullptr);
  const int baseline = usbdrv::OpenDriverHandles();
  ASSERT_EQ(device.OpenDevice(0, list, &g_UsbDrvInterfaceGuid, true), 0u);
  EXPECT_NE(device.InterfacePath(), nullptr);
  device.CloseDevice();
  device.CloseDevice();
  EXPECT_FALSE(device.IsOpen());
  EXPECT_EQ(device.InterfacePath(), nullptr);
  EXPECT_EQ(usbdrv::OpenDriverHandles(), baseline);
  EXPECT_EQ(device.SendRequest(0x8094206C, nullptr, 0, out, sizeof(out), &count), 0xE0001102u);

  // One object is opened again for each device of a scan.
  ASSERT_EQ(device.OpenDevice(0, list, &g_UsbDrvInterfaceGuid, true), 0u);
  EXPECT_EQ(SerialOf(device), "A0001");
  CUsbDevice::DestroyDeviceList(list);
}

TEST_F(UsbDeviceTest, DeviceListFindsDevicesByNumberAndRefusesNumbersPastIt) {
  usbdrv::AttachDevice(MakeDevice("usbio-test-0", "A0001"));
  usbdrv::AttachDevice(MakeDevice("usbio-test-1", "B0002"));
  const int listed = static_cast<int>(usbdrv::ListDevices().size());
  HDEVINFO list = CUsbDevice::BuildDeviceList(&g_UsbDrvInterfaceGuid);
  ASSERT_NE(list, nullptr);

  CUsbDevice device;
  ASSERT_EQ(device.OpenDevice(1, list, &g_UsbDrvInterfaceGuid, true), 0u);
  EXPECT_NE(std::string(device.InterfacePath()).find("usbio-test-1"), std::string::npos)
      << device.InterfacePath();
  EXPECT_EQ(SerialOf(device), "B0002");
  device.CloseDevice();
  ASSERT_EQ(device.OpenDevice(1, nullptr, &g_UsbDrvInterfaceGuid, true), 0u) << "the same device by number";
  EXPECT_EQ(SerialOf(device), "B0002");
  device.CloseDevice();

  const int baseline = usbdrv::OpenDriverHandles();
  EXPECT_EQ(device.OpenDevice(listed, list, &g_UsbDrvInterfaceGuid, true), 0xE0001104u);
  EXPECT_FALSE(device.IsOpen());
  EXPECT_EQ(usbdrv::OpenDriverHandles(), baseline);
  EXPECT_EQ(device.OpenDevice(listed + 5, nullptr, &g_UsbDrvInterfaceGuid, true), 0xE0001100u);
  EXPECT_EQ(device.LookupInterfacePath(0, nullptr, &g_UsbDrvInterfaceGuid), 0xE0001105u);
  EXPECT_EQ(device.OpenDevice(0, list, nullptr, true), 0xE0001105u);
  EXPECT_FALSE(device.IsOpen());
  CUsbDevice::DestroyDeviceList(list);
}

TEST_F(UsbDeviceTest, EmptyListHasNoDeviceZero) {
  if (!usbdrv::ListDevices().empty()) GTEST_SKIP() << "another device source is serving devices";
  HDEVINFO list = CUsbDevice::BuildDeviceList(&g_UsbDrvInterfaceGuid);
  ASSERT_NE(list, nullptr) << "an empty list is still a list";
  CUsbDevice device;
  EXPECT_EQ(device.OpenDevice(0, list, &g_UsbDrvInterfaceGuid, true), 0xE0001104u);
  EXPECT_FALSE(device.IsOpen());
  CUsbDevice::DestroyDeviceList(list);
}

TEST_F(UsbDeviceTest, AnyMissingSetupApiFunctionDisablesTheList) {
  usbdrv::AttachDevice(MakeDevice("usbio-test-0", "A0001"));
  HDEVINFO list = CUsbDevice::BuildDeviceList(&g_UsbDrvInterfaceGuid);
  ASSERT_NE(list, nullptr);
  // The list is never built with the last two, yet each one missing must refuse it.
  for (const char* name : {"CM_Get_Device_IDA", "CM_Get_Parent"}) {
    SCOPED_TRACE(name);
    g_SetupApiDll.Unload();
    usbdrv::WithholdSetupApiFunction(name);
    EXPECT_EQ(CUsbDevice::BuildDeviceList(&g_UsbDrvInterfaceGuid), nullptr);
    EXPECT_FALSE(g_SetupApiDll.IsLoaded()) << "a partly resolved library must be unloaded";
    CUsbDevice device;
    EXPECT_EQ(device.OpenDevice(0, list, &g_UsbDrvInterfaceGuid, true), 0xE0001106u);
  }
  usbdrv::WithholdSetupApiFunction("");
  HDEVINFO again = CUsbDevice::BuildDeviceList(&g_UsbDrvInterfaceGuid);
  EXPECT_NE(again, nullptr);
  CUsbDevice::DestroyDeviceList(again);
  CUsbDevice::DestroyDeviceList(list);
}

TEST_F(UsbDeviceTest, DescriptorRequestsCarryTheirArgumentsAndCounts) {
  auto device = MakeDevice("usbio-test-0", "SN-42");
  usbdrv::AttachDevice(device);
  CUsbDevice handle;
  ASSERT_EQ(handle.OpenDevice(0, nullptr, &g_UsbDrvInterfaceGuid, true), 0u);

  uint8_t descriptor[64] = {};
  uint32_t length = sizeof(descriptor);
  ASSERT_EQ(handle.ReadDescriptor(descriptor, &length, 0, 1, 0, 0), 0u);
  EXPECT_EQ(length, 18u) << "the length comes back as the count the device returned";
  EXPECT_EQ(descriptor[1], 1);
  // The index reaches the device: string 0 is the language list, the serial has an index of its own.
  length = sizeof(descriptor);
  ASSERT_EQ(handle.ReadStringDescriptor(descriptor, &length, 0, 0x0409), 0u);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(SerialOf(handle), "SN-42");

  device->FailDescriptors(0xE0000004);
  EXPECT_EQ(handle.ReadDeviceDescriptor(descriptor), 0xE0000004u) << "a driver status comes back unchanged";
}

TEST_F(UsbDeviceTest, ControlRequestsFromSeveralThreadsRunOneAtATime) {
  usbdrv::AttachDevice(MakeDevice("usbio-test-0", "PAR-7"));
  CUsbDevice handle;
  ASSERT_EQ(handle.OpenDevice(0, nullptr, &g_UsbDrvInterfaceGuid, true), 0u);
  // All requests of one object share one overlapped record; results and counts must not mix.
  std::vector<int> failures(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&handle, &failures, t] {
      for (int i = 0; i < 200; ++i) failures[t] += SerialOf(handle) == "PAR-7" ? 0 : 1;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
