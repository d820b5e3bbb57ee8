// The main window during a whole measurement download: 16384 records from a logger paced at the USB
// full-speed bulk rate, from the Download click to "Download finished" in the log, with the save
// dialog answered at once. Meanwhile a 1 ms timer measures the gaps between its ticks: the longest
// one is the longest time the GUI event loop was held (painting and layout included), shown with the
// CPU time the GUI thread had during it, which tells the program's own work from a busy machine.
// The program's in-process logger stands in for velmora-sim, so the figures hold no socket traffic.
// A run ends once the download is also in the history (a database in a temporary folder), which the
// window fills on a worker thread.
//
// With --with-measurements the measurements window shows the logger's history throughout, and reads
// it again after every import.
//
// usage: window_download_bench [--runs N] [--with-measurements]   (Qt platform from QT_QPA_PLATFORM)
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "MeasurementsWindow.h"
#include "StatusBar.h"
#include "Umain.h"
#include "data/RegionalFormat.h"
#include "link/USBInterface.h"
#include "platform/usbdrv/InProcessSource.h"
#include "sim/model/Velmora.h"

namespace {

constexpr uint32_t kRecords = 16384;
constexpr qint64 kBoundMs = 60000;  // a run that takes this long is broken, not slow

// Answers every file dialog with `path` as soon as it is shown, as a user who knows the name would.
class SaveAnswer : public QObject {
 public:
  explicit SaveAnswer(QString path) : path_(std::move(path)) {}
  std::function<void()> onShown;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show) {
      if (auto* dialog = qobject_cast<QFileDialog*>(watched)) {
        if (onShown) onShown();
        QTimer::singleShot(0, dialog, [dialog, path = path_] {
          dialog->selectFile(path);
          QMetaObject::invokeMethod(dialog, "accept");  // what the Save button does
        });
      }
    }
    return false;
  }

 private:
  QString path_;
};

struct RunResult {
  bool finished = false;
  qint64 dialogMs = -1;  // click to the save dialog (after "sortiert"): the transfer itself
  qint64 totalMs = -1;   // click to "Download finished" shown
  qint64 longestStallMs = 0;
  double longestStallCpuMs = 0;  // of it, time the GUI thread was on a CPU (the rest: waiting for one)
  double longestWorkMs = 0;      // the most CPU time the GUI thread spent between two ticks
  qint64 ticks = 0;
};

// CPU time of the calling thread: tells a stall of the program's own work from one where the machine
// simply gave the GUI thread no CPU.
double threadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

QString lastLine(QPlainTextEdit* log) {
  return log->document()->lastBlock().text();
}

// A logger debug line may follow the end line in the same batch: the last few lines are looked at.
bool endsWithFinished(QPlainTextEdit* log) {
  QTextBlock block = log->document()->lastBlock();
  for (int i = 0; i < 4 && block.isValid(); ++i, block = block.previous()) {
    if (block.text() == QLatin1String("Download finished")) return true;
  }
  return false;
}

RunResult downloadOnce(TfrmMain& window, QPlainTextEdit* log, QPushButton* download, SaveAnswer& answer) {
  RunResult result;
  QEventLoop loop;
  QElapsedTimer clock;
  answer.onShown = [&] { result.dialogMs = clock.elapsed(); };
  qint64 lastTick = 0;
  double lastCpu = 0;
  QTimer ticker;
  ticker.setTimerType(Qt::PreciseTimer);
  ticker.setInterval(1);
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    qint64 now = clock.elapsed();
    double cpu = threadCpuMs();
    if (now - lastTick > result.longestStallMs) {
      result.longestStallMs = now - lastTick;
      result.longestStallCpuMs = cpu - lastCpu;
    }
    result.longestWorkMs = std::max(result.longestWorkMs, cpu - lastCpu);
    lastTick = now;
    lastCpu = cpu;
    ++result.ticks;
    // The previous run's last line is the same text: only one after this run's save dialog counts.
    const QString status = window.status()->messageText();
    const bool inHistory =
        status.endsWith(QLatin1String(" in history")) || status.endsWith(QLatin1String("not updated"));
    if (result.dialogMs >= 0 && endsWithFinished(log) && inHistory) {
      result.finished = true;
      result.totalMs = now;
      loop.quit();
    } else if (now > kBoundMs) {
      loop.quit();
    }
  });
  QTimer::singleShot(0, &window, [&] {
    clock.start();
    lastTick = 0;
    lastCpu = threadCpuMs();
    ticker.start();
    download->click();
  });
  loop.exec();
  ticker.stop();
  answer.onShown = nullptr;
  return result;
}

}  // namespace

int main(int argc, char* argv[]) {
  int runs = 3;
  bool withMeasurements = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--with-measurements") == 0) {
      withMeasurements = true;
    } else {
      std::fprintf(stderr, "usage: %s [--runs N] [--with-measurements]\n", argv[0]);
      return 2;
    }
  }
  QApplication app(argc, argv);
  setExportFormat(RegionalFormat::german());

  velmora::Options options;
  options.records = kRecords;
  options.paced = true;
  usbdrv::AttachDevice(std::make_shared<velmora::VelmoraDevice>(options, "bench"));

  QTemporaryDir dir;
  const QString csvPath = dir.filePath(QStringLiteral("bench.csv"));
  SaveAnswer answer(csvPath);
  app.installEventFilter(&answer);

  TfrmMain window;
  window.setExitOnClose(false);
  window.setHistoryPath(QFile::encodeName(dir.filePath(QStringLiteral("history.sqlite"))).toStdString());
  window.show();
  auto* log = window.findChild<QPlainTextEdit*>(QStringLiteral("mmoDebug"));
  auto* download = window.findChild<QPushButton*>(QStringLiteral("btnDownload"));
  if (!window.usb || !window.usb->isConnected() || !log || !download) {
    std::fprintf(stderr, "window_download_bench: the in-process logger did not connect\n");
    return 1;
  }

  if (withMeasurements) {
    MeasurementsWindow* measurements = window.showMeasurements();
    if (!measurements) {
      std::fprintf(stderr, "window_download_bench: no measurements window\n");
      return 1;
    }
    measurements->showLogger(QStringLiteral("VLM12345"));
  }
  std::printf("window download, %u records, logger paced at full speed (%s platform%s)\n", kRecords,
              qPrintable(QGuiApplication::platformName()),
              withMeasurements ? ", measurements window open" : "");
  qint64 worstStall = 0, worstTotal = 0;
  for (int run = 1; run <= runs; ++run) {
    QFile::remove(csvPath);
    RunResult r = downloadOnce(window, log, download, answer);
    QFile csv(csvPath);
    qint64 lines = 0;
    if (csv.open(QIODevice::ReadOnly)) lines = csv.readAll().count("\r\n");
    if (!r.finished || lines != kRecords + 1) {
      std::fprintf(stderr, "run %d: no complete download (finished %d, %lld CSV lines); last log line: %s\n",
                   run, r.finished, static_cast<long long>(lines), qPrintable(lastLine(log)));
      return 1;
    }
    std::printf(
        "run %d: click to save dialog %lld ms, click to \"Download finished\" and the history %lld ms, "
        "longest event-loop stall %lld ms (GUI thread on CPU %.1f ms of it; %lld ticks), "
        "longest work between two ticks %.1f ms\n",
        run, static_cast<long long>(r.dialogMs), static_cast<long long>(r.totalMs),
        static_cast<long long>(r.longestStallMs), r.longestStallCpuMs, static_cast<long long>(r.ticks),
        r.longestWorkMs);
    worstStall = std::max(worstStall, r.longestStallMs);
    worstTotal = std::max(worstTotal, r.totalMs);
  }
  std::printf("worst of %d: whole download %lld ms (target < 2000), longest stall %lld ms (target < 50)\n",
              runs, static_cast<long long>(worstTotal), static_cast<long long>(worstStall));
  usbdrv::DetachAllDevices();
  return 0;
}
