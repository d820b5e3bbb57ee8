// The main window's work with the history, off the GUI thread: a saved download's import, what the
// connected logger met noted in its history, whose an opened file is and the file's import. One job
// at a time, in the order given, so that nothing overtakes an import before it; each result comes
// back on the GUI thread through the window's queue. The window keeps the boxes and the status bar.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "SerialWorker.h"
#include "data/Messwert.h"
#include "history/DownloadImport.h"
#include "history/FileOwner.h"
#include "history/History.h"

class GuiQueue;

class WindowHistory {
 public:
  // `location` names the history when a job is given (empty: none known); results are posted to `gui`.
  WindowHistory(GuiQueue& gui, std::function<std::string()> location);
  WindowHistory(const WindowHistory&) = delete;
  WindowHistory& operator=(const WindowHistory&) = delete;

  // Returns once every job given so far has run (their results are dropped once the queue is closed).
  void finish() { worker_.finish(); }

  using Records = std::shared_ptr<const std::vector<messwert_tag>>;
  using Flags = std::shared_ptr<const std::vector<bool>>;

  // A saved download into the history named now (`what.database` is filled in here).
  void importDownload(history::DownloadImport what, Records records,
                      std::function<void(const history::DownloadImported&)> done);

  // Notes something about `logger` (already its history key); `failed` hears why when it could not.
  // Nothing happens when no history is known.
  using Note = std::function<bool(history::Store&, const std::string& logger, std::string& error)>;
  void note(const std::string& logger, Note note, std::function<void(const std::string& error)> failed);

  // The most records one download of the logger (its serial-number string) brought into the history.
  void downloadedRecords(const std::string& serialText,
                         std::function<void(int64_t downloaded, const std::string& error)> done);

  struct OpenedFile {
    Records records;
    Flags flags;
    history::FileOwner owner;
    std::string historyError;  // why the history could not say whose the file is; empty: it could
  };
  // Reads a CSV file and asks the history whose it is; `refused` hears why a file cannot be read.
  void openFile(const QString& path, std::function<void(const OpenedFile&)> read,
                std::function<void(const std::string& reason)> refused);

  struct FileImported {
    bool ok = false;  // taken into `logger`'s history
    history::ImportResult result;
    std::string error;   // why not, when a logger was given
    std::string notice;  // what opening the history did that the user should hear of
    std::shared_ptr<const std::vector<history::StoredRecord>> shown;  // the file's records to show
  };
  // Takes an opened file's records into `logger`'s history; an empty logger keeps them apart (they are
  // only shown, under the file's name).
  void importFile(const QString& path, const std::string& logger, Records records, Flags flags,
                  std::function<void(const FileImported&)> done);

 private:
  GuiQueue& gui_;
  std::function<std::string()> location_;
  SerialWorker worker_;  // declared last: its thread ends before the members its jobs use
};
