#include "link/CsvExport.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>

#include "data/CsvWriter.h"
#include "data/SafeFile.h"
#include "link/LinkAccess.h"
#include "link/USBInterface.h"

namespace {
const char kFileOpenError[] = "File Open Error";
const char kFileWriteError[] = "File Write Error";
// A German line with a check sum comment is about 80 bytes; reserving a little more avoids regrowth.
constexpr size_t kLineReserve = 96;
}  // namespace

bool openSaveFile(WindowPort& window, SafeFile& file, const std::string& path) {
  if (!file.open(path)) {
    window.messageBox(MessageKind::Error, kCaptionFileError, kFileOpenError);
    window.errorMsg(kFileOpenError);
    return false;
  }
  if (file.inPlace()) window.infoMsg("Folder not writable: the file is overwritten in place");
  return true;
}

bool openDumpFile(WindowPort& window, SafeFile& file, const char* cancelLine, Outcome& failure) {
  std::string path;
  if (!window.dumpSaveDialog(path)) {
    window.errorMsg(cancelLine);
    failure = Outcome::Cancelled;
    return false;
  }
  if (!openSaveFile(window, file, path)) {
    failure = Outcome::FileError;
    return false;
  }
  return true;
}

void reportFileWriteError(WindowPort& window) {
  window.messageBox(MessageKind::Error, kCaptionFileError, kFileWriteError);
  window.errorMsg(kFileWriteError);
}

std::string formatMeasurements(WindowPort& window, const std::vector<messwert_tag>& records, size_t count,
                               const RegionalFormat& format, std::vector<messwert_tag>& written) {
  count = std::min(count, records.size());
  const csv::Writer writer(format, csv::CommentRule::RecordChecksum);
  std::string text;
  text.reserve(std::strlen(csv::kHeader) + 2 + count * kLineReserve);
  writer.header(text);
  written.clear();
  written.reserve(count);
  std::string line;  // the log line of a record, its buffer used again for the next
  std::string message;
  for (size_t i = 0; i < count; ++i) {
    const messwert_tag& record = records[i];
    const size_t start = text.size();
    size_t dateLength = 0;
    if (!writer.line(text, record, false, &message, &dateLength)) {
      line.assign("Fehler Messwert ");
      line += message;
      window.infoMsg(line);
      continue;  // the failed record keeps its number
    }
    char number[24];
    const auto end = std::to_chars(number, number + sizeof number, i + 1).ptr;
    line.assign(number, end);
    line += ' ';
    line.append(text, start, dateLength);
    window.infoMsg(line);
    written.push_back(record);
  }
  return text;
}

void exportMeasurements(USBInterface& link, const RegionalFormat& format) {
  WindowPort& window = *LinkAccess(link).mainWindow();
  SafeFile file;
  std::string path;
  const SaveTarget target = window.downloadTarget(path);
  if (target == SaveTarget::Cancelled) {
    window.errorMsg("User abort file open dialog");
    link.finishOperation(Operation::Download, Outcome::Cancelled);
    return;
  }
  if (target == SaveTarget::File && !openSaveFile(window, file, path)) {
    link.finishOperation(Operation::Download, Outcome::FileError);
    return;
  }
  window.startBusy();
  window.timeoutEnable(false);

  std::vector<messwert_tag>& records = LinkAccess(link).measurements();
  const size_t count =
      std::min(records.size(), static_cast<size_t>(std::max<int32_t>(0, LinkAccess(link).memUsed().load())));
  // The whole file is formatted first and written in one go.
  std::vector<messwert_tag> written;  // the records that go into the file
  const std::string text = formatMeasurements(window, records, count, format, written);
  // Every record not written was left out for its time stamp.
  const int64_t skipped = static_cast<int64_t>(count) - static_cast<int64_t>(written.size());

  if (target == SaveTarget::File && (!file.write(text.data(), text.size()) || !file.commit())) {
    // The half-written temporary goes before the error box, which waits for the user.
    file.discard();
    reportFileWriteError(window);
    link.finishOperation(Operation::Download, Outcome::FileError);
    return;
  }
  LinkEvent saved{LinkEvent::Kind::DownloadSaved};
  if (target == SaveTarget::File) saved.text = file.chosenPath();
  saved.value = static_cast<int64_t>(written.size());
  saved.skipped = skipped;
  saved.records = &written;
  saved.csv = &text;
  window.linkEvent(saved);
  records.erase(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(count));
  LinkAccess(link).downloadActive() = false;
  window.infoMsg("Download finished");
  window.stopBusy();
  link.finishOperation(Operation::Download, Outcome::Done, saved.value, skipped, saved.text);
}
