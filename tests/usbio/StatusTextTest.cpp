// Status texts: the table row for row, the fallback for unknown codes, and how lines are cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <iomanip>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "usbio/UsbDevice.h"

namespace {

// Written out separately from the layer's own table, so that a changed or dropped character in either
// shows up here.
const std::vector<std::pair<uint32_t, std::string>>& ReferenceRows() {
  static const std::vector<std::pair<uint32_t, std::string>> rows = {
      {0x00000000u, "No error."},
      {0xE0000001u, "HC Error: Wrong CRC."},
      {0xE0000002u, "HC Error: Wrong bit stuffing."},
      {0xE0000003u, "HC Error: Data toggle mismatch."},
      {0xE0000004u, "HC Error: stall PID."},
      {0xE0000005u, "HC Error: Device not responding."},
      {0xE0000006u, "HC Error: PID check failed."},
      {0xE0000007u, "HC Error: Unexpected PID."},
      {0xE0000008u, "HC Error: Data Overrun."},
      {0xE0000009u, "HC Error: Data Underrun."},
      {0xE000000Au, "HC Error: Reserved1."},
      {0xE000000Bu, "HC Error: Reserved2."},
      {0xE000000Cu, "HC Error: Buffer Overrun."},
      {0xE000000Du, "HC Error: Buffer Underrun."},
      {0xE000000Fu, "HC Error: Not accessed."},
      {0xE0000010u, "HC Error: FIFO error."},
      {0xE0000011u, "HC Error: XACT error."},
      {0xE0000012u, "HC Error: Babble detected."},
      {0xE0000013u, "HC Error: Data buffer error."},
      {0xE0000030u, "USBD Error: Endpoint halted."},
      {0xE0000100u, "USBD Error: No system memory."},
      {0xE0000200u, "USBD Error: Invalid URB function."},
      {0xE0000300u, "USBD Error: Invalid parameter."},
      {0xE0000400u, "USBD Error: Busy."},
      {0xE0000500u, "USBD Error: Request failed."},
      {0xE0000600u, "USBD Error: Invalid pipe handle."},
      {0xE0000700u, "USBD Error: No bandwidth available."},
      {0xE0000800u, "USBD Error: Internal HC error."},
      {0xE0000900u, "USBD Error: Short transfer."},
      {0xE0000A00u, "USBD Error: Bad start frame."},
      {0xE0000B00u, "USBD Error: Isochronous request failed."},
      {0xE0000C00u, "USBD Error: Frame control owned."},
      {0xE0000D00u, "USBD Error: Frame control not owned."},
      {0xE0000E00u, "USBD Error: Not supported."},
      {0xE0000F00u, "USBD Error: Invalid configuration descriptor."},
      {0xE8001000u, "USBD Error: Insufficient resources."},
      {0xE0002000u, "USBD Error: Set configuration failed."},
      {0xE0003000u, "USBD Error: Buffer too small."},
      {0xE0004000u, "USBD Error: Interface not found."},
      {0xE0005000u, "USBD Error: Invalid pipe flags."},
      {0xE0006000u, "USBD Error: Timeout."},
      {0xE0007000u, "USBD Error: Device gone."},
      {0xE0008000u, "USBD Error: Status not mapped."},
      {0xE0010000u, "USBD Error: cancelled."},
      {0xE0020000u, "USBD Error: ISO not accessed by hardware."},
      {0xE0030000u, "USBD Error: ISO TD error."},
      {0xE0040000u, "USBD Error: ISO NA late USB port."},
      {0xE0050000u, "USBD Error: ISO not accessed, submitted too late."},
      {0xE0001000u, "Operation failed."},
      {0xE0001001u, "Input buffer too small."},
      {0xE0001002u, "Output buffer too small."},
      {0xE0001003u, "Out of memory."},
      {0xE0001004u, "There are pending requests."},
      {0xE0001005u, "USB device is already configured."},
      {0xE0001006u, "USB device is not configured."},
      {0xE0001007u, "There are open pipes."},
      {0xE0001008u, "Either handle or pipe is already bound."},
      {0xE0001009u, "Handle is not bound to a pipe."},
      {0xE000100Au, "Device is removed."},
      {0xE000100Bu, "Control code is not supported."},
      {0xE000100Cu, "The request has been timed out."},
      {0xE000100Du, "Invalid recipient."},
      {0xE000100Eu, "Invalid pipe type or invalid request type."},
      {0xE000100Fu, "Invalid I/O control code."},
      {0xE0001010u, "Invalid direction of read/write operation."},
      {0xE0001011u, "Too much ISO packets."},
      {0xE0001012u, "Request pool empty."},
      {0xE0001013u, "Pipe not found."},
      {0xE0001014u, "Invalid ISO packet."},
      {0xE0001015u, "Out of address space. Not enough system resources."},
      {0xE0001016u, "Interface not found."},
      {0xE0001017u, "Invalid device state (stopped or power down)."},
      {0xE0001018u, "Invalid parameter."},
      {0xE000101Au, "Power state not allowed. Set to D0 first."},
      {0xE000101Bu, "Device powered down."},
      {0xE000101Cu, "API Version does not match."},
      {0xE000101Du, "Set configuration failed."},
      {0xE000101Fu, "Invalid process."},
      {0xE0001020u, "The device is acquired by another process for exclusive use."},
      {0xE0001021u, "A different process has opened the device."},
      {0xE0001100u, "Device not found or acquired for exclusive use."},
      {0xE0001102u, "Device not open."},
      {0xE0001104u, "No such device instance."},
      {0xE0001105u, "An invalid parameter was passed."},
      {0xE0001107u, "The handle is already opened."},
      {0xE0001108u, "The device returned an invalid descriptor."},
      {0xE0001109u, "This operation or feature is not supported under Windows CE."},
  };
  return rows;
}

const char kUnknownText[] = "Windows system error code.";

// The whole line, built without printf so that a wrong format string in the layer cannot hide.
std::string ExpectedLine(uint32_t status, const std::string& text) {
  std::ostringstream line;
  line << "Error code 0x" << std::uppercase << std::hex << std::setw(8) << std::setfill('0') << status << ": "
       << text;
  return line.str();
}

std::string Format(uint32_t status, uint32_t size = 256) {
  std::vector<char> buffer(size + 1, 'x');
  char* result = CUsbDevice::FormatStatusText(buffer.data(), size, status);
  EXPECT_EQ(result, buffer.data());
  EXPECT_EQ(buffer[size], 'x') << "wrote past the given size";
  return std::string(buffer.data());
}

TEST(StatusText, TableMatchesTheReferenceRowForRow) {
  const auto& reference = ReferenceRows();
  ASSERT_EQ(reference.size(), 87u);
  ASSERT_EQ(g_UsbStatusTableRows, 87u);
  for (unsigned i = 0; i < g_UsbStatusTableRows; ++i) {
    SCOPED_TRACE("row " + std::to_string(i));
    EXPECT_EQ(g_UsbStatusTable[i].code, reference[i].first);
    ASSERT_NE(g_UsbStatusTable[i].text, nullptr);
    EXPECT_STREQ(g_UsbStatusTable[i].text, reference[i].second.c_str());
  }
}

TEST(StatusText, EveryCodeFormatsToItsOwnLineAndUnknownCodesAreWindowsErrors) {
  for (const auto& row : ReferenceRows()) EXPECT_EQ(Format(row.first), ExpectedLine(row.first, row.second));
  EXPECT_EQ(Format(0), "Error code 0x00000000: No error.");
  EXPECT_EQ(Format(0xE0001000), "Error code 0xE0001000: Operation failed.");
  EXPECT_EQ(Format(0xE8001000), "Error code 0xE8001000: USBD Error: Insufficient resources.");
  // Windows errors, the layer's own row-less status, and gaps inside each range of the table.
  for (uint32_t status : {5u, 995u, 997u, 0xE0001106u, 0xE000000Eu, 0xE000101Eu, 0xE0001101u, 0xE0001022u,
                          0xE0060000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(Format(status), ExpectedLine(status, kUnknownText));
  }
}

TEST(StatusText, LinesAreCutToTheBufferSize) {
  const std::string full = ExpectedLine(0xE000100C, "The request has been timed out.");
  EXPECT_EQ(Format(0xE000100C, 20), full.substr(0, 19));
  EXPECT_EQ(Format(0xE000100C, 1), "");
  EXPECT_EQ(Format(0xE000100C, static_cast<uint32_t>(full.size()) + 1), full);
  EXPECT_EQ(Format(0xE000100C, static_cast<uint32_t>(full.size())), full.substr(0, full.size() - 1));

  // Nothing may be written with no room at all, and a null buffer comes back as it is.
  char untouched[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(CUsbDevice::FormatStatusText(untouched, 0, 0xE000100C), untouched);
  EXPECT_EQ(std::string(untouched, 4), "abcd");
  EXPECT_EQ(CUsbDevice::FormatStatusText(nullptr, 256, 0xE000100C), nullptr);
}

TEST(StatusText, LongestLinesFitTheProgramsBuffers) {
  size_t longest = 0;
  for (const auto& row : ReferenceRows())
    longest = std::max(longest, ExpectedLine(row.first, row.second).size());
  EXPECT_EQ(longest, 83u);
  for (uint32_t status : {0xE0001020u, 0xE0001109u}) {
    const std::string line = Format(status, 256);
    EXPECT_EQ(line.size(), 83u) << line;
    EXPECT_EQ(Format(status, 84), line);
  }
}

}  // namespace
