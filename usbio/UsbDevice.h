// A handle on one device of the USB driver: open by number or path, descriptors, configuration,
// and synchronous control requests through one locked path.
#pragma once

#include <cstdint>

#include "platform/usbdrv/DriverInterface.h"
#include "platform/win32.h"
#include "usbio/UsbStatus.h"

// The driver's device interface class.
extern const GUID g_UsbDrvInterfaceGuid;  // usbdrv::kInterfaceClassGuid

class CUsbDevice {
 public:
  CUsbDevice();
  virtual ~CUsbDevice();
  CUsbDevice(const CUsbDevice&) = delete;
  CUsbDevice& operator=(const CUsbDevice&) = delete;

  // Device list of the driver's interface class, or null. Needs no object.
  static HDEVINFO BuildDeviceList(const GUID* interfaceGuid);
  // Releases a list built by BuildDeviceList (null is ignored).
  static void DestroyDeviceList(HDEVINFO list);

  uint32_t OpenDevice(int deviceNumber, HDEVINFO deviceList, const GUID* interfaceGuid, bool checkVersion);
  uint32_t OpenPath(const char* path, bool checkVersion);
  uint32_t LookupInterfacePath(int deviceNumber, HDEVINFO deviceList, const GUID* interfaceGuid);
  const char* InterfacePath() const;
  void CloseDevice();
  bool IsOpen() const { return deviceHandle != nullptr; }

  uint32_t QueryDriverInfo(UsbDriverInfo* info);
  uint32_t ReadDescriptor(void* buffer, uint32_t* length, uint32_t recipient, uint8_t descriptorType,
                          uint8_t index, uint16_t languageId);
  uint32_t ReadDeviceDescriptor(void* buffer18);
  uint32_t ReadStringDescriptor(void* buffer, uint32_t* length, uint8_t index, uint16_t languageId);
  uint32_t ConfigureDevice(const UsbConfiguration* configuration);
  uint32_t DeconfigureDevice();
  uint32_t SendRequest(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                       uint32_t* bytesReturned);
  bool CancelPendingIo();

  // "Error code 0x%08X: %s" with the status text, cut to size - 1 characters. Returns buffer.
  static char* FormatStatusText(char* buffer, uint32_t size, uint32_t status);

 protected:
  HANDLE deviceHandle;
  OVERLAPPED requestOverlapped;
  CRITICAL_SECTION requestLock;
  PSP_DEVICE_INTERFACE_DETAIL_DATA_A interfaceDetail;
};

// The status table, for tests and tools.
struct UsbStatusRow {
  uint32_t code;
  const char* text;
};
extern const UsbStatusRow g_UsbStatusTable[];
extern const unsigned g_UsbStatusTableRows;
