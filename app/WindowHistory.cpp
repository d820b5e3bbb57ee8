#include "WindowHistory.h"

#include <QFile>
#include <QFileInfo>

#include "CodePage.h"
#include "GuiQueue.h"

WindowHistory::WindowHistory(GuiQueue& gui, std::function<std::string()> location)
    : gui_(gui), location_(std::move(location)) {}

void WindowHistory::importDownload(history::DownloadImport what, Records records,
                                   std::function<void(const history::DownloadImported&)> done) {
  what.database = location_();
  worker_.post([this, what, records, done = std::move(done)] {
    const history::DownloadImported imported = history::importDownload(what, *records);
    gui_.post([done, imported] { done(imported); });
  });
}

void WindowHistory::note(const std::string& logger, Note note,
                         std::function<void(const std::string& error)> failed) {
  const std::string database = location_();
  if (database.empty()) return;
  worker_.post([this, database, logger, note = std::move(note), failed = std::move(failed)] {
    history::Store store;
    std::string error;
    if (store.open(database, error) && note(store, logger, error)) return;
    gui_.post([failed, error] { failed(error); });
  });
}

void WindowHistory::downloadedRecords(
    const std::string& serialText, std::function<void(int64_t downloaded, const std::string& error)> done) {
  const std::string database = location_();
  worker_.post([this, database, serialText, done = std::move(done)] {
    std::string error;
    const int64_t downloaded = history::downloadedRecords(database, serialText, error);
    gui_.post([done, downloaded, error] { done(downloaded, error); });
  });
}

void WindowHistory::openFile(const QString& path, std::function<void(const OpenedFile&)> read,
                             std::function<void(const std::string& reason)> refused) {
  const std::string database = location_();
  const std::string fileName = QFile::encodeName(path).toStdString();
  const std::string stem = cp1252::fromQString(QFileInfo(path).completeBaseName());
  worker_.post([this, database, fileName, stem, read = std::move(read), refused = std::move(refused)] {
    auto records = std::make_shared<std::vector<messwert_tag>>();
    auto flags = std::make_shared<std::vector<bool>>();
    std::string error;
    if (!history::readCsvFile(fileName, *records, *flags, error)) {
      gui_.post([refused, error] { refused(error); });
      return;
    }
    OpenedFile opened{records, flags, {}, {}};
    if (!database.empty()) {
      history::Store store;
      if (!store.open(database, error) ||
          !history::fileOwner(store, fileName, stem, *records, *flags, opened.owner, error))
        opened.historyError = error.empty() ? "the history could not be read" : error;
    }
    gui_.post([read, opened] { read(opened); });
  });
}

void WindowHistory::importFile(const QString& path, const std::string& logger, Records records, Flags flags,
                               std::function<void(const FileImported&)> done) {
  const std::string database = location_();
  const std::string fileName = QFile::encodeName(path).toStdString();
  worker_.post([this, database, fileName, logger, records, flags, done = std::move(done)] {
    FileImported imported;
    history::Store store;
    if (logger.empty()) {
      // Kept apart: shown under the file's name, not taken into any logger's history.
    } else if (database.empty()) {
      imported.error = "no folder for the history is known (HOME is not set)";
    } else if (store.open(database, imported.error)) {
      imported.ok =
          store.importCsvRecords(logger, fileName, *records, *flags, imported.result, imported.error);
    }
    imported.notice = store.notice();
    auto shown = std::make_shared<std::vector<history::StoredRecord>>();
    shown->reserve(records->size());
    for (size_t i = 0; i < records->size(); ++i) {
      history::StoredRecord r{logger, (*records)[i], 0, (*flags)[i]};
      r.fromFile = true;
      if (history::recordTime((*records)[i], r.time)) shown->push_back(r);
    }
    imported.shown = std::move(shown);
    gui_.post([done, imported] { done(imported); });
  });
}
