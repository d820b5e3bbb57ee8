// velmora-sim: one virtual Velmora logger, served on a Unix socket in the per-user run folder where
// Tarnwick's USB driver finds it as an attached device.
//
// The main thread accepts connections and watches the device; every connection (one per Tarnwick
// process) has a thread that carries out its requests on the device. Completions go back on the
// connection from whichever thread the device completes them on.
//
// Like a real logger's interface, the logger belongs to one connection at a time: the one whose
// configuration it took. Any other is refused as "in use" until the holder drops its configuration
// or its connection ends (a holder that crashes frees it with its socket), and may read descriptors
// but never touch a pipe, so the holder sees nothing of it.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/model/Velmora.h"
#include "usbdev/DeviceContract.h"
#include "usbdev/SocketProtocol.h"

namespace {

namespace vsock = usbdrv::vsock;
using vsock::Header;

constexpr char kUsage[] =
    "Usage: velmora-sim [options]\n"
    "Serves one virtual Velmora logger to Tarnwick until it is stopped (Ctrl+C or SIGTERM).\n"
    "Killing it is an unplug.\n"
    "\n"
    "  --serial TEXT       serial-number string, 0 to 126 characters (default VLM12345)\n"
    "  --no-serial         an old logger without a serial-number string\n"
    "  --records N         generated measurement records, 0 to 16384 (default 1000)\n"
    "  --seed N            seed of the generated records (default 1)\n"
    "  --image FILE        memory contents from FILE (at most 524288 bytes, zero-padded) instead of\n"
    "                      generated records; needs --used\n"
    "  --used N            record count the logger reports for --image\n"
    "  --software TEXT     firmware version text (default V1.09)\n"
    "  --in-use            refuse configuration, as a logger in use by another program does\n"
    "  --pace full-speed   deliver IN packets at the USB full-speed bulk rate (19 per ms)\n"
    "  --unplug-after N    drop off the bus after N packets on the memory pipe; stays off until stopped\n"
    "  --stall-out-after N the command pipe stalls once N commands have come (0: from the start)\n"
    "  --unplug-after-datout N\n"
    "                      drop off the bus after N packets on the data-out pipe (N from 1)\n"
    "  --memory-out FILE   write the logger's 524288-byte memory to FILE when the sim ends\n"
    "  --run-dir DIR       folder of the socket (default: $VELMORA_RUN_DIR, else $XDG_RUNTIME_DIR/velmora,\n"
    "                      else /tmp/velmora-<uid>); made if missing, refused unless it is yours and\n"
    "                      closed to others (mode 0700)\n"
    "  --help              this text\n"
    "\n"
    "A hostile logger, for hardening tests (every random choice follows --hostile-seed, so a run repeats):\n"
    "  --hostile-seed N    seed of the hostile choices (default 1)\n"
    "  --random-answers    answers of random bytes and lengths (0 to 64), cut or garbled answers, and\n"
    "                      known answer names with wild arguments\n"
    "  --no-answers        commands are carried out but never answered\n"
    "  --mem-used-count N  \"mem.used\" reports N, up to 18 digits with an optional minus: absurd and\n"
    "                      negative counts too\n"
    "  --extra-datin N     N random packets more than asked for after every \"mem.load\"\n"
    "  --short-packets     a quarter of the memory packets short, a quarter of those empty\n"
    "  --debug-flood N     N debug lines per second while a host has the logger configured (lines that\n"
    "                      find 4096 waiting are dropped, as a full FIFO drops them)\n"
    "  --odd-descriptors   device descriptor one byte short (17 bytes) and serial-number string\n"
    "                      descriptor of odd length\n"
    "\n"
    "The logger belongs to one program at a time, as a real one does: the first to configure it. Any\n"
    "other finds it in use until that program lets go of it or ends (killed, too).\n"
    "\n"
    "Once attached it prints one line, \"velmora-sim: <serial> attached at <socket>\". When it ends after\n"
    "faults of the switches above it says \"velmora-sim: N faults carried out\" on stderr. A firmware "
    "update\n"
    "restarts the logger: connections are dropped and the same socket comes back with the new version.\n";

struct Config {
  velmora::Options options;
  std::string memoryOut;
  std::string runDir;
};

bool ParseUnsigned(const std::string& text, unsigned long max, unsigned long* value) {
  if (text.empty() || text.size() > 10) return false;
  unsigned long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned long>(c - '0');
  }
  if (v > max) return false;
  *value = v;
  return true;
}

// Reads a file of at most `limit` bytes; false with `why` set when it cannot be read or holds more.
// A regular file's size is checked first; anything else (a device such as /dev/zero never ends) is
// read at most one byte past the limit.
bool ReadFile(const std::string& path, size_t limit, std::vector<uint8_t>* bytes, std::string* why) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0) {
    *why = "cannot read " + path + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return false;
  }
  bool fits = !S_ISREG(info.st_mode) || static_cast<uint64_t>(info.st_size) <= limit;
  if (fits) {
    bytes->resize(limit + 1);
    size_t got = 0;
    ssize_t n = 0;
    while (got < bytes->size() && (n = ::read(fd, bytes->data() + got, bytes->size() - got)) != 0) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        *why = "cannot read " + path + ": " + std::strerror(errno);
        ::close(fd);
        return false;
      }
      got += static_cast<size_t>(n);
    }
    bytes->resize(got);
    fits = got <= limit;
  }
  ::close(fd);
  if (!fits) *why = path + " is larger than " + std::to_string(limit) + " bytes";
  return fits;
}

// Writes a new file in place of `path` in one step: a temporary beside it, synced, then renamed over
// it. A symbolic link at `path` is replaced, never followed; a reader never sees half a file.
bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string temporary = (slash == std::string::npos ? std::string() : folder) + "." +
                                path.substr(slash == std::string::npos ? 0 : slash + 1) + "." +
                                std::to_string(::getpid()) + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool written = done == bytes.size() && ::fsync(fd) == 0;
  if (::close(fd) != 0 || !written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

// 0: run; 1: exit with 0 (help); 2: usage error (message printed).
int ParseArguments(int argc, char** argv, Config* config) {
  bool imageGiven = false, usedGiven = false, serialGiven = false, noSerial = false;
  auto fail = [](const std::string& message) {
    std::fprintf(stderr, "velmora-sim: %s\n(see velmora-sim --help)\n", message.c_str());
    return 2;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      std::fputs(kUsage, stdout);
      return 1;
    }
    if (option == "--no-serial") {
      noSerial = true;
      continue;
    }
    if (option == "--in-use") {
      config->options.inUse = true;
      continue;
    }
    if (option == "--random-answers" || option == "--no-answers" || option == "--short-packets" ||
        option == "--odd-descriptors") {
      velmora::HostileOptions& hostile = config->options.hostile;
      (option == "--random-answers"  ? hostile.randomAnswers
       : option == "--no-answers"    ? hostile.silent
       : option == "--short-packets" ? hostile.shortPackets
                                     : hostile.oddDescriptors) = true;
      continue;
    }
    const bool takesValue =
        option == "--serial" || option == "--records" || option == "--seed" || option == "--image" ||
        option == "--used" || option == "--software" || option == "--pace" || option == "--unplug-after" ||
        option == "--memory-out" || option == "--run-dir" || option == "--stall-out-after" ||
        option == "--unplug-after-datout" || option == "--hostile-seed" || option == "--mem-used-count" ||
        option == "--extra-datin" || option == "--debug-flood";
    if (!takesValue) return fail("unknown option " + option);
    if (i + 1 >= argc) return fail(option + " needs a value");
    const std::string value = argv[++i];
    unsigned long number = 0;
    if (option == "--serial") {
      if (value.size() > 126) return fail("--serial takes 0 to 126 characters");
      config->options.serial = value;
      serialGiven = true;
    } else if (option == "--records") {
      if (!ParseUnsigned(value, velmora::kMaxRecords, &number)) return fail("--records takes 0 to 16384");
      config->options.records = static_cast<uint32_t>(number);
    } else if (option == "--seed") {
      if (!ParseUnsigned(value, 0xFFFFFFFFul, &number)) return fail("--seed takes a number");
      config->options.seed = static_cast<uint32_t>(number);
    } else if (option == "--image") {
      std::string why;
      if (!ReadFile(value, velmora::kMemorySize, &config->options.image, &why)) return fail(why);
      if (config->options.image.empty()) config->options.image.assign(1, 0);  // empty file: zero memory
      imageGiven = true;
    } else if (option == "--used") {
      if (!ParseUnsigned(value, 0xFFFFFFFFul, &number)) return fail("--used takes a number");
      config->options.used = static_cast<uint32_t>(number);
      usedGiven = true;
    } else if (option == "--software") {
      config->options.software = value;
    } else if (option == "--pace") {
      if (value != "full-speed") return fail("--pace knows only full-speed");
      config->options.paced = true;
    } else if (option == "--unplug-after") {
      if (!ParseUnsigned(value, 0x7FFFFFFFul, &number)) return fail("--unplug-after takes a number");
      config->options.unplugAfter = static_cast<long>(number);
    } else if (option == "--stall-out-after") {
      if (!ParseUnsigned(value, 0x7FFFFFFFul, &number)) return fail("--stall-out-after takes a number");
      config->options.stallOutAfter = static_cast<long>(number);
    } else if (option == "--unplug-after-datout") {
      if (!ParseUnsigned(value, 0x7FFFFFFFul, &number) || number == 0)
        return fail("--unplug-after-datout takes a number from 1");
      config->options.unplugAfterDatOut = static_cast<long>(number);
    } else if (option == "--hostile-seed") {
      if (!ParseUnsigned(value, 0xFFFFFFFFul, &number)) return fail("--hostile-seed takes a number");
      config->options.hostile.seed = static_cast<uint32_t>(number);
    } else if (option == "--mem-used-count") {
      const bool negative = !value.empty() && value[0] == '-';
      const std::string digits = negative ? value.substr(1) : value;
      // 18 digits always fit a signed 64-bit number, far past anything a 32-bit count can take.
      if (digits.empty() || digits.size() > 18 || digits.find_first_not_of("0123456789") != std::string::npos)
        return fail("--mem-used-count takes a signed number of up to 18 digits");
      const long long magnitude = std::stoll(digits);
      config->options.hostile.memUsed = negative ? -magnitude : magnitude;
    } else if (option == "--extra-datin") {
      if (!ParseUnsigned(value, 100000, &number)) return fail("--extra-datin takes 0 to 100000");
      config->options.hostile.extraDatIn = static_cast<uint32_t>(number);
    } else if (option == "--debug-flood") {
      if (!ParseUnsigned(value, 1000000, &number))
        return fail("--debug-flood takes 0 to 1000000 lines per second");
      config->options.hostile.debugLinesPerSecond = static_cast<uint32_t>(number);
    } else if (option == "--memory-out") {
      config->memoryOut = value;
    } else if (option == "--run-dir") {
      config->runDir = value;
    }
  }
  if (noSerial && serialGiven) return fail("--serial and --no-serial exclude each other");
  if (noSerial) config->options.serial.reset();
  if (imageGiven != usedGiven) return fail("--image and --used go together");
  return 0;
}

// Creates the run folder (0700) if needed and makes sure it is ours and closed to others: whoever can
// put a file there could swap our socket for theirs.
bool PrepareRunDir(const std::string& dir) {
  for (size_t slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1)) {
    ::mkdir(dir.substr(0, slash).c_str(), 0755);  // parents; most exist already
  }
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "velmora-sim: cannot create %s: %s\n", dir.c_str(), std::strerror(errno));
    return false;
  }
  std::string why;
  const int fd = usbdrv::OpenRunDir(dir, &why);
  if (fd < 0) {
    std::fprintf(stderr, "velmora-sim: the run folder %s cannot be used: %s\n", dir.c_str(),
                 why.empty() ? "it is gone" : why.c_str());
    return false;
  }
  ::close(fd);
  return true;
}

// File-name safe: the serial goes into the socket name. A socket path holds at most 107 bytes, so a
// long serial is cut; the process id after it keeps the names apart.
std::string SafeName(const std::string& text) {
  constexpr size_t kMaxNameChars = 32;
  std::string out;
  for (char c : text.substr(0, kMaxNameChars)) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '_' || c == '-';
    out.push_back(plain ? c : '_');
  }
  if (out.empty() || out[0] == '.') out.insert(out.begin(), '_');
  return out;
}

class Client;

// Which connection holds the logger; shared by the connections of one device.
struct Holder {
  std::mutex mutex;
  const Client* client = nullptr;
};

// A transfer of one client, carried out by the device.
class SimTransfer : public usbdrv::UsbTransfer {
 public:
  SimTransfer(std::shared_ptr<Client> client, uint32_t id) : id(id), client_(std::move(client)) {}
  void Complete(uint32_t status, uint32_t actual) override;

  const uint32_t id;
  std::vector<uint8_t> buffer;

 private:
  std::shared_ptr<Client> client_;
};

// One connection: requests are read and carried out on its own thread.
class Client : public std::enable_shared_from_this<Client> {
 public:
  // The device outlives the client's thread: the server joins it before it lets go of the device.
  Client(int fd, velmora::VelmoraDevice* device, Holder* holder, std::function<void()> poke)
      : fd_(fd), device_(device), holder_(holder), poke_(std::move(poke)) {}
  ~Client() { ::close(fd_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  void Start() {
    thread_ = std::thread([self = shared_from_this()] { self->Run(); });
  }
  // The thread sees the end of the stream, cancels what is pending and ends.
  void Close() { ::shutdown(fd_, SHUT_RDWR); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  bool Finished() const { return finished_.load(); }

  void Finish(SimTransfer* transfer, uint32_t status, uint32_t actual) {
    std::shared_ptr<SimTransfer> keep;  // the map's reference; released last
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = transfers_.find(transfer->id);
      if (it != transfers_.end()) {
        keep = std::move(it->second);
        transfers_.erase(it);
      }
    }
    Header h;
    h.type = vsock::kComplete;
    h.endpoint = transfer->endpoint;
    h.id = transfer->id;
    h.status = status;
    h.value = actual;
    const bool withData = transfer->IsIn() && status == usbdrv::kStatusSuccess;
    const size_t size = withData ? std::min<size_t>(actual, transfer->buffer.size()) : 0;
    Send(vsock::Frame(h, transfer->buffer.data(), size));
    if (status == usbdrv::kStatusDeviceRemoved) poke_();
  }

 private:
  bool Send(const std::vector<uint8_t>& message) {
    std::lock_guard<std::mutex> lock(sendMutex_);
    return vsock::SendAll(fd_, message);
  }

  void Reply(uint32_t id, uint32_t status, const uint8_t* payload = nullptr, size_t size = 0) {
    Header h;
    h.type = vsock::kReply;
    h.id = id;
    h.status = status;
    Send(vsock::Frame(h, payload, size));
    if (status == usbdrv::kStatusDeviceRemoved) poke_();
  }

  void Hello() {
    const uint8_t endpoints[] = {velmora::kEpIn, velmora::kEpDatIn, velmora::kEpDebugIn, velmora::kEpOut,
                                 velmora::kEpDatOut};
    std::vector<uint8_t> payload{static_cast<uint8_t>(sizeof(endpoints))};
    payload.insert(payload.end(), std::begin(endpoints), std::end(endpoints));
    const std::string id = device_->InstanceId();
    payload.insert(payload.end(), id.begin(), id.end());
    Header h;
    h.type = vsock::kHello;
    h.value = vsock::kVersion;
    Send(vsock::Frame(h, payload.data(), payload.size()));
  }

  bool Holds() {
    std::lock_guard<std::mutex> lock(holder_->mutex);
    return holder_->client == this;
  }

  // Taken when free or ours; the device's own refusal (a logger set to be in use) stands.
  uint32_t Configure(const usbdrv::ConfigurationRequest& request) {
    std::lock_guard<std::mutex> lock(holder_->mutex);
    if (holder_->client != nullptr && holder_->client != this) return usbdrv::kStatusExclusive;
    const uint32_t status = device_->SetConfiguration(request);
    if (status == usbdrv::kStatusSuccess) holder_->client = this;
    return status;
  }

  // Only the holder's drop reaches the device; another connection has nothing to drop.
  uint32_t Deconfigure() {
    std::lock_guard<std::mutex> lock(holder_->mutex);
    if (holder_->client != this) return usbdrv::kStatusSuccess;
    holder_->client = nullptr;
    return device_->DropConfiguration();
  }

  void Submit(const Header& h, const uint8_t* payload, uint32_t size) {
    if (!Holds()) {
      Header c;
      c.type = vsock::kComplete;
      c.endpoint = h.endpoint;
      c.id = h.id;
      c.status = usbdrv::kStatusNotConfigured;
      Send(vsock::Frame(c, nullptr, 0));
      return;
    }
    auto transfer = std::make_shared<SimTransfer>(shared_from_this(), h.id);
    transfer->endpoint = h.endpoint;
    if (transfer->IsIn()) {
      transfer->buffer.resize(std::min(h.value, vsock::kMaxMessage));
      transfer->capacity = static_cast<uint32_t>(transfer->buffer.size());
    } else {
      transfer->buffer.assign(payload, payload + size);
      transfer->length = size;
    }
    transfer->data = transfer->buffer.data();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      transfers_[h.id] = transfer;
    }
    const uint32_t status = device_->Submit(transfer.get());
    if (status != usbdrv::kStatusSuccess) {
      // Refused: the device never completes it, so the refusal is its completion.
      {
        std::lock_guard<std::mutex> lock(mutex_);
        transfers_.erase(h.id);
      }
      Header c;
      c.type = vsock::kComplete;
      c.endpoint = h.endpoint;
      c.id = h.id;
      c.status = status;
      Send(vsock::Frame(c, nullptr, 0));
      if (status == usbdrv::kStatusDeviceRemoved) poke_();
    }
  }

  void Cancel(uint32_t id) {
    std::shared_ptr<SimTransfer> transfer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = transfers_.find(id);
      if (it == transfers_.end()) return;  // completed already
      transfer = it->second;
    }
    device_->Cancel(transfer.get());
  }

  // False on a malformed request.
  bool Handle(const Header& h, const uint8_t* payload, uint32_t size) {
    switch (h.type) {
      case vsock::kGetDescriptor: {
        if (size < 8) return false;
        uint32_t capacity = 0;
        std::memcpy(&capacity, payload + 4, 4);
        std::vector<uint8_t> buffer(std::min<uint32_t>(capacity, 0xFFFF));
        uint32_t returned = 0;
        const uint16_t language = static_cast<uint16_t>(payload[2] | (payload[3] << 8));
        const uint32_t status = device_->GetDescriptor(payload[0], payload[1], language, buffer.data(),
                                                       static_cast<uint32_t>(buffer.size()), &returned);
        Reply(h.id, status, buffer.data(), status == usbdrv::kStatusSuccess ? returned : 0);
        return true;
      }
      case vsock::kSetConfiguration: {
        if (size < 4) return false;
        usbdrv::ConfigurationRequest request;
        request.configurationIndex = static_cast<uint16_t>(payload[0] | (payload[1] << 8));
        const uint16_t count = static_cast<uint16_t>(payload[2] | (payload[3] << 8));
        if (size < 4u + 8u * count) return false;
        for (uint16_t i = 0; i < count; ++i) {
          const uint8_t* e = payload + 4 + 8 * i;
          usbdrv::InterfaceSetting setting;
          setting.interfaceNumber = static_cast<uint16_t>(e[0] | (e[1] << 8));
          setting.alternateSetting = static_cast<uint16_t>(e[2] | (e[3] << 8));
          std::memcpy(&setting.maxTransferSize, e + 4, 4);
          request.interfaces.push_back(setting);
        }
        Reply(h.id, Configure(request));
        return true;
      }
      case vsock::kDropConfiguration:
        Reply(h.id, Deconfigure());
        return true;
      case vsock::kSubmit:
        Submit(h, payload, size);
        return true;
      case vsock::kCancel:
        Cancel(h.id);
        return true;
      default:
        return false;
    }
  }

  void Run() {
    Hello();
    vsock::MessageReader reader(fd_);
    Header h;
    const uint8_t* payload = nullptr;
    uint32_t size = 0;
    while (reader.Next(&h, &payload, &size) && Handle(h, payload, size)) {
    }
    ::shutdown(fd_, SHUT_RDWR);
    // The client has gone: nothing it left pending may take the device's packets.
    std::vector<std::shared_ptr<SimTransfer>> pending;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const auto& t : transfers_) pending.push_back(t.second);
    }
    for (const auto& t : pending) device_->Cancel(t.get());
    Deconfigure();  // a holder that has gone frees the logger
    finished_.store(true);
    poke_();
  }

  const int fd_;
  velmora::VelmoraDevice* const device_;
  Holder* const holder_;
  const std::function<void()> poke_;
  std::thread thread_;
  std::atomic<bool> finished_{false};
  std::mutex sendMutex_;
  std::mutex mutex_;
  std::map<uint32_t, std::shared_ptr<SimTransfer>> transfers_;
};

void SimTransfer::Complete(uint32_t status, uint32_t actual) {
  // The client's map may hold the last reference to this transfer, and this one the last to the client.
  std::shared_ptr<Client> client = client_;
  client->Finish(this, status, actual);
}

class Server {
 public:
  explicit Server(Config config) : config_(std::move(config)) {}
  ~Server() {
    CloseClients();
    device_.reset();  // joins a restart under way, which may still hand over a device
    {
      std::lock_guard<std::mutex> lock(mutex_);
      restarted_.reset();
    }
    if (stopFd_ >= 0) ::close(stopFd_);
    if (wakeRead_ >= 0) ::close(wakeRead_);
    if (wakeWrite_ >= 0) ::close(wakeWrite_);
  }

  int Run() {
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
      std::perror("velmora-sim: pipe");
      return 1;
    }
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    // Ctrl+C and SIGTERM are taken by the main loop from a descriptor, never by a handler: blocked
    // here, before any thread starts, they cannot land in a thread that does not look for them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    if (::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) != 0 ||
        (stopFd_ = ::signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK)) < 0) {
      std::perror("velmora-sim: signalfd");
      return 1;
    }
    ::signal(SIGPIPE, SIG_IGN);

    const std::string dir = config_.runDir.empty() ? usbdrv::DefaultVirtualLoggerRunDir() : config_.runDir;
    if (!PrepareRunDir(dir)) return 1;
    const auto& serial = config_.options.serial;
    name_ = serial ? *serial : std::string("old logger (no serial)");
    const std::string stem =
        SafeName(serial ? *serial : std::string("old")) + "-" + std::to_string(::getpid());
    socketPath_ = dir + "/" + stem + ".sock";
    tempPath_ = dir + "/." + stem + ".tmp";
    if (socketPath_.size() >= sizeof(sockaddr_un::sun_path)) {
      std::fprintf(stderr, "velmora-sim: socket path too long: %s\n", socketPath_.c_str());
      return 1;
    }

    device_ = std::make_shared<velmora::VelmoraDevice>(config_.options, "vsim-" + stem);
    device_->SetRestartHandler([this](std::shared_ptr<velmora::VelmoraDevice> device) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        restarted_ = std::move(device);
      }
      Poke();
    });
    if (!Listen()) return 1;
    std::printf("velmora-sim: %s attached at %s\n", name_.c_str(), socketPath_.c_str());
    std::fflush(stdout);

    for (;;) {
      pollfd fds[3] = {{stopFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
      // The time-out only catches a device that drops off with nothing in flight.
      const int ready = ::poll(fds, listenFd_ >= 0 ? 3 : 2, 100);
      if (ready < 0 && errno != EINTR) {
        std::perror("velmora-sim: poll");
        break;
      }
      signalfd_siginfo stop;
      if (::read(stopFd_, &stop, sizeof(stop)) == static_cast<ssize_t>(sizeof(stop))) break;
      char drain[64];
      while (::read(wakeRead_, drain, sizeof(drain)) > 0) {
      }
      if (listenFd_ >= 0 && ready > 0 && (fds[2].revents & POLLIN) != 0) Accept();
      Reap();
      if (listenFd_ >= 0 && !device_->Present()) {
        DropOffBus();
        std::fprintf(stderr, "velmora-sim: %s dropped off the bus\n", name_.c_str());
      }
      std::shared_ptr<velmora::VelmoraDevice> restarted;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        restarted = std::move(restarted_);
      }
      if (restarted) {
        DropOffBus();
        faults_ += device_->FaultEvents();
        device_ = std::move(restarted);
        if (!Listen()) return 1;
        std::fprintf(stderr, "velmora-sim: %s restarted with firmware %s, attached again at %s\n",
                     name_.c_str(), device_->Software().c_str(), socketPath_.c_str());
      }
    }

    DropOffBus();
    {
      // A restart under way: the logger that comes back holds the memory.
      std::lock_guard<std::mutex> lock(mutex_);
      if (restarted_) device_ = std::move(restarted_);
    }
    // Tells a test that the faults it asked for really happened.
    faults_ += device_->FaultEvents();
    if (faults_ > 0)
      std::fprintf(stderr, "velmora-sim: %llu faults carried out\n",
                   static_cast<unsigned long long>(faults_));
    int code = 0;
    if (!config_.memoryOut.empty() && !WriteFile(config_.memoryOut, device_->Memory())) {
      std::fprintf(stderr, "velmora-sim: cannot write %s\n", config_.memoryOut.c_str());
      code = 1;
    }
    return code;
  }

 private:
  void Poke() {
    const char byte = 'p';
    if (::write(wakeWrite_, &byte, 1) < 0) {
      // Full: the main loop has wake-ups pending anyway.
    }
  }

  // Binds under a hidden name and renames when listening, so that a "*.sock" file always has a
  // listener: the driver deletes sockets that refuse connections.
  bool Listen() {
    ::unlink(tempPath_.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, tempPath_.c_str(),
                std::min(tempPath_.size() + 1, sizeof(address.sun_path) - 1));
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(fd, 16) != 0 || ::rename(tempPath_.c_str(), socketPath_.c_str()) != 0) {
      std::fprintf(stderr, "velmora-sim: cannot listen at %s: %s\n", socketPath_.c_str(),
                   std::strerror(errno));
      if (fd >= 0) ::close(fd);
      ::unlink(tempPath_.c_str());
      return false;
    }
    listenFd_ = fd;
    return true;
  }

  void Accept() {
    // A device that has dropped off (and is not yet noticed) takes no new host: the pending
    // connection is refused when the listener goes.
    if (!device_->Present()) return;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    // Only a program of our own user gets the logger.
    if (!usbdrv::PeerIsThisUser(fd)) {
      ::close(fd);
      return;
    }
    auto client = std::make_shared<Client>(fd, device_.get(), &holder_, [this] { Poke(); });
    client->Start();
    clients_.push_back(std::move(client));
  }

  void Reap() {
    for (auto it = clients_.begin(); it != clients_.end();) {
      if ((*it)->Finished()) {
        (*it)->Join();
        it = clients_.erase(it);
      } else {
        ++it;
      }
    }
  }

  void CloseClients() {
    for (const auto& c : clients_) c->Close();
    for (const auto& c : clients_) c->Join();
    clients_.clear();
  }

  // Gone from the bus: the socket first, so that nobody connects again, then every connection.
  void DropOffBus() {
    if (listenFd_ >= 0) {
      ::unlink(socketPath_.c_str());
      ::close(listenFd_);
      listenFd_ = -1;
    }
    CloseClients();
  }

  const Config config_;
  std::string name_;
  std::string socketPath_;
  std::string tempPath_;
  int stopFd_ = -1;  // SIGINT and SIGTERM
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  int listenFd_ = -1;
  std::shared_ptr<velmora::VelmoraDevice> device_;
  uint64_t faults_ = 0;  // of the devices before a firmware restart
  std::vector<std::shared_ptr<Client>> clients_;
  // Of the device in use: every connection of a device before a restart has ended (and let go)
  // before the next device takes connections.
  Holder holder_;

  std::mutex mutex_;
  std::shared_ptr<velmora::VelmoraDevice> restarted_;  // handed over by the restart handler
};

}  // namespace

int main(int argc, char** argv) {
  Config config;
  const int parsed = ParseArguments(argc, argv, &config);
  if (parsed == 1) return 0;
  if (parsed != 0) return 2;
  Server server(std::move(config));
  return server.Run();
}
