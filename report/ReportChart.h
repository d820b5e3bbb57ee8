// The report's chart of one quantity: every sensor's readings over time, the limits as lines and the
// excursions shaded (alarms stronger), drawn as vectors so that it stays sharp at any print size.
#pragma once

#include <QColor>
#include <QPainter>
#include <QRectF>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "history/Excursions.h"
#include "history/History.h"
#include "history/Limits.h"

namespace report {

struct ChartInput {
  const std::vector<history::StoredRecord>* records = nullptr;
  history::Measure quantity = history::Measure::temperature;
  std::vector<uint16_t> sensors;  // drawn, in this order (their colours follow it)
  const std::map<uint16_t, history::Limits>* limits = nullptr;
  const std::vector<history::Excursion>* excursions = nullptr;
  int64_t breakAfter = 0;            // a step between readings longer than this breaks the line (0: never)
  std::optional<int32_t> utcOffset;  // of the first reading; unset: no zone recorded
  bool offsetChanges = false;        // the readings' offset changes over the range
};

// Draws into `area` (device units); `unit` is the device units per typographic point.
void drawChart(QPainter& painter, const QRectF& area, double unit, const ChartInput& input);

QColor sensorColour(size_t index);

}  // namespace report
