// A USBInterface over a recording window, with virtual loggers attached in process.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/RecordingWindow.h"
#include "link/USBInterface.h"
#include "platform/debug_output.h"
#include "platform/usbdrv/driver_control.h"
#include "platform/usbdrv/packet_device.h"
#include "sim/model/Velmora.h"

class LinkFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    usbdrv::DetachAllDevices();
    win32::SetDebugOutputSink([this](const std::string& line) {
      std::lock_guard<std::mutex> lock(debugMutex_);
      debugLines_.push_back(line);
    });
    usb = std::make_unique<USBInterface>(&window);
  }
  void TearDown() override {
    usb.reset();
    usbdrv::DetachAllDevices();
    win32::SetDebugOutputSink(nullptr);
    // The link stops every worker before its object goes: no "Thread is still running" line.
    for (const auto& line : debugLines_) EXPECT_EQ(line.find("still running"), std::string::npos) << line;
    // Every handle and transfer of the link has been given back.
    EXPECT_EQ(usbdrv::OpenDriverHandles(), 0);
    EXPECT_EQ(usbdrv::OutstandingTransfers(), 0);
  }

  std::shared_ptr<velmora::VelmoraDevice> attachLogger(velmora::Options options = {}, const std::string& id = "") {
    auto dev = std::make_shared<velmora::VelmoraDevice>(options, id.empty() ? nextId() : id);
    usbdrv::AttachDevice(dev);
    return dev;
  }
  std::shared_ptr<usbdrv::PacketDevice> attachOther(uint16_t vendor, uint16_t product, const std::string* serial,
                                                    std::vector<uint8_t> endpoints = {}) {
    auto dev = std::make_shared<usbdrv::PacketDevice>(nextId(), vendor, product, serial, std::move(endpoints));
    usbdrv::AttachDevice(dev);
    return dev;
  }
  std::string nextId() { return "test-" + std::to_string(++ids_); }

  // Connects to the one attached logger through a scan, as the window does.
  void connectOne() {
    auto serials = usb->scanDevices();
    ASSERT_EQ(serials.size(), 1u);
    ASSERT_TRUE(usb->connect(serials[0]));
  }

  // The log lines after the first occurrence of `from` (all lines when empty).
  std::vector<std::string> logFrom(const std::string& from) const {
    auto lines = window.log();
    auto it = from.empty() ? lines.begin() : std::find(lines.begin(), lines.end(), from);
    return std::vector<std::string>(it, lines.end());
  }

  RecordingWindow window;
  std::unique_ptr<USBInterface> usb;

 private:
  int ids_ = 0;
  std::mutex debugMutex_;
  std::vector<std::string> debugLines_;
};
