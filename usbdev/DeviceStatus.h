// The statuses a device reports through the device contract. They are the USB stack's and the
// driver's own numbers: the driver hands them to its callers unchanged.
#pragma once

#include <cstdint>

namespace usbdrv {

constexpr uint32_t kStatusSuccess = 0;
constexpr uint32_t kStatusStallPid = 0xE0000004;         // "HC Error: stall PID."
constexpr uint32_t kStatusNotResponding = 0xE0000005;    // "HC Error: Device not responding."
constexpr uint32_t kStatusDataOverrun = 0xE0000008;      // "HC Error: Data Overrun."
constexpr uint32_t kStatusEndpointHalted = 0xE0000030;   // "USBD Error: Endpoint halted."
constexpr uint32_t kStatusNoMemory = 0xE0000100;         // "USBD Error: No system memory."
constexpr uint32_t kStatusRequestFailed = 0xE0000500;    // "USBD Error: Request failed."
constexpr uint32_t kStatusTimeout = 0xE0006000;          // "USBD Error: Timeout."
constexpr uint32_t kStatusCancelled = 0xE0010000;        // "USBD Error: cancelled."
constexpr uint32_t kStatusOperationFailed = 0xE0001000;  // "Operation failed."
constexpr uint32_t kStatusNotConfigured = 0xE0001006;    // "USB device is not configured."
constexpr uint32_t kStatusDeviceRemoved = 0xE000100A;    // "Device is removed."
constexpr uint32_t kStatusPipeNotFound = 0xE0001013;     // "Pipe not found."
constexpr uint32_t kStatusInvalidParameter = 0xE0001018;
constexpr uint32_t kStatusPoweredDown = 0xE000101B;      // "Device powered down."
constexpr uint32_t kStatusSetConfigFailed = 0xE000101D;  // "Set configuration failed."
constexpr uint32_t kStatusExclusive =
    0xE0001020;  // "The device is acquired by another process for exclusive use."

}  // namespace usbdrv
