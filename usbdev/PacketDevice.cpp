#include "usbdev/PacketDevice.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

namespace usbdrv {
namespace {

constexpr uint8_t kTypeDevice = 1;
constexpr uint8_t kTypeConfiguration = 2;
constexpr uint8_t kTypeString = 3;
constexpr uint8_t kMaxPacket = 64;

// A string descriptor: 2-byte header, then the text as UTF-16LE (the text is taken as Latin-1).
std::vector<uint8_t> StringDescriptor(const std::string& text) {
  const size_t chars = std::min<size_t>(text.size(), 126);  // bLength is one byte
  std::vector<uint8_t> d{static_cast<uint8_t>(2 + 2 * chars), kTypeString};
  for (size_t i = 0; i < chars; ++i) {
    d.push_back(static_cast<uint8_t>(text[i]));
    d.push_back(0);
  }
  return d;
}

bool IsInEndpoint(uint8_t endpoint) {
  return (endpoint & 0x80) != 0;
}

}  // namespace

PacketDevice::PacketDevice(std::string instanceId, uint16_t vendorId, uint16_t productId,
                           const std::string* serial, std::vector<uint8_t> endpoints)
    : instanceId_(std::move(instanceId)),
      serial_(serial ? *serial : std::string()),
      hasSerial_(serial != nullptr) {
  deviceDescriptor_ = {18,
                       kTypeDevice,
                       0x10,
                       0x01,  // USB 1.1
                       0xFF,  // vendor-specific class
                       0x00,
                       0x00,
                       kMaxPacket,
                       static_cast<uint8_t>(vendorId & 0xFF),
                       static_cast<uint8_t>(vendorId >> 8),
                       static_cast<uint8_t>(productId & 0xFF),
                       static_cast<uint8_t>(productId >> 8),
                       0x00,
                       0x01,  // device release 1.00
                       1,     // iManufacturer
                       2,     // iProduct
                       static_cast<uint8_t>(hasSerial_ ? 3 : 0),
                       1};  // one configuration

  for (uint8_t e : endpoints) endpoints_[e];
  const size_t total = 9 + 9 + 7 * endpoints_.size();
  configDescriptor_ = {
      9,    kTypeConfiguration, static_cast<uint8_t>(total & 0xFF), static_cast<uint8_t>(total >> 8), 1, 1, 0,
      0x80,  // bus powered
      50};   // 100 mA
  const uint8_t interfaceDescriptor[] = {9, 4, 0, 0, static_cast<uint8_t>(endpoints_.size()), 0xFF, 0, 0, 0};
  configDescriptor_.insert(configDescriptor_.end(), std::begin(interfaceDescriptor),
                           std::end(interfaceDescriptor));
  for (const auto& e : endpoints_) {
    const uint8_t endpointDescriptor[] = {7, 5, e.first, 0x02 /* bulk */, kMaxPacket, 0, 0};
    configDescriptor_.insert(configDescriptor_.end(), std::begin(endpointDescriptor),
                             std::end(endpointDescriptor));
  }
}

PacketDevice::~PacketDevice() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    paceStop_ = true;
  }
  paceWake_.notify_all();
  if (paceThread_.joinable()) paceThread_.join();
  // Nothing should be pending by now (the driver cancels before it lets go of a device), but a
  // transfer must never be left without its completion.
  std::vector<Completion> completions;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    UnplugLocked(completions);
  }
  RunCompletions(completions);
}

std::string PacketDevice::InstanceId() const {
  return instanceId_;
}

uint32_t PacketDevice::GetDescriptor(uint8_t type, uint8_t index, uint16_t, uint8_t* buffer,
                                     uint32_t capacity, uint32_t* returned) {
  if (returned != nullptr) *returned = 0;
  std::vector<uint8_t> reply;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!present_) return kStatusDeviceRemoved;
    if (descriptorFailure_ != 0) return descriptorFailure_;
    auto raw = rawDescriptors_.find(static_cast<uint16_t>(type << 8 | index));
    if (raw != rawDescriptors_.end()) {
      reply = raw->second;
    } else if (type == kTypeDevice && index == 0) {
      reply = deviceDescriptor_;
    } else if (type == kTypeConfiguration && index == 0) {
      reply = configDescriptor_;
    } else if (type == kTypeString && index == 0) {
      reply = {4, kTypeString, 0x09, 0x04};  // one language: English (US)
    } else if (type == kTypeString && index == 1) {
      reply = StringDescriptor("Velmora");
    } else if (type == kTypeString && index == 2) {
      reply = StringDescriptor("Velmora Logger");
    } else if (type == kTypeString && index == 3 && hasSerial_) {
      reply = StringDescriptor(serial_);
    } else {
      return kStatusStallPid;  // a device stalls a request for a descriptor it does not have
    }
  }
  // Like a real control transfer, a short buffer gets the first bytes.
  const uint32_t n =
      buffer == nullptr ? 0 : std::min<uint32_t>(capacity, static_cast<uint32_t>(reply.size()));
  if (n > 0) std::memcpy(buffer, reply.data(), n);
  if (returned != nullptr) *returned = n;
  return kStatusSuccess;
}

uint32_t PacketDevice::SetConfiguration(const ConfigurationRequest& request) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!present_) return kStatusDeviceRemoved;
    if (configurationFailure_ != 0) return configurationFailure_;
    if (request.configurationIndex != 0 || request.interfaces.size() != 1 ||
        request.interfaces[0].interfaceNumber != 0 || request.interfaces[0].alternateSetting != 0) {
      return kStatusSetConfigFailed;
    }
    configured_ = true;
  }
  OnConfigured();
  return kStatusSuccess;
}

uint32_t PacketDevice::DropConfiguration() {
  // Transfers already pending stay so until they are cancelled; new ones and binds are refused.
  std::lock_guard<std::mutex> lock(mutex_);
  if (!present_) return kStatusDeviceRemoved;
  configured_ = false;
  return kStatusSuccess;
}

uint32_t PacketDevice::Submit(UsbTransfer* transfer) {
  if (transfer == nullptr) return kStatusInvalidParameter;
  std::vector<Completion> completions;
  std::vector<uint8_t> written;
  bool handOut = false;
  const uint8_t endpoint = transfer->endpoint;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!present_) return kStatusDeviceRemoved;
    if (!configured_) return kStatusNotConfigured;
    auto it = endpoints_.find(endpoint);
    if (it == endpoints_.end() || IsInEndpoint(endpoint) != transfer->IsIn()) return kStatusPipeNotFound;
    Endpoint& ep = it->second;
    if (ep.failCount > 0) {
      --ep.failCount;
      completions.push_back({transfer, ep.failStatus, 0});
    } else if (ep.stalled) {
      ep.pending.push_back(transfer);
    } else if (transfer->IsIn()) {
      ep.pending.push_back(transfer);
      if (pacePerMs_ > 0) {
        paceWake_.notify_one();
      } else {
        MatchLocked(endpoint, ep, completions);
      }
    } else if (pacePerMs_ > 0) {
      // A paced write waits for its turn on the bus like a read does.
      ep.pending.push_back(transfer);
      paceWake_.notify_one();
    } else {
      // The bytes are handed on after the completion, when the transfer's buffer is gone.
      written.assign(transfer->data, transfer->data + transfer->length);
      ++ep.done;
      completions.push_back({transfer, kStatusSuccess, transfer->length});
      handOut = true;
    }
  }
  RunCompletions(completions);
  if (handOut) OnOut(endpoint, written.data(), written.size());
  return kStatusSuccess;
}

void PacketDevice::Cancel(UsbTransfer* transfer) {
  // The transfer may have completed already, so it is only compared, never dereferenced.
  std::vector<Completion> completions;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& e : endpoints_) {
      auto& pending = e.second.pending;
      auto it = std::find(pending.begin(), pending.end(), transfer);
      if (it != pending.end()) {
        pending.erase(it);
        completions.push_back({transfer, kStatusCancelled, 0});
        break;
      }
    }
  }
  RunCompletions(completions);
}

bool PacketDevice::Present() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return present_;
}

bool PacketDevice::HasEndpoint(uint8_t endpoint) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return present_ && configured_ && endpoints_.count(endpoint) != 0;
}

void PacketDevice::QueueIn(uint8_t endpoint, const uint8_t* data, size_t size) {
  std::vector<Completion> completions;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = endpoints_.find(endpoint);
    if (!present_ || it == endpoints_.end() || !IsInEndpoint(endpoint)) return;
    it->second.queued.emplace_back(data, data + size);
    if (pacePerMs_ > 0) {
      paceWake_.notify_one();
    } else {
      MatchLocked(endpoint, it->second, completions);
    }
  }
  RunCompletions(completions);
}

size_t PacketDevice::QueuedIn(uint8_t endpoint) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = endpoints_.find(endpoint);
  return it == endpoints_.end() ? 0 : it->second.queued.size();
}

size_t PacketDevice::PendingReads(uint8_t endpoint) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = endpoints_.find(endpoint);
  return it == endpoints_.end() || !IsInEndpoint(endpoint) ? 0 : it->second.pending.size();
}

std::vector<std::vector<uint8_t>> PacketDevice::TakeOut(uint8_t endpoint) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = endpoints_.find(endpoint);
  if (it == endpoints_.end()) return {};
  return std::move(it->second.written);
}

bool PacketDevice::Configured() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return configured_;
}

void PacketDevice::SetRawDescriptor(uint8_t type, uint8_t index, std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  rawDescriptors_[static_cast<uint16_t>(type << 8 | index)] = std::move(bytes);
}

void PacketDevice::FailDescriptors(uint32_t status) {
  std::lock_guard<std::mutex> lock(mutex_);
  descriptorFailure_ = status;
}

void PacketDevice::RefuseConfiguration(uint32_t status) {
  std::lock_guard<std::mutex> lock(mutex_);
  configurationFailure_ = status;
}

void PacketDevice::Stall(uint8_t endpoint, bool stalled) {
  std::vector<Completion> completions;
  std::vector<std::vector<uint8_t>> written;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = endpoints_.find(endpoint);
    if (it == endpoints_.end()) return;
    Endpoint& ep = it->second;
    ep.stalled = stalled;
    if (!stalled && present_) {
      // The endpoint takes again what waited for it.
      if (pacePerMs_ > 0) {
        paceWake_.notify_one();
      } else if (IsInEndpoint(endpoint)) {
        MatchLocked(endpoint, ep, completions);
      } else {
        while (!ep.pending.empty()) WriteOneLocked(ep, completions, written);
      }
    }
  }
  RunCompletions(completions);
  for (const auto& packet : written) OnOut(endpoint, packet.data(), packet.size());
}

void PacketDevice::FailNext(uint8_t endpoint, uint32_t status, int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = endpoints_.find(endpoint);
  if (it == endpoints_.end()) return;
  it->second.failStatus = status;
  it->second.failCount = std::max(count, 0);
}

void PacketDevice::UnplugAfterIn(uint8_t endpoint, long packets) {
  std::vector<Completion> completions;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    unplugEndpoint_ = endpoint;
    unplugAfter_ = packets;
    auto it = endpoints_.find(endpoint);
    if (packets >= 0 && it != endpoints_.end() && it->second.done >= static_cast<uint64_t>(packets)) {
      UnplugLocked(completions);
    }
  }
  RunCompletions(completions);
}

void PacketDevice::Unplug() {
  std::vector<Completion> completions;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    UnplugLocked(completions);
  }
  RunCompletions(completions);
}

void PacketDevice::SetPace(double packetsPerMs) {
  std::vector<Completion> completions;
  std::vector<std::pair<uint8_t, std::vector<uint8_t>>> written;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pacePerMs_ = packetsPerMs > 0 ? packetsPerMs : 0;
    if (pacePerMs_ > 0 && !paceThread_.joinable()) paceThread_ = std::thread(&PacketDevice::PaceLoop, this);
    if (pacePerMs_ == 0 && present_) {
      // Unpaced again: whatever waited for the pacer goes now.
      for (auto& e : endpoints_) {
        if (IsInEndpoint(e.first)) {
          MatchLocked(e.first, e.second, completions);
        } else if (!e.second.stalled) {
          std::vector<std::vector<uint8_t>> packets;
          while (!e.second.pending.empty()) WriteOneLocked(e.second, completions, packets);
          for (auto& p : packets) written.emplace_back(e.first, std::move(p));
        }
      }
    }
  }
  paceWake_.notify_all();
  RunCompletions(completions);
  for (const auto& w : written) OnOut(w.first, w.second.data(), w.second.size());
}

uint64_t PacketDevice::PacketsRead(uint8_t endpoint) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = endpoints_.find(endpoint);
  return it == endpoints_.end() || !IsInEndpoint(endpoint) ? 0 : it->second.done;
}

uint64_t PacketDevice::PacketsWritten(uint8_t endpoint) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = endpoints_.find(endpoint);
  return it == endpoints_.end() || IsInEndpoint(endpoint) ? 0 : it->second.done;
}

void PacketDevice::OnOut(uint8_t endpoint, const uint8_t* data, size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = endpoints_.find(endpoint);
  if (it != endpoints_.end()) it->second.written.emplace_back(data, data + size);
}

void PacketDevice::MatchLocked(uint8_t endpoint, Endpoint& ep, std::vector<Completion>& out) {
  while (present_ && !ep.stalled && !ep.queued.empty() && !ep.pending.empty()) {
    UsbTransfer* t = ep.pending.front();
    ep.pending.pop_front();
    const std::vector<uint8_t>& packet = ep.queued.front();
    // A packet longer than the read is cut, as the header says.
    const uint32_t n = std::min<uint32_t>(t->capacity, static_cast<uint32_t>(packet.size()));
    if (n > 0) std::memcpy(t->data, packet.data(), n);
    ep.queued.pop_front();
    ++ep.done;
    out.push_back({t, kStatusSuccess, n});
    if (unplugAfter_ >= 0 && endpoint == unplugEndpoint_ && ep.done >= static_cast<uint64_t>(unplugAfter_)) {
      UnplugLocked(out);
    }
    // Paced delivery moves one packet per call.
    if (pacePerMs_ > 0) break;
  }
}

void PacketDevice::WriteOneLocked(Endpoint& ep, std::vector<Completion>& out,
                                  std::vector<std::vector<uint8_t>>& written) {
  UsbTransfer* t = ep.pending.front();
  ep.pending.pop_front();
  // The bytes are copied now: the transfer's buffer may be gone once it has completed.
  written.emplace_back(t->data, t->data + t->length);
  ++ep.done;
  out.push_back({t, kStatusSuccess, t->length});
}

void PacketDevice::RunCompletions(std::vector<Completion>& completions) {
  for (const Completion& c : completions) c.transfer->Complete(c.status, c.actual);
  completions.clear();
}

void PacketDevice::UnplugLocked(std::vector<Completion>& out) {
  if (!present_) return;
  present_ = false;
  for (auto& e : endpoints_) {
    for (UsbTransfer* t : e.second.pending) out.push_back({t, kStatusDeviceRemoved, 0});
    e.second.pending.clear();
    e.second.queued.clear();
  }
  paceWake_.notify_all();
}

void PacketDevice::PaceLoop() {
  using Clock = std::chrono::steady_clock;
  std::unique_lock<std::mutex> lock(mutex_);
  std::vector<Completion> completions;
  std::vector<std::pair<uint8_t, std::vector<uint8_t>>> written;
  double tokens = 0;
  Clock::time_point last = Clock::now();
  // IN and OUT share the bus: a read moves when a packet waits for it, a write as soon as it came.
  auto ready = [](uint8_t endpoint, const Endpoint& ep) {
    return !ep.stalled && !ep.pending.empty() && (!IsInEndpoint(endpoint) || !ep.queued.empty());
  };
  while (!paceStop_) {
    bool anyReady = false;
    if (present_ && pacePerMs_ > 0) {
      for (const auto& e : endpoints_) anyReady = anyReady || ready(e.first, e.second);
    }
    if (!anyReady) {
      // The bus is idle while nothing can move; time spent here earns no packets.
      paceWake_.wait(lock);
      last = Clock::now();
      continue;
    }
    const Clock::time_point now = Clock::now();
    const double elapsedMs = std::chrono::duration<double, std::milli>(now - last).count();
    last = now;
    // At most two milliseconds' worth in one burst, so a late wake-up does not flood the host.
    tokens = std::min(tokens + elapsedMs * pacePerMs_, std::max(1.0, 2 * pacePerMs_));
    if (tokens < 1) {
      const auto wait = std::chrono::duration<double, std::milli>((1 - tokens) / pacePerMs_);
      paceWake_.wait_until(lock, now + std::chrono::duration_cast<Clock::duration>(wait));
      continue;
    }
    // One transfer per ready endpoint per round, as the host controller polls them in turn.
    bool moved = true;
    while (tokens >= 1 && moved && present_) {
      moved = false;
      for (auto& e : endpoints_) {
        if (tokens < 1 || !present_) break;
        if (!ready(e.first, e.second)) continue;
        if (IsInEndpoint(e.first)) {
          MatchLocked(e.first, e.second, completions);
          tokens -= 1;
        } else {
          // A write longer than one packet occupies the bus for all its packets; the debt is
          // paid off before anything else moves.
          const uint32_t length = e.second.pending.front()->length;
          tokens -= std::max<uint32_t>(1, (length + kMaxPacket - 1) / kMaxPacket);
          std::vector<std::vector<uint8_t>> packets;
          WriteOneLocked(e.second, completions, packets);
          written.emplace_back(e.first, std::move(packets.front()));
        }
        moved = true;
      }
    }
    if (!completions.empty() || !written.empty()) {
      lock.unlock();
      RunCompletions(completions);
      // As unpaced: the device sees a write after its transfer has completed.
      for (const auto& w : written) OnOut(w.first, w.second.data(), w.second.size());
      written.clear();
      lock.lock();
    }
  }
}

}  // namespace usbdrv
