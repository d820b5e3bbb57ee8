// Drives a device model directly through the USB device contract, the way the driver would.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "common/LoggerEndpoints.h"
#include "usbdev/DeviceContract.h"

namespace simtest {

// A transfer that records its completion.
class TestTransfer : public usbdrv::UsbTransfer {
 public:
  TestTransfer(uint8_t ep, std::vector<uint8_t> bytes) : buffer(std::move(bytes)) {
    endpoint = ep;
    if (IsIn()) buffer.assign(512, 0xCC);  // room for more than a packet, so oversized ones show
    data = buffer.data();
    (IsIn() ? capacity : length) = static_cast<uint32_t>(buffer.size());
  }
  void Complete(uint32_t s, uint32_t a) override {
    std::lock_guard<std::mutex> lock(mutex_);
    status = s;
    actual = a;
    ++completions;
    done_.notify_all();
  }
  bool Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    return done_.wait_for(lock, std::chrono::seconds(10), [this] { return completions > 0; });
  }

  std::vector<uint8_t> buffer;
  uint32_t status = 0, actual = 0;
  int completions = 0;

 private:
  std::mutex mutex_;
  std::condition_variable done_;
};

inline void Configure(usbdrv::UsbDevice& device) {
  usbdrv::ConfigurationRequest request;
  request.interfaces.push_back({0, 0, 4096});
  ASSERT_EQ(device.SetConfiguration(request), usbdrv::kStatusSuccess);
}

inline void Write(usbdrv::UsbDevice& device, uint8_t endpoint, const std::vector<uint8_t>& bytes) {
  TestTransfer t(endpoint, bytes);
  ASSERT_EQ(device.Submit(&t), usbdrv::kStatusSuccess);
  ASSERT_TRUE(t.Wait()) << "OUT transfer never completed";
  EXPECT_EQ(t.status, usbdrv::kStatusSuccess);
}

// A command as the PC frames it: the text and one zero byte.
inline void Command(usbdrv::UsbDevice& device, const std::string& text) {
  std::vector<uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  Write(device, ep::kCommandOut, bytes);
}

// One IN packet; a failed read gives "<status hex>" so a comparison shows what went wrong.
inline std::vector<uint8_t> Read(usbdrv::UsbDevice& device, uint8_t endpoint) {
  TestTransfer t(endpoint, {});
  if (device.Submit(&t) != usbdrv::kStatusSuccess) return {'<', 'r', 'e', 'f', 'u', 's', 'e', 'd', '>'};
  if (!t.Wait()) {
    ADD_FAILURE() << "no packet on endpoint " << int(endpoint);
    device.Cancel(&t);
    t.Wait();
  }
  EXPECT_EQ(t.completions, 1);
  if (t.status != 0) {
    const std::string text = "<status " + std::to_string(t.status) + ">";
    return std::vector<uint8_t>(text.begin(), text.end());
  }
  return std::vector<uint8_t>(t.buffer.begin(), t.buffer.begin() + t.actual);
}

// The text of one answer packet up to its zero byte.
inline std::string ReadText(usbdrv::UsbDevice& device, uint8_t endpoint = ep::kAnswerIn) {
  const auto packet = Read(device, endpoint);
  const std::string text(packet.begin(), packet.end());
  return text.substr(0, text.find('\0'));
}

}  // namespace simtest
