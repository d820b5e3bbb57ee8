#include "Umain.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractItemView>
#include <QCloseEvent>
#include <QCompleter>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QShortcut>
#include <QSignalBlocker>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "AppStyle.h"
#include "CodePage.h"
#include "LocaleFormat.h"
#include "LogFile.h"
#include "Select.h"
#include "data/Text.h"
#include "data/LoggerText.h"
#include "link/LoggerClock.h"
#include "link/USBInterface.h"
#include "ui_Umain.h"

TfrmMain* frmMain = nullptr;

namespace {

constexpr int kUpdateIntervalMs = 1000;
constexpr int kTimeoutIntervalMs = 5000;
constexpr int kUpdateTimeoutMs = 20000;
constexpr int kKeepIntervalMs = 50000;
constexpr int kConsoleOuterHeight = 724;  // brings the service console below the log into view
constexpr int32_t kMinLoadBytes = 64;     // one packet
constexpr int32_t kMaxLoadBytes = static_cast<int32_t>(logger::kMemorySize);

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
  ui->setupUi(this);
  frmMain = this;
  setFont(appstyle::classicFont(11));
  ui->gbxSERDateTime->setFont(appstyle::classicFont(13));
  setWindowIcon(appstyle::applicationIcon());
  ui->spbDate->setIcon(appstyle::setTimeIcon());
  // The clock display follows the user's regional formats, as the CSV export does.
  RegionalFormat regional = exportFormat();
  ui->dtpDate->setDisplayFormat(localeformat::qtDisplayFormat(regional.shortDate));
  ui->dtpTime->setDisplayFormat(localeformat::qtDisplayFormat(regional.longTime));
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
  OpenDialog1 = new QFileDialog(this);
  OpenDialog1->setObjectName(QStringLiteral("OpenDialog1"));
  OpenDialog1->setOption(QFileDialog::DontUseNativeDialog);
  OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
  OpenDialog1->setFileMode(QFileDialog::ExistingFile);
  SaveDialog1 = new QFileDialog(this);
  SaveDialog1->setObjectName(QStringLiteral("SaveDialog1"));
  SaveDialog1->setOption(QFileDialog::DontUseNativeDialog);
  SaveDialog1->setOption(QFileDialog::DontConfirmOverwrite);
  SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);
  SaveDialog1->setFileMode(QFileDialog::AnyFile);
  SaveDialog1->setNameFilter(QStringLiteral("csv files (*.csv)"));
  SaveDialog1->setDefaultSuffix(QStringLiteral("csv"));
  // Enter in the file name while its completer lists a match accepts the dialog but leaves the list
  // open over the main window, where it would take the user's next click.
  for (QFileDialog* dialog : {OpenDialog1, SaveDialog1}) {
    connect(dialog, &QDialog::finished, dialog, [dialog] {
      for (QCompleter* completer : dialog->findChildren<QCompleter*>()) {
        if (completer->popup() != nullptr) completer->popup()->hide();
      }
    });
  }

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
  auto* console = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_D), this);
  console->setContext(Qt::WindowShortcut);
  connect(console, &QShortcut::activated, this, &TfrmMain::showServiceConsole);

  queue_.setFlush([this] { flushText(); });
  openLogFile();

  showClock();
  timUpdate->start();
  timKeep->start();
  FormCreate();
}

TfrmMain::~TfrmMain() {
  // Workers still running answer their pending requests with the fallback and drop their effects;
  // then the link is torn down (its destructor waits for them).
  queue_.close();
  delete usb;
  usb = nullptr;
  if (frmMain == this) frmMain = nullptr;
}

// ---- Start-up and re-connect ----

void TfrmMain::FormCreate() {
  QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
  usb = new USBInterface(this);
  scanAndConnect();
}

void TfrmMain::connectDevice() {
  if (usb->connected) return;
  scanAndConnect();
}

void TfrmMain::scanAndConnect() {
  std::vector<int32_t> serials = usb->scanDevices();
  if (serials.empty()) {
    infoMsg("No Velmora found");
    return;
  }
  int32_t serial = serials.front();
  if (serials.size() > 1) {
    TfrmSelect* select = new TfrmSelect(this);
    serial = select->selectSerial(serials);
    bool chosen = select->result() == QDialog::Accepted;
    delete select;
    // CANCEL connects nothing; connecting to a made-up number could reach a logger nobody chose.
    if (!chosen) return;
  }
  infoMsg("Ger\xE4t: " + std::to_string(serial));
  if (!usb->connect(serial)) {
    infoMsg("USB Connection refused");
    usb->disconnect();
  }
}

// ---- Main window operations ----

void TfrmMain::btnDownloadClick() {
  if (!usb->connected) {
    connectDevice();
    if (!usb->connected) return;
  }
  startBusy();
  usb->packetCount = 0;
  usb->downloadActive = true;
  // A command typed on the console that got no answer must not make this answer one only shown.
  usb->rawCommand = false;
  // The time-out is armed before the command goes out: the answer may be handled on the reader's
  // thread before this handler returns, and its "stop the time-out" must come after this.
  timeoutEnable(true);
  usb->sendCommand("mem.used");
}

void TfrmMain::btnUpdateClick() {
  if (!usb->connected) {
    connectDevice();
    if (!usb->connected) return;
  }
  usb->packetCount = 0;
  usb->rawCommand = false;
  // Busy state and time-out first, for the same reason as in a download.
  startBusy();
  timeoutInterval(kUpdateTimeoutMs);
  timeoutEnable(true);
  usb->sendCommand("device.software");
}

void TfrmMain::spbDateClick() {
  if (!usb->connected) connectDevice();
  std::string now = loggerClockText(clock_());
  if (usb->connected) {
    usb->rawCommand = false;
    usb->sendCommand("date.date=" + now);
  }
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
}

void TfrmMain::timKeepTimer() {
  if (usb->connected) usb->sendCommand("device.serial");
}

// ---- Service console ----

void TfrmMain::btnSendClick() {
  QString text = ui->edCommand->text();
  if (text == QLatin1String("debug")) {
    setOuterHeight(kConsoleOuterHeight);
    return;
  }
  usb->rawCommand = true;
  usb->sendCommand(cp1252::fromQString(text));
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
  usb->memLoadActive = true;
  usb->packetCount = 0;
  usb->packetsExpected = bytes / static_cast<int32_t>(logger::kPacketSize);
  usb->sendCommand("mem.load=" + address + "," + length);
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
  usb->packetCount = 0;
  const uint64_t link = usb->linkGeneration();
  usb->requestSave(USBInterface::SaveRequest::Console, std::move(data), link);
  if (!usb->sendCommand("mem.save=" + address + "," + length))
    usb->requestSave(USBInterface::SaveRequest::None, {}, link);
}

void TfrmMain::btnDisconnectClick() {
  usb->disconnect();
}

void TfrmMain::showServiceConsole() {
  ui->pnlDebug->show();
  setOuterHeight(kConsoleOuterHeight);
}

void TfrmMain::setOuterHeight(int height) {
  int frame = frameGeometry().height() - geometry().height();
  resize(width(), height - frame);
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
  QString text = cp1252::toQString(loggerText(line));
  queue_.post([this, text] { appendLog(text); });
}

void TfrmMain::startBusy() {
  queue_.post([this] { enterBusy(); });
}

void TfrmMain::stopBusy() {
  queue_.post([this] { leaveBusy(); });
}

void TfrmMain::responseLine(const std::string& line) {
  QString text = cp1252::toQString(loggerText(line));
  queue_.post([this, text] { appendResponse(text); });
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
        if (SaveDialog1->exec() != QDialog::Accepted) return QString();
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
        QMessageBox box(kind == MessageKind::Error ? QMessageBox::Critical : QMessageBox::Information, title,
                        body, QMessageBox::Ok, this);
        return box.exec();
      },
      0);
}

std::string TfrmMain::lengthText() {
  return queue_.ask<std::string>([this] { return cp1252::fromQString(ui->edLength->text()); }, std::string());
}

// ---- Effects on the GUI thread ----

void TfrmMain::appendLog(const QString& line) {
  pendingLog_.append(line);
}

void TfrmMain::appendResponse(const QString& line) {
  pendingResponse_.append(line);
}

void TfrmMain::openLogFile() {
  // Every log line also goes to this file, appended, UTF-8: a support copy that survives the window
  // and that scripts can follow while the program runs.
  QString path = qEnvironmentVariable("TARNWICK_LOG_FILE");
  if (path.isEmpty()) return;
  logFile_ = std::make_unique<LogFile>();
  std::string why;
  if (!logFile_->open(QFile::encodeName(path).toStdString(), why)) {
    std::fprintf(stderr, "tarnwick: cannot write the log file %s\n", qPrintable(path));
    std::fprintf(stderr, "tarnwick: %s\n", why.c_str());
    logFile_.reset();
  }
}

void TfrmMain::flushText() {
  // One append per drain: a download's thousands of lines cost one layout pass, not thousands.
  if (!pendingLog_.isEmpty()) {
    QString batch = pendingLog_.join(QLatin1Char('\n'));
    ui->mmoDebug->appendPlainText(batch);
    if (logFile_) {
      const QByteArray bytes = batch.toUtf8().append('\n');
      logFile_->append(bytes.constData(), static_cast<size_t>(bytes.size()));
    }
    pendingLog_.clear();
  }
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
}

void TfrmMain::leaveBusy() {
  for (QWidget* control : {static_cast<QWidget*>(ui->btnDownload), static_cast<QWidget*>(ui->btnUpdate),
                           static_cast<QWidget*>(ui->spbDate)}) {
    control->unsetCursor();
    control->setEnabled(true);
  }
  ui->gbxSERDateTime->unsetCursor();
  unsetCursor();
  ui->mmoDebug->unsetCursor();
  ui->mmoDebug->viewport()->setCursor(Qt::IBeamCursor);
}
