#include "Umain.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCompleter>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "AppStyle.h"
#include "CodePage.h"
#include "DisplayFormat.h"
#include "LimitsDialog.h"
#include "LogFile.h"
#include "LogPane.h"
#include "LoggersWindow.h"
#include "MeasurementsWindow.h"
#include "PlainText.h"
#include "Select.h"
#include "StatusBar.h"
#include "data/LoggerText.h"
#include "data/Text.h"
#include "history/DownloadImport.h"
#include "history/History.h"
#include "link/Firmware.h"
#include "link/LoggerClock.h"
#include "link/Operations.h"
#include "link/USBInterface.h"
#include "ui_Umain.h"

namespace {

constexpr int kUpdateIntervalMs = 1000;
constexpr int kTimeoutIntervalMs = 5000;
constexpr int kKeepIntervalMs = 50000;
constexpr int kConsoleOuterHeight = 724;  // brings the service console below the log into view
constexpr int32_t kMinLoadBytes = 64;     // one packet
constexpr int32_t kMaxLoadBytes = static_cast<int32_t>(logger::kMemorySize);
constexpr int kClientHeight = 455;  // the controls' area without the service console
// The measurements window's own connection lives on the GUI thread, which never waits long for
// another program; imports wait history::kBusyTimeoutMs on the importer's thread.
constexpr int kGuiThreadHistoryWaitMs = 250;
// Effects the GUI thread may have waiting before a debug line waits for room (a few MB at most).
constexpr size_t kPendingDebugLines = 20000;
constexpr size_t kAnswersKept = 16;

// The first `length` bytes of a regular file; false with the reason when it has fewer or cannot be read.
bool readFileStart(const std::string& path, int32_t length, std::vector<uint8_t>& bytes, std::string& why) {
  // Non-blocking: a pipe chosen in the dialog must not hold the window.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    why = std::string("cannot be read (") + std::strerror(errno) + ")";
    if (fd >= 0) close(fd);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    why = "is no regular file";
    close(fd);
    return false;
  }
  bytes.resize(static_cast<size_t>(length));
  size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = std::string("cannot be read (") + std::strerror(errno) + ")";
      close(fd);
      return false;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  if (got < bytes.size()) {
    why = "holds " + std::to_string(got) + " bytes, fewer than the length " + std::to_string(length);
    return false;
  }
  return true;
}

// The name a save dialog offers: `name`, or none at all.
void offerFileName(QFileDialog* dialog, const QString& name) {
  if (!name.isEmpty()) {
    dialog->selectFile(name);
  } else if (auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
    edit->clear();
  }
}

}  // namespace

std::string loggerClockText(const QDateTime& time) {
  const QDate date = time.date();
  const QTime clock = time.time();
  return loggerClockText(date.year(), date.month(), date.day(), clock.hour(), clock.minute(), clock.second());
}

TfrmMain::TfrmMain(QWidget* parent)
    : QWidget(parent), ui(new Ui::TfrmMain), clock_([] { return QDateTime::currentDateTime(); }) {
  history_ = std::make_unique<WindowHistory>(queue_, [this] { return historyPath(); });
  // The controls keep their places in a client area of their own; the menu bar goes above it and the
  // status bar below, and both add to the window's size.
  client_ = new QWidget(this);
  ui->setupUi(client_);
  client_->setObjectName(QStringLiteral("clientArea"));
  setWindowTitle(client_->windowTitle());
  client_->setWindowTitle(QString());
  // A window of its own on the display: scripts that drive the program find the controls' origin
  // there, below the menu bar.
  client_->setAttribute(Qt::WA_NativeWindow);
  setFont(appstyle::classicFont(11));
  ui->gbxSERDateTime->setFont(appstyle::classicFont(13));
  setWindowIcon(appstyle::applicationIcon());
  ui->spbDate->setIcon(appstyle::setTimeIcon());
  // The clock display follows the user's regional formats, as the CSV export does.
  RegionalFormat regional = exportFormat();
  ui->dtpDate->setDisplayFormat(localeformat::qtDisplayFormat(regional.shortDate));
  ui->dtpTime->setDisplayFormat(localeformat::qtDisplayFormat(regional.longTime));
  menuBar_ = new QMenuBar(this);
  menuBar_->setObjectName(QStringLiteral("menuBar"));
  status_ = new StatusBar(this);
  auto* frame = new QVBoxLayout(this);
  frame->setContentsMargins(0, 0, 0, 0);
  frame->setSpacing(0);
  frame->setMenuBar(menuBar_);
  frame->addWidget(client_, 1);
  frame->addWidget(status_);
  log_ = new LogPane(ui->mmoDebug, this);
  buildMenus();
  connect(status_, &StatusBar::showMeasurementsClicked, this, [this] { showMeasurements(); });
  resize(client_->width(), height());  // the width the layout gave the controls
  setClientHeight(kClientHeight);
  move(344, 149);

  timUpdate = new QTimer(this);
  timUpdate->setObjectName(QStringLiteral("timUpdate"));
  timUpdate->setInterval(kUpdateIntervalMs);
  timTimeout = new QTimer(this);
  timTimeout->setObjectName(QStringLiteral("timTimeout"));
  timTimeout->setInterval(kTimeoutIntervalMs);
  timKeep = new QTimer(this);
  timKeep->setObjectName(QStringLiteral("timKeep"));
  timKeep->setInterval(kKeepIntervalMs);
  connect(timUpdate, &QTimer::timeout, this, &TfrmMain::timUpdateTimer);
  connect(timTimeout, &QTimer::timeout, this, &TfrmMain::timTimeoutTimer);
  connect(timKeep, &QTimer::timeout, this, &TfrmMain::timKeepTimer);

  // Qt's own dialogs: the same everywhere, and reachable by tests.
  const auto closeCompleter = [](QFileDialog* dialog) {
    // Enter in the file name while its completer lists a match accepts the dialog but leaves the list
    // open over the main window, where it would take the user's next click.
    connect(dialog, &QDialog::finished, dialog, [dialog] {
      for (QCompleter* completer : dialog->findChildren<QCompleter*>()) {
        if (completer->popup() != nullptr) completer->popup()->hide();
      }
    });
  };
  OpenDialog1.setMaker([this, closeCompleter] {
    auto* dialog = new QFileDialog(this);
    dialog->setObjectName(QStringLiteral("OpenDialog1"));
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::ExistingFile);
    closeCompleter(dialog);
    return dialog;
  });
  SaveDialog1.setMaker([this, closeCompleter] {
    auto* dialog = new QFileDialog(this);
    dialog->setObjectName(QStringLiteral("SaveDialog1"));
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setOption(QFileDialog::DontConfirmOverwrite);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilter(QStringLiteral("csv files (*.csv)"));
    dialog->setDefaultSuffix(QStringLiteral("csv"));
    closeCompleter(dialog);
    return dialog;
  });

  connect(ui->btnDownload, &QPushButton::clicked, this, &TfrmMain::btnDownloadClick);
  connect(ui->btnUpdate, &QPushButton::clicked, this, &TfrmMain::btnUpdateClick);
  connect(ui->spbDate, &QToolButton::clicked, this, &TfrmMain::spbDateClick);
  connect(ui->dtpDate, &QDateEdit::dateChanged, this, &TfrmMain::dtpDateChange);
  connect(ui->dtpTime, &QTimeEdit::timeChanged, this, &TfrmMain::dtpDateChange);
  connect(ui->btnSend, &QPushButton::clicked, this, &TfrmMain::btnSendClick);
  connect(ui->edCommand, &QLineEdit::returnPressed, this, &TfrmMain::btnSendClick);
  connect(ui->btnLoad, &QPushButton::clicked, this, &TfrmMain::btnLoadClick);
  connect(ui->btnSave, &QPushButton::clicked, this, &TfrmMain::btnSaveClick);
  connect(ui->btnDisconnect, &QPushButton::clicked, this, &TfrmMain::btnDisconnectClick);
  queue_.setFlush([this] { flushText(); });
  openLogFile();

  showClock();
  timUpdate->start();
  timKeep->start();
  FormCreate();
}

TfrmMain::~TfrmMain() {
  // Workers still running answer their pending requests with the fallback and drop their effects;
  // then the link is torn down (its destructor waits for them). An import under way finishes; its
  // outcome goes nowhere.
  queue_.close();
  history_->finish();
  delete measurements_;  // before the history connection it reads
  delete loggers_;
  delete usb;
  usb = nullptr;
}

// ---- Start-up and re-connect ----

void TfrmMain::FormCreate() {
  QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
  usb = new USBInterface(this);
  scanAndConnect();
}

void TfrmMain::connectDevice() {
  if (usb->isConnected()) return;
  scanAndConnect();
}

void TfrmMain::scanAndConnect() {
  std::vector<int32_t> serials = usb->scanDevices();
  if (serials.empty()) {
    infoMsg("No Velmora found");
    queue_.post([this] { status_->noLoggerFound(); });
    return;
  }
  int32_t serial = serials.front();
  if (serials.size() > 1) {
    // The scan's loggers that are not in use are the numbers, in the same order.
    QStringList shownAs;
    for (const ScannedLogger& logger : usb->lastScan()) {
      if (logger.inUse) continue;
      QString text;
      for (QChar c : cp1252::toQString(logger.serialText).left(40))
        text += c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() < 0xA0) ? QChar('?') : c;
      shownAs << (!logger.hasSerial ? tr("no serial number")
                  : text.isEmpty()  ? tr("empty serial number")
                                    : text);
    }
    if (shownAs.size() != static_cast<qsizetype>(serials.size())) shownAs.clear();
    TfrmSelect* select = new TfrmSelect(this);
    serial = select->selectSerial(serials, shownAs);
    bool chosen = select->result() == QDialog::Accepted;
    delete select;
    // CANCEL connects nothing; connecting to a made-up number could reach a logger nobody chose.
    if (!chosen) return;
  }
  infoMsg("Ger\xE4t: " + std::to_string(serial));
  if (!usb->connect(serial)) {
    infoMsg("USB Connection refused");
    queue_.post([this] { status_->connectionRefused(); });
    usb->disconnect();
  }
}

// ---- Main window operations ----

void TfrmMain::btnDownloadClick() {
  if (!usb->isConnected()) {
    connectDevice();
    if (!usb->isConnected()) return;
  }
  queue_.post([this] { status_->started(StatusBar::Operation::Download); });
  operations::startDownload(*usb);
}

void TfrmMain::btnUpdateClick() {
  if (!usb->isConnected()) {
    connectDevice();
    if (!usb->isConnected()) return;
  }
  // The image goes to the top of the logger's memory, over its newest records when it holds many:
  // first the count, without reading the memory.
  queue_.post([this] {
    status_->started(StatusBar::Operation::Firmware);
    recordCheckPending_ = true;
  });
  operations::startRecordCount(*usb);
}

void TfrmMain::checkRecordsBeforeUpdate(int64_t stored) {
  if (firmware::recordsOverwritten(stored) == 0) {
    startUpdate();
    return;
  }
  // Asked after the import of a download that may just have finished.
  history_->downloadedRecords(cp1252::fromQString(logger_),
                              [this, stored](int64_t downloaded, const std::string& error) {
                                decideUpdate(stored, downloaded, QString::fromStdString(error));
                              });
}

void TfrmMain::decideUpdate(int64_t stored, int64_t downloaded, const QString& historyError) {
  if (!firmware::updateLosesRecords(stored, downloaded)) {
    startUpdate();
    return;
  }
  const int64_t lost = firmware::recordsOverwritten(stored);
  QMessageBox box(QMessageBox::Warning, tr("Firmware Update"),
                  tr("The firmware update overwrites the logger's newest records: %1 of its %2 (numbers "
                     "%3 to %4) would be lost, and the history holds no download of all %2.")
                      .arg(plainNumber(lost), plainNumber(stored),
                           plainNumber(firmware::kRecordsBelowImage + 1), plainNumber(stored)),
                  QMessageBox::NoButton, this);
  box.setObjectName(QStringLiteral("FirmwareOverwritesRecords"));
  QString detail =
      tr("Download first saves every record to a file and into the history; then start the "
         "update again.");
  if (!historyError.isEmpty()) detail += tr("\n\nThe history could not be read: %1").arg(historyError);
  box.setInformativeText(detail);
  QPushButton* downloadFirst = box.addButton(tr("Download first"), QMessageBox::AcceptRole);
  QPushButton* anyway = box.addButton(tr("Update anyway"), QMessageBox::DestructiveRole);
  QPushButton* cancel = box.addButton(QMessageBox::Cancel);
  box.setDefaultButton(downloadFirst);
  box.setEscapeButton(cancel);
  box.exec();
  if (box.clickedButton() == anyway) {
    startUpdate();
  } else if (box.clickedButton() == downloadFirst) {
    leaveBusy();
    btnDownloadClick();
  } else {
    operations::cancel(*usb);
    leaveBusy();
    status_->firmwareCancelled();
  }
}

void TfrmMain::startUpdate() {
  if (!usb->isConnected()) {
    // The link ended meanwhile; the status bar has said so.
    leaveBusy();
    return;
  }
  operations::startFirmwareUpdate(*usb);
}

void TfrmMain::spbDateClick() {
  if (!usb->isConnected()) connectDevice();
  std::string now = loggerClockText(clock_());
  bool sent = false;
  if (usb->isConnected()) sent = operations::startSetTime(*usb, now);
  QString text = QString::fromStdString(now);
  queue_.post([this, sent, text] {
    if (sent) {
      status_->clockSet(text);
    } else {
      status_->clockNotSet();
    }
  });
}

void TfrmMain::dtpDateChange() {
  timUpdate->stop();
}

void TfrmMain::timUpdateTimer() {
  showClock();
}

void TfrmMain::showClock() {
  // Programmatic updates must not count as the user's change.
  QDateTime now = clock_();
  QSignalBlocker blockDate(ui->dtpDate);
  QSignalBlocker blockTime(ui->dtpTime);
  ui->dtpDate->setDate(now.date());
  ui->dtpTime->setTime(now.time());
}

void TfrmMain::timTimeoutTimer() {
  // Through the queue, so that effects the workers asked for earlier stay before these.
  timeoutEnable(false);
  stopBusy();
  infoMsg("No Answer of Velmora");
  operations::answerTimedOut(*usb);
  queue_.post([this] { status_->timedOut(); });
}

void TfrmMain::timKeepTimer() {
  if (usb->isConnected()) usb->sendCommand("device.serial");
}

// ---- Service console ----

void TfrmMain::btnSendClick() {
  QString text = ui->edCommand->text();
  if (text == QLatin1String("debug")) {
    setOuterHeight(kConsoleOuterHeight);
    return;
  }
  operations::startRawCommand(*usb, cp1252::fromQString(text));
}

void TfrmMain::btnLoadClick() {
  std::string address = cp1252::fromQString(ui->edAddress->text());
  std::string length = cp1252::fromQString(ui->edLength->text());
  int32_t bytes = strToIntDef0(length);
  // Below one packet the load could never complete; above the memory image it would not fit.
  if (bytes < kMinLoadBytes || bytes > kMaxLoadBytes) {
    infoMsg("Load not sent: length \"" + length + "\" is " + std::to_string(bytes) +
            " bytes; a load takes 64 to 524288 bytes");
    return;
  }
  queue_.post([this] { status_->started(StatusBar::Operation::MemoryRead); });
  operations::startMemoryLoad(*usb, address, length, bytes);
}

void TfrmMain::btnSaveClick() {
  if (OpenDialog1->exec() != QDialog::Accepted) return;
  std::string address = cp1252::fromQString(ui->edAddress->text());
  std::string length = cp1252::fromQString(ui->edLength->text());
  // The logger takes the first `length` bytes of the chosen file: all of them must be there.
  const int32_t bytes = strToIntDef0(length);
  if (bytes < 1 || bytes > kMaxLoadBytes) {
    infoMsg("Save not sent: length \"" + length + "\" is " + std::to_string(bytes) +
            " bytes; a save takes 1 to 524288 bytes");
    return;
  }
  const QString file = OpenDialog1->selectedFiles().value(0);
  std::vector<uint8_t> data;
  std::string why;
  if (!readFileStart(QFile::encodeName(file).toStdString(), bytes, data, why)) {
    infoMsg("Save not sent: " + cp1252::fromQString(file) + " " + why);
    return;
  }
  operations::startMemorySave(*usb, address, length, std::move(data));
}

void TfrmMain::btnDisconnectClick() {
  usb->disconnect();
}

void TfrmMain::showServiceConsole() {
  ui->pnlDebug->show();
  actConsole_->setChecked(true);
  setOuterHeight(kConsoleOuterHeight);
}

void TfrmMain::hideServiceConsole() {
  ui->pnlDebug->hide();
  actConsole_->setChecked(false);
  setClientHeight(kClientHeight);
}

void TfrmMain::setOuterHeight(int height) {
  // The height the whole window had before it had a menu and status bar now goes to the client area.
  int frame = frameGeometry().height() - geometry().height();
  setClientHeight(height - frame);
}

void TfrmMain::setClientHeight(int height) {
  int menu =
      menuBar_->hasHeightForWidth() ? menuBar_->heightForWidth(width()) : menuBar_->sizeHint().height();
  resize(width(), menu + height + status_->sizeHint().height());
}

void TfrmMain::closeEvent(QCloseEvent* event) {
  if (exitOnClose_) {
    // Nothing is sent and nothing waits: workers may be blocked in transfers or on this window.
    std::fflush(nullptr);
    _exit(0);
  }
  QWidget::closeEvent(event);
}

// ---- Window entry points ----

// Every line stays one line, whatever it carries: the log holds logger texts and file names.
void TfrmMain::errorMsg(const std::string& line) {
  QString text = cp1252::toQString(loggerText(line));
  queue_.post([this, text] {
    timTimeout->stop();
    leaveBusy();
    appendLog(text);
  });
}

void TfrmMain::infoMsg(const std::string& line) {
  // A logger may send debug lines faster than the window takes them: its reader waits for room (the
  // logger keeps or drops what it cannot send), rather than the queue taking the memory.
  if (line.compare(0, 6, "DBG>>>") == 0) queue_.waitForRoom(kPendingDebugLines, std::chrono::seconds(1));
  QString text = cp1252::toQString(loggerText(line));
  queue_.post([this, text] {
    // An answer reaches the console first and then the log: the log line is told by that.
    auto answer = std::find(answers_.begin(), answers_.end(), text);
    if (answer != answers_.end()) {
      answers_.erase(answer);
      log_->append(text, LogPane::Kind::Answer);
      return;
    }
    appendLog(text);
  });
}

void TfrmMain::startBusy() {
  queue_.post([this] { enterBusy(); });
}

void TfrmMain::stopBusy() {
  queue_.post([this] { leaveBusy(); });
}

void TfrmMain::responseLine(const std::string& line) {
  QString text = cp1252::toQString(loggerText(line));
  queue_.post([this, text] {
    appendResponse(text);
    noteAnswer(text);
  });
}

void TfrmMain::timeoutEnable(bool enabled) {
  queue_.post([this, enabled] {
    if (!enabled) {
      timTimeout->stop();
    } else if (!timTimeout->isActive()) {
      timTimeout->start();  // an enabled timer keeps running; enabling it again restarts nothing
    }
  });
}

void TfrmMain::timeoutInterval(int milliseconds) {
  queue_.post([this, milliseconds] {
    if (timTimeout->interval() != milliseconds) timTimeout->setInterval(milliseconds);
  });
}

bool TfrmMain::saveDialog(std::string& path) {
  QString chosen = queue_.ask<QString>(
      [this]() -> QString {
        offerFileName(SaveDialog1, lastSaveName_);
        if (SaveDialog1->exec() != QDialog::Accepted) {
          status_->saveCancelled();
          return QString();
        }
        QString file = SaveDialog1->selectedFiles().value(0);
        if (!file.isEmpty()) lastSaveName_ = file;
        return file;
      },
      QString());
  if (chosen.isEmpty()) return false;
  path = QFile::encodeName(chosen).toStdString();
  return true;
}

bool TfrmMain::dumpSaveDialog(std::string& path) {
  // A dump is raw memory: it neither takes the measurements' file name nor replaces a file unasked.
  QString chosen = queue_.ask<QString>(
      [this]() -> QString {
        offerFileName(SaveDialog1, QString());
        SaveDialog1->setOption(QFileDialog::DontConfirmOverwrite, false);
        const bool accepted = SaveDialog1->exec() == QDialog::Accepted;
        SaveDialog1->setOption(QFileDialog::DontConfirmOverwrite, true);
        if (!accepted) status_->saveCancelled();
        return accepted ? SaveDialog1->selectedFiles().value(0) : QString();
      },
      QString());
  if (chosen.isEmpty()) return false;
  path = QFile::encodeName(chosen).toStdString();
  return true;
}

void TfrmMain::messageBox(MessageKind kind, const std::string& caption, const std::string& text) {
  QString title = cp1252::toQString(caption);
  QString body = cp1252::toQString(text);
  queue_.ask<int>(
      [this, kind, title, body] {
        status_->messageBox(kind == MessageKind::Error, body);
        return plaintext::messageBox(
            this, kind == MessageKind::Error ? QMessageBox::Critical : QMessageBox::Information, title, body);
      },
      0);
}

std::string TfrmMain::lengthText() {
  return queue_.ask<std::string>([this] { return cp1252::fromQString(ui->edLength->text()); }, std::string());
}

// ---- Effects on the GUI thread ----

void TfrmMain::appendLog(const QString& line) {
  log_->append(line, LogPane::classify(line));
}

void TfrmMain::noteAnswer(const QString& line) {
  answers_.push_back(line);
  // Lines that only go to the console (the end of a transfer) are forgotten after a while.
  if (answers_.size() > kAnswersKept) answers_.pop_front();
}

void TfrmMain::appendResponse(const QString& line) {
  pendingResponse_.append(line);
}

void TfrmMain::openLogFile() {
  // Every log line also goes to this file, appended, UTF-8: a support copy that survives the window
  // and that scripts can follow while the program runs.
  QString path = qEnvironmentVariable("TARNWICK_LOG_FILE");
  if (path.isEmpty()) return;
  auto file = std::make_unique<LogFile>();
  std::string why;
  if (!file->open(QFile::encodeName(path).toStdString(), why)) {
    std::fprintf(stderr, "tarnwick: cannot write the log file %s\n", qPrintable(path));
    std::fprintf(stderr, "tarnwick: %s\n", why.c_str());
    return;
  }
  log_->setFile(std::move(file));
}

void TfrmMain::flushText() {
  // The log file gets the lines at once; the pane in paced slices (see LogPane).
  log_->flush();
  if (!pendingResponse_.isEmpty()) {
    ui->mmoResponse->appendPlainText(pendingResponse_.join(QLatin1Char('\n')));
    pendingResponse_.clear();
  }
}

void TfrmMain::enterBusy() {
  for (QWidget* control : {static_cast<QWidget*>(ui->btnDownload), static_cast<QWidget*>(ui->btnUpdate),
                           static_cast<QWidget*>(ui->spbDate)}) {
    control->setCursor(Qt::WaitCursor);
    control->setEnabled(false);
  }
  ui->gbxSERDateTime->setCursor(Qt::WaitCursor);
  setCursor(Qt::WaitCursor);
  ui->mmoDebug->setCursor(Qt::WaitCursor);
  ui->mmoDebug->viewport()->setCursor(Qt::WaitCursor);
  setOperationsEnabled(false);
}

void TfrmMain::leaveBusy() {
  recordCheckPending_ = false;  // an update that waited for the count is over
  for (QWidget* control : {static_cast<QWidget*>(ui->btnDownload), static_cast<QWidget*>(ui->btnUpdate),
                           static_cast<QWidget*>(ui->spbDate)}) {
    control->unsetCursor();
    control->setEnabled(true);
  }
  ui->gbxSERDateTime->unsetCursor();
  unsetCursor();
  ui->mmoDebug->unsetCursor();
  ui->mmoDebug->viewport()->setCursor(Qt::IBeamCursor);
  setOperationsEnabled(true);
}

void TfrmMain::setOperationsEnabled(bool enabled) {
  // The menu's operations are the buttons': usable when they are.
  for (QAction* action : {actDownload_, actUpdate_, actSetTime_}) action->setEnabled(enabled);
}

// ---- Link events ----

void TfrmMain::linkEvent(const LinkEvent& event) {
  if (event.kind == LinkEvent::Kind::DataProgress || event.kind == LinkEvent::Kind::FirmwareProgress) {
    // Only the newest value counts: one queued effect carries whatever is newest when it runs, so a
    // burst of packets costs the GUI thread one update, not one per packet.
    {
      std::lock_guard<std::mutex> lock(progressMutex_);
      latestProgress_.kind = event.kind;
      latestProgress_.value = event.value;
      latestProgress_.total = event.total;
      if (progressQueued_) return;
      progressQueued_ = true;
    }
    queue_.post([this] {
      LinkEvent newest{LinkEvent::Kind::DataProgress};
      {
        std::lock_guard<std::mutex> lock(progressMutex_);
        newest = latestProgress_;
        progressQueued_ = false;
      }
      applyLinkEvent(newest);
    });
    return;
  }
  LinkEvent copy{event.kind};
  copy.value = event.value;
  copy.total = event.total;
  copy.skipped = event.skipped;
  copy.operation = event.operation;
  copy.outcome = event.outcome;
  copy.text = event.text;
  copy.device = event.device;
  // The records are the caller's only during the call.
  std::shared_ptr<const std::vector<messwert_tag>> records;
  if (event.kind == LinkEvent::Kind::DownloadSaved && event.records != nullptr)
    records = std::make_shared<const std::vector<messwert_tag>>(*event.records);
  queue_.post([this, copy, records] { applyLinkEvent(copy, records); });
}

void TfrmMain::applyLinkEvent(const LinkEvent& event,
                              std::shared_ptr<const std::vector<messwert_tag>> records) {
  const QString text = cp1252::toQString(event.text);
  switch (event.kind) {
    case LinkEvent::Kind::Connected:
      logger_ = text;
      loggerDevice_ = event.device;
      loggerSoftware_.clear();
      status_->connected(text);
      break;
    case LinkEvent::Kind::Disconnected:
      status_->disconnected();
      break;
    case LinkEvent::Kind::SoftwareVersion:
      status_->softwareVersion(text);
      loggerSoftware_ = event.text;
      noteInHistory(
          tr("firmware version"),
          [version = event.text](history::Store& store, const std::string& logger, std::string& error) {
            return store.recordFirmware(logger, std::time(nullptr), version, error);
          });
      break;
    case LinkEvent::Kind::StoredRecords:
      status_->storedRecords(event.value);
      break;
    case LinkEvent::Kind::RecordCount:
      status_->storedRecords(event.value);
      if (recordCheckPending_) {
        recordCheckPending_ = false;
        checkRecordsBeforeUpdate(event.value);
      }
      break;
    case LinkEvent::Kind::DataProgress:
    case LinkEvent::Kind::FirmwareProgress:
      status_->progress(event.kind == LinkEvent::Kind::FirmwareProgress, event.value, event.total);
      break;
    case LinkEvent::Kind::FirmwareRestart: {
      // The program's own image, whose version text leads it.
      std::vector<uint8_t> image;
      QString version;
      if (firmware::loadImage(image))
        version = cp1252::toQString(std::string(reinterpret_cast<const char*>(image.data())));
      status_->firmwareRestart(version);
      // It restarts with the image's version.
      noteInHistory(
          tr("firmware version"), [version = cp1252::fromQString(version)](
                                      history::Store& store, const std::string& logger, std::string& error) {
            return version.empty() || store.recordFirmware(logger, std::time(nullptr), version, error);
          });
      break;
    }
    case LinkEvent::Kind::DownloadSaved: {
      // File names are the system's bytes.
      const QString path = QFile::decodeName(QByteArray::fromStdString(event.text));
      addRecentFile(path);
      importDownload(path, records ? records : std::make_shared<const std::vector<messwert_tag>>(),
                     event.skipped);
      break;
    }
    case LinkEvent::Kind::MemorySaved:
      status_->memorySaved(QFile::decodeName(QByteArray::fromStdString(event.text)), event.value);
      break;
    case LinkEvent::Kind::OperationFinished:
      status_->operationFinished(event.operation, event.outcome);
      if (event.operation == Operation::RawCommand && event.outcome == Outcome::Done) {
        // The logger told its firmware version on the service console: the history keeps it, and the
        // next download carries it.
        const std::string version = operations::softwareVersionIn(event.text);
        if (!version.empty()) {
          loggerSoftware_ = version;
          noteInHistory(tr("firmware version"),
                        [version](history::Store& store, const std::string& logger, std::string& error) {
                          return store.recordFirmware(logger, std::time(nullptr), version, error);
                        });
        }
      }
      if (event.operation == Operation::SetTime && event.outcome == Outcome::Done) {
        // The logger's clock now keeps this computer's local time: its zone goes with the records.
        const int64_t now = clock_().toSecsSinceEpoch();
        noteInHistory(tr("zone of the clock"),
                      [now](history::Store& store, const std::string& logger, std::string& error) {
                        return store.recordClockZone(logger, now, history::localZone(now),
                                                     history::ClockZoneKind::setTime, error);
                      });
      }
      break;
  }
}

void TfrmMain::setLoggerLimits() {
  connectDevice();
  if (!usb->isConnected()) return;
  const std::string path = historyPath();
  history::Store store;
  store.setBusyTimeout(kGuiThreadHistoryWaitMs);
  std::string error = "no history location";
  if (path.empty() || !store.open(path, error)) {
    QMessageBox::warning(this, tr("Set Limits"),
                         tr("History not available: %1").arg(QString::fromStdString(error)));
    return;
  }
  // The limits are the history's, kept under the logger's key whether or not it holds readings yet.
  const QString logger = cp1252::toQString(history::loggerKey(cp1252::fromQString(logger_)));
  LimitsDialog dialog(&store, logger, {}, this);
  if (dialog.exec() == QDialog::Accepted) {
    if (measurements_) measurements_->historyChanged(logger);
    if (loggers_) loggers_->refresh();
  }
}

// ---- The measurements window ----

MeasurementsWindow* TfrmMain::showMeasurements() {
  if (!measurements_) {
    // The window reads the history through a connection of the GUI thread; without one it still
    // shows opened files.
    store_ = std::make_unique<history::Store>();
    store_->setBusyTimeout(kGuiThreadHistoryWaitMs);
    std::string error;
    const std::string path = historyPath();
    history::Store* store = !path.empty() && store_->open(path, error) ? store_.get() : nullptr;
    if (store == nullptr) appendLog(tr("History not available: %1").arg(QString::fromStdString(error)));
    measurements_ = new MeasurementsWindow(store, this);
  }
  const QString logger = !shownLogger_.isEmpty() ? shownLogger_ : logger_;
  if (!logger.isEmpty()) measurements_->showLogger(logger);
  measurements_->show();
  measurements_->raise();
  measurements_->activateWindow();
  return measurements_;
}

LoggersWindow* TfrmMain::showLoggers() {
  if (!loggers_) {
    loggers_ = new LoggersWindow(historyPath(), this);
    connect(loggers_, &LoggersWindow::openLogger, this,
            [this](const QString& logger) { showLoggerMeasurements({logger}); });
    connect(loggers_, &LoggersWindow::compareLoggers, this,
            [this](const QStringList& loggers) { showLoggerMeasurements(loggers); });
  } else {
    loggers_->refresh();
  }
  loggers_->show();
  loggers_->raise();
  loggers_->activateWindow();
  return loggers_;
}

MeasurementsWindow* TfrmMain::showLoggerMeasurements(const QStringList& loggers) {
  MeasurementsWindow* window = showMeasurements();
  if (loggers.size() == 1)
    window->showLogger(loggers.front());
  else if (!loggers.isEmpty())
    window->showLoggers(loggers);
  return window;
}

// ---- Opening a file ----

void TfrmMain::openMeasurementsDialog() {
  QFileDialog dialog(this, tr("Open Measurements"));
  dialog.setObjectName(QStringLiteral("OpenMeasurementsDialog"));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setNameFilters({tr("csv files (*.csv)"), tr("All files (*)")});
  if (dialog.exec() != QDialog::Accepted) return;
  const QString path = dialog.selectedFiles().value(0);
  if (!path.isEmpty()) openMeasurementsFile(path);
}

void TfrmMain::importDownload(const QString& file, std::shared_ptr<const std::vector<messwert_tag>> records,
                              int64_t skipped) {
  history::DownloadImport what;
  what.logger = cp1252::fromQString(logger_);
  what.device = loggerDevice_;
  what.file = QFile::encodeName(file).toStdString();
  // Where it was made goes with it, and this computer's zone, by which the logger's clock may run.
  what.firmware = loggerSoftware_;
  what.now = clock_().toSecsSinceEpoch();
  const QString logger = cp1252::toQString(history::loggerKey(what.logger));
  const int token = status_->downloadSaved(file, static_cast<qint64>(records->size()), true, skipped);
  shownLogger_ = logger;
  history_->importDownload(what, records, [this, token, logger](const history::DownloadImported& done) {
    historyOutcome(token, logger, done.ok, done.result.added, QString::fromStdString(done.error),
                   QString::fromStdString(done.notice));
  });
}

void TfrmMain::noteInHistory(const QString& what, WindowHistory::Note note) {
  const std::string logger = history::loggerKey(cp1252::fromQString(logger_));
  history_->note(logger, std::move(note), [this, what](const std::string& error) {
    appendLog(tr("History: %1 not noted: %2").arg(what, QString::fromStdString(error)));
  });
}

void TfrmMain::historyOutcome(int token, const QString& logger, bool ok, qint64 added, const QString& error,
                              const QString& notice) {
  if (!notice.isEmpty()) appendLog(tr("History: %1").arg(notice));
  if (!ok) {
    // The download itself succeeded: the file is written. Only its copy in the history is missing.
    appendLog(tr("History not updated: %1").arg(error));
    status_->historyFailed(token);
    return;
  }
  status_->historyImported(token, added);
  if (measurements_) measurements_->historyChanged(logger);
  if (loggers_) loggers_->refresh();
}

void TfrmMain::openMeasurementsFile(const QString& path) {
  // Read and taken into the history off the GUI thread, like a download.
  status_->showResult(tr("Opening %1\u2026").arg(QFileInfo(path).fileName()));
  history_->openFile(
      path, [this, path](const WindowHistory::OpenedFile& opened) { askWhoseFile(path, opened); },
      [this, path](const std::string& reason) { openRefused(path, QString::fromStdString(reason)); });
}

void TfrmMain::askWhoseFile(const QString& path, const WindowHistory::OpenedFile& opened) {
  // A file joins a logger's history when the history wrote it as that logger's download; for any
  // other the user decides, asked when its contents or name point to a logger of the history. When
  // the history cannot say, the file is shown kept apart and the log says why.
  if (!opened.historyError.empty())
    appendLog(tr("History: cannot tell whose file %1 is: %2")
                  .arg(QFileInfo(path).fileName(), QString::fromStdString(opened.historyError)));
  std::string logger = opened.owner.known;
  const std::string& suggested = opened.owner.suggested;
  if (logger.empty() && !suggested.empty()) {
    const QString name = cp1252::toQString(suggested);
    QMessageBox box(QMessageBox::Question, tr("Open Measurements"),
                    tr("The history does not know %1 as a download. Do its records belong to logger %2?")
                        .arg(QFileInfo(path).fileName(), name),
                    QMessageBox::NoButton, this);
    box.setTextFormat(Qt::PlainText);
    box.setInformativeText(
        tr("Added to %1's history, its records are compared with the logger's downloads: lines that "
           "differ from them are not taken. Kept apart, they are shown under the file's name only.")
            .arg(name));
    box.setObjectName(QStringLiteral("OpenBelongs"));
    QPushButton* add = box.addButton(tr("Add to %1").arg(name), QMessageBox::AcceptRole);
    add->setObjectName(QStringLiteral("addToLogger"));
    QPushButton* apart = box.addButton(tr("Keep Apart"), QMessageBox::RejectRole);
    apart->setObjectName(QStringLiteral("keepApart"));
    box.setDefaultButton(apart);
    box.exec();
    if (box.clickedButton() == add) logger = suggested;
  }
  history_->importFile(path, logger, opened.records, opened.flags,
                       [this, path, logger](const WindowHistory::FileImported& imported) {
                         openedFileImported(path, cp1252::toQString(logger), imported);
                       });
}

void TfrmMain::openedFileImported(const QString& path, const QString& loggerName,
                                  const WindowHistory::FileImported& imported) {
  if (!imported.notice.empty()) appendLog(tr("History: %1").arg(QString::fromStdString(imported.notice)));
  addRecentFile(path);
  const QString file = QFileInfo(path).fileName();
  const history::ImportResult& result = imported.result;
  QString text =
      tr("%1 records read from %2").arg(plainNumber(static_cast<qint64>(imported.shown->size())), file);
  if (loggerName.isEmpty()) {
    text += tr(" \u00B7 kept apart, not in the history");
  } else if (imported.ok) {
    text += tr(" \u00B7 %1 new in history").arg(plainNumber(result.added));
    if (result.differing > 0) {
      const QString differing =
          tr("%1 differ from the logger's download \u2014 not imported").arg(plainNumber(result.differing));
      text += QStringLiteral(" \u00B7 ") + differing;
      appendLog(
          tr("History: %1 into %2: %3 imported, %4 already known, %5")
              .arg(file, loggerName, plainNumber(result.added), plainNumber(result.known()), differing));
    }
  } else {
    appendLog(tr("History not updated: %1").arg(QString::fromStdString(imported.error)));
    text += tr(" \u00B7 history not updated");
  }
  status_->showResult(text);
  MeasurementsWindow* window = showMeasurements();
  if (imported.ok) window->historyChanged(loggerName);
  window->showRecords(file, *imported.shown);
}

void TfrmMain::openRefused(const QString& path, const QString& reason) {
  status_->showResult(tr("Not opened: %1").arg(QFileInfo(path).fileName()));
  QMessageBox box(QMessageBox::Warning, tr("Open Measurements"),
                  tr("%1 is not a measurement file that Tarnwick can read.").arg(path), QMessageBox::Ok,
                  this);
  box.setInformativeText(reason);
  box.setObjectName(QStringLiteral("OpenRefused"));
  plaintext::makePlain(box);  // the reason quotes the file
  box.exec();
}
