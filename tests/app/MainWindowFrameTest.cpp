// The main window's frame: the client area between the menu bar and the status bar, the status bar's
// words for each operation and failure, the log's filters, and the history of every download.
#include <QAction>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QToolButton>
#include <QtTest>
#include <atomic>
#include <memory>
#include <thread>

#include "LimitsDialog.h"
#include "LogFile.h"
#include "LogPane.h"
#include "LoggersWindow.h"
#include "MeasurementsWindow.h"
#include "StatusBar.h"
#include "Umain.h"
#include "WindowDrivers.h"
#include "data/Messwert.h"
#include "data/RegionalFormat.h"
#include "history/History.h"
#include "link/Firmware.h"
#include "link/USBInterface.h"
#include "platform/usbdrv/InProcessSource.h"
#include "sim/model/Velmora.h"
#include "tests/common/LoggerEndpoints.h"

namespace {

constexpr int kWait = 60000;

// What a label or tool tip shows of its text: rich text is rendered, markup and all.
QString shownText(const QString& text, Qt::TextFormat format = Qt::AutoText) {
  if (format == Qt::PlainText || (format == Qt::AutoText && !Qt::mightBeRichText(text))) return text;
  QTextDocument document;
  document.setHtml(text);
  return document.toPlainText();
}

std::shared_ptr<velmora::VelmoraDevice> attach(velmora::Options options = {}) {
  auto device = std::make_shared<velmora::VelmoraDevice>(options, "frame");
  usbdrv::AttachDevice(device);
  return device;
}

}  // namespace

class MainWindowFrameTest : public QObject {
  Q_OBJECT
 private:
  QTemporaryDir config;  // the recent files of this program alone
  std::unique_ptr<QTemporaryDir> dir;
  std::unique_ptr<TfrmMain> window;

  void open() {
    window = std::make_unique<TfrmMain>();
    window->setExitOnClose(false);
    window->setHistoryPath(QFile::encodeName(dir->filePath("history/measurements.sqlite")).toStdString());
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
  }
  template <typename W>
  W* control(const char* name) {
    W* widget = window->findChild<W*>(QString::fromLatin1(name));
    if (!widget) qFatal("no control %s", name);
    return widget;
  }
  QStringList log() { return control<QPlainTextEdit>("mmoDebug")->toPlainText().split(QLatin1Char('\n')); }
  QString message() { return window->status()->messageText(); }
  QString connection() { return window->status()->connectionText(); }
  void connectLogger() { QTRY_VERIFY_WITH_TIMEOUT(window->usb->isConnected(), kWait); }
  // Downloads through the save dialog into `file` (or cancels it when `file` is empty).
  void download(const QString& file) {
    DialogDriver<QFileDialog> save([&](QFileDialog* dialog) {
      if (file.isEmpty()) {
        cancelFile(dialog);
      } else {
        chooseFile(dialog, file);
      }
    });
    const int finished = static_cast<int>(log().count("Download finished"));
    QTest::mouseClick(control<QPushButton>("btnDownload"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(save.handled, 1, kWait);
    if (!file.isEmpty()) QTRY_COMPARE_WITH_TIMEOUT(log().count("Download finished"), finished + 1, kWait);
  }

 private slots:
  void initTestCase() { qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path())); }
  void init() {
    usbdrv::DetachAllDevices();
    dir = std::make_unique<QTemporaryDir>();
    setExportFormat(RegionalFormat::german());  // one the history's reader takes
  }
  void cleanup() {
    window.reset();
    usbdrv::DetachAllDevices();
    qunsetenv("TARNWICK_LOG_FILE");
    firmware::setCheckPauseMs(firmware::kCheckPauseMs);
  }

  void clientAreaBetweenMenuAndStatusBar();
  void operationTexts_data();
  void operationTexts();
  void firmwareUpdateUntilTheRestart();
  void firmwareUpdateGuardsUndownloadedRecords_data();
  void firmwareUpdateGuardsUndownloadedRecords();
  void skippedRecordsAreCounted();
  void progressIsCoalesced();
  void filtersHideAndShowAgain();
  void downloadsGoIntoTheHistory();
  void historyFailureLeavesTheDownloadDone();
  void limitsBeforeTheFirstDownload();
  void openMeasurementsFile();
  void loggersViewOpensALoggersMeasurements();
  void outsideTextIsShownAsItIs();
  void logKeepsTheNewestLines();
  void logTakesNoTypedText();
};

void MainWindowFrameTest::clientAreaBetweenMenuAndStatusBar() {
  open();
  QWidget* client = window->clientArea();
  auto* menu = control<QMenuBar>("menuBar");
  QCOMPARE(client->size(), QSize(632, 455));
  QCOMPARE(client->y(), menu->geometry().bottom() + 1);
  QCOMPARE(window->status()->y(), client->geometry().bottom() + 1);
  QCOMPARE(window->height(), menu->height() + 455 + window->status()->height());
  // The controls where the layout puts them, in the client area's coordinates.
  QCOMPARE(control<QPushButton>("btnDownload")->geometry(), QRect(8, 16, 113, 65));
  QCOMPARE(control<QPushButton>("btnUpdate")->geometry(), QRect(136, 16, 121, 65));
  QCOMPARE(control<QWidget>("gbxSERDateTime")->geometry(), QRect(264, 8, 361, 73));
  QCOMPARE(control<QPlainTextEdit>("mmoDebug")->geometry(), QRect(8, 96, 617, 353));
  QCOMPARE(control<QPlainTextEdit>("mmoDebug")->parentWidget(), client);
  QTRY_COMPARE_WITH_TIMEOUT(message(), QString("No logger found"), kWait);
  QCOMPARE(connection(), QString("Not connected"));

  // Logger > Service Console shows the console and hides it again; the status bar stays below.
  auto* console = control<QAction>("actServiceConsole");
  console->trigger();
  QVERIFY(control<QWidget>("pnlDebug")->isVisible());
  // What the whole window measured before it had a menu and a status bar, frame included.
  QCOMPARE(client->height() + window->frameGeometry().height() - window->geometry().height(), 724);
  QCOMPARE(window->status()->y(), client->geometry().bottom() + 1);
  console->trigger();
  QVERIFY(!control<QWidget>("pnlDebug")->isVisible());
  QCOMPARE(client->size(), QSize(632, 455));
  QCOMPARE(window->height(), menu->height() + 455 + window->status()->height());

  // The menu's operations are the buttons': the same handler, and disabled while the buttons are.
  control<QAction>("actDownload")->trigger();
  QTRY_COMPARE_WITH_TIMEOUT(log().count("No Velmora found"), 2, kWait);
  window->startBusy();
  QTRY_VERIFY_WITH_TIMEOUT(!control<QAction>("actDownload")->isEnabled(), kWait);
  QVERIFY(!control<QAction>("actFirmwareUpdate")->isEnabled() &&
          !control<QAction>("actSetTime")->isEnabled());
  window->stopBusy();
  QTRY_VERIFY_WITH_TIMEOUT(control<QAction>("actDownload")->isEnabled(), kWait);

  // Each Help item shows its text, read from the program's resources when chosen.
  const std::pair<const char*, QString> items[] = {{"actHelpCsv", "SensorSerialNumber"},
                                                   {"actHelpLoggers", "60-velmora.rules"},
                                                   {"actAbout", "Qt " + QString::fromLatin1(qVersion())}};
  for (const auto& [item, phrase] : items) {
    QString text;
    DialogDriver<QMessageBox> box([&](QMessageBox* b) {
      text = shownText(b->text(), b->textFormat());
      b->accept();
    });
    control<QAction>(item)->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(box.handled, 1, kWait);
    QVERIFY2(text.contains(phrase) && !text.contains(QRegularExpression("%[0-9]")), qPrintable(text));
  }
}

void MainWindowFrameTest::operationTexts_data() {
  QTest::addColumn<QString>("operation");
  QTest::addColumn<QString>("expected");
  QTest::newRow("cancelled") << "cancel"
                             << "Download cancelled \u2014 no file written";
  QTest::newRow("unplugged mid-download") << "unplug"
                                          << "Download stopped: logger disconnected \u2014 no file written";
  QTest::newRow("no answer") << "stall"
                             << "No answer from the logger";
  QTest::newRow("no records") << "empty"
                              << "The logger holds no records \u2014 nothing to download";
  QTest::newRow("count beyond memory") << "absurd"
                                       << "Download stopped: the logger reports 20,000 records, more than "
                                          "its memory holds";
  QTest::newRow("set time") << "clock"
                            << "Logger clock set to 01.02.2027 09:05:03";
  QTest::newRow("firmware up to date") << "uptodate"
                                       << "Firmware V1.11 is up to date \u2014 nothing sent";
  QTest::newRow("disconnect") << "disconnect"
                              << "";
}

void MainWindowFrameTest::operationTexts() {
  QFETCH(QString, operation);
  QFETCH(QString, expected);
  velmora::Options options;
  options.records = 2000;
  if (operation == "unplug") options.unplugAfter = 40;
  if (operation == "uptodate") options.software = "V1.11";
  if (operation == "empty") options.records = 0;
  if (operation == "absurd") options.hostile.memUsed = 20000;
  auto logger = attach(options);
  open();
  connectLogger();
  QTRY_COMPARE_WITH_TIMEOUT(connection(), QString("Connected: VLM12345"), kWait);

  if (operation == "cancel") {
    download(QString());
  } else if (operation == "empty" || operation == "absurd") {
    QTest::mouseClick(control<QPushButton>("btnDownload"), Qt::LeftButton);
  } else if (operation == "unplug") {
    DialogDriver<QFileDialog> noSave([](QFileDialog* dialog) { cancelFile(dialog); });
    QTest::mouseClick(control<QPushButton>("btnDownload"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(log().contains("Device disconnected!"), kWait);
    QCOMPARE(noSave.handled, 0);
  } else if (operation == "stall") {
    logger->Stall(ep::kAnswerIn, true);
    window->timTimeout->setInterval(500);
    QTest::mouseClick(control<QPushButton>("btnDownload"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(log().contains("No Answer of Velmora"), kWait);
  } else if (operation == "clock") {
    window->setClock([] { return QDateTime(QDate(2027, 2, 1), QTime(9, 5, 3)); });
    QTest::mouseClick(control<QToolButton>("spbDate"), Qt::LeftButton);
  } else if (operation == "uptodate") {
    DialogDriver<QMessageBox> box([](QMessageBox* b) { b->accept(); });
    QTest::mouseClick(control<QPushButton>("btnUpdate"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(box.handled, 1, kWait);
    // The update asked for the record count before the version.
    QCOMPARE(connection(), QString("Connected: VLM12345 \u00B7 firmware V1.11 \u00B7 2,000 records"));
  } else if (operation == "disconnect") {
    QTest::mouseClick(control<QPushButton>("btnDisconnect"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(connection(), QString("Not connected"), kWait);
  }
  QTRY_COMPARE_WITH_TIMEOUT(message(), expected, kWait);
  QVERIFY(!window->status()->progressShown());
  QVERIFY(!window->status()->offersMeasurements());
}

void MainWindowFrameTest::firmwareUpdateUntilTheRestart() {
  firmware::setCheckPauseMs(0);
  auto logger = attach();
  // The logger that comes back after the restart; the handler goes on to it and may outlive this test.
  struct Restarted {
    std::mutex mutex;
    std::weak_ptr<velmora::VelmoraDevice> device;  // the driver's list holds it
  };
  auto back = std::make_shared<Restarted>();
  logger->SetRestartHandler([back](std::shared_ptr<velmora::VelmoraDevice> restarted) {
    {
      std::lock_guard<std::mutex> lock(back->mutex);
      back->device = restarted;
    }
    usbdrv::AttachDevice(restarted);
  });
  open();
  connectLogger();
  QTest::mouseClick(control<QPushButton>("btnUpdate"), Qt::LeftButton);
  // The link's end is the update's end: no time-out needed, none logged.
  QTRY_COMPARE_WITH_TIMEOUT(message(),
                            QString("Firmware V1.10 sent and the logger restarted \u2014 the next operation "
                                    "connects to it again"),
                            kWait);
  QCOMPARE(connection(), QString("Not connected"));
  QVERIFY(!window->status()->progressShown());
  QTRY_VERIFY(control<QPushButton>("btnUpdate")->isEnabled() && !window->timTimeout->isActive());
  QVERIFY(!log().contains("No Answer of Velmora"));
  // The window asked nothing beyond the record count and the update itself, and the logger that came
  // back got nothing.
  QCOMPARE(logger->Commands(),
           (std::vector<std::string>{"mem.used", "device.software", "mem.save=463104,61184", "firmware.check",
                                     "firmware.update"}));
  auto restarted = [back] {
    std::lock_guard<std::mutex> lock(back->mutex);
    return back->device.lock();
  };
  QTRY_VERIFY_WITH_TIMEOUT(restarted() != nullptr, kWait);
  QTest::qWait(200);
  QVERIFY(restarted()->Commands().empty());
  QVERIFY(!window->usb->isConnected());
  // The history knows the version it restarted with.
  history::Store store;
  std::string error;
  QVERIFY(store.open(window->historyPath(), error));
  QTRY_COMPARE_WITH_TIMEOUT(store.firmwareLastSeen("VLM12345"), std::string("V1.10"), kWait);
}

void MainWindowFrameTest::firmwareUpdateGuardsUndownloadedRecords_data() {
  QTest::addColumn<QString>("choice");
  QTest::newRow("cancel") << "Cancel";
  QTest::newRow("download first") << "Download first";
  QTest::newRow("update anyway") << "Update anyway";
}

// 16,000 records reach 1,528 records into the image's place. The window asks before it sends anything
// beyond the count, and a download in the history lets the next update through without a question.
void MainWindowFrameTest::firmwareUpdateGuardsUndownloadedRecords() {
  QFETCH(QString, choice);
  firmware::setCheckPauseMs(0);
  velmora::Options options;
  options.records = 16000;
  auto logger = attach(options);
  open();
  connectLogger();
  QString text, preset;
  QStringList buttons;
  DialogDriver<QMessageBox> box([&](QMessageBox* b) {
    text = b->text();
    preset = b->defaultButton() ? b->defaultButton()->text() : QString();
    for (QAbstractButton* button : b->buttons()) buttons << button->text();
    for (QAbstractButton* button : b->buttons())
      if (button->text() == choice) button->click();
  });
  const QString restarted(
      "Firmware V1.10 sent and the logger restarted \u2014 the next operation connects to "
      "it again");
  const QString file = dir->filePath("all.csv");
  DialogDriver<QFileDialog> save([&](QFileDialog* dialog) { chooseFile(dialog, file); });
  QTest::mouseClick(control<QPushButton>("btnUpdate"), Qt::LeftButton);
  QTRY_COMPARE_WITH_TIMEOUT(box.handled, 1, kWait);
  QVERIFY2(text.contains("1,528 of its 16,000"), qPrintable(text));
  QCOMPARE(preset, QString("Download first"));
  buttons.sort();
  QCOMPARE(buttons, (QStringList{"Cancel", "Download first", "Update anyway"}));

  if (choice == "Cancel") {
    QTRY_COMPARE(message(), QString("Firmware update cancelled \u2014 nothing sent"));
    QTRY_VERIFY(control<QPushButton>("btnUpdate")->isEnabled());
    QCOMPARE(logger->Commands(), std::vector<std::string>{"mem.used"});
  } else if (choice == "Update anyway") {
    QTRY_COMPARE_WITH_TIMEOUT(message(), restarted, kWait);
    QCOMPARE(logger->Commands(),
             (std::vector<std::string>{"mem.used", "device.software", "mem.save=463104,61184",
                                       "firmware.check", "firmware.update"}));
  } else {
    QTRY_VERIFY_WITH_TIMEOUT(message().endsWith("16,000 new in history"), kWait);
    QCOMPARE(logger->Commands(), (std::vector<std::string>{"mem.used", "mem.used", "mem.load=0,512000"}));
    QTest::mouseClick(control<QPushButton>("btnUpdate"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(message(), restarted, kWait);
    QCOMPARE(box.handled, 1);  // no question the second time
  }
}

void MainWindowFrameTest::skippedRecordsAreCounted() {
  // A memory whose second and fifth records carry impossible time stamps (month 13, hour 24).
  velmora::Options options;
  options.records = 300;
  std::vector<uint8_t> image = velmora::VelmoraDevice(options, "image").Memory();
  for (size_t index : {1, 4}) {
    messwert_tag r = messwert::fromBytes(image.data() + index * messwert::kRecordSize);
    (index == 1 ? r.month : r.hour) = index == 1 ? 13 : 24;
    messwert::toBytes(r, image.data() + index * messwert::kRecordSize);
  }
  options.image = image;
  options.used = 300;
  attach(options);
  open();
  connectLogger();
  const QString file = dir->filePath("some.csv");
  download(file);
  QTRY_COMPARE_WITH_TIMEOUT(
      message(),
      "298 records saved to " + file +
          " \u00B7 2 records skipped (impossible time stamps) \u00B7 298 new in history",
      kWait);
}

void MainWindowFrameTest::progressIsCoalesced() {
  open();
  QTRY_COMPARE_WITH_TIMEOUT(message(), QString("No logger found"), kWait);
  constexpr int kPackets = 8192;
  const int before = window->status()->renders();
  QElapsedTimer clock;
  clock.start();
  std::thread worker([this] {
    for (int i = 1; i <= kPackets; ++i) {
      LinkEvent progress{LinkEvent::Kind::DataProgress};
      progress.value = i;
      progress.total = kPackets;
      window->linkEvent(progress);
    }
  });
  worker.join();
  // The GUI thread was waiting here: the whole burst stands in the queue as one effect.
  QCOMPARE(window->pendingEffects(), size_t(1));
  QTRY_COMPARE_WITH_TIMEOUT(message(), QString("All 8,192 packets received \u2014 saving"), kWait);
  const int renders = window->status()->renders() - before;
  // At most one drawing per 40 ms, and one more to end with.
  QVERIFY2(renders <= 2 + clock.elapsed() / StatusBar::kProgressIntervalMs,
           qPrintable(QString("%1 drawings in %2 ms").arg(renders).arg(clock.elapsed())));
  QVERIFY(window->status()->progressShown());
}

void MainWindowFrameTest::filtersHideAndShowAgain() {
  const QString file = dir->filePath("log.txt");
  qputenv("TARNWICK_LOG_FILE", QFile::encodeName(file));
  open();
  QTRY_VERIFY_WITH_TIMEOUT(log().contains("No Velmora found"), kWait);
  window->infoMsg(" <<< mem.used");
  window->responseLine("mem.used=2");
  window->infoMsg("mem.used=2");
  window->infoMsg("DBG>>>cmd mem.used");
  window->infoMsg("1 05.03.2017 14:07:09");
  window->infoMsg("Fehler Messwert 2: 32.13.2017");
  window->infoMsg("mem.used=2");  // the same text, but no answer this time
  window->infoMsg("Download finished");
  QTRY_VERIFY_WITH_TIMEOUT(log().contains("Download finished"), kWait);
  const QStringList all = log();

  auto* protocol = control<QAction>("actHideProtocol");
  auto* records = control<QAction>("actHideRecords");
  protocol->setChecked(true);
  window->infoMsg("DBG>>>while hidden");
  QStringList shown = all;
  for (const char* hidden : {" <<< mem.used", "mem.used=2", "DBG>>>cmd mem.used"})
    shown.removeAt(shown.indexOf(QString(hidden)));  // the first "mem.used=2" is the answer
  QTRY_COMPARE_WITH_TIMEOUT(log(), shown, kWait);
  records->setChecked(true);
  shown.removeAll("1 05.03.2017 14:07:09");
  shown.removeAll("Fehler Messwert 2: 32.13.2017");
  QTRY_COMPARE_WITH_TIMEOUT(log(), shown, kWait);

  protocol->setChecked(false);
  records->setChecked(false);
  QTRY_COMPARE_WITH_TIMEOUT(log(), QStringList(all) << "DBG>>>while hidden", kWait);
  // The file has every line, whatever the pane showed.
  QFile copy(file);
  QVERIFY(copy.open(QIODevice::ReadOnly));
  QCOMPARE(QString::fromUtf8(copy.readAll()), (QStringList(all) << "DBG>>>while hidden").join('\n') + '\n');
  QCOMPARE(window->logPane()->lineCount(), size_t(all.size() + 1));
}

void MainWindowFrameTest::downloadsGoIntoTheHistory() {
  velmora::Options options;
  options.records = 300;
  attach(options);
  open();
  connectLogger();
  window->setClock([] { return QDateTime(QDate(2027, 2, 1), QTime(9, 5, 3)); });
  QTest::mouseClick(control<QToolButton>("spbDate"), Qt::LeftButton);
  QTRY_COMPARE_WITH_TIMEOUT(message(), QString("Logger clock set to 01.02.2027 09:05:03"), kWait);
  const QString first = dir->filePath("first.csv");
  download(first);
  QTRY_COMPARE_WITH_TIMEOUT(message(), "300 records saved to " + first + " \u00B7 300 new in history", kWait);
  // The zone of this computer with the clock's setting and with the download, and who downloaded.
  history::Store store;
  std::string error;
  QVERIFY(store.open(window->historyPath(), error));
  std::vector<history::ClockZoneRow> zones;
  QVERIFY(store.clockZones("VLM12345", zones, error));
  QCOMPARE(zones.size(), size_t(2));
  QCOMPARE(zones[0].kind, history::ClockZoneKind::setTime);
  QCOMPARE(zones[0].utc, QDateTime(QDate(2027, 2, 1), QTime(9, 5, 3)).toSecsSinceEpoch());
  QCOMPARE(zones[0].zone.offset, history::localZone(zones[0].utc).offset);
  QCOMPARE(zones[1].kind, history::ClockZoneKind::download);
  QCOMPARE(store.downloads("VLM12345").at(0).user, history::thisComputer().user);
  // Where the logger was reached goes with the download, as from the command line.
  QVERIFY(!store.downloads("VLM12345").at(0).device.empty());
  QCOMPARE(connection(), QString("Connected: VLM12345 \u00B7 300 records"));
  QVERIFY(window->status()->offersMeasurements());
  // The same memory again: nothing new.
  const QString second = dir->filePath("second.csv");
  download(second);
  QTRY_COMPARE_WITH_TIMEOUT(message(), "300 records saved to " + second + " \u00B7 0 new in history", kWait);
  QCOMPARE(window->recentFiles(), (QStringList{second, first}));
  QFile::remove(second);
  QCOMPARE(window->recentFiles(), QStringList{first});

  control<QToolButton>("btnShowMeasurements")->click();
  auto* measurements = window->findChild<MeasurementsWindow*>();
  QVERIFY(measurements && measurements->isVisible());
}

// A logger set up before it ever downloaded: Logger > Set Limits on the one connected.
void MainWindowFrameTest::limitsBeforeTheFirstDownload() {
  attach(velmora::Options{});
  open();
  connectLogger();
  QString title;
  DialogDriver<LimitsDialog> driver([&](LimitsDialog* dialog) {
    title = dialog->windowTitle();
    dialog->findChild<QLineEdit*>("temperatureLow")->setText("2");
    dialog->findChild<QLineEdit*>("temperatureHigh")->setText("8");
    QVERIFY2(dialog->save(), qPrintable(dialog->errorText()));
    dialog->accept();
  });
  window->findChild<QAction*>("actSetLimits")->trigger();
  QCOMPARE(driver.handled, 1);
  QCOMPARE(title, QString("Limits of VLM12345"));
  history::Store store;
  std::string error;
  QVERIFY(store.open(window->historyPath(), error));
  std::vector<history::LimitsRow> rows;
  QVERIFY(store.limitRows("VLM12345", rows, error));
  QCOMPARE(rows.size(), size_t(1));
  QCOMPARE(rows[0].limits.temperature.upper, std::optional<double>(8));
  QCOMPARE(store.readingCount("VLM12345", error), int64_t(0));
}

void MainWindowFrameTest::historyFailureLeavesTheDownloadDone() {
  velmora::Options options;
  options.records = 50;
  attach(options);
  open();
  // A folder that cannot be made: a file stands where it would go.
  QFile blocker(dir->filePath("blocked"));
  QVERIFY(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  window->setHistoryPath(QFile::encodeName(dir->filePath("blocked/measurements.sqlite")).toStdString());
  connectLogger();
  const QString file = dir->filePath("kept.csv");
  download(file);
  QTRY_COMPARE_WITH_TIMEOUT(message(), "50 records saved to " + file + " \u00B7 history not updated", kWait);
  QTRY_COMPARE_WITH_TIMEOUT(log().filter(QRegularExpression("^History not updated: .+")).size(), 1, kWait);
  QVERIFY(QFileInfo(file).size() > 0);
  QVERIFY(window->status()->offersMeasurements());

  // Nor can the history say whose the file is: opened, it is shown kept apart, and the log says why.
  window->openMeasurementsFile(file);
  QTRY_COMPARE_WITH_TIMEOUT(
      message(), QString("50 records read from kept.csv \u00B7 kept apart, not in the history"), kWait);
  QTRY_COMPARE_WITH_TIMEOUT(
      log().filter(QRegularExpression("^History: cannot tell whose file kept.csv is: .+")).size(), 1, kWait);
}

// View > Loggers lists the loggers of the history chosen in File > History Location; a double-click
// on one shows its measurements.
void MainWindowFrameTest::loggersViewOpensALoggersMeasurements() {
  const auto fill = [](const QString& path, const std::vector<std::string>& loggers) {
    history::Store store;
    std::string error;
    QVERIFY2(store.open(QFile::encodeName(path).toStdString(), error), error.c_str());
    for (const std::string& logger : loggers) {
      messwert_tag r{};
      r.year = 2026;
      r.month = 3;
      r.day = 1;
      r.sensorSerialNumber = 1;
      r.reserved[5] = static_cast<uint8_t>(0x100 - messwert::checksum(r));
      history::ImportResult result;
      QVERIFY2(store.importDownload(logger, "/tmp/" + logger + ".csv", {r}, result, error), error.c_str());
    }
  };
  const QString first = dir->filePath("a/measurements.sqlite"), second = dir->filePath("b/history.sqlite");
  fill(first, {"VLM11"});
  fill(second, {"VLM21", "VLM22"});
  window = std::make_unique<TfrmMain>();
  window->setExitOnClose(false);
  window->show();
  window->setHistoryLocation(first);
  QCOMPARE(window->historyPath(), QFile::encodeName(first).toStdString());

  LoggersWindow* loggers = window->showLoggers();
  QTableWidget* table = loggers->table();
  QTRY_COMPARE_WITH_TIMEOUT(table->rowCount(), 1, kWait);
  QSignalSpy loaded(loggers, &LoggersWindow::loaded);
  window->setHistoryLocation(second);
  QVERIFY(loaded.wait(kWait));
  QCOMPARE(table->rowCount(), 2);
  QCOMPARE(table->item(1, 0)->text(), QString("VLM22"));
  QCOMPARE(table->item(1, 2)->text(), QString("1"));

  QVERIFY(QTest::qWaitForWindowExposed(loggers));
  const QRect cell = table->visualItemRect(table->item(1, 2));
  QTest::mouseClick(table->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
  QTest::mouseDClick(table->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
  auto* measurements = window->findChild<MeasurementsWindow*>();
  QVERIFY(measurements && measurements->isVisible());
  QTRY_COMPARE_WITH_TIMEOUT(measurements->findChild<QComboBox*>("source")->currentText(), QString("VLM22"),
                            kWait);
  window->setHistoryLocation(QString());
  QCOMPARE(window->historyPath(), history::Store::defaultPath());
}

void MainWindowFrameTest::openMeasurementsFile() {
  velmora::Options options;
  options.records = 120;
  attach(options);
  open();
  connectLogger();
  const QString file = dir->filePath("logger.csv");
  download(file);
  QTRY_VERIFY_WITH_TIMEOUT(message().endsWith("120 new in history"), kWait);

  // A file the history knows as a download goes under its logger; a copy under another name only when
  // the user says it belongs to the logger its lines point to.
  QVERIFY(QFile::copy(file, dir->filePath("copy.csv")));
  window->openMeasurementsFile(file);
  QTRY_COMPARE_WITH_TIMEOUT(message(), QString("120 records read from logger.csv \u00B7 0 new in history"),
                            kWait);
  bool add = false;
  QString question;
  DialogDriver<QMessageBox> belongs([&](QMessageBox* box) {
    question = box->text();
    box->findChild<QPushButton*>(add ? "addToLogger" : "keepApart")->click();
  });
  window->openMeasurementsFile(dir->filePath("copy.csv"));
  QTRY_COMPARE_WITH_TIMEOUT(
      message(), QString("120 records read from copy.csv \u00B7 kept apart, not in the history"), kWait);
  QVERIFY2(question.contains("logger VLM12345"), qPrintable(question));
  QVERIFY(window->findChild<MeasurementsWindow*>()->isVisible());
  history::Store store;
  std::string error;
  QVERIFY(store.open(window->historyPath(), error));
  QCOMPARE(store.loggers(), (std::vector<std::string>{"VLM12345"}));
  add = true;
  belongs.rearm();
  window->openMeasurementsFile(dir->filePath("copy.csv"));
  QTRY_COMPARE_WITH_TIMEOUT(message(), QString("120 records read from copy.csv \u00B7 0 new in history"),
                            kWait);
  QCOMPARE(belongs.handled, 2);
  QCOMPARE(store.downloads("VLM12345").size(), size_t(3));

  // One reading changed by hand in the downloaded file: refused and counted, the logger's stays.
  QFile edited(file);
  QVERIFY(edited.open(QIODevice::ReadWrite));
  QByteArray bytes = edited.readAll();
  const int line = bytes.indexOf("\r\n", bytes.indexOf("\r\n") + 2) + 2;
  int field = line;
  for (int i = 0; i < 3; ++i) field = bytes.indexOf(';', field) + 1;
  const int length = bytes.indexOf(';', field) - field;
  bytes.replace(field, length, bytes.mid(field, length).contains(',') ? "39,5" : "39.5");
  QVERIFY(edited.seek(0) && edited.write(bytes) == bytes.size());
  edited.close();
  window->openMeasurementsFile(file);
  QTRY_COMPARE_WITH_TIMEOUT(
      message(),
      QString("120 records read from logger.csv \u00B7 0 new in history \u00B7 1 differ "
              "from the logger's download \u2014 not imported"),
      kWait);
  QCOMPARE(log()
               .filter(QRegularExpression("^History: logger.csv into VLM12345: 0 imported, 119 already "
                                          "known, 1 differ"))
               .size(),
           1);

  // Anything else is refused, naming the file and the line.
  QFile foreign(dir->filePath("notes.csv"));
  QVERIFY(foreign.open(QIODevice::WriteOnly));
  foreign.write("shopping list\nmilk\n");
  foreign.close();
  QString text, detail;
  DialogDriver<QMessageBox> refused([&](QMessageBox* box) {
    text = box->text();
    detail = box->informativeText();
    box->accept();
  });
  window->openMeasurementsFile(foreign.fileName());
  QTRY_COMPARE_WITH_TIMEOUT(refused.handled, 1, kWait);
  QVERIFY2(text.contains(foreign.fileName()), qPrintable(text));
  QVERIFY2(detail.contains("line 1") && detail.contains("shopping list"), qPrintable(detail));
  QCOMPARE(message(), QString("Not opened: notes.csv"));
}

// Markup in file names, file contents, serial numbers and the link's texts is shown literally in every
// box, label and tool tip that quotes them.
void MainWindowFrameTest::outsideTextIsShownAsItIs() {
  const QString markup = QStringLiteral("<h2><font color=red>X</font></h2>");
  attach();
  open();
  connectLogger();
  QStringList boxTexts;
  DialogDriver<QMessageBox> boxes([&](QMessageBox* box) {
    for (QLabel* label : box->findChildren<QLabel*>())
      if (!label->text().isEmpty()) boxTexts << shownText(label->text(), label->textFormat());
    box->accept();
  });
  auto* statusLabel = control<QLabel>("lblStatus");
  auto* connectionLabel = control<QLabel>("lblConnection");

  window->messageBox(MessageKind::Error, "File Error", markup.toStdString());
  QTRY_COMPARE_WITH_TIMEOUT(boxes.handled, 1, kWait);
  QVERIFY2(boxTexts.contains(markup), qPrintable(boxTexts.join(" | ")));
  boxes.rearm();
  QCOMPARE(shownText(statusLabel->toolTip()), message());

  // A download into a file whose name is markup: the status bar and the recent files quote it.
  const QString file = dir->filePath("<h2>R<h2>.csv");
  download(file);
  QTRY_VERIFY_WITH_TIMEOUT(message().contains(file), kWait);
  QCOMPARE(shownText(statusLabel->toolTip()), message());
  auto* recent = control<QMenu>("mnuRecent");
  emit qobject_cast<QMenu*>(recent->parentWidget())->aboutToShow();
  QVERIFY(!recent->actions().isEmpty());
  QCOMPARE(shownText(recent->actions().front()->toolTip()), QFileInfo(file).absoluteFilePath());

  window->status()->connected(markup);
  QCOMPARE(shownText(connectionLabel->toolTip()), connection());
  QVERIFY(connection().contains(markup));

  // A file that is refused quotes its line: a link in it stays text.
  const QString line = QStringLiteral("<a href=\"https://example.org\">REPAIR FILE</a>");
  QFile foreign(dir->filePath("<b>notes<b>.csv"));
  QVERIFY(foreign.open(QIODevice::WriteOnly));
  foreign.write(line.toUtf8() + "\n");
  foreign.close();
  window->openMeasurementsFile(foreign.fileName());
  QTRY_COMPARE_WITH_TIMEOUT(boxes.handled, 2, kWait);
  QVERIFY2(boxTexts.filter(line).size() == 1 &&
               boxTexts.contains(foreign.fileName() + " is not a measurement file that Tarnwick can read."),
           qPrintable(boxTexts.join(" | ")));

  // The measurements window's status line quotes the file it wrote.
  control<QToolButton>("btnShowMeasurements")->click();
  auto* measurements = window->findChild<MeasurementsWindow*>();
  QVERIFY(measurements);
  QTRY_VERIFY_WITH_TIMEOUT(!measurements->isLoading() && measurements->range().second > 0, kWait);
  QString error;
  const QString exported = dir->filePath("<h2>M<h2>.csv");
  QVERIFY2(measurements->exportCsv(exported, error), qPrintable(error));
  auto* status = measurements->findChild<QLabel*>("status");
  QVERIFY2(shownText(status->text(), status->textFormat()).contains(exported), qPrintable(status->text()));
}

// The pane and the kept lines hold the newest lines up to the bound; the first line of the pane says
// where the older ones went, and the log file has every line.
void MainWindowFrameTest::logKeepsTheNewestLines() {
  constexpr size_t kBound = 50;
  QPlainTextEdit view;
  LogPane pane(&view, nullptr, kBound);
  auto file = std::make_unique<LogFile>();
  std::string why;
  const QString path = dir->filePath("log.txt");
  QVERIFY2(file->open(QFile::encodeName(path).toStdString(), why), why.c_str());
  pane.setFile(std::move(file));
  QStringList all;
  auto lines = [&] { return view.toPlainText().split('\n'); };
  // In rounds, so that the pane has lines when the older ones go, and all at once.
  for (int round = 0; round < 5; ++round) {
    for (int i = 0; i < (round < 4 ? 30 : 200); ++i) {
      all << QStringLiteral("DBG>>>%1").arg(all.size());
      pane.append(all.back(), LogPane::Kind::Debug);
      all << QStringLiteral("step %1").arg(all.size());
      pane.append(all.back(), LogPane::Kind::Plain);
    }
    pane.flush();
    QTRY_COMPARE_WITH_TIMEOUT(lines().back(), all.back(), kWait);
    QVERIFY2(static_cast<size_t>(view.document()->blockCount()) <= 2 * kBound + 1,
             qPrintable(QString::number(view.document()->blockCount())));
  }
  const QString note = "[Older lines are no longer shown here; they are in the log file " + path + "]";
  QCOMPARE(lines(), QStringList{note} + all.mid(all.size() - kBound));
  QCOMPARE(pane.lineCount(), kBound);
  QCOMPARE(pane.droppedLines(), size_t(all.size()) - kBound);
  QFile copy(path);
  QVERIFY(copy.open(QIODevice::ReadOnly));
  QCOMPARE(QString::fromUtf8(copy.readAll()), all.join('\n') + '\n');

  pane.setHideProtocol(true);
  QStringList plain = all.mid(all.size() - kBound).filter(QRegularExpression("^step "));
  QTRY_COMPARE(lines(), QStringList{note} + plain);

  // Without a log file the note says that the older lines are gone.
  QPlainTextEdit other;
  LogPane unfiled(&other, nullptr, 3);
  for (const char* text : {"a", "b", "c", "d"}) unfiled.append(text, LogPane::Kind::Plain);
  unfiled.flush();
  QTRY_COMPARE(other.toPlainText().split('\n'),
               (QStringList{"[Older lines were dropped from this pane; set TARNWICK_LOG_FILE to keep every "
                            "line in a file]",
                            "b", "c", "d"}));
}

// Keys do not change the log: select all and delete, or typing, leave it as it was; copying works.
void MainWindowFrameTest::logTakesNoTypedText() {
  open();
  QTRY_VERIFY(log().contains("No Velmora found"));
  auto* pane = control<QPlainTextEdit>("mmoDebug");
  const QString before = pane->toPlainText();
  pane->setFocus();
  QTest::keyClick(pane, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(pane, Qt::Key_C, Qt::ControlModifier);
  QCOMPARE(QApplication::clipboard()->text(), before);
  QTest::keyClick(pane, Qt::Key_Delete);
  QTest::keyClicks(pane, "Download finished");
  QTest::keyClick(pane, Qt::Key_Return);
  QCOMPARE(pane->toPlainText(), before);
  window->infoMsg("after");
  QTRY_COMPARE(log().back(), QString("after"));
  QCOMPARE(pane->toPlainText(), before + "\nafter");
}

QTEST_MAIN(MainWindowFrameTest)
#include "MainWindowFrameTest.moc"
