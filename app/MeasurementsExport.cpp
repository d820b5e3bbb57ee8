#include "MeasurementsExport.h"

#include <qcustomplot.h>

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QImageWriter>
#include <QPainter>
#include <QProgressDialog>
#include <QRegularExpression>
#include <QTimeZone>
#include <QTimer>
#include <QtConcurrent>
#include <algorithm>
#include <cstring>

#include "MeasurementsWindow.h"
#include "Version.h"
#include "data/CsvWriter.h"
#include "data/SafeFile.h"
#include "history/XlsxExport.h"
#include "report/Report.h"

namespace exports {

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
  // The lines of a download; the comment follows the record's flag, since a record read from a CSV
  // file no longer has its check bytes.
  const csv::Writer writer(format, csv::CommentRule::Flag);
  std::string text;
  text.reserve(std::strlen(csv::kHeader) + 2 + (end - begin) * 96);
  writer.header(text);
  for (size_t at = begin; at < end; at += kPiece) {
    if (progress.cancel) return ExportOutcome{false, true, QString()};
    const size_t stop = std::min(end, at + kPiece);
    for (size_t i = at; i < stop; ++i) {
      const MeasurementRecord& stored = data->records[(*shown)[i]];
      writer.line(text, stored.record, stored.checksumError);
    }
    progress.done = static_cast<int64_t>(stop - begin);
  }
  return saveFile(path, text.data(), text.size(), progress);
}

ExportOutcome pngExport(const std::shared_ptr<const ChartPicture>& chart, const QString& path,
                        const ExportProgress& progress) {
  QImage image(chart->size, QImage::Format_RGB32);
  image.fill(Qt::white);
  {
    QPainter painter(&image);
    QPicture picture(chart->picture);  // play() is not const; the copy shares the recorded commands
    picture.play(&painter);
  }
  if (progress.cancel) return ExportOutcome{false, true, QString()};
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

namespace {

// The shown records as the history keeps them, in its order: the report's digest then equals the one
// the history gives for the same range.
std::vector<history::StoredRecord> storedRecords(const MeasurementData& data,
                                                 const std::vector<uint32_t>& shown, size_t begin, size_t end,
                                                 const std::string& serial) {
  std::vector<history::StoredRecord> out(end - begin);
  for (size_t i = begin; i < end; ++i) {
    const MeasurementRecord& m = data.records[shown[i]];
    history::StoredRecord& r = out[i - begin];
    r.logger = serial;
    r.record = m.record;
    r.time = m.time;
    r.checksumError = m.checksumError;
    r.download = m.download;
    r.fromFile = m.fromFile;
  }
  history::sortAsStored(out);
  return out;
}

ExportOutcome failed(const QString& path, const std::string& error) {
  return ExportOutcome{false, false,
                       MeasurementsWindow::tr("Cannot write %1: %2")
                           .arg(QDir::toNativeSeparators(path), QString::fromStdString(error))};
}

}  // namespace

ExportOutcome reportExport(const std::shared_ptr<const MeasurementData>& data,
                           const std::shared_ptr<const std::vector<uint32_t>>& shown, size_t begin,
                           size_t end, const std::shared_ptr<const ReportContext>& context,
                           const QString& path, ExportProgress& progress) {
  report::Input input;
  input.serial = context->serial;
  input.records = storedRecords(*data, *shown, begin, end, context->serial);
  if (progress.cancel) return ExportOutcome{false, true, QString()};
  input.from = context->from;
  input.to = context->to;
  report::takeContext(input, context->history);
  if (context->file) {
    // Records of an opened file that the history does not hold: the file is their source.
    report::Source& source = input.sources[0];
    source.fromFile = true;
    source.file = context->serial;
    source.when = QDateTime::currentSecsSinceEpoch();
  }
  input.version = TARNWICK_VERSION;
  input.madeAt = QDateTime::currentSecsSinceEpoch();
  input.deltaHOverR = context->deltaHOverR;
  std::string pdf, error;
  report::Summary summary;
  const bool made = report::makePdf(input, pdf, summary, error, [&progress](double done) {
    progress.done = static_cast<int64_t>(done * 1000);
    return !progress.cancel;
  });
  if (!made) return progress.cancel ? ExportOutcome{false, true, QString()} : failed(path, error);
  return saveFile(path, pdf.data(), pdf.size(), progress);
}

ExportOutcome xlsxExport(const std::shared_ptr<const MeasurementData>& data,
                         const std::shared_ptr<const std::vector<uint32_t>>& shown, size_t begin, size_t end,
                         const std::shared_ptr<const ReportContext>& context, const QString& path,
                         ExportProgress& progress) {
  const std::vector<history::StoredRecord> records =
      storedRecords(*data, *shown, begin, end, context->serial);
  history::XlsxInput input;
  input.serial = context->serial;
  input.records = &records;
  for (const auto& [id, text] : context->sources) input.sources[id] = text.toStdString();
  input.limits = context->history.limits;
  input.clock = context->history.clock;
  input.label = context->history.label;
  input.deltaHOverR = context->deltaHOverR;
  input.application = "Tarnwick " TARNWICK_VERSION;
  std::string bytes, error;
  if (!history::xlsxBytes(input, bytes, error, &progress.cancel))
    return progress.cancel ? ExportOutcome{false, true, QString()} : failed(path, error);
  progress.done = 1000;
  return saveFile(path, bytes.data(), bytes.size(), progress);
}

}  // namespace exports

namespace {

constexpr int kChartImageWidth = 1600;

bool finish(const ExportOutcome& outcome, QString& error) {
  if (!outcome.ok) error = outcome.error;
  return outcome.ok;
}

}  // namespace

using exports::csvExport;
using exports::pngExport;
using exports::reportExport;
using exports::xlsxExport;
using measurementtext::count;

// ---- The window's exports

void MeasurementsWindow::askExport(int kind) {
  if (!data_) {
    setStatus(tr("There are no records to export."));
    return;
  }
  static const char* const captions[] = {QT_TR_NOOP("Export CSV"), QT_TR_NOOP("Save Chart"),
                                         QT_TR_NOOP("PDF Report"), QT_TR_NOOP("Export XLSX")};
  static const char* const filters[] = {QT_TR_NOOP("CSV files (*.csv)"), QT_TR_NOOP("PNG images (*.png)"),
                                        QT_TR_NOOP("PDF files (*.pdf)"),
                                        QT_TR_NOOP("Excel workbooks (*.xlsx)")};
  static const char* const suffixes[] = {".csv", ".png", ".pdf", ".xlsx"};
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
    // Widgets draw on the GUI thread only, and there the chart is only recorded; turning the record
    // into pixels, the encoding and the file follow on the worker.
    future =
        QtConcurrent::run([chart = chartPicture(), path, state] { return pngExport(chart, path, *state); });
  } else {
    // What the history says around the records is read here (the window's connection is the GUI
    // thread's); the report or the workbook is made on the worker.
    QString error;
    const std::shared_ptr<const exports::ReportContext> context = reportContext(error);
    if (!context) {
      setStatus(error);
      return false;
    }
    const auto [begin, end] = shownInView();
    state->total = 1000;
    future = QtConcurrent::run([data = data_, shown = shown_, begin = begin, end = end, context,
                                pdf = kind == Export::Pdf, path, state] {
      return pdf ? reportExport(data, shown, begin, end, context, path, *state)
                 : xlsxExport(data, shown, begin, end, context, path, *state);
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

std::shared_ptr<const exports::ChartPicture> MeasurementsWindow::chartPicture() {
  seriesDirty_ = true;
  // At least 1600 pixels wide so that it prints sharp, in the proportions it has on screen. Laid out at
  // that size rather than scaled: drawing the graphs through a scaled painter takes seconds. The chart
  // is recorded, not rasterized: filling the pixels of antialiased lines is most of the drawing's time.
  auto chart = std::make_shared<exports::ChartPicture>();
  const int width = std::max(plot_->width(), kChartImageWidth);
  const int height =
      std::clamp(plot_->width() > 0 ? plot_->height() * width / plot_->width() : width / 2, 450, 2 * width);
  chart->size = QSize(width, height);
  QCPPainter painter(&chart->picture);
  plot_->toPainter(&painter, width, height);
  painter.end();
  return chart;
}

bool MeasurementsWindow::exportPng(const QString& path, QString& error) {
  ExportProgress progress;
  return finish(pngExport(chartPicture(), path, progress), error);
}

std::shared_ptr<const exports::ReportContext> MeasurementsWindow::reportContext(QString& error) const {
  auto context = std::make_shared<exports::ReportContext>();
  context->file = dataSource_.file;
  context->serial = dataSource_.key.toStdString();
  context->sources = data_->sources;
  std::tie(context->from, context->to) = range();
  context->deltaHOverR = deltaH_->value();
  if (!context->file && store_ != nullptr) {
    std::vector<uint16_t> sensors;
    for (const SensorSeries& s : data_->sensors)
      if (!hidden_.count(s.sensor)) sensors.push_back(s.sensor);
    std::string failure;
    if (!history::readLoggerContext(*store_, context->serial, sensors, QDateTime::currentSecsSinceEpoch(),
                                    context->history, failure)) {
      error = tr("Cannot read the history: %1").arg(QString::fromStdString(failure));
      return nullptr;
    }
  }
  return context;
}

bool MeasurementsWindow::exportWithContext(const QString& path, QString& error, bool spreadsheet) {
  if (!data_) {
    error = tr("There are no records to export.");
    return false;
  }
  const std::shared_ptr<const exports::ReportContext> context = reportContext(error);
  if (!context) return false;
  const auto [begin, end] = shownInView();
  ExportProgress progress;
  return finish(spreadsheet ? xlsxExport(data_, shown_, begin, end, context, path, progress)
                            : reportExport(data_, shown_, begin, end, context, path, progress),
                error);
}

bool MeasurementsWindow::exportPdf(const QString& path, QString& error) {
  return exportWithContext(path, error, false);
}

bool MeasurementsWindow::exportXlsx(const QString& path, QString& error) {
  return exportWithContext(path, error, true);
}
