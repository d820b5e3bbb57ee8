#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "data/RegionalFormat.h"
#include "data/Text.h"
#include "link/LinkAccess.h"
#include "link/MyDatReader.h"
#include "link/ReaderSupport.h"
#include "usbio/UsbDevice.h"

using datatest::crlfLines;
using datatest::readFile;
using datatest::record;
using Kind = RecordingWindow::Kind;

namespace {

constexpr uint32_t kFailed = 0xE0001000;

struct DatReader : datatest::LinkFixture {
  CMyDatReader reader{link.get(), link->linkGeneration()};

  void SetUp() override { setExportFormat(RegionalFormat::german()); }

  void block(const uint8_t* bytes, uint32_t count = 64, uint32_t status = 0) {
    deliver(reader, bytes, count, status);
  }
  // Hands over blocks [first, first + n) of a prepared memory image.
  void blocks(const std::vector<uint8_t>& image, size_t first, size_t n) {
    for (size_t i = first; i < first + n; ++i) block(image.data() + 64 * i);
  }
  void startDownload(int32_t memUsed) {
    LinkAccess(*link).downloadActive() = true;
    LinkAccess(*link).packetCount() = 0;
    LinkAccess(*link).memUsed() = memUsed;
    LinkAccess(*link).packetsExpected() = 4 * ((memUsed + 7) / 8);
  }
  void startMemoryRead(const std::string& length) {
    LinkAccess(*link).memLoadActive() = true;
    LinkAccess(*link).packetCount() = 0;
    LinkAccess(*link).packetsExpected() = strToIntDef0(length) / 64;
    window.setLengthText(length);
  }
  size_t indexOf(Kind kind, const std::string& text = std::string()) const {
    const auto effects = window.effects();
    for (size_t i = 0; i < effects.size(); ++i)
      if (effects[i].kind == kind && (text.empty() || effects[i].text == text)) return i;
    return SIZE_MAX;
  }
};

// An image whose used records carry their time rank as sensor number, stored in scrambled order;
// the unused slots of the last page hold earlier records that must not show up.
std::vector<uint8_t> downloadImage(int32_t memUsed) {
  const size_t pages = (memUsed + 7) / 8;
  std::vector<uint8_t> image(pages * 256);
  for (int32_t i = 0; i < memUsed; ++i) {
    const int32_t rank = (i * 7919) % memUsed;  // 7919 is prime: a permutation of 0..memUsed-1
    const int minutes = rank;
    messwert::toBytes(record(2017, 1, 1 + minutes / 1440, (minutes / 60) % 24, minutes % 60, 30,
                             static_cast<uint16_t>(rank)),
                      image.data() + 32 * i);
  }
  for (size_t i = memUsed; i < pages * 8; ++i)
    messwert::toBytes(record(2000, 1, 1, 0, 0, 0, static_cast<uint16_t>(60000 + i)), image.data() + 32 * i);
  return image;
}

}  // namespace

class DownloadSizes : public DatReader, public testing::WithParamInterface<int32_t> {};

TEST_P(DownloadSizes, TakesTheUsedRecordsInTimeOrder) {
  const int32_t memUsed = GetParam();
  const std::vector<uint8_t> image = downloadImage(memUsed);
  startDownload(memUsed);
  window.answerSaveDialog((dir / "d.csv").string());

  const size_t packets = image.size() / 64;
  blocks(image, 0, packets - 1);
  EXPECT_TRUE(window.responses().empty());  // not complete one block early
  blocks(image, packets - 1, 1);

  EXPECT_EQ(LinkAccess(*link).packetCount(), static_cast<int32_t>(packets));
  EXPECT_EQ(0, std::memcmp(LinkAccess(*link).memoryImage().data(), image.data(), image.size()));
  EXPECT_EQ(window.responses(), std::vector<std::string>{"Download complete"});
  EXPECT_LT(indexOf(Kind::Error, "sortiert"), indexOf(Kind::SaveDialog));

  const auto lines = crlfLines(readFile(dir / "d.csv"));
  ASSERT_EQ(lines.size(), static_cast<size_t>(memUsed) + 1);
  for (int32_t rank = 0; rank < memUsed; ++rank) {
    const std::string& line = lines[rank + 1];
    const size_t a = line.find(';');
    ASSERT_EQ(line.substr(a + 1, line.find(';', a + 1) - a - 1), std::to_string(rank)) << line;
  }
  EXPECT_EQ(window.log().back(), "Download finished");
  EXPECT_FALSE(LinkAccess(*link).downloadActive());
}

INSTANTIATE_TEST_SUITE_P(MemUsed, DownloadSizes, testing::Values(1, 8, 9, 100, 16384));

TEST_F(DatReader, DataWhileIdleIsOnlyReported) {
  std::memset(LinkAccess(*link).memoryImage().data(), 0x5A, 256);
  const uint8_t bytes[64] = {1, 2, 3};
  block(bytes);
  block(bytes, 0, kFailed);  // an aborted read at a disconnect
  EXPECT_EQ(window.log(),
            (std::vector<std::string>{"received unexpected binary data", "received unexpected binary data"}));
  EXPECT_EQ(LinkAccess(*link).packetCount(), 0);
  EXPECT_EQ(LinkAccess(*link).memoryImage()[0], 0x5A);
}

TEST_F(DatReader, FailedReadIsReportedAndNotCounted) {
  startDownload(8);
  uint8_t first[64], second[64];
  std::memset(first, 0x11, 64);
  std::memset(second, 0x22, 64);
  block(first, 64, kFailed);
  char text[256];
  CUsbDevice::FormatStatusText(text, sizeof text, kFailed);
  EXPECT_EQ(window.log(), std::vector<std::string>{std::string("Error MyDatReader: ") + text});
  EXPECT_EQ(std::string(text).find("Error code 0xE0001000"), 0u);
  EXPECT_EQ(LinkAccess(*link).packetCount(), 0);
  block(second);
  EXPECT_EQ(LinkAccess(*link).packetCount(), 1);
  EXPECT_EQ(LinkAccess(*link).memoryImage()[0], 0x22);
}

TEST_F(DatReader, ShortPacketLeavesZerosInItsBlock) {
  startMemoryRead("4096");
  std::memset(LinkAccess(*link).memoryImage().data(), 0xAA, 128);
  uint8_t bytes[64];
  std::memset(bytes, 0x33, sizeof bytes);
  block(bytes);
  block(bytes, 10);  // ten bytes received into a zero-filled buffer
  EXPECT_EQ(LinkAccess(*link).packetCount(), 2);
  EXPECT_EQ(LinkAccess(*link).memoryImage()[64 + 9], 0x33);
  EXPECT_TRUE(std::all_of(&LinkAccess(*link).memoryImage()[64 + 10], &LinkAccess(*link).memoryImage()[128],
                          [](uint8_t b) { return b == 0; }));
  block(bytes, 0);  // a zero-length packet is a block of zeros
  EXPECT_EQ(LinkAccess(*link).packetCount(), 3);
  EXPECT_EQ(LinkAccess(*link).memoryImage()[128], 0);
}

TEST_F(DatReader, NothingIsStoredBeyondTheImage) {
  LinkAccess(*link).memLoadActive() = true;
  LinkAccess(*link).packetsExpected() = 9000;  // more than the image holds
  LinkAccess(*link).packetCount() = logger::kMaxPackets - 1;
  uint8_t bytes[64];
  std::memset(bytes, 0x44, sizeof bytes);
  for (int i = 0; i < 4; ++i) block(bytes);
  EXPECT_EQ(LinkAccess(*link).packetCount(), logger::kMaxPackets);
  EXPECT_EQ(LinkAccess(*link).memoryImage()[logger::kMemorySize - 1], 0x44);
  EXPECT_EQ(window.log(), std::vector<std::string>{"Data beyond memory image dropped"});

  // A new transfer reports again.
  LinkAccess(*link).packetCount() = 0;
  block(bytes);
  LinkAccess(*link).packetCount() = logger::kMaxPackets;
  block(bytes);
  EXPECT_EQ(window.count("Data beyond memory image dropped"), 2u);
  EXPECT_TRUE(window.responses().empty());
}

// A memory read whose typed length is longer than what the logger sent writes the rest of the image:
// on a new link that is zeros, never what the memory under the link held before.
TEST_F(DatReader, ANewLinksImageBeyondTheBlocksReceivedIsZeros) {
  alignas(USBInterface) static unsigned char storage[sizeof(USBInterface)];
  std::memset(storage, 0xA5, sizeof storage);
  USBInterface* fresh = new (storage) USBInterface(&window);
  {
    CMyDatReader freshReader(fresh, fresh->linkGeneration());
    LinkAccess(*fresh).memLoadActive() = true;
    LinkAccess(*fresh).packetCount() = 0;
    LinkAccess(*fresh).packetsExpected() = 1;
    window.setLengthText("256");
    window.answerSaveDialog((dir / "dump.bin").string());
    const std::string sent(64, '\x33');
    deliver(freshReader, sent.data(), 64);
  }
  fresh->~USBInterface();
  EXPECT_EQ(readFile(dir / "dump.bin"), std::string(64, '\x33') + std::string(192, '\0'));
}

TEST_F(DatReader, MemoryReadWritesTheLengthTypedAtTheEnd) {
  std::vector<uint8_t> image(4096);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 31 + 7);
  startMemoryRead("4096");
  LinkAccess(*link).downloadActive() = true;  // with both flags the memory read wins
  window.answerSaveDialog((dir / "dump.csv").string());
  blocks(image, 0, 64);

  EXPECT_EQ(readFile(dir / "dump.csv"), std::string(image.begin(), image.end()));
  const auto effects = window.effects();
  ASSERT_EQ(effects.size(), 5u);
  EXPECT_EQ(effects[0].kind, Kind::Response);
  EXPECT_EQ(effects[0].text, "Download complete");
  EXPECT_EQ(effects[1].kind, Kind::SaveDialog);
  EXPECT_EQ(effects[2].kind, Kind::LengthText);
  EXPECT_EQ(effects[3].text, "Download finished");
  EXPECT_EQ(effects[4].kind, Kind::StopBusy);
  EXPECT_FALSE(LinkAccess(*link).memLoadActive());
  EXPECT_TRUE(LinkAccess(*link).downloadActive());

  // The field changed during the transfer: its value at the end counts, hexadecimal as typed.
  startMemoryRead("4096");
  window.answerSaveDialog((dir / "dump.csv").string());
  blocks(image, 0, 63);
  window.setLengthText("$64");
  blocks(image, 63, 1);
  EXPECT_EQ(readFile(dir / "dump.csv"), std::string(image.begin(), image.begin() + 100));

  startMemoryRead("64");
  window.answerSaveDialog((dir / "empty.csv").string());
  window.setLengthText("no number");
  blocks(image, 0, 1);
  EXPECT_TRUE(std::filesystem::exists(dir / "empty.csv"));
  EXPECT_EQ(readFile(dir / "empty.csv"), "");
}

TEST_F(DatReader, DumpLengthIsCutToTheImage) {
  startMemoryRead("64");
  window.setLengthText("600000");
  window.answerSaveDialog((dir / "all.bin").string());
  std::memset(LinkAccess(*link).memoryImage().data(), 0x77, logger::kMemorySize);
  const uint8_t bytes[64] = {};
  block(bytes);
  EXPECT_EQ(std::filesystem::file_size(dir / "all.bin"), logger::kMemorySize);
  EXPECT_EQ(window.count("Dump length cut to 524288 bytes"), 1u);
  EXPECT_EQ(window.log().back(), "Download finished");
}

TEST_F(DatReader, MemoryReadCancelAndOpenFailureKeepTheFlag) {
  const uint8_t bytes[64] = {9};
  startMemoryRead("128");
  window.cancelSaveDialog();
  block(bytes);
  block(bytes);
  EXPECT_EQ(window.log(), std::vector<std::string>{"Abort"});
  EXPECT_TRUE(LinkAccess(*link).memLoadActive());

  // Still counted as part of that transfer, but no second completion.
  block(bytes);
  EXPECT_EQ(LinkAccess(*link).packetCount(), 3);
  EXPECT_EQ(LinkAccess(*link).memoryImage()[128], 9);
  EXPECT_EQ(window.responses().size(), 1u);

  window.clear();
  startMemoryRead("64");
  window.answerSaveDialog((dir / "missing" / "dump.csv").string());
  block(bytes);
  EXPECT_EQ(window.messageBoxes(), std::vector<std::string>{"File Open Error"});
  EXPECT_EQ(window.log(), std::vector<std::string>{"File Open Error"});
  EXPECT_TRUE(LinkAccess(*link).memLoadActive());
}
