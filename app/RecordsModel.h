// The table of the records in view in the measurements window.
#pragma once

#include <QAbstractTableModel>
#include <cstdint>
#include <memory>
#include <vector>

#include "MeasurementData.h"

// The records in view for the table: `rows` indexes MeasurementData::records.
class RecordsModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  enum Column { Time, Sensor, Humidity, Temperature, Ambient, DewPoint, Comment, Source, ColumnCount };
  using QAbstractTableModel::QAbstractTableModel;

  void setRows(std::shared_ptr<const MeasurementData> data, std::shared_ptr<const std::vector<uint32_t>> rows,
               size_t begin, size_t end);
  const MeasurementRecord* record(int row) const;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

 private:
  std::shared_ptr<const MeasurementData> data_;
  std::shared_ptr<const std::vector<uint32_t>> rows_;
  size_t begin_ = 0, end_ = 0;
};
