#include "report/ReportChart.h"

#include <QFont>
#include <QFontMetricsF>
#include <QPainterPath>
#include <QPolygonF>
#include <algorithm>
#include <cmath>
#include <ctime>
#include <limits>
#include <string>

#include "history/ZoneSpans.h"

namespace report {
namespace {

double valueOf(const messwert_tag& record, history::Measure quantity) {
  return quantity == history::Measure::temperature ? record.temperature : record.humidity;
}

const history::QuantityLimits& limitsOf(const history::Limits& limits, history::Measure quantity) {
  return quantity == history::Measure::temperature ? limits.temperature : limits.humidity;
}

// A step of 1, 2 or 5 times a power of ten that gives at most `most` ticks over `span`.
double niceStep(double span, int most) {
  if (!(span > 0)) return 1;
  const double raw = span / most;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double factor : {1.0, 2.0, 5.0, 10.0})
    if (factor * power >= raw) return factor * power;
  return 10 * power;
}

QString calendar(int64_t seconds, const char* format) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm parts{};
  if (gmtime_r(&t, &parts) == nullptr) return QString();
  char text[32];
  std::strftime(text, sizeof text, format, &parts);
  return QString::fromLatin1(text);
}

// One sensor's line, thinned to the lowest and highest value per column of the chart (in the order
// they came), and broken where the readings have a gap.
struct Trace {
  std::vector<QPolygonF> lines;
  QPolygonF current;
  int64_t column = -1;
  double low = 0, high = 0;
  int64_t lowAt = 0, highAt = 0, seen = 0;  // which came first decides the order of the two points
  int64_t lastTime = 0;
  bool any = false;

  void flush(double x) {
    if (column < 0) return;
    if (lowAt <= highAt) {
      current << QPointF(x, low);
      if (high != low) current << QPointF(x, high);
    } else {
      current << QPointF(x, high) << QPointF(x, low);
    }
    column = -1;
  }
  void breakLine() {
    if (!current.isEmpty()) lines.push_back(current);
    current.clear();
  }
};

}  // namespace

QColor sensorColour(size_t index) {
  static const QColor colours[] = {QColor(31, 119, 180), QColor(44, 160, 44),  QColor(148, 103, 189),
                                   QColor(140, 86, 75),  QColor(23, 190, 207), QColor(127, 127, 127),
                                   QColor(188, 189, 34), QColor(227, 119, 194)};
  return colours[index % (sizeof colours / sizeof colours[0])];
}

namespace {

// Where a chart draws: the ranges of time and value (limits included, so that they are always in
// sight), the sensors drawn by their place in the legend, the plot area and the text sizes.
struct Frame {
  int64_t first = std::numeric_limits<int64_t>::max(), last = std::numeric_limits<int64_t>::min();
  double low = std::numeric_limits<double>::infinity(), high = -std::numeric_limits<double>::infinity();
  bool any = false;  // readings of this quantity to draw
  std::map<uint16_t, size_t> drawn;
  std::vector<std::pair<double, QString>> limitLines;
  double unit = 1;
  QFont small, titleFont;
  QFontMetricsF metrics{QFont()};
  double textHeight = 0;
  QRectF plot;

  double xOf(double t) const { return plot.left() + (t - first) / double(last - first) * plot.width(); }
  double yOf(double v) const { return plot.bottom() - (v - low) / (high - low) * plot.height(); }
};

void takeRanges(const ChartInput& input, const QString& unitName, Frame& f) {
  const std::vector<history::StoredRecord>& records = *input.records;
  const history::Measure quantity = input.quantity;
  for (size_t i = 0; i < input.sensors.size(); ++i) f.drawn.emplace(input.sensors[i], i);
  for (const history::StoredRecord& r : records) {
    if (r.checksumError || !f.drawn.count(r.record.sensorSerialNumber)) continue;
    const double v = valueOf(r.record, quantity);
    if (!std::isfinite(v)) continue;
    f.first = std::min(f.first, r.time);
    f.last = std::max(f.last, r.time);
    f.low = std::min(f.low, v);
    f.high = std::max(f.high, v);
  }
  for (uint16_t sensor : input.sensors) {
    const auto found = input.limits->find(sensor);
    if (found == input.limits->end()) continue;
    const history::QuantityLimits& q = limitsOf(found->second, quantity);
    for (const auto& [bound, name] : {std::pair{q.lower, "lower"}, std::pair{q.upper, "upper"}}) {
      if (!bound) continue;
      f.low = std::min(f.low, *bound);
      f.high = std::max(f.high, *bound);
      bool known = false;
      for (const auto& line : f.limitLines) known = known || line.first == *bound;
      if (!known)
        f.limitLines.emplace_back(
            *bound, QStringLiteral("%1 %2 %3").arg(QLatin1String(name)).arg(*bound, 0, 'g', 6).arg(unitName));
    }
  }
  f.any = f.first <= f.last;
  if (!f.any) {
    f.first = 0;
    f.last = 3600;
  }
  if (f.last - f.first < 60) {
    f.first -= 1800;
    f.last += 1800;
  }
  if (!std::isfinite(f.low)) {
    f.low = 0;
    f.high = 1;
  }
  if (f.high - f.low < 1e-9) {
    f.low -= 1;
    f.high += 1;
  }
  const double pad = (f.high - f.low) * 0.06;
  f.low -= pad;
  f.high += pad;
}

Frame frameOf(QPainter& painter, const QRectF& area, double unit, const ChartInput& input,
              const QString& unitName) {
  Frame f;
  f.unit = unit;
  takeRanges(input, unitName, f);
  f.small = QFont(QStringLiteral("Helvetica"));
  f.small.setPointSizeF(7);
  f.titleFont = f.small;
  f.titleFont.setPointSizeF(9);
  f.titleFont.setBold(true);
  f.metrics = QFontMetricsF(f.small, painter.device());
  f.textHeight = f.metrics.height();
  f.plot = QRectF(area.left() + 44 * unit, area.top() + 16 * unit, area.width() - 52 * unit,
                  area.height() - 16 * unit - 3 * f.textHeight);
  return f;
}

// The title, the grid with the value and time axes, and the clock the times are of.
void drawAxes(QPainter& painter, const QRectF& area, const Frame& f, const ChartInput& input) {
  const bool temperature = input.quantity == history::Measure::temperature;
  painter.setFont(f.titleFont);
  painter.setPen(Qt::black);
  painter.drawText(
      QRectF(area.left(), area.top(), area.width(), 14 * f.unit), Qt::AlignLeft | Qt::AlignVCenter,
      temperature ? QStringLiteral("Temperature (°C)") : QStringLiteral("Relative humidity (%RH)"));

  // Grid and value axis.
  painter.setFont(f.small);
  const double valueStep = niceStep(f.high - f.low, 6);
  const QPen grid(QColor(225, 225, 225), 0.5 * f.unit);
  for (double v = std::ceil(f.low / valueStep) * valueStep; v <= f.high; v += valueStep) {
    const double y = f.yOf(v);
    painter.setPen(grid);
    painter.drawLine(QLineF(f.plot.left(), y, f.plot.right(), y));
    painter.setPen(Qt::black);
    painter.drawText(QRectF(area.left(), y - f.textHeight / 2, 40 * f.unit, f.textHeight),
                     Qt::AlignRight | Qt::AlignVCenter,
                     QString::number(std::abs(v) < 1e-9 ? 0.0 : v, 'g', 6));
  }
  // Time axis: a step from a minute to a year that gives at most seven ticks.
  static const int64_t steps[] = {60,         300,        900,         1800,       3600,      3 * 3600,
                                  6 * 3600,   12 * 3600,  86400,       2 * 86400,  7 * 86400, 14 * 86400,
                                  30 * 86400, 91 * 86400, 182 * 86400, 365 * 86400};
  int64_t step = steps[sizeof steps / sizeof steps[0] - 1];
  for (int64_t s : steps)
    if ((f.last - f.first) / s <= 7) {
      step = s;
      break;
    }
  const bool days = step >= 86400;
  const int64_t firstTick = (f.first / step + (f.first % step > 0 ? 1 : 0)) * step;
  for (int64_t t = firstTick; t <= f.last; t += step) {
    const double x = f.xOf(static_cast<double>(t));
    painter.setPen(grid);
    painter.drawLine(QLineF(x, f.plot.top(), x, f.plot.bottom()));
    painter.setPen(Qt::black);
    const QString label = calendar(t, days ? "%Y-%m-%d" : "%m-%d %H:%M");
    painter.drawText(QRectF(x - 40 * f.unit, f.plot.bottom() + 2 * f.unit, 80 * f.unit, f.textHeight),
                     Qt::AlignCenter, label);
  }
  QString clock = QStringLiteral("Logger clock");
  if (input.utcOffset) {
    clock += QStringLiteral(" (%1)").arg(QString::fromStdString(history::offsetText(*input.utcOffset)));
    if (input.offsetChanges)
      clock.insert(clock.size() - 1, QStringLiteral(" at the start; the zone changes, see above"));
  }
  painter.drawText(
      QRectF(f.plot.left(), f.plot.bottom() + 2 * f.unit + f.textHeight, f.plot.width(), f.textHeight),
      Qt::AlignCenter, clock);
}

// Excursions of this quantity: alarms stronger. Where the sensors' excursions overlap they are one
// band, as light as the legend's; stacked, three sensors' shading would hide the lines.
void drawExcursions(QPainter& painter, const Frame& f, const ChartInput& input) {
  const history::Measure quantity = input.quantity;
  std::vector<std::pair<double, double>> spans[2];  // not alarming, alarming
  for (const history::Excursion& e : *input.excursions) {
    if (e.quantity != quantity || !f.drawn.count(e.sensor)) continue;
    double left = f.xOf(static_cast<double>(e.start)), right = f.xOf(static_cast<double>(e.end));
    if (right - left < 0.6 * f.unit) right = left + 0.6 * f.unit;
    spans[e.alarm ? 1 : 0].emplace_back(left, right);
  }
  for (int alarm : {0, 1}) {
    std::vector<std::pair<double, double>>& list = spans[alarm];
    std::sort(list.begin(), list.end());
    for (size_t i = 0; i < list.size();) {
      double left = list[i].first, right = list[i].second;
      for (++i; i < list.size() && list[i].first <= right; ++i) right = std::max(right, list[i].second);
      painter.fillRect(QRectF(left, f.plot.top(), right - left, f.plot.height()),
                       alarm ? QColor(220, 40, 40, 70) : QColor(255, 170, 0, 55));
    }
  }
}

// The readings: each sensor's line, thinned to a column's lowest and highest value.
void drawReadings(QPainter& painter, const Frame& f, const ChartInput& input) {
  const std::vector<history::StoredRecord>& records = *input.records;
  const history::Measure quantity = input.quantity;
  std::map<uint16_t, Trace> traces;
  const double columns = std::max(1.0, std::floor(f.plot.width() / f.unit * 2));
  const double columnWidth = f.plot.width() / columns;
  for (const history::StoredRecord& r : records) {
    if (r.checksumError) continue;
    const auto index = f.drawn.find(r.record.sensorSerialNumber);
    if (index == f.drawn.end()) continue;
    const double v = valueOf(r.record, quantity);
    if (!std::isfinite(v)) continue;
    Trace& trace = traces[r.record.sensorSerialNumber];
    const int64_t column = std::clamp<int64_t>(
        static_cast<int64_t>((f.xOf(static_cast<double>(r.time)) - f.plot.left()) / columnWidth), 0,
        static_cast<int64_t>(columns) - 1);
    const bool gap = trace.any && input.breakAfter > 0 && r.time - trace.lastTime > input.breakAfter;
    if (column != trace.column || gap) {
      trace.flush(f.plot.left() + (static_cast<double>(trace.column) + 0.5) * columnWidth);
      if (gap) trace.breakLine();
      trace.column = column;
      trace.low = trace.high = f.yOf(v);
      trace.lowAt = trace.highAt = trace.seen = 0;
    } else {
      const double y = f.yOf(v);
      ++trace.seen;
      // y grows downwards: the lowest value has the largest y.
      if (y > trace.low) {
        trace.low = y;
        trace.lowAt = trace.seen;
      }
      if (y < trace.high) {
        trace.high = y;
        trace.highAt = trace.seen;
      }
    }
    trace.any = true;
    trace.lastTime = r.time;
  }
  for (size_t i = 0; i < input.sensors.size(); ++i) {
    const auto found = traces.find(input.sensors[i]);
    if (found == traces.end()) continue;
    Trace& trace = found->second;
    trace.flush(f.plot.left() + (static_cast<double>(trace.column) + 0.5) * columnWidth);
    trace.breakLine();
    painter.setPen(QPen(sensorColour(i), 0.7 * f.unit, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    for (const QPolygonF& line : trace.lines) {
      if (line.size() == 1)
        painter.drawPoint(line.front());
      else
        painter.drawPolyline(line);
    }
  }
}

// Limits over the readings.
void drawLimitLines(QPainter& painter, const Frame& f) {
  for (const auto& [value, name] : f.limitLines) {
    const double y = f.yOf(value);
    painter.setPen(QPen(QColor(200, 0, 0), 0.9 * f.unit, Qt::DashLine));
    painter.drawLine(QLineF(f.plot.left(), y, f.plot.right(), y));
    painter.setPen(QColor(170, 0, 0));
    painter.drawText(
        QRectF(f.plot.left() + 3 * f.unit, y - f.textHeight - 1 * f.unit, f.plot.width() / 2, f.textHeight),
        Qt::AlignLeft | Qt::AlignBottom, name);
  }
}

// Legend along the title line, right-aligned: sensors, then what the shading means.
void drawLegend(QPainter& painter, const QRectF& area, const Frame& f, const ChartInput& input) {
  double x = area.right();
  const auto entry = [&](const QString& text, const QColor& colour, bool box) {
    const double w = f.metrics.horizontalAdvance(text);
    x -= w;
    painter.setPen(Qt::black);
    painter.drawText(QRectF(x, area.top(), w + 2 * f.unit, 14 * f.unit), Qt::AlignLeft | Qt::AlignVCenter,
                     text);
    x -= 12 * f.unit;
    const double y = area.top() + 7 * f.unit;
    if (box)
      painter.fillRect(QRectF(x, y - 3.5 * f.unit, 10 * f.unit, 7 * f.unit), colour);
    else {
      painter.setPen(QPen(colour, 1.2 * f.unit));
      painter.drawLine(QLineF(x, y, x + 10 * f.unit, y));
    }
    x -= 8 * f.unit;
  };
  entry(QStringLiteral("alarm"), QColor(220, 40, 40, 70), true);
  entry(QStringLiteral("excursion"), QColor(255, 170, 0, 55), true);
  for (size_t i = input.sensors.size(); i-- > 0;)
    entry(QStringLiteral("Sensor %1").arg(input.sensors[i]), sensorColour(i), false);
}

}  // namespace

void drawChart(QPainter& painter, const QRectF& area, double unit, const ChartInput& input) {
  const QString unitName =
      input.quantity == history::Measure::temperature ? QStringLiteral("°C") : QStringLiteral("%RH");
  const Frame f = frameOf(painter, area, unit, input, unitName);
  painter.save();
  drawAxes(painter, area, f, input);
  painter.setClipRect(f.plot);
  drawExcursions(painter, f, input);
  drawReadings(painter, f, input);
  drawLimitLines(painter, f);
  painter.setClipping(false);
  painter.setPen(QPen(Qt::black, 0.6 * unit));
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(f.plot);
  if (!f.any) {
    painter.drawText(f.plot, Qt::AlignCenter, QStringLiteral("No readings of this quantity"));
  }
  drawLegend(painter, area, f, input);
  painter.restore();
}

}  // namespace report
