// Program entry: the application object, the main window, the message loop.
#include <QApplication>
#include <QMessageBox>
#include <exception>

#include "AppStyle.h"
#include "LocaleFormat.h"
#include "PlainText.h"
#include "Umain.h"
#include "data/RegionalFormat.h"
#include "platform/usbdrv/socket_source.h"
#ifdef TARNWICK_HAVE_LIBUSB
#include "platform/usbdrv/libusb_source.h"
#endif

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

}  // namespace

int main(int argc, char* argv[]) {
  Application app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tarnwick"));
  QApplication::setApplicationVersion(QStringLiteral("1.3.0.16"));
  QApplication::setDesktopFileName(QStringLiteral("tarnwick"));
  QApplication::setWindowIcon(appstyle::applicationIcon());
  setExportFormat(localeformat::regionalFormat(localeformat::readPosixLocale()));
  // Virtual loggers (velmora-sim processes) are attached devices of the program's USB driver.
  usbdrv::EnableVirtualLoggers();
#ifdef TARNWICK_HAVE_LIBUSB
  // Real loggers on the USB bus, listed before the virtual ones.
  usbdrv::EnableHardwareLoggers();
#endif
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
