#include "MeasurementsWindow.h"

#include <qcustomplot.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
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

  readerThread_.setMaxThreadCount(1);
  if (store_ && store_->isOpen()) {
    // Opening checks the file; done now, the first records come sooner.
    (void)QtConcurrent::run(&readerThread_, [reader = reader_, path = store_->path()] {
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
  bar->addStretch();
  auto* reset = new QPushButton(tr("Reset zoom"));
  reset->setToolTip(tr("Show all records (Home)"));
  bar->addWidget(reset);
  auto* csvButton = new QPushButton(tr("Export CSV…"));
  auto* pngButton = new QPushButton(tr("Save chart…"));
  auto* pdfButton = new QPushButton(tr("PDF report…"));
  csvButton->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
  pngButton->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
  pdfButton->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
  csvButton->setToolTip(tr("The records in view, in the format of a download (Ctrl+E)"));
  pngButton->setToolTip(tr("The chart as a PNG image (Ctrl+S)"));
  pdfButton->setToolTip(tr("A one-page report of the range in view (Ctrl+P)"));
  bar->addWidget(csvButton);
  bar->addWidget(pngButton);
  bar->addWidget(pdfButton);

  connect(source_, QOverload<int>::of(&QComboBox::activated), this, [this](int index) {
    selectSource({source_->itemData(index, Qt::UserRole).toBool(),
                  source_->itemData(index, Qt::UserRole + 1).toString()});
  });
  connect(dewPoint_, &QCheckBox::toggled, this, [this] {
    rebuildGraphs();
    plot_->replot(QCustomPlot::rpQueuedReplot);
  });
  connect(reset, &QPushButton::clicked, this, &MeasurementsWindow::resetZoom);
  connect(csvButton, &QPushButton::clicked, this, [this] { askExport(0); });
  connect(pngButton, &QPushButton::clicked, this, [this] { askExport(1); });
  connect(pdfButton, &QPushButton::clicked, this, [this] { askExport(2); });
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

void MeasurementsWindow::connectWork() {
  viewTimer_ = new QTimer(this);
  viewTimer_->setSingleShot(true);
  viewTimer_->setInterval(kViewDelayMs);
  connect(viewTimer_, &QTimer::timeout, this, &MeasurementsWindow::updateView);
  connect(&loadWatcher_, &QFutureWatcher<LoadResult>::finished, this, &MeasurementsWindow::loadFinished);
  connect(&statsWatcher_, &QFutureWatcher<StatsResult>::finished, this, &MeasurementsWindow::statsFinished);
  connect(&exportWatcher_, &QFutureWatcher<ExportOutcome>::finished, this, &MeasurementsWindow::exportDone);
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
  // An export holds its own references to the records and never touches the window: it is told to
  // stop, leaves the file as it was, and its outcome goes nowhere.
  exportWatcher_.disconnect(this);
  if (exportState_) exportState_->cancel = true;
  loadWatcher_.waitForFinished();
  statsWatcher_.waitForFinished();
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
  // Already shown: historyChanged() keeps it current.
  if (!loading_ && data_ && !dataSource_.file && dataSource_.key == logger && current_.key == logger &&
      !current_.file)
    return;
  selectSource({false, logger});
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
  loadWatcher_.setFuture(QtConcurrent::run(&readerThread_, [reader = reader_, path, logger = source.key]() {
    std::string error;
    if (path.empty()) return LoadResult{false, nullptr, tr("The history is not open.")};
    if ((!reader->isOpen() || reader->path() != path) && !reader->openForReading(path, error))
      return LoadResult{false, nullptr, QString::fromStdString(error)};
    history::Query query;
    query.logger = logger.toStdString();
    std::vector<MeasurementRecord> records;
    const auto keep = [&](const history::StoredRecord& r) {
      records.push_back({r.time, r.record, r.checksumError, r.fromFile, r.download});
      return true;
    };
    if (!reader->scan(query, keep, error)) return LoadResult{false, nullptr, QString::fromStdString(error)};
    auto data = prepareMeasurements(logger, std::move(records));
    std::map<int64_t, QString> sources;
    for (const history::DownloadRow& row : reader->downloads(query.logger)) sources[row.id] = sourceText(row);
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
  setWindowTitle(tr("Measurements: %1").arg(data_->title));
  rebuildSensors();
  rebuildShown();
  rebuildGraphs();
  if (data_->records.empty()) {
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
                                             generation = statsGeneration_, deltaH = deltaH_->value()]() {
    std::vector<history::StoredRecord> slice(end - begin);
    std::map<std::pair<int64_t, bool>, int64_t> perDownload;
    for (size_t i = begin; i < end; ++i) {
      const MeasurementRecord& r = data->records[(*shown)[i]];
      history::StoredRecord& out = slice[i - begin];
      out.time = r.time;
      out.record = r.record;
      out.checksumError = r.checksumError;
      ++perDownload[{r.download, r.fromFile}];
    }
    // Where the records in view came from, for the report; those read from a file are marked.
    std::map<QString, std::pair<int64_t, bool>> sources;
    for (const auto& [key, n] : perDownload) {
      MeasurementRecord r{};
      r.download = key.first;
      r.fromFile = key.second;
      auto& entry = sources[data->sourceOf(r)];
      entry.first += n;
      entry.second = entry.second || key.second;
    }
    return StatsResult{generation, history::statistics(slice, deltaH), std::move(sources)};
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
  sourcesShown_ = std::move(result.sources);
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
  const QStringList header = statisticsHeader();
  const std::vector<QStringList> rows = statisticsRows();
  stats_->setColumnCount(header.size());
  stats_->setHorizontalHeaderLabels(header);
  if (QTableWidgetItem* mkt = stats_->horizontalHeaderItem(13))
    mkt->setToolTip(tr("Mean kinetic temperature of the records without a check sum error"));
  stats_->setRowCount(static_cast<int>(rows.size()));
  for (int r = 0; r < static_cast<int>(rows.size()); ++r)
    for (int c = 0; c < header.size(); ++c) {
      auto* item = new QTableWidgetItem(rows[static_cast<size_t>(r)][c]);
      item->setTextAlignment(c == 2 || c == 3 ? Qt::AlignLeft | Qt::AlignVCenter
                                              : Qt::AlignRight | Qt::AlignVCenter);
      stats_->setItem(r, c, item);
    }
  stats_->resizeColumnsToContents();
}

bool MeasurementsWindow::isLoading() const {
  return loading_ || statsRunning_;
}

void MeasurementsWindow::setStatus(const QString& text) {
  status_->setText(text);
}

void MeasurementsWindow::closeEvent(QCloseEvent* event) {
  cancelExport();
  QWidget::closeEvent(event);
}
