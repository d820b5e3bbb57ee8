#include "MeasurementData.h"

#include <QColor>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QTimeZone>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

#include "DisplayFormat.h"
#include "data/RegionalFormat.h"

std::shared_ptr<const MeasurementData> prepareMeasurements(const QString& title,
                                                           std::vector<MeasurementRecord> records) {
  auto data = std::make_shared<MeasurementData>();
  data->title = title;
  // As a download sorts them: by time stamp, then by the tick the logger counts within a second.
  const auto byTime = [](const MeasurementRecord& a, const MeasurementRecord& b) {
    return a.time < b.time || (a.time == b.time && a.record.tick < b.record.tick);
  };
  if (!std::is_sorted(records.begin(), records.end(), byTime))
    std::stable_sort(records.begin(), records.end(), byTime);
  data->records = std::move(records);
  if (data->records.empty()) return data;
  data->first = data->records.front().time;
  data->last = data->records.back().time;

  struct Columns {
    std::vector<int64_t> times;
    std::vector<float> humidity, temperature, ambient, dewPoint;
  };
  std::map<uint16_t, Columns> bySensor;
  for (const MeasurementRecord& r : data->records) {
    Columns& c = bySensor[r.record.sensorSerialNumber];
    if (r.checksumError) continue;
    c.times.push_back(r.time);
    c.humidity.push_back(r.record.humidity);
    c.temperature.push_back(r.record.temperature);
    c.ambient.push_back(r.record.ambientTemperature);
    c.dewPoint.push_back(static_cast<float>(history::dewPoint(r.record.temperature, r.record.humidity)));
  }
  for (auto& [sensor, c] : bySensor) {
    SensorSeries s;
    s.sensor = sensor;
    const int64_t gap = chart::gapThreshold(c.times);
    auto times = std::make_shared<const std::vector<int64_t>>(std::move(c.times));
    s.humidity = chart::Series(times, std::move(c.humidity), gap);
    s.temperature = chart::Series(times, std::move(c.temperature), gap);
    s.ambient = chart::Series(times, std::move(c.ambient), gap);
    s.dewPoint = chart::Series(times, std::move(c.dewPoint), gap);
    data->sensors.push_back(std::move(s));
  }
  return data;
}

QString MeasurementData::sourceOf(const MeasurementRecord& record) const {
  const auto it = sources.find(record.download);
  if (it != sources.end()) return it->second;
  return record.fromFile ? QObject::tr("File %1").arg(title) : QString();
}

QString sourceText(const history::DownloadRow& row) {
  const QString when =
      QDateTime::fromSecsSinceEpoch(row.when, QTimeZone::utc())
          .toString(localeformat::qtDisplayFormat(exportFormat().shortDate) + QStringLiteral(" HH:mm 'UTC'"));
  if (row.fromFile)
    return QObject::tr("File %1, read %2")
        .arg(QFileInfo(QFile::decodeName(row.file.c_str())).fileName(), when);
  const QString device = QString::fromStdString(row.device);
  return device.isEmpty() ? QObject::tr("Download %1").arg(when)
                          : QObject::tr("Download %1, %2").arg(when, device);
}

namespace measurementtext {

QString time(int64_t seconds) {
  const RegionalFormat format = exportFormat();
  const QString pattern = localeformat::qtDisplayFormat(format.shortDate) + QLatin1Char(' ') +
                          localeformat::qtDisplayFormat(format.longTime);
  return QDateTime::fromSecsSinceEpoch(seconds, QTimeZone::utc()).toString(pattern);
}

QString value(double value) {
  return QString::fromStdString(csv::formatValue(static_cast<float>(value), exportFormat().decimalSeparator));
}

}  // namespace measurementtext

std::string csvLine(const MeasurementRecord& stored, const RegionalFormat& format) {
  return history::csvLine(stored.record, stored.checksumError, format);
}

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
