#include "usbdev/SocketProtocol.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

int OpenRunDir(const std::string& dir, std::string* why) {
  why->clear();
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    struct stat link {};
    if (error == ELOOP || error == ENOTDIR) {
      const bool isLink = ::lstat(dir.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
      *why = isLink ? "it is a symbolic link" : "it is not a folder";
    } else if (error != ENOENT) {
      *why = std::strerror(error);
    }
    return -1;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode)) {
    *why = "it is not a folder";
  } else if (info.st_uid != ::getuid()) {
    *why =
        "it belongs to user " + std::to_string(info.st_uid) + ", not to user " + std::to_string(::getuid());
  } else if ((info.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    *why = std::string("other users have access to it (mode ") + mode + ", needs 0700)";
  }
  if (!why->empty()) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool PeerIsThisUser(int fd) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 && size == sizeof credentials &&
         credentials.uid == ::getuid();
}
namespace vsock {

bool IsValidInstanceId(const std::string& id) {
  if (id.empty() || id.size() > kMaxInstanceId) return false;
  for (char c : id) {
    if (c <= ' ' || c > '~') return false;
  }
  return true;
}

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

bool SendAll(int fd, const uint8_t* bytes, size_t size, std::chrono::steady_clock::time_point deadline) {
  while (size > 0) {
    const ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      bytes += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      errno = ETIMEDOUT;
      return false;
    }
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
  }
  return true;
}

bool MessageReader::Next(Header* header, const uint8_t** payload, uint32_t* payloadSize,
                         const std::function<bool(const Header&)>& accept) {
  bool checked = false;
  for (;;) {
    const size_t available = end_ - start_;
    if (available >= kHeaderSize) {
      std::memcpy(header, buffer_.data() + start_, kHeaderSize);
      refused_ = header->size < kHeaderSize || header->size > kMaxMessage ||
                 (!checked && accept && !accept(*header));
      if (refused_) return false;
      checked = true;
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
