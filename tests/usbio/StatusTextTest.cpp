// Status texts: one of its own for every status named, the fallback for unknown codes, and how lines
// are cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <iomanip>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "usbio/UsbDevice.h"
#include "usbio/UsbStatus.h"

namespace {

// Every status the layers below name, each defined once in its header.
const std::vector<uint32_t>& NamedStatuses() {
  static const std::vector<uint32_t> named = {
      usbdrv::kStatusSuccess,
      usbdrv::kStatusStallPid,
      usbdrv::kStatusNotResponding,
      usbdrv::kStatusDataOverrun,
      usbdrv::kStatusEndpointHalted,
      usbdrv::kStatusNoMemory,
      usbdrv::kStatusRequestFailed,
      usbdrv::kStatusTimeout,
      usbdrv::kStatusCancelled,
      usbdrv::kStatusOperationFailed,
      usbdrv::kStatusNotConfigured,
      usbdrv::kStatusDeviceRemoved,
      usbdrv::kStatusPipeNotFound,
      usbdrv::kStatusInvalidParameter,
      usbdrv::kStatusPoweredDown,
      usbdrv::kStatusSetConfigFailed,
      usbdrv::kStatusExclusive,
      usbdrv::kStatusAlreadyBound,
      usbdrv::kStatusNotBound,
      usbdrv::kStatusBadControlCode,
      usbdrv::kStatusRequestTimedOut,
      usbdrv::kStatusInvalidRecipient,
      usbdrv::kStatusBadDirection,
      usbdrv::kStatusVersionMismatch,
      usbstatus::kSuccess,
      usbstatus::kNoMemory,
      usbstatus::kFailed,
      usbstatus::kTimeout,
      usbstatus::kPoweredDown,
      usbstatus::kVersionMismatch,
      usbstatus::kDeviceNotFound,
      usbstatus::kNotOpen,
      usbstatus::kNoSuchInstance,
      usbstatus::kInvalidParameter,
      usbstatus::kAlreadyOpen,
  };
  return named;
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

TEST(StatusText, TableRowsHaveTextsOfTheirOwn) {
  ASSERT_GT(g_UsbStatusTableRows, 0u);
  std::set<uint32_t> codes;
  std::set<std::string> texts;
  for (unsigned i = 0; i < g_UsbStatusTableRows; ++i) {
    const UsbStatusRow& row = g_UsbStatusTable[i];
    SCOPED_TRACE("row " + std::to_string(i));
    ASSERT_NE(row.text, nullptr);
    EXPECT_NE(std::string(row.text), "");
    EXPECT_NE(std::string(row.text), kUnknownText);
    // A second row of a code would never be found; a text twice would not tell two statuses apart.
    EXPECT_TRUE(codes.insert(row.code).second) << "code twice: " << row.code;
    EXPECT_TRUE(texts.insert(row.text).second) << "text twice: " << row.text;
    EXPECT_EQ(Format(row.code), ExpectedLine(row.code, row.text));
  }
}

TEST(StatusText, EveryNamedStatusHasATextAndOtherCodesAreWindowsErrors) {
  // The layer's own status for a missing setupapi.dll has no row, and 997 is Windows' I/O pending.
  const std::set<uint32_t> rowless = {usbstatus::kSetupApiMissing, usbstatus::kPending};
  for (uint32_t status : NamedStatuses())
    EXPECT_NE(Format(status), ExpectedLine(status, kUnknownText)) << std::hex << status;
  for (uint32_t status : rowless) EXPECT_EQ(Format(status), ExpectedLine(status, kUnknownText));
  // A few lines exactly as the log shows them.
  EXPECT_EQ(Format(0), "Error code 0x00000000: No error.");
  EXPECT_EQ(Format(0xE0001000), "Error code 0xE0001000: Operation failed.");
  EXPECT_EQ(Format(0xE8001000), "Error code 0xE8001000: USBD Error: Insufficient resources.");
  // Windows errors and gaps inside each range of the table.
  for (uint32_t status :
       {5u, 995u, 0xE000000Eu, 0xE000101Eu, 0xE0001101u, 0xE0001022u, 0xE0060000u, 0xFFFFFFFFu}) {
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
  for (unsigned i = 0; i < g_UsbStatusTableRows; ++i)
    longest = std::max(longest, ExpectedLine(g_UsbStatusTable[i].code, g_UsbStatusTable[i].text).size());
  EXPECT_EQ(longest, 83u);
  for (uint32_t status : {0xE0001020u, 0xE0001109u}) {
    const std::string line = Format(status, 256);
    EXPECT_EQ(line.size(), 83u) << line;
    EXPECT_EQ(Format(status, 84), line);
  }
}

}  // namespace
