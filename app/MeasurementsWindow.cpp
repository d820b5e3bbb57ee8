#include "MeasurementsWindow.h"

#include <qcustomplot.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QSplitter>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <QtConcurrent>
#include <algorithm>

#include "LimitsDialog.h"
#include "RecordsModel.h"
#include "history/History.h"

using measurementtext::count;
using measurementtext::number;

namespace {

constexpr int kViewDelayMs = 150;  // the table and statistics follow the chart once zooming pauses

}  // namespace

MeasurementsWindow::MeasurementsWindow(history::Store* store, QWidget* parent)
    : QWidget(parent, Qt::Window), store_(store), reader_(std::make_shared<history::Store>()) {
  setWindowTitle(tr("Measurements"));
  resize(1100, 800);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(buildToolBar());
  auto* splitter = new QSplitter(Qt::Vertical);
  splitter->addWidget(buildChartPane());
  splitter->addWidget(buildLowerPane());
  splitter->setStretchFactor(0, 3);
  splitter->setStretchFactor(1, 2);
  layout->addWidget(splitter, 1);
  status_ = new QLabel;
  status_->setObjectName("status");
  for (QLabel* label : {readout_, rangeLabel_, status_})
    label->setTextFormat(Qt::PlainText);  // they quote file names, serial numbers and errors
  status_->setWordWrap(true);
  layout->addWidget(status_);

  buildChart();
  connectWork();

  if (store_ && store_->isOpen()) {
    // Opening checks the file; done now, the first records come sooner.
    (void)readerThread_.run([reader = reader_, path = store_->path()] {
      std::string ignored;  // a failure shows when the records are read
      reader->openForReading(path, ignored);
    });
  }
  refreshSources();
  setStatus(store_ ? tr("Choose a logger of the history or open a measurements file.")
                   : tr("No history is available; open a measurements file."));
}

QHBoxLayout* MeasurementsWindow::buildToolBar() {
  auto* bar = new QHBoxLayout;
  bar->addWidget(new QLabel(tr("Records of:")));
  source_ = new QComboBox;
  source_->setObjectName("source");
  source_->setMinimumContentsLength(18);
  source_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  bar->addWidget(source_);
  bar->addSpacing(12);
  bar->addWidget(new QLabel(tr("Sensors:")));
  sensorLayout_ = new QHBoxLayout;
  bar->addLayout(sensorLayout_);
  bar->addSpacing(12);
  dewPoint_ = new QCheckBox(tr("Dew point"));
  dewPoint_->setObjectName("dewPoint");
  bar->addWidget(dewPoint_);
  bar->addSpacing(12);
  limitsButton_ = new QPushButton(tr("Limits…"));
  limitsButton_->setObjectName("limits");
  limitsButton_->setToolTip(tr("The logger's temperature and humidity limits and when they alarm"));
  limitsButton_->setEnabled(false);
  bar->addWidget(limitsButton_);
  bar->addStretch();
  auto* reset = new QPushButton(tr("Reset zoom"));
  reset->setToolTip(tr("Show all records (Home)"));
  bar->addWidget(reset);
  auto* csvButton = new QPushButton(tr("Export CSV…"));
  auto* pngButton = new QPushButton(tr("Save chart…"));
  auto* pdfButton = new QPushButton(tr("PDF report…"));
  auto* xlsxButton = new QPushButton(tr("Export XLSX…"));
  csvButton->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
  pngButton->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
  pdfButton->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
  csvButton->setToolTip(tr("The records in view, in the format of a download (Ctrl+E)"));
  pngButton->setToolTip(tr("The chart as a PNG image (Ctrl+S)"));
  pdfButton->setToolTip(
      tr("A report of the range in view with limits, excursions, verdict and lines to sign (Ctrl+P)"));
  xlsxButton->setToolTip(tr("The records in view, their excursions, statistics and limits as a spreadsheet"));
  bar->addWidget(csvButton);
  bar->addWidget(pngButton);
  bar->addWidget(pdfButton);
  bar->addWidget(xlsxButton);

  connect(source_, QOverload<int>::of(&QComboBox::activated), this, [this](int index) {
    selectSource({source_->itemData(index, Qt::UserRole).toBool(),
                  source_->itemData(index, Qt::UserRole + 1).toString()});
  });
  connect(dewPoint_, &QCheckBox::toggled, this, [this] {
    rebuildGraphs();
    plot_->replot(QCustomPlot::rpQueuedReplot);
  });
  connect(reset, &QPushButton::clicked, this, &MeasurementsWindow::resetZoom);
  connect(limitsButton_, &QPushButton::clicked, this, &MeasurementsWindow::openLimitsDialog);
  connect(csvButton, &QPushButton::clicked, this, [this] { askExport(0); });
  connect(pngButton, &QPushButton::clicked, this, [this] { askExport(1); });
  connect(pdfButton, &QPushButton::clicked, this, [this] { askExport(2); });
  connect(xlsxButton, &QPushButton::clicked, this, [this] { askExport(3); });
  return bar;
}

QWidget* MeasurementsWindow::buildChartPane() {
  auto* chartPane = new QWidget;
  auto* chartLayout = new QVBoxLayout(chartPane);
  chartLayout->setContentsMargins(0, 0, 0, 0);
  plot_ = new QCustomPlot;
  plot_->setObjectName("chart");
  plot_->setMinimumHeight(260);
  chartLayout->addWidget(plot_, 1);
  readout_ =
      new QLabel(tr("Wheel: zoom · drag: zoom to the rectangle · Ctrl+drag or middle button: pan · "
                    "arrow keys, +, −, Home"));
  readout_->setObjectName("readout");
  chartLayout->addWidget(readout_);
  return chartPane;
}

QWidget* MeasurementsWindow::buildLowerPane() {
  auto* lower = new QWidget;
  auto* lowerLayout = new QVBoxLayout(lower);
  lowerLayout->setContentsMargins(0, 0, 0, 0);
  rangeLabel_ = new QLabel;
  rangeLabel_->setObjectName("range");
  lowerLayout->addWidget(rangeLabel_);
  auto* tabs = new QTabWidget;
  tabs->addTab(buildStatisticsPane(), tr("Statistics"));
  tabs->addTab(buildExcursionsPane(), tr("Excursions"));
  tabs->addTab(buildRecordsTable(), tr("Records in view"));
  lowerLayout->addWidget(tabs);
  return lower;
}

QWidget* MeasurementsWindow::buildStatisticsPane() {
  auto* statsPane = new QWidget;
  auto* statsLayout = new QVBoxLayout(statsPane);
  stats_ = new QTableWidget;
  stats_->setObjectName("statistics");
  stats_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  stats_->verticalHeader()->hide();
  statsLayout->addWidget(stats_);
  auto* mktRow = new QHBoxLayout;
  mktRow->addWidget(new QLabel(tr("Mean kinetic temperature with ΔH/R =")));
  deltaH_ = new QDoubleSpinBox;
  deltaH_->setObjectName("deltaHOverR");
  deltaH_->setRange(1000, 100000);
  deltaH_->setDecimals(0);
  deltaH_->setSingleStep(100);
  deltaH_->setValue(10000);
  deltaH_->setSuffix(" K");
  mktRow->addWidget(deltaH_);
  mktRow->addStretch();
  statsLayout->addLayout(mktRow);
  return statsPane;
}

QTableView* MeasurementsWindow::buildRecordsTable() {
  table_ = new QTableView;
  table_->setObjectName("records");
  model_ = new RecordsModel(this);
  table_->setModel(model_);
  table_->verticalHeader()->hide();
  table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  table_->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
  table_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  table_->horizontalHeader()->setStretchLastSection(true);
  // Widths from the headers and the longest values, not from the rows: there may be a million.
  for (int c = 0; c < RecordsModel::ColumnCount; ++c)
    table_->setColumnWidth(
        c, std::max(fontMetrics().horizontalAdvance(model_->headerData(c, Qt::Horizontal).toString()),
                    fontMetrics().horizontalAdvance(c == RecordsModel::Time ? "00.00.0000 00:00:00 PM"
                                                                            : "-000,0")) +
               24);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  return table_;
}

QWidget* MeasurementsWindow::buildExcursionsPane() {
  auto* pane = new QWidget;
  auto* layout = new QVBoxLayout(pane);
  excursionsLabel_ = new QLabel(tr("No limits are set."));
  excursionsLabel_->setObjectName("excursionsSummary");
  excursionsLabel_->setTextFormat(Qt::PlainText);
  layout->addWidget(excursionsLabel_);
  excursionTable_ = new QTableView;
  excursionTable_->setObjectName("excursions");
  excursionsModel_ = new ExcursionsModel(this);
  excursionTable_->setModel(excursionsModel_);
  excursionTable_->verticalHeader()->hide();
  excursionTable_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  excursionTable_->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
  excursionTable_->horizontalHeader()->setStretchLastSection(true);
  excursionTable_->setSelectionBehavior(QAbstractItemView::SelectRows);
  excursionTable_->setSelectionMode(QAbstractItemView::SingleSelection);
  excursionTable_->setToolTip(tr("Click an excursion to see it on the chart"));
  for (int c = 0; c < ExcursionsModel::ColumnCount; ++c) {
    const bool time = c == ExcursionsModel::Start || c == ExcursionsModel::End;
    excursionTable_->setColumnWidth(
        c,
        std::max(fontMetrics().horizontalAdvance(excursionsModel_->headerData(c, Qt::Horizontal).toString()),
                 fontMetrics().horizontalAdvance(
                     time ? QStringLiteral("00.00.0000 00:00:00 PM +00:00") +
                                (c == ExcursionsModel::End ? tr(" (data ends)") : QString())
                          : QStringLiteral("-000,0 %RH"))) +
            16);
  }
  connect(excursionTable_, &QTableView::clicked, this, &MeasurementsWindow::zoomToExcursion);
  connect(excursionTable_, &QTableView::activated, this, &MeasurementsWindow::zoomToExcursion);
  layout->addWidget(excursionTable_);
  commentButton_ = new QPushButton(tr("Co&mment\u2026"));
  commentButton_->setObjectName("commentExcursion");
  commentButton_->setToolTip(tr("Add the cause and the corrective action of the selected excursion"));
  commentButton_->setEnabled(false);
  connect(commentButton_, &QPushButton::clicked, this, &MeasurementsWindow::commentExcursion);
  connect(excursionTable_->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
    commentButton_->setEnabled(store_ && data_ && !dataSource_.file &&
                               excursionTable_->selectionModel()->hasSelection());
  });
  auto* row = new QHBoxLayout;
  row->addStretch();
  row->addWidget(commentButton_);
  layout->addLayout(row);
  return pane;
}

bool MeasurementsWindow::commentExcursion() {
  const QModelIndexList rows = excursionTable_->selectionModel()->selectedRows();
  const history::Excursion* e = rows.isEmpty() ? nullptr : excursionsModel_->excursion(rows.front().row());
  if (!e || !store_ || !data_ || dataSource_.file) return false;
  QDialog dialog(this);
  dialog.setObjectName("ExcursionCommentDialog");
  dialog.setWindowTitle(tr("Comment on the excursion from %1").arg(timeText(e->start)));
  auto* cause = new QLineEdit;
  cause->setObjectName("cause");
  auto* action = new QLineEdit;
  action->setObjectName("action");
  for (QLineEdit* field : {cause, action}) field->setMaxLength(static_cast<int>(history::kMaxNoteLength));
  auto* error = new QLabel;
  error->setObjectName("error");
  error->setTextFormat(Qt::PlainText);
  error->setStyleSheet("color: #b00000");
  auto* form = new QFormLayout;
  form->addRow(tr("Cause:"), cause);
  form->addRow(tr("Corrective action:"), action);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel);
  auto* layout = new QVBoxLayout(&dialog);
  layout->addWidget(new QLabel(tr("Added beside the earlier comments, with your name and this computer's.")));
  layout->addLayout(form);
  layout->addWidget(error);
  layout->addWidget(buttons);
  const history::Excursion chosen = *e;
  const std::string logger = dataSource_.key.toStdString();
  connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  connect(buttons, &QDialogButtonBox::accepted, &dialog, [&] {
    history::ExcursionComment comment;
    comment.sensor = chosen.sensor;
    comment.quantity = history::measureName(chosen.quantity);
    comment.start = chosen.start;
    comment.who = history::thisComputer();
    comment.cause = cause->text().toStdString();
    comment.action = action->text().toStdString();
    std::string why;
    if (store_->addExcursionComment(logger, comment, why))
      dialog.accept();
    else
      error->setText(tr("Not stored: %1").arg(QString::fromStdString(why)));
  });
  if (dialog.exec() != QDialog::Accepted) return false;
  showExcursions();
  return true;
}

void MeasurementsWindow::connectWork() {
  viewTimer_ = new QTimer(this);
  viewTimer_->setSingleShot(true);
  viewTimer_->setInterval(kViewDelayMs);
  connect(viewTimer_, &QTimer::timeout, this, &MeasurementsWindow::updateView);
  connect(&loadWatcher_, &QFutureWatcher<LoadResult>::finished, this, &MeasurementsWindow::loadFinished);
  connect(&statsWatcher_, &QFutureWatcher<StatsResult>::finished, this, &MeasurementsWindow::statsFinished);
  connect(&envelopeWatcher_, &QFutureWatcher<EnvelopeResult>::finished, this,
          &MeasurementsWindow::envelopeFinished);
  connect(&exportWatcher_, &QFutureWatcher<ExportOutcome>::finished, this, &MeasurementsWindow::exportDone);
  connect(&excursionsWatcher_, &QFutureWatcher<ExcursionsDone>::finished, this,
          &MeasurementsWindow::excursionsFinished);
  progressTimer_ = new QTimer(this);
  progressTimer_->setInterval(50);
  connect(progressTimer_, &QTimer::timeout, this, [this] {
    if (progress_ && exportState_ && exportState_->total > 0)
      progress_->setValue(static_cast<int>(exportState_->done * 1000 / exportState_->total));
  });
  connect(deltaH_, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
          [this] { viewTimer_->start(); });
}

MeasurementsWindow::~MeasurementsWindow() {
  // A load or statistics task may still run; it owns what it reads, so only its result is dropped.
  loadWatcher_.disconnect(this);
  statsWatcher_.disconnect(this);
  envelopeWatcher_.disconnect(this);
  excursionsWatcher_.disconnect(this);
  // An export holds its own references to the records and never touches the window: it is told to
  // stop, leaves the file as it was, and its outcome goes nowhere.
  exportWatcher_.disconnect(this);
  if (exportState_) exportState_->cancel = true;
  loadWatcher_.waitForFinished();
  statsWatcher_.waitForFinished();
  envelopeWatcher_.waitForFinished();
  excursionsWatcher_.waitForFinished();
  readerThread_.waitForDone();
}

// ---- Sources: the loggers of the history and the opened files

void MeasurementsWindow::refreshSources() {
  const Source keep = current_;
  source_->clear();
  if (store_) {
    for (const std::string& logger : store_->loggers()) {
      const QString name = QString::fromStdString(logger);
      source_->addItem(name);
      source_->setItemData(source_->count() - 1, false, Qt::UserRole);
      source_->setItemData(source_->count() - 1, name, Qt::UserRole + 1);
    }
    if (!store_->lastError().empty()) setStatus(QString::fromStdString(store_->lastError()));
  }
  for (const auto& [title, data] : files_) {
    source_->addItem(tr("File: %1").arg(title));
    source_->setItemData(source_->count() - 1, true, Qt::UserRole);
    source_->setItemData(source_->count() - 1, title, Qt::UserRole + 1);
  }
  for (int i = 0; i < source_->count(); ++i)
    if (source_->itemData(i, Qt::UserRole).toBool() == keep.file &&
        source_->itemData(i, Qt::UserRole + 1).toString() == keep.key)
      source_->setCurrentIndex(i);
  if (keep.key.isEmpty()) source_->setCurrentIndex(-1);
}

void MeasurementsWindow::showLogger(const QString& logger) {
  if (!compared_.isEmpty()) {
    compared_.clear();
    if (data_) rebuildGraphs();
  }
  // Already shown: historyChanged() keeps it current.
  if (!loading_ && data_ && !dataSource_.file && dataSource_.key == logger && current_.key == logger &&
      !current_.file)
    return;
  selectSource({false, logger});
}

void MeasurementsWindow::showLoggers(const QStringList& loggers) {
  if (loggers.isEmpty()) return;
  showLogger(loggers.front());
  compared_ = loggers.mid(1);
  compared_.removeAll(loggers.front());
  compared_.removeDuplicates();
  comparedSensors_.clear();
  comparedSpan_ = false;
  if (store_) {
    for (const QString& logger : compared_) {
      const std::string serial = logger.toStdString();
      comparedSensors_[logger] = store_->sensors(serial);
      int64_t first = 0, last = 0;
      bool found = false;
      std::string error;
      if (store_->timeSpan(serial, first, last, found, error) && found) {
        comparedFirst_ = comparedSpan_ ? std::min(comparedFirst_, first) : first;
        comparedLast_ = comparedSpan_ ? std::max(comparedLast_, last) : last;
        comparedSpan_ = true;
      }
    }
  }
  if (data_ && !dataSource_.file && dataSource_.key == loggers.front()) {
    rebuildGraphs();
    if (!zoomed_) resetZoom();
    plot_->replot(QCustomPlot::rpQueuedReplot);
  }
}

void MeasurementsWindow::showRecords(const QString& title,
                                     const std::vector<history::StoredRecord>& records) {
  current_ = {true, title};
  startLoad(current_, records);
}

void MeasurementsWindow::historyChanged(const QString& logger) {
  refreshSources();
  if (!current_.file && current_.key == logger) startLoad(current_);
}

void MeasurementsWindow::selectSource(const Source& source) {
  const bool same = source.file == current_.file && source.key == current_.key;
  current_ = source;
  refreshSources();
  if (source.file) {
    const auto it = files_.find(source.key);
    if (it != files_.end() && !same) install(it->second, true, false);
    return;
  }
  startLoad(source);
}

void MeasurementsWindow::startLoad(const Source& source, std::vector<history::StoredRecord> records) {
  if (loading_) {
    loadPending_ = true;
    pending_ = source;
    pendingRecords_ = std::move(records);
    return;
  }
  loading_ = true;
  setStatus(tr("Reading the records of %1 …").arg(source.key));
  setWindowTitle(tr("Measurements: %1 (reading …)").arg(source.key));
  if (source.file) {
    loadWatcher_.setFuture(QtConcurrent::run([title = source.key, records = std::move(records)]() {
      std::vector<MeasurementRecord> rows;
      rows.reserve(records.size());
      for (const history::StoredRecord& r : records)
        rows.push_back({r.time, r.record, r.checksumError, r.fromFile, r.download});
      return LoadResult{true, prepareMeasurements(title, std::move(rows)), QString()};
    }));
    return;
  }
  if (!store_) {
    loadWatcher_.setFuture(QtConcurrent::run([] {
      return LoadResult{false, nullptr, tr("No history is available.")};
    }));
    return;
  }
  const std::string path = store_->path();
  loadWatcher_.setFuture(
      readerThread_.run([reader = reader_, path, logger = source.key, maxLoaded = maxLoaded_]() {
        std::string error;
        if (path.empty()) return LoadResult{false, nullptr, tr("The history is not open.")};
        if ((!reader->isOpen() || reader->path() != path) && !reader->openForReading(path, error))
          return LoadResult{false, nullptr, QString::fromStdString(error)};
        history::Query query;
        query.logger = logger.toStdString();
        // More than the window keeps: the chart alone, from the history's lowest and highest per column.
        const int64_t counted = reader->readingCount(query.logger, error);
        if (counted < 0) return LoadResult{false, nullptr, QString::fromStdString(error)};
        if (counted > maxLoaded) {
          auto data = std::make_shared<MeasurementData>();
          data->title = logger;
          data->overview = true;
          data->readings = counted;
          bool found = false;
          if (!reader->timeSpan(query.logger, data->first, data->last, found, error))
            return LoadResult{false, nullptr, QString::fromStdString(error)};
          for (uint16_t sensor : reader->sensors(query.logger)) {
            SensorSeries series;
            series.sensor = sensor;
            data->sensors.push_back(std::move(series));
          }
          if (!reader->lastError().empty())
            return LoadResult{false, nullptr, QString::fromStdString(reader->lastError())};
          return LoadResult{false, std::move(data), QString()};
        }
        std::vector<MeasurementRecord> records;
        const auto keep = [&](const history::StoredRecord& r) {
          records.push_back({r.time, r.record, r.checksumError, r.fromFile, r.download});
          return true;
        };
        if (!reader->scan(query, keep, error))
          return LoadResult{false, nullptr, QString::fromStdString(error)};
        auto data = prepareMeasurements(logger, std::move(records));
        std::map<int64_t, QString> sources;
        for (const history::DownloadRow& row : reader->downloads(query.logger))
          sources[row.id] = sourceText(row);
        std::const_pointer_cast<MeasurementData>(data)->sources = std::move(sources);
        return LoadResult{false, std::move(data), QString()};
      }));
}

void MeasurementsWindow::loadFinished() {
  LoadResult result = loadWatcher_.result();
  loading_ = false;
  if (result.file && result.data) files_[result.data->title] = result.data;
  if (loadPending_) {
    loadPending_ = false;
    startLoad(pending_, std::move(pendingRecords_));
    pendingRecords_.clear();
    return;
  }
  if (!result.data) {
    setStatus(result.error);
    emit loaded();
    return;
  }
  if (result.file) refreshSources();
  const bool sameSource = data_ && dataSource_.file == result.file && data_->title == result.data->title;
  install(result.data, result.file, sameSource && zoomed_);
  emit loaded();
}

void MeasurementsWindow::install(std::shared_ptr<const MeasurementData> data, bool file, bool keepRange) {
  const bool sameSource = data_ && dataSource_.file == file && data_->title == data->title;
  data_ = std::move(data);
  dataSource_ = {file, data_->title};
  if (!sameSource) hidden_.clear();
  // A logger of the history is shown with the name and place people gave it.
  QString title = data_->title;
  history::LoggerLabel label;
  std::string labelError;
  if (!file && store_ && store_->loggerLabel(data_->title.toStdString(), label, labelError)) {
    QStringList parts;
    for (const std::string* part : {&label.name, &label.place})
      if (!part->empty()) parts << QString::fromStdString(*part);
    if (!parts.isEmpty()) title += QStringLiteral(" (%1)").arg(parts.join(QStringLiteral(", ")));
  }
  setWindowTitle(tr("Measurements: %1").arg(title));
  reloadLimits();
  rebuildSensors();
  rebuildShown();
  rebuildGraphs();
  startExcursions();
  if (data_->overview) {
    setStatus(tr("%1: more than %2 records from %3 to %4, too many to load: the chart shows the lowest and "
                 "highest reading of each pixel column; none are listed, counted or exported.")
                  .arg(data_->title, count(maxLoaded_), measurementtext::time(data_->first),
                       measurementtext::time(data_->last)));
  } else if (data_->records.empty()) {
    setStatus(tr("%1 has no records.").arg(data_->title));
  } else {
    setStatus(tr("%1: %2 records from %3 to %4.")
                  .arg(data_->title, count(static_cast<int64_t>(data_->records.size())),
                       measurementtext::time(data_->first), measurementtext::time(data_->last)));
  }
  if (!keepRange) {
    resetZoom();
  } else {
    seriesDirty_ = true;
    plot_->replot(QCustomPlot::rpQueuedReplot);
  }
  viewTimer_->stop();
  updateView();
}

void MeasurementsWindow::rebuildSensors() {
  for (QCheckBox* box : sensorBoxes_) delete box;
  sensorBoxes_.clear();
  for (const SensorSeries& s : data_->sensors) {
    auto* box = new QCheckBox(QString::number(s.sensor));
    box->setObjectName(QString("sensor%1").arg(s.sensor));
    box->setChecked(!hidden_.count(s.sensor));
    const uint16_t sensor = s.sensor;
    connect(box, &QCheckBox::toggled, this, [this, sensor](bool on) { setSensorShown(sensor, on); });
    sensorLayout_->addWidget(box);
    sensorBoxes_.push_back(box);
  }
}

void MeasurementsWindow::setSensorShown(uint16_t sensor, bool shown) {
  if (shown == !hidden_.count(sensor)) return;
  if (shown)
    hidden_.erase(sensor);
  else
    hidden_.insert(sensor);
  for (QCheckBox* box : sensorBoxes_)
    if (box->text() == QString::number(sensor)) {
      const QSignalBlocker block(box);
      box->setChecked(shown);
    }
  if (!data_) return;
  rebuildShown();
  rebuildGraphs();
  showExcursions();
  plot_->replot(QCustomPlot::rpQueuedReplot);
  viewTimer_->stop();
  updateView();
}

void MeasurementsWindow::rebuildShown() {
  auto shown = std::make_shared<std::vector<uint32_t>>();
  shownTimes_.clear();
  const auto& records = data_->records;
  shown->reserve(records.size());
  shownTimes_.reserve(records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    if (hidden_.count(records[i].record.sensorSerialNumber)) continue;
    shown->push_back(static_cast<uint32_t>(i));
    shownTimes_.push_back(records[i].time);
  }
  shown_ = std::move(shown);
}

// ---- The range in view: table and statistics

std::pair<size_t, size_t> MeasurementsWindow::shownInView() const {
  const auto [from, to] = range();
  return chart::rangeOf(shownTimes_, from, to);
}

void MeasurementsWindow::updateView() {
  if (!data_) return;
  const auto [begin, end] = shownInView();
  model_->setRows(data_, shown_, begin, end);
  const auto [from, to] = range();
  if (data_->overview)
    rangeLabel_->setText(tr("In view: %1 – %2 · records not loaded (more than %3)")
                             .arg(measurementtext::time(from), measurementtext::time(to), count(maxLoaded_)));
  else
    rangeLabel_->setText(tr("In view: %1 – %2 · %3 records")
                             .arg(measurementtext::time(from), measurementtext::time(to),
                                  count(static_cast<int64_t>(end - begin))));
  ++statsGeneration_;
  if (statsRunning_) {
    statsAgain_ = true;
    return;
  }
  statsRunning_ = true;
  statsWatcher_.setFuture(QtConcurrent::run([data = data_, shown = shown_, begin = begin, end = end,
                                             generation = statsGeneration_, deltaH = deltaH_->value(),
                                             limits = limits_]() {
    std::vector<history::StoredRecord> slice(end - begin);
    for (size_t i = begin; i < end; ++i) {
      const MeasurementRecord& r = data->records[(*shown)[i]];
      history::StoredRecord& out = slice[i - begin];
      out.time = r.time;
      out.record = r.record;
      out.checksumError = r.checksumError;
      out.fromFile = r.fromFile;
    }
    std::vector<history::SensorExcursions> excursions;
    if (limits.any())
      excursions =
          history::findExcursions(slice, [&limits](uint16_t sensor) { return limits.of(sensor); }).sensors;
    return StatsResult{generation, history::statistics(slice, deltaH), std::move(excursions)};
  }));
}

void MeasurementsWindow::statsFinished() {
  statsRunning_ = false;
  StatsResult result = statsWatcher_.result();
  if (statsAgain_ || result.generation != statsGeneration_) {
    statsAgain_ = false;
    updateView();
    return;
  }
  statsShown_ = std::move(result.stats);
  excursionStatsShown_ = std::move(result.excursions);
  fillStatistics();
  emit viewUpdated();
}

QStringList MeasurementsWindow::statisticsHeader() const {
  return {tr("Sensor"),
          tr("Records"),
          tr("First"),
          tr("Last"),
          tr("Humidity\nmin %RH"),
          tr("Humidity\nmean %RH"),
          tr("Humidity\nmax %RH"),
          tr("Temp.\nmin °C"),
          tr("Temp.\nmean °C"),
          tr("Temp.\nmax °C"),
          tr("Ambient\nmin °C"),
          tr("Ambient\nmean °C"),
          tr("Ambient\nmax °C"),
          tr("MKT\n°C"),
          tr("Check sum\nerrors")};
}

std::vector<QStringList> MeasurementsWindow::statisticsRows() const {
  std::vector<QStringList> rows;
  for (const history::SensorStats& s : statsShown_) {
    rows.push_back({QString::number(s.sensor), count(s.count), measurementtext::time(s.first),
                    measurementtext::time(s.last), number(s.humidity.min, 1), number(s.humidity.mean, 2),
                    number(s.humidity.max, 1), number(s.temperature.min, 1), number(s.temperature.mean, 2),
                    number(s.temperature.max, 1), number(s.ambientTemperature.min, 1),
                    number(s.ambientTemperature.mean, 2), number(s.ambientTemperature.max, 1),
                    number(s.meanKineticTemperature, 2), count(s.checksumErrors)});
  }
  return rows;
}

void MeasurementsWindow::fillStatistics() {
  QStringList header = statisticsHeader();
  std::vector<QStringList> rows = statisticsRows();
  // Columns by their place in the statistics without limits.
  int mktColumn = 13;
  std::vector<bool> left(static_cast<size_t>(header.size()), false);
  left[2] = left[3] = true;  // first and last
  std::vector<bool> alarmed(rows.size(), false);
  // With limits, after the record count where they are seen first: per sensor the verdict, alarms and
  // excursions in view, and the time outside each limit.
  constexpr int kLimitColumn = 2, kLimitColumns = 7;
  if (limits_.any()) {
    const QStringList added = {tr("Verdict"),        tr("Alarms"),       tr("Excur-\nsions"),
                               tr("Temp.\nabove"),   tr("Temp.\nbelow"), tr("Humidity\nabove"),
                               tr("Humidity\nbelow")};
    for (int i = 0; i < kLimitColumns; ++i) header.insert(kLimitColumn + i, added[i]);
    left.insert(left.begin() + kLimitColumn, kLimitColumns, false);
    left[kLimitColumn] = true;
    mktColumn += kLimitColumns;
    const auto time = [](const history::QuantityExcursions& q, int64_t seconds) {
      return q.limited ? measurementtext::duration(seconds) : QStringLiteral("–");
    };
    for (size_t r = 0; r < rows.size(); ++r) {
      const auto it = std::find_if(excursionStatsShown_.begin(), excursionStatsShown_.end(),
                                   [&](const history::SensorExcursions& s) {
                                     return r < statsShown_.size() && s.sensor == statsShown_[r].sensor;
                                   });
      QStringList cells;
      if (it == excursionStatsShown_.end()) {
        for (int i = 0; i < kLimitColumns; ++i) cells << QStringLiteral("–");
      } else {
        alarmed[r] = it->alarms() > 0;
        cells << QString::fromStdString(history::verdict(*it)) << count(it->alarms())
              << count(it->excursions()) << time(it->temperature, it->temperature.timeAbove)
              << time(it->temperature, it->temperature.timeBelow)
              << time(it->humidity, it->humidity.timeAbove) << time(it->humidity, it->humidity.timeBelow);
      }
      for (int i = 0; i < kLimitColumns; ++i) rows[r].insert(kLimitColumn + i, cells[i]);
    }
  }
  stats_->clear();
  stats_->setColumnCount(header.size());
  stats_->setHorizontalHeaderLabels(header);
  if (QTableWidgetItem* mkt = stats_->horizontalHeaderItem(mktColumn))
    mkt->setToolTip(tr("Mean kinetic temperature of the records without a check sum error"));
  stats_->setRowCount(static_cast<int>(rows.size()));
  for (int r = 0; r < static_cast<int>(rows.size()); ++r)
    for (int c = 0; c < header.size(); ++c) {
      auto* item = new QTableWidgetItem(rows[static_cast<size_t>(r)].value(c));
      item->setTextAlignment(left[static_cast<size_t>(c)] ? Qt::AlignLeft | Qt::AlignVCenter
                                                          : Qt::AlignRight | Qt::AlignVCenter);
      if (limits_.any() && c >= kLimitColumn && c < kLimitColumn + 2 && alarmed[static_cast<size_t>(r)])
        item->setForeground(QColor(170, 0, 0));
      stats_->setItem(r, c, item);
    }
  stats_->resizeColumnsToContents();
}

// ---- Limits and excursions

QString MeasurementsWindow::timeText(int64_t time) const {
  const QString text = measurementtext::time(time);
  if (!offsets_) return text;
  const int offset = offsets_->at(time).offset;
  const int minutes = std::abs(offset) / 60;
  return QStringLiteral("%1 %2%3:%4")
      .arg(text, offset < 0 ? QStringLiteral("-") : QStringLiteral("+"))
      .arg(minutes / 60, 2, 10, QLatin1Char('0'))
      .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

void MeasurementsWindow::reloadLimits() {
  limits_ = LoggerLimits{};
  offsets_.reset();
  plot_->xAxis->setLabel(tr("Time (logger clock)"));
  const bool logger = data_ && !dataSource_.file && store_;
  limitsButton_->setEnabled(logger);
  limitsButton_->setToolTip(logger ? tr("The logger's temperature and humidity limits and when they alarm")
                                   : tr("Limits belong to a logger of the history; choose one above."));
  if (!logger) return;
  // A handful of rows of the logger shown: read on the GUI thread's connection.
  const std::string serial = data_->title.toStdString();
  std::vector<history::LimitsRow> rows;
  std::string error;
  if (!store_->limitRows(serial, rows, error)) {
    setStatus(tr("The limits could not be read: %1").arg(QString::fromStdString(error)));
  }
  for (const history::LimitsRow& row : rows) {
    if (row.sensor)
      limits_.sensors[*row.sensor] = row.limits;
    else
      limits_.logger = row.limits;
  }
  std::vector<history::ClockZoneRow> zones;
  if (store_->clockZones(serial, zones, error))
    offsets_ = std::make_shared<const history::ClockOffsets>(
        history::clockOffsets(zones, QDateTime::currentSecsSinceEpoch()));
  // The zone of the newest records: the one the logger's clock follows now.
  if (offsets_)
    plot_->xAxis->setLabel((offsets_->recorded()
                                ? tr("Time (logger clock, %1, UTC%2)")
                                : tr("Time (logger clock, no zone recorded: taken as %1, UTC%2)"))
                               .arg(QString::fromStdString(offsets_->at(data_->last).name),
                                    timeText(data_->last).section(QLatin1Char(' '), -1)));
}

void MeasurementsWindow::limitsChanged() {
  if (!data_) return;
  reloadLimits();
  rebuildGraphs();
  startExcursions();
  viewTimer_->stop();
  updateView();
}

void MeasurementsWindow::startExcursions() {
  ++excursionsGeneration_;
  if (!data_ || !limits_.any()) {
    excursions_.reset();
    showExcursions();
    emit excursionsUpdated();
    return;
  }
  // What is drawn belongs to the records or limits before: gone until the new ones are found.
  excursions_.reset();
  showExcursions();
  if (excursionsRunning_) {
    excursionsAgain_ = true;
    return;
  }
  excursionsRunning_ = true;
  excursionsWatcher_.setFuture(
      QtConcurrent::run([data = data_, limits = limits_, generation = excursionsGeneration_]() {
        history::ExcursionFinder finder([&limits](uint16_t sensor) { return limits.of(sensor); });
        for (const MeasurementRecord& r : data->records)
          finder.add(r.time, r.record, r.checksumError, r.fromFile);
        return ExcursionsDone{generation, std::make_shared<const history::ExcursionResult>(finder.finish())};
      }));
}

void MeasurementsWindow::excursionsFinished() {
  excursionsRunning_ = false;
  ExcursionsDone done = excursionsWatcher_.result();
  if (excursionsAgain_ || done.generation != excursionsGeneration_) {
    excursionsAgain_ = false;
    startExcursions();
    return;
  }
  excursions_ = std::move(done.result);
  showExcursions();
  emit excursionsUpdated();
}

void MeasurementsWindow::showExcursions() {
  std::vector<uint16_t> shownSensors;
  if (data_)
    for (const SensorSeries& s : data_->sensors)
      if (!hidden_.count(s.sensor)) shownSensors.push_back(s.sensor);
  bands_->setExcursions(excursions_, hidden_);
  limitLines_->setLimits(limits_, shownSensors);
  excursionsModel_->setExcursions(excursions_, hidden_, [this](int64_t t) { return timeText(t); });
  std::vector<history::ExcursionComment> comments;
  std::string commentsError;
  if (store_ && data_ && !dataSource_.file &&
      !store_->excursionComments(dataSource_.key.toStdString(), comments, commentsError))
    comments.clear();  // the table shows the excursions all the same
  excursionsModel_->setComments(std::move(comments));
  if (!limits_.any()) {
    excursionsLabel_->setText(dataSource_.file ? tr("Limits belong to a logger of the history.")
                                               : tr("No limits are set: Limits… sets them."));
  } else if (!excursions_) {
    excursionsLabel_->setText(tr("Looking for excursions …"));
  } else {
    int64_t alarms = 0;
    for (int r = 0; r < excursionsModel_->rowCount(); ++r) alarms += excursionsModel_->excursion(r)->alarm;
    excursionsLabel_->setText(tr("All records of the shown sensors: %1 excursions, %2 alarms. Click one to "
                                 "see it on the chart.")
                                  .arg(count(excursionsModel_->rowCount()), count(alarms)));
  }
  plot_->replot(QCustomPlot::rpQueuedReplot);
}

void MeasurementsWindow::openLimitsDialog() {
  if (!data_ || dataSource_.file || !store_) return;
  std::vector<uint16_t> sensors;
  for (const SensorSeries& s : data_->sensors) sensors.push_back(s.sensor);
  LimitsDialog dialog(store_, data_->title, sensors, this);
  if (dialog.exec() == QDialog::Accepted) limitsChanged();
}

void MeasurementsWindow::zoomToExcursion(const QModelIndex& index) {
  const history::Excursion* e = excursionsModel_->excursion(index.row());
  if (!e) return;
  // The excursion in the middle third of the chart, with the readings around it.
  const double span = std::max<double>(static_cast<double>(e->end - e->start), 60);
  setXRange(static_cast<double>(e->start) - span, static_cast<double>(e->end) + span);
}

bool MeasurementsWindow::isLoading() const {
  return loading_ || statsRunning_ || excursionsRunning_;
}

void MeasurementsWindow::setStatus(const QString& text) {
  status_->setText(text);
}

void MeasurementsWindow::closeEvent(QCloseEvent* event) {
  cancelExport();
  QWidget::closeEvent(event);
}
