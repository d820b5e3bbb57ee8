// Qt Charts against QCustomPlot on what the measurements window draws: 1,000,000 records of two
// sensors (humidity, temperature, ambient temperature each), reduced to minimum and maximum per pixel
// column, on a 1000 x 600 chart, offscreen. First draw: a new chart with its axes and data, painted
// (grab). Zoom redraw: the reduction for a new range, the data and axis replaced, painted again.
//   QT_QPA_PLATFORM=offscreen plot_library_bench
#include <qcustomplot.h>

#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QDateTimeAxis>
#include <QElapsedTimer>
#include <QLineSeries>
#include <QValueAxis>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include "ChartSeries.h"

namespace {

constexpr int kWidth = 1000, kHeight = 600, kColumns = 1000;
constexpr int kRecords = 1000000, kSensors = 2;
constexpr int64_t kStart = 1767225600;  // 2026-01-01, one record per sensor a minute

struct Data {
  std::vector<chart::Series> series;  // per sensor: humidity, temperature, ambient
  int64_t first, last;
};

Data generate() {
  Data data;
  const int perSensor = kRecords / kSensors;
  for (int s = 0; s < kSensors; ++s) {
    std::vector<int64_t> times(perSensor);
    std::vector<float> rh(perSensor), t(perSensor), ambient(perSensor);
    for (int i = 0; i < perSensor; ++i) {
      times[i] = kStart + int64_t{60} * i;
      const double day = std::sin(i * 2 * M_PI / 1440.0), year = std::sin(i * 2 * M_PI / 525600.0);
      t[i] = static_cast<float>(20 + 5 * year + 3 * day + s + ((int64_t{i} * 7919) % 101) / 100.0);
      rh[i] = static_cast<float>(50 - 10 * year - 8 * day + ((int64_t{i} * 104729) % 97) / 50.0);
      ambient[i] = static_cast<float>(t[i] + 1.5);
    }
    const int64_t gap = chart::gapThreshold(times);
    auto shared = std::make_shared<const std::vector<int64_t>>(std::move(times));
    data.series.emplace_back(shared, std::move(rh), gap);
    data.series.emplace_back(shared, std::move(t), gap);
    data.series.emplace_back(shared, std::move(ambient), gap);
  }
  data.first = kStart;
  data.last = kStart + int64_t{60} * (perSensor - 1);
  return data;
}

// The ranges of the zoom redraws: zooming in around the middle, then panning.
std::vector<std::pair<int64_t, int64_t>> zoomSteps(const Data& data) {
  std::vector<std::pair<int64_t, int64_t>> steps;
  double from = static_cast<double>(data.first), to = static_cast<double>(data.last);
  for (int i = 0; i < 25; ++i) {
    const double middle = (from + to) / 2, half = (to - from) / 2 * 0.8;
    from = middle - half, to = middle + half;
    steps.push_back({static_cast<int64_t>(from), static_cast<int64_t>(to)});
  }
  from = static_cast<double>(data.first), to = from + (data.last - data.first) / 4.0;
  for (int i = 0; i < 25; ++i) {
    const double shift = (to - from) / 10;
    from += shift, to += shift;
    steps.push_back({static_cast<int64_t>(from), static_cast<int64_t>(to)});
  }
  return steps;
}

// Wall-clock time, and the CPU time of this thread: on a busy machine the second shows the work
// itself (the painting runs on this thread).
class Stopwatch {
 public:
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

struct Figures {
  std::vector<double> first, zoom, firstCpu, zoomCpu;
  void addFirst(const Stopwatch& w) { first.push_back(w.wall()), firstCpu.push_back(w.cpu()); }
  void addZoom(const Stopwatch& w) { zoom.push_back(w.wall()), zoomCpu.push_back(w.cpu()); }
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double max(const std::vector<double>& v) {
  return *std::max_element(v.begin(), v.end());
}

void report(const char* name, const Figures& f) {
  std::printf("%-12s first draw  (%zu): wall median %6.1f max %6.1f ms, cpu median %6.1f max %6.1f ms\n",
              name, f.first.size(), median(f.first), max(f.first), median(f.firstCpu), max(f.firstCpu));
  std::printf("%-12s zoom redraw (%zu): wall median %6.1f max %6.1f ms, cpu median %6.1f max %6.1f ms\n",
              name, f.zoom.size(), median(f.zoom), max(f.zoom), median(f.zoomCpu), max(f.zoomCpu));
}

// ---- QCustomPlot
void qcpData(QCPGraph* graph, const chart::Series& series, int64_t from, int64_t to,
             std::vector<chart::Point>& points) {
  series.decimate(from, to, kColumns, points);
  QVector<QCPGraphData> data(static_cast<int>(points.size()));
  for (size_t i = 0; i < points.size(); ++i) data[static_cast<int>(i)] = {points[i].x, points[i].y};
  graph->data()->set(data, true);
}

Figures runQCustomPlot(const Data& data) {
  Figures f;
  std::vector<chart::Point> points;
  for (int round = 0; round < 5; ++round) {
    Stopwatch timer;
    timer.start();
    auto plot = std::make_unique<QCustomPlot>();
    plot->resize(kWidth, kHeight);
    plot->setAntialiasedElements(QCP::aePlottables);
    auto ticker = QSharedPointer<QCPAxisTickerDateTime>::create();
    ticker->setDateTimeSpec(Qt::UTC);
    ticker->setDateTimeFormat("dd.MM.yyyy\nHH:mm");
    plot->xAxis->setTicker(ticker);
    plot->yAxis->setLabel("Relative humidity (%RH)");
    plot->yAxis2->setVisible(true);
    plot->yAxis2->setLabel("Temperature (°C)");
    plot->legend->setVisible(true);
    for (size_t i = 0; i < data.series.size(); ++i) {
      QCPGraph* graph = plot->addGraph(plot->xAxis, i % 3 == 0 ? plot->yAxis : plot->yAxis2);
      graph->setPen(QPen(QColor::fromHsv(static_cast<int>(i) * 60, 200, 200)));
      graph->setName(QString("Series %1").arg(i));
      qcpData(graph, data.series[i], data.first, data.last, points);
    }
    plot->xAxis->setRange(static_cast<double>(data.first), static_cast<double>(data.last));
    plot->yAxis->setRange(0, 100);
    plot->yAxis2->setRange(0, 40);
    plot->show();
    plot->replot(QCustomPlot::rpQueuedRefresh);
    QCoreApplication::processEvents();
    const QPixmap shot = plot->grab();
    f.addFirst(timer);
    if (round > 0) continue;
    for (auto [from, to] : zoomSteps(data)) {
      timer.start();
      for (int i = 0; i < plot->graphCount(); ++i) qcpData(plot->graph(i), data.series[i], from, to, points);
      plot->xAxis->setRange(static_cast<double>(from), static_cast<double>(to));
      plot->replot(QCustomPlot::rpQueuedRefresh);
      QCoreApplication::processEvents();
      const QPixmap zoomed = plot->grab();
      f.addZoom(timer);
    }
  }
  return f;
}

// ---- Qt Charts
void chartsData(QLineSeries* line, const chart::Series& series, int64_t from, int64_t to,
                std::vector<chart::Point>& points) {
  series.decimate(from, to, kColumns, points);
  QList<QPointF> list;
  list.reserve(static_cast<qsizetype>(points.size()));
  for (const chart::Point& p : points) list.append({p.x * 1000, p.y});
  line->replace(list);
}

Figures runQtCharts(const Data& data) {
  Figures f;
  std::vector<chart::Point> points;
  for (int round = 0; round < 5; ++round) {
    Stopwatch timer;
    timer.start();
    auto* chartObject = new QChart;
    auto view = std::make_unique<QChartView>(chartObject);
    view->resize(kWidth, kHeight);
    view->setRenderHint(QPainter::Antialiasing);
    auto* x = new QDateTimeAxis;
    x->setFormat("dd.MM.yyyy<br>HH:mm");
    auto* humidity = new QValueAxis;
    humidity->setTitleText("Relative humidity (%RH)");
    humidity->setRange(0, 100);
    auto* temperature = new QValueAxis;
    temperature->setTitleText("Temperature (°C)");
    temperature->setRange(0, 40);
    chartObject->addAxis(x, Qt::AlignBottom);
    chartObject->addAxis(humidity, Qt::AlignLeft);
    chartObject->addAxis(temperature, Qt::AlignRight);
    std::vector<QLineSeries*> lines;
    for (size_t i = 0; i < data.series.size(); ++i) {
      auto* line = new QLineSeries;
      line->setName(QString("Series %1").arg(i));
      line->setPen(QPen(QColor::fromHsv(static_cast<int>(i) * 60, 200, 200)));
      chartsData(line, data.series[i], data.first, data.last, points);
      chartObject->addSeries(line);
      line->attachAxis(x);
      line->attachAxis(i % 3 == 0 ? humidity : temperature);
      lines.push_back(line);
    }
    x->setRange(QDateTime::fromSecsSinceEpoch(data.first, QTimeZone::utc()),
                QDateTime::fromSecsSinceEpoch(data.last, QTimeZone::utc()));
    view->show();
    QCoreApplication::processEvents();
    const QPixmap shot = view->grab();
    f.addFirst(timer);
    if (round > 0) continue;
    for (auto [from, to] : zoomSteps(data)) {
      timer.start();
      for (size_t i = 0; i < lines.size(); ++i) chartsData(lines[i], data.series[i], from, to, points);
      x->setRange(QDateTime::fromSecsSinceEpoch(from, QTimeZone::utc()),
                  QDateTime::fromSecsSinceEpoch(to, QTimeZone::utc()));
      QCoreApplication::processEvents();
      const QPixmap zoomed = view->grab();
      f.addZoom(timer);
    }
  }
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  Stopwatch timer;
  timer.start();
  const Data data = generate();
  std::printf("%d records of %d sensors prepared in %.0f ms; %d columns, %dx%d px\n", kRecords, kSensors,
              timer.wall(), kColumns, kWidth, kHeight);
  std::vector<chart::Point> points;
  timer.start();
  for (const chart::Series& s : data.series) s.decimate(data.first, data.last, kColumns, points);
  std::printf("reduction of the whole range, all %zu series: %.2f ms (%zu points each)\n", data.series.size(),
              timer.wall(), points.size());
  std::vector<double> reductions;
  for (auto [from, to] : zoomSteps(data)) {
    timer.start();
    for (const chart::Series& s : data.series) s.decimate(from, to, kColumns, points);
    reductions.push_back(timer.cpu());
  }
  std::printf("reduction alone, per zoom step (cpu): median %.2f ms, max %.2f ms\n", median(reductions),
              *std::max_element(reductions.begin(), reductions.end()));
  // Alternating, so that neither library always runs on a warmer cache.
  Figures charts = runQtCharts(data), custom = runQCustomPlot(data);
  report("Qt Charts", charts);
  report("QCustomPlot", custom);
  return 0;
}
