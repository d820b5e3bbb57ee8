#include "usbio/UsbDevice.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "usbio/SetupApiDll.h"

const GUID g_UsbDrvInterfaceGuid = usbdrv::kInterfaceClassGuid;

namespace {

// Lowest interface version of the driver that this layer works with: major 2, minor 50 or later.
constexpr unsigned kRequiredVersionMajor = 0x02;
constexpr unsigned kMinimumVersionMinor = 0x32;

constexpr size_t kDevicePathSize = 80;

}  // namespace

CUsbDevice::CUsbDevice() : deviceHandle(nullptr), interfaceDetail(nullptr) {
  std::memset(&requestOverlapped, 0, sizeof(requestOverlapped));
  InitializeCriticalSection(&requestLock);
}

CUsbDevice::~CUsbDevice() {
  CloseDevice();
  DeleteCriticalSection(&requestLock);
}

HDEVINFO CUsbDevice::BuildDeviceList(const GUID* interfaceGuid) {
  if (!g_SetupApiDll.Load()) return nullptr;
  HDEVINFO list =
      g_SetupApiDll.GetClassDevs(interfaceGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (list == INVALID_HANDLE_VALUE) return nullptr;
  return list;
}

void CUsbDevice::DestroyDeviceList(HDEVINFO list) {
  if (list == nullptr || list == INVALID_HANDLE_VALUE) return;
  if (!g_SetupApiDll.Load()) return;
  g_SetupApiDll.DestroyDeviceInfoList(list);
}

uint32_t CUsbDevice::OpenDevice(int deviceNumber, HDEVINFO deviceList, const GUID* interfaceGuid,
                                bool checkVersion) {
  if (deviceHandle != nullptr) return usbstatus::kAlreadyOpen;

  char numberedPath[kDevicePathSize];
  const char* path = numberedPath;
  if (deviceList == nullptr) {
    std::snprintf(numberedPath, sizeof(numberedPath), "\\\\.\\UsbDrv_Device%d", deviceNumber);
  } else {
    const uint32_t status = LookupInterfacePath(deviceNumber, deviceList, interfaceGuid);
    if (status != usbstatus::kSuccess) return status;
    path = InterfacePath();
  }
  return OpenPath(path, checkVersion);
}

uint32_t CUsbDevice::LookupInterfacePath(int deviceNumber, HDEVINFO deviceList, const GUID* interfaceGuid) {
  if (deviceList == nullptr || interfaceGuid == nullptr) return usbstatus::kInvalidParameter;
  if (!g_SetupApiDll.Load()) return usbstatus::kSetupApiMissing;

  std::free(interfaceDetail);
  interfaceDetail = nullptr;

  SP_DEVICE_INTERFACE_DATA interfaceData;
  std::memset(&interfaceData, 0, sizeof(interfaceData));
  interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
  if (!g_SetupApiDll.EnumDeviceInterfaces(deviceList, nullptr, interfaceGuid,
                                          static_cast<DWORD>(deviceNumber), &interfaceData)) {
    const DWORD error = GetLastError();
    if (error == ERROR_NO_MORE_ITEMS) return usbstatus::kNoSuchInstance;
    return error;
  }

  // The first call only reports the size the detail block needs; it fails by design.
  DWORD required = 0;
  g_SetupApiDll.GetDeviceInterfaceDetail(deviceList, &interfaceData, nullptr, 0, &required, nullptr);
  if (required == 0) return usbstatus::kFailed;

  // Never smaller than the header, so that setting the size field stays inside the block.
  const size_t blockSize = required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)
                               ? sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)
                               : required;
  PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail =
      static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(std::calloc(1, blockSize));
  if (detail == nullptr) return usbstatus::kNoMemory;
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (!g_SetupApiDll.GetDeviceInterfaceDetail(deviceList, &interfaceData, detail, required, nullptr,
                                              nullptr)) {
    const DWORD error = GetLastError();
    std::free(detail);
    return error;
  }
  interfaceDetail = detail;
  return usbstatus::kSuccess;
}

const char* CUsbDevice::InterfacePath() const {
  return interfaceDetail != nullptr ? interfaceDetail->DevicePath : nullptr;
}

uint32_t CUsbDevice::OpenPath(const char* path, bool checkVersion) {
  if (deviceHandle != nullptr) return usbstatus::kAlreadyOpen;

  HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return usbstatus::kDeviceNotFound;
    return error;
  }
  deviceHandle = handle;

  requestOverlapped.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (requestOverlapped.hEvent == nullptr) {
    CloseDevice();
    return usbstatus::kNoMemory;
  }

  UsbDriverInfo info;
  std::memset(&info, 0, sizeof(info));
  const uint32_t status = QueryDriverInfo(&info);
  if (status != usbstatus::kSuccess) {
    CloseDevice();
    return status;
  }

  if (checkVersion) {
    const unsigned major = (info.interfaceVersion >> 8) & 0xFFu;
    const unsigned minor = info.interfaceVersion & 0xFFu;
    if (major != kRequiredVersionMajor || minor < kMinimumVersionMinor) {
      CloseDevice();
      return usbstatus::kVersionMismatch;
    }
  }
  return usbstatus::kSuccess;
}

void CUsbDevice::CloseDevice() {
  if (deviceHandle != nullptr) {
    CloseHandle(deviceHandle);
    deviceHandle = nullptr;
  }
  if (requestOverlapped.hEvent != nullptr) {
    CloseHandle(requestOverlapped.hEvent);
    requestOverlapped.hEvent = nullptr;
  }
  std::free(interfaceDetail);
  interfaceDetail = nullptr;
}

uint32_t CUsbDevice::SendRequest(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                                 uint32_t* bytesReturned) {
  if (deviceHandle == nullptr) return usbstatus::kNotOpen;

  // Every request of this object shares the one overlapped record, so the lock covers the wait too.
  EnterCriticalSection(&requestLock);
  DWORD returned = 0;
  uint32_t status = usbstatus::kSuccess;
  if (!DeviceIoControl(deviceHandle, code, const_cast<void*>(in), inSize, out, outSize, &returned,
                       &requestOverlapped)) {
    status = GetLastError();
    if (status == ERROR_IO_PENDING) {
      status = GetOverlappedResult(deviceHandle, &requestOverlapped, &returned, TRUE) ? usbstatus::kSuccess
                                                                                      : GetLastError();
    }
  }
  LeaveCriticalSection(&requestLock);

  if (bytesReturned != nullptr) *bytesReturned = returned;
  return status;
}

uint32_t CUsbDevice::QueryDriverInfo(UsbDriverInfo* info) {
  return SendRequest(usbioctl::kGetDriverInfo, nullptr, 0, info, usbioctl::kDriverInfoSize, nullptr);
}

uint32_t CUsbDevice::ReadDescriptor(void* buffer, uint32_t* length, uint32_t recipient,
                                    uint8_t descriptorType, uint8_t index, uint16_t languageId) {
  // u32 recipient, u8 type, u8 index, u16 language id, little-endian.
  uint8_t request[usbioctl::kGetDescriptorInSize];
  request[0] = static_cast<uint8_t>(recipient);
  request[1] = static_cast<uint8_t>(recipient >> 8);
  request[2] = static_cast<uint8_t>(recipient >> 16);
  request[3] = static_cast<uint8_t>(recipient >> 24);
  request[4] = descriptorType;
  request[5] = index;
  request[6] = static_cast<uint8_t>(languageId);
  request[7] = static_cast<uint8_t>(languageId >> 8);
  return SendRequest(usbioctl::kGetDescriptor, request, sizeof(request), buffer, *length, length);
}

uint32_t CUsbDevice::ReadDeviceDescriptor(void* buffer18) {
  uint32_t length = 18;
  return ReadDescriptor(buffer18, &length, 0, 1, 0, 0);
}

uint32_t CUsbDevice::ReadStringDescriptor(void* buffer, uint32_t* length, uint8_t index,
                                          uint16_t languageId) {
  return ReadDescriptor(buffer, length, 0, 3, index, languageId);
}

uint32_t CUsbDevice::ConfigureDevice(const UsbConfiguration* configuration) {
  return SendRequest(usbioctl::kSetConfiguration, configuration, usbioctl::kSetConfigurationSize, nullptr, 0,
                     nullptr);
}

uint32_t CUsbDevice::DeconfigureDevice() {
  return SendRequest(usbioctl::kDropConfiguration, nullptr, 0, nullptr, 0, nullptr);
}

bool CUsbDevice::CancelPendingIo() {
  return CancelIo(deviceHandle) != FALSE;
}
