// The main window's status bar: which logger is connected, the operation under way with its progress,
// and the last result, in plain words. Fed on the GUI thread with what the link reports and what the
// window itself does; it sends nothing to the logger.
#pragma once

#include <QElapsedTimer>
#include <QStatusBar>
#include <QString>
#include <cstdint>

#include "link/WindowPort.h"

class QLabel;
class QProgressBar;
class QStackedWidget;
class QTimer;
class QToolButton;

class StatusBar : public QStatusBar {
  Q_OBJECT
 public:
  enum class Operation { None, Download, MemoryRead, Firmware };
  // Progress is shown at most this often; the newest value wins.
  static constexpr qint64 kProgressIntervalMs = 40;

  explicit StatusBar(QWidget* parent = nullptr);

  // The link.
  void connected(const QString& serial);
  void disconnected();
  void softwareVersion(const QString& version);
  void storedRecords(qint64 records);
  void progress(bool firmware, qint64 value, qint64 total);
  // The logger was told to install `imageVersion` (the program's image) and restarts.
  void firmwareRestart(const QString& imageVersion);
  // Returns a token for the history's later word on this download. `skipped`: records left out.
  int downloadSaved(const QString& path, qint64 records, bool toHistory, qint64 skipped = 0);
  void memorySaved(const QString& path, qint64 bytes);
  // An operation of the link ended (LinkEvent OperationFinished): the results that no box, dialog or
  // saved file tells (no records, no answer, the link's end, a failure) are taken from here.
  void operationFinished(::Operation operation, Outcome outcome);

  // The window.
  void started(Operation operation);
  void saveCancelled();
  // The user chose not to update after all.
  void firmwareCancelled();
  // The window's answer timer fired: ends the wait for a logger that took its new firmware.
  void timedOut();
  void messageBox(bool error, const QString& text);
  void clockSet(const QString& text);
  void clockNotSet();
  void noLoggerFound();
  void connectionRefused();
  void historyImported(int token, qint64 added);
  void historyFailed(int token);
  // A result of the window's own (an opened file, an import).
  void showResult(const QString& text);

  // The texts in full (the bar shortens what does not fit; the tool tips hold the whole).
  QString connectionText() const;
  QString messageText() const { return prefix_ + path_ + suffix_; }
  bool progressShown() const;
  bool offersMeasurements() const;
  // How often the bar was drawn anew.
  int renders() const { return renders_; }

 signals:
  void showMeasurementsClicked();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void setMessage(const QString& prefix, const QString& path = QString(), const QString& suffix = QString());
  void render();
  void renderProgress();
  void endOperation();
  // The logger took the image and its link ended: the update is over.
  void firmwareRestarted();

  QLabel* connection_;
  QLabel* message_;
  QStackedWidget* stack_;
  QWidget* idle_;
  QProgressBar* bar_;
  QToolButton* offer_;
  QTimer* progressTimer_;
  QElapsedTimer sinceRender_;

  bool connected_ = false;
  QString serial_;
  QString version_;
  qint64 records_ = -1;

  Operation operation_ = Operation::None;
  bool received_ = false;         // every packet of the transfer is in
  bool firmwareWait_ = false;     // the logger was told to update and restarts
  bool awaitingVersion_ = false;  // the next version it reports tells how the update went
  bool updateReported_ = false;   // that was said; the "up to date" box that follows says no more
  QString versionBefore_;
  QString sentVersion_;
  qint64 value_ = 0, total_ = 0;
  bool firmwareProgress_ = false;
  bool busyBar_ = false;
  bool offerVisible_ = false;

  QString prefix_, path_, suffix_;
  QString skippedNote_;  // of the download shown last
  int token_ = 0;
  int renders_ = 0;
};

// Numbers as the status bar writes them: 2,000.
QString plainNumber(qint64 n);
// Shortens a path to fit `width` pixels: "/home/…/first.csv", at worst "…" inside the name.
QString elidePath(const QString& path, const class QFontMetrics& metrics, int width);
