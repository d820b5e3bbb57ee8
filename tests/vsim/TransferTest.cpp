// Transfers through the socket: memory streamed on the data pipe, paced and not, a client that goes
// away, and a sim that stops answering.
#include <sys/socket.h>
#include <sys/un.h>

#include "VsimHarness.h"
#include "usbdev/DeviceStatus.h"
#include "usbdev/SocketProtocol.h"

namespace {

using vsimtest::Logger;
using vsimtest::ReadStream;
using vsimtest::Sim;

class VsimTransferTest : public vsimtest::VsimTest {};

// Reads `packets` packets from the data pipe after a mem.load and appends their bytes.
void ReadPackets(ReadStream& stream, int packets, std::vector<uint8_t>* bytes) {
  for (int i = 0; i < packets; ++i) {
    const auto r = stream.Next();
    ASSERT_EQ(r.status, 0u) << "packet " << i;
    ASSERT_EQ(r.bytes.size(), 64u) << "packet " << i;
    bytes->insert(bytes->end(), r.bytes.begin(), r.bytes.end());
  }
}

TEST_F(VsimTransferTest, MemLoadArrivesAsPacketsOfTheImage) {
  const auto image = vsimtest::RandomBytes(velmora::kMemorySize, 7);
  vsimtest::WriteBytes(dir.File("image.bin"), image);
  // The same image served unpaced and at the full-speed bulk rate, from different addresses.
  Sim plain, paced;
  ASSERT_TRUE(
      plain.Start(dir.Path(), {"--serial", "VLM0001", "--image", dir.File("image.bin"), "--used", "128"}));
  ASSERT_TRUE(paced.Start(dir.Path(), {"--serial", "VLM0002", "--image", dir.File("image.bin"), "--used",
                                       "128", "--pace", "full-speed"}));
  const struct {
    int number;
    uint32_t address;
  } runs[] = {{0, 0}, {1, 65536}};
  for (const auto& run : runs) {
    SCOPED_TRACE(run.number);
    Logger logger;
    ASSERT_EQ(logger.Open(run.number), 0u);
    ReadStream stream(logger.data, 5);
    const std::string command = "mem.load=" + std::to_string(run.address) + ",4096";
    ASSERT_EQ(logger.Command(command), 0u);
    EXPECT_EQ(logger.Answer(), command);
    std::vector<uint8_t> bytes;
    ReadPackets(stream, 64, &bytes);
    ASSERT_EQ(bytes.size(), 4096u);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), image.begin() + run.address)) << "bytes differ";
    // The pipe is still in step: the next command's answer is the next thing on it.
    ASSERT_EQ(logger.Command("mem.used"), 0u);
    EXPECT_EQ(logger.Answer(), "mem.used=128");
  }
}

TEST_F(VsimTransferTest, ReadsOfAClientThatWentAwayTakeNoPackets) {
  const auto image = vsimtest::RandomBytes(velmora::kMemorySize, 11);
  vsimtest::WriteBytes(dir.File("image.bin"), image);
  Sim sim;
  ASSERT_TRUE(sim.Start(dir.Path(), {"--image", dir.File("image.bin"), "--used", "1"}));
  {
    Logger logger;
    ASSERT_EQ(logger.Open(0), 0u);
    ReadStream stream(logger.data, 5);
    // Drop the connection while five reads wait on the data pipe: they end as an unplug.
    usbdrv::DisableVirtualLoggers();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(stream.Next(false).status, usbdrv::kStatusDeviceRemoved);
    EXPECT_EQ(logger.Command("mem.used"), usbdrv::kStatusDeviceRemoved);
  }
  // The sim has let go of that client once it closes the connection: only its listener is left.
  ASSERT_TRUE(vsimtest::WaitUntil([&] { return sim.OpenSockets() == 1; }));
  // A new connection gets every packet: the old reads were cancelled in the sim, not left waiting.
  usbdrv::EnableVirtualLoggers(dir.Path());
  Logger logger;
  ASSERT_EQ(logger.Open(0), 0u);
  ReadStream stream(logger.data, 5);
  ASSERT_EQ(logger.Command("mem.load=0,1024"), 0u);
  EXPECT_EQ(logger.Answer(), "mem.load=0,1024");
  std::vector<uint8_t> bytes;
  ReadPackets(stream, 16, &bytes);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), image.begin())) << "bytes differ";
}

// A sim that holds back the reply to the first control request, and answers it only after the
// second request has arrived.
TEST_F(VsimTransferTest, ControlRequestsGiveUpOnASimThatDoesNotAnswerAndIgnoreLateReplies) {
  const std::string path = dir.File("slow-1.sock");
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  std::thread slowSim([listener] {
    namespace vsock = usbdrv::vsock;
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) return;
    vsock::Header h;
    h.type = vsock::kHello;
    h.value = vsock::kVersion;
    const std::string hello = std::string("\x01\x81") + "slow-1";
    vsock::SendAll(fd, vsock::Frame(h, hello.data(), hello.size()));
    vsock::MessageReader reader(fd);
    const uint8_t* payload = nullptr;
    uint32_t size = 0;
    std::vector<std::pair<uint32_t, uint8_t>> requests;  // id, descriptor type asked for
    while (requests.size() < 2 && reader.Next(&h, &payload, &size) && size > 0) {
      requests.emplace_back(h.id, payload[0]);
    }
    // Each reply is a descriptor of the type that was asked for, so a mix-up shows.
    for (const auto& r : requests) {
      const uint8_t descriptor[2] = {2, r.second};
      vsock::Header reply;
      reply.type = vsock::kReply;
      reply.id = r.first;
      vsock::SendAll(fd, vsock::Frame(reply, descriptor, sizeof(descriptor)));
    }
    // Stays until the host hangs up.
    while (reader.Next(&h, &payload, &size)) {
    }
    ::close(fd);
  });

  usbdrv::SetVirtualLoggerReplyTimeout(200);
  CUsbDevice device;
  ASSERT_EQ(device.OpenDevice(0, nullptr, &g_UsbDrvInterfaceGuid, true), 0u);
  EXPECT_EQ(InstanceIds(), std::vector<std::string>{"slow-1"});
  uint8_t descriptor[18] = {};
  uint32_t length = sizeof(descriptor);
  EXPECT_EQ(device.ReadDescriptor(descriptor, &length, 0, 1, 0, 0), usbdrv::kStatusNotResponding);
  usbdrv::SetVirtualLoggerReplyTimeout(2000);
  // The late reply to the abandoned request comes first and must not be taken for this one.
  length = sizeof(descriptor);
  EXPECT_EQ(device.ReadDescriptor(descriptor, &length, 0, 3, 0, 0), 0u);
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(descriptor[1], 3) << "the reply of the abandoned request";
  device.CloseDevice();
  usbdrv::DisableVirtualLoggers();
  slowSim.join();
  ::close(listener);
}

}  // namespace
