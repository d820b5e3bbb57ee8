// The measurements window's exports as work for any thread: each holds its own references to what it
// writes, looks at a cancel flag, and writes its file through SafeFile.
#pragma once

#include <QImage>
#include <QPicture>
#include <QSize>
#include <QString>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "MeasurementData.h"
#include "data/RegionalFormat.h"
#include "history/LoggerContext.h"

// What an export running on a worker shares with the window: the worker reads `cancel` and counts the
// records it formed; the window only reads `done` for its progress dialog.
struct ExportProgress {
  std::atomic<bool> cancel{false};
  std::atomic<int64_t> done{0};
  int64_t total = 0;  // 0: no count to show
};

struct ExportOutcome {
  bool ok = false;
  bool cancelled = false;
  QString error;
};

namespace exports {

// `size` bytes as the file `path`: complete or not at all.
ExportOutcome saveFile(const QString& path, const char* data, size_t size, const ExportProgress& progress);
// The CSV text of the shown records [begin, end) (`shown` indexes data->records), then the file.
ExportOutcome csvExport(const std::shared_ptr<const MeasurementData>& data,
                        const std::shared_ptr<const std::vector<uint32_t>>& shown, size_t begin, size_t end,
                        const RegionalFormat& format, const QString& path, ExportProgress& progress);
// A chart recorded as paint commands: what the window drew, at the size of the image it becomes.
struct ChartPicture {
  QPicture picture;
  QSize size;
};
// The picture drawn into an image of its size on a white ground, encoded as PNG, then the file. Runs
// on any thread (it paints into a QImage only).
ExportOutcome pngExport(const std::shared_ptr<const ChartPicture>& chart, const QString& path,
                        const ExportProgress& progress);

// What the report and the spreadsheet take besides the records: read from the history on the GUI
// thread, then only read by the worker.
struct ReportContext {
  std::string serial;                  // the logger as the history keeps it; the title for an opened file
  bool file = false;                   // the records come from an opened file, not the history
  history::LoggerContext history;      // limits, zones, firmware, downloads (empty for an opened file)
  std::map<int64_t, QString> sources;  // by MeasurementRecord::download, as the window names them
  int64_t from = 0, to = 0;            // the range in view
  double deltaHOverR = 10000.0;
};

// The multi-page PDF report of the shown records [begin, end), made with the report library, then the
// file. Progress in thousandths (total 1000).
ExportOutcome reportExport(const std::shared_ptr<const MeasurementData>& data,
                           const std::shared_ptr<const std::vector<uint32_t>>& shown, size_t begin,
                           size_t end, const std::shared_ptr<const ReportContext>& context,
                           const QString& path, ExportProgress& progress);
// The spreadsheet (readings, excursions, statistics and limits) of the same records, then the file.
ExportOutcome xlsxExport(const std::shared_ptr<const MeasurementData>& data,
                         const std::shared_ptr<const std::vector<uint32_t>>& shown, size_t begin, size_t end,
                         const std::shared_ptr<const ReportContext>& context, const QString& path,
                         ExportProgress& progress);

}  // namespace exports
