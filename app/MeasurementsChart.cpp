// The measurements window's chart: its axes and graphs, the points of the range in view, zooming and
// panning with the mouse and the keys, and the read-out under the pointer.
#include <qcustomplot.h>

#include <QKeyEvent>
#include <QLabel>
#include <QRegularExpression>
#include <QtConcurrent>
#include <algorithm>
#include <cmath>

#include "DisplayFormat.h"
#include "MeasurementsWindow.h"
#include "data/RegionalFormat.h"
#include "history/History.h"

namespace {

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

// Times are kept within this: far beyond any a record can have (year 65535 is 2e12 s), exact in a
// double, and safe to turn into whole seconds.
constexpr double kTimeLimit = 1e13;
constexpr double kMaximumSpan = 200 * 365.25 * 86400;  // farthest zoom

double clampTime(double v) {
  return std::isnan(v) ? 0 : std::clamp(v, -kTimeLimit, kTimeLimit);
}

int64_t floorSeconds(double v) {
  return static_cast<int64_t>(std::floor(clampTime(v)));
}
int64_t ceilSeconds(double v) {
  return static_cast<int64_t>(std::ceil(clampTime(v)));
}

}  // namespace

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

  // The excursions below the graphs, the limits above them.
  plot_->addLayer("excursions", plot_->layer("main"), QCustomPlot::limBelow);
  bands_ = new ExcursionBands(plot_, "excursions", ExcursionBands::Part::Bands);
  plot_->addLayer("limits", plot_->layer("main"), QCustomPlot::limAbove);
  limitLines_ = new ExcursionBands(plot_, "limits", ExcursionBands::Part::LimitLines);

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

void MeasurementsWindow::rebuildGraphs() {
  plot_->clearGraphs();
  graphs_.clear();
  if (!data_) return;
  comparedGraphs_.clear();
  const bool dew = dewPoint_->isChecked() && !data_->overview;
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
  // The loggers compared with it: their sensors' humidity and temperatures, named with the logger.
  // Each further logger in colours of its own: the hues turned on by a step per logger.
  int turn = 0;
  for (const QString& logger : compared_) {
    const auto sensors = comparedSensors_.find(logger);
    if (sensors == comparedSensors_.end()) continue;
    turn += 70;
    size_t own = 0;
    for (uint16_t sensor : sensors->second) {
      const size_t i = own++;
      const auto add = [&](QCPAxis* axis, const QString& name, const QColor& colour) {
        QCPGraph* graph = plot_->addGraph(plot_->xAxis, axis);
        graph->setName(QStringLiteral("%1 %2 %3").arg(logger, name).arg(sensor));
        const QColor turned =
            QColor::fromHsv((colour.hsvHue() + turn) % 360, colour.hsvSaturation(), colour.value() * 4 / 5);
        graph->setPen(sensorPen(turned, i));
        return graph;
      };
      comparedGraphs_.push_back({logger, sensor, add(plot_->yAxis, tr("Humidity"), kHumidity),
                                 add(plot_->yAxis2, tr("Temperature"), kTemperature),
                                 add(plot_->yAxis2, tr("Ambient temperature"), kAmbient)});
    }
  }
  QStringList sensors;
  for (const SensorSeries& s : data_->sensors)
    if (!hidden_.count(s.sensor)) sensors << QString::number(s.sensor);
  QString title = sensors.isEmpty()
                      ? data_->title
                      : tr("%1 · sensor %2").arg(data_->title, sensors.join(QStringLiteral(", ")));
  if (!compared_.isEmpty()) title += tr(" · compared with %1").arg(compared_.join(QStringLiteral(", ")));
  title_->setText(title);
  plot_->legend->setVisible(!graphs_.empty() || !comparedGraphs_.empty());
  seriesDirty_ = true;
}

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
  // Hands points_ to the graph; only what lies in view sets the value axes.
  const auto show = [&](QCPGraph* graph, double& low, double& high) {
    QVector<QCPGraphData> out(static_cast<int>(points_.size()));
    for (size_t i = 0; i < points_.size(); ++i) {
      const chart::Point& p = points_[i];
      out[static_cast<int>(i)] = {p.x, p.y};
      if (p.x >= x.lower && p.x <= x.upper && !std::isnan(p.y))
        low = std::min(low, p.y), high = std::max(high, p.y);
    }
    graph->data()->set(out, true);
  };
  const auto fill = [&](QCPGraph* graph, const chart::Series& series, double& low, double& high) {
    if (!graph) return;
    series.decimate(from, to, columns, points_);
    show(graph, low, high);
  };
  // The loggers drawn from the history's lowest and highest per column: asked for this range, drawn
  // from the newest that came meanwhile (its points lie at their times, so they still fit).
  const bool envelope = drawsEnvelope();
  if (envelope && (envelope_.from != from || envelope_.to != to || envelope_.columns != columns ||
                   envelope_.loggers != envelopeLoggers()))
    requestEnvelope(from, to, columns);
  const auto draw = [&](QCPGraph* graph, const QString& logger, uint16_t sensor, chart::Quantity quantity,
                        double& low, double& high) {
    if (!graph) return;
    const auto cells = envelope_.cells.find(logger);
    if (cells == envelope_.cells.end())
      points_.clear();
    else
      chart::envelopePoints(cells->second, sensor, quantity, points_);
    show(graph, low, high);
  };
  for (const Graphs& g : graphs_) {
    if (data_->overview) {
      draw(g.humidity, data_->title, g.sensor, chart::Quantity::humidity, humidityLow, humidityHigh);
      draw(g.temperature, data_->title, g.sensor, chart::Quantity::temperature, tempLow, tempHigh);
      draw(g.ambient, data_->title, g.sensor, chart::Quantity::ambient, tempLow, tempHigh);
      continue;
    }
    const auto it = std::find_if(data_->sensors.begin(), data_->sensors.end(),
                                 [&](const SensorSeries& s) { return s.sensor == g.sensor; });
    fill(g.humidity, it->humidity, humidityLow, humidityHigh);
    fill(g.temperature, it->temperature, tempLow, tempHigh);
    fill(g.ambient, it->ambient, tempLow, tempHigh);
    fill(g.dewPoint, it->dewPoint, tempLow, tempHigh);
  }
  for (const ComparedGraphs& g : comparedGraphs_) {
    draw(g.humidity, g.logger, g.sensor, chart::Quantity::humidity, humidityLow, humidityHigh);
    draw(g.temperature, g.logger, g.sensor, chart::Quantity::temperature, tempLow, tempHigh);
    draw(g.ambient, g.logger, g.sensor, chart::Quantity::ambient, tempLow, tempHigh);
  }
  if (autoY_) {
    const auto fit = [](QCPAxis* axis, double low, double high, double minimumSpan) {
      if (!(low <= high)) return;
      const double middle = (low + high) / 2, half = std::max(high - low, minimumSpan) / 2 * 1.08;
      axis->setRange(middle - half, middle + half);
    };
    // The limits of the shown sensors stay in view with the values.
    limitLines_->limitSpan(false, humidityLow, humidityHigh);
    limitLines_->limitSpan(true, tempLow, tempHigh);
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
  if (data_ && (!data_->records.empty() || data_->overview || comparedSpan_)) {
    int64_t first = data_->first, last = data_->last;
    if (data_->records.empty() && !data_->overview) first = comparedFirst_, last = comparedLast_;
    if (comparedSpan_) first = std::min(first, comparedFirst_), last = std::max(last, comparedLast_);
    double from = clampTime(static_cast<double>(first)), to = clampTime(static_cast<double>(last));
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
                     .arg(timeText(stored.time))
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

// ---- The history's lowest and highest per column

bool MeasurementsWindow::drawsEnvelope() const {
  return store_ != nullptr && data_ && !dataSource_.file && (data_->overview || !compared_.isEmpty());
}

QStringList MeasurementsWindow::envelopeLoggers() const {
  QStringList loggers;
  if (data_ && data_->overview) loggers << data_->title;
  return loggers + compared_;
}

// One query at a time, on the reader's thread; when it comes, the chart asks again if the range
// moved meanwhile.
void MeasurementsWindow::requestEnvelope(int64_t from, int64_t to, int columns) {
  if (envelopeRunning_ || !store_) return;
  envelopeRunning_ = true;
  envelopeWatcher_.setFuture(readerThread_.run(
      [reader = reader_, path = store_->path(), loggers = envelopeLoggers(), from, to, columns] {
        EnvelopeResult result;
        result.from = from, result.to = to, result.columns = columns, result.loggers = loggers;
        std::string error;
        if ((!reader->isOpen() || reader->path() != path) && !reader->openForReading(path, error)) {
          result.error = QString::fromStdString(error);
          return result;
        }
        for (const QString& logger : loggers) {
          history::EnvelopeQuery q;
          q.logger = logger.toStdString();
          q.from = from, q.to = to, q.columns = columns;
          if (!reader->envelope(q, result.cells[logger], error)) {
            result.error = QString::fromStdString(error);
            break;
          }
        }
        return result;
      }));
}

void MeasurementsWindow::envelopeFinished() {
  envelopeRunning_ = false;
  EnvelopeResult result = envelopeWatcher_.result();
  if (!result.error.isEmpty()) {
    setStatus(result.error);
    return;  // not asked again until the range changes
  }
  envelope_ = std::move(result);
  seriesDirty_ = true;
  plot_->replot(QCustomPlot::rpQueuedReplot);
}
