// The main window against in-process virtual loggers: start-up, the operations, the service
// console, driven through the real (non-native) dialogs.
#include <QAbstractItemView>
#include <QApplication>
#include <QCompleter>
#include <QDateEdit>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimeEdit>
#include <QTimer>
#include <QToolButton>
#include <QtTest>
#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "CodePage.h"
#include "Select.h"
#include "Umain.h"
#include "WindowDrivers.h"
#include "data/Messwert.h"
#include "data/RegionalFormat.h"
#include "data/Text.h"
#include "link/LinkAccess.h"
#include "link/USBInterface.h"
#include "platform/usbdrv/InProcessSource.h"
#include "sim/model/Velmora.h"
#include "tests/common/LoggerEndpoints.h"
#include "usbdev/DeviceContract.h"

namespace {

constexpr int kWait = 60000;  // generous bound for anything that involves the workers

const QString kGeraet = QString::fromUtf8("Gerät: ");

velmora::Options loggerOptions(std::optional<std::string> serial, uint32_t records = 100) {
  velmora::Options options;
  options.serial = std::move(serial);
  options.records = records;
  return options;
}

std::shared_ptr<velmora::VelmoraDevice> attach(const velmora::Options& options, const std::string& id) {
  auto device = std::make_shared<velmora::VelmoraDevice>(options, id);
  usbdrv::AttachDevice(device);
  return device;
}

int count(const std::vector<std::string>& commands, const std::string& command) {
  return static_cast<int>(std::count(commands.begin(), commands.end(), command));
}

// A logger that passes the scan's in-use test but refuses the configuration of the link.
class RefusingLogger : public velmora::VelmoraDevice {
 public:
  using VelmoraDevice::VelmoraDevice;
  uint32_t SetConfiguration(const usbdrv::ConfigurationRequest& request) override {
    if (configurations_++ == 0) return VelmoraDevice::SetConfiguration(request);
    return usbdrv::kStatusSetConfigFailed;
  }

 private:
  std::atomic<int> configurations_{0};
};

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT
 private:
  QTemporaryDir home;  // history and recent files of this run alone, beside other test programs
  std::unique_ptr<TfrmMain> window;

  void open() {
    window = std::make_unique<TfrmMain>();
    window->setExitOnClose(false);
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
  QString response() { return control<QPlainTextEdit>("mmoResponse")->toPlainText(); }
  bool logHas(const QString& line) { return log().contains(line); }
  int logIndex(const QString& line) { return static_cast<int>(log().indexOf(line)); }
  bool idle() {
    return control<QPushButton>("btnDownload")->isEnabled() &&
           control<QPushButton>("btnUpdate")->isEnabled() && control<QToolButton>("spbDate")->isEnabled() &&
           window->cursor().shape() == Qt::ArrowCursor;
  }
  // The client area's height with the window's frame: what the whole window measured before it had a
  // menu and a status bar.
  int outerClientHeight() {
    return window->clientArea()->height() + window->frameGeometry().height() - window->geometry().height();
  }
  void waitConnected() {
    QTRY_VERIFY_WITH_TIMEOUT(logHas("Device connected"), kWait);
    QVERIFY(window->usb->isConnected());
  }

 private slots:
  void initTestCase() {
    QVERIFY(home.isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath("data")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath("config")));
  }
  void init() { usbdrv::DetachAllDevices(); }
  void cleanup() {
    window.reset();
    usbdrv::DetachAllDevices();
    QLocale::setDefault(QLocale::c());
  }

  void startupWithoutLogger();
  void startupWithOneLogger();
  void selectionDialog_data();
  void selectionDialog();
  void refusedConnect();
  void connectDeviceOnlyWhenUnconnected();
  void busyState();
  void downloadThroughSaveDialog();
  void saveDialogLeavesNoCompletionListOpen();
  void downloadTimesOut();
  void downloadAfterUpdateWaitsLonger();
  void setTimeSendsPcClock();
  void keepAliveOnlyWhileConnected();
  void consoleSend();
  void consoleLoad();
  void consoleLoadLimits_data();
  void consoleLoadLimits();
  void consoleSave();
  void consoleSaveSendsTheChosenFile();
  void consoleShortcut();
  void operationsClearTheTypedCommandsFlag();
  void linesStayOneLine();
  void dumpAsksBeforeReplacing();
};

void WindowTest::startupWithoutLogger() {
  open();
  QTRY_VERIFY_WITH_TIMEOUT(logHas("No Velmora found"), kWait);
  QStringList lines = log();
  QCOMPARE(lines.first(), QString("Scanning for attached USB devices..."));
  QVERIFY(lines.contains("There are no USB devices attached to the USB driver."));
  QCOMPARE(lines.last(), QString("No Velmora found"));
  QVERIFY(!window->usb->isConnected());
  QVERIFY(idle());
  QCOMPARE(window->windowTitle(), QString("Tarnwick V1.3.0"));
  QCOMPARE(window->clientArea()->size(), QSize(632, 455));
  QVERIFY(!control<QWidget>("pnlDebug")->isVisible());
  QCOMPARE(response(), QString("mmoResponse"));

  // Download re-connects first; with no logger it stops there: no busy state, no time-out.
  QTest::mouseClick(control<QPushButton>("btnDownload"), Qt::LeftButton);
  QTRY_COMPARE_WITH_TIMEOUT(log().count("No Velmora found"), 2, kWait);
  QCOMPARE(log().last(), QString("No Velmora found"));
  QTest::qWait(50);
  QVERIFY(idle());
  QVERIFY(!window->timTimeout->isActive());
  QVERIFY(!LinkAccess(*window->usb).downloadActive());
}

void WindowTest::startupWithOneLogger() {
  attach(loggerOptions("VLM12345"), "one");
  open();
  waitConnected();
  // The scan's lines, then the chosen number, then the link's own lines.
  int checked = logIndex("Check if device is already connected");
  int chosen = logIndex(kGeraet + "12345");
  QVERIFY(checked >= 0);
  QVERIFY(chosen > checked);
  QVERIFY(logIndex("Device connected") > chosen);
  QVERIFY(!logHas("USB Connection refused"));
  // The link's Windows-1252 text reaches the log as "ä".
  QVERIFY(control<QPlainTextEdit>("mmoDebug")->toPlainText().contains(QString::fromUtf8("Gerät: 12345")));
}

void WindowTest::selectionDialog_data() {
  QTest::addColumn<bool>("firstHasSerial");
  QTest::addColumn<QString>("action");
  QTest::addColumn<int>("row");
  QTest::addColumn<int>("connectedTo");  // index of the logger connected, -1 for none
  QTest::addColumn<QString>("chosenLine");
  QTest::newRow("OK on the first line") << true << "ok" << 0 << 0 << "1001";
  QTest::newRow("OK on the second line") << true << "ok" << 1 << 1 << "1002";
  QTest::newRow("OK on an old logger (serial 0)") << false << "ok" << 0 << 0 << "0";
  QTest::newRow("CANCEL") << true << "cancel" << 1 << -1 << "";
  QTest::newRow("closed through the frame") << true << "close" << 0 << -1 << "";
  QTest::newRow("Enter and Escape do nothing") << true << "keys" << 0 << -1 << "";
}

void WindowTest::selectionDialog() {
  QFETCH(bool, firstHasSerial);
  QFETCH(QString, action);
  QFETCH(int, row);
  QFETCH(int, connectedTo);
  QFETCH(QString, chosenLine);
  std::vector<std::shared_ptr<velmora::VelmoraDevice>> loggers{
      attach(loggerOptions(firstHasSerial ? std::optional<std::string>("VLM1001") : std::nullopt), "first"),
      attach(loggerOptions("VLM1002"), "second")};

  QStringList shown;
  int selected = -2;
  QString caption;
  bool openAfterKeys = false;
  DialogDriver<TfrmSelect> driver([&](TfrmSelect* dialog) {
    caption = dialog->windowTitle();
    auto* list = dialog->findChild<QListWidget*>(QStringLiteral("ListBox1"));
    for (int i = 0; i < list->count(); ++i) shown << list->item(i)->text();
    selected = list->currentRow();
    list->setCurrentRow(row);
    if (action == "ok") {
      QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("btnOK")), Qt::LeftButton);
    } else if (action == "cancel") {
      QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("btnCANCEL")), Qt::LeftButton);
    } else if (action == "close") {
      dialog->close();
    } else {
      list->setFocus();
      QTest::keyClick(list, Qt::Key_Return);
      QTest::keyClick(list, Qt::Key_Escape);
      openAfterKeys = dialog->isVisible();
      dialog->findChild<QPushButton*>(QStringLiteral("btnCANCEL"))->click();
    }
  });
  open();
  QCOMPARE(driver.handled, 1);
  QCOMPARE(caption, QString("Connect"));
  QCOMPARE(shown, (QStringList{firstHasSerial ? "1001" : "0", "1002"}));
  QCOMPARE(selected, 0);
  if (action == "keys") QVERIFY(openAfterKeys);

  if (connectedTo < 0) {
    // Nothing chosen, nothing connected, nothing torn down.
    QTest::qWait(0);
    QVERIFY(!window->usb->isConnected());
    QVERIFY(!control<QPlainTextEdit>("mmoDebug")->toPlainText().contains(kGeraet));
    QVERIFY(!logHas("Device disconnected!"));
  } else {
    waitConnected();
    QVERIFY(logHas(kGeraet + chosenLine));
  }
  // The keep-alive shows which logger the link reached.
  window->timKeepTimer();
  for (int i = 0; i < 2; ++i) {
    QCOMPARE(count(loggers[i]->Commands(), "device.serial"), i == connectedTo ? 1 : 0);
  }
}

void WindowTest::refusedConnect() {
  auto logger = std::make_shared<RefusingLogger>(loggerOptions("VLM12345"), "refusing");
  usbdrv::AttachDevice(logger);
  open();
  QTRY_VERIFY_WITH_TIMEOUT(logHas("Device disconnected!"), kWait);
  int chosen = logIndex(kGeraet + "12345");
  int refused = logIndex("USB Connection refused");
  QVERIFY(chosen >= 0);
  QVERIFY(refused > chosen);
  QVERIFY(logIndex("Device disconnected!") > refused);
  QVERIFY(!window->usb->isConnected());
  QVERIFY(idle());
}

void WindowTest::connectDeviceOnlyWhenUnconnected() {
  attach(loggerOptions("VLM12345"), "one");
  open();
  waitConnected();
  const QString scanning("Scanning for attached USB devices...");
  int lines = static_cast<int>(log().size());
  window->connectDevice();
  QTest::qWait(50);
  QCOMPARE(static_cast<int>(log().size()), lines);
  QCOMPARE(log().count(scanning), 1);

  QTest::mouseClick(control<QPushButton>("btnDisconnect"), Qt::LeftButton);
  QTRY_VERIFY_WITH_TIMEOUT(logHas("Device disconnected!"), kWait);
  QVERIFY(!window->usb->isConnected());
  window->connectDevice();
  QTRY_VERIFY_WITH_TIMEOUT(log().count("Device connected") == 2, kWait);
  QCOMPARE(log().count(scanning), 2);
  QVERIFY(window->usb->isConnected());
}

void WindowTest::busyState() {
  open();
  auto* download = control<QPushButton>("btnDownload");
  window->startBusy();
  window->startBusy();
  QTRY_VERIFY_WITH_TIMEOUT(!download->isEnabled(), kWait);
  QVERIFY(!control<QPushButton>("btnUpdate")->isEnabled());
  QVERIFY(!control<QToolButton>("spbDate")->isEnabled());
  QCOMPARE(window->cursor().shape(), Qt::WaitCursor);
  QCOMPARE(control<QPlainTextEdit>("mmoDebug")->cursor().shape(), Qt::WaitCursor);
  // The clock and the log stay usable.
  QVERIFY(control<QDateEdit>("dtpDate")->isEnabled());
  QVERIFY(control<QPlainTextEdit>("mmoDebug")->isEnabled());
  window->stopBusy();  // a state, not a count
  QTRY_VERIFY_WITH_TIMEOUT(idle(), kWait);

  // From a worker: errorMsg ends the busy state, stops the time-out and logs, in call order.
  window->timeoutEnable(true);
  QTRY_VERIFY_WITH_TIMEOUT(window->timTimeout->isActive(), kWait);
  std::thread worker([this] {
    window->startBusy();
    window->infoMsg("before");
    window->errorMsg("failed \x80 \xE4");
  });
  worker.join();
  QTRY_VERIFY_WITH_TIMEOUT(logHas(QString::fromUtf8("failed € ä")), kWait);
  QVERIFY(logIndex("before") < logIndex(QString::fromUtf8("failed € ä")));
  QVERIFY(!window->timTimeout->isActive());
  QVERIFY(idle());
}

void WindowTest::downloadThroughSaveDialog() {
  setExportFormat(RegionalFormat::german());
  velmora::Options options = loggerOptions("VLM12345", 300);
  options.seed = 7;
  auto logger = attach(options, "one");
  open();
  waitConnected();

  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  const QString typed = dir.filePath("messung");  // no extension: the dialog adds ".csv"
  QString offered;
  DialogDriver<QFileDialog> save([&](QFileDialog* dialog) {
    QCOMPARE(dialog->objectName(), QString("SaveDialog1"));
    QCOMPARE(dialog->nameFilters(), QStringList{"csv files (*.csv)"});
    offered = dialog->selectedFiles().value(0);
    chooseFile(dialog, typed);
  });
  QTest::mouseClick(control<QPushButton>("btnDownload"), Qt::LeftButton);
  QTRY_VERIFY_WITH_TIMEOUT(logHas("Download finished"), kWait);
  QCOMPARE(save.handled, 1);
  QVERIFY(logIndex("sortiert") < logIndex("Download finished"));
  QTRY_VERIFY_WITH_TIMEOUT(idle(), kWait);
  QVERIFY(!window->timTimeout->isActive());
  QVERIFY(!LinkAccess(*window->usb).downloadActive());

  // The file holds the logger's records in time order, in the German regional format.
  std::vector<uint8_t> memory = logger->Memory();
  std::vector<messwert_tag> records;
  for (uint32_t i = 0; i < 300; ++i) records.push_back(messwert::fromBytes(memory.data() + 32 * i));
  std::stable_sort(records.begin(), records.end(), [](const messwert_tag& a, const messwert_tag& b) {
    return messwert::sortKey(a) < messwert::sortKey(b);
  });
  QByteArray expected =
      "Date;SensorSerialNumber;Humidity;Temperature;HumidityRaw;TemperatureRaw;"
      "AmbientTemperature;Comment\r\n";
  for (const messwert_tag& r : records) {
    QString date = QString::asprintf("%02d.%02d.%04d", r.day, r.month, r.year);
    if (r.hour || r.minute || r.second)
      date += QString::asprintf(" %02d:%02d:%02d", r.hour, r.minute, r.second);
    expected += date.toLatin1() + ';' + QByteArray::number(r.sensorSerialNumber) + ';' +
                QByteArray::fromStdString(csv::formatValue(r.humidity, ',')) + ';' +
                QByteArray::fromStdString(csv::formatValue(r.temperature, ',')) + ';' +
                QByteArray::number(r.humidityRaw) + ';' + QByteArray::number(r.temperatureRaw) + ';' +
                QByteArray::fromStdString(csv::formatValue(r.ambientTemperature, ',')) + ';' +
                (messwert::checksum(r) ? "Check sum error" : "") + "\r\n";
  }
  QFile file(typed + ".csv");
  QVERIFY(file.open(QIODevice::ReadOnly));
  QByteArray written = file.readAll();
  file.close();
  QCOMPARE(written.count("\r\n"), 301);
  QCOMPARE(written, expected);
  // One log line per record, numbered from 1.
  QVERIFY(logHas(QString("1 ") + QString::fromLatin1(expected.split('\n').at(1).split(';').first())));
  QVERIFY(log().filter(QRegularExpression("^300 \\d\\d\\.\\d\\d\\.\\d{4}")).size() == 1);

  // The next download offers the last name and replaces the file without asking.
  QFile::resize(typed + ".csv", 0);
  save.rearm();
  DialogDriver<QMessageBox> noQuestion([](QMessageBox* box) { box->reject(); });
  QTest::mouseClick(control<QPushButton>("btnDownload"), Qt::LeftButton);
  QTRY_VERIFY_WITH_TIMEOUT(log().count("Download finished") == 2, kWait);
  QCOMPARE(save.handled, 2);
  QCOMPARE(offered, typed + ".csv");
  QCOMPARE(noQuestion.handled, 0);
  QVERIFY(file.open(QIODevice::ReadOnly));
  QCOMPARE(file.readAll(), expected);
}

// Enter while the file name's completion list shows a match: the dialog closes, and so must the list,
// or it stays over the main window and takes the user's next click.
void WindowTest::saveDialogLeavesNoCompletionListOpen() {
  open();
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  QFile earlier(dir.filePath("messung-alt.csv"));
  QVERIFY(earlier.open(QIODevice::WriteOnly));
  earlier.close();
  window->SaveDialog1->setDirectory(dir.path());

  QAbstractItemView* list = nullptr;
  DialogDriver<QFileDialog> save([&](QFileDialog* dialog) {
    auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    QVERIFY(edit && edit->completer());
    list = edit->completer()->popup();
    QVERIFY(QTest::qWaitForWindowActive(dialog, kWait));
    edit->setFocus();
    QTRY_VERIFY_WITH_TIMEOUT(edit->hasFocus(), kWait);
    QTest::keyClicks(edit, "messung");
    // The dialog reads the folder on a thread of its own: typed before it had, the name matched
    // nothing. Typing the last letter again asks the completer once more.
    const auto completing = [&] {
      if (!list->isVisible()) {
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClick(edit, Qt::Key_G);
      }
      return list->isVisible();
    };
    QTRY_VERIFY_WITH_TIMEOUT(completing(), kWait);
    QTest::keyClick(edit, Qt::Key_Return);
  });
  const int result = window->SaveDialog1->exec();
  QCOMPARE(save.handled, 1);
  QVERIFY(list);
  QCOMPARE(result, int(QDialog::Accepted));
  QCOMPARE(window->SaveDialog1->selectedFiles().value(0), dir.filePath("messung.csv"));
  QTRY_VERIFY_WITH_TIMEOUT(!list->isVisible(), kWait);
}

void WindowTest::downloadTimesOut() {
  auto logger = attach(loggerOptions("VLM12345"), "one");
  open();
  waitConnected();
  logger->Stall(ep::kAnswerIn, true);  // the logger takes commands but never answers
  window->timTimeout->setInterval(1000);
  QTest::mouseClick(control<QPushButton>("btnDownload"), Qt::LeftButton);
  QCOMPARE(count(logger->Commands(), "mem.used"), 1);
  QTRY_VERIFY_WITH_TIMEOUT(!control<QPushButton>("btnDownload")->isEnabled(), kWait);
  QTRY_VERIFY_WITH_TIMEOUT(logHas("No Answer of Velmora"), kWait);
  QTRY_VERIFY_WITH_TIMEOUT(idle(), kWait);
  QVERIFY(!window->timTimeout->isActive());
  QVERIFY(LinkAccess(*window->usb).downloadActive());  // the operation is not cancelled on the link
}

void WindowTest::downloadAfterUpdateWaitsLonger() {
  velmora::Options options = loggerOptions("VLM12345");
  options.software = "V1.11";  // newer than the program's image
  auto logger = attach(options, "one");
  open();
  waitConnected();
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  DialogDriver<QMessageBox> box([&](QMessageBox* b) {
    text = b->text();
    icon = b->icon();
    QTest::keyClick(b, Qt::Key_Return);
  });
  QTest::mouseClick(control<QPushButton>("btnUpdate"), Qt::LeftButton);
  QTRY_COMPARE_WITH_TIMEOUT(box.handled, 1, kWait);
  QCOMPARE(count(logger->Commands(), "device.software"), 1);
  QCOMPARE(text, QString("Your firmware is up-to-date"));
  QCOMPARE(icon, QMessageBox::Information);
  QTRY_VERIFY_WITH_TIMEOUT(window->timTimeout->isActive(), kWait);
  QCOMPARE(window->timTimeout->interval(), 20000);
  QVERIFY(!idle());  // the update's busy state lasts until the time-out

  window->timeoutEnable(false);
  window->stopBusy();
  QTRY_VERIFY_WITH_TIMEOUT(idle() && !window->timTimeout->isActive(), kWait);
  logger->Stall(ep::kAnswerIn, true);
  QTest::mouseClick(control<QPushButton>("btnDownload"), Qt::LeftButton);
  QTRY_VERIFY_WITH_TIMEOUT(window->timTimeout->isActive(), kWait);
  QCOMPARE(window->timTimeout->interval(), 20000);
  QCOMPARE(count(logger->Commands(), "mem.used"), 2);  // the update's record count, then this one
}

void WindowTest::setTimeSendsPcClock() {
  auto logger = attach(loggerOptions("VLM12345"), "one");
  open();
  waitConnected();
  QDateTime now(QDate(2027, 2, 1), QTime(9, 5, 3));
  window->setClock([&] { return now; });
  // The logger parses the text: "." and ":" also where the user's locale writes otherwise.
  QLocale::setDefault(QLocale(QLocale::Finnish, QLocale::Finland));
  QTest::mouseClick(control<QToolButton>("spbDate"), Qt::LeftButton);
  QCOMPARE(count(logger->Commands(), "date.date=01.02.2027 09:05:03"), 1);

  // The pickers follow the clock until the user changes one; Set Time still sends the PC's clock.
  now = QDateTime(QDate(2027, 12, 31), QTime(21, 0, 0));
  window->timUpdateTimer();
  QCOMPARE(control<QDateEdit>("dtpDate")->date(), now.date());
  QCOMPARE(control<QTimeEdit>("dtpTime")->time(), now.time());
  QVERIFY(window->timUpdate->isActive());
  control<QDateEdit>("dtpDate")->setDate(QDate(2020, 6, 15));
  QVERIFY(!window->timUpdate->isActive());
  QTest::mouseClick(control<QToolButton>("spbDate"), Qt::LeftButton);
  QCOMPARE(count(logger->Commands(), "date.date=31.12.2027 21:00:00"), 1);
  QVERIFY(control<QToolButton>("spbDate")->toolTip() == "Set Time");
}

void WindowTest::keepAliveOnlyWhileConnected() {
  auto logger = attach(loggerOptions("VLM12345"), "one");
  open();
  waitConnected();
  QCOMPARE(window->timKeep->interval(), 50000);
  QVERIFY(window->timKeep->isActive());
  window->startBusy();  // also while an operation runs
  window->timKeepTimer();
  QCOMPARE(count(logger->Commands(), "device.serial"), 1);
  QTRY_VERIFY_WITH_TIMEOUT(response().contains("device.serial=VLM12345"), kWait);

  QTest::mouseClick(control<QPushButton>("btnDisconnect"), Qt::LeftButton);
  QTRY_COMPARE_WITH_TIMEOUT(log().last(), QString("Device disconnected!"), kWait);
  QVERIFY(!window->usb->isConnected());
  window->timKeepTimer();
  QTest::qWait(50);
  QCOMPARE(count(logger->Commands(), "device.serial"), 1);
  QCOMPARE(log().count("Scanning for attached USB devices..."), 1);  // no re-connect either
}

void WindowTest::consoleSend() {
  auto logger = attach(loggerOptions("VLM12345"), "one");
  open();
  waitConnected();
  auto* command = control<QLineEdit>("edCommand");
  command->setText("device.serial");
  QTest::mouseClick(control<QPushButton>("btnSend"), Qt::LeftButton);
  QCOMPARE(count(logger->Commands(), "device.serial"), 1);
  QTRY_VERIFY_WITH_TIMEOUT(response().contains("device.serial=VLM12345"), kWait);
  QTRY_VERIFY_WITH_TIMEOUT(!LinkAccess(*window->usb).rawCommand(), kWait);
  QCOMPARE(command->text(), QString("device.serial"));

  // "debug" with Enter: the window grows, nothing is sent.
  size_t sent = logger->Commands().size();
  command->clear();
  QTest::keyClicks(command, "debug");
  QTest::keyClick(command, Qt::Key_Return);
  QCOMPARE(outerClientHeight(), 724);
  QCOMPARE(logger->Commands().size(), sent);
  QVERIFY(!LinkAccess(*window->usb).rawCommand());

  // The keyword is case-sensitive; Enter sends like the button. User text goes out in Windows-1252.
  command->setText("Debug");
  QTest::keyClick(command, Qt::Key_Return);
  QCOMPARE(count(logger->Commands(), "Debug"), 1);
  command->setText(QString::fromUtf8("note=Grüße €"));
  QTest::mouseClick(control<QPushButton>("btnSend"), Qt::LeftButton);
  QCOMPARE(count(logger->Commands(),
                 "note=Gr\xFC\xDF"
                 "e \x80"),
           1);
}

void WindowTest::consoleLoad() {
  auto logger = attach(loggerOptions("VLM12345"), "one");
  open();
  waitConnected();
  QTemporaryDir dir;
  const QString dump = dir.filePath("dump.bin");
  DialogDriver<QFileDialog> save([&](QFileDialog* dialog) { chooseFile(dialog, dump); });
  control<QLineEdit>("edAddress")->setText("0");
  control<QLineEdit>("edLength")->setText("4096");
  QTest::mouseClick(control<QPushButton>("btnLoad"), Qt::LeftButton);
  QCOMPARE(count(logger->Commands(), "mem.load=0,4096"), 1);
  QCOMPARE(LinkAccess(*window->usb).packetsExpected().load(), 64);
  QVERIFY(LinkAccess(*window->usb).memLoadActive());  // cleared only once the file is written
  QTRY_VERIFY_WITH_TIMEOUT(logHas("Download finished"), kWait);
  QCOMPARE(save.handled, 1);
  QVERIFY(response().contains("Download complete"));
  QVERIFY(!LinkAccess(*window->usb).memLoadActive());
  QFile file(dump);
  QVERIFY(file.open(QIODevice::ReadOnly));
  std::vector<uint8_t> memory = logger->Memory();
  QCOMPARE(file.readAll(), QByteArray(reinterpret_cast<const char*>(memory.data()), 4096));
}

void WindowTest::consoleLoadLimits_data() {
  QTest::addColumn<QString>("length");
  QTest::addColumn<bool>("sent");
  QTest::newRow("63") << "63" << false;
  QTest::newRow("no number") << "abc" << false;
  QTest::newRow("empty") << "" << false;
  QTest::newRow("0x20") << "0x20" << false;
  QTest::newRow("524289") << "524289" << false;
  QTest::newRow("$80001") << "$80001" << false;
  QTest::newRow("64") << "64" << true;
  QTest::newRow("$80000") << "$80000" << true;
}

void WindowTest::consoleLoadLimits() {
  QFETCH(QString, length);
  QFETCH(bool, sent);
  auto logger = attach(loggerOptions("VLM12345"), "one");
  open();
  waitConnected();
  DialogDriver<QFileDialog> cancel([](QFileDialog* dialog) { cancelFile(dialog); });
  LinkAccess(*window->usb).packetsExpected() = 77;
  size_t commands = logger->Commands().size();
  int lines = static_cast<int>(log().size());
  control<QLineEdit>("edAddress")->setText("0");
  control<QLineEdit>("edLength")->setText(length);
  QTest::mouseClick(control<QPushButton>("btnLoad"), Qt::LeftButton);
  if (sent) {
    QCOMPARE(logger->Commands().back(), "mem.load=0," + cp1252::fromQString(length));
    QCOMPARE(LinkAccess(*window->usb).packetsExpected().load(),
             strToIntDef0(cp1252::fromQString(length)) / 64);
    QTRY_VERIFY_WITH_TIMEOUT(logHas("Abort"), kWait);  // the dump's save dialog was cancelled
    return;
  }
  // The refusal is the one line the click adds; nothing is sent before or after it.
  QTRY_VERIFY_WITH_TIMEOUT(log().size() > lines, kWait);
  QCOMPARE(logger->Commands().size(), commands);
  QVERIFY(!LinkAccess(*window->usb).memLoadActive());
  QCOMPARE(LinkAccess(*window->usb).packetsExpected().load(), 77);
  QStringList added = log().mid(lines);
  QCOMPARE(added.size(), 1);
  QVERIFY2(added.first().contains("64 to 524288"), qPrintable(added.first()));
}

void WindowTest::consoleSave() {
  auto logger = attach(loggerOptions("VLM12345"), "one");
  open();
  waitConnected();
  control<QLineEdit>("edAddress")->setText("463104");
  control<QLineEdit>("edLength")->setText("61184");
  DialogDriver<QFileDialog> cancel([](QFileDialog* dialog) {
    QCOMPARE(dialog->objectName(), QString("OpenDialog1"));
    cancelFile(dialog);
  });
  size_t commands = logger->Commands().size();
  QTest::mouseClick(control<QPushButton>("btnSave"), Qt::LeftButton);
  QCOMPARE(cancel.handled, 1);
  QCOMPARE(logger->Commands().size(), commands);

  // A file shorter than the length is refused with a line; nothing is sent.
  QTemporaryDir dir;
  QFile any(dir.filePath("image.bin"));
  QVERIFY(any.open(QIODevice::WriteOnly));
  any.write("x");
  any.close();
  DialogDriver<QFileDialog> choose([&](QFileDialog* dialog) { chooseFile(dialog, any.fileName()); });
  DialogDriver<QMessageBox> noBox([](QMessageBox* b) { b->button(QMessageBox::Ok)->click(); });
  QTest::mouseClick(control<QPushButton>("btnSave"), Qt::LeftButton);
  QCOMPARE(choose.handled, 1);
  QTRY_COMPARE_WITH_TIMEOUT(
      log().last(), "Save not sent: " + any.fileName() + " holds 1 bytes, fewer than the length 61184",
      kWait);
  QCOMPARE(logger->Commands().size(), commands);
  QCOMPARE(noBox.handled, 0);
}

// After an up-to-date check the firmware image is still loaded; a console Save sends the first
// length bytes of the chosen file, never the image.
void WindowTest::consoleSaveSendsTheChosenFile() {
  velmora::Options options = loggerOptions("VLM12345");
  options.software = "V1.11";
  auto logger = attach(options, "one");
  open();
  waitConnected();
  DialogDriver<QMessageBox> upToDate([](QMessageBox* b) { b->button(QMessageBox::Ok)->click(); });
  QTest::mouseClick(control<QPushButton>("btnUpdate"), Qt::LeftButton);
  QTRY_COMPARE_WITH_TIMEOUT(upToDate.handled, 1, kWait);

  QTemporaryDir dir;
  QFile file(dir.filePath("patch.bin"));
  QVERIFY(file.open(QIODevice::WriteOnly));
  QByteArray content;
  for (int i = 0; i < 150; ++i) content.append(static_cast<char>(0xA0 ^ i));
  file.write(content);
  file.close();
  const std::vector<uint8_t> before = logger->Memory();
  DialogDriver<QFileDialog> choose([&](QFileDialog* dialog) { chooseFile(dialog, file.fileName()); });
  upToDate.rearm();  // any box from here on ("Update failed") is a failure
  control<QLineEdit>("edAddress")->setText("0");
  control<QLineEdit>("edLength")->setText("100");
  QTest::mouseClick(control<QPushButton>("btnSave"), Qt::LeftButton);
  QCOMPARE(count(logger->Commands(), "mem.save=0,100"), 1);
  QTRY_VERIFY_WITH_TIMEOUT(logHas("DBG>>>mem.save done, 100 bytes"), kWait);
  std::vector<uint8_t> expected = before;
  std::copy(content.begin(), content.begin() + 100, expected.begin());
  QVERIFY(logger->Memory() == expected);
  QCOMPARE(count(logger->Commands(), "firmware.check"), 0);
  QCOMPARE(upToDate.handled, 1);
}

void WindowTest::consoleShortcut() {
  open();
  QApplication::setActiveWindow(window.get());
  QVERIFY(QTest::qWaitForWindowActive(window.get()));
  QVERIFY(!control<QWidget>("pnlDebug")->isVisible());
  QTest::keyClick(window.get(), Qt::Key_D, Qt::ControlModifier | Qt::ShiftModifier);
  QTRY_VERIFY_WITH_TIMEOUT(control<QWidget>("pnlDebug")->isVisible(), kWait);
  QCOMPARE(outerClientHeight(), 724);
  QCOMPARE(control<QWidget>("pnlDebug")->geometry(), QRect(8, 456, 617, 209));
}

// A console command that got no answer leaves its flag set; Download, Firmware Update and Set Time
// clear it before they send, so that their answer is acted on.
void WindowTest::operationsClearTheTypedCommandsFlag() {
  auto logger = attach(loggerOptions("VLM12345"), "one");
  open();
  waitConnected();
  logger->Stall(velmora::kEpIn, true);  // no answer clears the flag meanwhile
  for (void (TfrmMain::*click)() :
       {&TfrmMain::btnDownloadClick, &TfrmMain::btnUpdateClick, &TfrmMain::spbDateClick}) {
    LinkAccess(*window->usb).rawCommand() = true;
    (window.get()->*click)();
    QVERIFY(!LinkAccess(*window->usb).rawCommand());
  }
  // Firmware Update asks for the record count first; its answer never came.
  QCOMPARE(count(logger->Commands(), "mem.used"), 2);
}

void WindowTest::linesStayOneLine() {
  open();
  QTRY_VERIFY_WITH_TIMEOUT(logHas("No Velmora found"), kWait);
  window->infoMsg("typed\r\nDownload finished\x1B[2J");
  window->responseLine("answer\nDevice disconnected!");
  QTRY_COMPARE_WITH_TIMEOUT(log().last(), QString("typed\\x0D\\x0ADownload finished\\x1B[2J"), kWait);
  QTRY_COMPARE_WITH_TIMEOUT(response().split('\n').last(), QString("answer\\x0ADevice disconnected!"), kWait);
  QVERIFY(!logHas("Download finished"));
}

// The dump's dialog offers no file name (not the measurements' one) and asks before it replaces a file.
void WindowTest::dumpAsksBeforeReplacing() {
  auto logger = attach(loggerOptions("VLM12345"), "one");
  open();
  waitConnected();
  QTemporaryDir dir;
  const QString measurements = dir.filePath("messung.csv");
  DialogDriver<QFileDialog> csv([&](QFileDialog* dialog) { chooseFile(dialog, measurements); });
  std::string path;
  QVERIFY(window->saveDialog(path));  // the name a CSV download chose last
  QFile file(measurements);
  QVERIFY(file.open(QIODevice::WriteOnly));
  file.write("measurements");
  file.close();

  QStringList offered;
  bool replace = false;
  DialogDriver<QFileDialog> dump([&](QFileDialog* dialog) {
    offered << dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->text();
    chooseFile(dialog, measurements);
    if (dialog->isVisible()) cancelFile(dialog);  // "No": the dialog stayed open
  });
  QString question;
  DialogDriver<QMessageBox> box([&](QMessageBox* b) {
    question = b->text();
    b->button(replace ? QMessageBox::Yes : QMessageBox::No)->click();
  });
  control<QLineEdit>("edAddress")->setText("0");
  control<QLineEdit>("edLength")->setText("4096");
  QTest::mouseClick(control<QPushButton>("btnLoad"), Qt::LeftButton);
  QTRY_VERIFY_WITH_TIMEOUT(logHas("Abort"), kWait);
  QCOMPARE(box.handled, 1);
  QVERIFY2(question.contains("already exists"), qPrintable(question));
  QVERIFY(file.open(QIODevice::ReadOnly));
  QCOMPARE(file.readAll(), QByteArray("measurements"));
  file.close();

  replace = true;
  dump.rearm();
  box.rearm();
  QTest::mouseClick(control<QPushButton>("btnLoad"), Qt::LeftButton);
  QTRY_VERIFY_WITH_TIMEOUT(logHas("Download finished"), kWait);
  QCOMPARE(box.handled, 2);
  QCOMPARE(offered, (QStringList{"", ""}));
  QVERIFY(file.open(QIODevice::ReadOnly));
  QCOMPARE(file.size(), 4096);
}

QTEST_MAIN(WindowTest)
#include "WindowTest.moc"
