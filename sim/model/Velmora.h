// The virtual Velmora: a device model of the logger on the USB device contract.
//
// It answers the command language on its five endpoints as a logger does: zero-terminated text
// commands arrive on OUT (0x04), answers named after the command go out on IN (0x85), memory
// streams on DATIN (0x81) in 64-byte packets, data blocks arrive on DATOUT (0x02), and a short debug
// line for every command goes out on DebugIn (0x83).
//
// A firmware update restarts the logger: it drops off the bus once its answer has been read (or after
// two seconds at most) and a new VelmoraDevice with the same memory, serial and instance id, running the
// new version, is handed to the restart handler, which attaches it wherever the old one was.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sim/model/Firmware.h"
#include "sim/model/Records.h"
#include "usbdev/PacketDevice.h"

namespace velmora {

constexpr uint16_t kVendorId = 0x11E3;
constexpr uint16_t kProductId = 0x0005;
constexpr uint8_t kEpIn = 0x85;
constexpr uint8_t kEpDatIn = 0x81;
constexpr uint8_t kEpDebugIn = 0x83;
constexpr uint8_t kEpOut = 0x04;
constexpr uint8_t kEpDatOut = 0x02;
constexpr uint32_t kMemorySize = 524288;
constexpr uint32_t kMaxRecords = kMemorySize / 32;
constexpr uint32_t kFirmwareAddress = 463104;
constexpr uint32_t kFirmwareSize = 61184;
constexpr uint32_t kPacketSize = 64;
constexpr double kFullSpeedPacketsPerMs = 19.0;

// A hostile logger, for hardening the host: answers that are garbage, too many, too few or none.
// Every random choice follows `seed`, so the same commands get the same replies again.
struct HostileOptions {
  uint32_t seed = 1;
  bool randomAnswers = false;        // answers of random bytes and lengths (0 to 64), or cut or garbled
  bool silent = false;               // commands are carried out but never answered
  std::optional<int64_t> memUsed;    // "mem.used" reports this count, absurd and negative ones too
  uint32_t extraDatIn = 0;           // random packets sent after the requested ones of every "mem.load"
  bool shortPackets = false;         // a quarter of the DATIN packets short, some of them empty
  uint32_t debugLinesPerSecond = 0;  // a flood of debug lines while configured (0: none)
  bool oddDescriptors = false;       // device and serial-number string descriptors of odd lengths

  bool Any() const {
    return randomAnswers || silent || memUsed || extraDatIn > 0 || shortPackets || debugLinesPerSecond > 0 ||
           oddDescriptors;
  }
};

struct Options {
  // None: an old logger without serial-number string.
  std::optional<std::string> serial = std::string("VLM12345");
  uint32_t records = 1000;  // generated records (at most 16384)
  uint32_t seed = 1;        // for the generated records
  // A memory image (up to 524288 bytes, zero-padded) replaces the generated records; `used` is the
  // record count the logger then reports, as given, so that counts beyond the memory can be tried.
  std::vector<uint8_t> image;
  uint32_t used = 0;
  std::string software = "V1.09";
  std::string clock;            // clock text the logger starts with (last "date.date" argument)
  bool inUse = false;           // configuration refused: in use by another program
  bool paced = false;           // IN delivery at the USB full-speed bulk rate
  long unplugAfter = -1;        // unplug after that many DATIN packets (<0: never)
  uint32_t shortEvery = 0;      // every n-th DATIN packet of a load carries only its first half (0: none)
  unsigned restartMs = 50;      // time off the bus during a firmware restart
  long stallOutAfter = -1;      // the command pipe (OUT) stalls once that many commands came (<0: never)
  long unplugAfterDatOut = -1;  // unplug once that many DATOUT packets were taken (<1: never)
  HostileOptions hostile;
};

class VelmoraDevice;
// Receives the logger that comes back after a firmware update; called on a helper thread of the old
// device, after the old one has been unplugged.
using RestartHandler = std::function<void(std::shared_ptr<VelmoraDevice>)>;

class VelmoraDevice : public usbdrv::PacketDevice {
 public:
  VelmoraDevice(const Options& options, std::string instanceId);
  ~VelmoraDevice() override;

  // The handler is passed on to the device that comes back, so later updates restart again. Without
  // a handler the logger still drops off the bus, and nothing comes back.
  void SetRestartHandler(RestartHandler handler);

  // A copy of the logger's memory.
  std::vector<uint8_t> Memory() const;
  uint32_t RecordCount() const;
  std::string Software() const;
  std::string Clock() const;
  const std::optional<std::string>& Serial() const { return serial_; }
  // Commands received so far, in order (without the zero byte).
  std::vector<std::string> Commands() const;
  // DATOUT bytes that arrived with no "mem.save" open (or beyond its length); they are dropped.
  uint64_t IgnoredDataBytes() const;
  // Faults carried out so far: hostile replies, stalls and unplugs of the switches above, debug
  // lines of a flood. Tells a test that its fault really happened.
  uint64_t FaultEvents() const;
  // Flood lines that found the debug pipe's queue full and were dropped, as a real FIFO drops them.
  uint64_t DroppedDebugLines() const;

 protected:
  void OnOut(uint8_t endpoint, const uint8_t* data, size_t size) override;
  void OnConfigured() override;

 private:
  struct Output {
    uint8_t endpoint;
    std::vector<uint8_t> packet;
  };
  using Outbox = std::vector<Output>;

  // Both run with mutex_ held and only collect what is to be sent.
  bool HandleCommandLocked(const std::string& command, Outbox& out);
  void StoreDataLocked(const uint8_t* data, size_t size, Outbox& out);
  // Answer text on IN, as the hostile switches let it through.
  void AnswerLocked(const std::string& text, Outbox& out);
  static void Answer(const std::string& text, Outbox& out);
  static void Debug(const std::string& text, Outbox& out);
  // The requested memory on DATIN, short packets and extra ones included.
  void StreamLocked(uint32_t address, uint32_t length, Outbox& out);
  void Send(const Outbox& out);

  void StartRestart();
  void RestartMain();
  void FloodMain();
  void ServeOddDescriptors();

  const Options options_;  // as given, without the image; the restarted logger starts from these
  const std::optional<std::string> serial_;

  mutable std::mutex mutex_;
  std::vector<uint8_t> memory_;
  uint32_t records_;
  std::string software_;
  std::string clock_;
  std::vector<std::string> commands_;
  std::string pendingCommand_;  // a command split over several OUT packets
  uint32_t saveAddress_ = 0;    // where DATOUT data goes after "mem.save"
  uint32_t saveRemaining_ = 0;
  uint32_t saveTotal_ = 0;
  // The firmware region holds what the last save into it delivered in full; a save into the region
  // that has not completed (the host's transfer broke off) makes the region fail its check.
  bool firmwareRegionWhole_ = true;
  uint64_t ignoredData_ = 0;
  std::mt19937 random_;  // hostile choices
  uint64_t faultEvents_ = 0;
  uint64_t datOutPackets_ = 0;
  std::atomic<uint64_t> droppedDebug_{0};
  std::atomic<uint64_t> floodLines_{0};

  std::mutex restartMutex_;
  std::condition_variable restartWake_;
  RestartHandler restartHandler_;
  bool stopping_ = false;
  std::thread restartThread_;
  std::thread floodThread_;
};

}  // namespace velmora
