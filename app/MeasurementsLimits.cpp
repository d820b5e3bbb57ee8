#include "MeasurementsLimits.h"

#include <QImage>
#include <algorithm>
#include <climits>
#include <cmath>

#include "MeasurementData.h"
#include "history/Limits.h"

history::Limits LoggerLimits::of(uint16_t sensor) const {
  const auto own = sensors.find(sensor);
  if (own != sensors.end()) return own->second;
  return logger.value_or(history::Limits{});
}

namespace measurementtext {

QString duration(int64_t seconds) {
  return QString::fromStdString(history::durationText(seconds));
}

}  // namespace measurementtext

// ---- The table

void ExcursionsModel::setExcursions(std::shared_ptr<const history::ExcursionResult> result,
                                    const std::set<uint16_t>& hidden,
                                    std::function<QString(int64_t)> timeText) {
  beginResetModel();
  result_ = std::move(result);
  timeText_ = std::move(timeText);
  rows_.clear();
  if (result_)
    for (size_t i = 0; i < result_->excursions.size(); ++i)
      if (!hidden.count(result_->excursions[i].sensor)) rows_.push_back(static_cast<uint32_t>(i));
  endResetModel();
}

const history::Excursion* ExcursionsModel::excursion(int row) const {
  if (!result_ || row < 0 || static_cast<size_t>(row) >= rows_.size()) return nullptr;
  return &result_->excursions[rows_[static_cast<size_t>(row)]];
}

void ExcursionsModel::setComments(std::vector<history::ExcursionComment> comments) {
  beginResetModel();
  comments_ = std::move(comments);
  endResetModel();
}

int ExcursionsModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(std::min<size_t>(rows_.size(), INT32_MAX));
}

int ExcursionsModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : ColumnCount;
}

QVariant ExcursionsModel::data(const QModelIndex& index, int role) const {
  const history::Excursion* e = excursion(index.row());
  if (!e) return {};
  if (role == Qt::TextAlignmentRole)
    return index.column() == Start || index.column() == End || index.column() == Quantity ||
                   index.column() == Side || index.column() == Alarm
               ? QVariant(Qt::AlignLeft | Qt::AlignVCenter)
               : QVariant(Qt::AlignRight | Qt::AlignVCenter);
  if (role == Qt::ForegroundRole && e->alarm) return QColor(170, 0, 0);
  if (role != Qt::DisplayRole) return {};
  const bool temperature = e->quantity == history::Measure::temperature;
  const QString unit = temperature ? QStringLiteral(" °C") : QStringLiteral(" %RH");
  switch (index.column()) {
    case Sensor:
      return e->sensor;
    case Quantity:
      return temperature ? tr("Temperature") : tr("Humidity");
    case Side:
      return e->side == history::Side::above ? tr("above") : tr("below");
    case Start:
      return timeText_ ? timeText_(e->start) : measurementtext::time(e->start);
    case End:
      return (timeText_ ? timeText_(e->end) : measurementtext::time(e->end)) +
             (e->endsOutside ? tr(" (data ends)") : QString());
    case Duration:
      return measurementtext::duration(e->duration);
    case Readings:
      return measurementtext::count(e->readings);
    case Extreme:
      return measurementtext::value(e->extreme) + unit;
    case Limit:
      return measurementtext::number(e->limit, 1) + unit;
    case Alarm:
      return e->alarm ? tr("alarm") : QString();
    case Comment: {
      // Every comment, the earliest first: none replaces another.
      QStringList texts;
      for (const history::ExcursionComment& c : comments_) {
        if (c.sensor != e->sensor || c.start != e->start || c.quantity != history::measureName(e->quantity))
          continue;
        QStringList parts;
        if (!c.cause.empty()) parts << tr("cause: %1").arg(QString::fromStdString(c.cause));
        if (!c.action.empty()) parts << tr("action: %1").arg(QString::fromStdString(c.action));
        texts << tr("%1 (%2)").arg(parts.join(QStringLiteral("; ")), QString::fromStdString(c.who.user));
      }
      return texts.join(QStringLiteral(" | "));
    }
  }
  return {};
}

QVariant ExcursionsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole) return {};
  if (orientation == Qt::Vertical) return static_cast<qulonglong>(section) + 1;
  switch (section) {
    case Sensor:
      return tr("Sensor");
    case Quantity:
      return tr("Quantity");
    case Side:
      return tr("Side");
    case Start:
      return tr("Start");
    case End:
      return tr("End");
    case Duration:
      return tr("Duration");
    case Readings:
      return tr("Readings");
    case Extreme:
      return tr("Extreme");
    case Limit:
      return tr("Limit");
    case Alarm:
      return tr("Alarm");
    case Comment:
      return tr("Comment");
  }
  return {};
}

// ---- The chart's layer

const QColor ExcursionBands::kTemperatureColour(214, 39, 40), ExcursionBands::kHumidityColour(31, 119, 180);

ExcursionBands::ExcursionBands(QCustomPlot* plot, const QString& layer, Part part)
    : QCPLayerable(plot, layer), part_(part) {}

void ExcursionBands::clear() {
  bands_.clear();
  reachesTo_.clear();
  lines_.clear();
}

void ExcursionBands::setExcursions(const std::shared_ptr<const history::ExcursionResult>& result,
                                   const std::set<uint16_t>& hidden) {
  bands_.clear();
  reachesTo_.clear();
  if (!result || part_ != Part::Bands) return;
  bands_.reserve(result->excursions.size());
  for (const history::Excursion& e : result->excursions) {
    if (hidden.count(e.sensor)) continue;
    const int kind = (e.quantity == history::Measure::temperature ? 2 : 0) + (e.alarm ? 1 : 0);
    bands_.push_back({static_cast<double>(e.start), static_cast<double>(e.end), kind});
  }
  std::stable_sort(bands_.begin(), bands_.end(),
                   [](const Band& a, const Band& b) { return a.start < b.start; });
  reachesTo_.resize(bands_.size());
  double reach = -INFINITY;
  for (size_t i = 0; i < bands_.size(); ++i) reachesTo_[i] = reach = std::max(reach, bands_[i].end);
}

void ExcursionBands::setLimits(const LoggerLimits& limits, const std::vector<uint16_t>& shownSensors) {
  lines_.clear();
  if (part_ != Part::LimitLines) return;
  std::set<std::pair<bool, double>> seen;
  const auto add = [&](bool temperature, const std::optional<double>& value) {
    if (value && seen.insert({temperature, *value}).second) lines_.push_back({temperature, *value});
  };
  for (uint16_t sensor : shownSensors) {
    const history::Limits l = limits.of(sensor);
    add(true, l.temperature.lower);
    add(true, l.temperature.upper);
    add(false, l.humidity.lower);
    add(false, l.humidity.upper);
  }
}

void ExcursionBands::limitSpan(bool temperature, double& low, double& high) const {
  for (const Line& line : lines_)
    if (line.temperature == temperature) low = std::min(low, line.value), high = std::max(high, line.value);
}

void ExcursionBands::applyDefaultAntialiasingHint(QCPPainter* painter) const {
  painter->setAntialiasing(false);
}

QRect ExcursionBands::clipRect() const {
  return mParentPlot->axisRect()->rect();
}

void ExcursionBands::draw(QCPPainter* painter) {
  QCPAxisRect* rect = mParentPlot->axisRect();
  QCPAxis* x = mParentPlot->xAxis;
  const QRect area = rect->rect();
  const QCPRange range = x->range();
  // The first band that reaches into view: reachesTo_ only grows.
  const size_t first = static_cast<size_t>(
      std::lower_bound(reachesTo_.begin(), reachesTo_.end(), range.lower) - reachesTo_.begin());
  static const QColor fills[] = {QColor(31, 119, 180, 30), QColor(31, 119, 180, 90), QColor(214, 39, 40, 30),
                                 QColor(214, 39, 40, 90)};
  if (part_ == Part::LimitLines) {
    drawLines(painter);
    return;
  }
  painter->setPen(Qt::NoPen);
  // Neighbours of a kind closer than a pixel are drawn as one rectangle; alarms last so that they stay
  // visible. One pass over the bands in view, a run of pixels per kind.
  struct Run {
    int left = 0, right = INT_MIN / 2;  // none yet
  };
  Run runs[4];
  std::vector<QRect> rects[4];
  const auto flush = [&](int kind) {
    const Run& run = runs[kind];
    if (run.right >= run.left)
      rects[kind].push_back(QRect(run.left, area.top(), run.right - run.left + 1, area.height()));
  };
  for (size_t i = first; i < bands_.size() && bands_[i].start <= range.upper; ++i) {
    const Band& b = bands_[i];
    if (b.end < range.lower) continue;
    const int x1 = static_cast<int>(std::floor(std::max<double>(x->coordToPixel(b.start), area.left() - 1)));
    const int x2 = std::max(
        x1, static_cast<int>(std::ceil(std::min<double>(x->coordToPixel(b.end), area.right() + 1))) - 1);
    Run& run = runs[b.kind];
    if (x1 <= run.right + 1) {
      run.right = std::max(run.right, x2);
    } else {
      flush(b.kind);
      run.left = x1, run.right = x2;
    }
  }
  for (int kind : {0, 2, 1, 3}) flush(kind);
  if (painter->modes().testFlag(QCPPainter::pmVectorized)) {
    for (int kind : {0, 2, 1, 3})
      for (const QRect& r : rects[kind]) painter->fillRect(r, fills[kind]);
    return;
  }
  // On screen, hundreds of full-height translucent rectangles cost tens of milliseconds a redraw: the
  // bands are the same in every row, so they are blended into one row of pixels and that row is
  // stretched to the height in one blit.
  const int width = area.width();
  if (width <= 0 || area.height() <= 0) return;
  QImage row(width, 1, QImage::Format_ARGB32_Premultiplied);
  row.fill(Qt::transparent);
  auto* pixels = reinterpret_cast<QRgb*>(row.scanLine(0));
  for (int kind : {0, 2, 1, 3}) {
    const QRgb fill = qPremultiply(fills[kind].rgba());
    const uint alpha = qAlpha(fill);
    for (const QRect& r : rects[kind]) {
      const int from = std::max(r.left() - area.left(), 0), to = std::min(r.right() - area.left(), width - 1);
      for (int i = from; i <= to; ++i) {
        const QRgb under = pixels[i];
        const auto over = [&](int shift) {
          return (((fill >> shift) & 0xff) + (((under >> shift) & 0xff) * (255 - alpha) + 127) / 255)
                 << shift;
        };
        pixels[i] = over(24) | over(16) | over(8) | over(0);
      }
    }
  }
  painter->drawImage(QRect(area.left(), area.top(), width, area.height()), row);
}

void ExcursionBands::drawLines(QCPPainter* painter) {
  const QRect area = mParentPlot->axisRect()->rect();
  for (const Line& line : lines_) {
    QCPAxis* axis = line.temperature ? mParentPlot->yAxis2 : mParentPlot->yAxis;
    const double y = axis->coordToPixel(line.value);
    if (y < area.top() - 1 || y > area.bottom() + 1) continue;
    const QColor colour = (line.temperature ? kTemperatureColour : kHumidityColour).darker(150);
    painter->setPen(QPen(colour, 2, Qt::DashLine));
    painter->drawLine(QLineF(area.left(), y, area.right(), y));
    // Which limit it is, at its axis' end: humidity on the left, temperature on the right.
    const QString label = measurementtext::number(line.value, 1) +
                          (line.temperature ? QStringLiteral(" °C") : QStringLiteral(" %RH"));
    const QFontMetrics metrics(painter->font());
    const int width = metrics.horizontalAdvance(label) + 6;
    const QRect box(line.temperature ? area.right() - width - 2 : area.left() + 2,
                    y - metrics.height() - 1 < area.top() ? static_cast<int>(y) + 2
                                                          : static_cast<int>(y) - metrics.height() - 1,
                    width, metrics.height());
    painter->setPen(colour);
    painter->fillRect(box, QColor(255, 255, 255, 200));
    painter->drawText(box, Qt::AlignCenter, label);
  }
}
