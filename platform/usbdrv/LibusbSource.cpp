// The hardware source: loggers on the USB bus through libusb-1.0.
//
// One libusb context per enabled source, with one event thread that completes every transfer. Each
// physical device is one LibusbDevice, opened on first use and shared by every driver handle on it.
// A device object never touches libusb once it has been detached (pulled out, or the source
// disabled), so open driver handles may outlive the context.
#include "platform/usbdrv/LibusbSource.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/usbdrv/DeviceSource.h"
#include "usbdev/DeviceContract.h"

namespace usbdrv {
namespace {

constexpr uint16_t kLoggerVendorId = 0x11E3;
constexpr uint16_t kLoggerProductId = 0x0005;
// A control request (descriptor, configuration) that the device leaves unanswered fails after this.
constexpr unsigned kControlTimeoutMs = 2000;
// How long a detach waits for cancelled transfers to come back before it gives up on the handle.
constexpr auto kDrainBound = std::chrono::seconds(10);
// How long closing the last driver handle waits for its cancelled transfers before the interfaces go.
constexpr auto kReleaseDrainBound = std::chrono::seconds(1);

// A libusb error with no transfer status of the same meaning.
constexpr int kNoTransferStatus = -1000;

struct StatusRow {
  int error;           // libusb_error of a synchronous call or a refused submission
  int transferStatus;  // libusb_transfer_status of a finished transfer
  uint32_t status;
};

// How libusb's outcomes reach the USB I/O layer. Everything not listed is "USBD Error: Request failed.".
const StatusRow kStatusTable[] = {
    // Done.
    {LIBUSB_SUCCESS, LIBUSB_TRANSFER_COMPLETED, kStatusSuccess},
    // Another program has claimed the interface: a configuration failure, which the scan reports as
    // "Device is already connected".
    {LIBUSB_ERROR_BUSY, kNoTransferStatus, kStatusExclusive},
    // The device vanished: a failure the workers count, so the link comes down as on an unplug.
    {LIBUSB_ERROR_NO_DEVICE, LIBUSB_TRANSFER_NO_DEVICE, kStatusDeviceRemoved},
    // Ended by an abort, CancelIo or a closed handle; a synchronous request broken off.
    {LIBUSB_ERROR_INTERRUPTED, LIBUSB_TRANSFER_CANCELLED, kStatusCancelled},
    // The endpoint (or, for a control request, the device) answered with a stall.
    {LIBUSB_ERROR_PIPE, LIBUSB_TRANSFER_STALL, kStatusEndpointHalted},
    // No answer in time (control requests; bulk transfers carry no time-out of their own).
    {LIBUSB_ERROR_TIMEOUT, LIBUSB_TRANSFER_TIMED_OUT, kStatusTimeout},
    // The device sent more than the buffer holds.
    {LIBUSB_ERROR_OVERFLOW, LIBUSB_TRANSFER_OVERFLOW, kStatusDataOverrun},
};

struct Location {
  uint8_t bus = 0;
  std::vector<uint8_t> ports;
  bool operator<(const Location& o) const { return bus != o.bus ? bus < o.bus : ports < o.ports; }
};

Location LocationOf(libusb_device* device) {
  Location l;
  l.bus = libusb_get_bus_number(device);
  uint8_t ports[8];
  const int n = libusb_get_port_numbers(device, ports, sizeof ports);
  if (n > 0) l.ports.assign(ports, ports + n);
  return l;
}

// "usb-<bus>-<port>.<port>...": stable for a logger on the same port, and part of its interface path.
std::string InstanceIdOf(const Location& l) {
  std::string id = "usb-" + std::to_string(l.bus) + "-";
  for (size_t i = 0; i < l.ports.size(); ++i) {
    if (i > 0) id += ".";
    id += std::to_string(l.ports[i]);
  }
  if (l.ports.empty()) id += "0";
  return id;
}

// The 18 bytes of a device descriptor from libusb's parsed copy.
std::vector<uint8_t> DeviceDescriptorBytes(const libusb_device_descriptor& d) {
  return {d.bLength,
          d.bDescriptorType,
          static_cast<uint8_t>(d.bcdUSB & 0xFF),
          static_cast<uint8_t>(d.bcdUSB >> 8),
          d.bDeviceClass,
          d.bDeviceSubClass,
          d.bDeviceProtocol,
          d.bMaxPacketSize0,
          static_cast<uint8_t>(d.idVendor & 0xFF),
          static_cast<uint8_t>(d.idVendor >> 8),
          static_cast<uint8_t>(d.idProduct & 0xFF),
          static_cast<uint8_t>(d.idProduct >> 8),
          static_cast<uint8_t>(d.bcdDevice & 0xFF),
          static_cast<uint8_t>(d.bcdDevice >> 8),
          d.iManufacturer,
          d.iProduct,
          d.iSerialNumber,
          d.bNumConfigurations};
}

class LibusbDevice;

// What a transfer in flight carries through libusb: the device is kept alive until its completion.
struct Flight {
  std::shared_ptr<LibusbDevice> device;
  UsbTransfer* transfer;
};

class LibusbDevice : public UsbDevice, public std::enable_shared_from_this<LibusbDevice> {
 public:
  LibusbDevice(libusb_device* device, const Location& location)
      : device_(libusb_ref_device(device)), instanceId_(InstanceIdOf(location)) {}

  ~LibusbDevice() override {
    // Normally detached by the source before the last reference goes; this is the fallback.
    Detach();
  }

  libusb_device* Raw() const { return device_; }

  std::string InstanceId() const override { return instanceId_; }

  uint32_t GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId, uint8_t* buffer, uint32_t capacity,
                         uint32_t* returned) override {
    if (returned != nullptr) *returned = 0;
    if (buffer == nullptr) capacity = 0;
    Use use(*this, type != LIBUSB_DT_DEVICE || index != 0);
    if (use.status != kStatusSuccess) return use.status;
    if (type == LIBUSB_DT_DEVICE && index == 0) {
      // libusb keeps the device descriptor read at enumeration: no request on the bus, and it works
      // before the device has been opened.
      libusb_device_descriptor d;
      const int r = libusb_get_device_descriptor(device_, &d);
      if (r != LIBUSB_SUCCESS) return StatusFromLibusbError(r);
      const std::vector<uint8_t> bytes = DeviceDescriptorBytes(d);
      const uint32_t n = std::min<uint32_t>(capacity, static_cast<uint32_t>(bytes.size()));
      if (n > 0) std::memcpy(buffer, bytes.data(), n);
      if (returned != nullptr) *returned = n;
      return kStatusSuccess;
    }
    // Standard GET_DESCRIPTOR with the language identifier as asked (wIndex).
    const uint16_t length = static_cast<uint16_t>(std::min<uint32_t>(capacity, 0xFFFF));
    uint32_t moved = 0;
    const uint32_t status =
        ControlIn(use.handle, LIBUSB_ENDPOINT_IN | LIBUSB_REQUEST_TYPE_STANDARD | LIBUSB_RECIPIENT_DEVICE,
                  LIBUSB_REQUEST_GET_DESCRIPTOR, static_cast<uint16_t>(type << 8 | index), languageId, buffer,
                  length, &moved);
    if (status != kStatusSuccess) return status;
    if (returned != nullptr) *returned = moved;
    return kStatusSuccess;
  }

  uint32_t SetConfiguration(const ConfigurationRequest& request) override {
    Use use(*this, true);
    if (use.status != kStatusSuccess) return use.status;
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_config_descriptor(device_, static_cast<uint8_t>(request.configurationIndex), &config) !=
            LIBUSB_SUCCESS ||
        request.configurationIndex > 0xFF) {
      if (config != nullptr) libusb_free_config_descriptor(config);
      return kStatusSetConfigFailed;
    }
    std::unique_ptr<libusb_config_descriptor, void (*)(libusb_config_descriptor*)> owned(
        config, libusb_free_config_descriptor);

    // The endpoints of the asked-for interface settings, checked against the descriptor first.
    std::map<uint8_t, uint8_t> endpoints;  // address -> transfer type
    for (const InterfaceSetting& s : request.interfaces) {
      const libusb_interface_descriptor* setting = nullptr;
      for (int i = 0; i < config->bNumInterfaces && setting == nullptr; ++i) {
        const libusb_interface& itf = config->interface[i];
        for (int a = 0; a < itf.num_altsetting; ++a) {
          if (itf.altsetting[a].bInterfaceNumber == s.interfaceNumber &&
              itf.altsetting[a].bAlternateSetting == s.alternateSetting) {
            setting = &itf.altsetting[a];
            break;
          }
        }
      }
      if (setting == nullptr) return kStatusSetConfigFailed;
      for (int e = 0; e < setting->bNumEndpoints; ++e) {
        endpoints[setting->endpoint[e].bEndpointAddress] =
            setting->endpoint[e].bmAttributes & LIBUSB_TRANSFER_TYPE_MASK;
      }
    }

    // Only a different configuration is set: setting the active one again would reset the device's
    // endpoints, and fails while another program holds one of its interfaces.
    int active = 0;
    int r = libusb_get_configuration(use.handle, &active);
    if (r != LIBUSB_SUCCESS) return Failed(r);
    if (active != config->bConfigurationValue) {
      r = libusb_set_configuration(use.handle, config->bConfigurationValue);
      if (r != LIBUSB_SUCCESS) return Failed(r);
    }
    for (const InterfaceSetting& s : request.interfaces) {
      r = libusb_claim_interface(use.handle, s.interfaceNumber);
      if (r != LIBUSB_SUCCESS) return Failed(r);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        claimed_.insert(s.interfaceNumber);
      }
      int settings = 0;
      for (int i = 0; i < config->bNumInterfaces; ++i) {
        if (config->interface[i].num_altsetting > 0 &&
            config->interface[i].altsetting[0].bInterfaceNumber == s.interfaceNumber) {
          settings = config->interface[i].num_altsetting;
        }
      }
      // An interface with a single setting is in it already; many devices stall SET_INTERFACE then.
      if (s.alternateSetting != 0 || settings > 1) {
        r = libusb_set_interface_alt_setting(use.handle, s.interfaceNumber, s.alternateSetting);
        if (r != LIBUSB_SUCCESS) return Failed(r);
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    endpoints_ = std::move(endpoints);
    configured_ = true;
    return kStatusSuccess;
  }

  uint32_t DropConfiguration() override {
    Use use(*this, true);
    if (use.status != kStatusSuccess) return use.status;
    std::set<int> claimed;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      claimed.swap(claimed_);
      configured_ = false;
      endpoints_.clear();
    }
    // Transfers still pending stay so until they are cancelled or the device ends them.
    uint32_t status = kStatusSuccess;
    for (int number : claimed) {
      const int r = libusb_release_interface(use.handle, number);
      if (r != LIBUSB_SUCCESS && status == kStatusSuccess) status = Failed(r);
    }
    return status;
  }

  bool HasEndpoint(uint8_t endpoint) const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return !gone_ && configured_ && endpoints_.count(endpoint) != 0;
  }

  uint32_t Submit(UsbTransfer* transfer) override {
    if (transfer == nullptr) return kStatusInvalidParameter;
    std::lock_guard<std::mutex> lock(mutex_);
    if (gone_ || handle_ == nullptr) return gone_ ? kStatusDeviceRemoved : kStatusNotConfigured;
    if (!configured_) return kStatusNotConfigured;
    auto ep = endpoints_.find(transfer->endpoint);
    if (ep == endpoints_.end()) return kStatusPipeNotFound;
    const uint32_t size = transfer->IsIn() ? transfer->capacity : transfer->length;
    if (size > static_cast<uint32_t>(INT32_MAX)) return kStatusInvalidParameter;

    libusb_transfer* t = libusb_alloc_transfer(0);
    if (t == nullptr) return kStatusNoMemory;
    auto* flight = new Flight{shared_from_this(), transfer};
    // The driver's buffer stays valid until Complete, so libusb moves the bytes in place.
    if (ep->second == LIBUSB_TRANSFER_TYPE_INTERRUPT) {
      libusb_fill_interrupt_transfer(t, handle_, transfer->endpoint, transfer->data, static_cast<int>(size),
                                     &LibusbDevice::OnTransferDone, flight, 0);
    } else {
      libusb_fill_bulk_transfer(t, handle_, transfer->endpoint, transfer->data, static_cast<int>(size),
                                &LibusbDevice::OnTransferDone, flight, 0);
    }
    // Registered before the submission: the completion looks it up, and it cannot run before
    // libusb_submit_transfer has returned (it runs on the event thread after it takes our lock).
    pending_[transfer] = t;
    const int r = libusb_submit_transfer(t);
    if (r != LIBUSB_SUCCESS) {
      pending_.erase(transfer);
      libusb_free_transfer(t);
      delete flight;
      if (r == LIBUSB_ERROR_NO_DEVICE) MarkGoneLocked();
      return StatusFromLibusbError(r);
    }
    return kStatusSuccess;
  }

  void Cancel(UsbTransfer* transfer) override {
    // Under the lock the libusb transfer cannot complete and be freed; libusb_cancel_transfer does not
    // wait for the event thread, whose completion takes this lock only after libusb lets go.
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = pending_.find(transfer);
    if (it != pending_.end()) libusb_cancel_transfer(it->second);
  }

  bool Present() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return !gone_;
  }

  void HandleOpened() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++handles_;
    idle_.notify_all();
  }

  // The scan configures every logger to see whether another program has it, and only closes its
  // handle: without this the interfaces would stay claimed by this process, and every other program
  // would find the logger in use. A later handle configures the device again before it uses a pipe.
  void HandleClosed() override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (--handles_ > 0 || claimed_.empty()) return;
    // The closed handles' transfers have been cancelled: they come back before their interface goes.
    idle_.wait_for(lock, kReleaseDrainBound, [this] { return pending_.empty() || handles_ > 0; });
    if (handles_ > 0 || gone_ || handle_ == nullptr) return;  // in use again, or Detach releases them
    configured_ = false;
    endpoints_.clear();
    // Under the lock: a handle opened meanwhile configures (and claims) only after this.
    for (int number : claimed_) libusb_release_interface(handle_, number);
    claimed_.clear();
  }

  // The device has left the bus (hot-plug event, or libusb saw it vanish): every pending transfer is
  // cancelled and completes as removed. Safe on the event thread; the handle stays open until Detach.
  void MarkGone() {
    std::lock_guard<std::mutex> lock(mutex_);
    MarkGoneLocked();
  }

  // Unplugs the device for good and gives its libusb resources back. Waits for the transfers in
  // flight and for control requests under way, so never on the event thread.
  void Detach() {
    std::unique_lock<std::mutex> lock(mutex_);
    MarkGoneLocked();
    const bool drained =
        idle_.wait_for(lock, kDrainBound, [this] { return pending_.empty() && users_ == 0 && !opening_; });
    if (device_ == nullptr) return;  // detached before
    libusb_device_handle* handle = handle_;
    std::set<int> claimed;
    claimed.swap(claimed_);
    handle_ = nullptr;
    libusb_device* device = device_;
    device_ = nullptr;
    lock.unlock();
    // A transfer that never came back still points at the handle: leaking it is the only safe choice.
    if (!drained) return;
    if (handle != nullptr) {
      for (int number : claimed) libusb_release_interface(handle, number);
      libusb_close(handle);
    }
    libusb_unref_device(device);
  }

 private:
  // A control request in progress: keeps the device from being detached under it and opens the shared
  // handle on first use.
  struct Use {
    Use(LibusbDevice& device, bool needHandle) : device_(device) {
      status = device.Enter(needHandle, &handle);
    }
    ~Use() {
      if (status == kStatusSuccess) device_.Leave();
    }
    LibusbDevice& device_;
    libusb_device_handle* handle = nullptr;
    uint32_t status = kStatusSuccess;
  };

  uint32_t Enter(bool needHandle, libusb_device_handle** handle) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (gone_) return kStatusDeviceRemoved;
    ++users_;
    if (needHandle && handle_ == nullptr) {
      // One opener at a time; the others wait for its handle.
      if (opening_) {
        idle_.wait(lock, [this] { return !opening_; });
      }
      if (handle_ == nullptr && !gone_) {
        opening_ = true;
        libusb_device* device = device_;
        lock.unlock();
        libusb_device_handle* opened = nullptr;
        const int r = libusb_open(device, &opened);
        lock.lock();
        opening_ = false;
        idle_.notify_all();
        if (r != LIBUSB_SUCCESS) {
          --users_;
          idle_.notify_all();
          if (r == LIBUSB_ERROR_NO_DEVICE) MarkGoneLocked();
          return StatusFromLibusbError(r);
        }
        handle_ = opened;
      }
      if (handle_ == nullptr) {
        --users_;
        idle_.notify_all();
        return kStatusDeviceRemoved;
      }
    }
    *handle = handle_;
    return kStatusSuccess;
  }

  void Leave() {
    std::lock_guard<std::mutex> lock(mutex_);
    --users_;
    idle_.notify_all();
  }

  // A control transfer from the device, completed on the event thread like every other transfer
  // (libusb's synchronous call would run the event loop on the calling thread instead).
  uint32_t ControlIn(libusb_device_handle* handle, uint8_t requestType, uint8_t request, uint16_t value,
                     uint16_t index, uint8_t* buffer, uint16_t length, uint32_t* moved) {
    struct Wait {
      std::mutex mutex;
      std::condition_variable done;
      bool finished = false;
    } wait;
    std::vector<uint8_t> block(LIBUSB_CONTROL_SETUP_SIZE + length);
    libusb_fill_control_setup(block.data(), requestType, request, value, index, length);
    libusb_transfer* t = libusb_alloc_transfer(0);
    if (t == nullptr) return kStatusNoMemory;
    auto finish = [](libusb_transfer* transfer) {
      auto* w = static_cast<Wait*>(transfer->user_data);
      std::lock_guard<std::mutex> lock(w->mutex);
      w->finished = true;
      w->done.notify_all();
    };
    libusb_fill_control_transfer(t, handle, block.data(), finish, &wait, kControlTimeoutMs);
    const int r = libusb_submit_transfer(t);
    if (r != LIBUSB_SUCCESS) {
      libusb_free_transfer(t);
      return Failed(r);
    }
    {
      // The transfer's own time-out ends it; the cancel is only a second line for an event thread
      // that no longer runs.
      std::unique_lock<std::mutex> lock(wait.mutex);
      if (!wait.done.wait_for(lock, std::chrono::milliseconds(kControlTimeoutMs) + std::chrono::seconds(5),
                              [&] { return wait.finished; })) {
        libusb_cancel_transfer(t);
        wait.done.wait(lock, [&] { return wait.finished; });
      }
    }
    const int status = t->status;
    const int actual = std::max(0, t->actual_length);
    if (status == LIBUSB_TRANSFER_COMPLETED && actual > 0) {
      std::memcpy(buffer, libusb_control_transfer_get_data(t), static_cast<size_t>(actual));
    }
    libusb_free_transfer(t);
    if (status == LIBUSB_TRANSFER_NO_DEVICE) MarkGone();
    *moved = static_cast<uint32_t>(actual);
    return StatusFromTransferStatus(status);
  }

  // The status of a failed synchronous call; a vanished device is marked as such.
  uint32_t Failed(int error) {
    if (error == LIBUSB_ERROR_NO_DEVICE) MarkGone();
    return StatusFromLibusbError(error);
  }

  void MarkGoneLocked() {
    if (!gone_) {
      gone_ = true;
      configured_ = false;
    }
    for (const auto& p : pending_) libusb_cancel_transfer(p.second);
  }

  // Runs on the event thread, with no libusb lock held.
  static void LIBUSB_CALL OnTransferDone(libusb_transfer* t) {
    std::unique_ptr<Flight> flight(static_cast<Flight*>(t->user_data));
    LibusbDevice& self = *flight->device;
    uint32_t status;
    {
      std::lock_guard<std::mutex> lock(self.mutex_);
      self.pending_.erase(flight->transfer);
      if (t->status == LIBUSB_TRANSFER_NO_DEVICE) self.MarkGoneLocked();
      // Once the device is gone, whatever ended its transfers (our cancel or libusb) is a removal.
      status = self.gone_ ? kStatusDeviceRemoved : StatusFromTransferStatus(t->status);
      self.idle_.notify_all();
    }
    const uint32_t actual = t->actual_length > 0 ? static_cast<uint32_t>(t->actual_length) : 0;
    // Without our lock: the driver may submit again from inside Complete.
    flight->transfer->Complete(status, actual);
    libusb_free_transfer(t);
  }

  libusb_device* device_;  // referenced until Detach
  const std::string instanceId_;

  mutable std::mutex mutex_;
  std::condition_variable idle_;
  libusb_device_handle* handle_ = nullptr;  // opened on first use, shared by every driver handle
  bool opening_ = false;
  int users_ = 0;    // control requests under way
  int handles_ = 0;  // driver handles open on the device
  bool gone_ = false;
  bool configured_ = false;
  std::set<int> claimed_;
  std::map<uint8_t, uint8_t> endpoints_;  // of the claimed settings: address -> transfer type
  std::map<const UsbTransfer*, libusb_transfer*> pending_;
};

class HardwareSource : public DeviceSource {
 public:
  HardwareSource() = default;
  HardwareSource(const HardwareSource&) = delete;
  HardwareSource& operator=(const HardwareSource&) = delete;

  bool Start() {
    if (libusb_init(&context_) != LIBUSB_SUCCESS) {
      context_ = nullptr;
      return false;
    }
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
      // Departures mark the device at once, so that its transfers end even if nobody lists.
      if (libusb_hotplug_register_callback(context_, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, 0, kLoggerVendorId,
                                           kLoggerProductId, LIBUSB_HOTPLUG_MATCH_ANY,
                                           &HardwareSource::OnHotplug, this, &hotplug_) == LIBUSB_SUCCESS) {
        hotplugRegistered_ = true;
      }
    }
    events_ = std::thread([this] { EventLoop(); });
    return true;
  }

  // Unplugs every device and shuts libusb down. Devices still held by driver handles answer "removed".
  void Stop() {
    // Held throughout: a listing still under way must not reach libusb after it has been shut down.
    std::lock_guard<std::mutex> listing(listMutex_);
    std::map<libusb_device*, std::shared_ptr<LibusbDevice>> devices;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      devices.swap(devices_);
    }
    for (auto& d : devices) d.second->Detach();  // needs the event thread for the cancellations
    if (context_ == nullptr) return;
    if (hotplugRegistered_) libusb_hotplug_deregister_callback(context_, hotplug_);
    stop_.store(true);
    libusb_interrupt_event_handler(context_);
    if (events_.joinable()) events_.join();
    libusb_exit(context_);
    context_ = nullptr;
  }

  const char* Enumerator() const override { return kEnumeratorUsb; }
  std::vector<std::shared_ptr<UsbDevice>> List() override {
    std::vector<std::pair<Location, std::shared_ptr<LibusbDevice>>> found;
    std::vector<std::shared_ptr<LibusbDevice>> departed;
    {
      std::lock_guard<std::mutex> lock(listMutex_);
      if (context_ == nullptr) return {};
      libusb_device** list = nullptr;
      const ssize_t count = libusb_get_device_list(context_, &list);
      std::map<libusb_device*, std::shared_ptr<LibusbDevice>> now;
      {
        std::lock_guard<std::mutex> cache(mutex_);
        for (ssize_t i = 0; i < count; ++i) {
          libusb_device* raw = list[i];
          libusb_device_descriptor d;
          if (libusb_get_device_descriptor(raw, &d) != LIBUSB_SUCCESS || d.idVendor != kLoggerVendorId ||
              d.idProduct != kLoggerProductId) {
            continue;
          }
          // libusb keeps one device object per attachment, so a logger plugged in again is a new one.
          // A dead entry that libusb still lists stays dead until libusb lets it go.
          auto cached = devices_.find(raw);
          std::shared_ptr<LibusbDevice> device = cached != devices_.end()
                                                     ? cached->second
                                                     : std::make_shared<LibusbDevice>(raw, LocationOf(raw));
          now.emplace(raw, device);
          if (device->Present()) found.emplace_back(LocationOf(raw), device);
        }
        for (auto& d : devices_) {
          if (now.count(d.first) == 0) departed.push_back(d.second);
        }
        devices_.swap(now);
      }
      if (count >= 0) libusb_free_device_list(list, 1);
    }
    // Outside the locks: a detach waits for the device's cancelled transfers.
    for (auto& d : departed) d->Detach();
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::shared_ptr<UsbDevice>> listed;
    for (auto& f : found) listed.push_back(std::move(f.second));
    return listed;
  }

 private:
  void EventLoop() {
    while (!stop_.load()) {
      timeval tv{0, 200000};
      libusb_handle_events_timeout_completed(context_, &tv, nullptr);
    }
  }

  static int LIBUSB_CALL OnHotplug(libusb_context*, libusb_device* device, libusb_hotplug_event event,
                                   void* self) {
    if (event != LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT) return 0;
    auto* source = static_cast<HardwareSource*>(self);
    std::shared_ptr<LibusbDevice> gone;
    {
      std::lock_guard<std::mutex> lock(source->mutex_);
      auto it = source->devices_.find(device);
      if (it != source->devices_.end()) gone = it->second;
    }
    if (gone) gone->MarkGone();
    return 0;  // stay registered
  }

  libusb_context* context_ = nullptr;
  libusb_hotplug_callback_handle hotplug_ = 0;
  bool hotplugRegistered_ = false;
  std::atomic<bool> stop_{false};
  std::thread events_;

  std::mutex listMutex_;  // one listing at a time
  std::mutex mutex_;      // guards devices_ (also taken by the hot-plug callback)
  std::map<libusb_device*, std::shared_ptr<LibusbDevice>> devices_;
};

struct Registry {
  std::mutex mutex;
  std::shared_ptr<HardwareSource> source;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;  // never destroyed: the driver may list during exit
  return *registry;
}

}  // namespace

uint32_t StatusFromLibusbError(int error) {
  for (const StatusRow& row : kStatusTable) {
    if (row.error == error) return row.status;
  }
  return kStatusRequestFailed;
}

uint32_t StatusFromTransferStatus(int transferStatus) {
  for (const StatusRow& row : kStatusTable) {
    if (row.transferStatus != kNoTransferStatus && row.transferStatus == transferStatus) return row.status;
  }
  return kStatusRequestFailed;
}

bool EnableHardwareLoggers() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (r.source) return true;
  auto source = std::make_shared<HardwareSource>();
  if (!source->Start()) return false;
  r.source = source;
  AddSource(source, kRankHardware);
  return true;
}

void DisableHardwareLoggers() {
  std::shared_ptr<HardwareSource> source;
  {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    source = std::move(r.source);
  }
  if (!source) return;
  RemoveSource(source);
  source->Stop();
}

}  // namespace usbdrv
