// View > Loggers: every logger the history holds, one row each with its name and place, read off the
// GUI thread. A double-click (or Enter) on a row asks for that logger's measurements; Name and place
// gives the selected logger a name and a place (each change recorded in the history).
#pragma once

#include <QFutureWatcher>
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "JobThread.h"
#include "history/History.h"

class QLabel;
class QPushButton;
class QTableWidget;

class LoggersWindow : public QWidget {
  Q_OBJECT
 public:
  // `path`: the history it reads, with a connection of its own.
  explicit LoggersWindow(const std::string& path, QWidget* parent = nullptr);
  ~LoggersWindow() override;

  // Reads the summaries again (a download was imported, or the history moved to `path`).
  void refresh();
  void setHistoryPath(const std::string& path);
  bool isLoading() const { return loading_; }
  QTableWidget* table() const { return table_; }
  // The loggers of the selected rows, in the order shown.
  QStringList selectedLoggers() const;

 signals:
  // A row was double-clicked or Enter pressed on it.
  void openLogger(const QString& logger);
  // Compare: the selected loggers on one chart.
  void compareLoggers(const QStringList& loggers);
  // The rows show the history as read, or the status line says why they cannot.
  void loaded();

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  struct Result {
    std::vector<history::LoggerSummary> rows;
    QString error;
    int64_t now = 0;
  };
  void loadFinished();
  void fill(const Result& result);
  // Name and place of the selected logger: a dialog, the change written off the GUI thread.
  void editLabel();

  std::string path_;
  std::shared_ptr<history::Store> reader_;
  JobThread readerThread_;  // one thread: the reader's connection stays on it
  QFutureWatcher<Result> watcher_;
  bool loading_ = false;
  bool again_ = false;
  QTableWidget* table_;
  QLabel* status_;
  QPushButton* compare_;
  QPushButton* label_;
};
