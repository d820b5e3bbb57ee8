// What the program takes from its run folder and the peers there: whose folder, whose peer, how long
// a greeting or a send may take, which files a scan may remove, and which instance ids it lists.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <atomic>
#include <chrono>

#include "VsimHarness.h"
#include "common/HostilePeer.h"
#include "common/RecordingWindow.h"
#include "link/USBInterface.h"
#include "platform/DebugOutput.h"

namespace {

using hostile::Peer;
using hostile::PeerKind;
using vsimtest::Sim;
using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The socket file a sim killed with SIGKILL leaves behind.
void MakeDeadSocket(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ::close(fd);
}

// Captures the driver's debug lines (where the socket source says what it skipped and why).
class DebugLines {
 public:
  DebugLines() {
    win32::SetDebugOutputSink([this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      text_ += line;
    });
  }
  ~DebugLines() { win32::SetDebugOutputSink(nullptr); }
  std::string Text() {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }

 private:
  std::mutex mutex_;
  std::string text_;
};

// velmora-sim as another user, its output and exit code.
std::pair<int, std::string> RunSimAs(uid_t uid, const std::string& arguments) {
  const std::string id = std::to_string(uid);
  // Bounded: a sim that takes the folder serves until stopped.
  const std::string command = "timeout 20 /usr/bin/setpriv --reuid=" + id + " --regid=" + id +
                              " --clear-groups " + VELMORA_SIM_PATH + " " + arguments + " 2>&1";
  FILE* out = ::popen(command.c_str(), "r");
  std::string text;
  char chunk[256];
  size_t n;
  while (out != nullptr && (n = std::fread(chunk, 1, sizeof chunk, out)) > 0) text.append(chunk, n);
  const int status = out != nullptr ? ::pclose(out) : -1;
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

// Seen: another user made the victim's default run folder (/tmp/velmora-<uid>), open to all, and
// served a logger in it; the victim's program connected and would have sent it the clock, commands
// and the firmware image. Here an attacker and a victim, two users other than the test's.
TEST(RunFolderTrust, OnlyAFolderOfOurOwnClosedToOthersIsUsedAndARefusalIsSaidOnce) {
  if (!hostile::CanSwitchUsers()) GTEST_SKIP() << "needs root, to act as two other users";
  const std::string base = "/tmp/vsim-trust-" + std::to_string(::getpid());
  const std::string theirs = base + "-theirs", open = base + "-open", good = base + "-good",
                    link = base + "-link";
  ASSERT_EQ(
      hostile::RunAs(hostile::kAttackerUid,
                     [&](int) { return ::mkdir(theirs.c_str(), 0777) || ::chmod(theirs.c_str(), 0777); })
          .first,
      0);
  ASSERT_EQ(hostile::RunAs(hostile::kVictimUid,
                           [&](int) {
                             return ::mkdir(open.c_str(), 0777) || ::chmod(open.c_str(), 0777) ||
                                    ::mkdir(good.c_str(), 0700) || ::symlink(good.c_str(), link.c_str());
                           })
                .first,
            0);
  {
    Peer attacker(theirs, "logger", PeerKind::Logger, {"", hostile::kAttackerUid, hostile::kAttackerUid});
    Peer mine(open, "logger", PeerKind::Logger, {"", hostile::kVictimUid, hostile::kVictimUid});
    Peer linked(good, "logger", PeerKind::Logger, {"", hostile::kVictimUid, hostile::kVictimUid});
    ASSERT_TRUE(attacker.Listening() && mine.Listening() && linked.Listening());

    const auto victim = hostile::RunAs(hostile::kVictimUid, [&](int out) {
      std::string text;
      win32::SetDebugOutputSink([&](const std::string& line) { text += line; });
      for (const std::string& dir : {theirs, open, link}) {
        usbdrv::EnableVirtualLoggers(dir);
        text += std::to_string(usbdrv::ListDevices().size()) + " ";
        text += std::to_string(usbdrv::ListDevices().size()) + "\n";
      }
      // Closed to others, the folder is taken.
      ::chmod(open.c_str(), 0700);
      usbdrv::EnableVirtualLoggers(open);
      text += std::to_string(usbdrv::ListDevices().size()) + "\n";
      return ::write(out, text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1;
    });
    EXPECT_EQ(victim.first, 0);
    EXPECT_EQ(victim.second, "Virtual loggers: not using the run folder " + theirs +
                                 ": it belongs to user 65533, not to user 65534\n0 0\n"
                                 "Virtual loggers: not using the run folder " +
                                 open +
                                 ": other users have access to it (mode 0777, needs 0700)\n0 0\n"
                                 "Virtual loggers: not using the run folder " +
                                 link + ": it is a symbolic link\n0 0\n1\n");
    EXPECT_TRUE(vsimtest::WaitUntil([&] { return mine.Connections() == 1; }));
    EXPECT_EQ(attacker.Connections(), 0);
    EXPECT_EQ(linked.Connections(), 0);

    // velmora-sim makes the same checks.
    ::chmod(open.c_str(), 0750);
    const auto inTheirs = RunSimAs(hostile::kVictimUid, "--run-dir " + theirs);
    EXPECT_EQ(inTheirs.first, 1);
    EXPECT_EQ(inTheirs.second, "velmora-sim: the run folder " + theirs +
                                   " cannot be used: it belongs to user 65533, not to user 65534\n");
    const auto inOpen = RunSimAs(hostile::kVictimUid, "--run-dir " + open);
    EXPECT_EQ(inOpen.first, 1);
    EXPECT_EQ(inOpen.second, "velmora-sim: the run folder " + open +
                                 " cannot be used: other users have access to it (mode 0750, needs 0700)\n");
  }
  for (const std::string& dir : {theirs, open, good}) ::rmdir(dir.c_str());
  ::unlink(link.c_str());
}

// A socket in our own folder can still be served by another user (one who got hold of the listening
// socket); the peer's credentials tell, on both ends.
TEST(RunFolderTrust, PeersOfAnotherUserAreDroppedOnBothEnds) {
  if (!hostile::CanSwitchUsers()) GTEST_SKIP() << "needs root, to act as another user";
  vsimtest::RunDir dir;
  usbdrv::EnableVirtualLoggers(dir.Path());
  {
    DebugLines lines;
    Peer foreign(dir.Path(), "foreign", PeerKind::ForeignUid), ours(dir.Path(), "ours", PeerKind::Logger);
    ASSERT_TRUE(foreign.Listening() && ours.Listening());
    for (int i = 0; i < 2; ++i) {
      const auto devices = usbdrv::ListDevices();
      ASSERT_EQ(devices.size(), 1u);
      EXPECT_EQ(devices[0]->InstanceId(), "peer-ours");
      EXPECT_TRUE(vsimtest::WaitUntil([&] { return foreign.Connections() >= 1; }));
    }
    EXPECT_EQ(foreign.Connections(), 1) << "a dropped peer is not asked again until its socket changes";
    EXPECT_EQ(lines.Text(), "Virtual loggers: skipping foreign.sock: it is served by another user\n");
  }
  usbdrv::DisableVirtualLoggers();

  // A sim of another user gives us no greeting: it hangs up.
  const std::string simDir = "/tmp/vsim-trust-" + std::to_string(::getpid()) + "-sim";
  ASSERT_EQ(hostile::RunAs(hostile::kVictimUid, [&](int) { return ::mkdir(simDir.c_str(), 0700); }).first, 0);
  {
    Sim sim;
    ASSERT_TRUE(sim.Start(simDir, {"--serial", "VLM4242"}, hostile::kVictimUid));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", sim.Socket().c_str());
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, vsimtest::kBoundMs), 1);
    char byte;
    EXPECT_EQ(::recv(fd, &byte, 1, 0), 0) << "the sim greeted a peer of another user";
    ::close(fd);
  }
  ::rmdir(simDir.c_str());
}

class SocketTrust : public vsimtest::VsimTest {};

// Seen: a silent socket cost every open its 2 s time-out again (18 s before "Device connected"), and
// one announcing 16 MiB, a byte every 1.5 s, held the program for good.
TEST_F(SocketTrust, SilentAndSlowPeersCostOneDeadlineOnceAndTheScanGoesOn) {
  Sim sim;
  ASSERT_TRUE(sim.Start(dir.Path(), {"--serial", "VLM5000"}));
  Peer a(dir.Path(), "a-silent", PeerKind::Silent), b(dir.Path(), "b-silent", PeerKind::Silent),
      c(dir.Path(), "c-slow", PeerKind::SlowGreeting);
  const std::vector<std::string> simOnly{"vsim-VLM5000-" + std::to_string(sim.Pid())};
  auto start = Clock::now();
  EXPECT_EQ(InstanceIds(), simOnly);
  EXPECT_LT(MillisecondsSince(start), 2500) << "one greeting deadline for all new sockets";
  // Sockets that failed are not tried again: the peers see no second connection (a retry would wait
  // for its greeting, so it would have been accepted by the time the scan returns).
  EXPECT_TRUE(vsimtest::WaitUntil([&] { return a.Connections() + b.Connections() + c.Connections() == 3; }));
  EXPECT_EQ(InstanceIds(), simOnly);
  EXPECT_EQ(a.Connections() + b.Connections() + c.Connections(), 3) << "sockets that failed were tried again";

  RecordingWindow window;
  USBInterface usb(&window);
  ASSERT_EQ(usb.scanDevices(), std::vector<int32_t>{5000});
  ASSERT_TRUE(usb.connect(5000));
  EXPECT_EQ(a.Connections() + b.Connections() + c.Connections(), 3);
}

// Seen: a peer that stopped reading backed up the socket, a reader blocked in send, and the others
// and then the window's keep-alive waited for the send lock.
TEST_F(SocketTrust, APeerThatStopsReadingHoldsASendOneSecondAtMostAndIsThenUnplugged) {
  Peer peer(dir.Path(), "stuck", PeerKind::StopsReading);
  vsimtest::Logger logger;
  ASSERT_EQ(logger.Open(0), 0u);
  std::vector<uint8_t> block(64 * 1024, 0x5A);
  std::vector<std::unique_ptr<CUsbBuf>> buffers;
  for (int i = 0; i < 16; ++i) {
    buffers.push_back(std::make_unique<CUsbBuf>(block.data(), static_cast<uint32_t>(block.size())));
    buffers.back()->bytesToTransfer = static_cast<uint32_t>(block.size());
  }
  std::atomic<bool> submitted{false};
  const auto start = Clock::now();
  std::thread writer([&] {
    for (auto& b : buffers) logger.datOut.SubmitWrite(b.get());
    submitted = true;
  });
  const bool inTime = vsimtest::WaitUntil([&] { return submitted.load(); });
  EXPECT_TRUE(inTime);
  EXPECT_LT(MillisecondsSince(start), 3000) << "a send waited past its deadline";
  if (!inTime) usbdrv::DisableVirtualLoggers();  // unblocks the writer, so that the test can end
  writer.join();
  int removed = 0;
  for (auto& b : buffers)
    removed += logger.datOut.WaitForBuffer(b.get(), vsimtest::kBoundMs) == usbdrv::kStatusDeviceRemoved;
  EXPECT_GT(removed, 0);
  EXPECT_EQ(logger.Command("device.serial"), usbdrv::kStatusDeviceRemoved);
  EXPECT_TRUE(usbdrv::ListDevices().empty()) << "a peer that broke off is not connected again";
  EXPECT_EQ(peer.Connections(), 1);
}

// Seen: a notes file named "*.sock" was removed because it refused a connection.
TEST_F(SocketTrust, OnlyOurOwnDeadSocketsAreRemoved) {
  MakeDeadSocket(dir.File("dead.sock"));
  vsimtest::WriteBytes(dir.File("notes.sock"), {1, 2, 3});
  ASSERT_EQ(::mkfifo(dir.File("fifo.sock").c_str(), 0600), 0);
  MakeDeadSocket(dir.File("theirs.sock"));
  const bool chowned =
      ::chown(dir.File("theirs.sock").c_str(), hostile::kVictimUid, hostile::kVictimUid) == 0;
  EXPECT_TRUE(usbdrv::ListDevices().empty());
  EXPECT_FALSE(vsimtest::Exists(dir.File("dead.sock")));
  EXPECT_TRUE(vsimtest::Exists(dir.File("notes.sock")));
  EXPECT_TRUE(vsimtest::Exists(dir.File("fifo.sock")));
  EXPECT_EQ(vsimtest::Exists(dir.File("theirs.sock")), chowned) << "a dead socket of another user stays";
}

// Seen: an instance id holding a zero byte hid every other virtual logger.
TEST_F(SocketTrust, OnlyPrintableShortAndUniqueInstanceIdsAreListed) {
  Sim sim;
  ASSERT_TRUE(sim.Start(dir.Path(), {"--serial", "VLM5000"}));
  const std::string ids[] = {
      std::string("zero\0byte", 9), std::string(65, 'x'), "\x1b[31mred", "dup-1", "DUP-1",
      std::string(64, 'y')};
  std::vector<std::unique_ptr<Peer>> peers;
  for (size_t i = 0; i < sizeof ids / sizeof ids[0]; ++i) {
    peers.push_back(
        std::make_unique<Peer>(dir.Path(), "p" + std::to_string(i), PeerKind::Logger,
                               Peer::Options{ids[i], static_cast<uid_t>(-1), static_cast<uid_t>(-1)}));
  }
  const std::vector<std::string> expected{"vsim-VLM5000-" + std::to_string(sim.Pid()), "dup-1",
                                          std::string(64, 'y')};
  EXPECT_EQ(InstanceIds(), expected);
  EXPECT_EQ(InstanceIds(), expected);
  RecordingWindow window;
  USBInterface usb(&window);
  EXPECT_EQ(usb.scanDevices(), (std::vector<int32_t>{5000, 777, 777}));
}

}  // namespace
