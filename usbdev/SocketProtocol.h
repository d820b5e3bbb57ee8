// The framed protocol between the virtual-logger source (platform/usbdrv/SocketSource.cpp) and
// velmora-sim, over one Unix stream socket per connection, and the run folder where they meet.
//
// Every message is a fixed header followed by `size - kHeaderSize` payload bytes. Both ends run on the
// same machine, so the header travels in native byte order. The sim speaks first (kHello); after that
// the host sends requests and the sim answers with kReply (control requests) or kComplete
// (transfers), each carrying the id of the request it ends.
//
//   kHello             sim -> host  value: protocol version; payload: endpoint count (u8), the
//                                   endpoint addresses, then the instance id (the rest)
//   kGetDescriptor     host -> sim  payload: type (u8), index (u8), language (u16), capacity (u32)
//   kSetConfiguration  host -> sim  payload: configuration index (u16), count (u16), per interface:
//                                   number (u16), alternate setting (u16), max transfer size (u32)
//   kDropConfiguration host -> sim  no payload
//                                   The logger belongs to the one connection whose configuration it
//                                   took, until that connection drops it or ends; any other gets
//                                   kStatusExclusive for its configuration and kStatusNotConfigured for
//                                   its transfers (a host drops its configuration when it closes its
//                                   last handle, so that a scan holds nothing)
//   kReply             sim -> host  status; payload: descriptor bytes (kGetDescriptor only)
//   kSubmit            host -> sim  endpoint; IN: value = capacity; OUT: payload = the data
//   kComplete          sim -> host  status, value = bytes moved; IN: payload = the data
//   kCancel            host -> sim  id of the transfer to cancel (it still completes, with a status)
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace usbdrv {

// The run folder both ends use unless told otherwise: $VELMORA_RUN_DIR, else
// $XDG_RUNTIME_DIR/velmora, else /tmp/velmora-<uid>. Each sim listens on one "*.sock" file there.
std::string DefaultVirtualLoggerRunDir();

// Opens the run folder for use, without following a symbolic link: only a folder that belongs to this
// user and that nobody else may enter (no group or other permissions) is taken, since whoever can put
// a socket there is trusted with the clock, commands and firmware image. Returns a descriptor
// (close-on-exec), or -1 with `why` saying what is wrong; `why` stays empty when there is no folder.
int OpenRunDir(const std::string& dir, std::string* why);

// True when the peer of a connected Unix socket runs as this process's user.
bool PeerIsThisUser(int fd);
namespace vsock {

constexpr uint32_t kVersion = 1;
// Bounds a message so that a corrupt size field cannot make either end allocate without limit.
constexpr uint32_t kMaxMessage = 1u << 24;
// A greeting carries at most 255 endpoint addresses and an instance id: anything longer is no sim's.
constexpr uint32_t kMaxHello = 512;
// Instance ids are part of device paths and log lines: 1 to 64 bytes of printable ASCII, no spaces.
constexpr size_t kMaxInstanceId = 64;
bool IsValidInstanceId(const std::string& id);

enum Type : uint8_t {
  kHello = 1,
  kReply = 2,
  kComplete = 3,
  kGetDescriptor = 16,
  kSetConfiguration = 17,
  kDropConfiguration = 18,
  kSubmit = 19,
  kCancel = 20,
};

struct Header {
  uint32_t size = 0;  // whole message, header included
  uint8_t type = 0;
  uint8_t endpoint = 0;
  uint16_t reserved = 0;
  uint32_t id = 0;
  uint32_t status = 0;
  uint32_t value = 0;
};
constexpr uint32_t kHeaderSize = sizeof(Header);
static_assert(kHeaderSize == 20, "header layout");

// One message in one buffer, so that it goes out with a single write.
std::vector<uint8_t> Frame(Header header, const void* payload, size_t size);

// Writes all of `bytes`; false when the peer has gone (never raises SIGPIPE). Callers serialise
// writes on one socket themselves.
bool SendAll(int fd, const uint8_t* bytes, size_t size);
inline bool SendAll(int fd, const std::vector<uint8_t>& message) {
  return SendAll(fd, message.data(), message.size());
}
// The same, but never waits past `deadline`: false with errno ETIMEDOUT once it has passed with bytes
// still unsent (the stream is then cut in the middle of a message and good only for closing).
bool SendAll(int fd, const uint8_t* bytes, size_t size, std::chrono::steady_clock::time_point deadline);

// Reads messages from a stream socket through a buffer, so that a burst of small messages costs one
// read call rather than two per message.
class MessageReader {
 public:
  explicit MessageReader(int fd) : fd_(fd), buffer_(64 * 1024) {}

  // Waits for the next message. The payload pointer stays valid until the next call. False at the
  // end of the stream, on a read error or time-out (SO_RCVTIMEO) and on a malformed frame. `accept`,
  // when given, sees each header before its payload is waited for and may refuse it (false).
  bool Next(Header* header, const uint8_t** payload, uint32_t* payloadSize,
            const std::function<bool(const Header&)>& accept = nullptr);
  // True when the last Next failed on a frame it refused (a size out of bounds, or `accept`'s no),
  // rather than at the end of the stream or on a read error.
  bool Refused() const { return refused_; }

 private:
  int fd_;
  std::vector<uint8_t> buffer_;
  size_t start_ = 0;
  size_t end_ = 0;
  bool refused_ = false;
};

}  // namespace vsock
}  // namespace usbdrv
