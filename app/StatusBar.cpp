#include "StatusBar.h"

#include <QEvent>
#include <QFontMetrics>
#include <QGridLayout>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QStackedWidget>
#include <QTimer>
#include <QToolButton>
#include <algorithm>

#include "PlainText.h"
#include "link/USBInterface.h"
#include "link/WindowPort.h"

namespace {

const QString kDot = QStringLiteral(" \u00B7 ");
const QString kEllipsis = QStringLiteral("\u2026");

// Text that came from a logger: no control characters, and bounded, so that it cannot bend the bar.
QString fromLogger(const QString& text, int limit) {
  QString clean;
  for (QChar c : text.left(limit + 1))
    clean += (c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() < 0xA0)) ? QChar('?') : c;
  if (clean.size() > limit) clean = clean.left(limit - 1) + kEllipsis;
  return clean;
}

QString records(qint64 n) {
  return plainNumber(n) + (n == 1 ? QStringLiteral(" record") : QStringLiteral(" records"));
}

// Whole 256-byte pages of 8 records are read: more than the logger's memory holds cannot be.
bool exceedsMemory(qint64 count) {
  return count > 0 && (count + 7) / 8 * 256 > static_cast<qint64>(logger::kMemorySize);
}

}  // namespace

QString plainNumber(qint64 n) {
  static const QLocale english(QLocale::English, QLocale::UnitedStates);
  return english.toString(n);
}

QString elidePath(const QString& path, const QFontMetrics& metrics, int width) {
  if (metrics.horizontalAdvance(path) <= width) return path;
  // Folders leave from the middle first: the first one and the file name say the most.
  QStringList parts = path.split(QLatin1Char('/'));
  const int first = parts.value(0).isEmpty() ? 2 : 1;  // an absolute path keeps "/home"
  while (parts.size() > first + 1) {
    parts.removeAt(first);
    QStringList shortened = parts;
    shortened.insert(first, kEllipsis);
    const QString candidate = shortened.join(QLatin1Char('/'));
    if (metrics.horizontalAdvance(candidate) <= width) return candidate;
  }
  const QString tail = kEllipsis + QLatin1Char('/') + parts.last();
  if (metrics.horizontalAdvance(tail) <= width) return tail;
  return metrics.elidedText(path, Qt::ElideMiddle, width);
}

StatusBar::StatusBar(QWidget* parent) : QStatusBar(parent) {
  setObjectName(QStringLiteral("statusBar"));
  auto* box = new QWidget(this);
  auto* grid = new QGridLayout(box);
  grid->setContentsMargins(2, 0, 0, 0);
  grid->setHorizontalSpacing(8);
  grid->setVerticalSpacing(0);
  connection_ = new QLabel(box);
  connection_->setObjectName(QStringLiteral("lblConnection"));
  message_ = new QLabel(box);
  message_->setObjectName(QStringLiteral("lblStatus"));
  for (QLabel* label : {connection_, message_}) {
    // Paths and logger texts are shown as they are, never read as markup.
    label->setTextFormat(Qt::PlainText);
    label->setMinimumWidth(1);
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    label->installEventFilter(this);
  }
  // The progress bar and the offer share one place of constant size: the bar's height never changes.
  stack_ = new QStackedWidget(box);
  idle_ = new QWidget(stack_);
  bar_ = new QProgressBar(stack_);
  bar_->setObjectName(QStringLiteral("barProgress"));
  bar_->setTextVisible(false);
  offer_ = new QToolButton(stack_);
  offer_->setObjectName(QStringLiteral("btnShowMeasurements"));
  offer_->setText(tr("Show measurements"));
  offer_->setToolTip(tr("Open the measurements window for this logger"));
  offer_->setAutoRaise(true);
  offer_->setCursor(Qt::PointingHandCursor);
  // Drawn as a link: it leads somewhere, it does not act on the logger.
  QFont underlined = offer_->font();
  underlined.setUnderline(true);
  offer_->setFont(underlined);
  QPalette palette = offer_->palette();
  palette.setColor(QPalette::ButtonText, palette.color(QPalette::Link));
  offer_->setPalette(palette);
  stack_->addWidget(idle_);
  stack_->addWidget(bar_);
  stack_->addWidget(offer_);
  stack_->setFixedWidth(std::max(140, offer_->sizeHint().width()));
  stack_->setFixedHeight(std::max(bar_->sizeHint().height(), offer_->sizeHint().height()) - 2);
  connect(offer_, &QToolButton::clicked, this, &StatusBar::showMeasurementsClicked);
  grid->addWidget(connection_, 0, 0, 1, 2);
  grid->addWidget(message_, 1, 0);
  grid->addWidget(stack_, 1, 1);
  grid->setColumnStretch(0, 1);
  addWidget(box, 1);

  progressTimer_ = new QTimer(this);
  progressTimer_->setSingleShot(true);
  connect(progressTimer_, &QTimer::timeout, this, &StatusBar::render);
  render();
}

// ---- The link ----

void StatusBar::connected(const QString& serial) {
  connected_ = true;
  serial_ = fromLogger(serial, 40);
  version_.clear();
  records_ = -1;
  render();
}

void StatusBar::disconnected() {
  connected_ = false;
  version_.clear();
  records_ = -1;
  // The restart itself ends the update, whether or not its time-out still runs. What the end of the
  // link did to an operation under way comes with its outcome (operationFinished).
  if (firmwareWait_) firmwareRestarted();
  render();
}

void StatusBar::softwareVersion(const QString& version) {
  version_ = fromLogger(version, 24);
  if (awaitingVersion_) {
    // The logger came back from the update and says what it runs now.
    awaitingVersion_ = firmwareWait_ = false;
    updateReported_ = true;
    if (version_ != versionBefore_) {
      setMessage(tr("Firmware updated to %1").arg(version_));
    } else {
      setMessage(tr("The logger still runs firmware %1 after the update").arg(version_));
    }
    endOperation();
  } else if (operation_ == Operation::Firmware) {
    versionBefore_ = version_;  // what an update is measured against
  }
  render();
}

void StatusBar::storedRecords(qint64 count) {
  records_ = count;
  // A count that ends the download comes with its outcome.
  if (operation_ == Operation::Download && count > 0 && !exceedsMemory(count))
    setMessage(tr("Downloading %1\u2026").arg(records(count)));
  render();
}

void StatusBar::progress(bool firmware, qint64 value, qint64 total) {
  firmwareProgress_ = firmware;
  value_ = value;
  total_ = total;
  busyBar_ = false;
  if (operation_ == Operation::None) operation_ = firmware ? Operation::Firmware : Operation::Download;
  received_ = !firmware && total > 0 && value >= total;
  offerVisible_ = false;
  renderProgress();
}

void StatusBar::firmwareRestart(const QString& imageVersion) {
  firmwareWait_ = awaitingVersion_ = true;
  updateReported_ = false;
  sentVersion_ = fromLogger(imageVersion, 24);
  busyBar_ = true;
  value_ = total_ = 0;  // the packets are all out
  // The logger may drop off the bus before the link has said that it told it to restart.
  if (!connected_) {
    firmwareRestarted();
  } else {
    setMessage(tr("Waiting for the logger to restart"));
  }
  render();
}

void StatusBar::firmwareRestarted() {
  // The window does not connect by itself: the next operation does.
  firmwareWait_ = false;
  const QString sent =
      sentVersion_.isEmpty() ? tr("Firmware sent") : tr("Firmware %1 sent").arg(sentVersion_);
  setMessage(tr("%1 and the logger restarted \u2014 the next operation connects to it again").arg(sent));
  endOperation();
}

int StatusBar::downloadSaved(const QString& path, qint64 count, bool toHistory, qint64 skipped) {
  skippedNote_ =
      skipped > 0 ? tr(" \u00B7 %1 skipped (impossible time stamps)").arg(records(skipped)) : QString();
  setMessage(tr("%1 saved to ").arg(records(count)), path,
             skippedNote_ + (toHistory ? tr(" \u00B7 adding to history\u2026") : QString()));
  endOperation();
  offerVisible_ = true;
  render();
  return token_;
}

void StatusBar::memorySaved(const QString& path, qint64 bytes) {
  setMessage(tr("%1 bytes of logger memory saved to ").arg(plainNumber(bytes)), path);
  endOperation();
  render();
}

// ---- The window ----

void StatusBar::started(Operation operation) {
  operation_ = operation;
  received_ = false;
  // A version still awaited from an update stays awaited: the next Firmware Update asks for it.
  firmwareWait_ = updateReported_ = false;
  busyBar_ = false;
  value_ = total_ = 0;
  offerVisible_ = false;
  switch (operation) {
    case Operation::Download:
      setMessage(tr("Asking the logger for its records\u2026"));
      break;
    case Operation::MemoryRead:
      setMessage(tr("Reading the logger's memory\u2026"));
      break;
    case Operation::Firmware:
      setMessage(tr("Checking the logger's firmware\u2026"));
      break;
    case Operation::None:
      break;
  }
  render();
}

void StatusBar::saveCancelled() {
  setMessage(operation_ == Operation::MemoryRead ? tr("Memory read cancelled \u2014 no file written")
                                                 : tr("Download cancelled \u2014 no file written"));
  endOperation();
  render();
}

void StatusBar::timedOut() {
  // An operation of the link that got no answer says so with its outcome; the wait for a logger that
  // took its new firmware is the window's alone.
  if (!firmwareWait_) return;
  // The update's wait ends, and the logger is still there.
  firmwareWait_ = false;
  const QString sent =
      sentVersion_.isEmpty() ? tr("Firmware sent") : tr("Firmware %1 sent").arg(sentVersion_);
  setMessage(tr("%1, but the logger has not restarted").arg(sent));
  endOperation();
  render();
}

void StatusBar::firmwareCancelled() {
  setMessage(tr("Firmware update cancelled \u2014 nothing sent"));
  endOperation();
  render();
}

void StatusBar::operationFinished(::Operation operation, Outcome outcome) {
  if (operation == ::Operation::FirmwareUpdate && outcome == Outcome::UpToDate) {
    // After an update the logger's new version has said how it went; the check that follows says no
    // more.
    if (!updateReported_) {
      setMessage(version_.isEmpty() ? tr("The logger's firmware is up to date \u2014 nothing sent")
                                    : tr("Firmware %1 is up to date \u2014 nothing sent").arg(version_));
    }
    updateReported_ = false;
    endOperation();
    render();
    return;
  }
  // Only the operation this bar shows under way; one that ended with a box, a saved file or a
  // cancelled dialog has been told already.
  const bool download = operation == ::Operation::Download && operation_ == Operation::Download;
  const bool memory = operation == ::Operation::MemoryLoad && operation_ == Operation::MemoryRead;
  const bool firmware = operation == ::Operation::FirmwareUpdate && operation_ == Operation::Firmware;
  if (!download && !memory && !firmware) return;
  switch (outcome) {
    case Outcome::NoRecords:
      setMessage(tr("The logger holds no records \u2014 nothing to download"));
      break;
    case Outcome::NoAnswer:
      setMessage(tr("No answer from the logger"));
      break;
    case Outcome::Disconnected:
      if (firmware) {
        setMessage(tr("Firmware update stopped: logger disconnected"));
      } else if (received_) {
        return;  // every packet is in: the file is written all the same
      } else {
        setMessage(download ? tr("Download stopped: logger disconnected \u2014 no file written")
                            : tr("Memory read stopped: logger disconnected \u2014 no file written"));
      }
      break;
    case Outcome::Failed:
      if (download && exceedsMemory(records_)) {
        setMessage(
            tr("Download stopped: the logger reports %1, more than its memory holds").arg(records(records_)));
      } else {
        setMessage(download ? tr("Download failed \u2014 no file written")
                   : memory ? tr("Memory read failed \u2014 no file written")
                            : tr("Firmware update failed"));
      }
      break;
    default:
      return;  // Done, Cancelled, FileError: the file, the dialog or the box that came with them said it
  }
  endOperation();
  render();
}

void StatusBar::messageBox(bool error, const QString& text) {
  // An information box comes only with an outcome (operationFinished), which says it here.
  if (!error) return;
  switch (operation_) {
    case Operation::Download:
      setMessage(tr("Download failed: %1 \u2014 no file written").arg(text));
      break;
    case Operation::MemoryRead:
      setMessage(tr("Memory read failed: %1 \u2014 no file written").arg(text));
      break;
    case Operation::Firmware:
      setMessage(tr("Firmware update failed: %1").arg(text));
      break;
    case Operation::None:
      setMessage(text);
      break;
  }
  endOperation();
  render();
}

void StatusBar::clockSet(const QString& text) {
  setMessage(tr("Logger clock set to %1").arg(text));
  render();
}

void StatusBar::clockNotSet() {
  setMessage(tr("No logger connected \u2014 clock not set"));
  render();
}

void StatusBar::noLoggerFound() {
  setMessage(tr("No logger found"));
  endOperation();
  render();
}

void StatusBar::connectionRefused() {
  setMessage(tr("The logger refused the connection"));
  endOperation();
  render();
}

void StatusBar::historyImported(int token, qint64 added) {
  if (token != token_) return;  // something else is shown by now
  suffix_ = skippedNote_ + tr(" \u00B7 %1 new in history").arg(plainNumber(added));
  render();
}

void StatusBar::historyFailed(int token) {
  if (token != token_) return;
  suffix_ = skippedNote_ + tr(" \u00B7 history not updated");
  render();
}

void StatusBar::showResult(const QString& text) {
  setMessage(text);
  render();
}

// ---- Drawing ----

QString StatusBar::connectionText() const {
  if (!connected_) return tr("Not connected");
  QString text = tr("Connected: %1").arg(serial_.isEmpty() ? tr("logger without serial number") : serial_);
  if (!version_.isEmpty()) text += kDot + tr("firmware %1").arg(version_);
  if (records_ >= 0) text += kDot + records(records_);
  return text;
}

bool StatusBar::progressShown() const {
  return stack_->currentWidget() == bar_;
}

bool StatusBar::offersMeasurements() const {
  return stack_->currentWidget() == offer_;
}

void StatusBar::setMessage(const QString& prefix, const QString& path, const QString& suffix) {
  prefix_ = prefix;
  path_ = path;
  suffix_ = suffix;
  ++token_;
}

void StatusBar::endOperation() {
  operation_ = Operation::None;
  received_ = false;
  busyBar_ = false;
  value_ = total_ = 0;
}

void StatusBar::renderProgress() {
  // Coalesced: at most one drawing per interval, with the newest value.
  if (progressTimer_->isActive()) return;
  const qint64 since = sinceRender_.isValid() ? sinceRender_.elapsed() : kProgressIntervalMs;
  if (since >= kProgressIntervalMs) {
    render();
  } else {
    progressTimer_->start(static_cast<int>(kProgressIntervalMs - since));
  }
}

void StatusBar::render() {
  progressTimer_->stop();
  ++renders_;
  sinceRender_.start();
  const bool transferring = operation_ != Operation::None && total_ > 0;
  if (transferring) {
    const QString of = tr("%1 of %2").arg(plainNumber(value_), plainNumber(total_));
    if (firmwareProgress_) {
      prefix_ = tr("Sending firmware\u2026 %1 packets").arg(of);
    } else if (received_) {
      prefix_ = tr("All %1 packets received \u2014 saving").arg(plainNumber(total_));
    } else if (operation_ == Operation::MemoryRead) {
      prefix_ = tr("Reading the logger's memory\u2026 %1 packets").arg(of);
    } else {
      prefix_ = tr("Downloading\u2026 %1 packets").arg(of);
    }
    path_.clear();
    suffix_.clear();
  }
  const QString connection = connectionText();
  connection_->setToolTip(plaintext::toolTip(connection));
  connection_->setText(
      QFontMetrics(connection_->font()).elidedText(connection, Qt::ElideRight, connection_->width()));

  const QString full = messageText();
  message_->setToolTip(plaintext::toolTip(full));
  const QFontMetrics metrics(message_->font());
  const int room = message_->width();
  QString shown = full;
  if (metrics.horizontalAdvance(full) > room) {
    const int around = metrics.horizontalAdvance(prefix_ + suffix_);
    shown = path_.isEmpty() ? metrics.elidedText(full, Qt::ElideRight, room)
                            : prefix_ + elidePath(path_, metrics, std::max(room - around, 0)) + suffix_;
  }
  message_->setText(shown);

  if (transferring || busyBar_) {
    if (busyBar_) {
      bar_->setRange(0, 0);  // a wait without steps
    } else {
      bar_->setRange(0, static_cast<int>(std::min<qint64>(total_, INT32_MAX)));
      bar_->setValue(static_cast<int>(std::clamp<qint64>(value_, 0, total_)));
    }
    stack_->setCurrentWidget(bar_);
  } else {
    stack_->setCurrentWidget(offerVisible_ ? static_cast<QWidget*>(offer_) : idle_);
  }
}

bool StatusBar::eventFilter(QObject* watched, QEvent* event) {
  // The shortened texts depend on the room the labels have.
  if (event->type() == QEvent::Resize && (watched == message_ || watched == connection_)) {
    QTimer::singleShot(0, this, [this] {
      if (!progressTimer_->isActive()) render();
    });
  }
  return QStatusBar::eventFilter(watched, event);
}
