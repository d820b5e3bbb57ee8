#include "MeasurementsWindow.h"

#include <qcustomplot.h>

#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImageWriter>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QPdfWriter>
#include <QPicture>
#include <QProgressDialog>
#include <QPushButton>
#include <QRegularExpression>
#include <QSplitter>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTimeZone>
#include <QTimer>
#include <QVBoxLayout>
#include <QtConcurrent>
#include <algorithm>
#include <cmath>
#include <cstring>

#include "DisplayFormat.h"
#include "data/RegionalFormat.h"
#include "data/SafeFile.h"
#include "history/History.h"

namespace {

constexpr int kViewDelayMs = 150;    // the table and statistics follow the chart once zooming pauses
constexpr double kMinimumSpan = 10;  // seconds: closest zoom
constexpr double kWheelStep = 0.85;  // range factor of one wheel notch
constexpr double kKeyPan = 0.1;      // fraction of the range one arrow key moves

const QColor kHumidity(31, 119, 180), kTemperature(214, 39, 40), kAmbient(230, 120, 20),
    kDewPoint(44, 160, 44);

// Several sensors: the same colour a little lighter and another dash for each further sensor.
QPen sensorPen(QColor colour, size_t index) {
  static const Qt::PenStyle styles[] = {Qt::SolidLine, Qt::DashLine, Qt::DotLine, Qt::DashDotLine};
  if (index > 0) colour = colour.lighter(100 + static_cast<int>(std::min<size_t>(index, 4)) * 12);
  QPen pen(colour, 1);
  pen.setStyle(styles[index % 4]);
  return pen;
}

QString number(double value, int decimals) {
  if (!std::isfinite(value)) return QStringLiteral("–");
  QString text = QString::number(value, 'f', decimals);
  // A small negative value that rounds to zero is shown as zero, as the CSV does.
  if (text.startsWith(QLatin1Char('-')) && !text.contains(QRegularExpression("[1-9]"))) text.remove(0, 1);
  text.replace(QLatin1Char('.'), QLatin1Char(exportFormat().decimalSeparator));
  return text;
}

// Whole numbers grouped by threes with the separator that cannot be taken for the decimal one.
QString count(int64_t n) {
  QString digits = QString::number(n < 0 ? -n : n);
  const QChar group = exportFormat().decimalSeparator == ',' ? QLatin1Char('.') : QLatin1Char(',');
  for (int i = digits.size() - 3; i > 0; i -= 3) digits.insert(i, group);
  return n < 0 ? QLatin1Char('-') + digits : digits;
}

// Times are kept within this: far beyond any a record can have (year 65535 is 2e12 s), exact in a
// double, and safe to turn into whole seconds.
constexpr double kTimeLimit = 1e13;
constexpr double kMaximumSpan = 200 * 365.25 * 86400;  // farthest zoom

double clampTime(double v) {
  return std::isnan(v) ? 0 : std::clamp(v, -kTimeLimit, kTimeLimit);
}
// Every export is written through SafeFile: complete or not at all, keeping the links, rights and
// owner of the file it replaces, and refusing a link another user planted in a shared folder. Written
// in pieces so that a cancel ends a long write soon; a cancelled write leaves the old file as it was.
ExportOutcome saveFile(const QString& path, const char* data, size_t size, const ExportProgress& progress) {
  ExportOutcome out;
  SafeFile file;
  if (!file.open(QFile::encodeName(path).toStdString())) {
    out.error = MeasurementsWindow::tr("Cannot create %1.").arg(QDir::toNativeSeparators(path));
    return out;
  }
  constexpr size_t kPiece = size_t{4} << 20;
  for (size_t at = 0; at < size; at += kPiece) {
    if (progress.cancel) {
      file.discard();
      out.cancelled = true;
      return out;
    }
    if (!file.write(data + at, std::min(kPiece, size - at))) {
      file.discard();
      out.error = MeasurementsWindow::tr("Cannot write %1.").arg(QDir::toNativeSeparators(path));
      return out;
    }
  }
  if (progress.cancel) {
    file.discard();
    out.cancelled = true;
    return out;
  }
  if (!file.commit()) {
    file.discard();
    out.error = MeasurementsWindow::tr("Cannot write %1.").arg(QDir::toNativeSeparators(path));
    return out;
  }
  out.ok = true;
  return out;
}

// The CSV text of the shown records [begin, end), in the format of a download, then the file. Runs on
// any thread: it holds its own references to the records.
ExportOutcome csvExport(const std::shared_ptr<const MeasurementData>& data,
                        const std::shared_ptr<const std::vector<uint32_t>>& shown, size_t begin, size_t end,
                        const RegionalFormat& format, const QString& path, ExportProgress& progress) {
  constexpr size_t kPiece = 16384;  // records between looks at the cancel flag
  std::string text = csv::kHeader;
  text += "\r\n";
  text.reserve(text.size() + (end - begin) * 96);
  for (size_t at = begin; at < end; at += kPiece) {
    if (progress.cancel) return ExportOutcome{false, true, QString()};
    const size_t stop = std::min(end, at + kPiece);
    for (size_t i = at; i < stop; ++i) text += csvLine(data->records[(*shown)[i]], format);
    progress.done = static_cast<int64_t>(stop - begin);
  }
  return saveFile(path, text.data(), text.size(), progress);
}

ExportOutcome pngExport(const QImage& image, const QString& path, const ExportProgress& progress) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, "png");
  if (!writer.write(image)) {
    return ExportOutcome{false, false,
                         MeasurementsWindow::tr("Cannot write %1: %2")
                             .arg(QDir::toNativeSeparators(path), writer.errorString())};
  }
  return saveFile(path, bytes.constData(), static_cast<size_t>(bytes.size()), progress);
}

QPageLayout reportLayout() {
  return QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Landscape, QMarginsF(12, 12, 12, 12),
                     QPageLayout::Millimeter);
}
// Device units as screen pixels, so the chart and the text keep the proportions they have on screen.
constexpr int kReportResolution = 96;

// The report's PDF from its drawing; runs on any thread.
ExportOutcome pdfExport(const QPicture& report, const QString& title, const QString& path,
                        const ExportProgress& progress) {
  QByteArray bytes;
  {
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QPdfWriter writer(&buffer);
    writer.setPageLayout(reportLayout());
    writer.setResolution(kReportResolution);
    writer.setTitle(title);
    writer.setCreator(QCoreApplication::applicationName());
    QPainter painter(&writer);
    if (!painter.isActive())
      return ExportOutcome{false, false,
                           MeasurementsWindow::tr("Cannot write %1.").arg(QDir::toNativeSeparators(path))};
    painter.drawPicture(0, 0, report);
  }
  return saveFile(path, bytes.constData(), static_cast<size_t>(bytes.size()), progress);
}

bool finish(const ExportOutcome& outcome, QString& error) {
  if (!outcome.ok) error = outcome.error;
  return outcome.ok;
}

int64_t floorSeconds(double v) {
  return static_cast<int64_t>(std::floor(clampTime(v)));
}
int64_t ceilSeconds(double v) {
  return static_cast<int64_t>(std::ceil(clampTime(v)));
}

}  // namespace

MeasurementsWindow::MeasurementsWindow(history::Store* store, QWidget* parent)
    : QWidget(parent, Qt::Window), store_(store), reader_(std::make_shared<history::Store>()) {
  setWindowTitle(tr("Measurements"));
  resize(1100, 800);

  auto* layout = new QVBoxLayout(this);
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
  layout->addLayout(bar);

  auto* splitter = new QSplitter(Qt::Vertical);
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
  splitter->addWidget(chartPane);

  auto* lower = new QWidget;
  auto* lowerLayout = new QVBoxLayout(lower);
  lowerLayout->setContentsMargins(0, 0, 0, 0);
  rangeLabel_ = new QLabel;
  rangeLabel_->setObjectName("range");
  lowerLayout->addWidget(rangeLabel_);
  auto* tabs = new QTabWidget;
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
  tabs->addTab(statsPane, tr("Statistics"));
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
  tabs->addTab(table_, tr("Records in view"));
  lowerLayout->addWidget(tabs);
  splitter->addWidget(lower);
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
  connect(source_, QOverload<int>::of(&QComboBox::activated), this, [this](int index) {
    selectSource({source_->itemData(index, Qt::UserRole).toBool(),
                  source_->itemData(index, Qt::UserRole + 1).toString()});
  });
  connect(dewPoint_, &QCheckBox::toggled, this, [this] {
    rebuildGraphs();
    plot_->replot(QCustomPlot::rpQueuedReplot);
  });
  connect(deltaH_, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
          [this] { viewTimer_->start(); });
  connect(reset, &QPushButton::clicked, this, &MeasurementsWindow::resetZoom);
  connect(csvButton, &QPushButton::clicked, this, [this] { askExport(0); });
  connect(pngButton, &QPushButton::clicked, this, [this] { askExport(1); });
  connect(pdfButton, &QPushButton::clicked, this, [this] { askExport(2); });

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

void MeasurementsWindow::buildChart() {
  plot_->setAntialiasedElements(QCP::aePlottables);
  plot_->setFocusPolicy(Qt::StrongFocus);
  plot_->setMouseTracking(true);  // the read-out follows the pointer
  plot_->plotLayout()->insertRow(0);
  title_ = new QCPTextElement(plot_, QString(), QFont(font().family(), font().pointSize() + 1, QFont::Bold));
  plot_->plotLayout()->addElement(0, 0, title_);

  auto ticker = QSharedPointer<QCPAxisTickerDateTime>::create();
  ticker->setDateTimeSpec(Qt::UTC);  // the logger's calendar time, no zone known
  ticker->setTickCount(6);
  plot_->xAxis->setTicker(ticker);
  plot_->xAxis->setLabel(tr("Time (logger clock)"));
  plot_->yAxis->setLabel(tr("Relative humidity (%RH)"));
  plot_->yAxis2->setVisible(true);
  plot_->yAxis2->setTickLabels(true);
  plot_->yAxis2->setLabel(tr("Temperature (°C)"));
  plot_->yAxis->setRange(0, 100);
  plot_->yAxis2->setRange(0, 40);
  plot_->yAxis->grid()->setVisible(true);
  plot_->xAxis->grid()->setVisible(true);
  plot_->yAxis->setLabelColor(kHumidity.darker(120));
  plot_->yAxis2->setLabelColor(kTemperature.darker(120));

  // The legend below the chart, one row per sensor, so that it never hides a line.
  plot_->legend->setVisible(true);
  plot_->legend->setBorderPen(Qt::NoPen);
  plot_->legend->setBrush(Qt::NoBrush);
  plot_->legend->setFillOrder(QCPLegend::foColumnsFirst);
  plot_->legend->setRowSpacing(0);
  plot_->legend->setColumnSpacing(14);
  auto* legendRow = new QCPLayoutGrid;
  plot_->plotLayout()->addElement(2, 0, legendRow);
  legendRow->setMargins(QMargins(0, 0, 0, 4));
  legendRow->addElement(0, 0, plot_->legend);
  plot_->plotLayout()->setRowStretchFactor(2, 0.001);

  plot_->addLayer("cursor", nullptr, QCustomPlot::limAbove);
  cursorLayer_ = plot_->layer("cursor");
  cursorLayer_->setMode(QCPLayer::lmBuffered);
  cursor_ = new QCPItemStraightLine(plot_);
  cursor_->setLayer(cursorLayer_);
  cursor_->setPen(QPen(QColor(90, 90, 90), 1, Qt::DashLine));
  cursor_->setVisible(false);

  plot_->setSelectionRectMode(QCP::srmCustom);
  plot_->selectionRect()->setPen(QPen(QColor(40, 80, 160), 1, Qt::DashLine));
  plot_->selectionRect()->setBrush(QColor(40, 80, 160, 30));
  connect(plot_->selectionRect(), &QCPSelectionRect::accepted, this, [this](const QRect& rect, QMouseEvent*) {
    if (!data_ || rect.width() < 5 || rect.height() < 5) return;
    const double x1 = plot_->xAxis->pixelToCoord(rect.left()), x2 = plot_->xAxis->pixelToCoord(rect.right());
    plot_->yAxis->setRange(plot_->yAxis->pixelToCoord(rect.bottom()), plot_->yAxis->pixelToCoord(rect.top()));
    plot_->yAxis2->setRange(plot_->yAxis2->pixelToCoord(rect.bottom()),
                            plot_->yAxis2->pixelToCoord(rect.top()));
    autoY_ = false;
    setXRange(std::min(x1, x2), std::max(x1, x2));
  });
  connect(plot_, &QCustomPlot::beforeReplot, this, &MeasurementsWindow::refreshSeries);
  connect(plot_->xAxis, QOverload<const QCPRange&>::of(&QCPAxis::rangeChanged), this,
          &MeasurementsWindow::rangeChanged);
  plot_->installEventFilter(this);
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

void MeasurementsWindow::rebuildGraphs() {
  plot_->clearGraphs();
  graphs_.clear();
  if (!data_) return;
  const bool dew = dewPoint_->isChecked();
  const bool several = data_->sensors.size() > 1;
  plot_->legend->setWrap(dew ? 4 : 3);  // a row of the legend per sensor
  size_t index = 0;
  for (const SensorSeries& s : data_->sensors) {
    const size_t i = index++;
    if (hidden_.count(s.sensor)) continue;
    const QString suffix = several ? QString(" %1").arg(s.sensor) : QString();
    const auto add = [&](QCPAxis* axis, const QString& name, const QColor& colour) {
      QCPGraph* graph = plot_->addGraph(plot_->xAxis, axis);
      graph->setName(name + suffix);
      graph->setPen(sensorPen(colour, i));
      return graph;
    };
    Graphs g{s.sensor, add(plot_->yAxis, tr("Humidity"), kHumidity),
             add(plot_->yAxis2, tr("Temperature"), kTemperature),
             add(plot_->yAxis2, tr("Ambient temperature"), kAmbient), nullptr};
    if (dew) g.dewPoint = add(plot_->yAxis2, tr("Dew point"), kDewPoint);
    graphs_.push_back(g);
  }
  QStringList sensors;
  for (const SensorSeries& s : data_->sensors)
    if (!hidden_.count(s.sensor)) sensors << QString::number(s.sensor);
  title_->setText(sensors.isEmpty()
                      ? data_->title
                      : tr("%1 · sensor %2").arg(data_->title, sensors.join(QStringLiteral(", "))));
  plot_->legend->setVisible(!graphs_.empty());
  seriesDirty_ = true;
}

// ---- The chart

void MeasurementsWindow::refreshSeries() {
  const QCPRange x = plot_->xAxis->range();
  // A column per pixel of the axis rect as last laid out (before the first layout, of the widget).
  const int columns =
      std::max(16, plot_->axisRect()->width() > 0 ? plot_->axisRect()->width() : plot_->width());
  if (!seriesDirty_ && x.lower == seriesLower_ && x.upper == seriesUpper_ && columns == seriesColumns_)
    return;
  seriesDirty_ = false;
  seriesLower_ = x.lower, seriesUpper_ = x.upper, seriesColumns_ = columns;

  // The tick labels: the date, and the time of day as close as the range needs it.
  const RegionalFormat format = exportFormat();
  const double span = x.size();
  QString time = localeformat::qtDisplayFormat(format.longTime);
  if (span > 600) time.remove(QRegularExpression("[^A-Za-z']*s+"));  // seconds only when close
  const QString date = localeformat::qtDisplayFormat(format.shortDate);
  auto ticker = plot_->xAxis->ticker().dynamicCast<QCPAxisTickerDateTime>();
  if (ticker) ticker->setDateTimeFormat(span > 4 * 86400 ? date : date + "\n" + time);

  if (!data_) return;
  const int64_t from = floorSeconds(x.lower), to = ceilSeconds(x.upper);
  double humidityLow = INFINITY, humidityHigh = -INFINITY, tempLow = INFINITY, tempHigh = -INFINITY;
  const auto fill = [&](QCPGraph* graph, const chart::Series& series, double& low, double& high) {
    if (!graph) return;
    series.decimate(from, to, columns, points_);
    QVector<QCPGraphData> out(static_cast<int>(points_.size()));
    for (size_t i = 0; i < points_.size(); ++i) {
      const chart::Point& p = points_[i];
      out[static_cast<int>(i)] = {p.x, p.y};
      // Only what lies in view sets the value axes.
      if (p.x >= x.lower && p.x <= x.upper && !std::isnan(p.y))
        low = std::min(low, p.y), high = std::max(high, p.y);
    }
    graph->data()->set(out, true);
  };
  for (const Graphs& g : graphs_) {
    const auto it = std::find_if(data_->sensors.begin(), data_->sensors.end(),
                                 [&](const SensorSeries& s) { return s.sensor == g.sensor; });
    fill(g.humidity, it->humidity, humidityLow, humidityHigh);
    fill(g.temperature, it->temperature, tempLow, tempHigh);
    fill(g.ambient, it->ambient, tempLow, tempHigh);
    fill(g.dewPoint, it->dewPoint, tempLow, tempHigh);
  }
  if (autoY_) {
    const auto fit = [](QCPAxis* axis, double low, double high, double minimumSpan) {
      if (!(low <= high)) return;
      const double middle = (low + high) / 2, half = std::max(high - low, minimumSpan) / 2 * 1.08;
      axis->setRange(middle - half, middle + half);
    };
    fit(plot_->yAxis, humidityLow, humidityHigh, 2);
    fit(plot_->yAxis2, tempLow, tempHigh, 1);
  }
}

void MeasurementsWindow::setXRange(double lower, double upper) {
  lower = clampTime(lower), upper = clampTime(upper);
  const double span = std::clamp(upper - lower, kMinimumSpan, kMaximumSpan);
  if (span != upper - lower) {
    const double middle = (lower + upper) / 2;
    lower = middle - span / 2, upper = middle + span / 2;
  }
  zoomed_ = true;
  plot_->xAxis->setRange(lower, upper);
  plot_->replot(QCustomPlot::rpQueuedReplot);
}

std::pair<int64_t, int64_t> MeasurementsWindow::range() const {
  const QCPRange x = plot_->xAxis->range();
  return {ceilSeconds(x.lower), floorSeconds(x.upper)};
}

void MeasurementsWindow::setRange(int64_t from, int64_t to) {
  if (to < from) std::swap(from, to);
  zoomed_ = true;
  // A single second is shown as the second around it; range() still gives it back exactly.
  const double lower = clampTime(static_cast<double>(from)), upper = clampTime(static_cast<double>(to));
  plot_->xAxis->setRange(lower - (lower == upper ? 0.5 : 0), upper + (lower == upper ? 0.5 : 0));
  plot_->replot(QCustomPlot::rpQueuedReplot);
}

void MeasurementsWindow::resetZoom() {
  autoY_ = true;
  zoomed_ = false;
  seriesDirty_ = true;
  if (data_ && !data_->records.empty()) {
    double from = clampTime(static_cast<double>(data_->first)),
           to = clampTime(static_cast<double>(data_->last));
    if (to - from < kMinimumSpan) from -= kMinimumSpan / 2, to += kMinimumSpan / 2;
    plot_->xAxis->setRange(from, to);
  } else {
    const double now = static_cast<double>(QDateTime::currentSecsSinceEpoch());
    plot_->xAxis->setRange(now - 86400, now);
    plot_->yAxis->setRange(0, 100);
    plot_->yAxis2->setRange(0, 40);
  }
  plot_->replot(QCustomPlot::rpQueuedReplot);
}

void MeasurementsWindow::zoomAt(double key, double factor) {
  const QCPRange x = plot_->xAxis->range();
  setXRange(key - (key - x.lower) * factor, key + (x.upper - key) * factor);
}

void MeasurementsWindow::pan(double fraction) {
  const QCPRange x = plot_->xAxis->range();
  setXRange(x.lower + x.size() * fraction, x.upper + x.size() * fraction);
}

void MeasurementsWindow::rangeChanged() {
  seriesDirty_ = true;
  viewTimer_->start();
}

bool MeasurementsWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched != plot_) return QWidget::eventFilter(watched, event);
  switch (event->type()) {
    case QEvent::Wheel: {
      auto* wheel = static_cast<QWheelEvent*>(event);
      const double notches = wheel->angleDelta().y() / 120.0;
      if (notches != 0 && data_)
        zoomAt(plot_->xAxis->pixelToCoord(wheel->position().x()), std::pow(kWheelStep, notches));
      return true;
    }
    case QEvent::MouseButtonPress: {
      auto* mouse = static_cast<QMouseEvent*>(event);
      const bool panButton =
          mouse->button() == Qt::MiddleButton ||
          (mouse->button() == Qt::LeftButton && (mouse->modifiers() & Qt::ControlModifier));
      if (!panButton) return false;
      panning_ = true;
      panStart_ = mouse->position().toPoint();
      panLower_ = plot_->xAxis->range().lower, panUpper_ = plot_->xAxis->range().upper;
      panY1Lower_ = plot_->yAxis->range().lower, panY1Upper_ = plot_->yAxis->range().upper;
      panY2Lower_ = plot_->yAxis2->range().lower, panY2Upper_ = plot_->yAxis2->range().upper;
      plot_->setCursor(Qt::ClosedHandCursor);
      return true;
    }
    case QEvent::MouseMove: {
      auto* mouse = static_cast<QMouseEvent*>(event);
      if (!panning_) {
        showReadout(mouse->position().toPoint());
        return false;
      }
      const QRect area = plot_->axisRect()->rect();
      const QPoint moved = mouse->position().toPoint() - panStart_;
      const double dx = -moved.x() * (panUpper_ - panLower_) / std::max(1, area.width());
      if (!autoY_) {
        const double dy1 = moved.y() * (panY1Upper_ - panY1Lower_) / std::max(1, area.height());
        const double dy2 = moved.y() * (panY2Upper_ - panY2Lower_) / std::max(1, area.height());
        plot_->yAxis->setRange(panY1Lower_ + dy1, panY1Upper_ + dy1);
        plot_->yAxis2->setRange(panY2Lower_ + dy2, panY2Upper_ + dy2);
      }
      setXRange(panLower_ + dx, panUpper_ + dx);
      return true;
    }
    case QEvent::MouseButtonRelease:
      if (!panning_) return false;
      panning_ = false;
      plot_->unsetCursor();
      return true;
    case QEvent::Leave:
      cursor_->setVisible(false);
      cursorLayer_->replot();
      return false;
    case QEvent::KeyPress:
      keyPressEvent(static_cast<QKeyEvent*>(event));
      return event->isAccepted();
    default:
      return false;
  }
}

void MeasurementsWindow::keyPressEvent(QKeyEvent* event) {
  const QCPRange x = plot_->xAxis->range();
  switch (event->key()) {
    case Qt::Key_Left:
      pan(-kKeyPan);
      break;
    case Qt::Key_Right:
      pan(kKeyPan);
      break;
    case Qt::Key_Plus:
    case Qt::Key_Equal:
    case Qt::Key_Up:
      zoomAt(x.center(), kWheelStep);
      break;
    case Qt::Key_Minus:
    case Qt::Key_Down:
      zoomAt(x.center(), 1 / kWheelStep);
      break;
    case Qt::Key_Home:
    case Qt::Key_0:
      resetZoom();
      break;
    default:
      event->ignore();
      return;
  }
  event->accept();
}

void MeasurementsWindow::showReadout(const QPoint& pos) {
  if (!data_ || shownTimes_.empty() || !plot_->axisRect()->rect().contains(pos)) {
    if (cursor_->visible()) {
      cursor_->setVisible(false);
      cursorLayer_->replot();
    }
    return;
  }
  // The record nearest in time; of several at that time, the one whose values lie nearest the pointer.
  const double key = plot_->xAxis->pixelToCoord(pos.x());
  const auto at =
      std::lower_bound(shownTimes_.begin(), shownTimes_.end(), static_cast<int64_t>(std::llround(key)));
  size_t i = static_cast<size_t>(at - shownTimes_.begin());
  if (i == shownTimes_.size() || (i > 0 && key - shownTimes_[i - 1] < shownTimes_[i] - key)) --i;
  const int64_t time = shownTimes_[i];
  size_t best = i;
  double bestDistance = INFINITY;
  for (size_t j = static_cast<size_t>(std::lower_bound(shownTimes_.begin(), shownTimes_.end(), time) -
                                      shownTimes_.begin());
       j < shownTimes_.size() && shownTimes_[j] == time; ++j) {
    const messwert_tag& r = data_->records[(*shown_)[j]].record;
    const double d = std::min({std::abs(plot_->yAxis->coordToPixel(r.humidity) - pos.y()),
                               std::abs(plot_->yAxis2->coordToPixel(r.temperature) - pos.y()),
                               std::abs(plot_->yAxis2->coordToPixel(r.ambientTemperature) - pos.y())});
    if (d < bestDistance) bestDistance = d, best = j;
  }
  const MeasurementRecord& stored = data_->records[(*shown_)[best]];
  const messwert_tag& r = stored.record;
  QString text = tr("%1 · sensor %2 · %3 %RH · %4 °C · ambient %5 °C")
                     .arg(measurementtext::time(stored.time))
                     .arg(r.sensorSerialNumber)
                     .arg(measurementtext::value(r.humidity), measurementtext::value(r.temperature),
                          measurementtext::value(r.ambientTemperature));
  const double dew = history::dewPoint(r.temperature, r.humidity);
  if (!std::isnan(dew)) text += tr(" · dew point %1 °C").arg(measurementtext::value(dew));
  if (stored.checksumError) text += tr(" · check sum error (not drawn)");
  readout_->setText(text);
  cursor_->point1->setCoords(static_cast<double>(stored.time), 0);
  cursor_->point2->setCoords(static_cast<double>(stored.time), 1);
  cursor_->setVisible(true);
  cursorLayer_->replot();
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

// ---- Exports

bool MeasurementsWindow::isLoading() const {
  return loading_ || statsRunning_;
}

void MeasurementsWindow::setStatus(const QString& text) {
  status_->setText(text);
}

void MeasurementsWindow::askExport(int kind) {
  if (!data_) {
    setStatus(tr("There are no records to export."));
    return;
  }
  static const char* const captions[] = {QT_TR_NOOP("Export CSV"), QT_TR_NOOP("Save Chart"),
                                         QT_TR_NOOP("PDF Report")};
  static const char* const filters[] = {QT_TR_NOOP("CSV files (*.csv)"), QT_TR_NOOP("PNG images (*.png)"),
                                        QT_TR_NOOP("PDF files (*.pdf)")};
  static const char* const suffixes[] = {".csv", ".png", ".pdf"};
  const auto [from, to] = range();
  QString name = data_->title;
  name.replace(QRegularExpression("[^A-Za-z0-9_.-]"), "_");
  name += QDateTime::fromSecsSinceEpoch(from, QTimeZone::utc()).toString("_yyyyMMdd");
  name += QDateTime::fromSecsSinceEpoch(to, QTimeZone::utc()).toString("-yyyyMMdd");
  QString path = QFileDialog::getSaveFileName(this, tr(captions[kind]), name + suffixes[kind],
                                              tr(filters[kind]), nullptr, QFileDialog::DontUseNativeDialog);
  if (path.isEmpty()) return;
  if (QFileInfo(path).suffix().isEmpty()) path += suffixes[kind];
  startExport(static_cast<Export>(kind), path);
}

bool MeasurementsWindow::startExport(Export kind, const QString& path) {
  if (!data_ || exportState_) return false;
  auto state = std::make_shared<ExportProgress>();
  QFuture<ExportOutcome> future;
  if (kind == Export::Csv) {
    // The records are shared, never changed, so the worker reads them while the window goes on.
    const auto [begin, end] = shownInView();
    state->total = static_cast<int64_t>(end - begin);
    future =
        QtConcurrent::run([data = data_, shown = shown_, begin = begin, end = end, format = exportFormat(),
                           path, state] { return csvExport(data, shown, begin, end, format, path, *state); });
  } else if (kind == Export::Png) {
    // Widgets draw on the GUI thread only; the encoding and the file follow on the worker.
    future =
        QtConcurrent::run([image = chartImage(), path, state] { return pngExport(image, path, *state); });
  } else {
    // The report is drawn on the GUI thread (the chart is a widget's drawing); the PDF is made from
    // that drawing on the worker.
    future = QtConcurrent::run([report = reportPicture(), title = reportTitle(), path, state] {
      return pdfExport(report, title, path, *state);
    });
  }
  exportState_ = state;
  exportPath_ = path;
  progress_ = new QProgressDialog(tr("Writing %1…").arg(QDir::toNativeSeparators(path)), tr("Cancel"), 0,
                                  state->total > 0 ? 1000 : 0, this);
  progress_->setObjectName("exportProgress");
  progress_->setWindowTitle(tr("Export"));
  progress_->setWindowModality(Qt::WindowModal);
  progress_->setAutoReset(false);
  progress_->setAutoClose(false);
  progress_->setMinimumDuration(300);
  progress_->setValue(0);
  connect(progress_, &QProgressDialog::canceled, this, &MeasurementsWindow::cancelExport);
  progressTimer_->start();
  exportWatcher_.setFuture(future);
  return true;
}

void MeasurementsWindow::cancelExport() {
  if (exportState_) exportState_->cancel = true;
}

void MeasurementsWindow::exportDone() {
  const ExportOutcome outcome = exportWatcher_.result();
  const QString path = QDir::toNativeSeparators(exportPath_);
  exportState_.reset();
  progressTimer_->stop();
  if (progress_) {
    progress_->deleteLater();
    progress_ = nullptr;
  }
  const QString message = outcome.ok          ? tr("Saved to %1").arg(path)
                          : outcome.cancelled ? tr("Export cancelled; %1 was left as it was.").arg(path)
                                              : outcome.error;
  setStatus(message);
  emit exportFinished(outcome.ok, outcome.cancelled, message);
}

void MeasurementsWindow::closeEvent(QCloseEvent* event) {
  cancelExport();
  QWidget::closeEvent(event);
}

bool MeasurementsWindow::exportCsv(const QString& path, QString& error) {
  if (!data_) {
    error = tr("There are no records to export.");
    return false;
  }
  const auto [begin, end] = shownInView();
  ExportProgress progress;
  if (!finish(csvExport(data_, shown_, begin, end, exportFormat(), path, progress), error)) return false;
  setStatus(tr("%1 records written to %2")
                .arg(count(static_cast<int64_t>(end - begin)), QDir::toNativeSeparators(path)));
  return true;
}

QImage MeasurementsWindow::chartImage() {
  seriesDirty_ = true;
  return plot_->toPixmap(std::max(plot_->width(), 800), std::max(plot_->height(), 450)).toImage();
}

bool MeasurementsWindow::exportPng(const QString& path, QString& error) {
  ExportProgress progress;
  return finish(pngExport(chartImage(), path, progress), error);
}

QPicture MeasurementsWindow::reportPicture() {
  const QRect page = reportLayout().paintRectPixels(kReportResolution);
  QPicture picture;
  picture.setBoundingRect(QRect(QPoint(0, 0), page.size()));
  QCPPainter painter(&picture);
  paintReport(painter, page.translated(-page.topLeft()));
  painter.end();
  return picture;
}

QString MeasurementsWindow::reportTitle() const {
  return tr("Measurements report: %1").arg(data_ ? data_->title : QString());
}

bool MeasurementsWindow::exportPdf(const QString& path, QString& error) {
  ExportProgress progress;
  return finish(pdfExport(reportPicture(), reportTitle(), path, progress), error);
}

void MeasurementsWindow::paintReport(QCPPainter& painter, const QRect& page) {
  int y = page.top();
  QFont heading = font();
  heading.setPointSizeF(14);
  heading.setBold(true);
  painter.setFont(heading);
  const QString title = tr("Measurements report: %1").arg(data_ ? data_->title : QString());
  painter.drawText(QRect(page.left(), y, page.width(), 30), Qt::AlignLeft | Qt::AlignVCenter, title);
  y += 34;

  QFont body = font();
  body.setPointSizeF(9);
  painter.setFont(body);
  const int line = QFontMetrics(body, painter.device()).height() + 2;
  QStringList sensors;
  if (data_)
    for (const SensorSeries& s : data_->sensors)
      if (!hidden_.count(s.sensor)) sensors << QString::number(s.sensor);
  const auto [from, to] = range();
  const auto [begin, end] = shownInView();
  const QStringList lines = {tr("Logger: %1").arg(data_ ? data_->title : QString()),
                             tr("Sensors: %1").arg(sensors.join(QStringLiteral(", "))),
                             tr("Range: %1 – %2 (logger clock) · %3 records")
                                 .arg(measurementtext::time(from), measurementtext::time(to),
                                      count(static_cast<int64_t>(end - begin))),
                             tr("Created: %1")
                                 .arg(QDateTime::currentDateTime().toString(
                                     localeformat::qtDisplayFormat(exportFormat().shortDate) + ' ' +
                                     localeformat::qtDisplayFormat(exportFormat().longTime)))};
  for (const QString& text : lines) {
    painter.drawText(QRect(page.left(), y, page.width(), line), Qt::AlignLeft | Qt::AlignVCenter, text);
    y += line;
  }
  // Where the records in view came from (counted with the statistics, off the GUI thread); those read
  // from a file rather than downloaded are marked.
  int64_t fromFiles = 0;
  QStringList named;
  for (const auto& [name, entry] : sourcesShown_) {
    if (entry.second) fromFiles += entry.first;
    named << tr("%1%2: %3")
                 .arg(entry.second ? QStringLiteral("* ") : QString(), name.isEmpty() ? tr("unknown") : name,
                      count(entry.first));
  }
  const int shownSources = std::min<int>(named.size(), 4);
  for (int i = 0; i < shownSources; ++i) {
    painter.drawText(QRect(page.left(), y, page.width(), line), Qt::AlignLeft | Qt::AlignVCenter,
                     (i == 0 ? tr("Sources: ") : QStringLiteral("    ")) + named[i]);
    y += line;
  }
  if (named.size() > shownSources) {
    painter.drawText(QRect(page.left(), y, page.width(), line), Qt::AlignLeft | Qt::AlignVCenter,
                     tr("    … and %1 more sources (see the window).").arg(named.size() - shownSources));
    y += line;
  }
  if (fromFiles > 0) {
    painter.drawText(
        QRect(page.left(), y, page.width(), line), Qt::AlignLeft | Qt::AlignVCenter,
        tr("* %1 records were read from files, not downloaded from the logger.").arg(count(fromFiles)));
    y += line;
  }
  y += 8;

  // The statistics table takes what it needs below the chart; the chart gets the rest.
  const QStringList header = statisticsHeader();
  const std::vector<QStringList> rows = statisticsRows();
  QFont small = body;
  small.setPointSizeF(7.5);
  const QFontMetrics metrics(small, painter.device());
  const int rowHeight = metrics.height() + 4, headerHeight = 2 * metrics.height() + 6;
  const int maxRows = std::max(1, (page.bottom() - y - 300 - headerHeight) / rowHeight);
  const int shownRows = std::min(static_cast<int>(rows.size()), maxRows);
  const int tableHeight = headerHeight + rowHeight * std::max(1, shownRows) + 20;
  const int chartHeight = page.bottom() - y - tableHeight - 12;

  painter.save();
  painter.translate(page.left(), y);
  seriesDirty_ = true;
  plot_->toPainter(&painter, page.width(), chartHeight);
  painter.restore();
  y += chartHeight + 12;

  painter.setFont(small);
  std::vector<int> widths(static_cast<size_t>(header.size()));
  for (int c = 0; c < header.size(); ++c) {
    int w = 0;
    for (const QString& part : header[c].split('\n')) w = std::max(w, metrics.horizontalAdvance(part));
    for (int r = 0; r < shownRows; ++r)
      w = std::max(w, metrics.horizontalAdvance(rows[static_cast<size_t>(r)][c]));
    widths[static_cast<size_t>(c)] = w + 8;
  }
  int total = 0;
  for (int w : widths) total += w;
  const double stretch = total < page.width() ? static_cast<double>(page.width()) / total : 1.0;
  const auto cellX = [&](int column) {
    double x = page.left();
    for (int c = 0; c < column; ++c) x += widths[static_cast<size_t>(c)] * stretch;
    return static_cast<int>(x);
  };
  painter.setPen(QPen(QColor(120, 120, 120), 0.5));
  painter.fillRect(QRect(page.left(), y, page.width(), headerHeight), QColor(235, 235, 235));
  painter.setPen(Qt::black);
  for (int c = 0; c < header.size(); ++c) {
    const QRect cell(cellX(c) + 2, y, cellX(c + 1) - cellX(c) - 4, headerHeight);
    painter.drawText(cell, Qt::AlignCenter, header[c]);
  }
  y += headerHeight;
  for (int r = 0; r < shownRows; ++r) {
    for (int c = 0; c < header.size(); ++c) {
      const QRect cell(cellX(c) + 2, y, cellX(c + 1) - cellX(c) - 4, rowHeight);
      painter.drawText(cell, (c == 2 || c == 3 ? Qt::AlignLeft : Qt::AlignRight) | Qt::AlignVCenter,
                       rows[static_cast<size_t>(r)][c]);
    }
    painter.setPen(QPen(QColor(200, 200, 200), 0.5));
    painter.drawLine(QLineF(page.left(), y + rowHeight, page.left() + page.width(), y + rowHeight));
    painter.setPen(Qt::black);
    y += rowHeight;
  }
  if (rows.empty())
    painter.drawText(QRect(page.left(), y, page.width(), rowHeight), Qt::AlignLeft | Qt::AlignVCenter,
                     tr("No records in the range."));
  else if (shownRows < static_cast<int>(rows.size()))
    painter.drawText(
        QRect(page.left(), y, page.width(), rowHeight), Qt::AlignLeft | Qt::AlignVCenter,
        tr("… and %1 more sensors (see the window).").arg(rows.size() - static_cast<size_t>(shownRows)));
  y += rowHeight;
  painter.drawText(QRect(page.left(), y, page.width(), rowHeight), Qt::AlignLeft | Qt::AlignVCenter,
                   tr("Records with a check sum error are counted but not in the minimum, maximum and mean. "
                      "MKT: mean kinetic temperature, ΔH/R = %1 K.")
                       .arg(number(deltaH_->value(), 0)));
}
