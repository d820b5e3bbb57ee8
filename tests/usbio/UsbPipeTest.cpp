// Pipes: binding, overlapped reads and writes on pooled buffers, waits with time-outs, and WriteSync
// against an endpoint that takes nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "UsbioTestSupport.h"
#include "usbio/UsbPipe.h"

namespace {

using usbio_test::kCommandOut;
using usbio_test::kDatIn;

class UsbPipeTest : public usbio_test::PipeTest {
 protected:
  uint32_t Bind(CUsbPipe& pipe, uint8_t endpoint) { return BindTo(pipe, endpoint); }
};

TEST_F(UsbPipeTest, BindOpensOnlyWhenClosed) {
  CUsbPipe pipe;
  const int before = usbdrv::OpenDriverHandles();
  ASSERT_EQ(Bind(pipe, kDatIn), 0u);
  EXPECT_TRUE(pipe.IsOpen());
  EXPECT_EQ(usbdrv::OpenDriverHandles(), before + 1);

  // An open pipe is bound again without any open: a device number that names nothing still works.
  EXPECT_EQ(pipe.UnbindPipe(), 0u);
  EXPECT_EQ(pipe.BindPipe(999, kDatIn, nullptr, &g_UsbDrvInterfaceGuid, true), 0u);
  EXPECT_EQ(usbdrv::OpenDriverHandles(), before + 1);

  CUsbPipe missing;
  EXPECT_EQ(missing.BindPipe(999, kDatIn, nullptr, &g_UsbDrvInterfaceGuid, true), 0xE0001100u);
  EXPECT_FALSE(missing.IsOpen());

  // The driver's own refusal passes through: this endpoint is not part of the configuration.
  CUsbPipe unknown;
  const uint32_t status = Bind(unknown, 0x86);
  EXPECT_NE(status, 0u);
  EXPECT_NE(status, 997u);
}

TEST_F(UsbPipeTest, ZeroTimeOutLeavesTheReadPendingUntilItEnds) {
  CUsbPipe pipe;
  ASSERT_EQ(Bind(pipe, kDatIn), 0u);
  uint8_t bytes[64] = {};
  CUsbBuf buffer(bytes, sizeof(bytes));
  buffer.bytesToTransfer = sizeof(bytes);
  ASSERT_TRUE(pipe.SubmitRead(&buffer));
  EXPECT_EQ(buffer.status, 997u);

  EXPECT_EQ(pipe.WaitForBuffer(&buffer, 0), 0xE000100Cu);
  EXPECT_EQ(buffer.status, 997u);
  EXPECT_EQ(device_->PendingReads(kDatIn), 1u);

  device_->QueueIn(kDatIn, std::vector<uint8_t>{0x10, 0x20});
  EXPECT_EQ(pipe.WaitForBuffer(&buffer, usbio_test::kWaitMs), 0u);
  EXPECT_EQ(buffer.bytesTransferred, 2u);
  EXPECT_EQ(bytes[1], 0x20);
}

TEST_F(UsbPipeTest, FailuresComeBackAsTheDriverStatus) {
  CUsbPipe pipe;
  ASSERT_EQ(Bind(pipe, kDatIn), 0u);
  uint8_t bytes[64] = {};

  // A transfer that ends with a failure.
  device_->FailNext(kDatIn, 0xE0000004, 1);
  CUsbBuf failed(bytes, sizeof(bytes));
  failed.bytesToTransfer = sizeof(bytes);
  pipe.SubmitRead(&failed);
  EXPECT_EQ(pipe.WaitForBuffer(&failed, usbio_test::kWaitMs), 0xE0000004u);

  // An abort ends every transfer in flight on the handle.
  CUsbBuf first(bytes, 32), second(bytes + 32, 32);
  first.bytesToTransfer = second.bytesToTransfer = 32;
  ASSERT_TRUE(pipe.SubmitRead(&first));
  ASSERT_TRUE(pipe.SubmitRead(&second));
  EXPECT_EQ(pipe.AbortTransfers(), 0u);
  EXPECT_EQ(pipe.WaitForBuffer(&first, usbio_test::kWaitMs), 0xE0010000u);
  EXPECT_EQ(pipe.WaitForBuffer(&second, usbio_test::kWaitMs), 0xE0010000u);
}

TEST_F(UsbPipeTest, SubmissionFailureIsReturnedWithoutWaiting) {
  CUsbPipe unbound;
  ASSERT_EQ(unbound.OpenDevice(number_, nullptr, &g_UsbDrvInterfaceGuid, true), 0u);
  uint8_t bytes[64] = {};
  CUsbBuf buffer(bytes, sizeof(bytes));
  buffer.bytesToTransfer = sizeof(bytes);

  EXPECT_FALSE(unbound.SubmitRead(&buffer));
  const uint32_t status = buffer.status;
  EXPECT_NE(status, 0u);
  EXPECT_NE(status, 997u);
  // The event never fires for a refused transfer: a wait on it would run out instead.
  ResetEvent(buffer.overlapped.hEvent);
  EXPECT_EQ(unbound.WaitForBuffer(&buffer, 0), status);
  EXPECT_EQ(unbound.WaitForBuffer(&buffer, usbio_test::kWaitMs), status);
  EXPECT_EQ(buffer.status, status);
}

TEST_F(UsbPipeTest, WriteSyncTimesOutOnAStalledPipeAndThePipeWorksAgainAtOnce) {
  CUsbPipe pipe;
  ASSERT_EQ(Bind(pipe, kCommandOut), 0u);
  const int outstanding = usbdrv::OutstandingTransfers();

  device_->Stall(kCommandOut, true);
  const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint32_t length = sizeof(data);
  EXPECT_EQ(pipe.WriteSync(data, &length, 50), 0xE000100Cu);
  EXPECT_EQ(length, 0u);
  // The cancelled write has ended before WriteSync returned: its buffer was on WriteSync's stack.
  EXPECT_EQ(usbdrv::OutstandingTransfers(), outstanding);
  EXPECT_TRUE(device_->TakeOut(kCommandOut).empty());

  device_->Stall(kCommandOut, false);
  length = sizeof(data);
  EXPECT_EQ(pipe.WriteSync(data, &length, 1000), 0u);
  EXPECT_EQ(length, sizeof(data));
  const auto written = device_->TakeOut(kCommandOut);
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0], std::vector<uint8_t>(data, data + sizeof(data)));
}

}  // namespace
