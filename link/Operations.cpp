#include "link/Operations.h"

#include <memory>
#include <utility>

#include "link/LinkAccess.h"
#include "link/MyReader.h"
#include "link/USBInterface.h"

namespace operations {

bool startDownload(USBInterface& link) {
  link.beginOperation(Operation::Download);
  LinkAccess(link).mainWindow()->startBusy();
  LinkAccess(link).packetCount() = 0;
  LinkAccess(link).downloadActive() = true;
  // A command typed on the console that got no answer must not make this answer one only shown, nor
  // the count an update asked for that never came.
  LinkAccess(link).rawCommand() = false;
  LinkAccess(link).countOnly() = false;
  // The time-out is armed before the command goes out: the answer may be handled on the reader's
  // thread before this returns, and its "stop the time-out" must come after this.
  LinkAccess(link).mainWindow()->timeoutEnable(true);
  return link.sendCommand("mem.used");
}

bool startRecordCount(USBInterface& link) {
  link.beginOperation(Operation::FirmwareUpdate);
  LinkAccess(link).rawCommand() = false;
  LinkAccess(link).mainWindow()->startBusy();
  LinkAccess(link).mainWindow()->timeoutEnable(true);
  LinkAccess(link).countOnly() = true;
  if (link.sendCommand("mem.used")) return true;
  LinkAccess(link).countOnly() = false;  // the time-out ends the wait
  return false;
}

bool startFirmwareUpdate(USBInterface& link) {
  // The count before it belongs to the same update.
  if (link.currentOperation() != Operation::FirmwareUpdate) link.beginOperation(Operation::FirmwareUpdate);
  LinkAccess(link).packetCount() = 0;
  LinkAccess(link).rawCommand() = false;
  // Busy state and time-out first, for the same reason as in a download.
  LinkAccess(link).mainWindow()->startBusy();
  LinkAccess(link).mainWindow()->timeoutInterval(kUpdateAnswerTimeoutMs);
  LinkAccess(link).mainWindow()->timeoutEnable(true);
  return link.sendCommand("device.software");
}

bool startSetTime(USBInterface& link, const std::string& clockText) {
  LinkAccess(link).rawCommand() = false;
  link.beginSetTime();
  if (link.sendCommand("date.date=" + clockText)) return true;
  link.finishSetTime(Outcome::Failed);
  return false;
}

bool startRawCommand(USBInterface& link, const std::string& text) {
  link.beginRawCommand(text, false);
  if (link.sendCommand(text)) return true;
  link.finishRawCommand(Outcome::Failed);
  return false;
}

bool startRawCommandByName(USBInterface& link, const std::string& text) {
  link.beginRawCommand(text, true);
  if (link.sendCommand(text)) return true;
  link.finishRawCommand(Outcome::Failed);
  return false;
}

bool startMemoryLoad(USBInterface& link, const std::string& address, const std::string& length,
                     int32_t bytes) {
  link.beginOperation(Operation::MemoryLoad);
  LinkAccess(link).memLoadActive() = true;
  LinkAccess(link).packetCount() = 0;
  LinkAccess(link).packetsExpected() = bytes / static_cast<int32_t>(logger::kPacketSize);
  if (link.sendCommand("mem.load=" + address + "," + length)) return true;
  // No time-out watches a memory load: a command that did not go out ends it here.
  link.finishOperation(Operation::MemoryLoad, Outcome::Failed);
  return false;
}

bool startMemorySave(USBInterface& link, const std::string& address, const std::string& length,
                     std::vector<uint8_t> data) {
  link.beginOperation(Operation::MemorySave);
  LinkAccess(link).packetCount() = 0;
  const uint64_t generation = link.linkGeneration();
  link.requestSave(USBInterface::SaveRequest::Console, std::move(data), generation);
  if (link.sendCommand("mem.save=" + address + "," + length)) return true;
  link.requestSave(USBInterface::SaveRequest::None, {}, generation);
  link.finishOperation(Operation::MemorySave, Outcome::Failed);
  return false;
}

void drainAnswers(USBInterface& link, bool on) {
  LinkAccess(link).drainingAnswers() = on;
}

uint32_t answerReadsPosted(USBInterface& link) {
  const std::shared_ptr<CMyReader> reader = LinkAccess(link).inReader();
  return reader ? reader->ReadsPosted() : 0;
}

std::string softwareVersionIn(const std::string& answer) {
  static const std::string kName = "device.software=";
  if (answer.compare(0, kName.size(), kName) != 0) return std::string();
  // The version is the first field, as the firmware update reads it.
  std::string version = answer.substr(kName.size());
  version = version.substr(0, version.find(','));
  while (!version.empty() && version.back() == ' ') version.pop_back();
  return version;
}

void answerTimedOut(USBInterface& link) {
  link.finishCurrentOperation(Outcome::NoAnswer);
}

void cancel(USBInterface& link) {
  link.finishCurrentOperation(Outcome::Cancelled);
}

}  // namespace operations
