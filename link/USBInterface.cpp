#include "link/USBInterface.h"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>

#include "data/LoggerText.h"
#include "data/Text.h"
#include "link/AnswerTimer.h"
#include "link/MyDatReader.h"
#include "link/MyDbgReader.h"
#include "link/MyReader.h"
#include "usbio/SetupApiDll.h"
#include "usbio/UsbDevice.h"

namespace {

const char kUsbProblems[] = "USB Problems: Please reset your Velmora and USB-HUB (if used)!";

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
  char line[160];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(line, sizeof line, pattern, args);
  va_end(args);
  return line;
}

// Where a device of the list was reached: "USB" when its device instance id names the USB bus as its
// enumerator (a real logger), "virtual" for any other, empty when the Setup API cannot say.
std::string deviceSourceOf(HDEVINFO list, int number) {
  if (list == nullptr || !g_SetupApiDll.Load()) return std::string();
  SP_DEVICE_INTERFACE_DATA data;
  std::memset(&data, 0, sizeof data);
  data.cbSize = sizeof data;
  if (!g_SetupApiDll.EnumDeviceInterfaces(list, nullptr, &g_UsbDrvInterfaceGuid, static_cast<DWORD>(number),
                                          &data))
    return std::string();
  DWORD required = 0;
  g_SetupApiDll.GetDeviceInterfaceDetail(list, &data, nullptr, 0, &required, nullptr);
  if (required == 0 || required > 65536) return std::string();
  std::vector<uint64_t> block((std::max<size_t>(required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) + 7) /
                              8);
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  SP_DEVINFO_DATA node;
  std::memset(&node, 0, sizeof node);
  node.cbSize = sizeof node;
  char id[512];
  if (!g_SetupApiDll.GetDeviceInterfaceDetail(list, &data, detail, required, nullptr, &node) ||
      g_SetupApiDll.GetDeviceId(node.DevInst, id, sizeof id, 0) != CR_SUCCESS)
    return std::string();
  id[sizeof id - 1] = '\0';
  const std::string text = id;
  const size_t end = text.find('\\');
  if (end == std::string::npos || end == 0) return std::string();
  std::string enumerator = text.substr(0, end);
  for (char& c : enumerator) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  return enumerator == "USB" ? "USB" : "virtual";
}

// The configuration the scan's in-use test and openLink ask for.
UsbConfiguration loggerConfiguration() {
  UsbConfiguration config;
  std::memset(&config, 0, sizeof config);
  config.configurationIndex = 0;
  config.interfaceCount = 1;
  config.interfaces[0].interfaceNumber = 0;
  config.interfaces[0].alternateSetting = 0;
  config.interfaces[0].maxTransferSize = 4096;
  return config;
}

bool isLogger(uint16_t vendor, uint16_t product) {
  return vendor == logger::kVendorId && product == logger::kProductId;
}

class LinkLock {
 public:
  explicit LinkLock(CRITICAL_SECTION* cs) : cs_(cs) { EnterCriticalSection(cs_); }
  ~LinkLock() { LeaveCriticalSection(cs_); }
  LinkLock(const LinkLock&) = delete;
  LinkLock& operator=(const LinkLock&) = delete;

 private:
  CRITICAL_SECTION* cs_;
};

}  // namespace

USBInterface::USBInterface(WindowPort* window)
    : deviceList(nullptr),
      memoryImage(),  // zeros: a memory read may write more than the logger sent
      mainWindow(window),
      downloadActive(false),
      memLoadActive(false),
      packetCount(0),
      packetsExpected(0),
      memUsed(0),
      connected(false),
      rawCommand(false),
      countOnly(false) {
  InitializeCriticalSection(&linkLock_);
  setTimeTimer_ =
      std::make_unique<AnswerTimer>(kAnswerTimeoutMs, [this] { finishSetTime(Outcome::NoAnswer); });
  rawTimer_ =
      std::make_unique<AnswerTimer>(kAnswerTimeoutMs, [this] { finishRawCommand(Outcome::NoAnswer); });
}

USBInterface::~USBInterface() {
  {
    LinkLock lock(&linkLock_);
    retired_.push_back({std::move(inReader), std::move(datInReader), std::move(debugInReader)});
    generation_++;  // late exit hooks of the stopped workers find no link of theirs
  }
  // Stopping a worker runs its exit hook, which takes the link lock: never hold it here.
  sweepRetired(true);
  // No reader is left to answer; no time-out reports anything once the link goes.
  setTimeTimer_->shutdown();
  rawTimer_->shutdown();
  if (device) {
    device->DeconfigureDevice();
    device->CloseDevice();
  }
  outWriter.reset();
  datOutWriter.reset();
  device.reset();
  CUsbDevice::DestroyDeviceList(deviceList);
  DeleteCriticalSection(&linkLock_);
}

bool USBInterface::readSerial(CUsbDevice& dev, uint8_t serialIndex, std::string& text) {
  uint8_t buffer[logger::kSerialBufferSize];
  std::memset(buffer, 0, sizeof buffer);
  uint32_t length = sizeof buffer;
  if (dev.ReadStringDescriptor(buffer, &length, serialIndex, 0) != 0) {
    mainWindow->infoMsg("Query Serial Number String Descriptor failed");
    return false;
  }
  // A reply without its 2-byte header carries no character count: no string.
  if (length < 2 || length > sizeof buffer) return false;
  size_t chars = (length - 2) / 2;
  uint16_t units[(logger::kSerialBufferSize - 2) / 2];
  for (size_t i = 0; i < chars; ++i)
    units[i] = static_cast<uint16_t>(buffer[2 + 2 * i] | (buffer[3 + 2 * i] << 8));
  text = utf16ToAnsi(units, chars);
  return true;
}

bool USBInterface::readDeviceInfo(CUsbDevice& dev, int number, uint16_t& vendor, uint16_t& product,
                                  bool& hasSerial, std::string& serial) {
  (void)number;
  uint8_t descriptor[18];
  std::memset(descriptor, 0, sizeof descriptor);
  uint32_t status = dev.ReadDeviceDescriptor(descriptor);
  if (status != 0) {
    mainWindow->infoMsg(format("Query Device Descriptor failed, status:0x%08X", status));
    mainWindow->messageBox(MessageKind::Error, kCaptionError, kUsbProblems);
    return false;
  }
  vendor = static_cast<uint16_t>(descriptor[8] | (descriptor[9] << 8));
  product = static_cast<uint16_t>(descriptor[10] | (descriptor[11] << 8));
  uint8_t serialIndex = descriptor[16];
  hasSerial = serialIndex != 0 && readSerial(dev, serialIndex, serial);
  return true;
}

std::vector<int32_t> USBInterface::scanDevices() {
  sweepRetired(false);
  candidateSerials.clear();
  scannedLoggers.clear();
  mainWindow->infoMsg("Scanning for attached USB devices...");
  CUsbDevice::DestroyDeviceList(deviceList);  // the list of an earlier scan is replaced
  deviceList = CUsbDevice::BuildDeviceList(&g_UsbDrvInterfaceGuid);
  if (!deviceList) {
    mainWindow->infoMsg("Unable to build a device list!");
    return {};
  }
  CUsbDevice dev;
  bool anyDevice = false;
  const UsbConfiguration config = loggerConfiguration();
  for (int number = 0; number < logger::kMaxDeviceNumbers; ++number) {
    if (dev.OpenDevice(number, deviceList, &g_UsbDrvInterfaceGuid, true) != 0) break;
    uint16_t vendor = 0, product = 0;
    bool hasSerial = false;
    std::string serial;
    if (readDeviceInfo(dev, number, vendor, product, hasSerial, serial)) {
      anyDevice = true;
      mainWindow->infoMsg(format("Device %d:  VendorID:0x%04X  ProductID:0x%04X", number, vendor, product));
      mainWindow->infoMsg("SerialNumber:");
      if (hasSerial) {
        mainWindow->infoMsg(loggerText(serial));
        if (isLogger(vendor, product)) {
          mainWindow->infoMsg("Check if device is already connected");
          const bool inUse = dev.ConfigureDevice(&config) != 0;
          if (inUse)
            mainWindow->infoMsg("Device is already connected");
          else
            candidateSerials.push_back(serialNumberFromString(serial));
          scannedLoggers.push_back({number, true, serial, serialNumberFromString(serial), inUse,
                                    deviceSourceOf(deviceList, number)});
        }
      } else {
        mainWindow->infoMsg("->not available");
        if (isLogger(vendor, product)) {
          mainWindow->infoMsg("->old device");
          candidateSerials.push_back(0);
          scannedLoggers.push_back(
              {number, false, std::string(), 0, false, deviceSourceOf(deviceList, number)});
        }
      }
    }
    dev.CloseDevice();
  }
  if (!anyDevice) mainWindow->infoMsg("There are no USB devices attached to the USB driver.");
  return candidateSerials;
}

bool USBInterface::connect(int32_t serial) {
  sweepRetired(false);
  CUsbDevice dev;
  bool anyDevice = false;
  for (int number = 0; number < logger::kMaxDeviceNumbers; ++number) {
    if (dev.OpenDevice(number, deviceList, &g_UsbDrvInterfaceGuid, true) != 0) break;
    uint16_t vendor = 0, product = 0;
    bool hasSerial = false;
    std::string text;
    bool described = readDeviceInfo(dev, number, vendor, product, hasSerial, text);
    dev.CloseDevice();
    if (!described) continue;
    anyDevice = true;
    mainWindow->infoMsg(format("Device %d:  VendorID:0x%04X  ProductID:0x%04X", number, vendor, product));
    mainWindow->infoMsg("SerialNumber:");
    if (hasSerial) {
      mainWindow->infoMsg(loggerText(text));
      if (isLogger(vendor, product) && serialNumberFromString(text) == serial)
        return openLinkTo(number, loggerText(text));
    } else {
      mainWindow->infoMsg("not available");
      if (isLogger(vendor, product)) {
        mainWindow->infoMsg("-> connect old device");
        return openLinkTo(number, std::string());
      }
    }
  }
  if (!anyDevice) mainWindow->infoMsg("There are no USB devices attached to the USB driver.");
  return false;
}

bool USBInterface::connectScanned(const ScannedLogger& logger) {
  sweepRetired(false);
  CUsbDevice dev;
  if (dev.OpenDevice(logger.deviceNumber, deviceList, &g_UsbDrvInterfaceGuid, true) != 0) return false;
  uint16_t vendor = 0, product = 0;
  bool hasSerial = false;
  std::string text;
  const bool described = readDeviceInfo(dev, logger.deviceNumber, vendor, product, hasSerial, text);
  dev.CloseDevice();
  if (!described || !isLogger(vendor, product) || hasSerial != logger.hasSerial ||
      (hasSerial && text != logger.serialText)) {
    mainWindow->infoMsg(format("Device %d is no longer the logger found", logger.deviceNumber));
    return false;
  }
  return openLinkTo(logger.deviceNumber, hasSerial ? loggerText(text) : std::string());
}

bool USBInterface::openLinkTo(int32_t deviceNumber, const std::string& serialText) {
  if (!openLink(deviceNumber)) return false;
  LinkEvent event{LinkEvent::Kind::Connected};
  event.text = serialText;
  event.device = deviceSourceOf(deviceList, deviceNumber);
  mainWindow->linkEvent(event);
  return true;
}

bool USBInterface::openLink(int32_t deviceNumber) {
  // Held throughout, so that an exit hook of the new link's own workers cannot tear it down while
  // it is still being built. Nothing here waits for a worker.
  LinkLock lock(&linkLock_);
  connected = false;
  const uint64_t gen = ++generation_;
  // Readers of an earlier link that was never disconnected are stopped the same way as by disconnect.
  RetiredLink old{std::move(inReader), std::move(datInReader), std::move(debugInReader)};
  for (CUsbThread* r : {static_cast<CUsbThread*>(old.debugIn.get()), static_cast<CUsbThread*>(old.in.get()),
                        static_cast<CUsbThread*>(old.datIn.get())}) {
    if (r) {
      r->AbortTransfers();
      r->UnbindPipe();
    }
  }
  if (old.in || old.datIn || old.debugIn) retired_.push_back(std::move(old));

  device = std::make_shared<CUsbDevice>();
  inReader = std::make_shared<CMyReader>(this, gen);
  datInReader = std::make_shared<CMyDatReader>(this, gen);
  outWriter = std::make_shared<CMyWriter>(this, gen);
  datOutWriter = std::make_shared<CMyWriter>(this, gen);
  debugInReader = std::make_shared<CMyDbgReader>(this, gen);

  if (device->OpenDevice(deviceNumber, deviceList, &g_UsbDrvInterfaceGuid, true) != 0) {
    mainWindow->infoMsg("Error Open device");
    return false;
  }
  mainWindow->infoMsg("Configuring the device...");
  const UsbConfiguration config = loggerConfiguration();
  if (device->ConfigureDevice(&config) != 0) {
    mainWindow->infoMsg("Error Configure Device");
    return false;
  }
  struct Bind {
    CUsbPipe* pipe;
    uint8_t endpoint;
    const char* failure;
  } binds[] = {{inReader.get(), logger::kEndpointIn, "Can not bind IN pipe"},
               {datInReader.get(), logger::kEndpointDatIn, "Can not bind DATIN pipe"},
               {debugInReader.get(), logger::kEndpointDebugIn, "Can not bind DebugIn pipe"},
               {outWriter.get(), logger::kEndpointOut, "Can not bind OUT pipe"},
               {datOutWriter.get(), logger::kEndpointDatOut, "Can not bind DATOUT pipe"}};
  for (const Bind& b : binds) {
    if (b.pipe->BindPipe(deviceNumber, b.endpoint, deviceList, &g_UsbDrvInterfaceGuid, true) != 0) {
      mainWindow->infoMsg(b.failure);
      return false;
    }
  }
  struct Start {
    CUsbThread* reader;
    const char* poolFailure;
    const char* threadFailure;
  } starts[] = {
      {inReader.get(), "Unable to allocate buffer pool.", "Unable to start worker threadn"},
      {datInReader.get(), "Unable to allocate 2nd buffer pool.", "Unable to start 2nd worker threadn"},
      {debugInReader.get(), "Unable to allocate 3rd buffer pool.", "Unable to start 3rd worker threadn"}};
  for (const Start& s : starts) {
    if (!s.reader->AllocateBuffers(logger::kPacketSize, logger::kReaderBuffers)) {
      mainWindow->infoMsg(s.poolFailure);
      return false;
    }
    if (!s.reader->StartWorker(logger::kMaxErrors)) {
      mainWindow->infoMsg(s.threadFailure);
      return false;
    }
  }
  mainWindow->infoMsg("Device connected");
  connected = true;
  return true;
}

void USBInterface::disconnect() {
  disconnectLink(generation_.load());
}

void USBInterface::disconnectLink(uint64_t gen) {
  bool ended = false;
  {
    LinkLock lock(&linkLock_);
    if (gen == generation_.load()) {
      // Whoever takes the objects out of the fields tears them down; a second disconnect finds none.
      RetiredLink link{std::move(inReader), std::move(datInReader), std::move(debugInReader)};
      std::shared_ptr<CUsbDevice> dev = std::move(device);
      bool running = false;
      for (CUsbThread* r :
           {static_cast<CUsbThread*>(link.debugIn.get()), static_cast<CUsbThread*>(link.in.get()),
            static_cast<CUsbThread*>(link.datIn.get())}) {
        if (!r) continue;
        r->AbortTransfers();
        r->UnbindPipe();
        // A running worker still waits on its buffers and handle: they go when it has ended.
        if (r->IsWorkerRunning()) {
          running = true;
        } else {
          r->ReleaseBuffers();
          r->CloseDevice();
        }
      }
      if (running) retired_.push_back(std::move(link));
      if (dev) {
        dev->DeconfigureDevice();
        dev->CloseDevice();
      }
      // Only the first teardown of a link that was up reports its end.
      ended = connected.exchange(false);
    }
    // Still under the lock: a link opened next (it takes the lock first) is reported after this
    // one's end, never before it.
    mainWindow->infoMsg("Device disconnected!");
    // An operation under way ends with the link; an update whose logger restarts ends with its command.
    if (ended && !restartPending) finishCurrentOperation(Outcome::Disconnected);
    if (ended) {
      finishSetTime(Outcome::Disconnected);
      finishRawCommand(Outcome::Disconnected);
    }
    if (ended) mainWindow->linkEvent({LinkEvent::Kind::Disconnected});
  }
  sweepRetired(false);
}

void USBInterface::sweepRetired(bool stopWorkers) {
  const auto readersOf = [](const RetiredLink& link) {
    return std::array<CUsbThread*, 3>{link.debugIn.get(), link.in.get(), link.datIn.get()};
  };
  const auto anyRunning = [&readersOf](const RetiredLink& link) {
    for (CUsbThread* r : readersOf(link)) {
      if (r && r->IsWorkerRunning()) return true;
    }
    return false;
  };
  for (;;) {
    std::vector<RetiredLink> ended;
    {
      LinkLock lock(&linkLock_);
      if (stopWorkers) {
        ended.swap(retired_);
      } else {
        // A link stays listed while one of its workers runs (its exit hook still uses this object), so
        // that the stop of all workers when this object goes always finds it and waits for it.
        const auto done = std::stable_partition(retired_.begin(), retired_.end(), anyRunning);
        std::move(done, retired_.end(), std::back_inserter(ended));
        retired_.erase(done, retired_.end());
      }
    }
    if (ended.empty()) return;
    for (const RetiredLink& link : ended) {
      for (CUsbThread* r : readersOf(link)) {
        if (!r) continue;
        // Never under the link lock: a stopped worker's exit hook takes it. Once a worker has ended
        // and given its handle back, this returns at once.
        r->ShutdownThread();
        r->ReleaseBuffers();
        r->CloseDevice();
      }
    }
    if (!stopWorkers) return;
  }
}

void USBInterface::beginOperation(Operation operation) {
  finishCurrentOperation(Outcome::Cancelled);
  restartPending = false;
  operation_ = operation;
}

bool USBInterface::finishOperation(Operation operation, Outcome outcome, int64_t value, int64_t skipped,
                                   const std::string& text) {
  if (operation == Operation::None || !operation_.compare_exchange_strong(operation, Operation::None))
    return false;
  reportFinished(operation, outcome, value, skipped, text);
  return true;
}

bool USBInterface::finishOperation(uint64_t linkGeneration, Operation operation, Outcome outcome,
                                   int64_t value, int64_t skipped, const std::string& text) {
  if (linkGeneration != generation_.load()) return false;
  return finishOperation(operation, outcome, value, skipped, text);
}

void USBInterface::finishCurrentOperation(Outcome outcome) {
  finishOperation(operation_.load(), outcome);
}

void USBInterface::reportFinished(Operation operation, Outcome outcome, int64_t value, int64_t skipped,
                                  const std::string& text) {
  LinkEvent finished{LinkEvent::Kind::OperationFinished};
  finished.operation = operation;
  finished.outcome = outcome;
  finished.value = value;
  finished.skipped = skipped;
  finished.text = text;
  mainWindow->linkEvent(finished);
}

void USBInterface::beginSetTime() {
  setTimePending = true;
  setTimeTimer_->restart();
}

void USBInterface::finishSetTime(Outcome outcome) {
  if (!setTimePending.exchange(false)) return;
  setTimeTimer_->enable(false);
  reportFinished(Operation::SetTime, outcome);
}

void USBInterface::beginRawCommand(const std::string& command, bool byName) {
  {
    LinkLock lock(&linkLock_);
    rawName_ = loggerText(command.substr(0, command.find('=')));
  }
  rawByName_ = byName;
  rawCommand = !byName;
  rawPending_ = true;
  rawTimer_->restart();
}

void USBInterface::finishRawCommand(Outcome outcome, const std::string& answer) {
  if (!rawPending_.exchange(false)) return;
  rawByName_ = false;
  rawTimer_->enable(false);
  reportFinished(Operation::RawCommand, outcome, 0, 0, answer);
}

bool USBInterface::consoleAnswer(const std::string& shown) {
  if (!rawByName_) return false;
  bool named;
  {
    LinkLock lock(&linkLock_);
    named = shown.substr(0, shown.find_first_of("=,")) == rawName_ || shown == "error=" + rawName_;
  }
  if (named) finishRawCommand(Outcome::Done, shown);
  return true;
}

std::shared_ptr<CMyWriter> USBInterface::writerFor(const std::shared_ptr<CMyWriter>& field,
                                                   uint64_t linkGeneration) {
  LinkLock lock(&linkLock_);
  if (linkGeneration != 0 && linkGeneration != generation_.load()) return nullptr;
  return field;
}

bool USBInterface::requestSave(SaveRequest kind, std::vector<uint8_t> bytes, uint64_t linkGeneration) {
  LinkLock lock(&linkLock_);
  if (linkGeneration != generation_.load()) return false;
  saveKind_ = kind;
  saveGeneration_ = linkGeneration;
  saveBytes_ = std::move(bytes);
  return true;
}

USBInterface::SaveRequest USBInterface::takeSaveRequest(uint64_t linkGeneration,
                                                        std::vector<uint8_t>& bytes) {
  LinkLock lock(&linkLock_);
  if (saveKind_ == SaveRequest::None || saveGeneration_ != linkGeneration) return SaveRequest::None;
  bytes = std::move(saveBytes_);
  saveBytes_ = {};
  return std::exchange(saveKind_, SaveRequest::None);
}

bool USBInterface::sendCommand(const std::string& text) {
  return sendCommand(text, 0);
}

bool USBInterface::sendCommand(const std::string& text, uint64_t linkGeneration) {
  const std::string command(text.c_str());  // a command ends at its first zero byte
  mainWindow->infoMsg(" <<< " + command);
  const std::shared_ptr<CMyWriter> writer = writerFor(outWriter, linkGeneration);
  uint32_t length = static_cast<uint32_t>(command.size() + 1);
  uint32_t status =
      writer ? writer->WriteSync(command.c_str(), &length, logger::kWriteTimeoutMs) : usbstatus::kNotOpen;
  if (status != 0) {
    mainWindow->infoMsg("sendCommand WriteSync failed!");
    return false;
  }
  return true;
}

bool USBInterface::sendData(const uint8_t* data, int32_t length) {
  return sendData(data, length, 0);
}

bool USBInterface::sendData(const uint8_t* data, int32_t length, uint64_t linkGeneration) {
  const std::shared_ptr<CMyWriter> writer = writerFor(datOutWriter, linkGeneration);
  if (!writer && linkGeneration != 0) {
    mainWindow->infoMsg("sendData WriteSync failed!");
    return false;
  }
  packetsExpected = length / static_cast<int32_t>(logger::kPacketSize);
  for (int32_t offset = 0; offset < length; offset += logger::kPacketSize) {
    uint32_t packet = static_cast<uint32_t>(std::min<int32_t>(logger::kPacketSize, length - offset));
    uint32_t status =
        writer ? writer->WriteSync(data + offset, &packet, logger::kWriteTimeoutMs) : usbstatus::kNotOpen;
    if (status != 0) {
      mainWindow->infoMsg("sendData WriteSync failed!");
      return false;
    }
    packetCount++;
    LinkEvent progress{LinkEvent::Kind::FirmwareProgress};
    progress.value = offset / static_cast<int32_t>(logger::kPacketSize) + 1;
    progress.total = packetsExpected.load();
    mainWindow->linkEvent(progress);
  }
  return true;
}
