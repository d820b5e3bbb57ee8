// Statuses the USB I/O layer itself returns. Those it shares with the driver are the driver's
// numbers; the 0xE00011xx ones are this layer's own.
#pragma once

#include <cstdint>

#include "platform/usbdrv/DriverInterface.h"

namespace usbstatus {
constexpr uint32_t kSuccess = usbdrv::kStatusSuccess;
constexpr uint32_t kNoMemory = usbdrv::kStatusNoMemory;        // allocation or event creation failed
constexpr uint32_t kFailed = usbdrv::kStatusOperationFailed;   // operation failed
constexpr uint32_t kTimeout = usbdrv::kStatusRequestTimedOut;  // a wait ran out
constexpr uint32_t kPoweredDown = usbdrv::kStatusPoweredDown;  // not counted as a failure by the workers
constexpr uint32_t kVersionMismatch = usbdrv::kStatusVersionMismatch;  // driver interface version refused
constexpr uint32_t kDeviceNotFound = 0xE0001100;                       // the open path does not exist
constexpr uint32_t kNotOpen = 0xE0001102;                              // request on a closed object
constexpr uint32_t kNoSuchInstance = 0xE0001104;                       // device number past the list
constexpr uint32_t kInvalidParameter = 0xE0001105;                     // lookup without list or GUID
constexpr uint32_t kSetupApiMissing = 0xE0001106;  // setupapi.dll or one of its functions missing
constexpr uint32_t kAlreadyOpen = 0xE0001107;      // open on an open object
constexpr uint32_t kPending = 997;                 // ERROR_IO_PENDING: transfer in flight
}  // namespace usbstatus
