// The measurements window: a logger's history or an opened file as a chart over time, with the
// statistics and the records of the range in view, and its exports (CSV, PNG, PDF report).
// By job: MeasurementsWindow.cpp the layout, the sources and loads, the table and statistics;
// MeasurementsChart.cpp the chart, zoom, pan and read-out; MeasurementsReport.cpp the PDF report's
// drawing; MeasurementsExport.cpp the exports and their workers.
#pragma once

#include <QFutureWatcher>
#include <QThreadPool>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "MeasurementsExport.h"

namespace history {
class Store;
struct StoredRecord;
struct SensorStats;
}  // namespace history

class QCheckBox;
class QPicture;
class RecordsModel;
class QCloseEvent;
class QProgressDialog;
class QComboBox;
class QCPGraph;
class QCPItemStraightLine;
class QCPLayer;
class QCPPainter;
class QCPTextElement;
class QCustomPlot;
class QDoubleSpinBox;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QTableView;
class QTableWidget;
class QTimer;

class MeasurementsWindow : public QWidget {
  Q_OBJECT
 public:
  // `store` may be null when no history is available; the window does not own it and uses it on the
  // GUI thread only (the records are read through a second connection to the same file, off the GUI
  // thread).
  explicit MeasurementsWindow(history::Store* store, QWidget* parent = nullptr);
  ~MeasurementsWindow() override;

  // A logger of the history, by its serial number as the logger reports it ("VLM12345").
  void showLogger(const QString& logger);
  // Records that come from an opened file, shown under `title` (the file's name).
  void showRecords(const QString& title, const std::vector<history::StoredRecord>& records);
  // A download of `logger` was imported: what is shown is read again if it concerns that logger.
  void historyChanged(const QString& logger);

  // The range in view in the records' time (seconds since 1970, the logger's calendar time taken as
  // UTC), both ends included.
  std::pair<int64_t, int64_t> range() const;
  void setRange(int64_t from, int64_t to);
  // The whole of the records, humidity and temperature axes fitted to them.
  void resetZoom();
  // Whether the records of a sensor are drawn, listed, counted and exported.
  void setSensorShown(uint16_t sensor, bool shown);
  bool isLoading() const;

  // The exports of the range in view. False with a message that names the file when it cannot be
  // written; the file is then left as it was.
  // These run to the end on the calling thread.
  bool exportCsv(const QString& path, QString& error);
  bool exportPng(const QString& path, QString& error);
  bool exportPdf(const QString& path, QString& error);

  // The export the buttons start: the same file, formed and written on a worker thread while a
  // progress dialog with Cancel shows. exportFinished follows, also after a cancel (the file is then
  // left as it was). False, and no signal, when no records are shown or an export is running.
  enum class Export { Csv, Png, Pdf };
  bool startExport(Export kind, const QString& path);
  void cancelExport();
  bool isExporting() const { return exportState_ != nullptr; }

 signals:
  // The records asked for are shown, or the status line says why they cannot be.
  void loaded();
  // The table and the statistics show the range in view.
  void viewUpdated();
  // An export started with startExport ended; `message` is what the status line shows.
  void exportFinished(bool ok, bool cancelled, const QString& message);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  struct Source {
    bool file = false;
    QString key;  // logger serial or file title
  };
  struct LoadResult {
    bool file = false;
    std::shared_ptr<const MeasurementData> data;
    QString error;
  };
  struct Graphs {
    uint16_t sensor;
    QCPGraph *humidity, *temperature, *ambient, *dewPoint;
  };
  struct StatsResult {
    int generation;
    std::vector<history::SensorStats> stats;
    std::map<QString, std::pair<int64_t, bool>> sources;  // records per source, whether from a file
  };

  // The constructor's steps: the bar above the chart, the chart with its read-out, the statistics and
  // the records below it, and the timers and workers' signals.
  QHBoxLayout* buildToolBar();
  QWidget* buildChartPane();
  QWidget* buildLowerPane();
  QWidget* buildStatisticsPane();
  QTableView* buildRecordsTable();
  void connectWork();
  void buildChart();
  void refreshSources();
  void selectSource(const Source& source);
  void startLoad(const Source& source, std::vector<history::StoredRecord> records = {});
  void loadFinished();
  void install(std::shared_ptr<const MeasurementData> data, bool file, bool keepRange);
  void rebuildSensors();
  void rebuildShown();
  void rebuildGraphs();
  void refreshSeries();  // before each replot: the points of the range in view
  void rangeChanged();
  void updateView();  // the table, range line and statistics of the range in view
  void statsFinished();
  void fillStatistics();
  void showReadout(const QPoint& pos);
  void zoomAt(double key, double factor);
  void pan(double fraction);
  void setXRange(double lower, double upper);
  std::pair<size_t, size_t> shownInView() const;  // into shown_
  std::vector<QStringList> statisticsRows() const;
  QStringList statisticsHeader() const;
  // The report: its lines about the logger and the range, where the records came from, and the page.
  QStringList reportFacts() const;
  QStringList reportSources() const;
  void paintReport(QCPPainter& painter, const QRect& page);
  void setStatus(const QString& text);
  void askExport(int kind);
  QImage chartImage();
  QPicture reportPicture();
  QString reportTitle() const;
  void exportDone();

  history::Store* store_;
  // The second connection to the history that the loads read through, and the one thread they run on.
  std::shared_ptr<history::Store> reader_;
  QThreadPool readerThread_;

  QComboBox* source_;
  QHBoxLayout* sensorLayout_;
  std::vector<QCheckBox*> sensorBoxes_;
  QCheckBox* dewPoint_;
  QCustomPlot* plot_;
  QCPTextElement* title_;
  QCPLayer* cursorLayer_;
  QCPItemStraightLine* cursor_;
  QLabel* readout_;
  QLabel* rangeLabel_;
  QLabel* status_;
  QTableWidget* stats_;
  QDoubleSpinBox* deltaH_;
  QTableView* table_;
  RecordsModel* model_;
  QTimer* viewTimer_;

  Source current_;     // what was asked for
  Source dataSource_;  // what data_ holds
  std::shared_ptr<const MeasurementData> data_;
  std::map<QString, std::shared_ptr<const MeasurementData>> files_;
  std::set<uint16_t> hidden_;
  std::shared_ptr<const std::vector<uint32_t>> shown_;  // records of the shown sensors
  std::vector<int64_t> shownTimes_;
  std::vector<Graphs> graphs_;
  std::vector<chart::Point> points_;

  bool seriesDirty_ = true;
  double seriesLower_ = 0, seriesUpper_ = 0;
  int seriesColumns_ = 0;
  bool autoY_ = true;
  bool zoomed_ = false;  // the user changed the range since the records were shown

  QFutureWatcher<LoadResult> loadWatcher_;
  bool loading_ = false;
  bool loadPending_ = false;
  Source pending_;
  std::vector<history::StoredRecord> pendingRecords_;

  QFutureWatcher<StatsResult> statsWatcher_;
  int statsGeneration_ = 0;
  bool statsRunning_ = false;
  bool statsAgain_ = false;
  std::vector<history::SensorStats> statsShown_;
  std::map<QString, std::pair<int64_t, bool>> sourcesShown_;

  QFutureWatcher<ExportOutcome> exportWatcher_;
  std::shared_ptr<ExportProgress> exportState_;  // while an export runs
  QString exportPath_;
  QProgressDialog* progress_ = nullptr;
  QTimer* progressTimer_;

  bool panning_ = false;
  QPoint panStart_;
  double panLower_ = 0, panUpper_ = 0;
  double panY1Lower_ = 0, panY1Upper_ = 0, panY2Lower_ = 0, panY2Upper_ = 0;
};
