#include "link/MyDatReader.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "data/SafeFile.h"
#include "data/Text.h"
#include "link/CsvExport.h"
#include "link/USBInterface.h"
#include "usbio/UsbStatus.h"

namespace {
constexpr int32_t kMaxRecords = static_cast<int32_t>(logger::kMemorySize / messwert::kRecordSize);
}

CMyDatReader::CMyDatReader(USBInterface* owner, uint64_t linkGeneration)
    : owner(owner), generation(linkGeneration) {}

CMyDatReader::~CMyDatReader() = default;

void CMyDatReader::ProcessData(CUsbBuf* buffer) {
  WindowPort& window = *owner->mainWindow;
  // Checked before the status: aborted reads at a disconnect land here too.
  if (!owner->downloadActive && !owner->memLoadActive) {
    window.infoMsg("received unexpected binary data");
    return;
  }
  if (buffer->status != 0) {
    char text[256];
    CUsbDevice::FormatStatusText(text, sizeof text, buffer->status);
    window.errorMsg(std::string("Error MyDatReader: ") + text);
    // A logger that left the bus, or the link's end cancelling the reads, ends the transfer as the
    // link's end does; the teardown may not have got there yet.
    const bool ended =
        buffer->status == usbdrv::kStatusDeviceRemoved || buffer->status == usbdrv::kStatusCancelled;
    owner->finishOperation(generation, owner->memLoadActive ? Operation::MemoryLoad : Operation::Download,
                           ended ? Outcome::Disconnected : Outcome::Failed);
    return;
  }

  const int32_t count = owner->packetCount.load();
  if (count == 0) overflowReported = false;  // a new transfer
  if (count < 0 || count >= logger::kMaxPackets) {
    if (!overflowReported) {
      overflowReported = true;
      window.infoMsg("Data beyond memory image dropped");
    }
    return;
  }
  // Every block is a full 64 bytes; what a short packet did not deliver is stored as zeros.
  uint8_t* block = owner->memoryImage.data() + static_cast<size_t>(count) * logger::kPacketSize;
  const uint32_t received = buffer->Data() != nullptr ? std::min(buffer->Size(), logger::kPacketSize) : 0;
  if (received > 0) std::memcpy(block, buffer->Data(), received);
  std::memset(block + received, 0, logger::kPacketSize - received);
  owner->packetCount = count + 1;
  const int32_t expected = owner->packetsExpected.load();
  LinkEvent progress{LinkEvent::Kind::DataProgress};
  progress.value = count + 1;
  progress.total = expected;
  window.linkEvent(progress);
  if (count + 1 != expected) return;

  window.responseLine("Download complete");
  if (owner->memLoadActive)
    completeMemoryRead();
  else
    completeDownload();
}

void CMyDatReader::completeMemoryRead() {
  WindowPort& window = *owner->mainWindow;
  SafeFile file;
  Outcome failure = Outcome::Failed;
  if (!openDumpFile(window, file, "Abort", failure)) {
    owner->finishOperation(generation, Operation::MemoryLoad, failure);
    return;
  }
  // The length is the one typed when the transfer ends, not when it started.
  int32_t length = strToIntDef0(window.lengthText());
  if (length > static_cast<int32_t>(logger::kMemorySize)) {
    window.infoMsg("Dump length cut to 524288 bytes");
    length = static_cast<int32_t>(logger::kMemorySize);
  }
  if (length > 0) file.write(owner->memoryImage.data(), static_cast<size_t>(length));
  if (!file.commit()) {
    reportFileWriteError(window);
    owner->finishOperation(generation, Operation::MemoryLoad, Outcome::FileError);
    return;
  }
  LinkEvent saved{LinkEvent::Kind::MemorySaved};
  saved.text = file.chosenPath();
  saved.value = std::max(length, 0);
  window.linkEvent(saved);
  owner->memLoadActive = false;
  window.infoMsg("Download finished");
  window.stopBusy();
  owner->finishOperation(generation, Operation::MemoryLoad, Outcome::Done, saved.value, 0, saved.text);
}

void CMyDatReader::completeDownload() {
  std::vector<messwert_tag>& records = owner->measurements;
  records.clear();
  const int32_t used = std::clamp(owner->memUsed.load(), 0, kMaxRecords);
  records.reserve(static_cast<size_t>(used));
  for (int32_t i = 0; i < used; ++i)
    records.push_back(
        messwert::fromBytes(owner->memoryImage.data() + static_cast<size_t>(i) * messwert::kRecordSize));
  messwert::sortRecords(records);
  owner->mainWindow->errorMsg("sortiert");
  exportMeasurements(*owner, exportFormat());
}

void CMyDatReader::OnWorkerExit() {
  AbortTransfers();
  owner->mainWindow->errorMsg("Worker thread exits");
  owner->disconnectLink(generation);
}
