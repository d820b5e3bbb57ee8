#include "MeasurementsWindow.h"

// The first shape of the window: the chart, statistics, table and exports come in next.
MeasurementsWindow::MeasurementsWindow(history::Store* store, QWidget* parent) : QWidget(parent, Qt::Window) {
  (void)store;
  setWindowTitle(tr("Measurements"));
}

MeasurementsWindow::~MeasurementsWindow() = default;

void MeasurementsWindow::showLogger(const QString& logger) {
  setWindowTitle(tr("Measurements: %1").arg(logger));
}

void MeasurementsWindow::showRecords(const QString& title,
                                     const std::vector<history::StoredRecord>& records) {
  (void)records;
  setWindowTitle(tr("Measurements: %1").arg(title));
}

void MeasurementsWindow::historyChanged(const QString& logger) {
  (void)logger;
}
