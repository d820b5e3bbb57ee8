#include "MeasurementData.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QRegularExpression>
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

QString number(double value, int decimals) {
  if (!std::isfinite(value)) return QStringLiteral("–");
  QString text = QString::number(value, 'f', decimals);
  // A small negative value that rounds to zero is shown as zero, as the CSV does.
  if (text.startsWith(QLatin1Char('-')) && !text.contains(QRegularExpression("[1-9]"))) text.remove(0, 1);
  text.replace(QLatin1Char('.'), QLatin1Char(exportFormat().decimalSeparator));
  return text;
}

QString count(int64_t n) {
  QString digits = QString::number(n < 0 ? -n : n);
  const QChar group = exportFormat().decimalSeparator == ',' ? QLatin1Char('.') : QLatin1Char(',');
  for (int i = digits.size() - 3; i > 0; i -= 3) digits.insert(i, group);
  return n < 0 ? QLatin1Char('-') + digits : digits;
}

}  // namespace measurementtext
