#include "link/CsvExport.h"

#include <algorithm>
#include <charconv>
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

bool openChosenFile(WindowPort& window, SafeFile& file, const char* cancelLine, ChosenFile purpose,
                    Outcome& failure) {
  std::string path;
  const bool chosen =
      purpose == ChosenFile::MemoryDump ? window.dumpSaveDialog(path) : window.saveDialog(path);
  if (!chosen) {
    window.errorMsg(cancelLine);
    failure = Outcome::Cancelled;
    return false;
  }
  if (!file.open(path)) {
    window.messageBox(MessageKind::Error, kCaptionFileError, kFileOpenError);
    window.errorMsg(kFileOpenError);
    failure = Outcome::FileError;
    return false;
  }
  if (file.inPlace()) window.infoMsg("Folder not writable: the file is overwritten in place");
  return true;
}

void reportFileWriteError(WindowPort& window) {
  window.messageBox(MessageKind::Error, kCaptionFileError, kFileWriteError);
  window.errorMsg(kFileWriteError);
}

std::string formatMeasurements(WindowPort& window, const std::vector<messwert_tag>& records, size_t count,
                               const RegionalFormat& format, std::vector<messwert_tag>& written) {
  count = std::min(count, records.size());
  std::string text;
  text.reserve(std::strlen(csv::kHeader) + 2 + count * kLineReserve);
  text += csv::kHeader;
  text += "\r\n";
  written.clear();
  written.reserve(count);
  std::string line;  // the log line of a record, its buffer used again for the next
  std::string message;
  for (size_t i = 0; i < count; ++i) {
    const messwert_tag& record = records[i];
    messwert::TimeStamp ts;
    if (!messwert::timeStamp(record, ts, message)) {
      line.assign("Fehler Messwert ");
      line += message;
      window.infoMsg(line);
      continue;  // the failed record keeps its number
    }
    char number[24];
    const auto end = std::to_chars(number, number + sizeof number, i + 1).ptr;
    line.assign(number, end);
    line += ' ';
    const size_t date = line.size();
    csv::appendDateTime(line, ts, format);
    window.infoMsg(line);
    text.append(line, date, std::string::npos);  // the line starts with the date just logged
    csv::appendFields(text, record, format.decimalSeparator);
    written.push_back(record);
  }
  return text;
}

void exportMeasurements(USBInterface& link, const RegionalFormat& format) {
  WindowPort& window = *link.mainWindow;
  SafeFile file;
  Outcome failure = Outcome::Failed;
  if (!openChosenFile(window, file, "User abort file open dialog", ChosenFile::Measurements, failure)) {
    link.finishOperation(Operation::Download, failure);
    return;
  }
  window.startBusy();
  window.timeoutEnable(false);

  std::vector<messwert_tag>& records = link.measurements;
  const size_t count =
      std::min(records.size(), static_cast<size_t>(std::max<int32_t>(0, link.memUsed.load())));
  // The whole file is formatted first and written in one go.
  std::vector<messwert_tag> written;  // the records that go into the file
  const std::string text = formatMeasurements(window, records, count, format, written);
  // Every record not written was left out for its time stamp.
  const int64_t skipped = static_cast<int64_t>(count) - static_cast<int64_t>(written.size());

  if (!file.write(text.data(), text.size()) || !file.commit()) {
    // The half-written temporary goes before the error box, which waits for the user.
    file.discard();
    reportFileWriteError(window);
    link.finishOperation(Operation::Download, Outcome::FileError);
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
  link.finishOperation(Operation::Download, Outcome::Done, saved.value, skipped, saved.text);
}
