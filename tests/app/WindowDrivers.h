// What the window tests do as a user would: answer the dialogs the window opens.
#pragma once

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <functional>
#include <type_traits>

// Acts on the first visible top-level widget of type T once it shows up, from the event loop (so
// also while a modal dialog runs its own loop).
template <typename T>
class DialogDriver {
 public:
  explicit DialogDriver(std::function<void(T*)> action) : action_(std::move(action)) {
    timer_.setInterval(20);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      for (QWidget* widget : QApplication::topLevelWidgets()) {
        T* dialog = qobject_cast<T*>(widget);
        if (!dialog || !dialog->isVisible()) continue;
        timer_.stop();
        ++handled;
        action_(dialog);
        // An action that failed has left its dialog open: closed here, the test ends with that failure
        // instead of waiting in exec() until the watchdog aborts the whole program.
        if constexpr (std::is_base_of_v<QDialog, T>) {
          if (QTest::currentTestFailed() && dialog->isVisible()) dialog->reject();
        }
        return;
      }
    });
    timer_.start();
  }
  // Ready for the next dialog of the kind.
  void rearm() { timer_.start(); }
  int handled = 0;

 private:
  std::function<void(T*)> action_;
  QTimer timer_;
};

// Types a file name into Qt's file dialog and presses Enter, as a user does: once the dialog has the
// focus. Text the edit takes without it leaves the file the dialog offered selected in its list, and
// that selection wins; a busy machine activates the dialog late.
inline void chooseFile(QFileDialog* dialog, const QString& path) {
  constexpr int kActiveWait = 60000;
  auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
  QVERIFY(edit);
  QVERIFY(QTest::qWaitForWindowActive(dialog, kActiveWait));
  edit->setFocus();
  QTRY_VERIFY_WITH_TIMEOUT(edit->hasFocus(), kActiveWait);
  edit->setText(path);
  QTest::keyClick(edit, Qt::Key_Return);
}

inline void cancelFile(QFileDialog* dialog) {
  auto* box = dialog->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
  QVERIFY(box);
  box->button(QDialogButtonBox::Cancel)->click();
}
