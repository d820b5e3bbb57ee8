#include "link/MyReader.h"

#include <cstring>

#include "data/LoggerText.h"
#include "data/Text.h"
#include "link/Firmware.h"
#include "link/Stringtokenizer.h"
#include "link/USBInterface.h"

std::string answerText(const CUsbBuf* buffer) {
  const char* bytes = static_cast<const char*>(buffer->Data());
  size_t received = std::min<size_t>(buffer->bytesTransferred, buffer->Size());
  const void* zero = std::memchr(bytes, 0, received);
  return std::string(bytes, zero ? static_cast<const char*>(zero) - bytes : received);
}

CMyReader::CMyReader(USBInterface* owner_, uint64_t linkGeneration)
    : owner(owner_), generation(linkGeneration) {}
CMyReader::~CMyReader() = default;

void CMyReader::ProcessData(CUsbBuf* buffer) {
  if (buffer->status != 0) {
    char text[256];
    FormatStatusText(text, sizeof text, buffer->status);
    owner->mainWindow->infoMsg(std::string("Error ProcessData: ") + text);
    return;
  }
  HandleAnswer(answerText(buffer));
}

void CMyReader::PrepareBuffer(CUsbBuf* buffer) {
  CUsbReader::PrepareBuffer(buffer);
  readsPosted_.fetch_add(1);
}

void CMyReader::HandleAnswer(const std::string& text) {
  WindowPort* window = owner->mainWindow;
  const std::string shown = loggerText(text);
  window->responseLine(shown);
  window->infoMsg(shown);
  if (owner->consoleAnswer(shown)) return;
  if (owner->drainingAnswers) return;
  // The answer to a command typed on the service console is only shown.
  if (owner->rawCommand.exchange(false)) {
    owner->finishRawCommand(Outcome::Done, shown);
    return;
  }

  tokenizer tok(text, "=,");
  const std::string name = tok.hasMoreTokens() ? tok.nextToken() : std::string();
  if (name == "date.date") {
    owner->finishSetTime(Outcome::Done);
  } else if (name == "mem.load") {
    // the requested memory follows on the data-in pipe
  } else if (name == "mem.save") {
    AnswerMemSave();
  } else if (name == "mem.used") {
    AnswerMemUsed(tok);
  } else if (name == "device.software") {
    AnswerDeviceSoftware(tok);
  } else if (name == "firmware.check") {
    AnswerFirmwareCheck(tok);
  }
}

void CMyReader::AnswerMemUsed(tokenizer& tok) {
  WindowPort* window = owner->mainWindow;
  window->timeoutEnable(false);
  const int32_t records = tok.hasMoreTokens() ? leadingInt(tok.nextToken()) : 0;
  if (owner->countOnly.exchange(false)) {
    // Asked for the count alone: the operation that asked goes on from the event.
    LinkEvent counted{LinkEvent::Kind::RecordCount};
    counted.value = records;
    window->linkEvent(counted);
    return;
  }
  owner->memUsed = records;
  LinkEvent stored{LinkEvent::Kind::StoredRecords};
  stored.value = records;
  window->linkEvent(stored);
  // Whole 256-byte pages of 8 records are read.
  const int64_t pages =
      records >= 0 ? (static_cast<int64_t>(records) + 7) / 8 : -(-static_cast<int64_t>(records) / 8);
  const int64_t bytes = pages * 256;
  owner->packetsExpected = static_cast<int32_t>(bytes / logger::kPacketSize);
  if (records <= 0) {
    window->errorMsg("No data stored!");
    owner->finishOperation(generation, Operation::Download, Outcome::NoRecords);
    return;
  }
  if (bytes > static_cast<int64_t>(logger::kMemorySize)) {
    window->errorMsg("Stored data exceeds memory image");
    owner->finishOperation(generation, Operation::Download, Outcome::Failed);
    return;
  }
  window->timeoutInterval(10000);
  window->timeoutEnable(true);
  owner->sendCommand("mem.load=0," + std::to_string(bytes), generation);
}

void CMyReader::AnswerDeviceSoftware(tokenizer& tok) {
  WindowPort* window = owner->mainWindow;
  std::vector<uint8_t> image;
  if (!firmware::loadImage(image)) {
    window->infoMsg("Can't load firmware");
    owner->finishOperation(generation, Operation::FirmwareUpdate, Outcome::Failed);
    return;
  }
  // An image is kept only for the update this answer starts.
  firmwareImage_.clear();
  firmwareImage_.shrink_to_fit();
  if (!tok.hasMoreTokens()) {
    window->infoMsg("Error in answer (software version)");
    owner->finishOperation(generation, Operation::FirmwareUpdate, Outcome::Failed);
    return;
  }
  const std::string deviceVersion = tok.nextToken();
  const char* imageBytes = reinterpret_cast<const char*>(image.data());
  const std::string imageVersion(imageBytes, strnlen(imageBytes, image.size()));
  LinkEvent version{LinkEvent::Kind::SoftwareVersion};
  version.text = loggerText(deviceVersion);
  window->linkEvent(version);
  window->infoMsg("Device software version= " + loggerText(deviceVersion));
  window->infoMsg("Update software version= " + imageVersion);
  // Byte strings compared as unsigned bytes; a prefix sorts first.
  if (imageVersion.compare(deviceVersion) < 0) {
    window->messageBox(MessageKind::Information, kCaptionInformation, "Your firmware is up-to-date");
    owner->finishOperation(generation, Operation::FirmwareUpdate, Outcome::UpToDate, 0, 0,
                           loggerText(deviceVersion));
    return;
  }
  firmwareImage_ = std::move(image);
  owner->requestSave(USBInterface::SaveRequest::Firmware, {}, generation);
  owner->sendCommand("mem.save=" + std::to_string(firmware::kAddress) + "," + std::to_string(firmware::kSize),
                     generation);
}

void CMyReader::AnswerMemSave() {
  WindowPort* window = owner->mainWindow;
  std::vector<uint8_t> bytes;
  const USBInterface::SaveRequest request = owner->takeSaveRequest(generation, bytes);
  // This link's pipes: when the link has ended meanwhile, a newer one gets none of it.
  if (request == USBInterface::SaveRequest::Console) {
    const bool sent = owner->sendData(bytes.data(), static_cast<int32_t>(bytes.size()), generation);
    owner->finishOperation(generation, Operation::MemorySave, sent ? Outcome::Done : Outcome::Failed,
                           sent ? static_cast<int64_t>(bytes.size()) : 0);
    return;
  }
  std::vector<uint8_t> image = std::move(firmwareImage_);
  firmwareImage_ = {};
  // The image goes out only for the answer to the request of the update that loaded it.
  if (request != USBInterface::SaveRequest::Firmware || image.empty()) {
    window->messageBox(MessageKind::Error, kCaptionError, "Update failed");
    owner->finishOperation(generation, Operation::FirmwareUpdate, Outcome::Failed);
    return;
  }
  owner->sendData(image.data(), static_cast<int32_t>(image.size()), generation);
  Sleep(firmware::checkPauseMs());
  owner->sendCommand("firmware.check", generation);
}

void CMyReader::AnswerFirmwareCheck(tokenizer& tok) {
  WindowPort* window = owner->mainWindow;
  if (tok.hasMoreTokens() && leadingInt(tok.nextToken()) == 1) {
    window->infoMsg("Start firmware update");
    // The logger leaves the bus as soon as it has the command: that end of the link is expected.
    owner->restartPending = true;
    const bool sent = owner->sendCommand("firmware.update", generation);
    if (sent) window->linkEvent({LinkEvent::Kind::FirmwareRestart});
    owner->finishOperation(generation, Operation::FirmwareUpdate, sent ? Outcome::Done : Outcome::Failed);
    owner->restartPending = false;
  } else {
    window->messageBox(MessageKind::Error, kCaptionError, "Update failed");
    owner->finishOperation(generation, Operation::FirmwareUpdate, Outcome::Failed);
  }
}

void CMyReader::OnWorkerExit() {
  AbortTransfers();
  owner->mainWindow->infoMsg("Worker thread exits");
  owner->disconnectLink(generation);
}

CMyWriter::CMyWriter(USBInterface* owner_, uint64_t linkGeneration)
    : owner(owner_), generation(linkGeneration) {}
CMyWriter::~CMyWriter() = default;

void CMyWriter::PrepareBuffer(CUsbBuf*) {}

void CMyWriter::HandleBufferError(CUsbBuf*) {
  owner->mainWindow->infoMsg("Write Error");
}

void CMyWriter::OnWorkerExit() {
  AbortTransfers();
  owner->mainWindow->infoMsg("Worker thread exits");
  owner->disconnectLink(generation);
}
