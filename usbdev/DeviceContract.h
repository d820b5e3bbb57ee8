// The contract between the user-space USB driver and the devices it serves.
//
// The driver (platform/usbdrv/Driver.cpp) knows nothing of any particular device. It offers the
// control codes and overlapped transfers of the USB driver interface to CreateFileA/DeviceIoControl/
// ReadFile/WriteFile callers, and turns them into calls on a UsbDevice. Devices come from device
// sources (platform/usbdrv/DeviceSource.h): in-process devices that tests attach directly, virtual
// loggers served by velmora-sim over a local socket, and real loggers through libusb. A device
// implements only this header; NullDevice.h is the smallest one.
//
// Locks: the driver never holds a lock of its own while it calls a device hook. The Setup API module
// and a device source may hold their own list lock while they call InstanceId or Present, so those
// two never block and never call back into the driver. Hooks may be called from several threads at
// once.
//
// Transfers:
//  * Submit returns 0 when the device accepted the transfer; the device then calls
//    UsbTransfer::Complete exactly once, from any thread, possibly before Submit returns. A non-zero
//    return means the transfer was refused and Complete is never called for it.
//  * Cancel may come for a transfer that has already completed, or, when an abort races with
//    Submit, before the device has seen it; the device ignores those. A transfer that is still
//    pending completes soon after with a failure status (kStatusCancelled).
//  * After an unplug (or the device vanishing) every pending transfer completes with
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

#include "usbdev/DeviceStatus.h"

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
  // Called by the device with none of its own locks held: the driver takes the handle's lock and
  // wakes the caller, who may submit again at once. Does not block.
  virtual void Complete(uint32_t status, uint32_t actual) = 0;
};

class UsbDevice {
 public:
  virtual ~UsbDevice() = default;

  // Stable identity of the device within its source; part of its device-interface path.
  // Never blocks; may be called with the Setup API module's list lock held.
  virtual std::string InstanceId() const = 0;

  // Control hooks. Synchronous: they may block briefly (a socket round trip, a libusb control
  // transfer), bounded by the device's own time-out. No lock is held.
  // Standard GET_DESCRIPTOR: copies at most `capacity` bytes into `buffer`, stores the count.
  virtual uint32_t GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId, uint8_t* buffer,
                                 uint32_t capacity, uint32_t* returned) = 0;
  virtual uint32_t SetConfiguration(const ConfigurationRequest& request) = 0;
  virtual uint32_t DropConfiguration() = 0;
  // True when the device is configured and its configuration has this endpoint (may be bound).
  // Never blocks; no lock is held.
  virtual bool HasEndpoint(uint8_t endpoint) const = 0;

  // Never blocks; no lock is held. See "Transfers" above.
  virtual uint32_t Submit(UsbTransfer* transfer) = 0;
  // Never blocks; no lock is held.
  virtual void Cancel(UsbTransfer* transfer) = 0;

  // False once the device has been unplugged or has vanished. Never blocks; a source may call it
  // with its own list lock held.
  virtual bool Present() const = 0;

  // A driver handle on the device has been opened or closed. A device that holds something for the
  // process while it is in use (a claimed interface) lets it go when the last handle closes; what the
  // device itself was told (its configuration) stays. No lock is held; HandleClosed may block briefly.
  virtual void HandleOpened() {}
  virtual void HandleClosed() {}
};

}  // namespace usbdrv
