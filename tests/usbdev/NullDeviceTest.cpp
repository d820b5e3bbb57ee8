#include <gtest/gtest.h>

#include <cstdint>

#include "common/LoggerEndpoints.h"
#include "usbdev/NullDevice.h"

namespace {

class CountingTransfer : public usbdrv::UsbTransfer {
 public:
  void Complete(uint32_t, uint32_t) override { ++completions; }
  int completions = 0;
};

TEST(NullDevice, RefusesEveryRequestAndNeverCompletesATransfer) {
  usbdrv::NullDevice device("NULL-1");
  EXPECT_EQ(device.InstanceId(), "NULL-1");
  EXPECT_TRUE(device.Present());

  uint8_t buffer[18] = {};
  uint32_t returned = 99;
  EXPECT_EQ(device.GetDescriptor(1, 0, 0, buffer, sizeof(buffer), &returned), usbdrv::kStatusStallPid);
  EXPECT_EQ(returned, 0u);

  usbdrv::ConfigurationRequest request;
  request.interfaces.push_back({0, 0, 4096});
  EXPECT_EQ(device.SetConfiguration(request), usbdrv::kStatusSetConfigFailed);
  EXPECT_EQ(device.DropConfiguration(), usbdrv::kStatusNotConfigured);
  EXPECT_FALSE(device.HasEndpoint(ep::kDatIn));
  EXPECT_FALSE(device.HasEndpoint(ep::kDatOut));

  CountingTransfer in;
  in.endpoint = ep::kDatIn;
  in.data = buffer;
  in.capacity = sizeof(buffer);
  CountingTransfer out;
  out.endpoint = ep::kDatOut;
  out.data = buffer;
  out.length = 4;
  EXPECT_NE(device.Submit(&in), usbdrv::kStatusSuccess);
  EXPECT_NE(device.Submit(&out), usbdrv::kStatusSuccess);
  device.Cancel(&in);
  EXPECT_EQ(in.completions + out.completions, 0) << "a refused transfer is never completed";
}

}  // namespace
