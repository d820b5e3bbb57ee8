// The link over the hardware source, with loggers plugged into an emulated USB bus.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "UsbEmulation.h"
#include "common/LinkFixture.h"
#include "platform/usbdrv/DeviceSource.h"
#include "platform/usbdrv/LibusbSource.h"
#include "sim/model/Velmora.h"

class HardwareFixture : public LinkFixture {
 protected:
  void SetUp() override {
    // The bus first: libusb reads the emulated sysfs when the source starts.
    bus = std::make_unique<usbemu::EmulatedBus>();
    ASSERT_TRUE(usbemu::InMockEnvironment())
        << "umockdev's preload library is not loaded: run through ctest, or as umockdev-wrapper test_usb";
    LinkFixture::SetUp();
  }

  void TearDown() override {
    usb.reset();
    // Closes the shared libusb handles (and so the emulated nodes' clients) before the bus goes.
    usbdrv::DisableHardwareLoggers();
    LinkFixture::TearDown();
    bus.reset();
  }

  void enable() { ASSERT_TRUE(usbdrv::EnableHardwareLoggers()); }

  std::shared_ptr<velmora::VelmoraDevice> plugLogger(int port, velmora::Options options = {}) {
    auto model = std::make_shared<velmora::VelmoraDevice>(options, "model-" + std::to_string(port));
    bus->Plug(port, model);
    return model;
  }

  // libusb learns of a device plugged in after it started on its own thread: wait until the driver
  // lists `count` devices.
  static bool waitForDevices(size_t count, std::chrono::seconds bound = std::chrono::seconds(60)) {
    return waitFor([count] { return usbdrv::ListDevices().size() == count; }, bound);
  }

  static bool waitFor(const std::function<bool()>& condition,
                      std::chrono::seconds bound = std::chrono::seconds(60)) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  std::unique_ptr<usbemu::EmulatedBus> bus;
};
