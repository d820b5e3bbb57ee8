// Commands out, answers in, against a raw logger whose packets the test writes and reads itself.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/LinkFixture.h"
#include "common/LoggerEndpoints.h"
#include "link/LinkAccess.h"
#include "link/MyReader.h"

using Packets = std::vector<std::vector<uint8_t>>;

namespace {
std::vector<uint8_t> bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}
}  // namespace

using CommandTest = RawLoggerFixture;

TEST_F(CommandTest, CommandIsTextAndOneZeroByteInOneTransfer) {
  EXPECT_TRUE(usb->sendCommand("mem.used"));
  EXPECT_EQ(raw->TakeOut(ep::kCommandOut), (Packets{zeroTerminated("mem.used")}));
  EXPECT_EQ(log(), (Lines{" <<< mem.used"}));
}

TEST_F(CommandTest, MemUsedStartsTheMemoryRead) {
  answer("mem.used=9");
  ASSERT_TRUE(window.waitForLine(" <<< mem.load=0,512"));
  EXPECT_EQ(LinkAccess(*usb).memUsed(), 9);
  EXPECT_EQ(LinkAccess(*usb).packetsExpected(), 8);
  EXPECT_EQ(window.interval(), 10000);
  EXPECT_TRUE(window.timeoutEnabled());
  EXPECT_EQ(raw->TakeOut(ep::kCommandOut), (Packets{zeroTerminated("mem.load=0,512")}));
  // The time-out is stopped first, then re-armed at the longer interval before the request goes out.
  std::vector<RecordingWindow::Kind> timer;
  for (const auto& e : window.effects())
    if (e.kind == RecordingWindow::Kind::TimeoutEnable || e.kind == RecordingWindow::Kind::TimeoutInterval)
      timer.push_back(e.kind);
  EXPECT_EQ(timer, (std::vector<RecordingWindow::Kind>{RecordingWindow::Kind::TimeoutEnable,
                                                       RecordingWindow::Kind::TimeoutInterval,
                                                       RecordingWindow::Kind::TimeoutEnable}));
}

// Asked for the count alone, the answer reads nothing and leaves the download's fields alone; the
// flag lasts for one answer.
TEST_F(CommandTest, MemUsedForTheCountOnlyReadsNothing) {
  LinkAccess(*usb).countOnly() = true;
  answer("mem.used=16000");
  EXPECT_EQ(log(), (Lines{"mem.used=16000"}));
  EXPECT_TRUE(raw->TakeOut(ep::kCommandOut).empty());
  EXPECT_EQ(LinkAccess(*usb).memUsed(), 0);
  std::vector<LinkEvent> counts;
  for (const LinkEvent& e : window.events())
    if (e.kind == LinkEvent::Kind::RecordCount || e.kind == LinkEvent::Kind::StoredRecords)
      counts.push_back(e);
  ASSERT_EQ(counts.size(), 1u);
  EXPECT_EQ(counts[0].kind, LinkEvent::Kind::RecordCount);
  EXPECT_EQ(counts[0].value, 16000);
  EXPECT_FALSE(LinkAccess(*usb).countOnly());
  answer("mem.used=9");
  EXPECT_TRUE(window.waitForLine(" <<< mem.load=0,512"));
}

TEST_F(CommandTest, MemUsedWithoutRecordsEndsTheDownload) {
  LinkAccess(*usb).downloadActive() = true;
  for (const char* text : {"mem.used=0", "mem.used", "mem.used=-3"}) {
    window.clear();
    answer(text);
    EXPECT_EQ(log(), (Lines{text, "No data stored!"}));
  }
  EXPECT_TRUE(LinkAccess(*usb).downloadActive());
  EXPECT_TRUE(raw->TakeOut(ep::kCommandOut).empty());
}

TEST_F(CommandTest, MemUsedBeyondTheMemoryImageIsRefused) {
  LinkAccess(*usb).downloadActive() = true;
  answer("mem.used=16384");
  ASSERT_TRUE(window.waitForLine(" <<< mem.load=0,524288"));
  window.clear();
  raw->TakeOut(ep::kCommandOut);
  answer("mem.used=16385");
  EXPECT_EQ(log(), (Lines{"mem.used=16385", "Stored data exceeds memory image"}));
  answer("mem.used=99999999999");
  EXPECT_EQ(log().back(), "Stored data exceeds memory image");
  EXPECT_TRUE(raw->TakeOut(ep::kCommandOut).empty());
  EXPECT_TRUE(LinkAccess(*usb).downloadActive());
  EXPECT_FALSE(window.busy());
}

TEST_F(CommandTest, OtherAnswersAreOnlyShown) {
  answer("device.serial=12345");
  answer("date.date=01.02.2027 09:05:03");
  answer("mem.load=0,512");
  answer("nonsense");
  EXPECT_EQ(log(),
            (Lines{"device.serial=12345", "date.date=01.02.2027 09:05:03", "mem.load=0,512", "nonsense"}));
  EXPECT_EQ(responses(), log());
  EXPECT_TRUE(raw->TakeOut(ep::kCommandOut).empty());
}

TEST_F(CommandTest, AnswerTextEndsAtZeroOrFillsTheBuffer) {
  const std::string full(64, 'A');
  answer(bytes(full), full);
  answer(std::vector<uint8_t>{}, "");
  answer(bytes(std::string("ab\0cd", 5)), "ab");
  // Answer texts are data, never a format.
  answer("%s%n%x%%");
  EXPECT_EQ(log(), (Lines{full, "", "ab", "%s%n%x%%"}));
}

// Control bytes of an answer are shown escaped in both memos; the answer is still acted on as sent.
TEST_F(CommandTest, AnswerControlsAreShownEscaped) {
  answer(zeroTerminated("device.serial=1\nDevice disconnected!\x1B[0m"),
         "device.serial=1\\x0ADevice disconnected!\\x1B[0m");
  EXPECT_EQ(log(), (Lines{"device.serial=1\\x0ADevice disconnected!\\x1B[0m"}));
  answer(zeroTerminated("device.software=V9\r"), "device.software=V9\\x0D");
  EXPECT_EQ(window.count("Device software version= V9\\x0D"), 1u);
  EXPECT_EQ(window.count("Update software version= V1.10"), 1u);
}

TEST_F(CommandTest, TypedCommandsAnswerIsOnlyShown) {
  LinkAccess(*usb).rawCommand() = true;
  answer("mem.used=9");
  EXPECT_FALSE(LinkAccess(*usb).rawCommand());
  EXPECT_TRUE(raw->TakeOut(ep::kCommandOut).empty());
  LinkAccess(*usb).rawCommand() = true;
  answer(std::vector<uint8_t>{}, "");
  EXPECT_FALSE(LinkAccess(*usb).rawCommand());
  answer("mem.used=9");  // the flag is gone: this one acts
  ASSERT_TRUE(window.waitForLine(" <<< mem.load=0,512"));
}

TEST_F(CommandTest, SendDataCutsIntoPackets) {
  std::vector<uint8_t> image(61184);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
  LinkAccess(*usb).packetCount() = 0;
  EXPECT_TRUE(usb->sendData(image.data(), static_cast<int32_t>(image.size())));
  EXPECT_EQ(LinkAccess(*usb).packetsExpected(), 956);
  EXPECT_EQ(LinkAccess(*usb).packetCount(), 956);
  Packets out = raw->TakeOut(ep::kDatOut);
  ASSERT_EQ(out.size(), 956u);
  std::vector<uint8_t> joined;
  for (const auto& p : out) {
    EXPECT_EQ(p.size(), 64u);
    joined.insert(joined.end(), p.begin(), p.end());
  }
  EXPECT_EQ(joined, image);

  EXPECT_TRUE(usb->sendData(image.data(), 100));
  EXPECT_EQ(LinkAccess(*usb).packetsExpected(), 1);
  out = raw->TakeOut(ep::kDatOut);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].size(), 64u);
  EXPECT_EQ(out[1].size(), 36u);
}

TEST_F(CommandTest, StalledPipesFailAfterTheirTimeOut) {
  raw->Stall(ep::kCommandOut, true);
  EXPECT_FALSE(usb->sendCommand("mem.used"));
  EXPECT_EQ(log(), (Lines{" <<< mem.used", "sendCommand WriteSync failed!"}));
  raw->Stall(ep::kDatOut, true);
  std::vector<uint8_t> data(200, 1);
  LinkAccess(*usb).packetCount() = 0;
  EXPECT_FALSE(usb->sendData(data.data(), 200));
  EXPECT_EQ(LinkAccess(*usb).packetCount(), 0);
  EXPECT_EQ(log().back(), "sendData WriteSync failed!");
}

TEST_F(CommandTest, CommandsFromTwoThreadsAtOnce) {
  std::atomic<int> failures{0};
  auto sender = [&](const char* text) {
    for (int i = 0; i < 200; ++i) failures += !usb->sendCommand(text);
  };
  std::thread a(sender, "device.serial");
  std::thread b(sender, "mem.used");
  a.join();
  b.join();
  EXPECT_EQ(failures, 0);
  Packets out = raw->TakeOut(ep::kCommandOut);
  ASSERT_EQ(out.size(), 400u);
  for (const auto& p : out)
    EXPECT_TRUE(p == zeroTerminated("device.serial") || p == zeroTerminated("mem.used"));
}

using Lines = std::vector<std::string>;

TEST(CommandWithoutLink, SendFailsAndSaysSo) {
  RecordingWindow window;
  USBInterface usb(&window);
  EXPECT_FALSE(usb.sendCommand("device.serial"));
  EXPECT_EQ(window.log(), (Lines{" <<< device.serial", "sendCommand WriteSync failed!"}));
}
