// The measurements window's exports as work for any thread: each holds its own references to what it
// writes, looks at a cancel flag, and writes its file through SafeFile.
#pragma once

#include <QImage>
#include <QPageLayout>
#include <QString>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "MeasurementData.h"
#include "data/RegionalFormat.h"

class QPicture;

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
ExportOutcome pngExport(const QImage& image, const QString& path, const ExportProgress& progress);

// The report's page: A4 landscape.
QPageLayout reportLayout();
// Device units as screen pixels, so the chart and the text keep the proportions they have on screen.
constexpr int kReportResolution = 96;
// The report's PDF from its drawing (made on the GUI thread).
ExportOutcome pdfExport(const QPicture& report, const QString& title, const QString& path,
                        const ExportProgress& progress);

}  // namespace exports
