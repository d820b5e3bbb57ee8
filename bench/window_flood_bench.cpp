// The main window under a flood of debug lines from a hostile logger: 5000 lines a second for 10 s,
// then on until the log holds 100,000 lines. Meanwhile a 1 ms timer measures the gaps between its
// ticks: the longest is the longest time the GUI event loop was held. At the end it reports the
// memory the process holds (resident set) with the newest lines in the window.
// Last, with the flood stopped, it hides the protocol lines and shows them again, and reports how long
// the pane took to be rebuilt from the kept lines and the longest stall meanwhile.
//
// With --flood-seconds N it instead floods for N seconds (at --rate, e.g. 200000) and reports the
// peak of the resident memory, sampled every 250 ms, and what the pane holds at the end.
//
// usage: window_flood_bench [--rate N] [--seconds N] [--lines N]
//        window_flood_bench --rate 200000 --flood-seconds 300
//        (Qt platform from QT_QPA_PLATFORM, e.g. offscreen, or xcb under Xvfb)
#include <time.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "LogPane.h"
#include "Umain.h"
#include "data/RegionalFormat.h"
#include "platform/usbdrv/InProcessSource.h"
#include "sim/model/Velmora.h"

namespace {

// CPU time of the calling thread: on a machine shared with other work, the part of a stall that the
// GUI thread spent working, not waiting for a core.
qint64 threadCpuNs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<qint64>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

long residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

// Runs the event loop for `ms`, or until `done` holds (checked every 50 ms).
void runFor(qint64 ms, const std::function<bool()>& done = nullptr) {
  QEventLoop loop;
  QTimer stop;
  stop.setSingleShot(true);
  QObject::connect(&stop, &QTimer::timeout, &loop, &QEventLoop::quit);
  stop.start(static_cast<int>(ms));
  QTimer check;
  if (done) {
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
      if (done()) loop.quit();
    });
    check.start(50);
  }
  loop.exec();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  unsigned rate = 5000, seconds = 10, wanted = 100000, floodSeconds = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    const unsigned v = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
    if (a == "--rate") rate = v;
    if (a == "--seconds") seconds = v;
    if (a == "--lines") wanted = v;
    if (a == "--flood-seconds") floodSeconds = v;
  }
  setExportFormat(RegionalFormat::german());

  // The logger is there before the window: the window connects to it while it is created, and the
  // flood starts with the configuration.
  velmora::Options options;
  options.records = 10;
  options.hostile.debugLinesPerSecond = rate;
  auto logger = std::make_shared<velmora::VelmoraDevice>(options, "flood-bench");
  usbdrv::AttachDevice(logger);
  const long rssBefore = residentKiB();

  auto window = std::make_unique<TfrmMain>();
  window->setExitOnClose(false);
  window->show();
  auto* log = window->findChild<QPlainTextEdit*>(QStringLiteral("mmoDebug"));
  if (log == nullptr || !window->usb) {
    std::fprintf(stderr, "window_flood_bench: no log pane\n");
    return 1;
  }
  auto floodLines = [&] {
    // Lines of the log that came from the debug pipe.
    int n = 0;
    for (QTextBlock b = log->document()->begin(); b.isValid(); b = b.next())
      n += b.text().startsWith(QLatin1String("DBG>>>flood "));
    return n;
  };

  // The window's first layout and paint are not part of the flood's cost.
  runFor(500);
  if (floodSeconds > 0) {
    long peak = residentKiB();
    QElapsedTimer watch;
    watch.start();
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout, [&] {
      const long rss = residentKiB();
      if (rss > peak) peak = rss;
      if (watch.elapsed() / 1000 % 30 == 0 && watch.elapsed() % 1000 < 250)
        std::printf("  %3lld s: resident %ld KiB, peak %ld KiB\n",
                    static_cast<long long>(watch.elapsed() / 1000), rss, peak);
      std::fflush(stdout);
    });
    sample.start(250);
    runFor(static_cast<qint64>(floodSeconds) * 1000);
    sample.stop();
    const LogPane* pane = window->logPane();
    std::printf("window_flood_bench: platform %s, %u debug lines/s for %u s\n",
                qPrintable(QGuiApplication::platformName()), rate, floodSeconds);
    std::printf("  lines into the log: %zu (%.0f per second), %llu dropped by the logger's FIFO\n",
                pane->lineCount() + pane->droppedLines(),
                (pane->lineCount() + pane->droppedLines()) / static_cast<double>(floodSeconds),
                static_cast<unsigned long long>(logger->DroppedDebugLines()));
    std::printf(
        "  kept %zu lines, pane %d lines; resident memory: %ld KiB before the window, peak %ld KiB, "
        "%ld KiB at the end\n",
        pane->lineCount(), log->document()->blockCount(), rssBefore, peak, residentKiB());
    window.reset();
    return 0;
  }
  QElapsedTimer clock;
  clock.start();
  qint64 last = clock.nsecsElapsed(), longest = 0, lastCpu = threadCpuNs(), longestCpu = 0;
  std::vector<qint64> gaps;
  QTimer tick;
  tick.setTimerType(Qt::PreciseTimer);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    const qint64 now = clock.nsecsElapsed(), cpu = threadCpuNs();
    gaps.push_back(now - last);
    longest = std::max(longest, now - last);
    longestCpu = std::max(longestCpu, cpu - lastCpu);
    last = now;
    lastCpu = cpu;
  });
  const int blocksAtStart = log->document()->blockCount();
  tick.start(1);
  runFor(static_cast<qint64>(seconds) * 1000);
  tick.stop();
  const int blocksAfterFlood = log->document()->blockCount();
  const uint64_t dropped = logger->DroppedDebugLines();
  std::sort(gaps.begin(), gaps.end());
  const double p99 = gaps.empty() ? 0 : gaps[gaps.size() * 99 / 100] / 1e6;
  const auto over = [&](double ms) {
    return gaps.end() - std::upper_bound(gaps.begin(), gaps.end(), static_cast<qint64>(ms * 1e6));
  };

  // On to the wanted number of lines, then the memory held with all of them in the log.
  const int target = static_cast<int>(wanted);
  runFor(600000, [&] { return log->document()->blockCount() >= target; });
  runFor(200);  // let the last batch be laid out
  const int blocks = log->document()->blockCount();
  const long rssAfter = residentKiB();
  const QString first = log->document()->findBlockByNumber(0).text();
  const int flood = floodLines();

  std::printf("window_flood_bench: platform %s, %u debug lines/s for %u s\n",
              qPrintable(QGuiApplication::platformName()), rate, seconds);
  std::printf(
      "  lines into the log during the flood: %d (%.0f per second), %llu dropped by the logger's FIFO\n",
      blocksAfterFlood - blocksAtStart, (blocksAfterFlood - blocksAtStart) / static_cast<double>(seconds),
      static_cast<unsigned long long>(dropped));
  std::printf(
      "  event loop: longest stall %.1f ms (of which the GUI thread worked %.1f ms at most in one stall),"
      " 99th percentile gap %.1f ms, %zu ticks, %ld gaps over 50 ms, %ld over 100 ms\n",
      longest / 1e6, longestCpu / 1e6, p99, gaps.size(), static_cast<long>(over(50)),
      static_cast<long>(over(100)));
  std::printf("  log: %d lines in the pane (%d flood lines), %zu kept, %zu dropped, first line \"%s\"\n",
              blocks, flood, window->logPane()->lineCount(), window->logPane()->droppedLines(),
              qPrintable(first.left(60)));
  std::printf("  resident memory: %ld KiB before the window, %ld KiB with %d log lines\n", rssBefore,
              rssAfter, blocks);

  // The filter: the whole pane rebuilt from the kept lines, twice.
  usbdrv::DetachAllDevices();
  runFor(300);
  auto* hideProtocol = window->findChild<QAction*>(QStringLiteral("actHideProtocol"));
  const int kept = static_cast<int>(window->logPane()->lineCount());
  auto rebuild = [&](bool hide, const std::function<bool()>& done) {
    QElapsedTimer watch;
    watch.start();
    qint64 previous = 0, worst = 0;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, [&] {
      worst = std::max(worst, watch.nsecsElapsed() - previous);
      previous = watch.nsecsElapsed();
    });
    probe.start(1);
    previous = watch.nsecsElapsed();
    if (hideProtocol) hideProtocol->setChecked(hide);
    runFor(60000, done);
    std::printf("  %s the protocol lines: pane rebuilt in %lld ms, longest stall %.1f ms\n",
                hide ? "hiding" : "showing again", static_cast<long long>(watch.elapsed()), worst / 1e6);
  };
  rebuild(true, [&] { return log->document()->blockCount() < 100; });
  rebuild(false, [&] { return log->document()->blockCount() >= kept; });

  const bool ok = blocks >= target && flood > 0 && hideProtocol != nullptr;
  window.reset();
  return ok ? 0 : 1;
}
