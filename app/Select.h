// The dialog in which the user picks one of several loggers by its serial number.
#pragma once

#include <QDialog>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <vector>

namespace Ui {
class TfrmSelect;
}

class TfrmSelect : public QDialog {
  Q_OBJECT
 public:
  explicit TfrmSelect(QWidget* owner);
  ~TfrmSelect() override;

  // Shows the serial numbers in the given order with the first one selected, waits for the user and
  // returns the chosen number, or -1 for CANCEL. result() tells the two apart: Accepted only for OK,
  // so a logger whose serial number reads -1 can still be chosen. `shownAs`, one per number, is how
  // each logger shows its serial ("VLM70001"); without it the numbers are shown.
  int32_t selectSerial(std::vector<int32_t> list, const QStringList& shownAs = {});

  std::vector<int32_t> serials;

 public slots:
  void btnOKClick();
  void btnCANCELClick();

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  std::unique_ptr<Ui::TfrmSelect> ui;
  int32_t chosen_ = -1;
};
