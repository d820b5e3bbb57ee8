// The link to one logger: discovery, connection, commands and the state of the transfer under way.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "data/Messwert.h"
#include "link/WindowPort.h"
#include "platform/win32.h"

class AnswerTimer;
class CUsbDevice;
class CMyReader;
class CMyDatReader;
class CMyDbgReader;
class CMyWriter;

// Constants of discovery and of the link.
namespace logger {
constexpr uint16_t kVendorId = 0x11E3;
constexpr uint16_t kProductId = 0x0005;
constexpr int kMaxDeviceNumbers = 127;  // device numbers 0 to 126
constexpr uint32_t kSerialBufferSize = 516;
constexpr uint8_t kEndpointIn = 0x85;
constexpr uint8_t kEndpointDatIn = 0x81;
constexpr uint8_t kEndpointDebugIn = 0x83;
constexpr uint8_t kEndpointOut = 0x04;
constexpr uint8_t kEndpointDatOut = 0x02;
constexpr uint32_t kPacketSize = 64;
constexpr uint32_t kReaderBuffers = 5;
constexpr uint32_t kMaxErrors = 3;
constexpr uint32_t kWriteTimeoutMs = 1000;
constexpr uint32_t kMemorySize = 524288;  // 512 KiB of logger memory
constexpr int32_t kMaxPackets = kMemorySize / kPacketSize;
}  // namespace logger

// A logger seen by a scan, free or in use.
struct ScannedLogger {
  int32_t deviceNumber;
  bool hasSerial;          // false: an old logger without serial-number string
  std::string serialText;  // Windows-1252, as the logger reports it
  int32_t serial;          // serialNumberFromString(serialText); 0 for an old logger
  bool inUse;              // its configuration was refused: another program holds it
  std::string device;      // where it was reached: "USB", "virtual", or empty when not known
};

class USBInterface {
 public:
  explicit USBInterface(WindowPort* mainWindow);
  ~USBInterface();
  USBInterface(const USBInterface&) = delete;
  USBInterface& operator=(const USBInterface&) = delete;

  std::vector<int32_t> scanDevices();
  bool connect(int32_t serial);
  // Opens the link to the device a scan found, when it is still the logger that scan saw there (same
  // serial-number string, or still none). For callers that choose a logger by more than its number.
  bool connectScanned(const ScannedLogger& logger);
  bool openLink(int32_t deviceNumber);
  void disconnect();
  bool sendCommand(const std::string& text);
  bool sendData(const uint8_t* data, int32_t length);
  // The same for a reader of one link. Once that link has ended, the write fails as it would on the
  // ended link's pipe: nothing reaches a newer link, and the transfer counters stay as they are.
  bool sendCommand(const std::string& text, uint64_t linkGeneration);
  bool sendData(const uint8_t* data, int32_t length, uint64_t linkGeneration);

  // The worker exit hooks disconnect the link they belong to; a newer link is left alone.
  void disconnectLink(uint64_t generation);
  uint64_t linkGeneration() const { return generation_.load(); }

  // What the front ends read of the link.
  bool isConnected() const { return connected.load(); }
  // Every logger of the last scan in device order, including those in use, for a list to show.
  const std::vector<ScannedLogger>& lastScan() const { return scannedLoggers; }

  // The operation under way (link/Operations.h starts them). Begun before its first command goes out;
  // a new one ends one still under way as Cancelled.
  void beginOperation(Operation operation);
  // Reports OperationFinished and ends `operation` when it is the one under way; false (and nothing
  // reported) when it is not, so that every operation ends exactly once.
  bool finishOperation(Operation operation, Outcome outcome, int64_t value = 0, int64_t skipped = 0,
                       const std::string& text = std::string());
  // The same from a reader of the link `linkGeneration`: nothing when that link has ended, so that a
  // late reader of an old link never ends an operation on a newer one.
  bool finishOperation(uint64_t linkGeneration, Operation operation, Outcome outcome, int64_t value = 0,
                       int64_t skipped = 0, const std::string& text = std::string());
  // The same for whatever operation is under way (the answer time-out, a cancel).
  void finishCurrentOperation(Outcome outcome);
  Operation currentOperation() const { return operation_.load(); }
  // Operations that end with their one answer and keep no slot: a clock setting and a console command
  // may go out while a transfer is under way. Reports their OperationFinished directly.
  void reportFinished(Operation operation, Outcome outcome, int64_t value = 0, int64_t skipped = 0,
                      const std::string& text = std::string());

  // How long a clock setting and a console command wait for their answer. They keep no slot and no
  // window timer: the link's own timer ends them as NoAnswer.
  static constexpr int kAnswerTimeoutMs = 5000;
  // A clock setting is about to go out: its answer, the time-out or the link's end finishes it.
  void beginSetTime();
  // Reports the clock setting's OperationFinished, once; nothing when none waits.
  void finishSetTime(Outcome outcome);
  // A console command is about to go out. `byName`: every answer is only shown, and the one named like
  // the command (or the logger's refusal of it, "error=<name>") ends it; otherwise the first answer
  // ends it (rawCommand), as on the service console.
  void beginRawCommand(const std::string& command, bool byName);
  // Reports the console command's OperationFinished (text: the answer), once.
  void finishRawCommand(Outcome outcome, const std::string& answer = std::string());
  // For the answer reader: true when `shown` (an answer as logged) is only to be shown because a
  // console command waits for its answer by name; ends that command when it is its answer.
  bool consoleAnswer(const std::string& shown);

  // What the next "mem.save" answer of a link sends: the bytes of a service console Save, or the
  // firmware image of the update that sent the request (the image stays with that link's reader).
  // The request is noted before its "mem.save" command goes out; a newer request replaces it.
  enum class SaveRequest { None, Console, Firmware };
  // False, and nothing noted, when `linkGeneration` names a link that has ended.
  bool requestSave(SaveRequest kind, std::vector<uint8_t> bytes, uint64_t linkGeneration);
  // Takes the request of that link, leaving none; None when there is none for that link.
  SaveRequest takeSaveRequest(uint64_t linkGeneration, std::vector<uint8_t>& bytes);

 private:
  // The link's state is its own and its readers'; the operations and tests that drive a reader
  // directly reach it through LinkAccess (link/LinkAccess.h).
  friend class CMyReader;
  friend class CMyDatReader;
  friend class CMyDbgReader;
  friend class CMyWriter;
  friend class LinkAccess;

  // Fields, in the order of the link's design.
  HDEVINFO deviceList;
  std::shared_ptr<CUsbDevice> device;
  std::shared_ptr<CMyDatReader> datInReader;
  std::shared_ptr<CMyReader> inReader;
  std::shared_ptr<CMyDbgReader> debugInReader;
  std::shared_ptr<CMyWriter> outWriter;
  std::shared_ptr<CMyWriter> datOutWriter;
  std::vector<int32_t> candidateSerials;
  std::vector<ScannedLogger> scannedLoggers;  // lastScan()
  std::array<uint8_t, logger::kMemorySize> memoryImage;
  WindowPort* mainWindow;
  std::vector<messwert_tag> measurements;
  std::atomic<bool> downloadActive;
  std::atomic<bool> memLoadActive;
  std::atomic<int32_t> packetCount;
  std::atomic<int32_t> packetsExpected;
  std::atomic<int32_t> memUsed;
  std::atomic<bool> connected;
  std::atomic<bool> rawCommand;
  // The next "mem.used" answer only reports the count (LinkEvent RecordCount): no memory is read.
  // Set before the command goes out; every operation that sends "mem.used" sets it.
  std::atomic<bool> countOnly;
  // While set, answers are shown and logged but start nothing: the command line drains what a logger
  // still sends from an earlier exchange before it sends its own command.
  std::atomic<bool> drainingAnswers{false};
  // Set while the logger is told to restart with a new image: the end of the link that follows is
  // the update's success, not its failure.
  std::atomic<bool> restartPending{false};
  // A clock setting went out and waits for its answer.
  std::atomic<bool> setTimePending{false};

  // The objects of a closed link whose reader workers may still run.
  struct RetiredLink {
    std::shared_ptr<CMyReader> in;
    std::shared_ptr<CMyDatReader> datIn;
    std::shared_ptr<CMyDbgReader> debugIn;
  };
  // openLink, then reports the connected logger by its serial-number string.
  bool openLinkTo(int32_t deviceNumber, const std::string& serialText);
  // Reads the serial-number string of an open device; false when it is absent.
  bool readSerial(CUsbDevice& dev, uint8_t serialIndex, std::string& text);
  // Logs the device line of a scan or connect; reports a descriptor failure. False on failure.
  bool readDeviceInfo(CUsbDevice& dev, int number, uint16_t& vendor, uint16_t& product, bool& hasSerial,
                      std::string& serial);
  // Releases the objects of closed links whose workers have ended (all of them, after stopping the
  // workers and waiting for them, when `stopWorkers` is set).
  void sweepRetired(bool stopWorkers);
  // The writer of the open link, or none when `linkGeneration` (0: any) names a link that has ended.
  std::shared_ptr<CMyWriter> writerFor(const std::shared_ptr<CMyWriter>& field, uint64_t linkGeneration);

  std::atomic<uint64_t> generation_{0};
  std::unique_ptr<AnswerTimer> setTimeTimer_;
  std::unique_ptr<AnswerTimer> rawTimer_;
  std::atomic<bool> rawPending_{false};
  std::atomic<bool> rawByName_{false};
  std::string rawName_;  // under linkLock_
  std::atomic<Operation> operation_{Operation::None};
  CRITICAL_SECTION linkLock_;  // guards the object fields, retired_ and the save request
  std::vector<RetiredLink> retired_;
  SaveRequest saveKind_ = SaveRequest::None;
  uint64_t saveGeneration_ = 0;
  std::vector<uint8_t> saveBytes_;
};
