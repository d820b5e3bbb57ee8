#include "sim/model/Velmora.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

namespace velmora {
namespace {

constexpr size_t kMaxCommandLength = 1024;  // a command without its zero byte that grows past this is dropped
constexpr size_t kMaxDebugText = 63;
constexpr auto kAnswerDrainLimit = std::chrono::seconds(2);
// Packets a flood leaves waiting on the debug pipe before it drops lines, as a full FIFO would.
constexpr size_t kFloodBacklog = 4096;
// Names a garbled answer borrows, so that random replies also reach the host's answer handling.
const char* const kAnswerNames[] = {"mem.used",       "mem.load",      "mem.save",       "device.software",
                                    "firmware.check", "device.serial", "firmware.update"};

std::vector<uint8_t> MakeMemory(const Options& options) {
  if (options.image.empty()) return GenerateImage(options.records, options.seed);
  std::vector<uint8_t> memory(kMemorySize, 0);
  std::copy_n(options.image.begin(), std::min<size_t>(options.image.size(), kMemorySize), memory.begin());
  return memory;
}

Options WithoutImage(Options options) {
  options.image = std::vector<uint8_t>();
  return options;
}

uint32_t RecordsOf(const Options& options) {
  if (options.image.empty()) return std::min(options.records, kMaxRecords);
  return options.used;
}

// Decimal, or hexadecimal after "0x" or "$"; no sign, no blanks, at most 32 bits.
bool ParseNumber(const std::string& text, uint32_t* value) {
  size_t pos = 0;
  unsigned base = 10;
  if (text.compare(0, 2, "0x") == 0 || text.compare(0, 2, "0X") == 0) {
    pos = 2;
    base = 16;
  } else if (!text.empty() && text[0] == '$') {
    pos = 1;
    base = 16;
  }
  if (pos >= text.size()) return false;
  uint64_t v = 0;
  for (; pos < text.size(); ++pos) {
    const char c = text[pos];
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
    v = v * base + digit;
    if (v > 0xFFFFFFFFu) return false;
  }
  *value = static_cast<uint32_t>(v);
  return true;
}

// "a,l" within the memory.
bool ParseRange(const std::string& args, uint32_t* address, uint32_t* length) {
  const size_t comma = args.find(',');
  if (comma == std::string::npos) return false;
  if (!ParseNumber(args.substr(0, comma), address) || !ParseNumber(args.substr(comma + 1), length))
    return false;
  return *address <= kMemorySize && *length <= kMemorySize - *address;
}

}  // namespace

VelmoraDevice::VelmoraDevice(const Options& options, std::string instanceId)
    : usbdrv::PacketDevice(std::move(instanceId), kVendorId, kProductId,
                           options.serial ? &*options.serial : nullptr,
                           {kEpIn, kEpDatIn, kEpDebugIn, kEpOut, kEpDatOut}),
      options_(WithoutImage(options)),
      serial_(options.serial),
      memory_(MakeMemory(options)),
      records_(RecordsOf(options)),
      software_(options.software),
      clock_(options.clock),
      random_(options.hostile.seed) {
  if (options.inUse) RefuseConfiguration(usbdrv::kStatusExclusive);
  if (options.hostile.oddDescriptors) ServeOddDescriptors();
  if (options.stallOutAfter == 0) {
    Stall(kEpOut, true);
    ++faultEvents_;
  }
  if (options.paced) SetPace(kFullSpeedPacketsPerMs);
  if (options.unplugAfter >= 0) UnplugAfterIn(kEpDatIn, options.unplugAfter);
}

VelmoraDevice::~VelmoraDevice() {
  {
    std::lock_guard<std::mutex> lock(restartMutex_);
    stopping_ = true;
  }
  restartWake_.notify_all();
  if (floodThread_.joinable()) floodThread_.join();
  if (restartThread_.joinable()) {
    // The restart handler may drop the last reference to this device on the helper thread itself.
    if (restartThread_.get_id() == std::this_thread::get_id())
      restartThread_.detach();
    else
      restartThread_.join();
  }
}

void VelmoraDevice::SetRestartHandler(RestartHandler handler) {
  std::lock_guard<std::mutex> lock(restartMutex_);
  restartHandler_ = std::move(handler);
}

std::vector<uint8_t> VelmoraDevice::Memory() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return memory_;
}

uint32_t VelmoraDevice::RecordCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

std::string VelmoraDevice::Software() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return software_;
}

std::string VelmoraDevice::Clock() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return clock_;
}

std::vector<std::string> VelmoraDevice::Commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

uint64_t VelmoraDevice::IgnoredDataBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ignoredData_;
}

uint64_t VelmoraDevice::FaultEvents() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return faultEvents_ + floodLines_.load();
}

uint64_t VelmoraDevice::DroppedDebugLines() const {
  return droppedDebug_.load();
}

void VelmoraDevice::OnConfigured() {
  if (options_.hostile.debugLinesPerSecond == 0) return;
  std::lock_guard<std::mutex> lock(restartMutex_);
  if (stopping_ || floodThread_.joinable()) return;
  floodThread_ = std::thread([this] { FloodMain(); });
}

void VelmoraDevice::FloodMain() {
  using Clock = std::chrono::steady_clock;
  std::mt19937 random(options_.hostile.seed ^ 0x9E3779B9u);
  const double perMs = options_.hostile.debugLinesPerSecond / 1000.0;
  const auto start = Clock::now();
  uint64_t due = 0, sent = 0;
  std::unique_lock<std::mutex> lock(restartMutex_);
  while (!stopping_) {
    lock.unlock();
    if (!Present()) return;
    due = static_cast<uint64_t>(std::chrono::duration<double, std::milli>(Clock::now() - start).count() *
                                perMs);
    // After a long pause a second's worth at most goes out at once; the rest is lost.
    if (due - sent > options_.hostile.debugLinesPerSecond) {
      droppedDebug_ += due - sent - options_.hostile.debugLinesPerSecond;
      sent = due - options_.hostile.debugLinesPerSecond;
    }
    for (; sent < due; ++sent) {
      if (!Present()) return;
      if (QueuedIn(kEpDebugIn) >= kFloodBacklog) {
        ++droppedDebug_;
        continue;
      }
      std::string line = "flood " + std::to_string(sent) + " ";
      const size_t filler = random() % (kMaxDebugText - line.size() + 1);
      for (size_t i = 0; i < filler; ++i) line.push_back(static_cast<char>('a' + random() % 26));
      Outbox out;
      Debug(line, out);
      Send(out);
      ++floodLines_;
    }
    lock.lock();
    restartWake_.wait_for(lock, std::chrono::milliseconds(5), [this] { return stopping_; });
  }
}

void VelmoraDevice::ServeOddDescriptors() {
  // The device descriptor one byte short (its last field, the configuration count, is missing) and
  // the serial-number string with half a character more.
  uint8_t buffer[256];
  uint32_t size = 0;
  if (GetDescriptor(1, 0, 0, buffer, sizeof buffer, &size) == usbdrv::kStatusSuccess && size > 1) {
    std::vector<uint8_t> device(buffer, buffer + size - 1);
    device[0] = static_cast<uint8_t>(device.size());
    SetRawDescriptor(1, 0, device);
  }
  if (serial_ && GetDescriptor(3, 3, 0x0409, buffer, sizeof buffer, &size) == usbdrv::kStatusSuccess &&
      size > 0 && size < 255) {
    std::vector<uint8_t> text(buffer, buffer + size);
    text.push_back('?');
    text[0] = static_cast<uint8_t>(text.size());
    SetRawDescriptor(3, 3, text);
  }
  ++faultEvents_;
}

void VelmoraDevice::OnOut(uint8_t endpoint, const uint8_t* data, size_t size) {
  Outbox out;
  bool restart = false;
  bool stall = false;
  bool unplug = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (endpoint == kEpOut) {
      for (size_t i = 0; i < size; ++i) {
        if (data[i] != 0) {
          if (pendingCommand_.size() < kMaxCommandLength) {
            pendingCommand_.push_back(static_cast<char>(data[i]));
          } else if (pendingCommand_.size() == kMaxCommandLength) {
            // Mark it so the rest up to the zero byte is swallowed too.
            pendingCommand_.push_back('\0');
            Debug("command too long, dropped", out);
          }
          continue;
        }
        std::string command;
        command.swap(pendingCommand_);
        // A lone zero byte is padding, and an overlong command has been reported already.
        if (command.empty() || command.size() > kMaxCommandLength) continue;
        restart = HandleCommandLocked(command, out) || restart;
        if (options_.stallOutAfter > 0 && commands_.size() == static_cast<size_t>(options_.stallOutAfter)) {
          stall = true;
          ++faultEvents_;
        }
      }
    } else if (endpoint == kEpDatOut) {
      StoreDataLocked(data, size, out);
      ++datOutPackets_;
      if (options_.unplugAfterDatOut > 0 &&
          datOutPackets_ == static_cast<uint64_t>(options_.unplugAfterDatOut)) {
        unplug = true;
        ++faultEvents_;
      }
    }
  }
  // Packets go out with no lock held: the host's completions may run on this thread.
  Send(out);
  if (stall) Stall(kEpOut, true);
  if (unplug) Unplug();
  if (restart && !unplug) StartRestart();
}

bool VelmoraDevice::HandleCommandLocked(const std::string& command, Outbox& out) {
  commands_.push_back(command);
  Debug("cmd " + command, out);

  const size_t eq = command.find('=');
  const std::string name = command.substr(0, eq);
  const bool hasArgs = eq != std::string::npos;
  const std::string args = hasArgs ? command.substr(eq + 1) : std::string();

  if (name == "device.serial") {
    AnswerLocked("device.serial=" + (serial_ ? *serial_ : std::string("0")), out);
  } else if (name == "mem.used") {
    if (options_.hostile.memUsed) {
      ++faultEvents_;
      AnswerLocked("mem.used=" + std::to_string(*options_.hostile.memUsed), out);
    } else {
      AnswerLocked("mem.used=" + std::to_string(records_), out);
    }
  } else if (name == "device.software") {
    AnswerLocked("device.software=" + software_, out);
  } else if (name == "date.date") {
    // Without an argument the logger tells its clock.
    if (hasArgs) clock_ = args;
    AnswerLocked("date.date=" + clock_, out);
  } else if (name == "mem.load") {
    uint32_t address = 0, length = 0;
    if (!ParseRange(args, &address, &length)) {
      AnswerLocked("mem.load=error", out);
      return false;
    }
    AnswerLocked("mem.load=" + std::to_string(address) + "," + std::to_string(length), out);
    StreamLocked(address, length, out);
  } else if (name == "mem.save") {
    uint32_t address = 0, length = 0;
    if (!ParseRange(args, &address, &length)) {
      AnswerLocked("mem.save=error", out);
      return false;
    }
    // A new save replaces one still open.
    saveAddress_ = address;
    saveRemaining_ = length;
    saveTotal_ = length;
    if (length > 0 && address < kFirmwareAddress + kFirmwareSize && address + length > kFirmwareAddress)
      firmwareRegionWhole_ = false;
    AnswerLocked("mem.save=" + std::to_string(address) + "," + std::to_string(length), out);
  } else if (name == "firmware.check") {
    const bool ok =
        firmwareRegionWhole_ && CheckFirmwareImage(memory_.data() + kFirmwareAddress, kFirmwareSize, nullptr);
    AnswerLocked(ok ? "firmware.check=1" : "firmware.check=0", out);
  } else if (name == "firmware.update") {
    std::string version;
    if (!firmwareRegionWhole_ ||
        !CheckFirmwareImage(memory_.data() + kFirmwareAddress, kFirmwareSize, &version)) {
      AnswerLocked("firmware.update=0", out);
      return false;
    }
    AnswerLocked("firmware.update=1", out);
    Debug("firmware " + version + " accepted, restarting", out);
    software_ = version;
    return true;
  } else {
    AnswerLocked("error=" + name, out);
  }
  return false;
}

void VelmoraDevice::StoreDataLocked(const uint8_t* data, size_t size, Outbox& out) {
  const size_t take = std::min<size_t>(size, saveRemaining_);
  if (take > 0) {
    std::memcpy(memory_.data() + saveAddress_, data, take);
    saveAddress_ += static_cast<uint32_t>(take);
    saveRemaining_ -= static_cast<uint32_t>(take);
    if (saveRemaining_ == 0) {
      firmwareRegionWhole_ = true;
      Debug("mem.save done, " + std::to_string(saveTotal_) + " bytes", out);
    }
  }
  ignoredData_ += size - take;
}

void VelmoraDevice::StreamLocked(uint32_t address, uint32_t length, Outbox& out) {
  const HostileOptions& hostile = options_.hostile;
  for (uint32_t offset = 0; offset < length; offset += kPacketSize) {
    uint32_t n = std::min(kPacketSize, length - offset);
    if (options_.shortEvery > 0 && (offset / kPacketSize + 1) % options_.shortEvery == 0) n /= 2;
    if (hostile.shortPackets && random_() % 4 == 0) {
      n = random_() % 4 == 0 ? 0 : static_cast<uint32_t>(random_() % n);
      ++faultEvents_;
    }
    const auto first = memory_.begin() + address + offset;
    out.push_back({kEpDatIn, std::vector<uint8_t>(first, first + n)});
  }
  for (uint32_t i = 0; i < hostile.extraDatIn; ++i) {
    std::vector<uint8_t> packet(kPacketSize);
    for (auto& b : packet) b = static_cast<uint8_t>(random_());
    out.push_back({kEpDatIn, std::move(packet)});
    ++faultEvents_;
  }
}

void VelmoraDevice::AnswerLocked(const std::string& text, Outbox& out) {
  const HostileOptions& hostile = options_.hostile;
  if (hostile.silent) {
    ++faultEvents_;
    return;
  }
  if (!hostile.randomAnswers) {
    Answer(text, out);
    return;
  }
  ++faultEvents_;
  std::vector<uint8_t> packet;
  switch (random_() % 4) {
    case 0: {  // random bytes, zero bytes included, of any length a packet can have
      packet.resize(random_() % (kPacketSize + 1));
      for (auto& b : packet) b = static_cast<uint8_t>(random_());
      break;
    }
    case 1: {  // the answer cut anywhere, without its zero byte
      packet.assign(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(random_() % (text.size() + 1)));
      if (packet.size() > kPacketSize) packet.resize(kPacketSize);
      break;
    }
    case 2: {  // the answer with a few bytes changed
      packet.assign(text.begin(), text.end());
      packet.push_back(0);
      if (packet.size() > kPacketSize) packet.resize(kPacketSize);
      for (int i = 0, changes = 1 + static_cast<int>(random_() % 4); i < changes; ++i)
        packet[random_() % packet.size()] = static_cast<uint8_t>(random_());
      break;
    }
    default: {  // a known name with a wild argument
      std::string reply = kAnswerNames[random_() % (sizeof kAnswerNames / sizeof kAnswerNames[0])];
      reply += random_() % 2 ? "=" : ",";
      switch (random_() % 4) {
        case 0:
          reply += std::to_string(static_cast<int32_t>(random_()));
          break;
        case 1:
          reply += std::to_string(static_cast<int64_t>(static_cast<uint64_t>(random_()) << 32 | random_()));
          break;
        case 2:
          reply += std::to_string(random_() % 20000);
          break;
        default:
          while (reply.size() < kPacketSize) reply.push_back(static_cast<char>(1 + random_() % 255));
      }
      packet.assign(reply.begin(), reply.end());
      if (packet.size() > kPacketSize) packet.resize(kPacketSize);
      if (packet.size() < kPacketSize && random_() % 2) packet.push_back(0);
    }
  }
  out.push_back({kEpIn, std::move(packet)});
}

void VelmoraDevice::Answer(const std::string& text, Outbox& out) {
  // Cut into full packets; the zero byte rides in the last packet when there is room for it.
  size_t pos = 0;
  do {
    const size_t n = std::min<size_t>(kPacketSize, text.size() - pos);
    std::vector<uint8_t> packet(text.begin() + pos, text.begin() + pos + n);
    pos += n;
    if (pos == text.size() && n < kPacketSize) packet.push_back(0);
    out.push_back({kEpIn, std::move(packet)});
  } while (pos < text.size());
}

void VelmoraDevice::Debug(const std::string& text, Outbox& out) {
  std::vector<uint8_t> packet(text.begin(), text.begin() + std::min(text.size(), kMaxDebugText));
  packet.push_back(0);
  out.push_back({kEpDebugIn, std::move(packet)});
}

void VelmoraDevice::Send(const Outbox& out) {
  for (const Output& o : out) QueueIn(o.endpoint, o.packet);
}

void VelmoraDevice::StartRestart() {
  std::lock_guard<std::mutex> lock(restartMutex_);
  if (stopping_ || restartThread_.joinable()) return;  // one restart per device
  restartThread_ = std::thread([this] { RestartMain(); });
}

void VelmoraDevice::RestartMain() {
  // Let the host read the answer before the logger drops off the bus.
  const auto drainEnd = std::chrono::steady_clock::now() + kAnswerDrainLimit;
  while (QueuedIn(kEpIn) > 0 && std::chrono::steady_clock::now() < drainEnd) {
    std::unique_lock<std::mutex> lock(restartMutex_);
    if (restartWake_.wait_for(lock, std::chrono::milliseconds(1), [this] { return stopping_; })) return;
  }
  Unplug();
  {
    std::unique_lock<std::mutex> lock(restartMutex_);
    if (restartWake_.wait_for(lock, std::chrono::milliseconds(options_.restartMs),
                              [this] { return stopping_; }))
      return;
  }

  Options next = options_;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    next.image = memory_;
    next.used = records_;
    next.software = software_;
    next.clock = clock_;
  }
  // Fault switches belong to one run of the device, not to the logger that comes back.
  next.inUse = false;
  next.unplugAfter = -1;
  next.shortEvery = 0;
  next.stallOutAfter = -1;
  next.unplugAfterDatOut = -1;
  next.hostile = HostileOptions();
  auto restarted = std::make_shared<VelmoraDevice>(next, InstanceId());

  RestartHandler handler;
  {
    std::lock_guard<std::mutex> lock(restartMutex_);
    if (stopping_) return;
    handler = restartHandler_;
  }
  restarted->SetRestartHandler(handler);
  // Nothing of this device may be touched after the handler: it may have released the last reference.
  if (handler) handler(std::move(restarted));
}

}  // namespace velmora
