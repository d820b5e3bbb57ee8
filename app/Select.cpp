#include "Select.h"

#include <QKeyEvent>

#include "AppStyle.h"
#include "ui_Select.h"

TfrmSelect::TfrmSelect(QWidget* owner) : QDialog(owner), ui(new Ui::TfrmSelect) {
  ui->setupUi(this);
  setFont(appstyle::classicFont(11));
  ui->Label1->setFont(appstyle::classicFont(13));
  setFixedSize(size());
  move(489, 474);
  connect(ui->btnOK, &QPushButton::clicked, this, &TfrmSelect::btnOKClick);
  connect(ui->btnCANCEL, &QPushButton::clicked, this, &TfrmSelect::btnCANCELClick);
}

TfrmSelect::~TfrmSelect() = default;

int32_t TfrmSelect::selectSerial(std::vector<int32_t> list, const QStringList& shownAs) {
  serials = std::move(list);
  const bool named = shownAs.size() == static_cast<qsizetype>(serials.size());
  for (size_t i = 0; i < serials.size(); ++i) {
    auto* item = new QListWidgetItem(named ? shownAs[static_cast<qsizetype>(i)] : QString::number(serials[i]),
                                     ui->ListBox1);
    item->setSizeHint(QSize(0, 13));
  }
  if (!serials.empty()) ui->ListBox1->setCurrentRow(0);
  ui->ListBox1->setFocus();
  chosen_ = -1;
  // Closing through the window frame rejects the dialog and so counts as CANCEL.
  exec();
  return result() == QDialog::Accepted ? chosen_ : -1;
}

void TfrmSelect::btnOKClick() {
  int row = ui->ListBox1->currentRow();
  if (row < 0 || row >= static_cast<int>(serials.size())) return;  // nothing selected: stay open
  chosen_ = serials[static_cast<size_t>(row)];
  accept();
}

void TfrmSelect::btnCANCELClick() {
  chosen_ = -1;
  reject();
}

void TfrmSelect::keyPressEvent(QKeyEvent* event) {
  // Neither button is the default or the cancel button: Enter and Escape do not close the dialog.
  switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
      event->accept();
      return;
    default:
      QDialog::keyPressEvent(event);
  }
}
