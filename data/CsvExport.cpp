#include "data/CsvExport.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "data/SafeFile.h"
#include "link/USBInterface.h"

namespace {
const char kFileOpenError[] = "File Open Error";
const char kFileWriteError[] = "File Write Error";
// A German line with a check sum comment is about 80 bytes; reserving a little more avoids regrowth.
constexpr size_t kLineReserve = 96;
}  // namespace

bool openChosenFile(WindowPort& window, SafeFile& file, const char* cancelLine, ChosenFile purpose) {
  std::string path;
  const bool chosen =
      purpose == ChosenFile::MemoryDump ? window.dumpSaveDialog(path) : window.saveDialog(path);
  if (!chosen) {
    window.errorMsg(cancelLine);
    return false;
  }
  if (!file.open(path)) {
    window.messageBox(MessageKind::Error, kCaptionFileError, kFileOpenError);
    window.errorMsg(kFileOpenError);
    return false;
  }
  if (file.inPlace()) window.infoMsg("Folder not writable: the file is overwritten in place");
  return true;
}

void reportFileWriteError(WindowPort& window) {
  window.messageBox(MessageKind::Error, kCaptionFileError, kFileWriteError);
  window.errorMsg(kFileWriteError);
}

void exportMeasurements(USBInterface& link, const RegionalFormat& format) {
  WindowPort& window = *link.mainWindow;
  SafeFile file;
  if (!openChosenFile(window, file, "User abort file open dialog")) return;
  window.startBusy();
  window.timeoutEnable(false);

  std::vector<messwert_tag>& records = link.measurements;
  const size_t count =
      std::min(records.size(), static_cast<size_t>(std::max<int32_t>(0, link.memUsed.load())));
  // The whole file is formatted first and written in one go.
  std::string text;
  text.reserve(std::strlen(csv::kHeader) + 2 + count * kLineReserve);
  text += csv::kHeader;
  text += "\r\n";
  std::vector<messwert_tag> written;  // the records that go into the file
  int64_t skipped = 0;                // and those left out
  written.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const messwert_tag& record = records[i];
    messwert::TimeStamp ts;
    std::string message;
    if (!messwert::timeStamp(record, ts, message)) {
      window.infoMsg("Fehler Messwert " + message);
      ++skipped;
      continue;  // the failed record keeps its number
    }
    window.infoMsg(std::to_string(i + 1) + " " + csv::formatDateTime(ts, format));
    text += csv::formatLine(record, ts, format);
    written.push_back(record);
  }

  if (!file.write(text.data(), text.size()) || !file.commit()) {
    // The half-written temporary goes before the error box, which waits for the user.
    file.discard();
    reportFileWriteError(window);
    return;
  }
  LinkEvent saved{LinkEvent::Kind::DownloadSaved};
  saved.text = file.chosenPath();
  saved.value = static_cast<int64_t>(written.size());
  saved.skipped = skipped;
  saved.records = &written;
  window.linkEvent(saved);
  records.erase(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(count));
  link.downloadActive = false;
  window.infoMsg("Download finished");
  window.stopBusy();
}
