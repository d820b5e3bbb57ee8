// The measurements window: a logger's history or an opened file as a chart over time, with the
// statistics and the records of the range in view, and its exports (CSV, PNG, PDF report).
#pragma once

#include <QWidget>
#include <vector>

namespace history {
class Store;
struct StoredRecord;
}  // namespace history

class MeasurementsWindow : public QWidget {
  Q_OBJECT
 public:
  // `store` may be null when no history is available; the window does not own it and uses it on the
  // GUI thread only.
  explicit MeasurementsWindow(history::Store* store, QWidget* parent = nullptr);
  ~MeasurementsWindow() override;

  // A logger of the history, by its serial number as the logger reports it ("VLM12345").
  void showLogger(const QString& logger);
  // Records that come from an opened file, shown under `title` (the file's name).
  void showRecords(const QString& title, const std::vector<history::StoredRecord>& records);
  // A download of `logger` was imported: what is shown is read again if it concerns that logger.
  void historyChanged(const QString& logger);
};
