#include <cstdio>

#include "usbio/UsbDevice.h"
#include "usbio/UsbStatus.h"

// Texts of the driver's statuses, of the USB stack below it and of this layer. A status with a name
// appears by it: its number is defined once, in usbdev/DeviceStatus.h, platform/usbdrv/DriverInterface.h
// or usbio/UsbStatus.h. Searched from the top; a code without a row is taken to be a Windows error.
const UsbStatusRow g_UsbStatusTable[] = {
    {usbdrv::kStatusSuccess, "No error."},
    {0xE0000001, "HC Error: Wrong CRC."},
    {0xE0000002, "HC Error: Wrong bit stuffing."},
    {0xE0000003, "HC Error: Data toggle mismatch."},
    {usbdrv::kStatusStallPid, "HC Error: stall PID."},
    {usbdrv::kStatusNotResponding, "HC Error: Device not responding."},
    {0xE0000006, "HC Error: PID check failed."},
    {0xE0000007, "HC Error: Unexpected PID."},
    {usbdrv::kStatusDataOverrun, "HC Error: Data Overrun."},
    {0xE0000009, "HC Error: Data Underrun."},
    {0xE000000A, "HC Error: Reserved1."},
    {0xE000000B, "HC Error: Reserved2."},
    {0xE000000C, "HC Error: Buffer Overrun."},
    {0xE000000D, "HC Error: Buffer Underrun."},
    {0xE000000F, "HC Error: Not accessed."},
    {0xE0000010, "HC Error: FIFO error."},
    {0xE0000011, "HC Error: XACT error."},
    {0xE0000012, "HC Error: Babble detected."},
    {0xE0000013, "HC Error: Data buffer error."},
    {usbdrv::kStatusEndpointHalted, "USBD Error: Endpoint halted."},
    {usbdrv::kStatusNoMemory, "USBD Error: No system memory."},
    {0xE0000200, "USBD Error: Invalid URB function."},
    {0xE0000300, "USBD Error: Invalid parameter."},
    {0xE0000400, "USBD Error: Busy."},
    {usbdrv::kStatusRequestFailed, "USBD Error: Request failed."},
    {0xE0000600, "USBD Error: Invalid pipe handle."},
    {0xE0000700, "USBD Error: No bandwidth available."},
    {0xE0000800, "USBD Error: Internal HC error."},
    {0xE0000900, "USBD Error: Short transfer."},
    {0xE0000A00, "USBD Error: Bad start frame."},
    {0xE0000B00, "USBD Error: Isochronous request failed."},
    {0xE0000C00, "USBD Error: Frame control owned."},
    {0xE0000D00, "USBD Error: Frame control not owned."},
    {0xE0000E00, "USBD Error: Not supported."},
    {0xE0000F00, "USBD Error: Invalid configuration descriptor."},
    {0xE8001000, "USBD Error: Insufficient resources."},
    {0xE0002000, "USBD Error: Set configuration failed."},
    {0xE0003000, "USBD Error: Buffer too small."},
    {0xE0004000, "USBD Error: Interface not found."},
    {0xE0005000, "USBD Error: Invalid pipe flags."},
    {usbdrv::kStatusTimeout, "USBD Error: Timeout."},
    {0xE0007000, "USBD Error: Device gone."},
    {0xE0008000, "USBD Error: Status not mapped."},
    {usbdrv::kStatusCancelled, "USBD Error: cancelled."},
    {0xE0020000, "USBD Error: ISO not accessed by hardware."},
    {0xE0030000, "USBD Error: ISO TD error."},
    {0xE0040000, "USBD Error: ISO NA late USB port."},
    {0xE0050000, "USBD Error: ISO not accessed, submitted too late."},
    {usbdrv::kStatusOperationFailed, "Operation failed."},
    {0xE0001001, "Input buffer too small."},
    {0xE0001002, "Output buffer too small."},
    {0xE0001003, "Out of memory."},
    {0xE0001004, "There are pending requests."},
    {0xE0001005, "USB device is already configured."},
    {usbdrv::kStatusNotConfigured, "USB device is not configured."},
    {0xE0001007, "There are open pipes."},
    {usbdrv::kStatusAlreadyBound, "Either handle or pipe is already bound."},
    {usbdrv::kStatusNotBound, "Handle is not bound to a pipe."},
    {usbdrv::kStatusDeviceRemoved, "Device is removed."},
    {usbdrv::kStatusBadControlCode, "Control code is not supported."},
    {usbdrv::kStatusRequestTimedOut, "The request has been timed out."},
    {usbdrv::kStatusInvalidRecipient, "Invalid recipient."},
    {0xE000100E, "Invalid pipe type or invalid request type."},
    {0xE000100F, "Invalid I/O control code."},
    {usbdrv::kStatusBadDirection, "Invalid direction of read/write operation."},
    {0xE0001011, "Too much ISO packets."},
    {0xE0001012, "Request pool empty."},
    {usbdrv::kStatusPipeNotFound, "Pipe not found."},
    {0xE0001014, "Invalid ISO packet."},
    {0xE0001015, "Out of address space. Not enough system resources."},
    {0xE0001016, "Interface not found."},
    {0xE0001017, "Invalid device state (stopped or power down)."},
    {usbdrv::kStatusInvalidParameter, "Invalid parameter."},
    {0xE000101A, "Power state not allowed. Set to D0 first."},
    {usbdrv::kStatusPoweredDown, "Device powered down."},
    {usbdrv::kStatusVersionMismatch, "API Version does not match."},
    {usbdrv::kStatusSetConfigFailed, "Set configuration failed."},
    {0xE000101F, "Invalid process."},
    {usbdrv::kStatusExclusive, "The device is acquired by another process for exclusive use."},
    {0xE0001021, "A different process has opened the device."},
    {usbstatus::kDeviceNotFound, "Device not found or acquired for exclusive use."},
    {usbstatus::kNotOpen, "Device not open."},
    {usbstatus::kNoSuchInstance, "No such device instance."},
    {usbstatus::kInvalidParameter, "An invalid parameter was passed."},
    {usbstatus::kAlreadyOpen, "The handle is already opened."},
    {0xE0001108, "The device returned an invalid descriptor."},
    {0xE0001109, "This operation or feature is not supported under Windows CE."},
};
const unsigned g_UsbStatusTableRows = sizeof(g_UsbStatusTable) / sizeof(g_UsbStatusTable[0]);

char* CUsbDevice::FormatStatusText(char* buffer, uint32_t size, uint32_t status) {
  if (buffer == nullptr || size == 0) return buffer;

  const char* text = "Windows system error code.";
  for (unsigned i = 0; i < g_UsbStatusTableRows; ++i) {
    if (g_UsbStatusTable[i].code == status) {
      text = g_UsbStatusTable[i].text;
      break;
    }
  }
  std::snprintf(buffer, size, "Error code 0x%08X: %s", static_cast<unsigned>(status), text);
  buffer[size - 1] = '\0';
  return buffer;
}
