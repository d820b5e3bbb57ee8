// One completed IN buffer of 0 to 64 bytes through CMyReader::ProcessData, with any combination of
// the link's flags, against a counting window and no device: the commands an answer sets off go to
// a pipe that is not there and fail harmlessly.
//
// Input: a flag byte (raw command, download, memory load, an update waiting for its "mem.save" answer,
// failed transfer, a transfer that claims more bytes than it has), the counters at their bounds, then
// the answer bytes.
#include <climits>
#include <memory>

#include "fuzz/FuzzSupport.h"
#include "link/Firmware.h"
#include "link/LinkAccess.h"
#include "link/MyReader.h"
#include "link/USBInterface.h"
#include "usbio/UsbBuf.h"

namespace {

const int32_t kBounds[] = {INT32_MIN, -1, 0, 1, 7, 8, 9, 8191, 8192, 8193, 16383, 16384, 16385, INT32_MAX};

int32_t pick(fuzz::Input& in) {
  const uint8_t b = in.byte();
  return b < sizeof kBounds / sizeof kBounds[0] ? kBounds[b] : static_cast<int32_t>(in.u32());
}

// Keeps the commands the answers send, to check what they ask of the logger. The answer's own log
// line (it follows its response line) is the logger's text, not a command, whatever it says.
class CommandWindow : public RecordingWindow {
 public:
  CommandWindow() : RecordingWindow(fuzz::windowOptions()) {}
  void responseLine(const std::string& line) override {
    RecordingWindow::responseLine(line);
    answer = line;
    answerPending = true;
  }
  void infoMsg(const std::string& line) override {
    RecordingWindow::infoMsg(line);
    if (answerPending && line == answer) {
      answerPending = false;
      return;
    }
    if (line.rfind(" <<< ", 0) == 0) commands.push_back(line.substr(5));
  }
  std::vector<std::string> commands;
  std::string answer;
  bool answerPending = false;
};

struct Fixture {
  // The reader belongs to the link as it is (no link opened: generation 0), so that its commands and
  // data take the path of an open link's reader and fail only at the missing pipe.
  Fixture() : link(&window) {
    // The pause before the firmware check would slow every "mem.save" answer down to a crawl.
    firmware::setCheckPauseMs(0);
  }
  CommandWindow window;
  USBInterface link;
  std::unique_ptr<CMyReader> reader;  // a fresh one per input: the image of an update is the reader's
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture* f = new Fixture();  // lives for the run: the link holds a 512 KiB image
  fuzz::Input in(data, size);
  const uint8_t flags = in.byte();
  const bool raw = flags & 1;
  f->reader = std::make_unique<CMyReader>(&f->link, f->link.linkGeneration());
  f->link.requestSave(USBInterface::SaveRequest::None, {}, f->link.linkGeneration());
  LinkAccess(f->link).rawCommand() = false;
  // An update under way: its version answer loaded the image and asked for "mem.save".
  if (flags & 8) f->reader->HandleAnswer("device.software=V0");
  LinkAccess(f->link).rawCommand() = raw;
  LinkAccess(f->link).downloadActive() = (flags & 2) != 0;
  LinkAccess(f->link).memLoadActive() = (flags & 4) != 0;
  LinkAccess(f->link).memUsed() = pick(in);
  LinkAccess(f->link).packetCount() = pick(in);
  LinkAccess(f->link).packetsExpected() = pick(in);
  const uint32_t status = (flags & 16) ? (in.u32() | 1) : 0;
  const bool overclaim = (flags & 32) != 0;
  const uint8_t claimed = in.byte();

  const std::vector<uint8_t> answer = in.bytes(64);
  const size_t n = answer.size();
  std::unique_ptr<uint8_t[]> storage(new uint8_t[n]);  // exactly the received bytes
  if (n > 0) std::memcpy(storage.get(), answer.data(), n);
  CUsbBuf buffer(storage.get(), static_cast<uint32_t>(n));
  buffer.bytesToTransfer = static_cast<uint32_t>(n);
  buffer.bytesTransferred = overclaim ? claimed : static_cast<uint32_t>(n);
  buffer.status = status;

  f->window.clear();
  f->window.commands.clear();
  f->window.answerPending = false;
  f->reader->ProcessData(&buffer);

  if (status == 0 && raw && LinkAccess(f->link).rawCommand())
    fuzz::fail("the raw command flag survived its answer");
  for (const std::string& command : f->window.commands) {
    if (command.rfind("mem.load=0,", 0) == 0) {
      // A memory read must fit the image and ask for whole pages.
      const long long bytes = std::atoll(command.c_str() + 11);
      if (bytes <= 0 || bytes > static_cast<long long>(logger::kMemorySize) || bytes % 256 != 0)
        fuzz::fail("a memory read the image cannot take");
      if (LinkAccess(f->link).packetsExpected() != bytes / 64)
        fuzz::fail("packetsExpected does not match the read");
    }
  }
  if (!f->reader->FirmwareImage().empty() && f->reader->FirmwareImage().size() != firmware::kSize)
    fuzz::fail("a firmware image of the wrong size");
  return 0;
}
