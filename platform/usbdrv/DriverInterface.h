// The USB driver's interface as its callers see it: the device interface class, the control codes
// and the records they carry, and the status numbers the driver and the USB stack below it report.
//
// The driver (Driver.cpp) implements it; the USB I/O layer (usbio/) calls it. Each number is defined
// once: here, or, for the statuses a device reports, in usbdev/DeviceStatus.h, which this header
// brings in. The USB I/O layer's status table only gives them texts.
#pragma once

#include <cstdint>

#include "platform/win32.h"
#include "usbdev/DeviceStatus.h"

namespace usbdrv {

// The interface class GUID of the driver's devices.
constexpr char kInterfaceClassGuidText[] = "{92614419-12D7-4C4A-A437-A4DAB49B654D}";
inline constexpr GUID kInterfaceClassGuid = {
    0x92614419, 0x12D7, 0x4C4A, {0xA4, 0x37, 0xA4, 0xDA, 0xB4, 0x9B, 0x65, 0x4D}};

// Interface version reported by the driver-info request (first u16 of the 12-byte record).
constexpr uint16_t kDefaultInterfaceVersion = 0x0232;

// The driver's own statuses; those a device reports (and the driver passes on) are in
// usbdev/DeviceStatus.h.
constexpr uint32_t kStatusAlreadyBound = 0xE0001008;     // "Either handle or pipe is already bound."
constexpr uint32_t kStatusNotBound = 0xE0001009;         // "Handle is not bound to a pipe."
constexpr uint32_t kStatusBadControlCode = 0xE000100B;   // "Control code is not supported."
constexpr uint32_t kStatusRequestTimedOut = 0xE000100C;  // "The request has been timed out."
constexpr uint32_t kStatusInvalidRecipient = 0xE000100D;
constexpr uint32_t kStatusBadDirection = 0xE0001010;     // "Invalid direction of read/write operation."
constexpr uint32_t kStatusVersionMismatch = 0xE000101C;  // "API Version does not match."

}  // namespace usbdrv

// Control codes of the driver, for DeviceIoControl.
namespace usbioctl {
constexpr uint32_t kGetDriverInfo = 0x8094206C;
constexpr uint32_t kGetDescriptor = 0x80942006;
constexpr uint32_t kSetConfiguration = 0x80942024;
constexpr uint32_t kDropConfiguration = 0x80942028;
constexpr uint32_t kBindPipe = 0x80942078;
constexpr uint32_t kUnbindPipe = 0x8094207C;
constexpr uint32_t kAbortPipe = 0x80942084;

constexpr uint32_t kDriverInfoSize = 12;
constexpr uint32_t kGetDescriptorInSize = 8;     // u32 recipient, u8 type, u8 index, u16 language
constexpr uint32_t kSetConfigurationSize = 260;  // u16 index, u16 count, 32 entries of 8 bytes
constexpr uint32_t kMaxConfigurationInterfaces = 32;
}  // namespace usbioctl

// The 12-byte driver information record; only the interface version is read.
struct UsbDriverInfo {
  uint16_t interfaceVersion;
  uint8_t reserved[10];
};

// The 260-byte set-configuration record.
#pragma pack(push, 1)
struct UsbInterfaceEntry {
  uint16_t interfaceNumber;
  uint16_t alternateSetting;
  uint32_t maxTransferSize;
};
struct UsbConfiguration {
  uint16_t configurationIndex;
  uint16_t interfaceCount;
  UsbInterfaceEntry interfaces[usbioctl::kMaxConfigurationInterfaces];
};
#pragma pack(pop)
static_assert(sizeof(UsbDriverInfo) == usbioctl::kDriverInfoSize, "driver info record is 12 bytes");
static_assert(sizeof(UsbConfiguration) == usbioctl::kSetConfigurationSize,
              "configuration record is 260 bytes");
