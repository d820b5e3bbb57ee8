// The firmware update chain: version answer, image transfer, check and install.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>

#include "common/LinkFixture.h"
#include "common/LoggerEndpoints.h"
#include "data/LoggerText.h"
#include "link/Firmware.h"
#include "link/LinkAccess.h"
#include "platform/usbdrv/DeviceSource.h"
#include "platform/usbdrv/InProcessSource.h"
#include "sim/model/Firmware.h"

using Lines = std::vector<std::string>;

namespace {
const char kUpToDate[] = "Your firmware is up-to-date";
const char kSave[] = " <<< mem.save=463104,61184";

}  // namespace

// Against a raw logger: the test plays the logger's answers.
class FirmwareAnswerTest : public RawLoggerFixture {
 protected:
  void TearDown() override {
    firmware::restoreImage();
    RawLoggerFixture::TearDown();
  }
};

TEST_F(FirmwareAnswerTest, VersionComparisonDecidesWhetherToUpdate) {
  struct Case {
    const char* version;
    bool update;
  } cases[] = {{"V1.10", true}, {"V1.11", false},   {"V2.00", false}, {"V1.9", false},
               {"V1.1", true},  {"V1.10\r", false}, {"V0.99", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    window.clear();
    const std::string text = std::string("device.software=") + c.version;
    answer(zeroTerminated(text), loggerText(text));
    EXPECT_EQ(window.count(std::string("Device software version= ") + loggerText(c.version)), 1u);
    EXPECT_EQ(window.count("Update software version= V1.10"), 1u);
    EXPECT_EQ(window.count(kSave), c.update ? 1u : 0u);
    EXPECT_EQ(window.messageBoxes(), c.update ? Lines{} : Lines{kUpToDate});
  }
}

TEST_F(FirmwareAnswerTest, BareVersionAnswerIsAnError) {
  answer("device.software");
  EXPECT_EQ(window.count("Error in answer (software version)"), 1u);
  EXPECT_EQ(window.count(kSave), 0u);
}

TEST_F(FirmwareAnswerTest, SaveAnswerWithoutImageFails) {
  answer("mem.save=463104,61184");
  EXPECT_EQ(window.messageBoxes(), (Lines{"Update failed"}));
  EXPECT_TRUE(raw->TakeOut(ep::kDatOut).empty());
}

TEST_F(FirmwareAnswerTest, ImageIsSentOnceThenReleased) {
  answer("device.software=V1.09");
  ASSERT_EQ(window.count(kSave), 1u);
  LinkAccess(*usb).packetCount() = 0;
  answer("mem.save=463104,61184");
  EXPECT_EQ(LinkAccess(*usb).packetCount(), 956);
  EXPECT_EQ(LinkAccess(*usb).packetsExpected(), 956);
  auto out = raw->TakeOut(ep::kDatOut);
  ASSERT_EQ(out.size(), 956u);
  const uint8_t* embedded = nullptr;
  size_t size = 0;
  ASSERT_TRUE(firmware::rawImage(&embedded, &size));
  std::vector<uint8_t> sent;
  for (const auto& p : out) sent.insert(sent.end(), p.begin(), p.end());
  EXPECT_EQ(sent, std::vector<uint8_t>(embedded, embedded + size));
  EXPECT_EQ(window.count(" <<< firmware.check"), 1u);
  // A second save answer finds no image any more.
  window.clear();
  answer("mem.save=463104,61184");
  EXPECT_EQ(window.messageBoxes(), (Lines{"Update failed"}));
  EXPECT_TRUE(raw->TakeOut(ep::kDatOut).empty());
}

// After "up-to-date" no update waits: a later "mem.save" answer (to a console Save) never gets the image,
// only the bytes the console asked to send, once.
TEST_F(FirmwareAnswerTest, OnlyAnUpdateInProgressSendsTheImage) {
  answer("device.software=V9.99");
  answer("mem.save=0,10");
  EXPECT_TRUE(raw->TakeOut(ep::kDatOut).empty());
  EXPECT_EQ(window.messageBoxes(), (Lines{kUpToDate, "Update failed"}));

  std::vector<uint8_t> bytes(70);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i + 1);
  ASSERT_TRUE(usb->requestSave(USBInterface::SaveRequest::Console, bytes, usb->linkGeneration()));
  answer("device.software=V1.09");  // an update that starts later replaces the console's request
  answer("mem.save=463104,61184");
  EXPECT_EQ(raw->TakeOut(ep::kDatOut).size(), 956u);

  ASSERT_TRUE(usb->requestSave(USBInterface::SaveRequest::Console, bytes, usb->linkGeneration()));
  window.clear();
  answer("mem.save=0,70");
  const auto out = raw->TakeOut(ep::kDatOut);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0], std::vector<uint8_t>(bytes.begin(), bytes.begin() + 64));
  EXPECT_EQ(out[1], std::vector<uint8_t>(bytes.begin() + 64, bytes.end()));
  EXPECT_EQ(window.count(" <<< firmware.check"), 0u);
  answer("mem.save=0,70");
  EXPECT_EQ(window.messageBoxes(), (Lines{"Update failed"}));
  EXPECT_TRUE(raw->TakeOut(ep::kDatOut).empty());
  EXPECT_FALSE(usb->requestSave(USBInterface::SaveRequest::Console, bytes, usb->linkGeneration() + 1));
}

TEST_F(FirmwareAnswerTest, CheckAnswerStartsTheUpdateOnlyOnOne) {
  answer("firmware.check=1");
  EXPECT_EQ(window.count("Start firmware update"), 1u);
  EXPECT_EQ(window.count(" <<< firmware.update"), 1u);
  for (const char* text : {"firmware.check=0", "firmware.check", "firmware.check=2", "firmware.check=x"}) {
    window.clear();
    answer(text);
    EXPECT_EQ(window.messageBoxes(), (Lines{"Update failed"})) << text;
    EXPECT_EQ(window.count(" <<< firmware.update"), 0u);
  }
}

TEST_F(FirmwareAnswerTest, AnImageThatCannotBeSentIsNotLoaded) {
  std::vector<uint8_t> shortImage(100, 'V');
  shortImage[5] = 0;
  firmware::overrideImage(shortImage.data(), shortImage.size());
  answer("device.software=V1.09");
  EXPECT_EQ(window.count("Can't load firmware"), 1u);
  EXPECT_EQ(window.count(kSave), 0u);

  std::vector<uint8_t> noZero(firmware::kSize, 'V');  // the version text never ends
  firmware::overrideImage(noZero.data(), noZero.size());
  window.clear();
  answer("device.software=V1.09");
  EXPECT_EQ(window.count("Can't load firmware"), 1u);
}

TEST(FirmwareImage, EmbeddedImageIsOneTheLoggerAccepts) {
  const uint8_t* data = nullptr;
  size_t size = 0;
  ASSERT_TRUE(firmware::rawImage(&data, &size));
  ASSERT_EQ(size, 61184u);
  std::string version;
  EXPECT_TRUE(velmora::CheckFirmwareImage(data, size, &version));
  EXPECT_EQ(version, "V1.10");
}

// Against the virtual logger: the whole chain, and its interruption.
class FirmwareUpdateTest : public LinkFixture {
 protected:
  std::shared_ptr<velmora::VelmoraDevice> attachRestartable(velmora::Options options) {
    auto dev = attachLogger(options, "restartable");
    dev->SetRestartHandler([this](std::shared_ptr<velmora::VelmoraDevice> back) {
      std::lock_guard<std::mutex> lock(mutex_);
      restarted_ = back;
      usbdrv::AttachDevice(back);
    });
    return dev;
  }
  std::shared_ptr<velmora::VelmoraDevice> restarted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return restarted_;
  }
  std::mutex mutex_;
  std::shared_ptr<velmora::VelmoraDevice> restarted_;
};

TEST_F(FirmwareUpdateTest, WholeUpdateInstallsTheImage) {
  auto dev = attachRestartable({});
  connectOne();
  window.clear();
  LinkAccess(*usb).packetCount() = 0;
  usb->sendCommand("device.software");
  ASSERT_TRUE(window.waitForLine("firmware.update=1", 1)) << ::testing::PrintToString(window.log());
  Lines sent;
  for (const auto& line : window.log())
    if (line.rfind(" <<< ", 0) == 0) sent.push_back(line.substr(5));
  EXPECT_EQ(sent, (Lines{"device.software", "mem.save=463104,61184", "firmware.check", "firmware.update"}));
  EXPECT_EQ(LinkAccess(*usb).packetCount(), 956);
  const uint8_t* image = nullptr;
  size_t size = 0;
  ASSERT_TRUE(firmware::rawImage(&image, &size));
  auto memory = dev->Memory();
  EXPECT_EQ(std::memcmp(memory.data() + 463104, image, size), 0);
  EXPECT_TRUE(window.messageBoxes().empty());

  // The logger restarts on its new firmware: the link drops, and it comes back as V1.10.
  ASSERT_TRUE(window.waitForLine("Worker thread exits", 3));
  ASSERT_TRUE(window.waitUntil([&] { return restarted() != nullptr; }));
  EXPECT_EQ(restarted()->Software(), "V1.10");
  ASSERT_TRUE(window.waitUntil([&] { return usbdrv::ListDevices().size() == 1; }));
  usb->scanDevices();
  ASSERT_TRUE(usb->connect(12345));
  usb->sendCommand("device.software");
  ASSERT_TRUE(window.waitForLine("device.software=V1.10"));
}

TEST_F(FirmwareUpdateTest, InterruptedTransferNeverReachesTheUpdate) {
  auto dev = attachRestartable({});
  connectOne();
  // The first update completes; the region now holds a valid image.
  usb->sendCommand("device.software");
  ASSERT_TRUE(window.waitForLine("Start firmware update"));
  ASSERT_TRUE(window.waitForLine("Worker thread exits", 3));
  ASSERT_TRUE(window.waitUntil([&] { return restarted() != nullptr && usbdrv::ListDevices().size() == 1; }));
  auto back = restarted();
  usb->scanDevices();
  ASSERT_TRUE(usb->connect(12345));
  window.clear();
  // Second update (the image's own version runs it again) whose first data packet fails: the region
  // still holds the earlier, valid image, but this transfer did not complete, so the check must fail.
  back->FailNext(ep::kDatOut, 0xE0000005, 1);
  usb->sendCommand("device.software");
  ASSERT_TRUE(window.waitForLine(kSave));
  ASSERT_TRUE(window.waitForLine("sendData WriteSync failed!"));
  ASSERT_TRUE(window.waitUntil([&] { return !window.messageBoxes().empty(); }));
  EXPECT_EQ(window.messageBoxes(), (Lines{"Update failed"}));
  EXPECT_EQ(window.count(" <<< firmware.check"), 1u);
  EXPECT_EQ(window.count(" <<< firmware.update"), 0u);
  EXPECT_EQ(window.count("Start firmware update"), 0u);
}
