// The main window's menu bar: File (open, recent files, the history's location, quit), Logger (the
// operations of the buttons, the service console), View (measurements, loggers, log filters) and Help
// (texts among the resources).
#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdlib>

#include "LogPane.h"
#include "LoggersWindow.h"
#include "MeasurementsWindow.h"
#include "PlainText.h"
#include "Umain.h"
#include "Version.h"
#include "history/Backend.h"
#include "history/History.h"
#include "ui_Umain.h"

namespace {

constexpr int kRecentFiles = 8;
const QString kRecentKey = QStringLiteral("recentFiles");
const QString kHistoryKey = QStringLiteral("historyLocation");

QSettings settings() {
  return QSettings(QStringLiteral("tarnwick"), QStringLiteral("tarnwick"));
}

}  // namespace

void TfrmMain::buildMenus() {
  auto action = [this](QMenu* menu, const QString& name, const QString& text) {
    QAction* a = menu->addAction(text);
    a->setObjectName(name);
    addAction(a);  // its shortcut works wherever the focus is in the window
    return a;
  };

  QMenu* file = menuBar_->addMenu(tr("&File"));
  QAction* open = action(file, QStringLiteral("actOpenMeasurements"), tr("&Open Measurements\u2026"));
  open->setShortcut(QKeySequence::Open);
  connect(open, &QAction::triggered, this, &TfrmMain::openMeasurementsDialog);
  recentMenu_ = file->addMenu(tr("&Recent Files"));
  recentMenu_->setObjectName(QStringLiteral("mnuRecent"));
  connect(file, &QMenu::aboutToShow, this, &TfrmMain::fillRecentMenu);
  file->addSeparator();
  connect(action(file, QStringLiteral("actHistoryLocation"), tr("&History Location\u2026")),
          &QAction::triggered, this, &TfrmMain::chooseHistoryLocation);
  file->addSeparator();
  QAction* quit = action(file, QStringLiteral("actQuit"), tr("&Quit"));
  quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  connect(quit, &QAction::triggered, this, &QWidget::close);

  QMenu* logger = menuBar_->addMenu(tr("&Logger"));
  actDownload_ = action(logger, QStringLiteral("actDownload"), tr("&Download Data"));
  connect(actDownload_, &QAction::triggered, this, &TfrmMain::btnDownloadClick);
  actSetTime_ = action(logger, QStringLiteral("actSetTime"), tr("Set &Time"));
  connect(actSetTime_, &QAction::triggered, this, &TfrmMain::spbDateClick);
  actUpdate_ = action(logger, QStringLiteral("actFirmwareUpdate"), tr("&Firmware Update"));
  connect(actUpdate_, &QAction::triggered, this, &TfrmMain::btnUpdateClick);
  connect(action(logger, QStringLiteral("actSetLimits"), tr("Set &Limits\u2026")), &QAction::triggered, this,
          &TfrmMain::setLoggerLimits);
  logger->addSeparator();
  actConsole_ = action(logger, QStringLiteral("actServiceConsole"), tr("&Service Console"));
  actConsole_->setCheckable(true);
  actConsole_->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_D));
  connect(actConsole_, &QAction::triggered, this, [this] {
    if (ui->pnlDebug->isVisible()) {
      hideServiceConsole();
    } else {
      showServiceConsole();
    }
  });

  QMenu* view = menuBar_->addMenu(tr("&View"));
  QAction* measurements = action(view, QStringLiteral("actMeasurements"), tr("&Measurements"));
  measurements->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
  connect(measurements, &QAction::triggered, this, [this] { showMeasurements(); });
  QAction* loggers = action(view, QStringLiteral("actLoggers"), tr("&Loggers"));
  loggers->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
  connect(loggers, &QAction::triggered, this, [this] { showLoggers(); });
  view->addSeparator();
  QAction* protocol = action(view, QStringLiteral("actHideProtocol"), tr("Hide &Protocol Lines"));
  protocol->setCheckable(true);
  protocol->setToolTip(tr("Hide the commands, the logger's answers and its debug lines (DBG>>>) in the log"));
  connect(protocol, &QAction::toggled, log_, &LogPane::setHideProtocol);
  QAction* records = action(view, QStringLiteral("actHideRecords"), tr("Hide &Record Lines"));
  records->setCheckable(true);
  records->setToolTip(tr("Hide the line per downloaded record in the log"));
  connect(records, &QAction::toggled, log_, &LogPane::setHideRecords);

  // The help texts are HTML files among the program's resources, read when their item is chosen.
  QMenu* help = menuBar_->addMenu(tr("&Help"));
  connect(action(help, QStringLiteral("actHelpCsv"), tr("The &CSV File")), &QAction::triggered, this,
          [this] { showHelp(tr("The CSV File"), helpText(QStringLiteral("csv"))); });
  connect(action(help, QStringLiteral("actHelpLoggers"), tr("Real &Loggers")), &QAction::triggered, this,
          [this] { showHelp(tr("Real Loggers"), helpText(QStringLiteral("loggers"))); });
  help->addSeparator();
  connect(action(help, QStringLiteral("actAbout"), tr("&About Tarnwick")), &QAction::triggered, this, [this] {
    showHelp(tr("About Tarnwick"),
             helpText(QStringLiteral("about"))
                 .arg(QStringLiteral(TARNWICK_VERSION), QString::fromLatin1(qVersion())));
  });
  connect(action(help, QStringLiteral("actAboutQt"), tr("About &Qt")), &QAction::triggered, qApp,
          &QApplication::aboutQt);
}

QString TfrmMain::helpText(const QString& name) {
  QFile file(QStringLiteral(":/help/%1.html").arg(name));
  return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void TfrmMain::showHelp(const QString& title, const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, this);
  box.setTextFormat(Qt::RichText);
  box.exec();
}

QStringList TfrmMain::recentFiles() const {
  QStringList files = settings().value(kRecentKey).toStringList();
  files.erase(
      std::remove_if(files.begin(), files.end(), [](const QString& f) { return !QFileInfo::exists(f); }),
      files.end());
  return files.mid(0, kRecentFiles);
}

void TfrmMain::addRecentFile(const QString& path) {
  QStringList files = recentFiles();
  const QString absolute = QFileInfo(path).absoluteFilePath();
  files.removeAll(absolute);
  files.prepend(absolute);
  settings().setValue(kRecentKey, files.mid(0, kRecentFiles));
}

void TfrmMain::fillRecentMenu() {
  const QStringList files = recentFiles();
  settings().setValue(kRecentKey, files);  // the files that are gone leave the list
  recentMenu_->clear();
  for (int i = 0; i < files.size(); ++i) {
    QString name = QFileInfo(files[i]).fileName().replace(QLatin1Char('&'), QLatin1String("&&"));
    QAction* a = recentMenu_->addAction(QStringLiteral("&%1 %2").arg(i + 1).arg(name));
    a->setToolTip(plaintext::toolTip(files[i]));
    const QString file = files[i];
    connect(a, &QAction::triggered, this, [this, file] { openMeasurementsFile(file); });
  }
  recentMenu_->setEnabled(!files.isEmpty());
}

// ---- The history's location ----

std::string TfrmMain::historyPath() const {
  if (!historyPath_.empty()) return historyPath_;
  const QString chosen = settings().value(kHistoryKey).toString();
  std::string setting;
  if (history::isServerLocation(chosen.toStdString()))
    setting = chosen.toStdString();
  else if (!chosen.isEmpty() && !QFileInfo(chosen).isRelative())
    setting = QFile::encodeName(chosen).toStdString();
  return history::resolveLocation(std::string(), std::getenv("TARNWICK_HISTORY"), setting);
}

void TfrmMain::chooseHistoryLocation() {
  QDialog dialog(this);
  dialog.setObjectName(QStringLiteral("HistoryLocationDialog"));
  dialog.setWindowTitle(tr("History Location"));
  auto* location = new QLineEdit(QString::fromStdString(historyPath()));
  location->setObjectName(QStringLiteral("location"));
  location->setMinimumWidth(420);
  location->setToolTip(tr("The history database file, or a PostgreSQL server (postgresql://user@host/db). "
                          "Empty: the default, %1")
                           .arg(QString::fromStdString(history::Store::defaultPath())));
  auto* browse = new QPushButton(tr("&Browse\u2026"));
  auto* standard = new QPushButton(tr("&Default"));
  connect(browse, &QPushButton::clicked, &dialog, [&dialog, location] {
    QFileDialog files(&dialog, tr("History Location"));
    files.setOption(QFileDialog::DontUseNativeDialog);
    files.setAcceptMode(QFileDialog::AcceptSave);
    files.setOption(QFileDialog::DontConfirmOverwrite);
    files.setNameFilters({tr("History databases (*.sqlite)"), tr("All files (*)")});
    files.selectFile(location->text());
    if (files.exec() == QDialog::Accepted && !files.selectedFiles().isEmpty())
      location->setText(files.selectedFiles().front());
  });
  connect(standard, &QPushButton::clicked, &dialog,
          [location] { location->setText(QString::fromStdString(history::Store::defaultPath())); });
  auto* row = new QHBoxLayout;
  row->addWidget(location, 1);
  row->addWidget(browse);
  row->addWidget(standard);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  auto* layout = new QVBoxLayout(&dialog);
  auto* text =
      new QLabel(tr("The history this window shows and adds every download to. Another user's "
                    "file or a file others may change is refused."));
  text->setWordWrap(true);
  layout->addWidget(text);
  layout->addLayout(row);
  layout->addWidget(buttons);
  if (dialog.exec() != QDialog::Accepted) return;
  setHistoryLocation(location->text().trimmed());
}

void TfrmMain::setHistoryLocation(const QString& location) {
  const QString standard = QString::fromStdString(history::Store::defaultPath());
  const QString chosen = location.isEmpty() || location == standard ? QString() : location;
  const bool server = history::isServerLocation(chosen.toStdString());
  if (!chosen.isEmpty() && !server && QFileInfo(chosen).isRelative()) {
    QMessageBox::warning(this, tr("History Location"),
                         tr("%1 is not a full path; the history stays where it was.").arg(chosen));
    return;
  }
  if (server && history::locationHasPassword(chosen.toStdString())) {
    QMessageBox::warning(this, tr("History Location"),
                         tr("A password is not kept in the settings: put it in ~/.pgpass. The history stays "
                            "where it was."));
    return;
  }
  const std::string before = historyPath();
  if (chosen.isEmpty())
    settings().remove(kHistoryKey);
  else
    settings().setValue(kHistoryKey, chosen);
  const std::string path = historyPath();
  if (path == before) return;
  // The windows that read the old history start again on the new one.
  const bool measurementsShown = measurements_ && measurements_->isVisible();
  delete measurements_;
  store_.reset();
  appendLog(tr("History: %1").arg(QString::fromStdString(history::shownLocation(path))));
  if (loggers_) loggers_->setHistoryPath(path);
  if (measurementsShown) showMeasurements();
}
