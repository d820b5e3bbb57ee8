#include "PlainText.h"

#include <QLabel>

namespace plaintext {

QString toolTip(const QString& text) {
  if (text.isEmpty()) return text;
  // Escaped, and marked as rich text so that the escapes are not shown themselves.
  return QStringLiteral("<p style='white-space:pre'>%1</p>").arg(text.toHtmlEscaped());
}

void makePlain(QMessageBox& box) {
  box.setTextFormat(Qt::PlainText);
  for (QLabel* label : box.findChildren<QLabel*>()) {
    label->setTextFormat(Qt::PlainText);
    label->setOpenExternalLinks(false);
  }
}

int messageBox(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text) {
  QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
  makePlain(box);
  return box.exec();
}

}  // namespace plaintext
