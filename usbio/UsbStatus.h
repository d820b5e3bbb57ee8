// Statuses the USB I/O layer itself returns (driver and stack statuses are in the status table).
#pragma once

#include <cstdint>

namespace usbstatus {
constexpr uint32_t kSuccess = 0x00000000;
constexpr uint32_t kNoMemory = 0xE0000100;          // allocation or event creation failed
constexpr uint32_t kFailed = 0xE0001000;            // operation failed
constexpr uint32_t kTimeout = 0xE000100C;           // a wait ran out
constexpr uint32_t kPoweredDown = 0xE000101B;       // not counted as a failure by the workers
constexpr uint32_t kVersionMismatch = 0xE000101C;   // driver interface version refused
constexpr uint32_t kDeviceNotFound = 0xE0001100;    // the open path does not exist
constexpr uint32_t kNotOpen = 0xE0001102;           // request on a closed object
constexpr uint32_t kNoSuchInstance = 0xE0001104;    // device number past the list
constexpr uint32_t kInvalidParameter = 0xE0001105;  // lookup without list or GUID
constexpr uint32_t kSetupApiMissing = 0xE0001106;   // setupapi.dll or one of its functions missing
constexpr uint32_t kAlreadyOpen = 0xE0001107;       // open on an open object
constexpr uint32_t kPending = 997;                  // ERROR_IO_PENDING: transfer in flight
}  // namespace usbstatus

// Control codes of the USB driver interface.
namespace usbioctl {
constexpr uint32_t kGetDriverInfo = 0x8094206C;
constexpr uint32_t kGetDescriptor = 0x80942006;
constexpr uint32_t kSetConfiguration = 0x80942024;
constexpr uint32_t kDropConfiguration = 0x80942028;
constexpr uint32_t kBindPipe = 0x80942078;
constexpr uint32_t kUnbindPipe = 0x8094207C;
constexpr uint32_t kAbortPipe = 0x80942084;

constexpr uint32_t kDriverInfoSize = 12;
constexpr uint32_t kGetDescriptorInSize = 8;
constexpr uint32_t kSetConfigurationSize = 260;  // u16 index, u16 count, 32 entries of 8 bytes
constexpr uint32_t kMaxConfigurationInterfaces = 32;
}  // namespace usbioctl
