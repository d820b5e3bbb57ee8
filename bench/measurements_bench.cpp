// The measurements window on a large history, offscreen:
//  * first chart: from showLogger() until the chart is painted (reading the records through a second
//    connection, sorting them into series, the reduction per pixel column and the drawing);
//  * zoom and pan redraws: from the wheel notch, drag step or key until the chart is painted again,
//    first without limits, then with limits set (the limit lines and the excursions shaded);
//  * the table and statistics of the range in view after the zoom pauses, and the three exports.
//   QT_QPA_PLATFORM=offscreen measurements_bench [--records N] [--shots DIR] [--first-chart]
// With --first-chart it ends after the first chart and its peak resident memory. With --history FILE
// the history is kept there: the first run fills it and ends, later runs only read it (so that the
// peak memory is the window's, not the filling's).
// With --shots, the window (whole range and zoomed), the PNG and the PDF go to DIR to be looked at.
#include <qcustomplot.h>
#include <sys/resource.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QKeyEvent>
#include <QTabWidget>
#include <QTimer>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "MeasurementsWindow.h"
#include "data/RegionalFormat.h"
#include "history/History.h"

namespace {

constexpr int64_t kStart = 1767225600;  // 2026-01-01 00:00:00, two sensors, each a record a minute

class Stopwatch {
 public:
  Stopwatch() { start(); }
  void start() {
    wall_.start();
    cpu_ = cpuNow();
  }
  double wall() const { return wall_.nsecsElapsed() / 1e6; }
  double cpu() const { return (cpuNow() - cpu_) / 1e6; }

 private:
  static double cpuNow() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e9 + ts.tv_nsec;
  }
  QElapsedTimer wall_;
  double cpu_ = 0;
};

std::vector<messwert_tag> generate(int count) {
  std::vector<messwert_tag> out(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    const int sensor = i % 2;
    const int64_t minute = i / 2;
    messwert_tag& r = out[static_cast<size_t>(i)];
    r = bench::stamped(kStart + minute * 60);
    r.tick = static_cast<uint8_t>(sensor);
    const double day = std::sin(minute * 2 * M_PI / 1440.0), year = std::sin(minute * 2 * M_PI / 525600.0);
    const double noise = static_cast<double>((minute * 7919 + sensor * 31) % 101) / 100.0;
    r.temperature = static_cast<float>(std::round((18 + 6 * year + 3 * day + sensor + noise) * 10) / 10);
    r.humidity = static_cast<float>(std::round((55 - 12 * year - 8 * day - 2 * noise) * 10) / 10);
    r.ambientTemperature = static_cast<float>(std::round((r.temperature + 1.2) * 10) / 10);
    r.sensorSerialNumber = static_cast<uint16_t>(4711 + sensor);
    r.humidityRaw = static_cast<uint16_t>(r.humidity * 100);
    r.temperatureRaw = static_cast<uint16_t>((r.temperature + 40) * 100);
    bench::seal(r);
  }
  return out;
}

// Runs the event loop, sleeping while there is nothing to do, until `done` or 60 s have passed.
template <typename Predicate>
bool waitFor(Predicate done) {
  QTimer limit;  // also wakes the loop now and then
  bool late = false;
  QObject::connect(&limit, &QTimer::timeout, [&] { late = true; });
  limit.start(60000);
  while (!done() && !late) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  return done();
}

// CPU time of the whole process (the loads run on a worker thread), in ms.
double processCpu() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

struct Figures {
  std::vector<double> wall, cpu;
  void add(const Stopwatch& w) { wall.push_back(w.wall()), cpu.push_back(w.cpu()); }
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? NAN : v[v.size() / 2];
}
double maximum(const std::vector<double>& v) {
  return v.empty() ? NAN : *std::max_element(v.begin(), v.end());
}

void report(const char* what, const Figures& f) {
  std::printf("%-22s (%2zu): wall median %6.2f max %6.2f ms, cpu median %6.2f max %6.2f ms\n", what,
              f.wall.size(), median(f.wall), maximum(f.wall), median(f.cpu), maximum(f.cpu));
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  int records = 1000000;
  QString shots;
  bool firstChartOnly = false;
  std::string kept;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--records") && i + 1 < argc)
      records = std::max(2, std::atoi(argv[++i]));
    else if (!std::strcmp(argv[i], "--shots") && i + 1 < argc)
      shots = argv[++i];
    else if (!std::strcmp(argv[i], "--first-chart"))
      firstChartOnly = true;
    else if (!std::strcmp(argv[i], "--history") && i + 1 < argc)
      kept = argv[++i];
  }
  setExportFormat(RegionalFormat::german());

  char pattern[] = "/tmp/tarnwick-measurements-XXXXXX";
  if (!::mkdtemp(pattern)) return std::perror("mkdtemp"), 1;
  const std::string dir = pattern;
  struct Cleanup {
    std::string dir;
    ~Cleanup() {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    }
  } cleanup{dir};

  const std::string file = kept.empty() ? dir + "/measurements.sqlite" : kept;
  Stopwatch timer;
  history::Store store;
  std::string error;
  history::ImportResult imported;
  if (kept.empty() || !std::filesystem::exists(kept)) {
    if (!store.open(file, error) ||
        !store.importDownload("VLM12345", "bench.csv", generate(records), imported, error))
      return std::fprintf(stderr, "history: %s\n", error.c_str()), 1;
    std::printf("history of %lld records filled in %.0f ms\n", static_cast<long long>(imported.added),
                timer.wall());
    store.close();
    if (!kept.empty()) return 0;
  }
  timer.start();
  if (!store.open(file, error)) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
  std::printf("history opened again (as at program start) in %.0f ms\n", timer.wall());

  Stopwatch created;
  MeasurementsWindow window(&store);
  window.resize(1200, 850);
  window.show();
  QCoreApplication::processEvents();
  auto* plot = window.findChild<QCustomPlot*>("chart");
  int replots = 0;
  QObject::connect(plot, &QCustomPlot::afterReplot, [&] { ++replots; });
  bool loaded = false, viewUpdated = false;
  QObject::connect(&window, &MeasurementsWindow::loaded, [&] { loaded = true; });
  QObject::connect(&window, &MeasurementsWindow::viewUpdated, [&] { viewUpdated = true; });

  // First chart: the window is new, so the load also opens its own connection to the history.
  const auto showAndWait = [&](const char* what, const std::function<void()>& show) {
    loaded = false;
    viewUpdated = false;
    const int before = replots;
    Stopwatch w;
    const double cpuBefore = processCpu();
    show();
    if (!waitFor([&] { return loaded; })) return false;
    const double readMs = w.wall();
    // Painted with its lines: the chart of a large history comes once the history's lowest and highest
    // per column have come.
    if (!waitFor(
            [&] { return replots > before && plot->graphCount() > 0 && !plot->graph(0)->data()->isEmpty(); }))
      return false;
    plot->grab();
    const double chartMs = w.wall(), chartCpu = processCpu() - cpuBefore;
    if (!waitFor([&] { return viewUpdated; })) return false;
    std::printf(
        "%s: chart painted %.0f ms after the call, %.0f ms of CPU in all threads (records read and sorted "
        "into series: %.0f ms; table and statistics: %.0f ms)\n",
        what, chartMs, chartCpu, readMs, w.wall());
    return true;
  };
  if (!showAndWait("first chart (new window)", [&] { window.showLogger("VLM12345"); }))
    return std::fprintf(stderr, "the records were not shown\n"), 1;
  std::printf("  (the window was created %.0f ms before that chart was painted)\n", created.wall());
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak resident memory so far: %.0f MB\n", usage.ru_maxrss / 1024.0);
  if (firstChartOnly) return 0;
  if (!showAndWait("chart read again (connection open)", [&] { window.historyChanged("VLM12345"); }))
    return std::fprintf(stderr, "the records were not shown again\n"), 1;
  if (!shots.isEmpty()) window.grab().save(shots + "/window-all.png");

  // A redraw is done once the replot it caused has run and the widget has painted it.
  const auto redraw = [&](Figures& figures, const std::function<void()>& step) {
    const int count = replots;
    Stopwatch w;
    step();
    while (replots == count) QCoreApplication::processEvents();
    plot->grab();
    figures.add(w);
  };
  const QPointF middle(plot->width() / 2.0, plot->height() / 2.0);
  const auto zoomAndPan = [&](const char* label) {
    Figures zoomIn, panDrag, panKey, zoomOut;
    for (int i = 0; i < 25; ++i)
      redraw(zoomIn, [&] {
        QWheelEvent wheel(middle, plot->mapToGlobal(middle), QPoint(), QPoint(0, 120), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(plot, &wheel);
      });
    QMouseEvent press(QEvent::MouseButtonPress, middle, plot->mapToGlobal(middle), Qt::MiddleButton,
                      Qt::MiddleButton, Qt::NoModifier);
    QCoreApplication::sendEvent(plot, &press);
    for (int i = 1; i <= 25; ++i)
      redraw(panDrag, [&] {
        const QPointF at = middle - QPointF(8.0 * i, 0);
        QMouseEvent move(QEvent::MouseMove, at, plot->mapToGlobal(at), Qt::NoButton, Qt::MiddleButton,
                         Qt::NoModifier);
        QCoreApplication::sendEvent(plot, &move);
      });
    QMouseEvent release(QEvent::MouseButtonRelease, middle, plot->mapToGlobal(middle), Qt::MiddleButton,
                        Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(plot, &release);
    for (int i = 0; i < 25; ++i)
      redraw(panKey, [&] {
        QKeyEvent key(QEvent::KeyPress, Qt::Key_Right, Qt::NoModifier);
        QCoreApplication::sendEvent(plot, &key);
      });
    for (int i = 0; i < 25; ++i)
      redraw(zoomOut, [&] {
        QWheelEvent wheel(middle, plot->mapToGlobal(middle), QPoint(), QPoint(0, -120), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(plot, &wheel);
      });
    std::printf("%s\n", label);
    report("zoom in (wheel)", zoomIn);
    report("pan (middle drag)", panDrag);
    report("pan (arrow key)", panKey);
    report("zoom out (wheel)", zoomOut);
  };
  zoomAndPan("without limits:");

  // Limits that the generated temperatures cross many times a day (the daily swing and the noise).
  history::Limits limits;
  limits.temperature.lower = 15;
  limits.temperature.upper = 22;
  limits.temperature.delay = 15 * 60;
  limits.humidity.upper = 62;
  limits.humidity.delay = 15 * 60;
  limits.humidity.rule = history::AlarmRule::cumulative;
  if (!store.setLimits("VLM12345", std::nullopt, limits, history::thisComputer(), error))
    return std::fprintf(stderr, "limits: %s\n", error.c_str()), 1;
  bool found = false;
  QObject::connect(&window, &MeasurementsWindow::excursionsUpdated, [&] { found = true; });
  Stopwatch excursionsTimer;
  window.limitsChanged();
  if (!waitFor([&] { return found && window.excursions()->rowCount() > 0; }))
    return std::fprintf(stderr, "no excursions found\n"), 1;
  std::printf("excursions of all records found and drawn: %.0f ms (%d excursions)\n", excursionsTimer.wall(),
              window.excursions()->rowCount());
  zoomAndPan("with limits (lines and shaded excursions):");
  if (!shots.isEmpty()) window.grab().save(shots + "/window-limits.png");

  viewUpdated = false;
  Stopwatch view;
  window.resetZoom();
  if (!waitFor([&] { return viewUpdated; })) return std::fprintf(stderr, "no statistics\n"), 1;
  std::printf(
      "table and statistics after a reset to the whole range: %.0f ms (%d ms of it the pause it waits)\n",
      view.wall(), 150);

  const QString out = shots.isEmpty() ? QString::fromStdString(dir) : shots;
  QString message;

  // The GUI thread's longest stall during an export of the whole range: a timer ticking every
  // millisecond on the GUI thread notes the largest gap between two of its ticks.
  {
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QElapsedTimer since;
    double worst = 0;
    QObject::connect(&tick, &QTimer::timeout, [&] {
      worst = std::max(worst, since.nsecsElapsed() / 1e6);
      since.restart();
    });
    const auto settle = [] {
      QElapsedTimer t;
      t.start();
      while (t.elapsed() < 50) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    };
    since.start();
    tick.start(1);
    settle();
    worst = 0;
    const double idle = [&] {
      settle();
      return worst;
    }();
    // The call that runs to its end on the calling thread (how every export ran before): the GUI
    // thread stalls for the whole call.
    Stopwatch sync;
    bool ok = window.exportCsv(out + "/sync.csv", message);
    const double syncWall = sync.wall(), syncCpu = sync.cpu();
    if (!ok) return std::fprintf(stderr, "%s\n", qPrintable(message)), 1;
    std::printf("CSV export on the GUI thread: GUI thread stalled %.0f ms (%.0f ms CPU); idle gap %.1f ms\n",
                syncWall, syncCpu, idle);
    settle();
    // The export the button starts: formed and written on a worker, with the progress dialog.
    bool finished = false;
    QObject::connect(&window, &MeasurementsWindow::exportFinished, [&](bool done, bool, const QString& text) {
      finished = true, ok = done, message = text;
    });
    worst = 0;
    since.restart();
    Stopwatch async;
    const double cpuBefore = processCpu();
    if (!window.startExport(MeasurementsWindow::Export::Csv, out + "/range.csv"))
      return std::fprintf(stderr, "the export did not start\n"), 1;
    if (!waitFor([&] { return finished; }) || !ok)
      return std::fprintf(stderr, "%s\n", qPrintable(message)), 1;
    const double asyncWall = async.wall(), asyncCpu = processCpu() - cpuBefore;
    settle();
    std::printf(
        "CSV export on a worker (%lld bytes): %.0f ms, %.0f ms of CPU in all threads; GUI thread's longest "
        "stall %.1f ms\n",
        static_cast<long long>(QFileInfo(out + "/range.csv").size()), asyncWall, asyncCpu, worst);
    const auto stallOf = [&](MeasurementsWindow::Export kind, const QString& path) {
      finished = false;
      worst = 0;
      since.restart();
      Stopwatch w;
      if (!window.startExport(kind, path) || !waitFor([&] { return finished; }) || !ok) return -1.0;
      std::printf("  %s on a worker: %.0f ms", qPrintable(QFileInfo(path).suffix()), w.wall());
      settle();
      std::printf(", GUI thread's longest stall %.1f ms\n", worst);
      return worst;
    };
    if (stallOf(MeasurementsWindow::Export::Png, out + "/async.png") < 0 ||
        stallOf(MeasurementsWindow::Export::Pdf, out + "/async.pdf") < 0)
      return std::fprintf(stderr, "%s\n", qPrintable(message)), 1;
  }

  Stopwatch exportTimer;
  if (!window.exportCsv(out + "/range.csv", message))
    return std::fprintf(stderr, "%s\n", qPrintable(message)), 1;
  std::printf("CSV export of the whole range: %.0f ms, %lld bytes\n", exportTimer.wall(),
              static_cast<long long>(QFileInfo(out + "/range.csv").size()));
  exportTimer.start();
  if (!window.exportPng(out + "/chart.png", message))
    return std::fprintf(stderr, "%s\n", qPrintable(message)), 1;
  std::printf("PNG export: %.0f ms\n", exportTimer.wall());
  exportTimer.start();
  if (!window.exportPdf(out + "/report.pdf", message))
    return std::fprintf(stderr, "%s\n", qPrintable(message)), 1;
  std::printf("PDF export: %.0f ms\n", exportTimer.wall());

  if (!shots.isEmpty()) {
    const auto [from, to] = window.range();
    window.setRange(from + (to - from) / 2, from + (to - from) / 2 + 2 * 86400);
    viewUpdated = false;
    waitFor([&] { return viewUpdated; });
    window.grab().save(shots + "/window-two-days.png");
    window.exportPdf(shots + "/report-two-days.pdf", message);
    // Dew point on, the pointer over the chart, the records listed.
    window.findChild<QCheckBox*>("dewPoint")->setChecked(true);
    window.findChild<QTabWidget*>()->setCurrentIndex(1);
    plot->replot();
    const QPointF over(plot->axisRect()->center().x() + 37, plot->axisRect()->center().y());
    QMouseEvent hover(QEvent::MouseMove, over, plot->mapToGlobal(over), Qt::NoButton, Qt::NoButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(plot, &hover);
    QCoreApplication::processEvents();
    window.grab().save(shots + "/window-dew-point-records.png");
    window.exportPng(shots + "/chart-dew-point.png", message);
  }
  return 0;
}
