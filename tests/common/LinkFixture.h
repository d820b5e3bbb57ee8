// A USBInterface over a recording window, with virtual loggers attached in process.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/LoggerEndpoints.h"
#include "common/RecordingWindow.h"
#include "link/USBInterface.h"
#include "platform/DebugOutput.h"
#include "platform/usbdrv/DriverControl.h"
#include "platform/usbdrv/InProcessSource.h"
#include "sim/model/Velmora.h"
#include "usbdev/PacketDevice.h"

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
    EXPECT_EQ(usbdrv::OpenDeviceInfoLists(), 0);
  }

  std::shared_ptr<velmora::VelmoraDevice> attachLogger(velmora::Options options = {},
                                                       const std::string& id = "") {
    auto dev = std::make_shared<velmora::VelmoraDevice>(options, id.empty() ? nextId() : id);
    usbdrv::AttachDevice(dev);
    return dev;
  }
  std::shared_ptr<usbdrv::PacketDevice> attachOther(uint16_t vendor, uint16_t product,
                                                    const std::string* serial,
                                                    std::vector<uint8_t> endpoints = {}) {
    auto dev =
        std::make_shared<usbdrv::PacketDevice>(nextId(), vendor, product, serial, std::move(endpoints));
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

// A link to a raw logger whose packets the test writes and reads itself: it plays the logger's
// answers and looks at what the link sent.
class RawLoggerFixture : public LinkFixture {
 protected:
  using Lines = std::vector<std::string>;

  void SetUp() override {
    LinkFixture::SetUp();
    const std::string serial = "VLM12345";
    raw = attachOther(logger::kVendorId, logger::kProductId, &serial,
                      {ep::kAnswerIn, ep::kDatIn, ep::kDebugIn, ep::kCommandOut, ep::kDatOut});
    connectOne();
    window.clear();
  }

  static std::vector<uint8_t> zeroTerminated(const std::string& text) {
    std::vector<uint8_t> b(text.begin(), text.end());
    b.push_back(0);
    return b;
  }

  // Sends an answer as the logger would and waits until the reader has dealt with it: answers are
  // handled one after the other, so a marker answer sent behind it closes the wait.
  void answer(const std::vector<uint8_t>& packet, const std::string& shown) {
    const std::string marker = "marker=" + std::to_string(++markers_);
    raw->QueueIn(ep::kAnswerIn, packet);
    raw->QueueIn(ep::kAnswerIn, zeroTerminated(marker));
    ASSERT_TRUE(window.waitForLine(marker, 1));
    auto shownLines = responses();
    ASSERT_FALSE(shownLines.empty());
    EXPECT_EQ(shownLines.back(), shown);
  }
  void answer(const std::string& text) { answer(zeroTerminated(text), text); }

  // The log and the response memo without the markers.
  Lines log() const { return withoutMarkers(window.log()); }
  Lines responses() const { return withoutMarkers(window.responses()); }

  std::shared_ptr<usbdrv::PacketDevice> raw;

 private:
  static Lines withoutMarkers(Lines lines) {
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [](const std::string& l) { return l.rfind("marker=", 0) == 0; }),
                lines.end());
    return lines;
  }
  int markers_ = 0;
};
