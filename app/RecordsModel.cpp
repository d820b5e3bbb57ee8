#include "RecordsModel.h"

#include <QColor>
#include <algorithm>
#include <cmath>

#include "history/History.h"

void RecordsModel::setRows(std::shared_ptr<const MeasurementData> data,
                           std::shared_ptr<const std::vector<uint32_t>> rows, size_t begin, size_t end) {
  beginResetModel();
  data_ = std::move(data);
  rows_ = std::move(rows);
  begin_ = begin;
  end_ = rows_ ? std::min(end, rows_->size()) : 0;
  if (begin_ > end_) begin_ = end_;
  endResetModel();
}

const MeasurementRecord* RecordsModel::record(int row) const {
  if (!data_ || row < 0 || static_cast<size_t>(row) >= end_ - begin_) return nullptr;
  return &data_->records[(*rows_)[begin_ + static_cast<size_t>(row)]];
}

int RecordsModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(std::min<size_t>(end_ - begin_, INT32_MAX));
}

int RecordsModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : ColumnCount;
}

QVariant RecordsModel::data(const QModelIndex& index, int role) const {
  const MeasurementRecord* r = record(index.row());
  if (!r) return {};
  if (role == Qt::TextAlignmentRole)
    return index.column() == Time || index.column() == Comment || index.column() == Source
               ? QVariant(Qt::AlignLeft | Qt::AlignVCenter)
               : QVariant(Qt::AlignRight | Qt::AlignVCenter);
  // Records read from a file stand out from the logger's own.
  if (role == Qt::ForegroundRole && r->fromFile) return QColor(150, 70, 0);
  if (role != Qt::DisplayRole) return {};
  switch (index.column()) {
    case Time:
      return measurementtext::time(r->time);
    case Sensor:
      return r->record.sensorSerialNumber;
    case Humidity:
      return measurementtext::value(r->record.humidity);
    case Temperature:
      return measurementtext::value(r->record.temperature);
    case Ambient:
      return measurementtext::value(r->record.ambientTemperature);
    case DewPoint: {
      const double dew = history::dewPoint(r->record.temperature, r->record.humidity);
      return std::isnan(dew) ? QString() : measurementtext::value(dew);
    }
    case Comment:
      return r->checksumError ? QString::fromLatin1(csv::kChecksumComment) : QString();
    case Source:
      return data_->sourceOf(*r);
  }
  return {};
}

QVariant RecordsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole) return {};
  if (orientation == Qt::Vertical) return static_cast<qulonglong>(section) + 1;
  switch (section) {
    case Time:
      return tr("Time");
    case Sensor:
      return tr("Sensor");
    case Humidity:
      return tr("Humidity (%RH)");
    case Temperature:
      return tr("Temperature (°C)");
    case Ambient:
      return tr("Ambient (°C)");
    case DewPoint:
      return tr("Dew point (°C)");
    case Comment:
      return tr("Comment");
    case Source:
      return tr("Source");
  }
  return {};
}
