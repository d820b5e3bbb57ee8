// The virtual-logger source: one connected device object per velmora-sim socket in the run folder.
//
// Each device object owns one stream connection and one receive thread. Control requests wait for
// their reply (bounded); transfers are sent and forgotten until their completion arrives, which the
// receive thread delivers with no lock held. The end of the stream is an unplug, and so is a message
// the peer does not take within a second: no send waits on a peer longer than that.
#include "platform/usbdrv/SocketSource.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/usbdrv/DeviceSource.h"
#include "platform/win32.h"
#include "usbdev/DeviceContract.h"
#include "usbdev/SocketProtocol.h"

namespace usbdrv {
namespace {

using vsock::Header;
using Clock = std::chrono::steady_clock;

std::atomic<unsigned> g_replyTimeoutMs{2000};
// Every new socket of a listing greets within this, counted once for all of them: a sim greets at
// once, so one that does not (stopped, or not a sim at all) costs a listing this much and no more.
constexpr auto kGreetingDeadline = std::chrono::milliseconds(1500);
// A message the peer does not take within this ends the connection: the device counts as unplugged.
constexpr auto kSendDeadline = std::chrono::milliseconds(1000);
// A socket that failed is skipped until it changes; one that only failed to greet in time is tried
// again after this, in case its sim was merely slow.
constexpr auto kRetryAfterTimeout = std::chrono::seconds(30);

// Text from outside (a path from the environment) goes into a log line with its control bytes shown.
std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

void Report(const std::string& line) {
  OutputDebugStringA(("Virtual loggers: " + line + "\n").c_str());
}

// The state of one connection. The receive thread holds its own reference, so it may outlive the
// device object if that object is ever released on the receive thread itself.
class Link {
 public:
  // `fd` is connected and its greeting read, nothing more.
  Link(int fd, std::string instanceId, std::vector<uint8_t> endpoints)
      : fd_(fd), reader_(fd), instanceId_(std::move(instanceId)), endpoints_(std::move(endpoints)) {}
  ~Link() { ::close(fd_); }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  const std::string& InstanceId() const { return instanceId_; }
  bool Present() const { return present_.load(std::memory_order_acquire); }
  // The peer broke the protocol or stopped taking messages: its socket is not worth a new connection.
  bool Misbehaved() const { return misbehaved_.load(std::memory_order_acquire); }

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
    Send(vsock::Frame(h, payload, size));
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
    Send(vsock::Frame(h, nullptr, 0));
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
    // A frame is refused on its header when it is larger than what it can answer: a reply carries
    // at most a descriptor, a completion at most what its transfer asked for.
    auto fits = [this](const Header& header) {
      const uint32_t payloadSize = header.size - vsock::kHeaderSize;
      if (header.type == vsock::kReply) return payloadSize <= kMaxReplyPayload;
      if (header.type != vsock::kComplete) return false;
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = transfers_.find(header.id);
      const uint32_t room = it != transfers_.end() && it->second->IsIn() ? it->second->capacity : 0;
      return payloadSize <= room;
    };
    while (reader_.Next(&h, &payload, &size, fits)) {
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
      }
    }
    // A frame refused is the peer's fault; the end of the stream or a reset is an unplug.
    if (Present() && reader_.Refused()) misbehaved_.store(true, std::memory_order_release);

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

  // One message, within kSendDeadline counted from the call (waiting for the stream included). A
  // peer that does not take it in time is treated as unplugged.
  bool Send(const std::vector<uint8_t>& message) {
    const auto deadline = Clock::now() + kSendDeadline;
    bool sent = false, timedOut = true;
    {
      std::unique_lock<std::mutex> lock(sendMutex_);
      if (sendFree_.wait_until(lock, deadline, [this] { return !sending_; })) {
        sending_ = true;
        lock.unlock();
        sent = vsock::SendAll(fd_, message.data(), message.size(), deadline);
        timedOut = !sent && errno == ETIMEDOUT;
        lock.lock();
        sending_ = false;
      }
    }
    sendFree_.notify_one();
    if (sent) return true;
    // Not taken in time (rather than a connection that broke) is the peer's fault.
    if (Present() && timedOut) misbehaved_.store(true, std::memory_order_release);
    MarkGone();
    return false;
  }

  // The longest descriptor a request can ask for.
  static constexpr uint32_t kMaxReplyPayload = 0xFFFF;

  const int fd_;
  vsock::MessageReader reader_;  // the receive thread's
  const std::string instanceId_;
  const std::vector<uint8_t> endpoints_;
  std::atomic<bool> present_{true};
  std::atomic<bool> misbehaved_{false};

  // One message at a time on the stream; a sender waits for its turn only until its deadline.
  std::mutex sendMutex_;
  std::condition_variable sendFree_;
  bool sending_ = false;

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

// What tells a socket file from a new one of the same name.
struct SocketFile {
  std::string name;
  dev_t device = 0;
  ino_t inode = 0;
  int64_t modified = 0;  // ns
  uid_t owner = 0;
  bool SameAs(const SocketFile& o) const {
    return device == o.device && inode == o.inode && modified == o.modified;
  }
};

class SocketDevice : public UsbDevice {
 public:
  SocketDevice(std::shared_ptr<Link> link, SocketFile file) : link_(std::move(link)), file_(std::move(file)) {
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
    std::lock_guard<std::mutex> lock(holdMutex_);
    const uint32_t status = link_->Request(vsock::kSetConfiguration, payload.data(), payload.size(), nullptr);
    if (status == kStatusSuccess) {
      link_->SetConfigured(true);
      holding_ = true;
    }
    return status;
  }

  uint32_t DropConfiguration() override {
    std::lock_guard<std::mutex> lock(holdMutex_);
    const uint32_t status = link_->Request(vsock::kDropConfiguration, nullptr, 0, nullptr);
    if (status == kStatusSuccess) {
      link_->SetConfigured(false);
      holding_ = false;
    }
    return status;
  }

  void HandleOpened() override {
    std::lock_guard<std::mutex> lock(holdMutex_);
    ++handles_;
  }

  // The sim gives the logger to one connection at a time, the one whose configuration it took. The
  // scan configures every logger to see whether another program has it and only closes its handle:
  // without this the logger would stay this process's while it lives, and every other program would
  // find it in use. A later handle configures it again before it uses a pipe; under the lock, a
  // handle opened meanwhile configures only after the drop.
  void HandleClosed() override {
    std::lock_guard<std::mutex> lock(holdMutex_);
    if (handles_ > 0) --handles_;
    if (handles_ > 0 || !holding_) return;
    link_->Request(vsock::kDropConfiguration, nullptr, 0, nullptr);
    link_->SetConfigured(false);
    // A drop that failed leaves the logger with this connection until it configures again or ends.
    holding_ = false;
  }

  bool HasEndpoint(uint8_t endpoint) const override { return link_->HasEndpoint(endpoint); }
  uint32_t Submit(UsbTransfer* transfer) override { return link_->Submit(transfer); }
  void Cancel(UsbTransfer* transfer) override { link_->Cancel(transfer); }
  bool Present() const override { return link_->Present(); }

  // Pulls the plug from this side; the receive loop fails whatever is pending.
  void Disconnect() { link_->MarkGone(); }
  bool Misbehaved() const { return link_->Misbehaved(); }
  const SocketFile& File() const { return file_; }

 private:
  std::shared_ptr<Link> link_;
  const SocketFile file_;
  std::thread receiver_;
  std::mutex holdMutex_;
  int handles_ = 0;       // driver handles open on the device, under holdMutex_
  bool holding_ = false;  // the sim gave this process the logger, under holdMutex_
};

// The "*.sock" sockets of the folder in byte order (hidden files are the sims' sockets being made).
// Anything else of such a name (a file, a FIFO, a symbolic link) is no sim's and is left alone.
std::vector<SocketFile> SocketFiles(int dirFd) {
  std::vector<SocketFile> files;
  const int listFd = ::dup(dirFd);  // fdopendir takes its descriptor over
  DIR* d = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
  if (d == nullptr) {
    if (listFd >= 0) ::close(listFd);
    return files;
  }
  static const std::string suffix = ".sock";
  while (const dirent* entry = ::readdir(d)) {
    const std::string name = entry->d_name;
    struct stat info {};
    if (name.size() > suffix.size() && name[0] != '.' &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
        ::fstatat(dirFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(info.st_mode)) {
      files.push_back({name, info.st_dev, info.st_ino,
                       static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
                       info.st_uid});
    }
  }
  ::closedir(d);
  std::sort(files.begin(), files.end(),
            [](const SocketFile& a, const SocketFile& b) { return a.name < b.name; });
  return files;
}

// A new connection whose greeting is being read: first its header, then the rest of the message,
// and not one byte further, so that the link's reader starts at the next message.
struct Greeting {
  SocketFile file;
  int fd = -1;
  std::vector<uint8_t> bytes = std::vector<uint8_t>(vsock::kHeaderSize);
  size_t got = 0;
  bool done = false;
  std::string why;  // set when it failed
  std::string instanceId;
  std::vector<uint8_t> endpoints;

  bool Reading() const { return !done && why.empty(); }

  void Parse() {
    const uint8_t* payload = bytes.data() + vsock::kHeaderSize;
    const size_t size = bytes.size() - vsock::kHeaderSize;
    const size_t count = payload[0];
    if (1 + count > size) {
      why = "its greeting is malformed";
      return;
    }
    endpoints.assign(payload + 1, payload + 1 + count);
    instanceId.assign(reinterpret_cast<const char*>(payload) + 1 + count, size - 1 - count);
    if (!vsock::IsValidInstanceId(instanceId)) {
      why = "its instance id is not 1 to 64 printable characters";
      return;
    }
    done = true;
  }

  // Takes what the socket holds now.
  void ReadSome() {
    while (Reading()) {
      const ssize_t n = ::recv(fd, bytes.data() + got, bytes.size() - got, MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      if (n <= 0) {
        why = "it hung up without a greeting";
        return;
      }
      got += static_cast<size_t>(n);
      if (got < bytes.size()) continue;
      if (bytes.size() > vsock::kHeaderSize) {
        Parse();
        return;
      }
      Header h;
      std::memcpy(&h, bytes.data(), vsock::kHeaderSize);
      if (h.type != vsock::kHello || h.value != vsock::kVersion || h.size <= vsock::kHeaderSize ||
          h.size > vsock::kMaxHello) {
        why = "it does not greet as a virtual logger";
        return;
      }
      bytes.resize(h.size);
    }
  }
};

// Reads every greeting, all at once, until `deadline`.
void ReadGreetings(std::vector<Greeting>& greetings, Clock::time_point deadline) {
  for (;;) {
    std::vector<pollfd> fds;
    std::vector<Greeting*> waiting;
    for (Greeting& g : greetings) {
      if (!g.Reading()) continue;
      fds.push_back({g.fd, POLLIN, 0});
      waiting.push_back(&g);
    }
    if (waiting.empty()) return;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || (::poll(fds.data(), fds.size(), static_cast<int>(left)) < 0 && errno != EINTR)) {
      for (Greeting* g : waiting) g->why = "no greeting in time";
      return;
    }
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents != 0) waiting[i]->ReadSome();
    }
  }
}

// Starts a connection to a socket of the folder: the descriptor, or -1 with errno set.
int StartConnection(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  // Non-blocking: a full backlog fails at once instead of waiting, and the greeting is polled for.
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
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

  const char* Enumerator() const override { return kEnumeratorVirtual; }
  std::vector<std::shared_ptr<UsbDevice>> List() override {
    std::vector<std::shared_ptr<UsbDevice>> listed;
    std::vector<std::shared_ptr<SocketDevice>> released;
    // One listing at a time: connections are made and dropped under this lock. Devices that went
    // away are released after it (declared before it, so destroyed after): closing one joins its thread.
    std::lock_guard<std::mutex> lock(listMutex_);
    if (!Active()) return listed;
    const std::string dir = RunDir();
    std::string why;
    const int dirFd = OpenRunDir(dir, &why);
    if (dirFd < 0) {
      if (!why.empty() && why != refusal_) Report("not using the run folder " + Printable(dir) + ": " + why);
      refusal_ = why;
      for (auto& d : devices_) released.push_back(std::move(d.second));
      devices_.clear();
      return listed;
    }
    refusal_.clear();

    const auto now = Clock::now();
    const std::vector<SocketFile> files = SocketFiles(dirFd);
    std::map<std::string, std::shared_ptr<SocketDevice>> connected;
    std::vector<Greeting> greetings;
    for (const SocketFile& file : files) {
      auto cached = devices_.find(file.name);
      if (cached != devices_.end() && cached->second->File().SameAs(file)) {
        if (cached->second->Present()) {
          connected.emplace(file.name, cached->second);
          continue;
        }
        if (cached->second->Misbehaved())
          Remember(file, "it broke the protocol or stopped reading", false, now);
      }
      if (Skipped(file, now)) continue;
      const int fd = StartConnection(dir + "/" + file.name);
      if (fd < 0) {
        const int error = errno;
        if (error == EAGAIN) continue;  // a full backlog: a busy sim, tried again next time
        // Nobody listens: its sim was killed. Only our own sockets are cleared away.
        if (error == ECONNREFUSED && file.owner == ::getuid() && ::unlinkat(dirFd, file.name.c_str(), 0) == 0)
          continue;
        Remember(
            file,
            error == ECONNREFUSED ? "nobody listens, and it is not ours to remove" : std::strerror(error),
            false, now);
        continue;
      }
      if (!PeerIsThisUser(fd)) {
        ::close(fd);
        Remember(file, "it is served by another user", false, now);
        continue;
      }
      Greeting g;
      g.file = file;
      g.fd = fd;
      greetings.push_back(std::move(g));
    }
    ReadGreetings(greetings, now + kGreetingDeadline);
    for (Greeting& g : greetings) {
      if (!g.done) {
        ::close(g.fd);
        Remember(g.file, g.why, g.why == "no greeting in time", now);
        continue;
      }
      ::fcntl(g.fd, F_SETFL, ::fcntl(g.fd, F_GETFL) & ~O_NONBLOCK);  // the receive thread blocks
      auto link = std::make_shared<Link>(g.fd, g.instanceId, std::move(g.endpoints));
      connected.emplace(g.file.name, std::make_shared<SocketDevice>(std::move(link), g.file));
    }
    ::close(dirFd);

    // In name order; an instance id already taken (the driver finds devices by it, in any case) is
    // not listed, nor kept connected.
    std::set<std::string> ids;
    for (auto it = connected.begin(); it != connected.end();) {
      if (ids.insert(Lower(it->second->InstanceId())).second) {
        listed.push_back(it->second);
        ++it;
      } else {
        Remember(it->second->File(), "its instance id is taken by another virtual logger", true, now);
        released.push_back(std::move(it->second));
        it = connected.erase(it);
      }
    }
    // Failures of sockets that are gone are forgotten.
    for (auto it = failed_.begin(); it != failed_.end();) {
      const bool exists =
          std::any_of(files.begin(), files.end(), [&](const SocketFile& f) { return f.name == it->first; });
      it = exists ? std::next(it) : failed_.erase(it);
    }
    for (auto& d : devices_) released.push_back(std::move(d.second));
    devices_ = std::move(connected);
    return listed;
  }

  // Deactivates the source and hands over every connection it holds.
  std::map<std::string, std::shared_ptr<SocketDevice>> TakeAll() {
    std::lock_guard<std::mutex> lock(listMutex_);
    {
      std::lock_guard<std::mutex> state(stateMutex_);
      active_ = false;
    }
    failed_.clear();
    refusal_.clear();
    return std::move(devices_);
  }

 private:
  struct Failure {
    SocketFile file;
    Clock::time_point when;
    bool retry;  // tried again after kRetryAfterTimeout even if unchanged
  };

  // A socket that failed is skipped until it changes (one line says why, once).
  void Remember(const SocketFile& file, const std::string& why, bool retry, Clock::time_point now) {
    failed_[file.name] = Failure{file, now, retry};
    Report("skipping " + Printable(file.name) + ": " + why);
  }

  bool Skipped(const SocketFile& file, Clock::time_point now) {
    auto it = failed_.find(file.name);
    if (it == failed_.end()) return false;
    if (it->second.file.SameAs(file) && !(it->second.retry && now - it->second.when >= kRetryAfterTimeout))
      return true;
    failed_.erase(it);
    return false;
  }

  std::mutex listMutex_;
  // Under listMutex_: the connections by socket name, the sockets that failed, and why the folder
  // was refused the last time (reported once).
  std::map<std::string, std::shared_ptr<SocketDevice>> devices_;
  std::map<std::string, Failure> failed_;
  std::string refusal_;

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
