// The limits of a logger of the history, or of one of its sensors: temperature and humidity bounds
// (each optional), the alarm delay and rule. What is typed is checked with the history's parsers and
// stored only when all of it is valid; every change is recorded in the history with who made it and,
// for limits that are set already, the reason typed for it (needed then).
#pragma once

#include <QDialog>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "history/History.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

class LimitsDialog : public QDialog {
  Q_OBJECT
 public:
  // `store` is the window's connection (GUI thread); `sensors` those the logger's records have.
  LimitsDialog(history::Store* store, const QString& logger, const std::vector<uint16_t>& sensors,
               QWidget* parent = nullptr);

  // Checks what is typed and stores it for the chosen sensor (or the whole logger). False, with the
  // reason shown in the dialog and nothing stored, when any of it is refused or the history fails.
  bool save();
  // Removes the chosen row: a sensor then takes the logger's limits again.
  bool remove();
  QString errorText() const;

 private:
  void rowChosen();
  std::optional<uint16_t> chosenSensor() const;
  std::string reasonText() const;  // UTF-8
  void showError(const QString& text);

  history::Store* store_;
  std::string logger_;
  std::vector<history::LimitsRow> rows_;
  QComboBox* appliesTo_;
  QLineEdit *temperatureLow_, *temperatureHigh_, *humidityLow_, *humidityHigh_, *delay_;
  QComboBox* rule_;
  QLineEdit* reason_;
  QLabel* note_;
  QLabel* error_;
  QPushButton* remove_;
};
