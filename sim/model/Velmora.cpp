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
      clock_(options.clock) {
  if (options.inUse) RefuseConfiguration(usbdrv::kStatusExclusive);
  if (options.paced) SetPace(kFullSpeedPacketsPerMs);
  if (options.unplugAfter >= 0) UnplugAfterIn(kEpDatIn, options.unplugAfter);
}

VelmoraDevice::~VelmoraDevice() {
  {
    std::lock_guard<std::mutex> lock(restartMutex_);
    stopping_ = true;
  }
  restartWake_.notify_all();
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

void VelmoraDevice::OnOut(uint8_t endpoint, const uint8_t* data, size_t size) {
  Outbox out;
  bool restart = false;
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
      }
    } else if (endpoint == kEpDatOut) {
      StoreDataLocked(data, size, out);
    }
  }
  // Packets go out with no lock held: the host's completions may run on this thread.
  Send(out);
  if (restart) StartRestart();
}

bool VelmoraDevice::HandleCommandLocked(const std::string& command, Outbox& out) {
  commands_.push_back(command);
  Debug("cmd " + command, out);

  const size_t eq = command.find('=');
  const std::string name = command.substr(0, eq);
  const bool hasArgs = eq != std::string::npos;
  const std::string args = hasArgs ? command.substr(eq + 1) : std::string();

  if (name == "device.serial") {
    Answer("device.serial=" + (serial_ ? *serial_ : std::string("0")), out);
  } else if (name == "mem.used") {
    Answer("mem.used=" + std::to_string(records_), out);
  } else if (name == "device.software") {
    Answer("device.software=" + software_, out);
  } else if (name == "date.date") {
    // Without an argument the logger tells its clock.
    if (hasArgs) clock_ = args;
    Answer("date.date=" + clock_, out);
  } else if (name == "mem.load") {
    uint32_t address = 0, length = 0;
    if (!ParseRange(args, &address, &length)) {
      Answer("mem.load=error", out);
      return false;
    }
    Answer("mem.load=" + std::to_string(address) + "," + std::to_string(length), out);
    for (uint32_t offset = 0; offset < length; offset += kPacketSize) {
      uint32_t n = std::min(kPacketSize, length - offset);
      if (options_.shortEvery > 0 && (offset / kPacketSize + 1) % options_.shortEvery == 0) n /= 2;
      const auto first = memory_.begin() + address + offset;
      out.push_back({kEpDatIn, std::vector<uint8_t>(first, first + n)});
    }
  } else if (name == "mem.save") {
    uint32_t address = 0, length = 0;
    if (!ParseRange(args, &address, &length)) {
      Answer("mem.save=error", out);
      return false;
    }
    // A new save replaces one still open.
    saveAddress_ = address;
    saveRemaining_ = length;
    saveTotal_ = length;
    if (length > 0 && address < kFirmwareAddress + kFirmwareSize && address + length > kFirmwareAddress)
      firmwareRegionWhole_ = false;
    Answer("mem.save=" + std::to_string(address) + "," + std::to_string(length), out);
  } else if (name == "firmware.check") {
    const bool ok =
        firmwareRegionWhole_ && CheckFirmwareImage(memory_.data() + kFirmwareAddress, kFirmwareSize, nullptr);
    Answer(ok ? "firmware.check=1" : "firmware.check=0", out);
  } else if (name == "firmware.update") {
    std::string version;
    if (!firmwareRegionWhole_ || !CheckFirmwareImage(memory_.data() + kFirmwareAddress, kFirmwareSize, &version)) {
      Answer("firmware.update=0", out);
      return false;
    }
    Answer("firmware.update=1", out);
    Debug("firmware " + version + " accepted, restarting", out);
    software_ = version;
    return true;
  } else {
    Answer("error=" + name, out);
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
