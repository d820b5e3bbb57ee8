// The in-process device source: devices that tests attach directly.
#include "platform/usbdrv/InProcessSource.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/usbdrv/DeviceSource.h"
#include "usbdev/PacketDevice.h"

namespace usbdrv {
namespace {

class InProcessSource : public DeviceSource {
 public:
  std::vector<std::shared_ptr<UsbDevice>> List() override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::shared_ptr<UsbDevice>> present;
    for (const auto& device : devices_) {
      if (device->Present()) present.push_back(device);
    }
    return present;
  }

  void Attach(std::shared_ptr<UsbDevice> device) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::find(devices_.begin(), devices_.end(), device) == devices_.end())
      devices_.push_back(std::move(device));
  }

  // Removes the device from the list; true when it was there.
  bool Remove(const std::shared_ptr<UsbDevice>& device) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find(devices_.begin(), devices_.end(), device);
    if (it == devices_.end()) return false;
    devices_.erase(it);
    return true;
  }

  std::vector<std::shared_ptr<UsbDevice>> TakeAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::move(devices_);
  }

 private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<UsbDevice>> devices_;  // attach order
};

// Registered with the driver on first use and kept for the life of the process.
InProcessSource& Source() {
  static std::shared_ptr<InProcessSource>* source = [] {
    auto* s = new std::shared_ptr<InProcessSource>(std::make_shared<InProcessSource>());
    AddSource(*s, kRankInProcess);
    return s;
  }();
  return **source;
}

void Unplug(const std::shared_ptr<UsbDevice>& device) {
  // Only packet devices can be pulled out; any other device just leaves the list.
  if (auto* packet = dynamic_cast<PacketDevice*>(device.get())) packet->Unplug();
}

}  // namespace

void AttachDevice(std::shared_ptr<UsbDevice> device) {
  if (device) Source().Attach(std::move(device));
}

void DetachDevice(const std::shared_ptr<UsbDevice>& device) {
  // Out of the list first, so nobody opens it while its transfers end.
  if (device && Source().Remove(device)) Unplug(device);
}

void DetachAllDevices() {
  for (const auto& device : Source().TakeAll()) Unplug(device);
}

}  // namespace usbdrv
