// A USB device made of plain packet queues, with fault switches.
//
// Device -> host (IN endpoints): QueueIn() appends packets; each pending read takes the oldest
// packet (at most its capacity; a longer packet is cut). With no packet queued a read stays pending,
// as a real bulk endpoint NAKs until it has data.
// Host -> device (OUT endpoints): every completed write is handed to OnOut(); the default keeps the
// packets for TakeOut().
//
// Derived devices (the virtual Velmora) override OnOut to act on commands and answer with QueueIn.
// OnOut runs on the thread that submitted the write (on the pacing thread when pacing is on), with no
// lock of this class held, so it may call QueueIn freely. Completions of reads happen on the thread
// that queued the packet or submitted the read, or on the pacing thread when pacing is on.
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

namespace usbdrv {

class PacketDevice : public UsbDevice {
 public:
  // Builds an 18-byte device descriptor with these identifiers; iSerialNumber is 3 when a serial
  // string is given, else 0. Endpoints: the addresses that may be bound (IN with bit 7 set).
  PacketDevice(std::string instanceId, uint16_t vendorId, uint16_t productId, const std::string* serial,
               std::vector<uint8_t> endpoints);
  ~PacketDevice() override;

  // UsbDevice
  std::string InstanceId() const override;
  uint32_t GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId, uint8_t* buffer, uint32_t capacity,
                         uint32_t* returned) override;
  uint32_t SetConfiguration(const ConfigurationRequest& request) override;
  uint32_t DropConfiguration() override;
  uint32_t Submit(UsbTransfer* transfer) override;
  void Cancel(UsbTransfer* transfer) override;
  bool Present() const override;
  bool HasEndpoint(uint8_t endpoint) const override;

  // Device side.
  void QueueIn(uint8_t endpoint, const uint8_t* data, size_t size);
  void QueueIn(uint8_t endpoint, const std::vector<uint8_t>& packet) {
    QueueIn(endpoint, packet.data(), packet.size());
  }
  size_t QueuedIn(uint8_t endpoint) const;  // packets not yet read by the host
  size_t PendingReads(uint8_t endpoint) const;
  std::vector<std::vector<uint8_t>> TakeOut(uint8_t endpoint);  // packets written by the host (default OnOut)
  bool Configured() const;

  // Raw descriptor replies, e.g. odd lengths; replaces what GetDescriptor returns for (type, index).
  void SetRawDescriptor(uint8_t type, uint8_t index, std::vector<uint8_t> bytes);

  // Faults.
  void FailDescriptors(uint32_t status);                        // every GET_DESCRIPTOR fails (0: off)
  void RefuseConfiguration(uint32_t status);                    // SET_CONFIGURATION fails (0: off); "in use"
  void Stall(uint8_t endpoint, bool stalled);                   // transfers stay pending until cancelled
  void FailNext(uint8_t endpoint, uint32_t status, int count);  // next `count` transfers fail
  void UnplugAfterIn(uint8_t endpoint, long packets);  // unplug once that many packets were read (<0: off)
  void Unplug();                                       // completes all pending with kStatusDeviceRemoved
  // Pace transfers at `packetsPerMs` packets per millisecond over all endpoints, IN and OUT, as they
  // share one bus (0: unpaced). A write counts one packet per 64 bytes begun. USB full-speed bulk
  // carries 19 packets of 64 bytes per millisecond.
  void SetPace(double packetsPerMs);

  // Counters for tests and benchmarks.
  uint64_t PacketsRead(uint8_t endpoint) const;
  uint64_t PacketsWritten(uint8_t endpoint) const;

 protected:
  // Called for every completed OUT transfer, after the transfer has completed.
  virtual void OnOut(uint8_t endpoint, const uint8_t* data, size_t size);
  // Called after SetConfiguration has succeeded.
  virtual void OnConfigured() {}

 private:
  struct Endpoint {
    std::deque<std::vector<uint8_t>> queued;    // IN: packets waiting for a read
    std::deque<UsbTransfer*> pending;           // transfers waiting
    std::vector<std::vector<uint8_t>> written;  // OUT: default sink
    bool stalled = false;
    uint32_t failStatus = 0;
    int failCount = 0;
    uint64_t done = 0;
  };
  struct Completion {
    UsbTransfer* transfer;
    uint32_t status;
    uint32_t actual;
  };

  // Pairs queued packets with pending reads; fills `out` with completions to run unlocked.
  void MatchLocked(uint8_t endpoint, Endpoint& ep, std::vector<Completion>& out);
  void RunCompletions(std::vector<Completion>& completions);
  void UnplugLocked(std::vector<Completion>& out);
  // Completes the oldest pending write of an OUT endpoint and keeps its bytes for OnOut.
  void WriteOneLocked(Endpoint& ep, std::vector<Completion>& out, std::vector<std::vector<uint8_t>>& written);
  void PaceLoop();

  const std::string instanceId_;
  std::vector<uint8_t> deviceDescriptor_;
  std::vector<uint8_t> configDescriptor_;
  std::map<uint16_t, std::vector<uint8_t>> rawDescriptors_;  // (type << 8 | index)
  std::string serial_;
  bool hasSerial_;

  mutable std::mutex mutex_;
  std::condition_variable paceWake_;
  std::map<uint8_t, Endpoint> endpoints_;
  bool present_ = true;
  bool configured_ = false;
  uint32_t descriptorFailure_ = 0;
  uint32_t configurationFailure_ = 0;
  uint8_t unplugEndpoint_ = 0;
  long unplugAfter_ = -1;
  double pacePerMs_ = 0;
  bool paceStop_ = false;
  std::thread paceThread_;
};

}  // namespace usbdrv
