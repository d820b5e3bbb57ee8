// The measurements window's one-page report: what it says about the range in view (the window's
// members) and how it is laid out on the page (the drawing steps below).
#include <qcustomplot.h>

#include <QDateTime>
#include <QPicture>
#include <algorithm>

#include "DisplayFormat.h"
#include "MeasurementsExport.h"
#include "MeasurementsWindow.h"
#include "data/RegionalFormat.h"
#include "history/History.h"

using measurementtext::count;
using measurementtext::number;

namespace {

// A page filled from the top: lines of text across its width, one below the other.
struct ReportPage {
  QCPPainter& painter;
  QRect page;
  int y;

  void text(const QString& line, int height) {
    painter.drawText(QRect(page.left(), y, page.width(), height), Qt::AlignLeft | Qt::AlignVCenter, line);
    y += height;
  }
};

// How much of the page the statistics table takes below the chart: as many sensors as leave the
// chart 300 pixels, at least one.
struct TableLayout {
  int rowHeight, headerHeight, shownRows, height;
};

TableLayout layoutTable(const QFontMetrics& metrics, int space, size_t rows) {
  TableLayout t{};
  t.rowHeight = metrics.height() + 4;
  t.headerHeight = 2 * metrics.height() + 6;
  const int maxRows = std::max(1, (space - 300 - t.headerHeight) / t.rowHeight);
  t.shownRows = std::min(static_cast<int>(rows), maxRows);
  t.height = t.headerHeight + t.rowHeight * std::max(1, t.shownRows) + 20;
  return t;
}

// The statistics of the shown sensors as a table across the page, its columns as wide as their
// texts, stretched to the page's width.
void paintTable(ReportPage& out, const QFontMetrics& metrics, const TableLayout& layout,
                const QStringList& header, const std::vector<QStringList>& rows) {
  QCPPainter& painter = out.painter;
  const QRect& page = out.page;
  std::vector<int> widths(static_cast<size_t>(header.size()));
  for (int c = 0; c < header.size(); ++c) {
    int w = 0;
    for (const QString& part : header[c].split('\n')) w = std::max(w, metrics.horizontalAdvance(part));
    for (int r = 0; r < layout.shownRows; ++r)
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
  painter.fillRect(QRect(page.left(), out.y, page.width(), layout.headerHeight), QColor(235, 235, 235));
  painter.setPen(Qt::black);
  for (int c = 0; c < header.size(); ++c) {
    const QRect cell(cellX(c) + 2, out.y, cellX(c + 1) - cellX(c) - 4, layout.headerHeight);
    painter.drawText(cell, Qt::AlignCenter, header[c]);
  }
  out.y += layout.headerHeight;
  for (int r = 0; r < layout.shownRows; ++r) {
    for (int c = 0; c < header.size(); ++c) {
      const QRect cell(cellX(c) + 2, out.y, cellX(c + 1) - cellX(c) - 4, layout.rowHeight);
      painter.drawText(cell, (c == 2 || c == 3 ? Qt::AlignLeft : Qt::AlignRight) | Qt::AlignVCenter,
                       rows[static_cast<size_t>(r)][c]);
    }
    painter.setPen(QPen(QColor(200, 200, 200), 0.5));
    painter.drawLine(
        QLineF(page.left(), out.y + layout.rowHeight, page.left() + page.width(), out.y + layout.rowHeight));
    painter.setPen(Qt::black);
    out.y += layout.rowHeight;
  }
}

}  // namespace

QPicture MeasurementsWindow::reportPicture() {
  const QRect page = exports::reportLayout().paintRectPixels(exports::kReportResolution);
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

QStringList MeasurementsWindow::reportFacts() const {
  QStringList sensors;
  if (data_)
    for (const SensorSeries& s : data_->sensors)
      if (!hidden_.count(s.sensor)) sensors << QString::number(s.sensor);
  const auto [from, to] = range();
  const auto [begin, end] = shownInView();
  return {tr("Logger: %1").arg(data_ ? data_->title : QString()),
          tr("Sensors: %1").arg(sensors.join(QStringLiteral(", "))),
          tr("Range: %1 – %2 (logger clock) · %3 records")
              .arg(measurementtext::time(from), measurementtext::time(to),
                   count(static_cast<int64_t>(end - begin))),
          tr("Created: %1")
              .arg(QDateTime::currentDateTime().toString(
                  localeformat::qtDisplayFormat(exportFormat().shortDate) + ' ' +
                  localeformat::qtDisplayFormat(exportFormat().longTime)))};
}

QStringList MeasurementsWindow::reportSources() const {
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
  QStringList lines;
  const int shownSources = std::min<int>(named.size(), 4);
  for (int i = 0; i < shownSources; ++i)
    lines << (i == 0 ? tr("Sources: ") : QStringLiteral("    ")) + named[i];
  if (named.size() > shownSources)
    lines << tr("    … and %1 more sources (see the window).").arg(named.size() - shownSources);
  if (fromFiles > 0)
    lines << tr("* %1 records were read from files, not downloaded from the logger.").arg(count(fromFiles));
  return lines;
}

void MeasurementsWindow::paintReport(QCPPainter& painter, const QRect& page) {
  ReportPage out{painter, page, page.top()};
  QFont heading = font();
  heading.setPointSizeF(14);
  heading.setBold(true);
  painter.setFont(heading);
  out.text(reportTitle(), 30);
  out.y += 4;

  QFont body = font();
  body.setPointSizeF(9);
  painter.setFont(body);
  const int line = QFontMetrics(body, painter.device()).height() + 2;
  for (const QString& text : reportFacts()) out.text(text, line);
  for (const QString& text : reportSources()) out.text(text, line);
  out.y += 8;

  // The statistics table takes what it needs below the chart; the chart gets the rest.
  const QStringList header = statisticsHeader();
  const std::vector<QStringList> rows = statisticsRows();
  QFont small = body;
  small.setPointSizeF(7.5);
  const QFontMetrics metrics(small, painter.device());
  const TableLayout table = layoutTable(metrics, page.bottom() - out.y, rows.size());
  const int chartHeight = page.bottom() - out.y - table.height - 12;

  painter.save();
  painter.translate(page.left(), out.y);
  seriesDirty_ = true;
  plot_->toPainter(&painter, page.width(), chartHeight);
  painter.restore();
  out.y += chartHeight + 12;

  painter.setFont(small);
  paintTable(out, metrics, table, header, rows);
  if (rows.empty())
    out.text(tr("No records in the range."), table.rowHeight);
  else if (table.shownRows < static_cast<int>(rows.size()))
    out.text(
        tr("… and %1 more sensors (see the window).").arg(rows.size() - static_cast<size_t>(table.shownRows)),
        table.rowHeight);
  else
    out.y += table.rowHeight;
  out.text(tr("Records with a check sum error are counted but not in the minimum, maximum and mean. "
              "MKT: mean kinetic temperature, ΔH/R = %1 K.")
               .arg(number(deltaH_->value(), 0)),
           table.rowHeight);
}
