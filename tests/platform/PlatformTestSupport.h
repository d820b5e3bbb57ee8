// Helpers shared by the platform tests: owned handles, overlapped records, threads on CreateThread,
// and short forms of the driver requests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/LoggerEndpoints.h"
#include "platform/usbdrv/DriverControl.h"
#include "platform/usbdrv/DriverInterface.h"
#include "platform/usbdrv/InProcessSource.h"
#include "platform/win32.h"

namespace pt {

// The logger's endpoints, as the tests' devices offer them.
using ep::kAnswerIn;
using ep::kCommandOut;
using ep::kDatIn;
using ep::kDatOut;
using ep::kDebugIn;

// A packet that tells its number: the first four bytes hold it, the rest follow from it.
inline std::vector<uint8_t> Packet(uint32_t number, size_t size = 64) {
  std::vector<uint8_t> p(size);
  for (size_t i = 0; i < size; ++i) p[i] = static_cast<uint8_t>(number * 7 + i);
  if (size >= 4) std::memcpy(p.data(), &number, 4);
  return p;
}

// Every wait in these tests is bounded by this and fails loudly when it runs out.
constexpr DWORD kWaitMs = 60000;

class Handle {
 public:
  explicit Handle(HANDLE h = nullptr) : h_(h) {}
  ~Handle() { Close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  BOOL Close() {
    BOOL ok = TRUE;
    if (valid()) ok = CloseHandle(h_);
    h_ = nullptr;
    return ok;
  }

 private:
  HANDLE h_;
};

struct Overlapped {
  explicit Overlapped(bool manualReset = true) {
    ov.hEvent = CreateEventA(nullptr, manualReset, FALSE, nullptr);
  }
  ~Overlapped() { CloseHandle(ov.hEvent); }
  Overlapped(const Overlapped&) = delete;
  Overlapped& operator=(const Overlapped&) = delete;
  bool Signalled(DWORD ms = 0) const { return WaitForSingleObject(ov.hEvent, ms) == WAIT_OBJECT_0; }
  OVERLAPPED ov{};
};

// A thread made with CreateThread running a function; the destructor waits for it.
class Thread {
 public:
  explicit Thread(std::function<void()> body) : body_(std::move(body)) {
    handle_ = CreateThread(nullptr, 0, &Thread::Run, &body_, 0, &id_);
  }
  ~Thread() {
    if (!Join()) {
      std::fputs("test thread did not end in time\n", stderr);
      std::abort();  // the thread still uses body_; going on would be worse
    }
  }
  bool Join(DWORD ms = kWaitMs) {
    if (handle_ == nullptr) return true;
    if (WaitForSingleObject(handle_, ms) != WAIT_OBJECT_0) return false;
    CloseHandle(handle_);
    handle_ = nullptr;
    return true;
  }
  HANDLE handle() const { return handle_; }
  DWORD id() const { return id_; }

 private:
  static DWORD WINAPI Run(LPVOID p) {
    (*static_cast<std::function<void()>*>(p))();
    return 0;
  }
  std::function<void()> body_;
  HANDLE handle_ = nullptr;
  DWORD id_ = 0;
};

inline HANDLE OpenPath(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

inline HANDLE OpenNumber(int n) {
  return OpenPath("\\\\.\\UsbDrv_Device" + std::to_string(n));
}

// A control request: 0 on success, else the error it left.
inline uint32_t Ioctl(HANDLE h, DWORD code, const void* in = nullptr, DWORD inSize = 0, void* out = nullptr,
                      DWORD outSize = 0, DWORD* returned = nullptr) {
  DWORD n = 0;
  BOOL ok = DeviceIoControl(h, code, const_cast<void*>(in), inSize, out, outSize, &n, nullptr);
  if (returned != nullptr) *returned = n;
  return ok ? 0 : GetLastError();
}

inline uint32_t Configure(HANDLE h, uint16_t interfaceNumber = 0, uint16_t alternate = 0) {
  std::vector<uint8_t> record(usbioctl::kSetConfigurationSize, 0);
  record[2] = 1;  // one interface entry
  record[4] = static_cast<uint8_t>(interfaceNumber);
  record[6] = static_cast<uint8_t>(alternate);
  record[9] = 0x10;  // 4096 bytes
  return Ioctl(h, usbioctl::kSetConfiguration, record.data(), static_cast<DWORD>(record.size()));
}

inline uint32_t Bind(HANDLE h, uint8_t endpoint) {
  return Ioctl(h, usbioctl::kBindPipe, &endpoint, 1);
}

inline uint32_t Descriptor(HANDLE h, uint8_t type, uint8_t index, std::vector<uint8_t>& out,
                           uint32_t size = 255, uint32_t recipient = 0) {
  uint8_t in[8] = {static_cast<uint8_t>(recipient), 0, 0, 0, type, index, 0, 0};
  out.assign(size, 0);
  DWORD n = 0;
  uint32_t status = Ioctl(h, usbioctl::kGetDescriptor, in, sizeof(in), out.data(), size, &n);
  out.resize(status == 0 ? n : 0);
  return status;
}

// Starts a read or write; returns the error it left (997 when pending).
inline uint32_t StartRead(HANDLE h, void* buffer, DWORD size, Overlapped& o) {
  DWORD n = 0;
  return ReadFile(h, buffer, size, &n, &o.ov) ? 0 : GetLastError();
}
inline uint32_t StartWrite(HANDLE h, const void* buffer, DWORD size, Overlapped& o) {
  DWORD n = 0;
  return WriteFile(h, buffer, size, &n, &o.ov) ? 0 : GetLastError();
}

// Waits (bounded) for the transfer's event, then reads its result: 0 or the error.
inline uint32_t Finish(HANDLE h, Overlapped& o, DWORD* bytes = nullptr) {
  if (!o.Signalled(kWaitMs)) return 0xFFFFFFFF;  // never a real status: fails any comparison loudly
  DWORD n = 0;
  BOOL ok = GetOverlappedResult(h, &o.ov, &n, FALSE);
  if (bytes != nullptr) *bytes = n;
  return ok ? 0 : GetLastError();
}

// Device 0, configured, this handle bound to `endpoint`.
inline HANDLE OpenBound(uint8_t endpoint) {
  HANDLE h = OpenNumber(0);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Configure(h), 0u);
  EXPECT_EQ(Bind(h, endpoint), 0u);
  return h;
}

// Each test starts with no devices and ends having given back every handle and transfer.
class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override { usbdrv::DetachAllDevices(); }
  void TearDown() override {
    usbdrv::DetachAllDevices();
    usbdrv::SetInterfaceVersion(usbdrv::kDefaultInterfaceVersion);
    EXPECT_EQ(usbdrv::OpenDriverHandles(), 0) << "driver handles leaked";
    EXPECT_EQ(usbdrv::OutstandingTransfers(), 0) << "transfers leaked";
  }
};

}  // namespace pt
