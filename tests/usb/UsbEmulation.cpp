#include "UsbEmulation.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "usbdev/PacketDevice.h"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace usbemu {
namespace {

// umockdev hands every request to its worker thread, and the node back, through GLib's futex-based
// queues, which ThreadSanitizer cannot see: those hand-overs are marked for it by hand.
#if defined(__SANITIZE_THREAD__)
void HandedOver(void* node) {
  __tsan_release(node);
}
void TakenOver(void* node) {
  __tsan_acquire(node);
}
#else
void HandedOver(void*) {}
void TakenOver(void*) {}
#endif

constexpr uint8_t kTypeDevice = 1;
constexpr uint8_t kTypeConfiguration = 2;
constexpr auto kLongestHold = std::chrono::microseconds(2000);

// The URB status a kernel gives for a transfer that ended with this driver status.
int UrbStatus(uint32_t status) {
  switch (status) {
    case usbdrv::kStatusSuccess:
      return 0;
    case usbdrv::kStatusCancelled:
      return -ENOENT;  // unlinked by DISCARDURB
    case usbdrv::kStatusDeviceRemoved:
      return -ESHUTDOWN;  // the host controller let go of a disconnected device
    case usbdrv::kStatusStallPid:
    case usbdrv::kStatusEndpointHalted:
      return -EPIPE;
    case usbdrv::kStatusDataOverrun:
      return -EOVERFLOW;
    default:
      return -EPROTO;
  }
}

std::vector<uint8_t> Descriptor(usbdrv::UsbDevice& model, uint8_t type) {
  std::vector<uint8_t> bytes(4096);
  uint32_t n = 0;
  if (model.GetDescriptor(type, 0, 0, bytes.data(), static_cast<uint32_t>(bytes.size()), &n) != 0) n = 0;
  bytes.resize(n);
  return bytes;
}

std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*x", digits, value);
  return text;
}

// Reads the pointer-sized ioctl argument (the client's address or value).
uintptr_t ArgValue(UMockdevIoctlData* arg) {
  uintptr_t value = 0;
  std::memcpy(&value, arg->data, std::min<size_t>(sizeof value, static_cast<size_t>(arg->data_len)));
  return value;
}

void Finish(UMockdevIoctlClient* client, long result, int error) {
  umockdev_ioctl_client_complete(client, result, error);
}

}  // namespace

bool InMockEnvironment() {
  return umockdev_in_mock_environment();
}

// One URB of a client: the resolved copy of the client's usbdevfs_urb and of its buffer, which umockdev
// writes back to the client when the URB is reaped.
struct EmulatedNode::Urb : usbdrv::UsbTransfer {
  EmulatedNode* node = nullptr;
  UMockdevIoctlClient* client = nullptr;
  UMockdevIoctlData* urbData = nullptr;
  UMockdevIoctlData* bufferData = nullptr;
  uintptr_t address = 0;
  bool atDevice = false;  // handed to the model and not completed yet
  int urbStatus = 0;
  uint32_t actual = 0;

  ~Urb() override {
    if (bufferData != nullptr) g_object_unref(bufferData);
    if (urbData != nullptr) g_object_unref(urbData);
  }
  usbdevfs_urb* Fields() { return reinterpret_cast<usbdevfs_urb*>(urbData->data); }
  void Complete(uint32_t status, uint32_t moved) override { node->Completed(this, status, moved); }
};

EmulatedNode::EmulatedNode(std::shared_ptr<usbdrv::UsbDevice> model, unsigned address)
    : model_(std::move(model)), address_(address) {
  std::lock_guard<std::mutex> lock(mutex_);  // publishes the fields to umockdev's worker thread
  handler_ = umockdev_ioctl_base_new();
  g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&EmulatedNode::OnIoctl), this);
  g_signal_connect(handler_, "client-connected", G_CALLBACK(&EmulatedNode::OnClientConnected), this);
  g_signal_connect(handler_, "client-vanished", G_CALLBACK(&EmulatedNode::OnClientVanished), this);
  holder_ = std::thread([this] { HoldLoop(); });
  HandedOver(this);
}

EmulatedNode::~EmulatedNode() {
  TakenOver(this);  // the worker thread's last request on this node came before
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  holder_.join();
  g_signal_handlers_disconnect_by_data(handler_, this);
  g_object_unref(handler_);
  // URBs still at the model are told to end before their records go.
  std::vector<Urb*> atDevice;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& u : urbs_)
      if (u.second->atDevice) atDevice.push_back(u.second.get());
  }
  for (Urb* u : atDevice) model_->Cancel(u);
  // Cancel does not wait: the model completes each cancelled URB soon after, perhaps on a thread of
  // its own, and that completion still uses this node.
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait(lock, [this] {
    return std::none_of(urbs_.begin(), urbs_.end(), [](const auto& u) { return u.second->atDevice; });
  });
  reapable_.clear();
  urbs_.clear();
}

void EmulatedNode::Unplug() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    gone_ = true;
  }
  // Whatever waits at the model ends with kStatusDeviceRemoved and becomes reapable.
  if (auto* packet = dynamic_cast<usbdrv::PacketDevice*>(model_.get())) packet->Unplug();
  wake_.notify_all();
}

int EmulatedNode::ClientsOpened() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return clientsOpened_;
}

bool EmulatedNode::Claimed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::any_of(claims_.begin(), claims_.end(), [](const auto& c) { return c.second; });
}

size_t EmulatedNode::UrbsInFlight() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return urbs_.size();
}

size_t EmulatedNode::UrbsInFlight(uint8_t endpoint) const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t n = 0;
  for (const auto& u : urbs_) n += u.second->endpoint == endpoint;
  return n;
}

uint64_t EmulatedNode::UrbsReaped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reaped_;
}

uint64_t EmulatedNode::Discards() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return discards_;
}

int EmulatedNode::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  TakenOver(self);
  static_cast<EmulatedNode*>(self)->Handle(client);
  HandedOver(self);
  return TRUE;
}

void EmulatedNode::OnClientConnected(UMockdevIoctlBase*, UMockdevIoctlClient*, void* self) {
  TakenOver(self);
  auto* node = static_cast<EmulatedNode*>(self);
  {
    std::lock_guard<std::mutex> lock(node->mutex_);
    ++node->clientsOpened_;
  }
  HandedOver(self);
}

void EmulatedNode::OnClientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  TakenOver(self);
  static_cast<EmulatedNode*>(self)->Vanished(client);
  HandedOver(self);
}

void EmulatedNode::Handle(UMockdevIoctlClient* client) {
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (gone_ && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB) {
      Finish(client, -1, ENODEV);
      return;
    }
  }
  switch (request) {
    case USBDEVFS_SUBMITURB:
      Submit(client);
      return;
    case USBDEVFS_REAPURBNDELAY:
    case USBDEVFS_REAPURB:
      Reap(client);
      return;
    case USBDEVFS_DISCARDURB:
      Discard(client);
      return;
    case USBDEVFS_GET_CAPABILITIES: {
      UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
      const uint32_t value = USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
      std::memcpy(caps->data, &value, sizeof value);
      Finish(client, 0, 0);
      g_object_unref(caps);
      return;
    }
    case USBDEVFS_CLAIMINTERFACE: {
      UMockdevIoctlData* number = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
      unsigned interface = 0;
      std::memcpy(&interface, number->data, sizeof interface);
      g_object_unref(number);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (claims_[client]) {
          Finish(client, 0, 0);
          return;
        }
      }
      // The model refuses its configuration while it is "in use by another program": to this
      // process that is an interface someone else has claimed.
      usbdrv::ConfigurationRequest configuration;
      configuration.interfaces.push_back({static_cast<uint16_t>(interface), 0, 4096});
      if (model_->SetConfiguration(configuration) != usbdrv::kStatusSuccess) {
        Finish(client, -1, EBUSY);
        return;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      claims_[client] = true;
      Finish(client, 0, 0);
      return;
    }
    case USBDEVFS_RELEASEINTERFACE: {
      bool claimed = false;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        claimed = claims_[client];
        claims_[client] = false;
      }
      if (!claimed) {
        Finish(client, -1, EINVAL);
        return;
      }
      model_->DropConfiguration();
      Finish(client, 0, 0);
      return;
    }
    case USBDEVFS_CONNECTINFO: {
      UMockdevIoctlData* info = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_connectinfo), nullptr);
      usbdevfs_connectinfo value{};
      value.devnum = address_;
      std::memcpy(info->data, &value, sizeof value);
      Finish(client, 0, 0);
      g_object_unref(info);
      return;
    }
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
      Finish(client, 0, 0);
      return;
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_DISCONNECT_CLAIM:
      Finish(client, -1, ENODATA);  // no kernel driver on the logger's interface
      return;
    default:
      Finish(client, -1, ENOTTY);
      return;
  }
}

void EmulatedNode::Submit(UMockdevIoctlClient* client) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  auto urb = std::make_unique<Urb>();
  urb->node = this;
  urb->client = client;
  urb->address = ArgValue(arg);
  urb->urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
  if (urb->urbData == nullptr) {
    Finish(client, -1, EFAULT);
    return;
  }
  usbdevfs_urb* fields = urb->Fields();
  const int length = fields->buffer_length;
  if (length > 0) {
    urb->bufferData = umockdev_ioctl_data_resolve(urb->urbData, offsetof(usbdevfs_urb, buffer),
                                                  static_cast<size_t>(length), nullptr);
    if (urb->bufferData == nullptr) {
      Finish(client, -1, EFAULT);
      return;
    }
  }
  uint8_t* buffer = urb->bufferData != nullptr ? urb->bufferData->data : nullptr;

  if (fields->type == USBDEVFS_URB_TYPE_CONTROL) {
    // Endpoint 0: the setup packet, then the data stage. Only GET_DESCRIPTOR is asked for.
    if (length < 8) {
      Finish(client, -1, EINVAL);
      return;
    }
    const uint8_t requestType = buffer[0];
    const uint8_t request = buffer[1];
    const uint16_t value = static_cast<uint16_t>(buffer[2] | buffer[3] << 8);
    const uint16_t index = static_cast<uint16_t>(buffer[4] | buffer[5] << 8);
    const uint16_t wanted = static_cast<uint16_t>(buffer[6] | buffer[7] << 8);
    uint32_t moved = 0;
    uint32_t status = usbdrv::kStatusStallPid;
    if (requestType == 0x80 && request == 6) {
      status = model_->GetDescriptor(static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value & 0xFF),
                                     index, buffer + 8,
                                     std::min<uint32_t>(wanted, static_cast<uint32_t>(length - 8)), &moved);
    }
    urb->urbStatus = UrbStatus(status);
    urb->actual = status == usbdrv::kStatusSuccess ? moved : 0;
    std::lock_guard<std::mutex> lock(mutex_);
    Urb* raw = urb.get();
    urbs_[raw->address] = std::move(urb);
    reapable_.push_back(raw);
    Finish(client, 0, 0);
    wake_.notify_all();
    return;
  }

  urb->endpoint = fields->endpoint;
  urb->data = buffer;
  if (urb->IsIn()) {
    urb->capacity = static_cast<uint32_t>(length);
  } else {
    urb->length = static_cast<uint32_t>(length);
  }
  Urb* raw = urb.get();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    raw->atDevice = true;
    urbs_[raw->address] = std::move(urb);
  }
  // Without the lock: the model may complete the transfer (and others) before Submit returns.
  const uint32_t refused = model_->Submit(raw);
  if (refused != usbdrv::kStatusSuccess) {
    std::lock_guard<std::mutex> lock(mutex_);
    urbs_.erase(raw->address);
    Finish(client, -1, refused == usbdrv::kStatusDeviceRemoved ? ENODEV : ENOENT);
    return;
  }
  Finish(client, 0, 0);
}

void EmulatedNode::Completed(Urb* urb, uint32_t status, uint32_t actual) {
  // Notified under the lock: once a waiter sees the URB completed, this call no longer touches the node.
  std::lock_guard<std::mutex> lock(mutex_);
  urb->atDevice = false;
  urb->urbStatus = UrbStatus(status);
  urb->actual = actual;
  reapable_.push_back(urb);
  wake_.notify_all();
}

void EmulatedNode::Reap(UMockdevIoctlClient* client) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  std::unique_ptr<Urb> urb;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it =
        std::find_if(reapable_.begin(), reapable_.end(), [client](Urb* u) { return u->client == client; });
    if (it == reapable_.end()) {
      if (gone_) {
        Finish(client, -1, ENODEV);
        return;
      }
      // Nothing to reap: answer at once a couple of times, then hold the answer back a little longer
      // each time (see the header).
      ++emptyReaps_;
      if (emptyReaps_ < 3 || held_ != nullptr) {
        Finish(client, -1, EAGAIN);
        return;
      }
      held_ = client;
      g_object_ref(client);
      wake_.notify_all();
      return;
    }
    emptyReaps_ = 0;
    Urb* raw = *it;
    reapable_.erase(it);
    auto owner = urbs_.find(raw->address);
    urb = std::move(owner->second);
    urbs_.erase(owner);
    ++reaped_;
  }
  usbdevfs_urb* fields = urb->Fields();
  fields->status = urb->urbStatus;
  fields->actual_length = static_cast<int>(urb->actual);
  // The client's pointer now points at its URB; umockdev copies the URB and its buffer back.
  UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
  umockdev_ioctl_data_set_ptr(pointer, 0, urb->urbData);
  Finish(client, 0, 0);
  g_object_unref(pointer);
}

void EmulatedNode::HoldLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    wake_.wait(lock, [this] { return stopping_ || held_ != nullptr; });
    if (held_ == nullptr) continue;
    UMockdevIoctlClient* client = held_;
    const auto longest =
        std::chrono::microseconds(std::min<long>(kLongestHold.count(), 50L << std::min(emptyReaps_ - 3, 10)));
    wake_.wait_for(lock, longest, [this, client] {
      return stopping_ || gone_ || std::any_of(reapable_.begin(), reapable_.end(), [client](Urb* u) {
               return u->client == client;
             });
    });
    held_ = nullptr;
    // The client asks again at once and finds what has arrived.
    Finish(client, -1, EAGAIN);
    g_object_unref(client);
  }
}

void EmulatedNode::Discard(UMockdevIoctlClient* client) {
  const uintptr_t address = ArgValue(umockdev_ioctl_client_get_arg(client));
  Urb* urb = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = urbs_.find(address);
    if (it != urbs_.end() && it->second->atDevice && it->second->client == client) {
      urb = it->second.get();
      ++discards_;
    }
  }
  if (urb == nullptr) {
    // Completed already: the kernel says EINVAL and the URB is reaped as it is.
    Finish(client, -1, EINVAL);
    return;
  }
  // The URB record stays until it is reaped, and reaps run on this same thread.
  model_->Cancel(urb);
  Finish(client, 0, 0);
}

void EmulatedNode::Vanished(UMockdevIoctlClient* client) {
  // A closed descriptor: its URBs are killed and its claim released, as the kernel does.
  std::vector<Urb*> atDevice;
  bool claimed = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& u : urbs_)
      if (u.second->client == client && u.second->atDevice) atDevice.push_back(u.second.get());
    claimed = claims_[client];
    claims_.erase(client);
  }
  for (Urb* u : atDevice) model_->Cancel(u);
  std::lock_guard<std::mutex> lock(mutex_);
  reapable_.erase(
      std::remove_if(reapable_.begin(), reapable_.end(), [client](Urb* u) { return u->client == client; }),
      reapable_.end());
  for (auto it = urbs_.begin(); it != urbs_.end();) {
    if (it->second->client == client && !it->second->atDevice) {
      it = urbs_.erase(it);
    } else {
      ++it;
    }
  }
  if (claimed && !gone_) model_->DropConfiguration();
}

EmulatedBus::EmulatedBus() {
  testbed_ = umockdev_testbed_new();
  gchar* root = umockdev_testbed_get_root_dir(testbed_);
  root_ = root;
  g_free(root);
  // The root hub: listed by libusb like any device, and the parent of every port.
  // clang-format off
  const std::vector<uint8_t> hub = {
      18, 1, 0x00, 0x02, 9, 0, 0, 64, 0x6b, 0x1d, 0x02, 0x00, 0x00, 0x01, 3, 2, 1, 1,  // device: hub
      9, 2, 25, 0, 1, 1, 0, 0xE0, 0,                                                  // configuration
      9, 4, 0, 0, 1, 9, 0, 0, 0,                                                      // interface
      7, 5, 0x81, 3, 4, 0, 12};                                                       // status change
  // clang-format on
  gchar* path =
      umockdev_testbed_add_device(testbed_, "usb", "usb1", nullptr, "busnum", "1\n", "devnum", "1\n", "speed",
                                  "480\n", "bConfigurationValue", "1\n", nullptr, "DEVTYPE", "usb_device",
                                  "DEVNAME", "/dev/bus/usb/001/001", nullptr);
  hub_ = path;
  g_free(path);
  umockdev_testbed_set_attribute_binary(testbed_, hub_.c_str(), "descriptors",
                                        const_cast<uint8_t*>(hub.data()), static_cast<int>(hub.size()));
}

EmulatedBus::~EmulatedBus() {
  auto release = [this](Slot& slot) {
    if (!slot.node) return;
    umockdev_testbed_detach_ioctl(testbed_, slot.devnode.c_str(), nullptr);
    slot.node.reset();
  };
  for (auto& p : ports_) release(p.second);
  for (auto& s : unplugged_) release(s);
  g_object_unref(testbed_);
}

EmulatedNode& EmulatedBus::Plug(int port, std::shared_ptr<usbdrv::UsbDevice> model) {
  Unplug(port);
  const unsigned address = nextAddress_++;
  std::vector<uint8_t> descriptors = Descriptor(*model, kTypeDevice);
  const std::vector<uint8_t> config = Descriptor(*model, kTypeConfiguration);
  descriptors.insert(descriptors.end(), config.begin(), config.end());
  uint16_t vendor = 0, product = 0;
  if (descriptors.size() >= 12) {
    vendor = static_cast<uint16_t>(descriptors[8] | descriptors[9] << 8);
    product = static_cast<uint16_t>(descriptors[10] | descriptors[11] << 8);
  }

  Slot slot;
  const std::string name = "1-" + std::to_string(port);
  char devnode[32];
  std::snprintf(devnode, sizeof devnode, "/dev/bus/usb/001/%03u", address);
  slot.devnode = devnode;
  // The node exists as a file; umockdev routes the process's requests on it to the handler.
  const std::string dir = root_ + "/dev/bus/usb/001";
  g_mkdir_with_parents(dir.c_str(), 0755);
  g_file_set_contents((root_ + slot.devnode).c_str(), "", 0, nullptr);

  slot.node = std::make_unique<EmulatedNode>(model, address);
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(testbed_, slot.devnode.c_str(), slot.node->Handler(), &error)) {
    std::fprintf(stderr, "umockdev: cannot attach to %s: %s\n", slot.devnode.c_str(),
                 error ? error->message : "?");
    if (error) g_error_free(error);
  }
  const std::string devnum = std::to_string(address) + "\n";
  const std::string idVendor = Hex(vendor, 4) + "\n";
  const std::string idProduct = Hex(product, 4) + "\n";
  const std::string devnumProperty = slot.devnode.substr(slot.devnode.size() - 3);
  gchar* path = umockdev_testbed_add_device(
      testbed_, "usb", name.c_str(), hub_.c_str(), "busnum", "1\n", "devnum", devnum.c_str(), "speed", "12\n",
      "bConfigurationValue", "1\n", "idVendor", idVendor.c_str(), "idProduct", idProduct.c_str(), nullptr,
      "DEVTYPE", "usb_device", "DEVNAME", slot.devnode.c_str(), "BUSNUM", "001", "DEVNUM",
      devnumProperty.c_str(), nullptr);
  slot.syspath = path;
  g_free(path);
  // The descriptors are binary, so they follow the device's "add" event; libusb may have looked
  // before they were there, so it is told again.
  umockdev_testbed_set_attribute_binary(testbed_, slot.syspath.c_str(), "descriptors", descriptors.data(),
                                        static_cast<int>(descriptors.size()));
  umockdev_testbed_uevent(testbed_, slot.syspath.c_str(), "add");
  EmulatedNode& node = *slot.node;
  ports_[port] = std::move(slot);
  return node;
}

void EmulatedBus::Unplug(int port) {
  auto it = ports_.find(port);
  if (it == ports_.end()) return;
  Slot slot = std::move(it->second);
  ports_.erase(it);
  slot.node->Unplug();
  // The "remove" event goes first, while the device's properties (its node name among them, from
  // which libusb learns the address) can still be read; removing the entry sends none.
  umockdev_testbed_uevent(testbed_, slot.syspath.c_str(), "remove");
  umockdev_testbed_remove_device(testbed_, slot.syspath.c_str());
  ::unlink((root_ + slot.devnode).c_str());
  unplugged_.push_back(std::move(slot));
}

EmulatedNode* EmulatedBus::At(int port) {
  auto it = ports_.find(port);
  return it == ports_.end() ? nullptr : it->second.node.get();
}

}  // namespace usbemu
