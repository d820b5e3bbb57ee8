// The link over a logger on the emulated bus: transfers as libusb URBs, a whole download, the
// tear-down, and a logger pulled out in the middle of a download.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "HardwareFixture.h"
#include "common/LoggerEndpoints.h"
#include "data/Messwert.h"
#include "data/RegionalFormat.h"
#include "link/LinkAccess.h"

using HardwareLinkTest = HardwareFixture;

namespace {

constexpr uint8_t kReaderEndpoints[] = {ep::kAnswerIn, ep::kDatIn, ep::kDebugIn};

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The CSV file a download of the logger's memory must give: its records in time order, German formats.
std::string ExpectedCsv(const velmora::VelmoraDevice& logger) {
  const std::vector<uint8_t> memory = logger.Memory();
  std::vector<messwert_tag> records;
  for (uint32_t i = 0; i < logger.RecordCount(); ++i) records.push_back(messwert::fromBytes(&memory[32 * i]));
  messwert::sortRecords(records);
  std::string text = std::string(csv::kHeader) + "\r\n";
  for (const messwert_tag& r : records) {
    messwert::TimeStamp ts;
    std::string message;
    if (messwert::timeStamp(r, ts, message)) text += csv::formatLine(r, ts, RegionalFormat::german());
  }
  return text;
}

class ScratchFile {
 public:
  explicit ScratchFile(const std::string& name)
      : path_(std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()))) {}
  ~ScratchFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace

TEST_F(HardwareLinkTest, EachReaderKeepsFiveReadsAtTheDevice) {
  auto logger = plugLogger(1);
  enable();
  connectOne();
  auto* node = bus->At(1);
  ASSERT_TRUE(waitFor([&] {
    return std::all_of(std::begin(kReaderEndpoints), std::end(kReaderEndpoints), [&](uint8_t ep) {
      return node->UrbsInFlight(ep) == 5 && logger->PendingReads(ep) == 5;
    });
  })) << node->UrbsInFlight(ep::kAnswerIn)
      << " " << node->UrbsInFlight(ep::kDatIn) << " " << node->UrbsInFlight(ep::kDebugIn);
  // Nothing but the readers' URBs is out: the writers only write when asked.
  EXPECT_EQ(node->UrbsInFlight(), 15u);
}

TEST_F(HardwareLinkTest, DownloadOfTheWholeMemoryGivesTheLoggersRecords) {
  setExportFormat(RegionalFormat::german());
  velmora::Options options;
  options.records = velmora::kMaxRecords;  // 16384 records: 8192 packets on the data pipe
  auto logger = plugLogger(1, options);
  enable();
  connectOne();
  ScratchFile csvFile("tarnwick-usb-download.csv");
  window.answerSaveDialog(csvFile.path().string());

  const auto start = std::chrono::steady_clock::now();
  LinkAccess(*usb).packetCount() = 0;
  LinkAccess(*usb).downloadActive() = true;
  ASSERT_TRUE(usb->sendCommand("mem.used"));
  ASSERT_TRUE(
      waitFor([&] { return LinkAccess(*usb).packetCount().load() >= 8192; }, std::chrono::seconds(240)))
      << LinkAccess(*usb).packetCount().load();
  const auto packetsDone = std::chrono::steady_clock::now();
  ASSERT_TRUE(window.waitForLine("Download finished", 1, std::chrono::seconds(240)));
  const auto finished = std::chrono::steady_clock::now();
  using ms = std::chrono::milliseconds;
  std::printf("[ timing ] 8192 packets through libusb: %lld ms; with sorting and CSV export: %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<ms>(packetsDone - start).count()),
              static_cast<long long>(std::chrono::duration_cast<ms>(finished - start).count()));

  EXPECT_EQ(LinkAccess(*usb).packetCount().load(), 8192);
  EXPECT_EQ(logger->PacketsRead(ep::kDatIn), 8192u);
  const std::string csv = ReadFile(csvFile.path());
  const std::string expected = ExpectedCsv(*logger);
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 16385);
  EXPECT_TRUE(csv == expected)
      << "the CSV differs from the logger's records; first difference at byte "
      << (std::mismatch(csv.begin(), csv.end(), expected.begin(), expected.end()).first - csv.begin());
  EXPECT_FALSE(LinkAccess(*usb).downloadActive());
}

TEST_F(HardwareLinkTest, DisconnectEndsEveryTransferAtTheDevice) {
  auto logger = plugLogger(1);
  enable();
  connectOne();
  auto* node = bus->At(1);
  ASSERT_TRUE(waitFor([&] { return node->UrbsInFlight() == 15; }));

  usb->disconnect();
  ASSERT_TRUE(window.waitForLine("Worker thread exits", 3));
  // Every URB was discarded at the device and reaped back through libusb.
  ASSERT_TRUE(waitFor([&] { return node->UrbsInFlight() == 0; })) << node->UrbsInFlight();
  EXPECT_GE(node->Discards(), 15u);
  for (uint8_t ep : kReaderEndpoints) EXPECT_EQ(logger->PendingReads(ep), 0u) << int(ep);
  EXPECT_TRUE(waitFor([] { return usbdrv::OutstandingTransfers() == 0; }));
  EXPECT_FALSE(logger->Configured());  // the interface was released

  // The same logger connects again at once.
  ASSERT_TRUE(usb->connect(12345));
  ASSERT_TRUE(usb->sendCommand("device.serial"));
  EXPECT_TRUE(window.waitForLine("device.serial=VLM12345"));
}

TEST_F(HardwareLinkTest, LoggerPulledOutMidDownloadEndsTheLinkAndConnectsAgainWhenBack) {
  velmora::Options options;
  options.records = velmora::kMaxRecords;
  options.paced = true;  // at the full-speed bulk rate, so the download is still running when pulled
  plugLogger(1, options);
  enable();
  connectOne();
  LinkAccess(*usb).packetCount() = 0;
  LinkAccess(*usb).downloadActive() = true;
  ASSERT_TRUE(usb->sendCommand("mem.used"));
  ASSERT_TRUE(
      waitFor([&] { return LinkAccess(*usb).packetCount().load() >= 200; }, std::chrono::seconds(60)));

  bus->Unplug(1);
  ASSERT_TRUE(window.waitForLine("Worker thread exits", 3)) << ::testing::PrintToString(window.log());
  ASSERT_TRUE(window.waitUntil([&] { return !usb->isConnected(); }));
  EXPECT_LT(LinkAccess(*usb).packetCount().load(), 8192);
  EXPECT_GE(window.count("Error MyDatReader: Error code 0xE000100A: Device is removed."), 1u);
  EXPECT_EQ(window.count("Download finished"), 0u);
  ASSERT_TRUE(waitForDevices(0));

  // Plugged in again: the next connect (as a Download does) finds it and the link works.
  plugLogger(1);
  ASSERT_TRUE(waitForDevices(1));
  window.clear();
  usb->scanDevices();
  ASSERT_TRUE(usb->connect(12345)) << ::testing::PrintToString(window.log());
  ASSERT_TRUE(usb->sendCommand("device.serial"));
  EXPECT_TRUE(window.waitForLine("device.serial=VLM12345"));
}

TEST_F(HardwareLinkTest, StallAndOverrunReachTheReadersAsTheirStatusTexts) {
  auto logger = plugLogger(1);
  // The first read on the answer pipe ends in a stall, the first on the debug pipe in an overrun.
  logger->FailNext(ep::kAnswerIn, usbdrv::kStatusStallPid, 1);
  logger->FailNext(ep::kDebugIn, usbdrv::kStatusDataOverrun, 1);
  enable();
  connectOne();
  EXPECT_TRUE(window.waitForLine("Error ProcessData: Error code 0xE0000030: USBD Error: Endpoint halted."));
  EXPECT_TRUE(
      window.waitForLine("Error ProcessData DbgInPipe: Error code 0xE0000008: HC Error: Data Overrun."));
  // One failure each: the link stays up and answers.
  ASSERT_TRUE(usb->sendCommand("device.serial"));
  EXPECT_TRUE(window.waitForLine("device.serial=VLM12345"));
  EXPECT_TRUE(usb->isConnected());
}
