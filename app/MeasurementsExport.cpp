#include "MeasurementsExport.h"

#include <qcustomplot.h>

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QImageWriter>
#include <QPdfWriter>
#include <QPicture>
#include <QProgressDialog>
#include <QRegularExpression>
#include <QTimeZone>
#include <QTimer>
#include <QtConcurrent>
#include <algorithm>
#include <cstring>

#include "MeasurementsWindow.h"
#include "data/CsvWriter.h"
#include "data/SafeFile.h"

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

}  // namespace exports

namespace {

bool finish(const ExportOutcome& outcome, QString& error) {
  if (!outcome.ok) error = outcome.error;
  return outcome.ok;
}

}  // namespace

using exports::csvExport;
using exports::pdfExport;
using exports::pngExport;
using measurementtext::count;

// ---- The window's exports

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

bool MeasurementsWindow::exportPdf(const QString& path, QString& error) {
  ExportProgress progress;
  return finish(pdfExport(reportPicture(), reportTitle(), path, progress), error);
}
