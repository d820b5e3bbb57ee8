// The virtual-logger source: one connected device object per velmora-sim socket in the run folder.
//
// Each device object owns one stream connection and one receive thread. Control requests wait for
// their reply (bounded); transfers are sent and forgotten until their completion arrives, which the
// receive thread delivers with no lock held. The end of the stream is an unplug.
#include "platform/usbdrv/socket_source.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/usbdrv/DeviceSource.h"
#include "usbdev/DeviceContract.h"
#include "usbdev/SocketProtocol.h"

namespace usbdrv {
namespace {

using vsock::Header;

std::atomic<unsigned> g_replyTimeoutMs{2000};
// A sim that accepts but never greets us (stopped, or not a sim at all) is skipped after this.
constexpr time_t kHelloTimeoutSeconds = 2;

void SetReceiveTimeout(int fd, time_t seconds) {
  timeval tv{};
  tv.tv_sec = seconds;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
}

// The state of one connection. The receive thread holds its own reference, so it may outlive the
// device object if that object is ever released on the receive thread itself.
class Link {
 public:
  explicit Link(int fd) : fd_(fd), reader_(fd) {}
  ~Link() { ::close(fd_); }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Reads the sim's greeting; false if it is not one we understand.
  bool ReadHello() {
    Header h;
    const uint8_t* payload = nullptr;
    uint32_t size = 0;
    if (!reader_.Next(&h, &payload, &size)) return false;
    if (h.type != vsock::kHello || h.value != vsock::kVersion || size < 1 || size < 1u + payload[0])
      return false;
    endpoints_.assign(payload + 1, payload + 1 + payload[0]);
    instanceId_.assign(reinterpret_cast<const char*>(payload) + 1 + payload[0], size - 1 - payload[0]);
    return !instanceId_.empty();
  }

  const std::string& InstanceId() const { return instanceId_; }
  bool Present() const { return present_.load(std::memory_order_acquire); }

  bool HasEndpoint(uint8_t endpoint) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return Present() && configured_ && IsEndpoint(endpoint);
  }

  // A control request: sends it and waits for the reply.
  uint32_t Request(uint8_t type, const void* payload, size_t size, std::vector<uint8_t>* reply) {
    Header h;
    h.type = type;
    Waiter waiter;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (ended_ || !Present()) return kStatusDeviceRemoved;
      h.id = nextId_++;
      waiters_[h.id] = &waiter;
    }
    // A failed send ends the receive loop, which answers the waiter with kStatusDeviceRemoved.
    if (!Send(vsock::Frame(h, payload, size))) MarkGone();
    std::unique_lock<std::mutex> lock(mutex_);
    const bool answered = replied_.wait_for(lock, std::chrono::milliseconds(g_replyTimeoutMs.load()),
                                            [&waiter] { return waiter.done; });
    waiters_.erase(h.id);
    if (!answered) return kStatusNotResponding;
    if (reply != nullptr) *reply = std::move(waiter.payload);
    return waiter.status;
  }

  void SetConfigured(bool configured) {
    std::lock_guard<std::mutex> lock(mutex_);
    configured_ = configured;
  }

  uint32_t Submit(UsbTransfer* transfer) {
    if (transfer == nullptr) return kStatusInvalidParameter;
    const bool in = transfer->IsIn();
    const uint32_t size = in ? transfer->capacity : transfer->length;
    if (size > vsock::kMaxMessage - vsock::kHeaderSize) return kStatusInvalidParameter;
    Header h;
    h.type = vsock::kSubmit;
    h.endpoint = transfer->endpoint;
    h.value = in ? size : 0;
    // The OUT bytes are copied now: once the transfer is registered, the receive loop may complete
    // it (the connection breaking) and its owner may free the buffer.
    std::vector<uint8_t> message = vsock::Frame(h, in ? nullptr : transfer->data, in ? 0 : size);
    uint32_t id = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (ended_ || !Present()) return kStatusDeviceRemoved;
      if (!configured_) return kStatusNotConfigured;
      if (!IsEndpoint(h.endpoint)) return kStatusPipeNotFound;
      id = nextId_++;
      transfers_[id] = transfer;
      ids_[transfer] = id;
    }
    std::memcpy(message.data() + offsetof(Header, id), &id, sizeof(id));
    if (Send(message)) return kStatusSuccess;
    MarkGone();
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = transfers_.find(id);
    if (it == transfers_.end()) return kStatusSuccess;  // the receive loop has completed it already
    ids_.erase(transfer);
    transfers_.erase(it);
    return kStatusDeviceRemoved;
  }

  void Cancel(UsbTransfer* transfer) {
    Header h;
    h.type = vsock::kCancel;
    {
      // Only compared: the transfer may have completed and be gone.
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = ids_.find(transfer);
      if (it == ids_.end()) return;
      h.id = it->second;
    }
    if (!Send(vsock::Frame(h, nullptr, 0))) MarkGone();
  }

  // Unplug: the receive loop sees the end of the stream and fails everything still pending.
  void MarkGone() {
    present_.store(false, std::memory_order_release);
    ::shutdown(fd_, SHUT_RDWR);
  }

  void Run() {
    Header h;
    const uint8_t* payload = nullptr;
    uint32_t size = 0;
    while (reader_.Next(&h, &payload, &size)) {
      if (h.type == vsock::kComplete) {
        UsbTransfer* transfer = nullptr;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          auto it = transfers_.find(h.id);
          if (it != transfers_.end()) {
            transfer = it->second;
            ids_.erase(transfer);
            transfers_.erase(it);
          }
        }
        if (transfer == nullptr) continue;
        uint32_t actual = 0;
        if (transfer->IsIn()) {
          actual = std::min(size, transfer->capacity);
          if (actual > 0) std::memcpy(transfer->data, payload, actual);
        } else {
          actual = std::min(h.value, transfer->length);
        }
        if (h.status == kStatusDeviceRemoved) MarkGone();
        transfer->Complete(h.status, actual);
      } else if (h.type == vsock::kReply) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          auto it = waiters_.find(h.id);
          if (it != waiters_.end()) {
            it->second->status = h.status;
            it->second->payload.assign(payload, payload + size);
            it->second->done = true;
          }
        }
        replied_.notify_all();
        if (h.status == kStatusDeviceRemoved) MarkGone();
      } else {
        break;  // not our protocol: treat the device as gone
      }
    }

    std::vector<UsbTransfer*> orphans;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      present_.store(false, std::memory_order_release);
      ended_ = true;
      for (const auto& t : transfers_) orphans.push_back(t.second);
      transfers_.clear();
      ids_.clear();
      for (const auto& w : waiters_) {
        w.second->status = kStatusDeviceRemoved;
        w.second->done = true;
      }
    }
    replied_.notify_all();
    ::shutdown(fd_, SHUT_RDWR);
    for (UsbTransfer* t : orphans) t->Complete(kStatusDeviceRemoved, 0);
  }

 private:
  struct Waiter {
    bool done = false;
    uint32_t status = 0;
    std::vector<uint8_t> payload;
  };

  bool IsEndpoint(uint8_t endpoint) const {
    return std::find(endpoints_.begin(), endpoints_.end(), endpoint) != endpoints_.end();
  }

  bool Send(const std::vector<uint8_t>& message) {
    std::lock_guard<std::mutex> lock(sendMutex_);
    return vsock::SendAll(fd_, message);
  }

  const int fd_;
  vsock::MessageReader reader_;  // the receive thread's (and ReadHello's, before it starts)
  std::string instanceId_;
  std::vector<uint8_t> endpoints_;
  std::atomic<bool> present_{true};

  std::mutex sendMutex_;  // one message at a time on the stream

  mutable std::mutex mutex_;
  std::condition_variable replied_;
  bool configured_ = false;
  bool ended_ = false;
  uint32_t nextId_ = 1;
  std::map<uint32_t, UsbTransfer*> transfers_;
  std::unordered_map<const UsbTransfer*, uint32_t> ids_;
  std::map<uint32_t, Waiter*> waiters_;
};

void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v & 0xFF));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

class SocketDevice : public UsbDevice {
 public:
  explicit SocketDevice(std::shared_ptr<Link> link) : link_(std::move(link)) {
    receiver_ = std::thread([link = link_] { link->Run(); });
  }
  ~SocketDevice() override {
    link_->MarkGone();
    if (receiver_.joinable()) {
      if (receiver_.get_id() == std::this_thread::get_id()) {
        receiver_.detach();  // the loop holds the link and ends at once
      } else {
        receiver_.join();
      }
    }
  }

  // Connects to a sim's socket and reads its greeting; null with errno's value in `error` on failure.
  static std::shared_ptr<SocketDevice> Connect(const std::string& path, int* error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) {
      *error = ENAMETOOLONG;
      return nullptr;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // Non-blocking only for the connect: a full backlog then fails at once instead of waiting.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
      *error = errno;
      return nullptr;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
      *error = errno;
      ::close(fd);
      return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    auto link = std::make_shared<Link>(fd);
    SetReceiveTimeout(fd, kHelloTimeoutSeconds);
    if (!link->ReadHello()) {
      *error = EPROTO;
      return nullptr;
    }
    SetReceiveTimeout(fd, 0);
    return std::make_shared<SocketDevice>(std::move(link));
  }

  std::string InstanceId() const override { return link_->InstanceId(); }

  uint32_t GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId, uint8_t* buffer, uint32_t capacity,
                         uint32_t* returned) override {
    if (returned != nullptr) *returned = 0;
    if (buffer == nullptr) capacity = 0;
    std::vector<uint8_t> request{type, index};
    Put16(request, languageId);
    Put32(request, capacity);
    std::vector<uint8_t> reply;
    const uint32_t status = link_->Request(vsock::kGetDescriptor, request.data(), request.size(), &reply);
    if (status != kStatusSuccess) return status;
    const uint32_t n = std::min<uint32_t>(capacity, static_cast<uint32_t>(reply.size()));
    if (n > 0) std::memcpy(buffer, reply.data(), n);
    if (returned != nullptr) *returned = n;
    return kStatusSuccess;
  }

  uint32_t SetConfiguration(const ConfigurationRequest& request) override {
    std::vector<uint8_t> payload;
    Put16(payload, request.configurationIndex);
    Put16(payload, static_cast<uint16_t>(request.interfaces.size()));
    for (const InterfaceSetting& i : request.interfaces) {
      Put16(payload, i.interfaceNumber);
      Put16(payload, i.alternateSetting);
      Put32(payload, i.maxTransferSize);
    }
    const uint32_t status = link_->Request(vsock::kSetConfiguration, payload.data(), payload.size(), nullptr);
    if (status == kStatusSuccess) link_->SetConfigured(true);
    return status;
  }

  uint32_t DropConfiguration() override {
    const uint32_t status = link_->Request(vsock::kDropConfiguration, nullptr, 0, nullptr);
    if (status == kStatusSuccess) link_->SetConfigured(false);
    return status;
  }

  bool HasEndpoint(uint8_t endpoint) const override { return link_->HasEndpoint(endpoint); }
  uint32_t Submit(UsbTransfer* transfer) override { return link_->Submit(transfer); }
  void Cancel(UsbTransfer* transfer) override { link_->Cancel(transfer); }
  bool Present() const override { return link_->Present(); }

  // Pulls the plug from this side; the receive loop fails whatever is pending.
  void Disconnect() { link_->MarkGone(); }

 private:
  std::shared_ptr<Link> link_;
  std::thread receiver_;
};

// The "*.sock" names of the folder in byte order (hidden files are the sims' sockets being made).
std::vector<std::string> SocketNames(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return names;
  static const std::string suffix = ".sock";
  while (const dirent* entry = ::readdir(d)) {
    const std::string name = entry->d_name;
    if (name.size() > suffix.size() && name[0] != '.' &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      names.push_back(name);
    }
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

class VirtualLoggerSource : public DeviceSource {
 public:
  void Activate(std::string runDir) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    runDir_ = std::move(runDir);
    active_ = true;
  }

  std::string RunDir() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return runDir_;
  }

  bool Active() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return active_;
  }

  std::vector<std::shared_ptr<UsbDevice>> List() override {
    std::vector<std::shared_ptr<UsbDevice>> listed;
    std::map<std::string, std::shared_ptr<SocketDevice>> released;
    {
      // One listing at a time: connections are made and dropped under this lock.
      std::lock_guard<std::mutex> lock(listMutex_);
      if (!Active()) return listed;
      const std::string dir = RunDir();
      std::map<std::string, std::shared_ptr<SocketDevice>> now;
      for (const std::string& name : SocketNames(dir)) {
        const std::string path = dir + "/" + name;
        auto cached = devices_.find(path);
        std::shared_ptr<SocketDevice> device;
        if (cached != devices_.end() && cached->second->Present()) {
          device = cached->second;
        } else {
          int error = 0;
          device = SocketDevice::Connect(path, &error);
          // Nobody listens: its sim was killed. A live sim only ever shows a listening socket.
          if (!device && error == ECONNREFUSED) ::unlink(path.c_str());
        }
        if (device) {
          listed.push_back(device);
          now.emplace(path, std::move(device));
        }
      }
      released.swap(devices_);
      devices_ = std::move(now);
    }
    // Devices that went away are released here, without the lock: closing one joins its thread.
    return listed;
  }

  // Deactivates the source and hands over every connection it holds.
  std::map<std::string, std::shared_ptr<SocketDevice>> TakeAll() {
    std::lock_guard<std::mutex> lock(listMutex_);
    {
      std::lock_guard<std::mutex> state(stateMutex_);
      active_ = false;
    }
    return std::move(devices_);
  }

 private:
  std::mutex listMutex_;
  std::map<std::string, std::shared_ptr<SocketDevice>> devices_;  // by socket path; under listMutex_

  mutable std::mutex stateMutex_;
  std::string runDir_;
  bool active_ = false;
};

struct Registry {
  std::mutex mutex;
  std::shared_ptr<VirtualLoggerSource> source;
  bool enabled = false;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;  // never destroyed: the driver may list during exit
  return *registry;
}

}  // namespace

void EnableVirtualLoggers(const std::string& runDir) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (!r.source) r.source = std::make_shared<VirtualLoggerSource>();
  r.source->Activate(runDir.empty() ? DefaultVirtualLoggerRunDir() : runDir);
  if (!r.enabled) AddSource(r.source, kRankVirtual);
  r.enabled = true;
}

void DisableVirtualLoggers() {
  std::map<std::string, std::shared_ptr<SocketDevice>> devices;
  {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!r.enabled) return;
    RemoveSource(r.source);
    r.enabled = false;
    devices = r.source->TakeAll();
  }
  // Open handles may still hold a device: it is unplugged all the same.
  for (const auto& d : devices) d.second->Disconnect();
  // Released here: each closes its connection and joins its receive thread.
}

std::string VirtualLoggerRunDir() {
  Registry& r = TheRegistry();
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.enabled) return r.source->RunDir();
  }
  return DefaultVirtualLoggerRunDir();
}

void SetVirtualLoggerReplyTimeout(unsigned milliseconds) {
  g_replyTimeoutMs.store(milliseconds);
}

}  // namespace usbdrv
