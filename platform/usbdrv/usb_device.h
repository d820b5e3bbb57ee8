// The contract between the user-space USB driver and the devices it serves.
//
// The driver (driver.cpp) knows nothing of any particular device. It offers the control codes and
// overlapped transfers of the USB driver interface to CreateFileA/DeviceIoControl/ReadFile/WriteFile
// callers, and turns them into calls on a UsbDevice. Devices come from device sources: in-process
// devices that tests attach directly, virtual loggers served by velmora-sim over a local socket, and
// (later) real devices through libusb. Every source implements only this header.
//
// Rules every device follows (each hook says whether it may block and what is locked):
//  * Control hooks (GetDescriptor, SetConfiguration, DropConfiguration) are synchronous. They may
//    block briefly (a socket round trip, a libusb control transfer). The driver holds no lock of its
//    own while calling them; they may be called from several threads at once.
//  * Submit never blocks. It returns 0 when the device accepted the transfer; the device then calls
//    UsbTransfer::Complete exactly once, from any thread, possibly before Submit returns. A non-zero
//    return means the transfer was refused and Complete is never called for it.
//  * Cancel never blocks and may be called for a transfer that has already completed. A transfer
//    that is still pending completes soon after with a failure status (kStatusCancelled).
//  * Complete is never called with a device lock held: the driver may submit again from inside it.
//  * After Unplug (or the device vanishing) every pending transfer completes with
//    kStatusDeviceRemoved, every later Submit and control request returns it, and the device is no
//    longer listed by its source.
//  * IN transfers: the device copies at most `capacity` bytes into `data` before Complete. The
//    buffer belongs to the driver and stays valid until Complete returns. OUT transfers: `data`
//    holds `length` bytes; the device must not keep the pointer after Complete.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/usbdrv/DriverInterface.h"

namespace usbdrv {

// One interface entry of a set-configuration request.
struct InterfaceSetting {
  uint16_t interfaceNumber = 0;
  uint16_t alternateSetting = 0;
  uint32_t maxTransferSize = 0;
};

// The decoded 260-byte set-configuration record: configuration index, then the entries.
struct ConfigurationRequest {
  uint16_t configurationIndex = 0;
  std::vector<InterfaceSetting> interfaces;
};

// One transfer on one endpoint, owned by the driver.
class UsbTransfer {
 public:
  virtual ~UsbTransfer() = default;
  uint8_t endpoint = 0;     // USB endpoint address; bit 7 set for IN
  uint8_t* data = nullptr;  // IN: room for `capacity` bytes; OUT: `length` bytes to send
  uint32_t length = 0;      // OUT: bytes to send
  uint32_t capacity = 0;    // IN: bytes the host can take
  bool IsIn() const { return (endpoint & 0x80) != 0; }
  // Ends the transfer with a status (0 for success) and the number of bytes moved. Exactly once.
  virtual void Complete(uint32_t status, uint32_t actual) = 0;
};

class UsbDevice {
 public:
  virtual ~UsbDevice() = default;

  // Stable identity of the device within its source; part of its device-interface path.
  virtual std::string InstanceId() const = 0;

  // Standard GET_DESCRIPTOR: copies at most `capacity` bytes into `buffer`, stores the count.
  virtual uint32_t GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId, uint8_t* buffer,
                                 uint32_t capacity, uint32_t* returned) = 0;
  virtual uint32_t SetConfiguration(const ConfigurationRequest& request) = 0;
  virtual uint32_t DropConfiguration() = 0;
  // True when the device is configured and its configuration has this endpoint (may be bound).
  virtual bool HasEndpoint(uint8_t endpoint) const = 0;

  virtual uint32_t Submit(UsbTransfer* transfer) = 0;
  virtual void Cancel(UsbTransfer* transfer) = 0;

  // False once the device has been unplugged or has vanished.
  virtual bool Present() const = 0;
};

// A source of devices. List() gives the present devices in a stable order.
class DeviceSource {
 public:
  virtual ~DeviceSource() = default;
  virtual std::vector<std::shared_ptr<UsbDevice>> List() = 0;
};

// Sources are consulted in order of rank (lower first), then in the order they were added.
// The driver's device numbers count the concatenated lists from 0.
void AddSource(std::shared_ptr<DeviceSource> source, int rank);
void RemoveSource(const std::shared_ptr<DeviceSource>& source);

// Ranks of the built-in sources.
constexpr int kRankHardware = 0;    // real loggers through libusb
constexpr int kRankInProcess = 10;  // devices attached by tests
constexpr int kRankVirtual = 20;    // velmora-sim processes

// All present devices of all sources, in driver order (what device numbers count).
std::vector<std::shared_ptr<UsbDevice>> ListDevices();

}  // namespace usbdrv
