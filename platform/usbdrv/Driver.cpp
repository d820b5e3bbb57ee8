// The user-space USB driver: CreateFileA on its device paths, its control codes through
// DeviceIoControl, overlapped ReadFile/WriteFile on bound handles, GetOverlappedResult and CancelIo;
// and the registry of device sources behind it.
//
// Every transfer gets its own bounce buffer, so a device never writes into the caller's memory after
// the caller has seen the transfer end (an abort or cancel ends it before the device lets go).
#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/HandleTable.h"
#include "platform/usbdrv/DeviceSource.h"
#include "platform/usbdrv/DriverControl.h"
#include "platform/usbdrv/DriverInterface.h"
#include "platform/usbdrv/DriverInternal.h"
#include "platform/win32.h"
#include "usbdev/DeviceContract.h"

namespace usbdrv {
namespace {

struct SourceEntry {
  int rank;
  std::shared_ptr<DeviceSource> source;
};

struct Sources {
  std::mutex mutex;
  std::vector<SourceEntry> entries;  // sorted by rank, ties in the order added
};

Sources& TheSources() {
  static Sources* sources = new Sources;  // never destroyed: detached threads may still list devices
  return *sources;
}

std::atomic<uint16_t> g_interfaceVersion{kDefaultInterfaceVersion};
std::atomic<int> g_openHandles{0};
std::atomic<int> g_outstanding{0};

bool EqualsNoCase(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && EqualsNoCase(a.data(), b.data(), a.size());
}

std::string GuidSuffix() {
  std::string text = std::string("#") + kInterfaceClassGuidText;
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

constexpr char kNumberPrefix[] = "\\\\.\\UsbDrv_Device";
constexpr char kInterfacePrefix[] = "\\\\?\\usbdrv#";

uint16_t Read16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Read32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// A device's status as the driver reports it: a device may only report the statuses of the device
// contract. Anything else (a number from a socket peer, a Windows error such as ERROR_IO_PENDING,
// which would leave a caller waiting for a completion that never comes) is a failed request.
uint32_t FromDevice(uint32_t status) {
  switch (status) {
    case kStatusSuccess:
    case kStatusStallPid:
    case kStatusNotResponding:
    case kStatusDataOverrun:
    case kStatusEndpointHalted:
    case kStatusNoMemory:
    case kStatusRequestFailed:
    case kStatusTimeout:
    case kStatusCancelled:
    case kStatusOperationFailed:
    case kStatusNotConfigured:
    case kStatusDeviceRemoved:
    case kStatusPipeNotFound:
    case kStatusInvalidParameter:
    case kStatusPoweredDown:
    case kStatusSetConfigFailed:
    case kStatusExclusive:
      return status;
    default:
      return kStatusRequestFailed;
  }
}

class DriverTransfer;

// One open handle on a device, with its own binding and its transfers in flight.
class DriverFile : public win32::KernelObject {
 public:
  explicit DriverFile(std::shared_ptr<UsbDevice> device) : device(std::move(device)) {
    g_openHandles.fetch_add(1, std::memory_order_relaxed);
  }
  void OnClose() override;

  std::mutex mutex;
  std::condition_variable completed;  // for GetOverlappedResult on an OVERLAPPED without an event
  std::shared_ptr<UsbDevice> device;  // released at close, so a device never dies on its own thread
  int endpoint = -1;                  // bound endpoint address, -1 when unbound
  bool closed = false;
  std::list<std::shared_ptr<DriverTransfer>> outstanding;
};

class DriverTransfer : public UsbTransfer {
 public:
  DriverTransfer() { g_outstanding.fetch_add(1, std::memory_order_relaxed); }
  ~DriverTransfer() override = default;

  // The first of device completion, abort, cancel or close claims the transfer; only the claimer
  // touches the caller's OVERLAPPED and buffer.
  bool Claim() { return !claimed.exchange(true, std::memory_order_acq_rel); }
  bool Claimed() const { return claimed.load(std::memory_order_acquire); }

  // Hands the result to the caller. Called once, by the claimer.
  void Deliver(uint32_t status, uint32_t actual) {
    if (IsIn()) {
      actual = std::min(actual, capacity);
      if (actual > 0) std::memcpy(user, data, actual);
    } else {
      actual = std::min(actual, length);
    }
    {
      std::lock_guard<std::mutex> lock(file->mutex);
      file->outstanding.erase(position);
      __atomic_store_n(&overlapped->InternalHigh, static_cast<ULONG_PTR>(actual), __ATOMIC_RELAXED);
      // The caller may free the OVERLAPPED (and close its event) as soon as it sees this store, so
      // nothing below touches either: the event object is held by reference.
      __atomic_store_n(&overlapped->Internal, static_cast<ULONG_PTR>(status), __ATOMIC_RELEASE);
    }
    if (event) event->Set();
    file->completed.notify_all();
  }

  void Complete(uint32_t status, uint32_t actual) override {
    // Counted down before the caller can see the result, so a leak check right after it is exact.
    g_outstanding.fetch_sub(1, std::memory_order_relaxed);
    if (Claim()) Deliver(FromDevice(status), actual);
    // The device is done with the bounce buffer: drop the reference that kept it alive.
    std::shared_ptr<DriverTransfer> last = std::move(self);
  }

  std::shared_ptr<DriverTransfer> self;  // held from Submit until the device's Complete
  std::shared_ptr<DriverFile> file;
  std::list<std::shared_ptr<DriverTransfer>>::iterator position;
  std::unique_ptr<uint8_t[]> bounce;
  OVERLAPPED* overlapped = nullptr;
  uint8_t* user = nullptr;
  std::shared_ptr<win32::Event> event;
  DWORD thread = 0;

 private:
  std::atomic<bool> claimed{false};
};

// Ends transfers early with `status`, then tells the device to forget them.
void EndTransfers(const std::vector<std::shared_ptr<DriverTransfer>>& transfers,
                  const std::shared_ptr<UsbDevice>& device, uint32_t status) {
  for (const auto& t : transfers) {
    if (t->Claim()) t->Deliver(status, 0);
    if (device) device->Cancel(t.get());
  }
}

void DriverFile::OnClose() {
  std::vector<std::shared_ptr<DriverTransfer>> transfers;
  std::shared_ptr<UsbDevice> dev;
  {
    std::lock_guard<std::mutex> lock(mutex);
    closed = true;
    endpoint = -1;
    transfers.assign(outstanding.begin(), outstanding.end());
    dev = std::move(device);
  }
  g_openHandles.fetch_sub(1, std::memory_order_relaxed);
  EndTransfers(transfers, dev, ERROR_OPERATION_ABORTED);
  if (dev) dev->HandleClosed();
}

std::shared_ptr<UsbDevice> FindDevice(const char* path) {
  const size_t length = std::strlen(path);
  const size_t numberPrefix = sizeof(kNumberPrefix) - 1;
  if (length > numberPrefix && length <= numberPrefix + 9 &&
      EqualsNoCase(path, kNumberPrefix, numberPrefix)) {
    size_t number = 0;
    for (size_t i = numberPrefix; i < length; ++i) {
      if (!std::isdigit(static_cast<unsigned char>(path[i]))) return nullptr;
      number = number * 10 + static_cast<size_t>(path[i] - '0');
    }
    auto devices = ListDevices();
    return number < devices.size() ? devices[number] : nullptr;
  }
  const size_t interfacePrefix = sizeof(kInterfacePrefix) - 1;
  static const std::string suffix = GuidSuffix();
  if (length > interfacePrefix + suffix.size() && EqualsNoCase(path, kInterfacePrefix, interfacePrefix) &&
      EqualsNoCase(path + length - suffix.size(), suffix.c_str(), suffix.size())) {
    const std::string id(path + interfacePrefix, length - interfacePrefix - suffix.size());
    for (const auto& device : ListDevices()) {
      if (EqualsNoCase(device->InstanceId(), id)) return device;
    }
  }
  return nullptr;
}

// Runs one control request; returns its status and stores the output byte count.
uint32_t Control(DriverFile& file, const std::shared_ptr<UsbDevice>& device, DWORD code, const uint8_t* in,
                 DWORD inSize, uint8_t* out, DWORD outSize, DWORD* bytes) {
  *bytes = 0;
  if (!device->Present()) return kStatusDeviceRemoved;
  switch (code) {
    case usbioctl::kGetDriverInfo: {
      if (out == nullptr || outSize < usbioctl::kDriverInfoSize) return ERROR_INSUFFICIENT_BUFFER;
      std::memset(out, 0, usbioctl::kDriverInfoSize);
      const uint16_t version = InterfaceVersion();
      out[0] = static_cast<uint8_t>(version & 0xFF);
      out[1] = static_cast<uint8_t>(version >> 8);
      *bytes = usbioctl::kDriverInfoSize;
      return kStatusSuccess;
    }
    case usbioctl::kGetDescriptor: {
      if (in == nullptr || inSize < usbioctl::kGetDescriptorInSize) return kStatusInvalidParameter;
      if (Read32(in) != 0) return kStatusInvalidRecipient;
      uint32_t returned = 0;
      const uint32_t status = FromDevice(
          device->GetDescriptor(in[4], in[5], Read16(in + 6), out, out == nullptr ? 0 : outSize, &returned));
      if (status == kStatusSuccess) *bytes = std::min<DWORD>(returned, outSize);
      return status;
    }
    case usbioctl::kSetConfiguration: {
      if (in == nullptr || inSize < 4) return kStatusInvalidParameter;
      ConfigurationRequest request;
      request.configurationIndex = Read16(in);
      const uint16_t count = Read16(in + 2);
      if (count > usbioctl::kMaxConfigurationInterfaces || inSize < 4u + 8u * count)
        return kStatusInvalidParameter;
      for (uint16_t i = 0; i < count; ++i) {
        const uint8_t* entry = in + 4 + 8 * i;
        request.interfaces.push_back({Read16(entry), Read16(entry + 2), Read32(entry + 4)});
      }
      return FromDevice(device->SetConfiguration(request));
    }
    case usbioctl::kDropConfiguration:
      return FromDevice(device->DropConfiguration());
    case usbioctl::kBindPipe: {
      if (in == nullptr || inSize < 1) return kStatusInvalidParameter;
      {
        std::lock_guard<std::mutex> lock(file.mutex);
        if (file.endpoint >= 0) return kStatusAlreadyBound;
      }
      if (!device->HasEndpoint(in[0])) return kStatusPipeNotFound;
      std::lock_guard<std::mutex> lock(file.mutex);
      if (file.endpoint >= 0) return kStatusAlreadyBound;
      file.endpoint = in[0];
      return kStatusSuccess;
    }
    case usbioctl::kUnbindPipe: {
      // Transfers still on the pipe cannot complete once it is unbound: they end as by an abort.
      std::vector<std::shared_ptr<DriverTransfer>> transfers;
      {
        std::lock_guard<std::mutex> lock(file.mutex);
        if (file.endpoint < 0) return kStatusNotBound;
        file.endpoint = -1;
        transfers.assign(file.outstanding.begin(), file.outstanding.end());
      }
      EndTransfers(transfers, device, kStatusCancelled);
      return kStatusSuccess;
    }
    case usbioctl::kAbortPipe: {
      std::vector<std::shared_ptr<DriverTransfer>> transfers;
      {
        std::lock_guard<std::mutex> lock(file.mutex);
        transfers.assign(file.outstanding.begin(), file.outstanding.end());
      }
      EndTransfers(transfers, device, kStatusCancelled);
      return kStatusSuccess;
    }
    default:
      return kStatusBadControlCode;
  }
}

BOOL Transfer(HANDLE handle, void* buffer, DWORD size, LPDWORD count, LPOVERLAPPED overlapped, bool read) {
  if (count != nullptr) *count = 0;
  auto file = win32::FindHandleAs<DriverFile>(handle);
  if (!file) {
    return win32::Fail(ERROR_INVALID_HANDLE);
  }
  // Handles are always opened for overlapped I/O; there is no synchronous path.
  if (overlapped == nullptr || (size > 0 && buffer == nullptr)) {
    return win32::Fail(ERROR_INVALID_PARAMETER);
  }
  std::shared_ptr<win32::Event> event;
  if (overlapped->hEvent != nullptr) {
    event = win32::FindHandleAs<win32::Event>(overlapped->hEvent);
    if (!event) {
      return win32::Fail(ERROR_INVALID_HANDLE);
    }
  }

  auto t = std::make_shared<DriverTransfer>();
  t->bounce.reset(new uint8_t[size > 0 ? size : 1]);
  t->data = t->bounce.get();
  if (read) {
    t->capacity = size;
  } else {
    t->length = size;
    if (size > 0) std::memcpy(t->data, buffer, size);
  }
  t->file = file;
  t->overlapped = overlapped;
  t->user = static_cast<uint8_t*>(buffer);
  t->event = event;
  t->thread = GetCurrentThreadId();

  std::shared_ptr<UsbDevice> device;
  uint32_t refused = kStatusSuccess;
  {
    std::lock_guard<std::mutex> lock(file->mutex);
    if (file->closed) {
      refused = ERROR_INVALID_HANDLE;
    } else if (file->endpoint < 0) {
      refused = kStatusNotBound;
    } else if (((file->endpoint & 0x80) != 0) != read) {
      refused = kStatusBadDirection;
    } else {
      t->endpoint = static_cast<uint8_t>(file->endpoint);
      device = file->device;
      // Before the transfer becomes visible: an abort may end it right after the unlock.
      __atomic_store_n(&overlapped->InternalHigh, static_cast<ULONG_PTR>(0), __ATOMIC_RELAXED);
      __atomic_store_n(&overlapped->Internal, static_cast<ULONG_PTR>(ERROR_IO_PENDING), __ATOMIC_RELAXED);
      if (event) event->Reset();
      t->position = file->outstanding.insert(file->outstanding.end(), t);
    }
  }
  if (refused != kStatusSuccess) {
    g_outstanding.fetch_sub(1, std::memory_order_relaxed);
    return win32::Fail(refused);
  }

  t->self = t;
  const uint32_t status = FromDevice(device->Submit(t.get()));
  if (status != kStatusSuccess) {
    t->self.reset();
    g_outstanding.fetch_sub(1, std::memory_order_relaxed);
    if (t->Claim()) {
      std::lock_guard<std::mutex> lock(file->mutex);
      file->outstanding.erase(t->position);
      // Not signalled (the caller learns it from the return value), but a later look at the
      // OVERLAPPED must not find it pending forever.
      __atomic_store_n(&overlapped->Internal, static_cast<ULONG_PTR>(status), __ATOMIC_RELEASE);
      return win32::Fail(status);
    }
    // An abort or close ended it while the device was refusing; the caller sees that ending.
  } else if (t->Claimed()) {
    // An abort or close ended it before the device had it, so its Cancel missed; repeat it now.
    device->Cancel(t.get());
  }
  // Always pending, even when the device has already completed it: the caller learns the result
  // from the OVERLAPPED in every case.
  return win32::Fail(ERROR_IO_PENDING);
}

}  // namespace

const GUID& InterfaceClassGuid() {
  return kInterfaceClassGuid;
}

bool IsInterfaceClassGuid(const GUID* guid) {
  const GUID& g = kInterfaceClassGuid;
  return guid != nullptr && guid->Data1 == g.Data1 && guid->Data2 == g.Data2 && guid->Data3 == g.Data3 &&
         std::memcmp(guid->Data4, g.Data4, sizeof(g.Data4)) == 0;
}

std::string InterfacePath(const std::string& instanceId) {
  static const std::string suffix = GuidSuffix();
  return kInterfacePrefix + instanceId + suffix;
}

void AddSource(std::shared_ptr<DeviceSource> source, int rank) {
  if (!source) return;
  Sources& s = TheSources();
  std::lock_guard<std::mutex> lock(s.mutex);
  for (const auto& e : s.entries) {
    if (e.source == source) return;
  }
  auto at = std::upper_bound(s.entries.begin(), s.entries.end(), rank,
                             [](int r, const SourceEntry& e) { return r < e.rank; });
  s.entries.insert(at, SourceEntry{rank, std::move(source)});
}

void RemoveSource(const std::shared_ptr<DeviceSource>& source) {
  Sources& s = TheSources();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.entries.erase(std::remove_if(s.entries.begin(), s.entries.end(),
                                 [&](const SourceEntry& e) { return e.source == source; }),
                  s.entries.end());
}

std::vector<std::shared_ptr<UsbDevice>> ListDevices(std::vector<const char*>* enumerators) {
  std::vector<std::shared_ptr<DeviceSource>> sources;
  {
    Sources& s = TheSources();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (const auto& e : s.entries) sources.push_back(e.source);
  }
  // Sources may block briefly (a socket query), so they are asked without the lock.
  std::vector<std::shared_ptr<UsbDevice>> devices;
  for (const auto& source : sources) {
    for (auto& device : source->List()) {
      if (!device || !device->Present()) continue;
      devices.push_back(std::move(device));
      if (enumerators != nullptr) enumerators->push_back(source->Enumerator());
    }
  }
  return devices;
}

void SetInterfaceVersion(uint16_t version) {
  g_interfaceVersion.store(version);
}
uint16_t InterfaceVersion() {
  return g_interfaceVersion.load();
}
int OpenDriverHandles() {
  return g_openHandles.load();
}
int OutstandingTransfers() {
  return g_outstanding.load();
}

}  // namespace usbdrv

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  if (fileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  // Only the driver's device paths exist; anything else is a file that is not there.
  auto device = usbdrv::FindDevice(fileName);
  if (!device) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  device->HandleOpened();
  return win32::InsertHandle(std::make_shared<usbdrv::DriverFile>(std::move(device)));
}

BOOL WINAPI DeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                            LPDWORD returned, LPOVERLAPPED overlapped) {
  if (returned != nullptr) *returned = 0;
  auto file = win32::FindHandleAs<usbdrv::DriverFile>(handle);
  std::shared_ptr<usbdrv::UsbDevice> device;
  if (file) {
    std::lock_guard<std::mutex> lock(file->mutex);
    device = file->device;
  }
  if (!device) {
    return win32::Fail(ERROR_INVALID_HANDLE);
  }
  std::shared_ptr<win32::Event> event;
  if (overlapped != nullptr && overlapped->hEvent != nullptr) {
    event = win32::FindHandleAs<win32::Event>(overlapped->hEvent);
    if (!event) {
      return win32::Fail(ERROR_INVALID_HANDLE);
    }
  }
  DWORD bytes = 0;
  const uint32_t status = usbdrv::Control(*file, device, code, static_cast<const uint8_t*>(in), inSize,
                                          static_cast<uint8_t*>(out), outSize, &bytes);
  // Control requests complete at once; the OVERLAPPED is filled anyway so that a caller which
  // goes through GetOverlappedResult sees the same result.
  if (overlapped != nullptr) {
    __atomic_store_n(&overlapped->InternalHigh, static_cast<ULONG_PTR>(bytes), __ATOMIC_RELAXED);
    __atomic_store_n(&overlapped->Internal, static_cast<ULONG_PTR>(status), __ATOMIC_RELEASE);
    if (event) event->Set();
  }
  if (returned != nullptr) *returned = bytes;
  if (status != usbdrv::kStatusSuccess) {
    return win32::Fail(status);
  }
  return TRUE;
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
  return usbdrv::Transfer(file, buffer, toRead, read, overlapped, true);
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped) {
  // The buffer is only read (copied into the transfer's own buffer).
  return usbdrv::Transfer(file, const_cast<void*>(buffer), toWrite, written, overlapped, false);
}

BOOL WINAPI GetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait) {
  if (overlapped == nullptr) {
    return win32::Fail(ERROR_INVALID_PARAMETER);
  }
  auto status = [overlapped] { return __atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE); };
  if (status() == ERROR_IO_PENDING) {
    if (!wait) {
      return win32::Fail(ERROR_IO_INCOMPLETE);
    }
    if (overlapped->hEvent != nullptr) {
      auto event = win32::FindHandleAs<win32::Event>(overlapped->hEvent);
      if (!event) {
        return win32::Fail(ERROR_INVALID_HANDLE);
      }
      // The event is set after the status is stored, so one wake-up normally suffices.
      while (status() == ERROR_IO_PENDING) event->Wait(INFINITE);
    } else {
      auto file = win32::FindHandleAs<usbdrv::DriverFile>(handle);
      if (!file) {
        return win32::Fail(ERROR_INVALID_HANDLE);
      }
      std::unique_lock<std::mutex> lock(file->mutex);
      file->completed.wait(lock, [&] { return status() != ERROR_IO_PENDING; });
    }
  }
  const ULONG_PTR result = status();
  if (transferred != nullptr) {
    *transferred = static_cast<DWORD>(__atomic_load_n(&overlapped->InternalHigh, __ATOMIC_RELAXED));
  }
  if (result != ERROR_SUCCESS) {
    return win32::Fail(static_cast<DWORD>(result));
  }
  return TRUE;
}

BOOL WINAPI CancelIo(HANDLE handle) {
  auto file = win32::FindHandleAs<usbdrv::DriverFile>(handle);
  if (!file) {
    return win32::Fail(ERROR_INVALID_HANDLE);
  }
  // Only I/O that the calling thread started on this handle, as on Windows.
  const DWORD thread = GetCurrentThreadId();
  std::vector<std::shared_ptr<usbdrv::DriverTransfer>> transfers;
  std::shared_ptr<usbdrv::UsbDevice> device;
  {
    std::lock_guard<std::mutex> lock(file->mutex);
    for (const auto& t : file->outstanding) {
      if (t->thread == thread) transfers.push_back(t);
    }
    device = file->device;
  }
  usbdrv::EndTransfers(transfers, device, ERROR_OPERATION_ABORTED);
  return TRUE;
}
