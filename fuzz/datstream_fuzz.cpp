// The data-in stream: a sequence of completed blocks of 0 to 64 bytes (each in a buffer of exactly
// its size) through CMyDatReader::ProcessData, starting from any transfer state with memUsed,
// packetCount and packetsExpected at their bounds. Transfers that complete ask the save dialog, which
// gives a file in a scratch folder (or cancels, or names a folder that does not exist).
//
// Input: a flag byte, the three counters, the length text of a memory read, then blocks of a header
// byte (length, failed transfer) and the block's bytes.
#include <climits>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>

#include "data/RegionalFormat.h"
#include "fuzz/FuzzSupport.h"
#include "link/LinkAccess.h"
#include "link/MyDatReader.h"
#include "link/USBInterface.h"
#include "usbdev/DeviceStatus.h"
#include "usbio/UsbBuf.h"

namespace {

const int32_t kBounds[] = {
    INT32_MIN,     -1,       0, 1, 2, 3, 4, 7, 8, 9, 12, 16, 8191, 8192, 8193, 16383, 16384, 16385,
    INT32_MAX - 1, INT32_MAX};
const char* const kLengths[] = {"",   "0",   "64",   "100",         "4096", "524288",   "524289",
                                "-1", "$40", "0x40", "99999999999", "abc",  "$FFFFFFFF"};
constexpr size_t kMaxBlocks = 512;

int32_t pick(fuzz::Input& in) {
  const uint8_t b = in.byte();
  return b < sizeof kBounds / sizeof kBounds[0] ? kBounds[b] : static_cast<int32_t>(in.u32());
}

// The line of each record (its position and date, or why it is left out) is counted only: a full
// memory makes 16384 of them per input, and nothing here looks for one.
RecordingWindow::Options options() {
  RecordingWindow::Options o = fuzz::windowOptions();
  o.countOnly = [](const std::string& line) {
    return (!line.empty() && line[0] >= '0' && line[0] <= '9') || line.rfind("Fehler Messwert ", 0) == 0;
  };
  return o;
}

struct Fixture {
  Fixture() : window(options()), link(&window) { setExportFormat(RegionalFormat::german()); }
  RecordingWindow window;
  USBInterface link;
  std::optional<CMyDatReader> reader;  // a new one for each input
  // One transfer buffer placed on each block's bytes, as the pool places its buffers: making one
  // per block would cost an event per block.
  CUsbBuf buffer;
};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture* f = new Fixture();
  static const std::string file = fuzz::scratchDir() + "/stream.out";
  fuzz::Input in(data, size);
  const uint8_t flags = in.byte();
  LinkAccess(f->link).downloadActive() = (flags & 1) != 0;
  LinkAccess(f->link).memLoadActive() = (flags & 2) != 0;
  LinkAccess(f->link).memUsed() = pick(in);
  LinkAccess(f->link).packetCount() = pick(in);
  LinkAccess(f->link).packetsExpected() = pick(in);
  LinkAccess(f->link).measurements().clear();
  // Each input starts from an empty memory image and a new reader, as a new link does: what it reads
  // back is its own blocks and zeros, and what it logs does not hang on the inputs before it.
  LinkAccess(f->link).memoryImage().fill(0);
  f->reader.emplace(&f->link, 1);
  f->window.clear();
  f->window.answerEverySaveDialog((flags & 4)   ? std::string()
                                  : (flags & 8) ? fuzz::scratchDir() + "/missing/x.csv"
                                                : file);
  f->window.setLengthText(kLengths[in.byte() % (sizeof kLengths / sizeof kLengths[0])]);
  std::remove(file.c_str());

  for (size_t blocks = 0; in.left() > 0 && blocks < kMaxBlocks; ++blocks) {
    const uint8_t header = in.byte();
    const size_t length = (header & 0x7F) % 65;
    const uint32_t status = (header & 0x80) ? usbdrv::kStatusDeviceRemoved : 0;
    const std::vector<uint8_t> bytes = in.bytes(length);
    std::unique_ptr<uint8_t[]> storage(new uint8_t[bytes.size()]);
    if (!bytes.empty()) std::memcpy(storage.get(), bytes.data(), bytes.size());
    CUsbBuf& buffer = f->buffer;
    buffer.Assign(storage.get(), static_cast<uint32_t>(bytes.size()));
    buffer.bytesToTransfer = buffer.bytesTransferred = static_cast<uint32_t>(bytes.size());
    buffer.status = status;
    const int32_t before = LinkAccess(f->link).packetCount();
    const bool accepting = LinkAccess(f->link).downloadActive() || LinkAccess(f->link).memLoadActive();
    f->reader->ProcessData(&buffer);
    const int32_t after = LinkAccess(f->link).packetCount();
    if (after != before && (!accepting || status != 0 || after != before + 1 || after > logger::kMaxPackets))
      fuzz::fail("a block counted that may not be");
  }

  // A download that reports its end has written a whole CSV file.
  if (f->window.count("Download finished") > 0 && f->window.dialogs() > 0 && !(flags & 2) &&
      (flags & 12) == 0) {
    const std::string text = readFile(file);
    static const std::string header = std::string(csv::kHeader) + "\r\n";
    if (text.compare(0, header.size(), header) != 0) fuzz::fail("an exported file without its header");
    if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0)
      fuzz::fail("an export that ends mid-line");
  }
  // Nothing this input allocated outlives it: an input that leaves more allocated than it freed makes
  // the fuzzer run it again and scan the whole heap for leaks.
  f->window.clear();
  std::vector<messwert_tag>().swap(LinkAccess(f->link).measurements());
  return 0;
}
