// The measurements window: a logger's history or an opened file as a chart over time, with the
// statistics and the records of the range in view, and its exports (CSV, PNG, PDF report).
// By job: MeasurementsWindow.cpp the layout, the sources and loads, the table and statistics;
// MeasurementsChart.cpp the chart, zoom, pan and read-out; MeasurementsReport.cpp the PDF report's
// drawing; MeasurementsExport.cpp the exports and their workers.
#pragma once

#include <QFutureWatcher>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "JobThread.h"
#include "MeasurementsExport.h"
#include "MeasurementsLimits.h"

namespace history {
class ClockOffsets;
class Store;
struct EnvelopeCell;
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
class QModelIndex;
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
  // Several loggers of the history on one chart: the first as showLogger shows it, the sensors of the
  // others drawn beside it from the history's lowest and highest per pixel column (not listed,
  // counted or exported).
  void showLoggers(const QStringList& loggers);
  QStringList comparedLoggers() const { return compared_; }
  // The most records of one logger the window loads (for the table, statistics and exports); a logger
  // with more is drawn from the history's lowest and highest per pixel column alone.
  static constexpr int64_t kMaxLoadedRecords = 1000000;
  void setMaxLoadedRecords(int64_t records) { maxLoaded_ = records; }
  // Whether the chart shows the history's lowest and highest per column (overview or comparison).
  bool drawsEnvelope() const;
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

  // The limits of the logger shown changed (the Limits dialog stores them): they are read again and
  // the excursions found again; excursionsUpdated follows.
  void limitsChanged();
  // The excursions of the shown sensors, in the order of their start, as the table lists them.
  const ExcursionsModel* excursions() const { return excursionsModel_; }
  // A record time (the logger's clock) as the window shows it, with the clock's UTC offset where the
  // history knows the zone the logger's clock followed ("07.12.2026 18:40:06 +01:00").
  QString timeText(int64_t time) const;

  // The exports of the range in view. False with a message that names the file when it cannot be
  // written; the file is then left as it was.
  // These run to the end on the calling thread.
  bool exportCsv(const QString& path, QString& error);
  bool exportPng(const QString& path, QString& error);
  bool exportPdf(const QString& path, QString& error);
  bool exportXlsx(const QString& path, QString& error);

  // The export the buttons start: the same file, formed and written on a worker thread while a
  // progress dialog with Cancel shows. exportFinished follows, also after a cancel (the file is then
  // left as it was). False, and no signal, when no records are shown or an export is running.
  enum class Export { Csv, Png, Pdf, Xlsx };
  bool startExport(Export kind, const QString& path);
  void cancelExport();
  bool isExporting() const { return exportState_ != nullptr; }

 signals:
  // The records asked for are shown, or the status line says why they cannot be.
  void loaded();
  // The table and the statistics show the range in view.
  void viewUpdated();
  // The excursions of the records shown were found (again) and drawn.
  void excursionsUpdated();
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
  struct ComparedGraphs {
    QString logger;
    uint16_t sensor;
    QCPGraph *humidity, *temperature, *ambient;
  };
  // The lowest and highest values per column of the loggers drawn that way, for one range.
  struct EnvelopeResult {
    int64_t from = 0, to = 0;
    int columns = 0;
    QStringList loggers;
    std::map<QString, std::vector<history::EnvelopeCell>> cells;
    QString error;
  };
  struct StatsResult {
    int generation;
    std::vector<history::SensorStats> stats;
    std::vector<history::SensorExcursions> excursions;  // when limits are set
  };

  // The constructor's steps: the bar above the chart, the chart with its read-out, the statistics and
  // the records below it, and the timers and workers' signals.
  QHBoxLayout* buildToolBar();
  QWidget* buildChartPane();
  QWidget* buildLowerPane();
  QWidget* buildStatisticsPane();
  QTableView* buildRecordsTable();
  QWidget* buildExcursionsPane();
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
  QStringList envelopeLoggers() const;
  void requestEnvelope(int64_t from, int64_t to, int columns);
  void envelopeFinished();
  void rangeChanged();
  void updateView();  // the table, range line and statistics of the range in view
  void statsFinished();
  void fillStatistics();
  // Limits and excursions: read from the history for the logger shown, found on a worker over all
  // records, drawn and listed for the shown sensors.
  void reloadLimits();
  void startExcursions();
  void excursionsFinished();
  void showExcursions();
  void openLimitsDialog();
  void zoomToExcursion(const QModelIndex& index);
  // The comment dialog of the selected excursion; true when a comment was stored.
  bool commentExcursion();
  void showReadout(const QPoint& pos);
  void zoomAt(double key, double factor);
  void pan(double fraction);
  void setXRange(double lower, double upper);
  std::pair<size_t, size_t> shownInView() const;  // into shown_
  std::vector<QStringList> statisticsRows() const;
  QStringList statisticsHeader() const;
  // What the report and the spreadsheet take from the history (null with a message when it cannot
  // be read).
  std::shared_ptr<const exports::ReportContext> reportContext(QString& error) const;
  // The PDF report (or with `spreadsheet` the XLSX file) of the range in view, with the history's context.
  bool exportWithContext(const QString& path, QString& error, bool spreadsheet);
  void setStatus(const QString& text);
  void askExport(int kind);
  std::shared_ptr<const exports::ChartPicture> chartPicture();
  void exportDone();

  history::Store* store_;
  // The second connection to the history that the loads read through, and the one thread they run on.
  std::shared_ptr<history::Store> reader_;
  JobThread readerThread_;

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
  QPushButton* limitsButton_;
  ExcursionBands* bands_;
  ExcursionBands* limitLines_;
  ExcursionsModel* excursionsModel_;
  QTableView* excursionTable_;
  QLabel* excursionsLabel_;
  QPushButton* commentButton_;
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

  QStringList compared_;  // further loggers of the history on the chart
  std::map<QString, std::vector<uint16_t>> comparedSensors_;
  int64_t comparedFirst_ = 0, comparedLast_ = 0;  // their span, when comparedSpan_
  bool comparedSpan_ = false;
  std::vector<ComparedGraphs> comparedGraphs_;
  int64_t maxLoaded_ = kMaxLoadedRecords;
  QFutureWatcher<EnvelopeResult> envelopeWatcher_;
  bool envelopeRunning_ = false;
  EnvelopeResult envelope_;  // the newest that came

  QFutureWatcher<StatsResult> statsWatcher_;
  int statsGeneration_ = 0;
  bool statsRunning_ = false;
  bool statsAgain_ = false;
  std::vector<history::SensorStats> statsShown_;
  std::vector<history::SensorExcursions> excursionStatsShown_;

  LoggerLimits limits_;                                   // of the logger shown; none for an opened file
  std::shared_ptr<const history::ClockOffsets> offsets_;  // null: the zone of its clock is not known
  struct ExcursionsDone {
    int generation;
    std::shared_ptr<const history::ExcursionResult> result;
  };
  QFutureWatcher<ExcursionsDone> excursionsWatcher_;
  int excursionsGeneration_ = 0;
  bool excursionsRunning_ = false;
  bool excursionsAgain_ = false;
  std::shared_ptr<const history::ExcursionResult> excursions_;

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
