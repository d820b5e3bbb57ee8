// An emulated USB bus for the hardware source's tests: umockdev gives libusb a sysfs tree and device
// nodes, and every usbdevfs request on a node is answered from a device model (the same virtual Velmora
// that the sim serves), so that libusb talks to it as to a real device.
//
// libusb in the test process sees the bus only with umockdev's preload library loaded (ctest sets
// LD_PRELOAD; by hand: umockdev-wrapper ./test_usb).
//
// The emulated node differs from a kernel one in one way: it always polls as ready, so libusb's event
// thread asks for completed URBs in a loop. When there is nothing to reap, the answer is held back a
// little (up to 2 ms, released at once when a URB completes) to keep that loop from burning a core.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "usbdev/DeviceContract.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace usbemu {

// True when umockdev's preload library is active in this process.
bool InMockEnvironment();

// One device node, answering usbdevfs requests from a device model.
class EmulatedNode {
 public:
  EmulatedNode(std::shared_ptr<usbdrv::UsbDevice> model, unsigned address);
  ~EmulatedNode();
  EmulatedNode(const EmulatedNode&) = delete;
  EmulatedNode& operator=(const EmulatedNode&) = delete;

  // Pulled out: URBs in flight end as on a disconnect, later requests fail with ENODEV.
  void Unplug();

  // Observations.
  int ClientsOpened() const;    // file descriptors opened on the node so far
  bool Claimed() const;         // some open descriptor holds interface 0
  size_t UrbsInFlight() const;  // submitted and not yet reaped
  size_t UrbsInFlight(uint8_t endpoint) const;
  uint64_t UrbsReaped() const;
  uint64_t Discards() const;  // DISCARDURB requests that found their URB still at the device

  // The umockdev handler (for the bus).
  UMockdevIoctlBase* Handler() const { return handler_; }

 private:
  struct Urb;
  static int OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);
  static void OnClientConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);
  static void OnClientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);

  void Handle(UMockdevIoctlClient* client);
  void Submit(UMockdevIoctlClient* client);
  void Reap(UMockdevIoctlClient* client);
  void Discard(UMockdevIoctlClient* client);
  void Completed(Urb* urb, uint32_t status, uint32_t actual);
  void Vanished(UMockdevIoctlClient* client);
  void HoldLoop();

  const std::shared_ptr<usbdrv::UsbDevice> model_;
  const unsigned address_;
  UMockdevIoctlBase* handler_ = nullptr;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool gone_ = false;
  bool stopping_ = false;
  std::map<uintptr_t, std::unique_ptr<Urb>> urbs_;  // by the client's URB address
  std::deque<Urb*> reapable_;
  std::map<UMockdevIoctlClient*, bool> claims_;  // client -> has claimed interface 0
  UMockdevIoctlClient* held_ = nullptr;          // a reap waiting for something to reap
  int emptyReaps_ = 0;
  int clientsOpened_ = 0;
  uint64_t reaped_ = 0;
  uint64_t discards_ = 0;
  std::thread holder_;
};

// Bus 1 with its root hub; devices are plugged into its ports.
class EmulatedBus {
 public:
  EmulatedBus();
  ~EmulatedBus();
  EmulatedBus(const EmulatedBus&) = delete;
  EmulatedBus& operator=(const EmulatedBus&) = delete;

  // Plugs a device in at a root-hub port: sysfs entry "1-<port>", the next free address, its node
  // /dev/bus/usb/001/<address>. The model's device and configuration descriptors go to sysfs, where
  // libusb reads them at enumeration.
  EmulatedNode& Plug(int port, std::shared_ptr<usbdrv::UsbDevice> model);
  // Pulls the device at that port out: its node fails from now on, and its sysfs entry goes with a
  // "remove" event.
  void Unplug(int port);
  EmulatedNode* At(int port);

 private:
  struct Slot {
    std::string syspath;
    std::string devnode;
    std::unique_ptr<EmulatedNode> node;
  };
  UMockdevTestbed* testbed_ = nullptr;
  std::string root_;
  std::string hub_;
  unsigned nextAddress_ = 2;
  std::map<int, Slot> ports_;
  std::vector<Slot> unplugged_;  // kept until the end: libusb may still hold their nodes open
};

}  // namespace usbemu
