// The main window: the log, the three operations, the timers, the service console, and the window
// entry points through which the link and data layers report from any thread.
#pragma once

#include <QDateTime>
#include <QFileDialog>
#include <QPointer>
#include <QStringList>
#include <QWidget>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "GuiQueue.h"
#include "WindowHistory.h"
#include "link/WindowPort.h"

namespace history {
class Store;
}

class LogPane;
class LoggersWindow;
class MeasurementsWindow;
class QAction;
class QMenu;
class QMenuBar;
class QTimer;
class StatusBar;
class USBInterface;

namespace Ui {
class TfrmMain;
}

class TfrmMain : public QWidget, public WindowPort {
  Q_OBJECT
 public:
  // Creates the window and runs the start-up connect (scan, selection dialog, connect).
  explicit TfrmMain(QWidget* parent = nullptr);
  ~TfrmMain() override;

  // Window entry points (any thread).
  void errorMsg(const std::string& line) override;
  void infoMsg(const std::string& line) override;
  void startBusy() override;
  void stopBusy() override;
  void responseLine(const std::string& line) override;
  void timeoutEnable(bool enabled) override;
  void timeoutInterval(int milliseconds) override;
  bool saveDialog(std::string& path) override;
  bool dumpSaveDialog(std::string& path) override;
  void messageBox(MessageKind kind, const std::string& caption, const std::string& text) override;
  std::string lengthText() override;
  void linkEvent(const LinkEvent& event) override;

  // Re-connects when the logger is not connected; the caller tests usb->isConnected() afterwards.
  void connectDevice();

  // The PC clock that Set Time and the clock display read; tests fix it.
  void setClock(std::function<QDateTime()> clock) { clock_ = std::move(clock); }
  // Closing the window ends the process at once (exit code 0); tests switch that off.
  void setExitOnClose(bool exitOnClose) { exitOnClose_ = exitOnClose; }
  // The service console: shows pnlDebug and makes the window tall enough for it; Ctrl+Shift+D (and
  // Logger > Service Console) shows it and hides it again.
  void showServiceConsole();
  void hideServiceConsole();

  // The area that holds the window's controls (632 x 455), between the menu bar and the status bar.
  QWidget* clientArea() const { return client_; }
  StatusBar* status() const { return status_; }
  LogPane* logPane() const { return log_; }
  // Effects queued for the GUI thread and not yet carried out.
  size_t pendingEffects() const { return queue_.pending(); }
  // View > Measurements: the measurements window, created when first asked for.
  MeasurementsWindow* showMeasurements();
  // View > Loggers: every logger of the history; a double-click shows its measurements.
  LoggersWindow* showLoggers();
  // The measurements window with a logger of the history, or several on one chart.
  MeasurementsWindow* showLoggerMeasurements(const QStringList& loggers);
  // File > History Location...: the history database this window reads and adds to, kept in the
  // settings; empty takes the default.
  void chooseHistoryLocation();
  void setHistoryLocation(const QString& location);
  // The files of File > Recent Files, newest first; files that are gone are left out.
  QStringList recentFiles() const;
  // The history (a file's native name or a server's location): the one set here, else
  // $TARNWICK_HISTORY, else the History Location setting, else history::Store::defaultPath(). Every
  // saved download is added to it on a worker thread with a connection of its own.
  void setHistoryPath(const std::string& path) { historyPath_ = path; }
  std::string historyPath() const;

  USBInterface* usb = nullptr;
  QTimer* timUpdate;
  QTimer* timTimeout;
  QTimer* timKeep;
  // Made when first used: Qt's own file dialog is a good part of the start-up to build.
  class LazyFileDialog {
   public:
    void setMaker(std::function<QFileDialog*()> make) { make_ = std::move(make); }
    QFileDialog* get() {
      if (!dialog_) dialog_ = make_();
      return dialog_;
    }
    QFileDialog* operator->() { return get(); }
    operator QFileDialog*() { return get(); }

   private:
    std::function<QFileDialog*()> make_;
    QPointer<QFileDialog> dialog_;
  };
  LazyFileDialog OpenDialog1;
  LazyFileDialog SaveDialog1;

 public slots:
  void btnDownloadClick();
  void btnUpdateClick();
  void spbDateClick();
  void dtpDateChange();
  void timUpdateTimer();
  void timTimeoutTimer();
  void timKeepTimer();
  void btnSendClick();
  void btnLoadClick();
  void btnSaveClick();
  void btnDisconnectClick();
  // File > Open Measurements: asks for a CSV file that Tarnwick wrote, takes it into the history and
  // shows it in the measurements window; a file it cannot read is refused with a message.
  void openMeasurementsDialog();
  void openMeasurementsFile(const QString& path);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void FormCreate();
  // Scan, choose and connect: shared by the start-up connect and connectDevice.
  void scanAndConnect();
  void setOuterHeight(int height);
  // Sizes the window so that the client area gets this height (and the width it has).
  void setClientHeight(int height);
  void showClock();
  // The menu bar, File > Recent Files and the Help items (MainWindowMenus.cpp).
  void buildMenus();
  void fillRecentMenu();
  void addRecentFile(const QString& path);
  void setOperationsEnabled(bool enabled);
  // Firmware Update in three steps: the logger's record count, the history's word on whether those
  // records were downloaded (asked only when the image would overwrite some), then the update.
  void checkRecordsBeforeUpdate(int64_t stored);
  void decideUpdate(int64_t stored, int64_t downloaded, const QString& historyError);
  void startUpdate();
  // The text of a Help item (":/help/<name>.html"); empty when the program was built without it.
  static QString helpText(const QString& name);
  void showHelp(const QString& title, const QString& text);
  // The link's events, on the GUI thread; `records` are those of a saved download.
  void applyLinkEvent(const LinkEvent& event,
                      std::shared_ptr<const std::vector<messwert_tag>> records = nullptr);
  // Adds a saved download to the history off the GUI thread; the outcome comes back through the queue.
  void importDownload(const QString& file, std::shared_ptr<const std::vector<messwert_tag>> records,
                      int64_t skipped);
  void openRefused(const QString& path, const QString& reason);
  // An opened file's records go to the logger the history knows it for, or to the one the user
  // confirms when the history suggests one; otherwise they are kept apart, under the file's name.
  void askWhoseFile(const QString& path, const WindowHistory::OpenedFile& opened);
  // Shows an opened file's records and what its import did.
  void openedFileImported(const QString& path, const QString& loggerName,
                          const WindowHistory::FileImported& imported);
  // The history's word on an import, on the GUI thread: the status bar, and one log line if it failed.
  void historyOutcome(int token, const QString& logger, bool ok, qint64 added, const QString& error,
                      const QString& notice);
  // Notes something the connected logger met (its clock's zone, its firmware version) in its history,
  // off the GUI thread, after the imports before it; a failure is one log line naming `what`.
  void noteInHistory(const QString& what, WindowHistory::Note note);

  // GUI thread: the effects themselves.
  void appendLog(const QString& line);
  void appendResponse(const QString& line);
  void noteAnswer(const QString& line);
  void flushText();
  void openLogFile();
  void enterBusy();
  void leaveBusy();

  std::unique_ptr<Ui::TfrmMain> ui;
  QWidget* client_;
  QMenuBar* menuBar_;
  StatusBar* status_;
  LogPane* log_;
  QAction* actDownload_;
  QAction* actSetTime_;
  QAction* actUpdate_;
  QAction* actConsole_;
  QMenu* recentMenu_;
  QPointer<MeasurementsWindow> measurements_;
  QPointer<LoggersWindow> loggers_;
  GuiQueue queue_;
  QStringList pendingResponse_;
  std::deque<QString> answers_;  // answers shown on the console whose log line is still to come
  QString lastSaveName_;
  QString logger_;                          // the serial-number string of the logger connected last
  std::string loggerDevice_;                // where it was reached: "USB", "virtual" or empty
  std::string loggerSoftware_;              // the firmware version it reported on this link, or empty
  QString shownLogger_;                     // the logger whose records the measurements window is offered for
  std::string historyPath_;                 // empty: the default
  std::unique_ptr<history::Store> store_;   // the measurements window's connection (GUI thread)
  std::unique_ptr<WindowHistory> history_;  // imports and notes, one at a time, in the order given
  std::function<QDateTime()> clock_;
  // The newest transfer progress; one queued effect at a time carries it to the GUI thread.
  std::mutex progressMutex_;
  LinkEvent latestProgress_{LinkEvent::Kind::DataProgress};
  bool progressQueued_ = false;
  bool exitOnClose_ = true;
  bool recordCheckPending_ = false;  // a Firmware Update waits for the logger's record count
};

// The text of a "date.date" command for a local time: always "dd.mm.yyyy hh:mm:ss" with "." and
// ":", whatever the user's regional settings, because the logger parses it.
std::string loggerClockText(const QDateTime& time);
