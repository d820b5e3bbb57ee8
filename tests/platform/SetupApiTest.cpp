// The built-in setupapi.dll: loading, resolving, withholding, and enumerating the driver's devices.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "PlatformTestSupport.h"
#include "common/LoggerEndpoints.h"
#include "platform/usbdrv/DriverControl.h"
#include "platform/usbdrv/InProcessSource.h"
#include "platform/win32.h"
#include "usbdev/PacketDevice.h"

namespace {

using GetClassDevsFn = HDEVINFO(WINAPI*)(const GUID*, PCSTR, HWND, DWORD);
using DestroyFn = BOOL(WINAPI*)(HDEVINFO);
using EnumFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD, PSP_DEVICE_INTERFACE_DATA);
using DetailFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD,
                               PDWORD, PSP_DEVINFO_DATA);
using ParentFn = CONFIGRET(WINAPI*)(PDEVINST, DEVINST, ULONG);
using DeviceIdFn = CONFIGRET(WINAPI*)(DEVINST, PSTR, ULONG, ULONG);

const GUID kDriverGuid = {0x92614419, 0x12D7, 0x4C4A, {0xA4, 0x37, 0xA4, 0xDA, 0xB4, 0x9B, 0x65, 0x4D}};
const GUID kOtherGuid = {0x92614419, 0x12D7, 0x4C4A, {0xA4, 0x37, 0xA4, 0xDA, 0xB4, 0x9B, 0x65, 0x4E}};
const char* const kNames[] = {"SetupDiGetClassDevsA",
                              "SetupDiDestroyDeviceInfoList",
                              "SetupDiEnumDeviceInterfaces",
                              "SetupDiGetDeviceInterfaceDetailA",
                              "CM_Get_Parent",
                              "CM_Get_Device_IDA"};

// Through the generic function-pointer type: the compiler accepts that as a deliberate cast.
template <class Fn>
Fn Resolve(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

std::string PathOf(const std::string& id) {
  return "\\\\?\\usbdrv#" + id + "#{92614419-12d7-4c4a-a437-a4dab49b654d}";
}

class SetupApi : public ::testing::Test {
 protected:
  void SetUp() override {
    usbdrv::DetachAllDevices();
    module_ = LoadLibraryA("setupapi.dll");
    ASSERT_NE(module_, nullptr);
    getClassDevs_ = Resolve<GetClassDevsFn>(module_, "SetupDiGetClassDevsA");
    destroy_ = Resolve<DestroyFn>(module_, "SetupDiDestroyDeviceInfoList");
    enum_ = Resolve<EnumFn>(module_, "SetupDiEnumDeviceInterfaces");
    detail_ = Resolve<DetailFn>(module_, "SetupDiGetDeviceInterfaceDetailA");
    parent_ = Resolve<ParentFn>(module_, "CM_Get_Parent");
    deviceId_ = Resolve<DeviceIdFn>(module_, "CM_Get_Device_IDA");
    ASSERT_TRUE(getClassDevs_ && destroy_ && enum_ && detail_ && parent_ && deviceId_);
  }
  void TearDown() override {
    usbdrv::WithholdSetupApiFunction("");
    FreeLibrary(module_);
    usbdrv::DetachAllDevices();
    EXPECT_EQ(usbdrv::OpenDriverHandles(), 0);
  }

  std::shared_ptr<usbdrv::PacketDevice> Attach(const std::string& id) {
    std::string serial = "S-" + id;
    auto d =
        std::make_shared<usbdrv::PacketDevice>(id, 0x11E3, 0x0005, &serial, std::vector<uint8_t>{ep::kDatIn});
    usbdrv::AttachDevice(d);
    return d;
  }

  // The path of interface `index` of the list, or the error that stopped the lookup.
  std::string PathAt(HDEVINFO list, DWORD index, DWORD* error) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    *error = 0;
    if (!enum_(list, nullptr, &kDriverGuid, index, &data)) {
      *error = GetLastError();
      return "";
    }
    DWORD required = 0;
    EXPECT_FALSE(detail_(list, &data, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    std::vector<char> block(required, 0x55);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!detail_(list, &data, detail, required, nullptr, nullptr)) {
      *error = GetLastError();
      return "";
    }
    std::string path(detail->DevicePath);
    EXPECT_EQ(required, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    return path;
  }

  HMODULE module_ = nullptr;
  GetClassDevsFn getClassDevs_ = nullptr;
  DestroyFn destroy_ = nullptr;
  EnumFn enum_ = nullptr;
  DetailFn detail_ = nullptr;
  ParentFn parent_ = nullptr;
  DeviceIdFn deviceId_ = nullptr;
};

TEST_F(SetupApi, ModuleIsReferenceCountedAndOnlySetupApiExists) {
  SetLastError(0);
  EXPECT_EQ(LoadLibraryA("kernel32.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);

  HMODULE again = LoadLibraryA("SetupAPI.DLL");  // names are not case-sensitive
  ASSERT_EQ(again, module_);
  ASSERT_TRUE(FreeLibrary(again));
  // One reference (the fixture's) is left: the module still answers.
  EXPECT_NE(GetProcAddress(module_, "CM_Get_Parent"), nullptr);

  ASSERT_TRUE(FreeLibrary(module_));
  SetLastError(0);
  EXPECT_EQ(GetProcAddress(module_, "CM_Get_Parent"), nullptr);
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_FALSE(FreeLibrary(module_));
  module_ = LoadLibraryA("setupapi.dll");  // for TearDown
  ASSERT_NE(module_, nullptr);
}

TEST_F(SetupApi, WithheldFunctionIsNotFoundAndTheOthersStillResolve) {
  for (const char* withheld : kNames) {
    usbdrv::WithholdSetupApiFunction(withheld);
    for (const char* name : kNames) {
      SetLastError(0);
      FARPROC proc = GetProcAddress(module_, name);
      if (std::strcmp(name, withheld) == 0) {
        EXPECT_EQ(proc, nullptr) << name;
        EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND) << name;
      } else {
        EXPECT_NE(proc, nullptr) << name << " while " << withheld << " is withheld";
      }
    }
  }
  usbdrv::WithholdSetupApiFunction("");
  for (const char* name : kNames) EXPECT_NE(GetProcAddress(module_, name), nullptr) << name;
  EXPECT_EQ(GetProcAddress(module_, "setupdigetclassdevsa"), nullptr);  // export names are exact
  EXPECT_EQ(GetProcAddress(module_, "SetupDiOpenDevRegKey"), nullptr);
}

TEST_F(SetupApi, ListIsASnapshotOfPresentDevicesInAttachOrder) {
  auto a = Attach("dev-a");
  auto b = Attach("dev-b");
  auto c = Attach("dev-c");
  usbdrv::DetachDevice(b);

  HDEVINFO list = getClassDevs_(&kDriverGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(list, INVALID_HANDLE_VALUE);
  ASSERT_NE(list, nullptr);
  Attach("dev-d");  // after the snapshot: not in it

  DWORD error = 0;
  EXPECT_EQ(PathAt(list, 0, &error), PathOf("dev-a"));
  EXPECT_EQ(PathAt(list, 1, &error), PathOf("dev-c"));
  PathAt(list, 2, &error);
  EXPECT_EQ(error, ERROR_NO_MORE_ITEMS);

  // The path opens that very device: its serial string says so.
  pt::Handle h(pt::OpenPath(PathOf("dev-c")));
  ASSERT_TRUE(h.valid());
  std::vector<uint8_t> s;
  ASSERT_EQ(pt::Descriptor(h.get(), 3, 3, s), 0u);
  ASSERT_EQ(s.size(), 2u + 2 * 7);
  EXPECT_EQ(s[2], 'S');
  EXPECT_EQ(s[14], 'c');  // "S-dev-c": the last character

  ASSERT_TRUE(destroy_(list));
  SetLastError(0);
  EXPECT_FALSE(destroy_(list));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof(data);
  EXPECT_FALSE(enum_(list, nullptr, &kDriverGuid, 0, &data));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(SetupApi, CallerErrorsGiveTheSystemsErrorCodes) {
  Attach("dev-a");
  SetLastError(0);
  EXPECT_EQ(getClassDevs_(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  // Another class: a valid list with nothing in it.
  HDEVINFO other = getClassDevs_(&kOtherGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof(data);
  EXPECT_FALSE(enum_(other, nullptr, &kOtherGuid, 0, &data));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
  EXPECT_TRUE(destroy_(other));

  HDEVINFO list = getClassDevs_(&kDriverGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  data.cbSize = sizeof(data) + 1;
  EXPECT_FALSE(enum_(list, nullptr, &kDriverGuid, 0, &data));
  EXPECT_EQ(GetLastError(), 1784u);  // ERROR_INVALID_USER_BUFFER
  data.cbSize = sizeof(data);
  ASSERT_TRUE(enum_(list, nullptr, &kDriverGuid, 0, &data));

  const std::string path = PathOf("dev-a");
  const DWORD needed = static_cast<DWORD>(4 + path.size() + 1);
  std::vector<char> block(needed + 8, 0);
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.data());
  DWORD required = 0;
  detail->cbSize = 8;  // the size of an unpacked structure: refused
  EXPECT_FALSE(detail_(list, &data, detail, needed, &required, nullptr));
  EXPECT_EQ(GetLastError(), 1784u);
  detail->cbSize = 5;
  EXPECT_FALSE(detail_(list, &data, detail, needed - 1, &required, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(required, needed);
  SP_DEVINFO_DATA devinfo{};
  devinfo.cbSize = sizeof(devinfo);
  ASSERT_TRUE(detail_(list, &data, detail, needed, &required, &devinfo));
  EXPECT_EQ(std::string(detail->DevicePath), path);

  // The device node behind the interface: its id names the device, its parent is a hub.
  char id[200];
  ASSERT_EQ(deviceId_(devinfo.DevInst, id, sizeof(id), 0), CR_SUCCESS);
  EXPECT_NE(std::string(id).find("dev-a"), std::string::npos) << id;
  EXPECT_NE(deviceId_(devinfo.DevInst, id, 3, 0), CR_SUCCESS);
  DEVINST hub = 0;
  ASSERT_EQ(parent_(&hub, devinfo.DevInst, 0), CR_SUCCESS);
  EXPECT_NE(hub, devinfo.DevInst);
  EXPECT_NE(deviceId_(0xFFFF, id, sizeof(id), 0), CR_SUCCESS);
  EXPECT_TRUE(destroy_(list));
}

}  // namespace
