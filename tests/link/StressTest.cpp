// Connect and disconnect many times while all three readers have data and a second thread keeps
// sending the keep-alive command. Run under the sanitizers this catches races and leaks in tear-down.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common/LinkFixture.h"
#include "platform/usbdrv/InProcessSource.h"

using StressTest = LinkFixture;

TEST_F(StressTest, TwoHundredConnectCyclesWithTrafficOnEveryPipe) {
  velmora::Options options;
  options.records = 2000;
  auto dev = attachLogger(options);
  ASSERT_EQ(usb->scanDevices().size(), 1u);

  std::atomic<bool> stop{false};
  std::thread keepAlive([&] {
    while (!stop) {
      if (usb->isConnected()) usb->sendCommand("device.serial");
      std::this_thread::yield();
    }
  });

  int connects = 0;
  for (int cycle = 0; cycle < 200; ++cycle) {
    if (!usb->connect(12345)) continue;
    ++connects;
    // Memory on DATIN (taken as unexpected data: no transfer is under way), answers on IN, debug
    // lines on DebugIn.
    usb->sendCommand("mem.load=0,1024");
    usb->sendCommand("mem.used");
    if (cycle % 2) std::this_thread::yield();
    usb->disconnect();
  }
  stop = true;
  keepAlive.join();
  EXPECT_EQ(connects, 200);
  EXPECT_GE(window.count("Device connected"), 200u);
  EXPECT_FALSE(usb->isConnected());

  // The link still works after all that.
  ASSERT_TRUE(usb->connect(12345));
  usb->sendCommand("device.software");
  EXPECT_TRUE(window.waitForLine("device.software=V1.09"));
}

// The logger goes away and the link object is destroyed while its workers are still ending on their
// own: their exit hooks run on the link, so the destruction must wait for every one of them. The
// sanitizer builds see any touch of the freed object; every build sees a late log line.
TEST_F(StressTest, LinkObjectGoesWhileItsWorkersEndOnTheirOwn) {
  for (int cycle = 0; cycle < 100; ++cycle) {
    auto dev = attachLogger();
    usb = std::make_unique<USBInterface>(&window);
    connectOne();
    usbdrv::DetachDevice(dev);
    // From at once to well after the workers' failures: the destruction meets the exit hooks at
    // different points.
    std::this_thread::sleep_for(std::chrono::microseconds(cycle * 20));
    usb.reset();
    const size_t lines = window.log().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(window.log().size(), lines) << "cycle " << cycle << ": a worker outlived its link object";
  }
  usb = std::make_unique<USBInterface>(&window);
}
