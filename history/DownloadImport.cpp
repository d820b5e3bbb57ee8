#include "history/DownloadImport.h"

#include <algorithm>
#include <ctime>
#include <filesystem>

#include "data/LoggerText.h"

namespace history {
namespace {

const char kNoDatabase[] = "no folder for the history is known (HOME is not set)";

}  // namespace

const char kNoSerialLogger[] = "no serial number";

std::string fileKey(const std::string& file) {
  std::error_code failed;
  const std::filesystem::path path = std::filesystem::absolute(file, failed);
  return failed ? file : path.lexically_normal().string();
}

std::string loggerKey(const std::string& serialText) {
  // As the window shows it: a control character in a serial number never reaches the history.
  return serialText.empty() ? std::string(kNoSerialLogger) : loggerText(serialText);
}

DownloadImported importDownload(const DownloadImport& what, const std::vector<messwert_tag>& records,
                                Store* into) {
  DownloadImported out;
  if (what.database.empty()) {
    out.error = kNoDatabase;
    return out;
  }
  Store own;
  Store& store = into != nullptr ? *into : own;
  store.setBusyTimeout(what.busyTimeoutMs);
  if (what.waitNotice) store.setWaitNotice(what.waitNotice);
  struct Forget {
    Store& store;
    ~Forget() { store.setWaitNotice(nullptr); }
  } forget{store};
  if (store.isOpen() || store.open(what.database, out.error)) {
    DownloadOrigin origin;
    origin.device = what.device;
    origin.computer = thisComputer();
    origin.firmware = what.firmware;
    origin.clockZone = localZone(what.now != 0 ? what.now : static_cast<int64_t>(std::time(nullptr)));
    out.ok = store.importDownload(loggerKey(what.logger), what.file.empty() ? "-" : fileKey(what.file),
                                  records, origin, out.result, out.error);
  }
  out.notice = store.notice();
  return out;
}

int64_t downloadedRecords(const std::string& database, const std::string& serialText, std::string& error) {
  if (database.empty()) {
    error = kNoDatabase;
    return 0;
  }
  Store store;
  if (!store.open(database, error)) return 0;
  const int64_t largest = store.largestDownload(loggerKey(serialText));
  if (largest < 0) error = store.lastError();
  return std::max<int64_t>(largest, 0);
}

}  // namespace history
