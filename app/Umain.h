// The main window: the log, the three operations, the timers, the service console, and the window
// entry points through which the link and data layers report from any thread.
#pragma once

#include <QDateTime>
#include <QStringList>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "GuiQueue.h"
#include "link/WindowPort.h"

class LogFile;
class QFileDialog;
class QTimer;
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

  // Re-connects when the logger is not connected; the caller tests usb->connected afterwards.
  void connectDevice();

  // The PC clock that Set Time and the clock display read; tests fix it.
  void setClock(std::function<QDateTime()> clock) { clock_ = std::move(clock); }
  // Closing the window ends the process at once (exit code 0); tests switch that off.
  void setExitOnClose(bool exitOnClose) { exitOnClose_ = exitOnClose; }
  // The service console: shows pnlDebug and makes the window tall enough for it (Ctrl+Shift+D).
  void showServiceConsole();

  USBInterface* usb = nullptr;
  QTimer* timUpdate;
  QTimer* timTimeout;
  QTimer* timKeep;
  QFileDialog* OpenDialog1;
  QFileDialog* SaveDialog1;

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

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void FormCreate();
  // Scan, choose and connect: shared by the start-up connect and connectDevice.
  void scanAndConnect();
  void setOuterHeight(int height);
  void showClock();

  // GUI thread: the effects themselves.
  void appendLog(const QString& line);
  void appendResponse(const QString& line);
  void flushText();
  void openLogFile();
  void enterBusy();
  void leaveBusy();

  std::unique_ptr<Ui::TfrmMain> ui;
  GuiQueue queue_;
  QStringList pendingLog_;  // lines gathered during one drain, appended in one batch
  QStringList pendingResponse_;
  QString lastSaveName_;
  std::unique_ptr<LogFile> logFile_;  // $TARNWICK_LOG_FILE: a copy of the log for support and tests
  std::function<QDateTime()> clock_;
  bool exitOnClose_ = true;
};

extern TfrmMain* frmMain;

// The text of a "date.date" command for a local time: always "dd.mm.yyyy hh:mm:ss" with "." and
// ":", whatever the user's regional settings, because the logger parses it.
std::string loggerClockText(const QDateTime& time);
