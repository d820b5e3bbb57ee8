// The logger's endpoint addresses, for every test, fuzz target and benchmark. Written out here
// rather than taken from the link or the device model, so that a test notices when either changes.
#pragma once

#include <cstdint>

namespace ep {
constexpr uint8_t kAnswerIn = 0x85;    // answers to commands
constexpr uint8_t kDatIn = 0x81;       // measurement records and memory reads
constexpr uint8_t kDebugIn = 0x83;     // debug lines
constexpr uint8_t kCommandOut = 0x04;  // commands
constexpr uint8_t kDatOut = 0x02;      // data to the logger (the firmware image)
}  // namespace ep
