// A device handle bound to one endpoint, with overlapped transfers on CUsbBuf.
#pragma once

#include "usbio/UsbBuf.h"
#include "usbio/UsbDevice.h"

class CUsbPipe : public CUsbDevice {
 public:
  CUsbPipe();
  ~CUsbPipe() override;

  uint32_t BindPipe(int deviceNumber, uint8_t endpoint, HDEVINFO deviceList, const GUID* interfaceGuid,
                    bool checkVersion);
  uint32_t BindEndpoint(uint8_t endpoint);
  uint32_t UnbindPipe();
  uint32_t AbortTransfers();
  bool SubmitRead(CUsbBuf* buffer);
  bool SubmitWrite(CUsbBuf* buffer);
  uint32_t WaitForBuffer(CUsbBuf* buffer, uint32_t timeoutMs);
  uint32_t WriteSync(const void* data, uint32_t* length, uint32_t timeoutMs);
};
