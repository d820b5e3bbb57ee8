// The smallest device: present, but without descriptors, configuration or endpoints. It refuses
// every request and never completes a transfer. A starting point for a new device, and a check of
// what the driver does when a device says no to everything.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "usbdev/DeviceContract.h"

namespace usbdrv {

class NullDevice : public UsbDevice {
 public:
  explicit NullDevice(std::string instanceId) : instanceId_(std::move(instanceId)) {}

  std::string InstanceId() const override { return instanceId_; }
  uint32_t GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId, uint8_t* buffer, uint32_t capacity,
                         uint32_t* returned) override;
  uint32_t SetConfiguration(const ConfigurationRequest& request) override;
  uint32_t DropConfiguration() override;
  bool HasEndpoint(uint8_t endpoint) const override;
  uint32_t Submit(UsbTransfer* transfer) override;
  void Cancel(UsbTransfer* transfer) override;
  bool Present() const override { return true; }

 private:
  const std::string instanceId_;
};

}  // namespace usbdrv
