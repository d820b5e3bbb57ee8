#include "usbdev/NullDevice.h"

namespace usbdrv {

// A device with nothing to describe stalls the control pipe.
uint32_t NullDevice::GetDescriptor(uint8_t, uint8_t, uint16_t, uint8_t*, uint32_t, uint32_t* returned) {
  if (returned != nullptr) *returned = 0;
  return kStatusStallPid;
}

uint32_t NullDevice::SetConfiguration(const ConfigurationRequest&) {
  return kStatusSetConfigFailed;
}

uint32_t NullDevice::DropConfiguration() {
  return kStatusNotConfigured;
}

bool NullDevice::HasEndpoint(uint8_t) const {
  return false;
}

// Refused, so Complete is never called for it.
uint32_t NullDevice::Submit(UsbTransfer*) {
  return kStatusNotConfigured;
}

// Nothing is ever pending.
void NullDevice::Cancel(UsbTransfer*) {}

}  // namespace usbdrv
