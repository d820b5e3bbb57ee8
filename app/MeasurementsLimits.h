// Limits and excursions in the measurements window: the limits each sensor is held to, the table of
// excursions, and the chart's layer that shades them and draws the limits.
#pragma once

#include <qcustomplot.h>

#include <QAbstractTableModel>
#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "history/Excursions.h"
#include "history/Limits.h"

// A logger's limits as the history keeps them: the logger-wide row and the sensors' own.
struct LoggerLimits {
  std::optional<history::Limits> logger;
  std::map<uint16_t, history::Limits> sensors;

  bool any() const { return logger.has_value() || !sensors.empty(); }
  // A sensor's own limits, else the logger's, else none.
  history::Limits of(uint16_t sensor) const;
};

namespace measurementtext {
// A duration as "45 s", "12:30" (min:s), "3:05:00" (h:min:s) or "2 d 03:05:00".
QString duration(int64_t seconds);
}  // namespace measurementtext

// The excursions of the shown sensors, one per row, in the order of their start.
class ExcursionsModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  enum Column {
    Sensor,
    Quantity,
    Side,
    Start,
    End,
    Duration,
    Readings,
    Extreme,
    Limit,
    Alarm,
    Comment,
    ColumnCount
  };
  using QAbstractTableModel::QAbstractTableModel;

  // `timeText` writes a record time (the logger's clock) as the window shows it.
  void setExcursions(std::shared_ptr<const history::ExcursionResult> result, const std::set<uint16_t>& hidden,
                     std::function<QString(int64_t)> timeText);
  const history::Excursion* excursion(int row) const;
  // The comments the history keeps on the logger's excursions (the Comment column shows each one's).
  void setComments(std::vector<history::ExcursionComment> comments);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

 private:
  std::shared_ptr<const history::ExcursionResult> result_;
  std::vector<uint32_t> rows_;  // into result_->excursions
  std::function<QString(int64_t)> timeText_;
  std::vector<history::ExcursionComment> comments_;
};

// The excursions as bands across the chart (temperature red, humidity blue, alarms stronger), or each
// limit of the shown sensors as a dashed line on its axis: one of each, the bands on a layer below the
// graphs, the lines above them. Drawing looks only at what is in view and joins bands closer than a
// pixel, so a redraw stays cheap with many excursions.
class ExcursionBands : public QCPLayerable {
  Q_OBJECT
 public:
  enum class Part { Bands, LimitLines };
  ExcursionBands(QCustomPlot* plot, const QString& layer, Part part);

  void setExcursions(const std::shared_ptr<const history::ExcursionResult>& result,
                     const std::set<uint16_t>& hidden);
  void setLimits(const LoggerLimits& limits, const std::vector<uint16_t>& shownSensors);
  void clear();
  // Widens [low, high] to the limits drawn on the temperature or humidity axis.
  void limitSpan(bool temperature, double& low, double& high) const;
  size_t bandCount() const { return bands_.size(); }

  static const QColor kTemperatureColour, kHumidityColour;

 protected:
  void applyDefaultAntialiasingHint(QCPPainter* painter) const override;
  void draw(QCPPainter* painter) override;
  QRect clipRect() const override;
  void drawLines(QCPPainter* painter);

 private:
  struct Band {
    double start, end;
    int kind;  // humidity 0/1, temperature 2/3; odd: alarm
  };
  struct Line {
    bool temperature;
    double value;
  };
  Part part_;
  std::vector<Band> bands_;        // by start
  std::vector<double> reachesTo_;  // the latest end among bands_[0..i]
  std::vector<Line> lines_;
};
