#include "LoggersWindow.h"

#include <QDateTime>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTableWidget>
#include <QTimeZone>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrent>
#include <ctime>

#include "DisplayFormat.h"
#include "MeasurementData.h"
#include "data/RegionalFormat.h"

namespace {

enum Column {
  Logger,
  NameColumn,
  Readings,
  FirstReading,
  LastReading,
  LastDownload,
  Where,
  Firmware,
  LimitsColumn,
  Excursions,
  Alarms,
  Days,
  ColumnCount
};

// A cell that sorts by `order` and shows `text`.
class Cell : public QTableWidgetItem {
 public:
  Cell(const QString& text, qlonglong order) : QTableWidgetItem(text), order_(order) {
    setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
  }
  explicit Cell(const QString& text) : Cell(text, 0) { byText_ = true; }
  bool operator<(const QTableWidgetItem& other) const override {
    const auto* cell = dynamic_cast<const Cell*>(&other);
    if (byText_ || cell == nullptr) return text() < other.text();
    return order_ < cell->order_;
  }

 private:
  qlonglong order_;
  bool byText_ = false;
};

constexpr qlonglong kUnknown = -1;

}  // namespace

LoggersWindow::LoggersWindow(const std::string& path, QWidget* parent)
    : QWidget(parent, Qt::Window), path_(path), reader_(std::make_shared<history::Store>()) {
  setObjectName(QStringLiteral("LoggersWindow"));
  setWindowTitle(tr("Loggers - Tarnwick"));
  table_ = new QTableWidget(0, ColumnCount);
  table_->setObjectName(QStringLiteral("loggers"));
  table_->setHorizontalHeaderLabels({tr("Logger"), tr("Name (place)"), tr("Readings"), tr("First reading"),
                                     tr("Last reading"), tr("Last download (UTC)"), tr("Where"),
                                     tr("Firmware"), tr("Limits"), tr("Excursions"), tr("Alarms"),
                                     tr("Days")});
  table_->horizontalHeaderItem(NameColumn)->setToolTip(tr("What people call the logger and where it is"));
  table_->horizontalHeaderItem(Where)->setToolTip(tr("How the logger was reached, and by whom at which PC"));
  table_->horizontalHeaderItem(LastDownload)
      ->setToolTip(tr("The newest download from the logger itself, UTC"));
  table_->horizontalHeaderItem(Excursions)
      ->setToolTip(tr("Excursions among the records of the last download, where limits are set"));
  table_->horizontalHeaderItem(Days)->setToolTip(tr("Whole days since the last download"));
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->verticalHeader()->hide();
  table_->setAlternatingRowColors(true);
  table_->horizontalHeader()->setSortIndicator(Logger, Qt::AscendingOrder);  // by serial until a click
  table_->setSortingEnabled(true);
  table_->horizontalHeader()->setStretchLastSection(true);
  connect(table_, &QTableWidget::cellDoubleClicked, this, [this](int row, int) {
    if (QTableWidgetItem* item = table_->item(row, Logger))
      emit openLogger(item->data(Qt::UserRole).toString());
  });

  auto* reread = new QPushButton(tr("&Refresh"));
  reread->setObjectName(QStringLiteral("refresh"));
  connect(reread, &QPushButton::clicked, this, &LoggersWindow::refresh);
  compare_ = new QPushButton(tr("&Compare on one chart"));
  compare_->setObjectName(QStringLiteral("compare"));
  compare_->setToolTip(tr("The selected loggers' sensors in one measurements chart"));
  compare_->setEnabled(false);
  connect(compare_, &QPushButton::clicked, this, [this] {
    const QStringList loggers = selectedLoggers();
    if (!loggers.isEmpty()) emit compareLoggers(loggers);
  });
  label_ = new QPushButton(tr("&Name and place\u2026"));
  label_->setObjectName(QStringLiteral("label"));
  label_->setToolTip(tr("Give the selected logger a name and a place; every change is recorded"));
  label_->setEnabled(false);
  connect(label_, &QPushButton::clicked, this, &LoggersWindow::editLabel);
  connect(table_->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
    compare_->setEnabled(selectedLoggers().size() >= 2);
    label_->setEnabled(selectedLoggers().size() == 1);
  });
  status_ = new QLabel;
  status_->setObjectName(QStringLiteral("status"));
  status_->setTextInteractionFlags(Qt::TextSelectableByMouse);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(status_, 1);
  buttons->addWidget(label_);
  buttons->addWidget(compare_);
  buttons->addWidget(reread);
  auto* layout = new QVBoxLayout(this);
  auto* hint = new QLabel(tr("Double-click a logger for its measurements; select several to compare them."));
  hint->setWordWrap(true);
  layout->addWidget(hint);
  layout->addWidget(table_, 1);
  layout->addLayout(buttons);
  resize(1000, 360);

  connect(&watcher_, &QFutureWatcher<Result>::finished, this, &LoggersWindow::loadFinished);
  refresh();
}

LoggersWindow::~LoggersWindow() {
  // The task owns the reader it uses; only its result is dropped.
  watcher_.disconnect(this);
  watcher_.waitForFinished();
}

void LoggersWindow::setHistoryPath(const std::string& path) {
  path_ = path;
  refresh();
}

void LoggersWindow::refresh() {
  if (loading_) {
    again_ = true;
    return;
  }
  loading_ = true;
  status_->setText(tr("Reading the history\u2026"));
  watcher_.setFuture(readerThread_.run([reader = reader_, path = path_] {
    Result result;
    result.now = static_cast<int64_t>(std::time(nullptr));
    std::string error;
    if (path.empty()) {
      result.error = tr("No history is available (no home folder is known).");
      return result;
    }
    if ((reader->isOpen() && reader->path() == path) || reader->openForReading(path, error)) {
      if (!reader->loggerSummaries(result.rows, error)) result.error = QString::fromStdString(error);
    } else {
      result.error = QString::fromStdString(error);
    }
    return result;
  }));
}

void LoggersWindow::loadFinished() {
  loading_ = false;
  const Result result = watcher_.result();
  if (again_) {
    again_ = false;
    refresh();
    return;
  }
  fill(result);
  emit loaded();
}

void LoggersWindow::fill(const Result& result) {
  const QStringList selected = selectedLoggers();
  table_->setSortingEnabled(false);
  table_->clearContents();
  table_->setRowCount(static_cast<int>(result.rows.size()));
  const QString pattern = localeformat::qtDisplayFormat(exportFormat().shortDate) + QStringLiteral(" HH:mm");
  const auto utc = [&pattern](int64_t seconds) {
    return QDateTime::fromSecsSinceEpoch(seconds, QTimeZone::utc()).toString(pattern);
  };
  const QString none = QStringLiteral("\u2014");
  int row = 0;
  for (const history::LoggerSummary& s : result.rows) {
    const QString logger = QString::fromStdString(s.logger);
    const bool downloaded = s.lastDownload != 0;
    const bool counted = downloaded && s.limitsSet;
    // Shown by the printable rule (a server's rows were written by whoever had rights there); the
    // serial itself stays the key.
    QString shown = logger;
    for (QChar& c : shown)
      if (c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() < 0xA0)) c = QLatin1Char('?');
    auto* name = new Cell(shown);
    name->setData(Qt::UserRole, logger);
    table_->setItem(row, Logger, name);
    QStringList label;
    for (const std::string* part : {&s.label.name, &s.label.place})
      if (!part->empty()) label << QString::fromStdString(*part);
    auto* labelCell = new Cell(label.isEmpty()         ? none
                               : s.label.place.empty() ? label.front()
                               : s.label.name.empty()  ? QStringLiteral("(%1)").arg(label.front())
                                                       : QStringLiteral("%1 (%2)").arg(label[0], label[1]));
    labelCell->setData(Qt::UserRole, QString::fromStdString(s.label.name));
    labelCell->setData(Qt::UserRole + 1, QString::fromStdString(s.label.place));
    table_->setItem(row, NameColumn, labelCell);
    table_->setItem(row, Readings,
                    new Cell(QLocale().toString(static_cast<qlonglong>(s.readings)), s.readings));
    table_->setItem(row, FirstReading,
                    s.readings > 0 ? new Cell(measurementtext::time(s.firstReading), s.firstReading)
                                   : new Cell(none, kUnknown));
    table_->setItem(row, LastReading,
                    s.readings > 0 ? new Cell(measurementtext::time(s.lastReading), s.lastReading)
                                   : new Cell(none, kUnknown));
    table_->setItem(
        row, LastDownload,
        downloaded ? new Cell(utc(s.lastDownloadTime), s.lastDownloadTime) : new Cell(tr("never"), kUnknown));
    QString where = QString::fromStdString(s.device);
    if (!s.host.empty() || !s.user.empty())
      where = QStringLiteral("%1@%2").arg(QString::fromStdString(s.user), QString::fromStdString(s.host));
    table_->setItem(row, Where, new Cell(downloaded && !where.isEmpty() ? where : none));
    table_->setItem(row, Firmware, new Cell(s.firmware.empty() ? none : QString::fromStdString(s.firmware)));
    table_->setItem(row, LimitsColumn, new Cell(s.limitsSet ? tr("set") : tr("none")));
    table_->setItem(
        row, Excursions,
        counted ? new Cell(QString::number(s.excursions), s.excursions) : new Cell(none, kUnknown));
    table_->setItem(row, Alarms,
                    counted ? new Cell(QString::number(s.alarms), s.alarms) : new Cell(none, kUnknown));
    const int64_t days = s.daysSinceDownload(result.now);
    table_->setItem(row, Days, days >= 0 ? new Cell(QString::number(days), days) : new Cell(none, kUnknown));
    for (int c = Readings; c < ColumnCount; ++c)
      if (c != NameColumn && c != Where && c != Firmware && c != LimitsColumn)
        table_->item(row, c)->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    if (counted && s.alarms > 0) table_->item(row, Alarms)->setForeground(QColor(0xB0, 0x1E, 0x1E));
    // Without an alarm, readings that do not cover the download's range are no all-clear: amber.
    if (counted && s.alarms == 0 && s.incomplete)
      table_->item(row, Alarms)->setForeground(QColor(0xC0, 0x7A, 0x00));
    if (counted) table_->item(row, Alarms)->setToolTip(QString::fromStdString(s.verdict));
    ++row;
  }
  table_->setSortingEnabled(true);
  table_->resizeColumnsToContents();
  // Wide enough for every column, as far as the screen allows.
  int wanted = table_->frameWidth() * 2 + table_->verticalScrollBar()->sizeHint().width();
  for (int c = 0; c < ColumnCount; ++c) wanted += table_->columnWidth(c);
  wanted += layout()->contentsMargins().left() + layout()->contentsMargins().right();
  const QRect screen = this->screen() ? this->screen()->availableGeometry() : QRect(0, 0, 1920, 1080);
  if (width() < wanted) resize(std::min(wanted, screen.width()), height());
  for (int r = 0; r < table_->rowCount(); ++r)
    if (selected.contains(table_->item(r, Logger)->data(Qt::UserRole).toString())) table_->selectRow(r);
  if (!result.error.isEmpty())
    status_->setText(result.error);
  else if (result.rows.empty())
    status_->setText(tr("The history holds no loggers yet: a download adds its logger."));
  else
    status_->setText((result.rows.size() == 1 ? tr("1 logger in the history %1")
                                              : tr("%1 loggers in the history %2").arg(result.rows.size()))
                         .arg(QString::fromStdString(path_)));
}

void LoggersWindow::editLabel() {
  const QStringList loggers = selectedLoggers();
  if (loggers.size() != 1) return;
  int row = -1;
  for (int r = 0; r < table_->rowCount(); ++r)
    if (table_->item(r, Logger)->data(Qt::UserRole).toString() == loggers.front()) row = r;
  if (row < 0) return;
  QDialog dialog(this);
  dialog.setObjectName(QStringLiteral("LoggerLabelDialog"));
  dialog.setWindowTitle(tr("Name and place of %1").arg(loggers.front()));
  auto* name = new QLineEdit(table_->item(row, NameColumn)->data(Qt::UserRole).toString());
  name->setObjectName(QStringLiteral("name"));
  name->setPlaceholderText(tr("e.g. Fridge 3"));
  auto* place = new QLineEdit(table_->item(row, NameColumn)->data(Qt::UserRole + 1).toString());
  place->setObjectName(QStringLiteral("place"));
  place->setPlaceholderText(tr("e.g. Vaccine store"));
  for (QLineEdit* field : {name, place}) field->setMaxLength(static_cast<int>(history::kMaxLabelLength));
  auto* error = new QLabel;
  error->setObjectName(QStringLiteral("error"));
  error->setTextFormat(Qt::PlainText);
  error->setStyleSheet(QStringLiteral("color: #b00000"));
  auto* form = new QFormLayout;
  form->addRow(tr("Name:"), name);
  form->addRow(tr("Place:"), place);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel);
  auto* layout = new QVBoxLayout(&dialog);
  layout->addLayout(form);
  layout->addWidget(error);
  layout->addWidget(buttons);
  const std::string logger = loggers.front().toStdString(), path = path_;
  connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  connect(buttons, &QDialogButtonBox::accepted, &dialog, [&] {
    // Written on the reader's thread: the GUI thread never waits for the history.
    const std::string newName = name->text().toStdString(), newPlace = place->text().toStdString();
    QFuture<QString> done = readerThread_.run([path, logger, newName, newPlace] {
      history::Store store;
      std::string why;
      if (store.open(path, why) &&
          store.setLoggerLabel(logger, newName, newPlace, history::thisComputer(), why))
        return QString();
      return QString::fromStdString(why);
    });
    auto* watcher = new QFutureWatcher<QString>(&dialog);
    connect(watcher, &QFutureWatcher<QString>::finished, &dialog, [&dialog, watcher, error, buttons] {
      buttons->setEnabled(true);
      if (watcher->result().isEmpty())
        dialog.accept();
      else
        error->setText(tr("Not stored: %1").arg(watcher->result()));
    });
    buttons->setEnabled(false);
    watcher->setFuture(done);
  });
  if (dialog.exec() == QDialog::Accepted) refresh();
}

QStringList LoggersWindow::selectedLoggers() const {
  QStringList out;
  for (int r = 0; r < table_->rowCount(); ++r) {
    QTableWidgetItem* item = table_->item(r, Logger);
    if (item != nullptr && item->isSelected()) out << item->data(Qt::UserRole).toString();
  }
  return out;
}

void LoggersWindow::keyPressEvent(QKeyEvent* event) {
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && table_->currentRow() >= 0) {
    if (QTableWidgetItem* item = table_->item(table_->currentRow(), Logger))
      emit openLogger(item->data(Qt::UserRole).toString());
    return;
  }
  QWidget::keyPressEvent(event);
}
