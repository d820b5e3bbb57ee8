// The link beside a hostile peer in the run folder: the scan and connect the window makes before it
// is shown stay well within 3 s, the real logger beside the peer works, and what the link does with
// the peer's own "logger" ends in a reported failure, never a hang.
#include <chrono>

#include "VsimHarness.h"
#include "common/HostilePeer.h"
#include "common/RecordingWindow.h"
#include "link/USBInterface.h"

namespace {

using Clock = std::chrono::steady_clock;
using hostile::PeerKind;

TEST(HostilePeers, TheLinkStaysUsableBesideEveryKind) {
  for (const PeerKind kind : hostile::kHostileKinds) {
    SCOPED_TRACE(hostile::KindName(kind));
    if (kind == PeerKind::ForeignUid && !hostile::CanSwitchUsers()) continue;
    vsimtest::RunDir dir;
    usbdrv::EnableVirtualLoggers(dir.Path());
    vsimtest::Sim sim;
    ASSERT_TRUE(sim.Start(dir.Path(), {"--serial", "VLM5000"}));
    hostile::Peer peer(dir.Path(), "0-peer", kind);  // listed before the sim
    ASSERT_TRUE(peer.Listening());
    RecordingWindow window;
    {
      USBInterface usb(&window);
      const auto start = Clock::now();
      std::vector<int32_t> serials = usb.scanDevices();
      bool connected = usb.connect(5000);
      if (!connected && kind == PeerKind::HugeFrames) {
        // Its first reply ended it during the scan; the link's connect stops at a logger that has
        // gone since the scan, as with one pulled out. The next try finds the sim.
        serials = usb.scanDevices();
        connected = usb.connect(5000);
      }
      EXPECT_TRUE(connected);
      EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
      const std::vector<int32_t> expected =
          kind == PeerKind::StopsReading ? std::vector<int32_t>{777, 5000} : std::vector<int32_t>{5000};
      EXPECT_EQ(serials, expected);
      EXPECT_TRUE(vsimtest::WaitUntil([&] { return peer.Connections() >= 1; }));
      ASSERT_TRUE(usb.sendCommand("device.serial"));
      EXPECT_TRUE(window.waitForLine("device.serial=VLM5000"));
      usb.disconnect();

      if (kind == PeerKind::StopsReading) {
        // Connected to the peer, the link's readers fill its socket: the device is unplugged after
        // the send deadline, the link ends, and a command fails at once.
        ASSERT_TRUE(usb.connect(777));
        EXPECT_TRUE(window.waitUntil([&] { return !usb.isConnected(); }));
        const auto failing = Clock::now();
        EXPECT_FALSE(usb.sendCommand("device.serial"));
        EXPECT_LT(Clock::now() - failing, std::chrono::seconds(2));
      }
      // A later scan skips what failed, or fails it again at once.
      const auto again = Clock::now();
      usb.scanDevices();
      EXPECT_LT(Clock::now() - again, std::chrono::seconds(1));
    }
    usbdrv::DisableVirtualLoggers();
    EXPECT_EQ(usbdrv::OpenDriverHandles(), 0);
    EXPECT_EQ(usbdrv::OutstandingTransfers(), 0);
  }
}

}  // namespace
