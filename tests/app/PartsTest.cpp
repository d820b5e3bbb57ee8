// The window's building blocks: the Windows-1252 boundary, the locale's regional formats, and the
// queue that carries worker calls onto the GUI thread.
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "CodePage.h"
#include "DisplayFormat.h"
#include "GuiQueue.h"
#include "JobThread.h"
#include "LogFile.h"
#include "data/LocaleFormat.h"

class PartsTest : public QObject {
  Q_OBJECT
 private slots:
  void codePageBothWays();
  void strftimePatterns_data();
  void strftimePatterns();
  void regionalFormats();
  void qtDisplayFormats();
  void queueKeepsCallOrderAcrossThreads();
  void floodingWorkerWaitsForRoom();
  void askOnGuiThreadRunsAfterQueuedEffects();
  void closingReleasesBlockedWorkers();
  void busyWorkerDoesNotHoldTheEventLoop();
  void backlogReachesTheWindowInSlices();
  void logFileIsTheUsersOwn();
  void logFileIsBounded();
  void waitedForJobKeepsItsTurn();
};

void PartsTest::codePageBothWays() {
  // 0x80 to 0x9F are not Latin-1 control codes: the euro sign, quotes, S with caron ...
  std::string bytes = "Ger\xE4t \x80 \x84\x93 \x8A \x9F";
  QCOMPARE(cp1252::toQString(bytes), QString::fromUtf8("Gerät € „“ Š Ÿ"));
  QCOMPARE(cp1252::fromQString(cp1252::toQString(bytes)), bytes);
  // Every byte survives the round trip, the five unassigned ones included.
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  QCOMPARE(cp1252::fromQString(cp1252::toQString(all)), all);
  QCOMPARE(cp1252::toQString(all).size(), qsizetype(255));
  // Characters without a byte become one '?' each, also outside the BMP.
  QCOMPARE(cp1252::fromQString(QString::fromUtf8("a€日😀b")), std::string("a\x80??b"));
}

void PartsTest::strftimePatterns_data() {
  QTest::addColumn<QString>("strftime");
  QTest::addColumn<QString>("ampm");
  QTest::addColumn<QString>("windows");
  QTest::newRow("german date") << "%d.%m.%Y"
                               << ""
                               << "dd.MM.yyyy";
  QTest::newRow("24-hour time") << "%H:%M:%S"
                                << ""
                                << "HH:mm:ss";
  QTest::newRow("US date") << "%m/%d/%Y"
                           << ""
                           << "MM/dd/yyyy";
  QTest::newRow("12-hour time") << "%I:%M:%S %p"
                                << ""
                                << "hh:mm:ss tt";
  QTest::newRow("%r from the locale") << "%r"
                                      << "%l:%M:%S %p"
                                      << "h:mm:ss tt";
  QTest::newRow("%D") << "%D"
                      << ""
                      << "MM/dd/yy";
  QTest::newRow("blank-padded day") << "%e.%m.%y"
                                    << ""
                                    << "d.MM.yy";
  QTest::newRow("glibc no-padding flag") << "%-d/%-m/%Y %-H"
                                         << ""
                                         << "d/M/yyyy H";
  QTest::newRow("E and O modifiers") << "%Ey %OH"
                                     << ""
                                     << "yy HH";
  QTest::newRow("literal letters quoted") << "%Hh%M"
                                          << ""
                                          << "HH'h'mm";
  QTest::newRow("CJK literal text") << QString::fromUtf8("%Y年%m月%d日") << ""
                                    << QString::fromUtf8("yyyy'年'MM'月'dd'日'");
  QTest::newRow("names left out") << "%a %d %b %Y"
                                  << ""
                                  << "dd MM yyyy";
}

void PartsTest::strftimePatterns() {
  QFETCH(QString, strftime);
  QFETCH(QString, ampm);
  QFETCH(QString, windows);
  const std::string pattern = ampm.isEmpty()
                                  ? posixlocale::windowsPattern(strftime.toStdString())
                                  : posixlocale::windowsPattern(strftime.toStdString(), ampm.toStdString());
  QCOMPARE(QString::fromStdString(pattern), windows);
}

void PartsTest::regionalFormats() {
  posixlocale::Locale de{"%d.%m.%Y", "%T", "", "", "", ","};
  RegionalFormat german = posixlocale::regionalFormat(de);
  QCOMPARE(german.shortDate, std::string("dd.MM.yyyy"));
  QCOMPARE(german.longTime, std::string("HH:mm:ss"));
  QCOMPARE(german.decimalSeparator, ',');

  posixlocale::Locale us{"%m/%d/%Y", "%r", "%I:%M:%S %p", "AM", "PM", "."};
  RegionalFormat english = posixlocale::regionalFormat(us);
  QCOMPARE(english.shortDate, std::string("MM/dd/yyyy"));
  QCOMPARE(english.longTime, std::string("hh:mm:ss tt"));
  QCOMPARE(english.decimalSeparator, '.');
  QCOMPARE(english.amDesignator, std::string("AM"));
  QCOMPARE(english.pmDesignator, std::string("PM"));

  // Nothing usable from the locale: the C locale's patterns; a separator that is no single byte of
  // the CSV file's character set falls back to the point.
  posixlocale::Locale odd{"", "", "", "ص", "م", "٫"};
  RegionalFormat fallback = posixlocale::regionalFormat(odd);
  QCOMPARE(fallback.shortDate, std::string("MM/dd/yy"));
  QCOMPARE(fallback.longTime, std::string("HH:mm:ss"));
  QCOMPARE(fallback.decimalSeparator, '.');
  QCOMPARE(fallback.amDesignator, std::string("?"));

  // Windows-1252 text in the patterns: the French Canadian hour letter stays quoted, "é" one byte.
  posixlocale::Locale fr{"%Y-%m-%d", "%H h %M é", "", "", "", ","};
  QCOMPARE(posixlocale::regionalFormat(fr).longTime, std::string("HH' h 'mm' \xE9'"));
}

void PartsTest::qtDisplayFormats() {
  QCOMPARE(localeformat::qtDisplayFormat("hh:mm:ss tt"), QString("hh:mm:ss AP"));
  QCOMPARE(localeformat::qtDisplayFormat("HH'ht'mm"), QString("HH'ht'mm"));
  QCOMPARE(localeformat::qtDisplayFormat("dd.MM.yyyy"), QString("dd.MM.yyyy"));
}

namespace {

// Waits without running the event loop (which would drain the queue).
template <typename Condition>
bool waitFor(Condition condition, std::chrono::seconds bound = std::chrono::seconds(60)) {
  auto deadline = std::chrono::steady_clock::now() + bound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

}  // namespace

void PartsTest::queueKeepsCallOrderAcrossThreads() {
  GuiQueue queue;
  std::vector<std::pair<int, int>> seen;  // GUI thread only
  int flushes = 0;
  queue.setFlush([&] { ++flushes; });
  constexpr int kThreads = 4;
  constexpr int kCalls = 3000;
  std::atomic<int> done{0};
  std::vector<std::thread> workers;
  std::atomic<bool> wrongThread{false};
  std::atomic<bool> askSawLess{false};
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        if (i % 500 == 499) {
          // A request that answers must see every effect this thread queued before it.
          int last = queue.ask<int>(
              [&, t] {
                if (!queue.onGuiThread()) wrongThread = true;
                int found = -1;
                for (auto& [thread, call] : seen)
                  if (thread == t) found = call;
                return found;
              },
              -2);
          if (last != i - 1) askSawLess = true;
          continue;
        }
        queue.post([&, t, i] {
          if (!queue.onGuiThread()) wrongThread = true;
          seen.emplace_back(t, i);
        });
      }
      ++done;
    });
  }
  QTRY_VERIFY_WITH_TIMEOUT(done == kThreads && queue.pending() == 0, 60000);
  for (auto& w : workers) w.join();
  QCoreApplication::processEvents();
  QVERIFY(!wrongThread);
  QVERIFY(!askSawLess);
  QCOMPARE(seen.size(), size_t(kThreads * (kCalls - kCalls / 500)));
  std::vector<int> next(kThreads, 0);
  for (auto& [t, i] : seen) {
    if (next[t] % 500 == 499) ++next[t];
    QCOMPARE(i, next[t]);
    ++next[t];
  }
  QVERIFY(flushes > 0);
}

// A worker that posts faster than the GUI thread drains waits for room: the queue stays bounded, and
// every effect still runs, in order. Closing the queue releases a waiting worker.
void PartsTest::floodingWorkerWaitsForRoom() {
  constexpr size_t kLimit = 100;
  constexpr int kEffects = 20000;
  const auto patience = std::chrono::seconds(60);
  GuiQueue queue;
  std::vector<int> seen;
  std::atomic<size_t> most{0};
  std::atomic<bool> done{false};
  std::thread worker([&] {
    for (int i = 0; i < kEffects; ++i) {
      queue.waitForRoom(kLimit, patience);
      queue.post([&seen, i] { seen.push_back(i); });
      most = std::max(most.load(), queue.pending());
    }
    done = true;
  });
  QTRY_VERIFY_WITH_TIMEOUT(done && queue.pending() == 0, 60000);
  worker.join();
  QVERIFY2(most <= kLimit + 1, qPrintable(QString::number(most)));
  QCOMPARE(seen.size(), size_t(kEffects));
  for (int i = 0; i < kEffects; ++i) QCOMPARE(seen[i], i);

  std::thread blocked([&] {
    for (size_t i = 0; i < 2 * kLimit; ++i) {
      queue.waitForRoom(kLimit, patience);
      queue.post([] {});
    }
  });
  QVERIFY(waitFor([&] { return queue.pending() == kLimit + 1; }));
  queue.close();
  blocked.join();  // released long before its patience ends
}

void PartsTest::askOnGuiThreadRunsAfterQueuedEffects() {
  GuiQueue queue;
  std::vector<int> order;
  std::thread worker([&] { queue.post([&] { order.push_back(1); }); });
  worker.join();
  // On the GUI thread the request runs at once, but only after what was queued before it.
  int answer = queue.ask<int>(
      [&] {
        order.push_back(2);
        return 42;
      },
      0);
  QCOMPARE(answer, 42);
  QCOMPARE(order, (std::vector<int>{1, 2}));
}

void PartsTest::closingReleasesBlockedWorkers() {
  auto queue = std::make_unique<GuiQueue>();
  std::atomic<int> answer{-1};
  std::atomic<bool> ran{false};
  std::thread worker([&] {
    answer = queue->ask<int>(
        [&] {
          ran = true;
          return 7;
        },
        99);
  });
  // The GUI thread does not drain here; the worker waits until the queue is closed.
  QVERIFY(waitFor([&] { return queue->pending() == 1; }));
  queue->close();
  worker.join();
  QCOMPARE(answer.load(), 99);
  QVERIFY(!ran);
  // After closing nothing is queued or run, and a request returns its fallback at once.
  std::thread late([&] {
    queue->post([&] { ran = true; });
    answer = queue->ask<int>([] { return 7; }, 98);
  });
  late.join();
  QCOMPARE(answer.load(), 98);
  QCOMPARE(queue->pending(), size_t(0));
  QCoreApplication::processEvents();
  QVERIFY(!ran);
}

void PartsTest::busyWorkerDoesNotHoldTheEventLoop() {
  // Effects that keep queueing further effects must not keep one drain going forever: the event
  // loop gets its turn between drains.
  GuiQueue queue;
  long runs = 0;
  std::function<void()> again = [&] {
    ++runs;
    queue.post(again);
  };
  queue.post(again);
  QCoreApplication::processEvents();
  QVERIFY(runs >= 1);
  QVERIFY(runs < 1000);
  queue.close();
}

void PartsTest::backlogReachesTheWindowInSlices() {
  // A download's thousands of log lines queued at once: one turn of the event loop runs only a slice
  // of them, so painting and input get their turns; all of them run in the end, in order.
  GuiQueue queue;
  std::vector<int> seen;
  int flushes = 0;
  queue.setFlush([&] { ++flushes; });
  constexpr int kEffects = 5000;
  std::thread worker([&] {
    for (int i = 0; i < kEffects; ++i) queue.post([&seen, i] { seen.push_back(i); });
  });
  worker.join();
  QCoreApplication::processEvents();
  QVERIFY(!seen.empty());
  QVERIFY2(seen.size() < size_t(kEffects), "one turn ran the whole backlog");
  QTRY_COMPARE_WITH_TIMEOUT(seen.size(), size_t(kEffects), 20000);
  for (int i = 0; i < kEffects; ++i) QCOMPARE(seen[i], i);
  QVERIFY(flushes >= 2);

  // A request on the GUI thread still comes after the whole backlog, however long it is.
  seen.clear();
  std::thread again([&] {
    for (int i = 0; i < kEffects; ++i) queue.post([&seen, i] { seen.push_back(i); });
  });
  again.join();
  size_t before = queue.ask<size_t>([&] { return seen.size(); }, 0);
  QCOMPARE(before, size_t(kEffects));
}

namespace {
QByteArray contents(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}
}  // namespace

// $TARNWICK_LOG_FILE: no link is followed, no pipe blocks, another user's file is not written to,
// and a new file is the user's alone.
void PartsTest::logFileIsTheUsersOwn() {
  QTemporaryDir dir;
  const std::string base = dir.path().toStdString() + "/";
  QFile target(dir.filePath("target"));
  QVERIFY(target.open(QIODevice::WriteOnly));
  target.close();
  QVERIFY(QFile::link(dir.filePath("target"), dir.filePath("link")));
  QVERIFY(mkfifo((base + "pipe").c_str(), 0600) == 0);
  std::string why;
  QVERIFY(!LogFile().open(base + "link", why));
  QCOMPARE(QString::fromStdString(why), QString("it is a symbolic link"));
  QVERIFY(!LogFile().open(base + "pipe", why));  // no reader: refused at once instead of waiting
  if (geteuid() == 0) {
    QVERIFY(chown(target.fileName().toLocal8Bit().constData(), 65534, 65534) == 0);
    QVERIFY(!LogFile().open(target.fileName().toStdString(), why));
    QCOMPARE(QString::fromStdString(why), QString("it belongs to another user"));
  }
  QCOMPARE(contents(dir.filePath("target")), QByteArray());

  const mode_t before = umask(022);
  {
    LogFile log;
    QVERIFY(log.open(base + "new.log", why));
    log.append("line\n", 5);
  }
  umask(before);
  struct stat st;
  QVERIFY(stat((base + "new.log").c_str(), &st) == 0);
  QCOMPARE(st.st_mode & 0777, mode_t(0600));
  QCOMPARE(contents(dir.filePath("new.log")), QByteArray("line\n"));
}

// Past its limit the file becomes "<name>.1", replacing the one before; the new one starts empty.
void PartsTest::logFileIsBounded() {
  QTemporaryDir dir;
  const QString path = dir.filePath("tarnwick.log");
  std::string why;
  LogFile log(100);
  QVERIFY(log.open(path.toStdString(), why));
  const QByteArray line(38, 'a');
  for (int i = 0; i < 7; ++i) {
    const QByteArray text = line + QByteArray::number(i) + "\n";
    log.append(text.constData(), static_cast<size_t>(text.size()));
  }
  // Lines 0 and 1 (80 bytes), then 2 and 3, then 4 and 5 in their place, then 6.
  QCOMPARE(contents(path + ".1"), line + "4\n" + line + "5\n");
  QCOMPARE(contents(path), line + "6\n");
  QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), qsizetype(2));
}

// Two jobs of one history connection: waiting for the second while the first runs must not run the
// second on the waiting thread beside the first.
void PartsTest::waitedForJobKeepsItsTurn() {
  JobThread jobs;
  std::atomic<bool> waiting{false}, secondStarted{false}, overlapped{false};
  std::atomic<int> running{0};
  std::thread::id firstOn, secondOn;  // read once both have finished
  QFuture<void> first = jobs.run([&] {
    firstOn = std::this_thread::get_id();
    ++running;
    for (QDeadlineTimer bound(10000); !waiting && !bound.hasExpired();)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // The second job's chance to overtake this one, were waiting to start it.
    for (QDeadlineTimer chance(300); !secondStarted && !chance.hasExpired();)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    --running;
  });
  QFuture<int> second = jobs.run([&] {
    secondStarted = true;
    secondOn = std::this_thread::get_id();
    if (running != 0) overlapped = true;
    return 7;
  });
  QTRY_VERIFY_WITH_TIMEOUT(running == 1, 10000);
  waiting = true;
  second.waitForFinished();
  first.waitForFinished();
  QVERIFY(!overlapped);
  QCOMPARE(secondOn, firstOn);
  QCOMPARE(second.result(), 7);
}

QTEST_GUILESS_MAIN(PartsTest)
#include "PartsTest.moc"
