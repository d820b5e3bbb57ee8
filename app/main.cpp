// Program entry: the application object, the main window, the message loop.
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "AppStyle.h"
#include "PlainText.h"
#include "Umain.h"
#include "Version.h"
#include "data/LocaleFormat.h"
#include "data/RegionalFormat.h"
#include "link/LoggerSources.h"

namespace {

void showException(const char* what) {
  plaintext::messageBox(QApplication::activeWindow(), QMessageBox::Critical, QApplication::applicationName(),
                        QString::fromLocal8Bit(what ? what : "Unknown exception"));
}

// An exception thrown by a handler is shown and the program carries on, instead of unwinding
// through Qt's event loop.
class Application : public QApplication {
 public:
  using QApplication::QApplication;
  bool notify(QObject* receiver, QEvent* event) override {
    try {
      return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
      showException(e.what());
    } catch (...) {
      showException(nullptr);
    }
    return false;
  }
};

const char kUsage[] =
    "Usage: tarnwick [--help] [--version] [Qt options]\n"
    "\n"
    "The window for Velmora humidity and temperature data loggers: it connects to an attached logger\n"
    "and downloads its records into a CSV file and the measurement history, sets its clock and updates\n"
    "its firmware. It needs a display; tarnwick-cli does the same work without one.\n"
    "\n"
    "  -h, --help     this text\n"
    "  --version      the program's version\n"
    "  Qt options     for instance -platform offscreen, -style Fusion\n"
    "\n"
    "Environment: TARNWICK_LOG_FILE (a copy of the log), VELMORA_RUN_DIR (virtual loggers),\n"
    "LC_ALL/LC_TIME/LC_NUMERIC/LANG (the CSV file's regional formats), QT_QPA_PLATFORM. See tarnwick(1).\n";

// What Qt says while it opens the display. Without one it warns and then aborts; the program says so
// in one line and ends with a status instead. Other words are passed on once the window system is up.
std::vector<std::string> g_startupMessages;

void startupMessage(QtMsgType type, const QMessageLogContext&, const QString& text) {
  if (type != QtFatalMsg) {
    g_startupMessages.push_back(text.toLocal8Bit().toStdString());
    return;
  }
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  std::string reason;
  if ((display == nullptr || *display == '\0') && (wayland == nullptr || *wayland == '\0')) {
    reason = "no display (neither DISPLAY nor WAYLAND_DISPLAY is set)";
  } else {
    reason = "the display cannot be opened (" +
             (g_startupMessages.empty() ? text.toLocal8Bit().toStdString() : g_startupMessages.front()) + ")";
  }
  for (char& c : reason) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  std::fprintf(stderr, "tarnwick: %s; tarnwick-cli works without one\n", reason.c_str());
  std::fflush(stderr);
  _exit(1);
}

}  // namespace

int main(int argc, char* argv[]) {
  // Answered before anything of the window system is touched: no display needed.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("tarnwick %s\n", TARNWICK_VERSION);
      return std::fflush(stdout) == 0 ? 0 : 1;
    }
  }
  QtMessageHandler previous = qInstallMessageHandler(startupMessage);
  Application app(argc, argv);
  qInstallMessageHandler(previous);
  for (const std::string& message : g_startupMessages) qWarning("%s", message.c_str());
  g_startupMessages.clear();
  QApplication::setApplicationName(QStringLiteral("Tarnwick"));
  QApplication::setApplicationVersion(QStringLiteral(TARNWICK_VERSION));
  QApplication::setDesktopFileName(QStringLiteral("tarnwick"));
  QApplication::setWindowIcon(appstyle::applicationIcon());
  posixlocale::Locale locale;
  posixlocale::readLocale(locale);  // a locale the machine lacks leaves the C locale's data
  setExportFormat(posixlocale::regionalFormat(locale));
  // Virtual loggers (velmora-sim processes) and real ones on the USB bus, until the window is gone.
  const LoggerSources loggers;
  try {
    TfrmMain window;
    window.show();
    app.exec();
  } catch (const std::exception& e) {
    showException(e.what());
  } catch (...) {
    showException(nullptr);
  }
  return 0;
}
