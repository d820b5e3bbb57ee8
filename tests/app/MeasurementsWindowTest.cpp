// The measurements window and its chart data: the reduction per pixel column, the range in view, the
// CSV export against a download's bytes, the statistics, the exports' files and the history path.
#include <qcustomplot.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractItemModel>
#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>
#include <QtTest>
#include <cmath>
#include <cstring>
#include <ctime>
#include <random>

#include "ChartSeries.h"
#include "LimitsDialog.h"
#include "MeasurementData.h"
#include "MeasurementsWindow.h"
#include "RecordsModel.h"
#include "Version.h"
#include "bench/BenchSupport.h"
#include "data/RegionalFormat.h"
#include "history/Digest.h"
#include "history/History.h"

namespace {

constexpr int64_t kStart = 1767225600;  // 2026-01-01 00:00:00
constexpr int kWait = 60000;

messwert_tag makeRecord(int64_t time, uint16_t sensor, float humidity, float temperature) {
  messwert_tag r = bench::stamped(time);
  r.tick = static_cast<uint8_t>(sensor + 3);
  r.humidity = humidity;
  r.temperature = temperature;
  r.ambientTemperature = temperature + 1.25f;
  r.sensorSerialNumber = sensor;
  r.humidityRaw = static_cast<uint16_t>(humidity * 100);
  r.temperatureRaw = static_cast<uint16_t>((temperature + 40) * 100);
  r.reserved[2] = 0x5A;
  bench::seal(r);
  return r;
}

history::StoredRecord stored(const messwert_tag& r, bool checksumError) {
  history::StoredRecord s{};
  s.logger = "VLM12345";
  s.record = r;
  s.checksumError = checksumError;
  history::recordTime(r, s.time);
  return s;
}

// Two sensors a minute apart, values that differ from record to record.
std::vector<history::StoredRecord> series(int minutes) {
  std::vector<history::StoredRecord> out;
  for (int i = 0; i < minutes; ++i)
    for (uint16_t sensor : {4711, 4712})
      out.push_back(
          stored(makeRecord(kStart + 60 * i, sensor, 40.0f + static_cast<float>((i * 7 + sensor) % 23),
                            18.5f + static_cast<float>((i * 5 + sensor) % 11) / 2),
                 false));
  return out;
}

QByteArray readAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A window showing `records` with everything in it up to date.
struct Shown {
  MeasurementsWindow window{nullptr};
  explicit Shown(const std::vector<history::StoredRecord>& records) {
    window.resize(1000, 700);
    window.show();
    QSignalSpy view(&window, &MeasurementsWindow::viewUpdated);
    window.showRecords("test.csv", records);
    QVERIFY(view.wait(kWait));
  }
  void setRange(int64_t from, int64_t to) {
    QSignalSpy view(&window, &MeasurementsWindow::viewUpdated);
    window.setRange(from, to);
    QVERIFY(view.wait(kWait));
  }
  QAbstractItemModel* table() { return window.findChild<QTableView*>("records")->model(); }
};

}  // namespace

class MeasurementsWindowTest : public QObject {
  Q_OBJECT
 private slots:
  void reductionKeepsEveryColumnsExtremes();
  void reductionBreaksAtGapsOnly();
  void rangeInViewAtItsEdges();
  void csvExportIsTheDownloadsBytes_data();
  void csvExportIsTheDownloadsBytes();
  void statisticsAreTheHistorysForTheRange();
  void reportAndImageFiles();
  void exportsIntoReadOnlyFolder();
  void exportOnWorkerCancelsOrCompletes();
  void loggerOfTheHistory();
  void largeLoggerAndComparedLoggersFromTheEnvelope();
  void limitsDialogRefusesBadInput_data();
  void limitsDialogRefusesBadInput();
  void limitsDialogStoresGoodInput();
  void excursionsListedAndClickZooms();
  void reportOfTheHistorysLogger();
};

void MeasurementsWindowTest::reductionKeepsEveryColumnsExtremes() {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> noise(20, 21);
  const int n = 100000;
  auto times = std::make_shared<std::vector<int64_t>>();
  std::vector<float> values;
  for (int i = 0; i < n; ++i) {
    times->push_back(kStart + 10 * i);
    values.push_back(noise(random));
  }
  values[54321] = 95;  // a single spike and a single dip
  values[7777] = -12;
  values[30000] = std::nanf("");  // not drawn, and the line breaks there
  const chart::Series s(times, values, 60);
  const int columns = 137;
  const int64_t from = kStart + 5000, to = kStart + 10 * (n - 1) - 4321;
  std::vector<chart::Point> points;
  s.decimate(from, to, columns, points);
  QVERIFY(points.size() <= 2 * columns + 3);
  QCOMPARE(std::count_if(points.begin(), points.end(), [](const chart::Point& p) { return std::isnan(p.y); }),
           1);

  // Every column's minimum and maximum, found the slow way, are among the points.
  const double span = static_cast<double>(to - from + 1);
  std::vector<float> low(columns, INFINITY), high(columns, -INFINITY);
  for (int i = 0; i < n; ++i) {
    const int64_t t = (*times)[i];
    if (t < from || t > to || std::isnan(values[i])) continue;
    const int c = std::min(columns - 1, static_cast<int>((t - from) / span * columns));
    low[c] = std::min(low[c], values[i]);
    high[c] = std::max(high[c], values[i]);
  }
  for (int c = 0; c < columns; ++c) {
    const auto has = [&](float v) {
      return std::any_of(points.begin(), points.end(), [&](const chart::Point& p) {
        return p.y == v && p.x >= from + span * c / columns - 1 && p.x <= from + span * (c + 1) / columns;
      });
    };
    QVERIFY2(has(low[c]) && has(high[c]), qPrintable(QString("column %1").arg(c)));
  }
  QVERIFY(std::any_of(points.begin(), points.end(), [](const chart::Point& p) { return p.y == 95; }));
  QVERIFY(std::any_of(points.begin(), points.end(), [](const chart::Point& p) { return p.y == -12; }));
  // The line runs on to the edges: the records just outside the range are drawn too.
  QCOMPARE(points.front().x, static_cast<double>(kStart + 4990));
  QCOMPARE(points.back().x, static_cast<double>(kStart + 10 * (n - 1) - 4320));
  // Points go forward in time.
  QVERIFY(std::is_sorted(points.begin(), points.end(),
                         [](const chart::Point& a, const chart::Point& b) { return a.x < b.x; }));
}

void MeasurementsWindowTest::reductionBreaksAtGapsOnly() {
  // A record a minute, then two days without one.
  auto times = std::make_shared<std::vector<int64_t>>();
  for (int i = 0; i < 3000; ++i) times->push_back(kStart + 60 * i + (i >= 1500 ? 2 * 86400 : 0));
  QCOMPARE(chart::gapThreshold(*times), int64_t{180});
  const chart::Series s(times, std::vector<float>(times->size(), 50.0f), chart::gapThreshold(*times));
  std::vector<chart::Point> points;
  for (int columns : {10, 500, 5000}) {
    s.decimate(times->front(), times->back(), columns, points);
    const auto breaks =
        std::count_if(points.begin(), points.end(), [](const chart::Point& p) { return std::isnan(p.y); });
    QCOMPARE(breaks, 1);
    const auto at =
        std::find_if(points.begin(), points.end(), [](const chart::Point& p) { return std::isnan(p.y); });
    QVERIFY((at - 1)->x <= (*times)[1499] && (at + 1)->x >= (*times)[1500]);
  }
}

void MeasurementsWindowTest::rangeInViewAtItsEdges() {
  setExportFormat(RegionalFormat::german());
  Shown shown(series(100));
  const auto [first, last] = shown.window.range();
  QCOMPARE(first, kStart);
  QCOMPARE(last, kStart + 60 * 99);
  QCOMPARE(shown.table()->rowCount(), 200);

  // Both ends belong to the range.
  shown.setRange(kStart + 600, kStart + 1200);
  QCOMPARE(shown.table()->rowCount(), 22);
  QCOMPARE(shown.table()->index(0, RecordsModel::Time).data().toString(),
           measurementtext::time(kStart + 600));
  QCOMPARE(shown.table()->index(21, RecordsModel::Time).data().toString(),
           measurementtext::time(kStart + 1200));
  shown.setRange(kStart + 601, kStart + 1199);
  QCOMPARE(shown.table()->rowCount(), 18);
  // A sensor that is not shown is not listed either.
  QSignalSpy view(&shown.window, &MeasurementsWindow::viewUpdated);
  shown.window.setSensorShown(4712, false);
  QVERIFY(view.count() > 0 || view.wait(kWait));
  QCOMPARE(shown.table()->rowCount(), 9);
  QCOMPARE(shown.table()->index(0, RecordsModel::Sensor).data().toInt(), 4711);

  // The read-out names the record nearest the pointer.
  auto* plot = shown.window.findChild<QCustomPlot*>("chart");
  plot->replot();
  const QPoint at(static_cast<int>(plot->xAxis->coordToPixel(kStart + 900 + 20)),
                  plot->axisRect()->center().y());
  QTest::mouseMove(plot, at);
  QVERIFY2(shown.window.findChild<QLabel*>("readout")->text().startsWith(measurementtext::time(kStart + 900)),
           qPrintable(shown.window.findChild<QLabel*>("readout")->text()));
}

void MeasurementsWindowTest::csvExportIsTheDownloadsBytes_data() {
  QTest::addColumn<bool>("german");
  QTest::newRow("German") << true;
  QTest::newRow("English") << false;
}

void MeasurementsWindowTest::csvExportIsTheDownloadsBytes() {
  QFETCH(bool, german);
  const RegionalFormat format = german ? RegionalFormat::german() : RegionalFormat::english();
  setExportFormat(format);
  QTemporaryDir dir;
  // A download: records at midnight (no time in the line), with a damaged one, written as the
  // download writes them.
  std::vector<messwert_tag> download;
  for (int i = 0; i < 40; ++i)
    download.push_back(
        makeRecord(kStart + 3600 * i, static_cast<uint16_t>(100 + i % 2), 55.55f - i, 20.05f + i / 3.0f));
  download[7].reserved[0] ^= 0x40;
  std::string expected = std::string(csv::kHeader) + "\r\n";
  for (const messwert_tag& r : download) {
    messwert::TimeStamp ts;
    std::string message;
    QVERIFY(messwert::timeStamp(r, ts, message));
    expected += csv::formatLine(r, ts, format);
  }
  const QString downloaded = dir.filePath("download.csv");
  {
    QFile file(downloaded);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(expected.data(), static_cast<qint64>(expected.size()));
  }

  // The records as a download keeps them, and as the history reads them back from that file (the
  // check bytes gone, the flag from the comment): both export the same bytes.
  std::vector<history::StoredRecord> fromDownload, fromFile;
  for (const messwert_tag& r : download) fromDownload.push_back(stored(r, messwert::checksum(r) != 0));
  std::vector<messwert_tag> read;
  std::vector<bool> flags;
  std::string error;
  QVERIFY2(history::readCsvFile(downloaded.toStdString(), read, flags, error), error.c_str());
  for (size_t i = 0; i < read.size(); ++i) fromFile.push_back(stored(read[i], flags[i]));
  QCOMPARE(fromFile.size(), download.size());
  for (const auto* records : {&fromDownload, &fromFile}) {
    Shown shown(*records);
    QString message;
    const QString exported = dir.filePath("export.csv");
    QVERIFY2(shown.window.exportCsv(exported, message), qPrintable(message));
    QCOMPARE(readAll(exported), QByteArray::fromStdString(expected));
    // A part of the range: the same lines, from the first record in it to the last.
    shown.setRange(kStart + 3600 * 5, kStart + 3600 * 9);
    QVERIFY2(shown.window.exportCsv(exported, message), qPrintable(message));
    const std::string header = std::string(csv::kHeader) + "\r\n";
    size_t begin = header.size();
    for (int i = 0; i < 5; ++i) begin = expected.find("\r\n", begin) + 2;
    size_t end = begin;
    for (int i = 0; i < 5; ++i) end = expected.find("\r\n", end) + 2;
    QCOMPARE(readAll(exported), QByteArray::fromStdString(header + expected.substr(begin, end - begin)));
  }
}

void MeasurementsWindowTest::statisticsAreTheHistorysForTheRange() {
  setExportFormat(RegionalFormat::english());
  std::vector<history::StoredRecord> records = series(300);
  records[101].checksumError = true;  // counted, not measured
  records[101].record.temperature = 80;
  Shown shown(records);
  const int64_t from = kStart + 60 * 20, to = kStart + 60 * 250;
  QSignalSpy view(&shown.window, &MeasurementsWindow::viewUpdated);
  shown.window.findChild<QDoubleSpinBox*>("deltaHOverR")->setValue(8000);
  shown.window.setRange(from, to);
  QVERIFY(view.wait(kWait));
  while (view.wait(500)) {
  }

  std::vector<history::StoredRecord> inRange;
  for (const history::StoredRecord& r : records)
    if (r.time >= from && r.time <= to) inRange.push_back(r);
  const std::vector<history::SensorStats> expected = history::statistics(inRange, 8000);
  auto* table = shown.window.findChild<QTableWidget*>("statistics");
  QCOMPARE(table->rowCount(), static_cast<int>(expected.size()));
  const auto cell = [&](int row, int column) { return table->item(row, column)->text(); };
  const auto value = [&](int row, int column) { return cell(row, column).remove(',').toDouble(); };
  for (int row = 0; row < table->rowCount(); ++row) {
    const history::SensorStats& s = expected[static_cast<size_t>(row)];
    QCOMPARE(value(row, 0), double(s.sensor));
    QCOMPARE(value(row, 1), double(s.count));
    QCOMPARE(cell(row, 2), measurementtext::time(s.first));
    QCOMPARE(cell(row, 3), measurementtext::time(s.last));
    const double shownValues[] = {value(row, 4), value(row, 5),  value(row, 6),  value(row, 7), value(row, 8),
                                  value(row, 9), value(row, 10), value(row, 11), value(row, 12)};
    const history::Quantity* quantities[] = {&s.humidity, &s.temperature, &s.ambientTemperature};
    for (int q = 0; q < 3; ++q) {
      QVERIFY(std::abs(shownValues[3 * q] - quantities[q]->min) < 0.051);
      QVERIFY(std::abs(shownValues[3 * q + 1] - quantities[q]->mean) < 0.0051);
      QVERIFY(std::abs(shownValues[3 * q + 2] - quantities[q]->max) < 0.051);
    }
    QVERIFY(std::abs(value(row, 13) - s.meanKineticTemperature) < 0.0051);
    QCOMPARE(value(row, 14), double(s.checksumErrors));
  }
  QCOMPARE(value(0, 14) + value(1, 14), 1.0);
  QVERIFY(value(0, 9) < 30 && value(1, 9) < 30);  // the damaged 80 °C is in no maximum
}

void MeasurementsWindowTest::reportAndImageFiles() {
  setExportFormat(RegionalFormat::german());
  Shown shown(series(500));
  QTemporaryDir dir;
  QString message;
  QVERIFY2(shown.window.exportPdf(dir.filePath("report.pdf"), message), qPrintable(message));
  const QByteArray pdf = readAll(dir.filePath("report.pdf"));
  QVERIFY(pdf.startsWith("%PDF-"));
  // As many pages as it takes, the page tree counting them all.
  const qsizetype pages = pdf.count("/Type /Page\n");
  QVERIFY(pages >= 2);
  QVERIFY(pdf.contains("/Count " + QByteArray::number(pages) + "\n"));
  QVERIFY2(shown.window.exportPng(dir.filePath("chart.png"), message), qPrintable(message));
  const QImage image(dir.filePath("chart.png"));
  QVERIFY(image.width() >= 1600 && image.height() >= 450);  // sharp when printed
  // The button's export, drawn on a worker, is the chart the widget draws at that size (text may sit
  // a sub-pixel apart).
  QSignalSpy finished(&shown.window, &MeasurementsWindow::exportFinished);
  QVERIFY(shown.window.startExport(MeasurementsWindow::Export::Png, dir.filePath("button.png")));
  QVERIFY(finished.wait(kWait));
  QVERIFY2(finished.last().at(0).toBool(), qPrintable(finished.last().at(2).toString()));
  const QImage drawn = QImage(dir.filePath("button.png")).convertToFormat(QImage::Format_RGB32);
  const QImage widget = shown.window.findChild<QCustomPlot*>("chart")
                            ->toPixmap(drawn.width(), drawn.height())
                            .toImage()
                            .convertToFormat(QImage::Format_RGB32);
  QCOMPARE(drawn.size(), image.size());
  QCOMPARE(widget.size(), drawn.size());
  int64_t differ = 0, inked = 0;
  for (int y = 0; y < drawn.height(); ++y)
    for (int x = 0; x < drawn.width(); ++x) {
      differ += drawn.pixel(x, y) != widget.pixel(x, y);
      inked += widget.pixel(x, y) != qRgb(255, 255, 255);
    }
  QVERIFY2(differ * 100 < inked, qPrintable(QString("%1 of %2 drawn pixels differ").arg(differ).arg(inked)));

  // A file that cannot be written: false, a message with its name, and nothing left behind.
  for (const QString& name :
       {QString("report.pdf"), QString("chart.png"), QString("range.csv"), QString("range.xlsx")}) {
    const QString path = dir.filePath("missing/" + name);
    const bool ok = name.endsWith("pdf")    ? shown.window.exportPdf(path, message)
                    : name.endsWith("png")  ? shown.window.exportPng(path, message)
                    : name.endsWith("xlsx") ? shown.window.exportXlsx(path, message)
                                            : shown.window.exportCsv(path, message);
    QVERIFY(!ok);
    QVERIFY2(message.contains(name), qPrintable(message));
    QVERIFY(!QFile::exists(path));
  }
}

// Every export goes through the one file writer: in a folder that takes no new file, a file the user
// may write is replaced in place (as an ordinary user: root may write anything).
void MeasurementsWindowTest::exportsIntoReadOnlyFolder() {
  setExportFormat(RegionalFormat::german());
  Shown shown(series(50));
  QTemporaryDir dir;
  const QString folder = dir.filePath("ro");
  QVERIFY(QDir().mkdir(folder));
  const bool root = geteuid() == 0;
  constexpr uid_t kUser = 65534;
  const QStringList names{"report.pdf", "chart.png", "range.csv"};
  for (const QString& name : names) {
    QFile old(folder + "/" + name);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("old");
    old.close();
    if (root) QCOMPARE(chown(QFile::encodeName(old.fileName()).constData(), kUser, kUser), 0);
  }
  if (root) QCOMPARE(chown(QFile::encodeName(folder).constData(), kUser, kUser), 0);
  QCOMPARE(chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
  QCOMPARE(chmod(QFile::encodeName(folder).constData(), 0555), 0);
  QString message;
  bool written[3] = {};
  if (root) QCOMPARE(seteuid(kUser), 0);
  written[0] = shown.window.exportPdf(folder + "/report.pdf", message);
  written[1] = shown.window.exportPng(folder + "/chart.png", message);
  written[2] = shown.window.exportCsv(folder + "/range.csv", message);
  if (root) QCOMPARE(seteuid(0), 0);
  chmod(QFile::encodeName(folder).constData(), 0755);
  QVERIFY2(written[0] && written[1] && written[2], qPrintable(message));
  QVERIFY(readAll(folder + "/report.pdf").startsWith("%PDF-"));
  QVERIFY(!QImage(folder + "/chart.png").isNull());
  QVERIFY(readAll(folder + "/range.csv").startsWith("Date;"));
  QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden),
           (QStringList{"chart.png", "range.csv", "report.pdf"}));
}

// The export the buttons start runs on a worker: cancelled (also by closing the window, or by the
// window going away), it leaves an old file as it was and makes no new one; run to its end, it writes
// what the export on the calling thread writes.
void MeasurementsWindowTest::exportOnWorkerCancelsOrCompletes() {
  setExportFormat(RegionalFormat::german());
  const std::vector<history::StoredRecord> records = series(100000);
  Shown shown(records);
  QTemporaryDir dir;
  const QString reference = dir.filePath("reference.csv"), old = dir.filePath("old.csv"),
                fresh = dir.filePath("new.csv");
  QString message;
  QVERIFY2(shown.window.exportCsv(reference, message), qPrintable(message));
  {
    QFile file(old);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("old\r\n");
  }
  QSignalSpy finished(&shown.window, &MeasurementsWindow::exportFinished);
  const auto cancelled = [&] { return finished.last().at(1).toBool() && !finished.last().at(0).toBool(); };
  for (const QString& path : {old, fresh}) {
    QVERIFY(shown.window.startExport(MeasurementsWindow::Export::Csv, path));
    QVERIFY(!shown.window.startExport(MeasurementsWindow::Export::Csv, path));  // one at a time
    shown.window.cancelExport();
    QVERIFY(finished.wait(kWait));
    QVERIFY(cancelled());
  }
  QVERIFY(shown.window.startExport(MeasurementsWindow::Export::Csv, fresh));
  shown.window.close();
  QVERIFY(finished.wait(kWait));
  QVERIFY(cancelled());
  QCOMPARE(readAll(old), QByteArray("old\r\n"));
  QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList({"old.csv", "reference.csv"}));

  QVERIFY(shown.window.startExport(MeasurementsWindow::Export::Csv, old));
  QVERIFY(finished.wait(kWait));
  QVERIFY2(finished.last().at(0).toBool(), qPrintable(finished.last().at(2).toString()));
  QCOMPARE(readAll(old), readAll(reference));

  // The window goes while its export runs: the worker finishes without it and writes nothing.
  {
    Shown gone(records);
    QVERIFY(gone.window.startExport(MeasurementsWindow::Export::Csv, fresh));
  }
  QTRY_VERIFY_WITH_TIMEOUT(QThreadPool::globalInstance()->activeThreadCount() == 0, kWait);
  QVERIFY(!QFile::exists(fresh));
  QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList({"old.csv", "reference.csv"}));
}

void MeasurementsWindowTest::loggerOfTheHistory() {
  setExportFormat(RegionalFormat::german());
  QTemporaryDir dir;
  history::Store store;
  std::string error;
  QVERIFY2(store.open(dir.filePath("m.sqlite").toStdString(), error), error.c_str());
  const auto importOf = [&](const char* logger, int64_t first, int count) {
    std::vector<messwert_tag> records;
    for (int i = 0; i < count; ++i) records.push_back(makeRecord(first + 60 * i, 7, 50, 20));
    history::ImportResult result;
    QVERIFY2(store.importDownload(logger, "x.csv", records, result, error), error.c_str());
  };
  importOf("VLM00001", kStart, 30);
  importOf("VLM00002", kStart, 50);

  MeasurementsWindow window(&store);
  window.show();
  QSignalSpy view(&window, &MeasurementsWindow::viewUpdated);
  window.showLogger("VLM00001");
  QVERIFY(view.wait(kWait));
  QAbstractItemModel* table = window.findChild<QTableView*>("records")->model();
  QCOMPARE(table->rowCount(), 30);
  // A new download of that logger, overlapping the first: read again, nothing twice.
  importOf("VLM00001", kStart + 60 * 20, 30);
  window.historyChanged("VLM00001");
  QVERIFY(view.wait(kWait));
  QCOMPARE(table->rowCount(), 50);
  QCOMPARE(window.range(), std::make_pair(kStart, kStart + 60 * 49));

  // A record read from a file where the download has none is kept, and the table says so.
  history::ImportResult result;
  QVERIFY2(store.importCsvRecords("VLM00001", "/data/extra.csv", {makeRecord(kStart + 60 * 70, 7, 50, 20)},
                                  {false}, result, error),
           error.c_str());
  window.historyChanged("VLM00001");
  QVERIFY(view.wait(kWait));
  QCOMPARE(table->rowCount(), 51);
  QVERIFY(table->index(0, RecordsModel::Source).data().toString().startsWith("Download "));
  QVERIFY(table->index(50, RecordsModel::Source).data().toString().startsWith("File extra.csv, read "));
  QVERIFY(!table->index(0, RecordsModel::Time).data(Qt::ForegroundRole).isValid());
  QVERIFY(table->index(50, RecordsModel::Time).data(Qt::ForegroundRole).isValid());
}

// A logger with more records than the window loads is drawn from the history's lowest and highest
// per column, nothing listed; loggers compared with it are drawn beside it the same way, and drawn
// again for a zoomed range. A spike of one reading shows at every zoom.
void MeasurementsWindowTest::largeLoggerAndComparedLoggersFromTheEnvelope() {
  setExportFormat(RegionalFormat::german());
  QTemporaryDir dir;
  history::Store store;
  std::string error;
  QVERIFY2(store.open(dir.filePath("m.sqlite").toStdString(), error), error.c_str());
  const auto importOf = [&](const char* logger, uint16_t sensor, float temperature, int count) {
    std::vector<messwert_tag> records;
    for (int i = 0; i < count; ++i)
      records.push_back(makeRecord(kStart + 60 * i, sensor, 50, i == count / 2 ? 95 : temperature));
    history::ImportResult result;
    QVERIFY2(store.importDownload(logger, "x.csv", records, result, error), error.c_str());
  };
  importOf("VLM00001", 7, 20, 3000);
  importOf("VLM00002", 8, 30, 600);

  MeasurementsWindow window(&store);
  window.setMaxLoadedRecords(1000);
  window.resize(1000, 700);
  window.show();
  auto* plot = window.findChild<QCustomPlot*>("chart");
  QSignalSpy view(&window, &MeasurementsWindow::viewUpdated);
  window.showLoggers({"VLM00001", "VLM00002"});
  QVERIFY(view.wait(kWait));
  QVERIFY(window.drawsEnvelope());
  QCOMPARE(window.comparedLoggers(), QStringList{"VLM00002"});
  QCOMPARE(window.findChild<QTableView*>("records")->model()->rowCount(), 0);
  const auto highest = [&](const QString& name) {
    for (int i = 0; i < plot->graphCount(); ++i) {
      QCPGraph* graph = plot->graph(i);
      if (graph->name() != name) continue;
      double high = -INFINITY;
      for (const QCPGraphData& p : *graph->data())
        if (!std::isnan(p.value)) high = std::max(high, p.value);
      return high;
    }
    return std::nan("");
  };
  // Both loggers' temperatures with their spikes, over the whole range.
  QTRY_COMPARE_WITH_TIMEOUT(highest("Temperature"), 95.0, kWait);
  QTRY_COMPARE_WITH_TIMEOUT(highest("VLM00002 Temperature 8"), 95.0, kWait);
  QCOMPARE(window.range(), std::make_pair(kStart, kStart + 60 * 2999));

  // Zoomed to minutes 1000 to 1100 of the first: its spike (minute 1500) is out of view, and the
  // second logger's readings end at minute 599.
  window.setRange(kStart + 60 * 1000, kStart + 60 * 1100);
  QTRY_COMPARE_WITH_TIMEOUT(highest("Temperature"), 20.0, kWait);
  QTRY_VERIFY_WITH_TIMEOUT(std::isinf(highest("VLM00002 Temperature 8")), kWait);

  // One logger again: the comparison ends.
  window.showLogger("VLM00002");
  QVERIFY(view.wait(kWait));
  QVERIFY(window.comparedLoggers().isEmpty());
  QCOMPARE(window.findChild<QTableView*>("records")->model()->rowCount(), 600);
}

namespace {

// A history with one logger of two sensors, a reading a minute.
struct LimitsHistory {
  QTemporaryDir dir;
  history::Store store;
  LimitsHistory(const std::vector<messwert_tag>& records) {
    std::string error;
    history::ImportResult result;
    if (!store.open(dir.filePath("m.sqlite").toStdString(), error) ||
        !store.importDownload("VLM12345", "x.csv", records, result, error))
      qFatal("history: %s", error.c_str());
  }
  std::vector<history::LimitsRow> rows() {
    std::vector<history::LimitsRow> out;
    std::string error;
    if (!store.limitRows("VLM12345", out, error)) qFatal("limits: %s", error.c_str());
    return out;
  }
};

void type(LimitsDialog& dialog, const char* field, const QString& text) {
  dialog.findChild<QLineEdit*>(field)->setText(text);
}

}  // namespace

void MeasurementsWindowTest::limitsDialogRefusesBadInput_data() {
  QTest::addColumn<QString>("field");
  QTest::addColumn<QString>("text");
  QTest::addColumn<QString>("reason");
  QTest::newRow("low above high") << "temperatureLow"
                                  << "9"
                                  << "lower limit is above";
  QTest::newRow("not a number") << "humidityHigh"
                                << "6o"
                                << "Humidity";
  QTest::newRow("negative delay") << "delay"
                                  << "-15m"
                                  << "delay";
  QTest::newRow("delay without unit") << "delay"
                                      << "15"
                                      << "delay";
}

void MeasurementsWindowTest::limitsDialogRefusesBadInput() {
  QFETCH(QString, field);
  QFETCH(QString, text);
  QFETCH(QString, reason);
  setExportFormat(RegionalFormat::english());
  LimitsHistory history({makeRecord(kStart, 4711, 50, 5)});
  LimitsDialog dialog(&history.store, "VLM12345", {4711});
  type(dialog, "temperatureLow", "2");
  type(dialog, "temperatureHigh", "8");
  type(dialog, field.toLatin1().constData(), text);
  QVERIFY(!dialog.save());
  QVERIFY2(dialog.errorText().contains(reason), qPrintable(dialog.errorText()));
  QVERIFY(history.rows().empty());
}

void MeasurementsWindowTest::limitsDialogStoresGoodInput() {
  setExportFormat(RegionalFormat::german());  // numbers typed with a decimal comma, as the window shows them
  LimitsHistory history({makeRecord(kStart, 4711, 50, 5), makeRecord(kStart, 4712, 50, 5)});
  {
    LimitsDialog dialog(&history.store, "VLM12345", {4711, 4712});
    auto* appliesTo = dialog.findChild<QComboBox*>("appliesTo");
    appliesTo->setCurrentIndex(appliesTo->findData(4712));
    type(dialog, "temperatureLow", "2,5");
    type(dialog, "temperatureHigh", "8");
    type(dialog, "humidityLow", "");
    type(dialog, "humidityHigh", "60");
    type(dialog, "delay", "1h30m");
    auto* rule = dialog.findChild<QComboBox*>("rule");
    rule->setCurrentIndex(rule->findData("cumulative"));
    QVERIFY2(dialog.save(), qPrintable(dialog.errorText()));
  }
  const std::vector<history::LimitsRow> rows = history.rows();
  QCOMPARE(rows.size(), size_t(1));
  QCOMPARE(rows[0].sensor, std::optional<uint16_t>(4712));
  const history::Limits& l = rows[0].limits;
  QCOMPARE(l.temperature.lower, std::optional<double>(2.5));
  QCOMPARE(l.temperature.upper, std::optional<double>(8));
  QVERIFY(!l.humidity.lower.has_value());
  QCOMPARE(l.humidity.upper, std::optional<double>(60));
  QCOMPARE(l.temperature.delay, int64_t(5400));
  QVERIFY(l.humidity.rule == history::AlarmRule::cumulative);

  // Opened again on that sensor, it shows what is stored.
  LimitsDialog again(&history.store, "VLM12345", {4711, 4712});
  auto* appliesTo = again.findChild<QComboBox*>("appliesTo");
  appliesTo->setCurrentIndex(appliesTo->findData(4712));
  QCOMPARE(again.findChild<QLineEdit*>("temperatureLow")->text(), QString("2,5"));
  QCOMPARE(again.findChild<QLineEdit*>("delay")->text(), QString("1h30m"));
  // Limits that are set change only with a reason, which goes with the change.
  type(again, "temperatureHigh", "7");
  QVERIFY(!again.save());
  QVERIFY2(again.errorText().contains("needs a reason"), qPrintable(again.errorText()));
  QCOMPARE(history.rows()[0].limits.temperature.upper, std::optional<double>(8));
  type(again, "reason", "Stability data of the new batch");
  QVERIFY2(again.save(), qPrintable(again.errorText()));
  std::vector<history::LimitChange> changes;
  std::string error;
  QVERIFY2(history.store.limitChanges("VLM12345", changes, error), error.c_str());
  QCOMPARE(changes.size(), size_t(2));
  QCOMPARE(changes[1].reason, std::string("Stability data of the new batch"));
}

void MeasurementsWindowTest::excursionsListedAndClickZooms() {
  setExportFormat(RegionalFormat::german());
  // Sensor 4711 at 5 °C, above 8 °C for minutes 10 to 14 and below 2 °C for minutes 30 and 31;
  // sensor 4712 always within.
  std::vector<messwert_tag> records;
  for (int i = 0; i < 60; ++i) {
    const float t = i >= 10 && i < 15 ? 9.5f + static_cast<float>(i % 3) : i == 30 || i == 31 ? 1.0f : 5.0f;
    records.push_back(makeRecord(kStart + 60 * i, 4711, 50, t));
    records.push_back(makeRecord(kStart + 60 * i, 4712, 50, 5));
  }
  LimitsHistory history(records);
  history::Limits limits;
  limits.temperature.lower = 2;
  limits.temperature.upper = 8;
  limits.temperature.delay = 180;  // consecutive: the 5 minutes above alarm, the 2 below do not
  std::string error;
  QVERIFY2(history.store.setLimits("VLM12345", std::nullopt, limits, history::thisComputer(), error),
           error.c_str());
  // The PC that set the logger's clock was an hour east of UTC.
  QVERIFY2(history.store.recordClockZone("VLM12345", kStart - 86400, history::Zone{"Europe/Berlin", 3600},
                                         history::ClockZoneKind::setTime, error),
           error.c_str());

  MeasurementsWindow window(&history.store);
  window.resize(1000, 700);
  window.show();
  window.showLogger("VLM12345");
  const ExcursionsModel* model = window.excursions();
  QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(), 2, kWait);
  const auto cell = [&](int row, int column) { return model->index(row, column).data().toString(); };
  QCOMPARE(cell(0, ExcursionsModel::Sensor), QString("4711"));
  QCOMPARE(cell(0, ExcursionsModel::Side), QString("above"));
  QCOMPARE(cell(0, ExcursionsModel::Start), measurementtext::time(kStart + 600) + " +01:00");
  QCOMPARE(cell(0, ExcursionsModel::End), measurementtext::time(kStart + 900) + " +01:00");
  QCOMPARE(cell(0, ExcursionsModel::Extreme), QString("11,5 °C"));
  QCOMPARE(cell(0, ExcursionsModel::Alarm), QString("alarm"));
  QCOMPARE(cell(1, ExcursionsModel::Side), QString("below"));
  QCOMPARE(cell(1, ExcursionsModel::Duration), QString("2 min"));
  QCOMPARE(cell(1, ExcursionsModel::Alarm), QString());
  QCOMPARE(cell(0, ExcursionsModel::Comment), QString());

  // The statistics of the whole range give each sensor its verdict.
  QTRY_VERIFY_WITH_TIMEOUT(!window.isLoading(), kWait);
  auto* stats = window.findChild<QTableWidget*>("statistics");
  QTRY_COMPARE_WITH_TIMEOUT(stats->rowCount(), 2, kWait);
  QCOMPARE(stats->horizontalHeaderItem(2)->text(), QString("Verdict"));
  QCOMPARE(stats->item(0, 2)->text(), QString("1 alarm"));
  QCOMPARE(stats->item(1, 2)->text(), QString("Within limits"));

  // A click on the second excursion brings it into view, close.
  window.findChild<QTabWidget*>()->setCurrentIndex(1);
  auto* table = window.findChild<QTableView*>("excursions");
  QTRY_VERIFY_WITH_TIMEOUT(table->isVisible(), kWait);
  const QRect row = table->visualRect(table->model()->index(1, ExcursionsModel::Start));
  QTest::mouseClick(table->viewport(), Qt::LeftButton, Qt::NoModifier, row.center());
  const auto [from, to] = window.range();
  QVERIFY2(from <= kStart + 1800 && to >= kStart + 1920 && to - from < 1200,
           qPrintable(QString("%1 .. %2").arg(from - kStart).arg(to - kStart)));

  // Comment… on the selected excursion: the dialog's cause and action are kept in the history with
  // who wrote them, and the table shows them.
  auto* comment = window.findChild<QPushButton*>("commentExcursion");
  QVERIFY(comment->isEnabled());
  bool filled = false;
  QTimer::singleShot(0, &window, [&filled] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (w->objectName() != "ExcursionCommentDialog") continue;
      w->findChild<QLineEdit*>("cause")->setText("Door open while loading");
      w->findChild<QLineEdit*>("action")->setText("Goods checked, released");
      w->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Save)->click();
      filled = true;
    }
  });
  comment->click();
  QVERIFY(filled);
  std::vector<history::ExcursionComment> comments;
  QVERIFY2(history.store.excursionComments("VLM12345", comments, error), error.c_str());
  QCOMPARE(comments.size(), size_t(1));
  QCOMPARE(comments[0].start, kStart + 1800);
  QCOMPARE(comments[0].who.user, history::thisComputer().user);
  QCOMPARE(cell(1, ExcursionsModel::Comment),
           QString("cause: Door open while loading; action: Goods checked, released (%1)")
               .arg(QString::fromStdString(history::thisComputer().user)));

  // The read-out gives the offset too.
  auto* plot = window.findChild<QCustomPlot*>("chart");
  plot->replot();
  const QPoint over(static_cast<int>(plot->xAxis->coordToPixel(kStart + 1860)),
                    plot->axisRect()->center().y());
  QTest::mouseMove(plot, over);
  QTRY_VERIFY_WITH_TIMEOUT(window.findChild<QLabel*>("readout")->text().startsWith(
                               measurementtext::time(kStart + 1860) + " +01:00"),
                           kWait);
}

// The report of a logger of the history, made on the worker: held to the history's limits, and its
// digest is the history's for the same readings although the window keeps them in another order
// (readings of two sensors in the same second).
void MeasurementsWindowTest::reportOfTheHistorysLogger() {
  QTemporaryDir dir;
  history::Store store;
  std::string error;
  QVERIFY2(store.open(dir.filePath("m.sqlite").toStdString(), error), error.c_str());
  std::vector<messwert_tag> records;
  for (int i = 0; i < 120; ++i) {
    for (uint16_t sensor : {2, 1}) {
      messwert_tag r = makeRecord(kStart + 60 * i, sensor, 50, i >= 30 && i < 60 ? 9 : 5);
      if (sensor == 2) {  // the lower tick in that second: the window's order puts it first
        r.tick = static_cast<uint8_t>(r.tick - 4);
        r.reserved[5] = static_cast<uint8_t>(r.reserved[5] + 4);
      }
      records.push_back(r);
    }
  }
  history::ImportResult result;
  QVERIFY2(store.importDownload("VLM00001", "x.csv", records, result, error), error.c_str());
  history::Limits limits;
  limits.temperature.lower = 2;
  limits.temperature.upper = 8;
  limits.temperature.delay = 15 * 60;
  QVERIFY2(store.setLimits("VLM00001", std::nullopt, limits, history::Computer{"lab-pc", "quality"}, error),
           error.c_str());
  std::vector<history::StoredRecord> stored;
  history::Query all;
  all.logger = "VLM00001";
  QVERIFY2(store.query(all, stored, error), error.c_str());

  MeasurementsWindow window(&store);
  window.show();
  QSignalSpy view(&window, &MeasurementsWindow::viewUpdated);
  window.showLogger("VLM00001");
  QVERIFY(view.wait(kWait));
  QSignalSpy finished(&window, &MeasurementsWindow::exportFinished);
  const QString path = dir.filePath("report.pdf");
  QVERIFY(window.startExport(MeasurementsWindow::Export::Pdf, path));
  QVERIFY(finished.wait(kWait));
  QVERIFY2(finished.last().at(0).toBool(), qPrintable(finished.last().at(2).toString()));
  QProcess text;
  text.start("pdftotext", {"-layout", path, "-"});
  QVERIFY(text.waitForFinished(kWait));
  const QString report = QString::fromUtf8(text.readAllStandardOutput()).simplified();
  // No zone is recorded for this logger: its times take this computer's offset, and the report says so.
  QVERIFY2(report.contains("Verdict: 2 alarms: sensor 1 temperature above 8 °C from 2026-01-01T00:30:00"),
           qPrintable(report));
  QVERIFY(report.contains("Logger clock zone not recorded; taken as this computer's zone"));
  QVERIFY(report.contains(QString::fromStdString(history::readingsDigest(stored))));
  QVERIFY(report.contains("quality on lab-pc, the logger: none -> temperature 2:8 15m consecutive"));
  QVERIFY(report.contains("by Tarnwick " TARNWICK_VERSION));

  QString message;
  QVERIFY2(window.exportXlsx(dir.filePath("records.xlsx"), message), qPrintable(message));
  QVERIFY(readAll(dir.filePath("records.xlsx")).startsWith("PK"));
}

QTEST_MAIN(MeasurementsWindowTest)
#include "MeasurementsWindowTest.moc"
