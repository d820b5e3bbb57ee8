// The in-process device source: tests, benchmarks and the fault campaign attach devices directly.
#pragma once

#include <memory>

#include "usbdev/DeviceContract.h"

namespace usbdrv {

// Attach adds a device to the driver's list (after any devices attached before); Detach takes it
// off the list and unplugs it (a packet device; any other device just leaves the list).
void AttachDevice(std::shared_ptr<UsbDevice> device);
void DetachDevice(const std::shared_ptr<UsbDevice>& device);
void DetachAllDevices();

}  // namespace usbdrv
