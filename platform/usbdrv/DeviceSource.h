// The driver's registry of device sources: where the devices that CreateFileA and the Setup API
// module see come from.
#pragma once

#include <memory>
#include <vector>

#include "usbdev/DeviceContract.h"

namespace usbdrv {

// A source of devices. List() gives the present devices in a stable order. It may block briefly (a
// socket connect); the driver calls it without its registry lock, from any thread.
class DeviceSource {
 public:
  virtual ~DeviceSource() = default;
  virtual std::vector<std::shared_ptr<UsbDevice>> List() = 0;
  // The enumerator that the Setup API's device instance ids of this source's devices begin with, as
  // on Windows: "USB" for devices on the USB bus, another name for virtual ones. It is what tells a
  // real logger from a virtual one, whatever instance id a virtual device gives itself.
  virtual const char* Enumerator() const { return kEnumeratorRoot; }
  static constexpr char kEnumeratorUsb[] = "USB";
  static constexpr char kEnumeratorRoot[] = "ROOT";
  static constexpr char kEnumeratorVirtual[] = "VELMORASIM";
};

// Sources are consulted in order of rank (lower first), then in the order they were added.
// The driver's device numbers count the concatenated lists from 0.
void AddSource(std::shared_ptr<DeviceSource> source, int rank);
void RemoveSource(const std::shared_ptr<DeviceSource>& source);

// Ranks of the built-in sources.
constexpr int kRankHardware = 0;    // real loggers through libusb
constexpr int kRankInProcess = 10;  // devices attached by tests
constexpr int kRankVirtual = 20;    // velmora-sim processes

// All present devices of all sources, in driver order (what device numbers count), and, when asked
// for, the enumerator of each device's source.
std::vector<std::shared_ptr<UsbDevice>> ListDevices(std::vector<const char*>* enumerators = nullptr);

}  // namespace usbdrv
