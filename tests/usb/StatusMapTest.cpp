// libusb's outcomes as statuses of the USB I/O layer, and the log text each one gets.
#include <gtest/gtest.h>
#include <libusb.h>

#include <cstdio>
#include <string>

#include "platform/usbdrv/LibusbSource.h"
#include "usbio/UsbDevice.h"

namespace {

std::string Text(uint32_t status) {
  char buffer[256];
  return CUsbDevice::FormatStatusText(buffer, sizeof buffer, status);
}

std::string Line(uint32_t status, const char* text) {
  char line[256];
  std::snprintf(line, sizeof line, "Error code 0x%08X: %s", status, text);
  return line;
}

}  // namespace

TEST(LibusbStatusTest, EachOutcomeHasItsStatusAndATextThatSaysWhatHappened) {
  struct Case {
    int error;
    int transferStatus;  // -1: no transfer status of that meaning
    uint32_t status;
    const char* text;
  };
  const Case cases[] = {
      {LIBUSB_ERROR_BUSY, -1, 0xE0001020, "The device is acquired by another process for exclusive use."},
      {LIBUSB_ERROR_NO_DEVICE, LIBUSB_TRANSFER_NO_DEVICE, 0xE000100A, "Device is removed."},
      {LIBUSB_ERROR_INTERRUPTED, LIBUSB_TRANSFER_CANCELLED, 0xE0010000, "USBD Error: cancelled."},
      {LIBUSB_ERROR_PIPE, LIBUSB_TRANSFER_STALL, 0xE0000030, "USBD Error: Endpoint halted."},
      {LIBUSB_ERROR_TIMEOUT, LIBUSB_TRANSFER_TIMED_OUT, 0xE0006000, "USBD Error: Timeout."},
      {LIBUSB_ERROR_OVERFLOW, LIBUSB_TRANSFER_OVERFLOW, 0xE0000008, "HC Error: Data Overrun."},
      {LIBUSB_ERROR_IO, LIBUSB_TRANSFER_ERROR, 0xE0000500, "USBD Error: Request failed."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(libusb_error_name(c.error));
    EXPECT_EQ(usbdrv::StatusFromLibusbError(c.error), c.status);
    if (c.transferStatus >= 0) {
      EXPECT_EQ(usbdrv::StatusFromTransferStatus(c.transferStatus), c.status);
    }
    // A status without a row in the layer's table would be logged as a Windows error.
    EXPECT_EQ(Text(c.status), Line(c.status, c.text));
  }
  EXPECT_EQ(usbdrv::StatusFromLibusbError(LIBUSB_SUCCESS), 0u);
  EXPECT_EQ(usbdrv::StatusFromTransferStatus(LIBUSB_TRANSFER_COMPLETED), 0u);
}

TEST(LibusbStatusTest, AnythingElseIsAFailedRequestNeverSuccess) {
  const int errors[] = {LIBUSB_ERROR_ACCESS,
                        LIBUSB_ERROR_NOT_FOUND,
                        LIBUSB_ERROR_NO_MEM,
                        LIBUSB_ERROR_NOT_SUPPORTED,
                        LIBUSB_ERROR_INVALID_PARAM,
                        LIBUSB_ERROR_OTHER,
                        -1000,
                        1};
  for (int error : errors) {
    EXPECT_EQ(usbdrv::StatusFromLibusbError(error), 0xE0000500u) << error;
  }
  for (int status : {-1, 99, 1000})
    EXPECT_EQ(usbdrv::StatusFromTransferStatus(status), 0xE0000500u) << status;
}
