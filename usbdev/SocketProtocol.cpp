#include "usbdev/SocketProtocol.h"

#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace usbdrv {

std::string DefaultVirtualLoggerRunDir() {
  const char* dir = std::getenv("VELMORA_RUN_DIR");
  if (dir != nullptr && *dir != '\0') return dir;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime != '\0') return std::string(runtime) + "/velmora";
  return "/tmp/velmora-" + std::to_string(::getuid());
}
namespace vsock {

std::vector<uint8_t> Frame(Header header, const void* payload, size_t size) {
  header.size = static_cast<uint32_t>(kHeaderSize + size);
  std::vector<uint8_t> message(kHeaderSize + size);
  std::memcpy(message.data(), &header, kHeaderSize);
  if (size > 0) std::memcpy(message.data() + kHeaderSize, payload, size);
  return message;
}

bool SendAll(int fd, const uint8_t* bytes, size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool MessageReader::Next(Header* header, const uint8_t** payload, uint32_t* payloadSize) {
  for (;;) {
    const size_t available = end_ - start_;
    if (available >= kHeaderSize) {
      std::memcpy(header, buffer_.data() + start_, kHeaderSize);
      if (header->size < kHeaderSize || header->size > kMaxMessage) return false;
      if (available >= header->size) {
        *payload = buffer_.data() + start_ + kHeaderSize;
        *payloadSize = header->size - kHeaderSize;
        start_ += header->size;
        return true;
      }
      if (header->size > buffer_.size()) buffer_.resize(header->size);
    }
    // Make room at the end: move the partial message to the front.
    if (start_ > 0) {
      if (available > 0) std::memmove(buffer_.data(), buffer_.data() + start_, available);
      start_ = 0;
      end_ = available;
    }
    const ssize_t n = ::recv(fd_, buffer_.data() + end_, buffer_.size() - end_, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    end_ += static_cast<size_t>(n);
  }
}

}  // namespace vsock
}  // namespace usbdrv
