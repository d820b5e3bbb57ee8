// Real loggers: USB devices with the logger's identifiers (0x11E3, 0x0005), reached through libusb-1.0,
// appear to the driver as attached devices, ahead of the virtual ones.
//
// Devices are listed by bus number, then port path. Each physical device is one cached device object,
// whatever number of driver handles use it, and it holds one libusb device handle. Transfers are
// asynchronous libusb transfers completed on one event thread. A device pulled out ends every pending
// transfer with kStatusDeviceRemoved and leaves the list; one plugged in is found by the next listing.
//
// Built only where libusb-1.0 is found (TARNWICK_HAVE_LIBUSB).
#pragma once

#include <cstdint>

namespace usbdrv {

// Starts libusb and its event thread and adds the hardware source (once). False when libusb cannot be
// started (no USB support on this system); the program then runs with virtual loggers only.
bool EnableHardwareLoggers();
// Removes the source: every device it listed is unplugged, its libusb handle closed, and libusb shut
// down. Enabling again starts afresh.
void DisableHardwareLoggers();

// The driver status for a libusb error code (libusb_error, 0 or negative) and for the final state of
// a transfer (libusb_transfer_status).
uint32_t StatusFromLibusbError(int error);
uint32_t StatusFromTransferStatus(int transferStatus);

}  // namespace usbdrv
