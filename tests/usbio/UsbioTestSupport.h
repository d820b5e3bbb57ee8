// Shared set-up for the USB I/O tests: in-process devices on the platform's driver, and bounded waits.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/LoggerEndpoints.h"
#include "platform/usbdrv/DeviceSource.h"
#include "platform/usbdrv/DriverControl.h"
#include "platform/usbdrv/DriverInterface.h"
#include "platform/usbdrv/InProcessSource.h"
#include "usbdev/PacketDevice.h"
#include "usbio/SetupApiDll.h"
#include "usbio/UsbDevice.h"
#include "usbio/UsbPipe.h"
#include "usbio/UsbThread.h"

namespace usbio_test {

constexpr uint16_t kVendorId = 0x11E3;
constexpr uint16_t kProductId = 0x0005;
using ep::kCommandOut;
using ep::kDatIn;
// Far beyond anything a test waits for; reaching it means the code under test hangs.
constexpr std::chrono::seconds kGenerousBound{60};
constexpr DWORD kWaitMs = 60000;

inline std::shared_ptr<usbdrv::PacketDevice> MakeDevice(const std::string& instance,
                                                        const std::string& serial) {
  return std::make_shared<usbdrv::PacketDevice>(
      instance, kVendorId, kProductId, &serial,
      std::vector<uint8_t>{ep::kAnswerIn, kDatIn, ep::kDebugIn, kCommandOut, ep::kDatOut});
}

inline UsbConfiguration StandardConfiguration() {
  UsbConfiguration configuration{};
  configuration.configurationIndex = 0;
  configuration.interfaceCount = 1;
  configuration.interfaces[0].interfaceNumber = 0;
  configuration.interfaces[0].alternateSetting = 0;
  configuration.interfaces[0].maxTransferSize = 4096;
  return configuration;
}

// Polls a condition that another thread makes true; fails loudly instead of hanging.
inline bool WaitUntil(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kGenerousBound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Runs `call` on a thread of its own and gives its result. A call that never returns leaves a worker
// running on objects that cannot be destroyed safely, so the test program ends there, loudly.
template <typename Call>
auto WithinBound(const char* what, Call call) -> decltype(call()) {
  auto done = std::async(std::launch::async, std::move(call));
  if (done.wait_for(kGenerousBound) != std::future_status::ready) {
    std::fprintf(stderr, "FATAL: %s did not return within %lld s\n", what,
                 static_cast<long long>(kGenerousBound.count()));
    std::abort();
  }
  return done.get();
}

inline bool ShutdownWithin(CUsbThread& thread) {
  return WithinBound("ShutdownThread", [&thread] { return thread.ShutdownThread(); });
}

// Each test starts from a driver with only its own devices and default switches.
class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetDriver(); }
  void TearDown() override {
    control_.reset();
    ResetDriver();
  }

  static void ResetDriver() {
    usbdrv::DetachAllDevices();
    usbdrv::SetInterfaceVersion(usbdrv::kDefaultInterfaceVersion);
    usbdrv::WithholdSetupApiFunction("");
    g_SetupApiDll.Unload();
  }

  // Attaches a device and configures it through a control handle of its own, as the link does.
  std::shared_ptr<usbdrv::PacketDevice> AttachConfigured(const std::string& instance = "usbio-test-0",
                                                         const std::string& serial = "A0001") {
    auto device = MakeDevice(instance, serial);
    usbdrv::AttachDevice(device);
    control_ = std::make_unique<CUsbDevice>();
    EXPECT_EQ(control_->OpenDevice(DeviceNumberOf(device), nullptr, &g_UsbDrvInterfaceGuid, true), 0u);
    const UsbConfiguration configuration = StandardConfiguration();
    EXPECT_EQ(control_->ConfigureDevice(&configuration), 0u);
    return device;
  }

  static int DeviceNumberOf(const std::shared_ptr<usbdrv::PacketDevice>& device) {
    const auto list = usbdrv::ListDevices();
    for (size_t i = 0; i < list.size(); ++i) {
      if (list[i] == device) return static_cast<int>(i);
    }
    ADD_FAILURE() << "device not listed by the driver";
    return -1;
  }

  std::unique_ptr<CUsbDevice> control_;  // holds the configuration for the test's pipes
};

// One configured device whose pipes the test binds by endpoint.
class PipeTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    device_ = AttachConfigured();
    number_ = DeviceNumberOf(device_);
  }

  uint32_t BindTo(CUsbPipe& pipe, uint8_t endpoint) {
    return pipe.BindPipe(number_, endpoint, nullptr, &g_UsbDrvInterfaceGuid, true);
  }

  std::shared_ptr<usbdrv::PacketDevice> device_;
  int number_ = 0;
};

}  // namespace usbio_test
