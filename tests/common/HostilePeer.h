// Programs that sit at a logger's place in the run folder and misbehave the ways a broken program, or
// another local user's, can: for the tests, the fault campaign and the end-to-end run. Each peer is a
// child process (it may run as another user), serving one socket until it is destroyed.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/LoggerEndpoints.h"
#include "usbdev/DeviceStatus.h"
#include "usbdev/SocketProtocol.h"

namespace hostile {

enum class PeerKind {
  Silent,        // accepts, never says a word
  SlowGreeting,  // announces a 16 MiB greeting and sends it a byte every 500 ms
  Pending,       // greets, then answers every request with status 997 ("pending")
  StopsReading,  // a logger until the first transfer, then reads nothing more and completes
                 // transfers blindly, so that the host keeps sending
  Garbage,       // sends random bytes
  HugeFrames,    // greets, then answers with frames of 16 MiB
  ForeignUid,    // a logger, but served by another user (needs root to set up)
  Logger,        // answers like a logger and completes nothing: the well-behaved reference
};
constexpr PeerKind kHostileKinds[] = {PeerKind::Silent,       PeerKind::SlowGreeting, PeerKind::Pending,
                                      PeerKind::StopsReading, PeerKind::Garbage,      PeerKind::HugeFrames,
                                      PeerKind::ForeignUid};

inline const char* KindName(PeerKind kind) {
  switch (kind) {
    case PeerKind::Silent:
      return "silent";
    case PeerKind::SlowGreeting:
      return "slow-greeting";
    case PeerKind::Pending:
      return "pending";
    case PeerKind::StopsReading:
      return "stops-reading";
    case PeerKind::Garbage:
      return "garbage";
    case PeerKind::HugeFrames:
      return "huge-frames";
    case PeerKind::ForeignUid:
      return "foreign-uid";
    case PeerKind::Logger:
      return "logger";
  }
  return "?";
}

inline bool KindFromName(const std::string& name, PeerKind* kind) {
  for (PeerKind k : kHostileKinds) {
    if (name == KindName(k)) *kind = k;
  }
  if (name == KindName(PeerKind::Logger)) *kind = PeerKind::Logger;
  return name == KindName(*kind);
}

// Another user for the permission cases (nobody), and one more for an attacker; switching needs root.
constexpr uid_t kVictimUid = 65534;
constexpr uid_t kAttackerUid = 65533;
inline bool CanSwitchUsers() {
  return ::geteuid() == 0;
}
// Drops this process to `uid` (group alike, no supplementary groups) for good.
inline bool BecomeUser(uid_t uid) {
  return ::setgroups(0, nullptr) == 0 && ::setgid(uid) == 0 && ::setuid(uid) == 0;
}

// The serial number of the peers that answer like a logger.
constexpr char kPeerSerial[] = "VLM777";

namespace detail {

namespace vsock = usbdrv::vsock;
using vsock::Header;

inline bool Send(int fd, Header h, const void* payload = nullptr, size_t size = 0) {
  return vsock::SendAll(fd, vsock::Frame(h, payload, size));
}

inline std::vector<uint8_t> Hello(const std::string& id) {
  std::vector<uint8_t> payload{5, ep::kAnswerIn, ep::kDatIn, ep::kDebugIn, ep::kCommandOut, ep::kDatOut};
  payload.insert(payload.end(), id.begin(), id.end());
  Header h;
  h.type = vsock::kHello;
  h.value = vsock::kVersion;
  return vsock::Frame(h, payload.data(), payload.size());
}

// A logger's answer to a control request: its descriptors, and yes to every configuration.
inline void AnswerLikeALogger(int fd, const Header& h, const uint8_t* payload, uint32_t size) {
  Header reply;
  reply.type = vsock::kReply;
  reply.id = h.id;
  std::vector<uint8_t> d;
  if (h.type == vsock::kGetDescriptor && size >= 2 && payload[0] == 1) {
    d = {18, 1, 0x10, 1, 0, 0, 0, 64, 0xE3, 0x11, 0x05, 0, 0, 1, 0, 0, 3, 1};
  } else if (h.type == vsock::kGetDescriptor && size >= 2 && payload[0] == 3 && payload[1] == 3) {
    d = {static_cast<uint8_t>(2 + 2 * std::strlen(kPeerSerial)), 3};
    for (const char* c = kPeerSerial; *c != '\0'; ++c) d.insert(d.end(), {static_cast<uint8_t>(*c), 0});
  } else if (h.type == vsock::kGetDescriptor) {
    reply.status = usbdrv::kStatusStallPid;
  }
  Send(fd, reply, d.data(), d.size());
}

inline void Serve(int fd, PeerKind kind, const std::string& id) {
  vsock::MessageReader reader(fd);
  Header h;
  const uint8_t* payload = nullptr;
  uint32_t size = 0;
  auto drain = [&] {
    while (reader.Next(&h, &payload, &size)) {
    }
  };
  switch (kind) {
    case PeerKind::Silent:
      drain();
      break;
    case PeerKind::SlowGreeting: {
      Header hello;
      hello.size = vsock::kMaxMessage;
      hello.type = vsock::kHello;
      hello.value = vsock::kVersion;
      std::vector<uint8_t> bytes(vsock::kMaxMessage, 0);
      std::memcpy(bytes.data(), &hello, vsock::kHeaderSize);
      for (uint8_t b : bytes) {
        if (::send(fd, &b, 1, MSG_NOSIGNAL) != 1) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
      }
      break;
    }
    case PeerKind::Garbage: {
      std::mt19937 random(static_cast<uint32_t>(fd));
      std::vector<uint8_t> bytes(4096);
      for (auto& b : bytes) b = static_cast<uint8_t>(random());
      vsock::SendAll(fd, bytes);
      drain();
      break;
    }
    case PeerKind::Pending:
    case PeerKind::HugeFrames:
      vsock::SendAll(fd, Hello(id));
      while (reader.Next(&h, &payload, &size)) {
        if (h.type == vsock::kCancel) continue;
        Header answer;
        answer.type = h.type == vsock::kSubmit ? vsock::kComplete : vsock::kReply;
        answer.id = h.id;
        answer.endpoint = h.endpoint;
        if (kind == PeerKind::Pending) {
          answer.status = 997;  // ERROR_IO_PENDING
          Send(fd, answer);
          continue;
        }
        // The header says 16 MiB, and that much follows as fast as the host takes it.
        std::vector<uint8_t> frame(vsock::kMaxMessage, 0);
        answer.size = vsock::kMaxMessage;
        std::memcpy(frame.data(), &answer, vsock::kHeaderSize);
        if (!vsock::SendAll(fd, frame)) break;
      }
      break;
    case PeerKind::StopsReading:
    case PeerKind::ForeignUid:
    case PeerKind::Logger:
      vsock::SendAll(fd, Hello(id));
      while (reader.Next(&h, &payload, &size)) {
        if (h.type == vsock::kSubmit && kind == PeerKind::StopsReading) {
          // From here on nothing is read. Transfers are numbered in order: completing the numbers
          // after this one, over and over, ends whatever the host has in flight and makes its
          // readers submit again, into a socket nobody empties.
          for (;;) {
            for (uint32_t next = h.id; next < h.id + 4096; ++next) {
              Header done;
              done.type = vsock::kComplete;
              done.id = next;
              if (!Send(fd, done)) return;
            }
          }
        }
        if (h.type == vsock::kGetDescriptor || h.type == vsock::kSetConfiguration ||
            h.type == vsock::kDropConfiguration) {
          AnswerLikeALogger(fd, h, payload, size);
        }
      }
      break;
  }
}

}  // namespace detail

// The body of a peer process: listens at `path` and serves every connection on a thread of its own,
// until killed. `bindAs` and `serveAs` (-1: stay) are the users that make the socket file and that
// listen: a socket of ours served by another user is ForeignUid's. Writes 'L' to `report` once
// listening and 'C' for each connection; returns only on failure.
inline int ServePeer(const std::string& path, PeerKind kind, const std::string& id, int report,
                     uid_t bindAs = static_cast<uid_t>(-1), uid_t serveAs = static_cast<uid_t>(-1)) {
  ::signal(SIGPIPE, SIG_IGN);
  if (kind == PeerKind::ForeignUid && serveAs == static_cast<uid_t>(-1)) serveAs = kVictimUid;
  if (bindAs != static_cast<uid_t>(-1) && !BecomeUser(bindAs)) return 3;
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return 4;
  // The peer's credentials are taken when it listens.
  if (serveAs != static_cast<uid_t>(-1) && serveAs != ::getuid() && !BecomeUser(serveAs)) return 3;
  if (::listen(listener, 16) != 0) return 4;
  // Ends with whoever started it (set here: a change of user clears it).
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (report >= 0 && ::write(report, "L", 1) != 1) return 5;
  for (;;) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    if (report >= 0 && ::write(report, "C", 1) != 1) return 5;
    std::thread([fd, kind, id] {
      detail::Serve(fd, kind, id);
      ::close(fd);
    }).detach();
  }
}

// Runs `body` in a child process as `uid` and gives its exit code (-1 if it died) and what it wrote
// to the descriptor it is handed.
inline std::pair<int, std::string> RunAs(uid_t uid, const std::function<int(int out)>& body) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return {-1, "pipe"};
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    for (int fd = 3; fd < 4096; ++fd) {
      if (fd != pipeFds[1]) ::close(fd);
    }
    if (!BecomeUser(uid)) ::_exit(126);
    ::_exit(body(pipeFds[1]));
  }
  ::close(pipeFds[1]);
  std::string text;
  char chunk[512];
  ssize_t n;
  while ((n = ::read(pipeFds[0], chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
  ::close(pipeFds[0]);
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return {-1, text};
  return {WEXITSTATUS(status), text};
}

// One peer process, from construction (listening) to destruction (killed, its socket removed).
class Peer {
 public:
  struct Options {
    std::string instanceId;  // of the greeting; "peer-<name>" when empty
    uid_t bindAs = static_cast<uid_t>(-1);
    uid_t serveAs = static_cast<uid_t>(-1);
  };

  Peer(const std::string& dir, const std::string& name, PeerKind kind) : Peer(dir, name, kind, Options()) {}
  Peer(const std::string& dir, const std::string& name, PeerKind kind, Options options)
      : path_(dir + "/" + name + ".sock") {
    const std::string id = options.instanceId.empty() ? "peer-" + name : options.instanceId;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return;
    std::fflush(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      // Nothing of the parent's may stay open here: a copy of its connections would keep them up.
      for (int fd = 3; fd < 4096; ++fd) {
        if (fd != pipeFds[1]) ::close(fd);
      }
      ::_exit(ServePeer(path_, kind, id, pipeFds[1], options.bindAs, options.serveAs));
    }
    ::close(pipeFds[1]);
    report_ = pipeFds[0];
    char first = 0;
    pollfd p{report_, POLLIN, 0};
    listening_ = pid_ > 0 && ::poll(&p, 1, 10000) == 1 && ::read(report_, &first, 1) == 1 && first == 'L';
    ::fcntl(report_, F_SETFL, O_NONBLOCK);
  }
  ~Peer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (report_ >= 0) ::close(report_);
    ::unlink(path_.c_str());
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  bool Listening() const { return listening_; }
  const std::string& Path() const { return path_; }
  // Connections accepted so far.
  int Connections() {
    char chunk[64];
    ssize_t n;
    while ((n = ::read(report_, chunk, sizeof chunk)) > 0) connections_ += static_cast<int>(n);
    return connections_;
  }

 private:
  std::string path_;
  pid_t pid_ = -1;
  int report_ = -1;
  bool listening_ = false;
  int connections_ = 0;
};

}  // namespace hostile
