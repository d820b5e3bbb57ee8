// Text from outside the program (file names and contents, serial numbers, the logger's answers) is
// shown as it is. Qt's labels, message boxes and tool tips guess between plain and rich text, and
// would render markup in such text, live links included.
#pragma once

#include <QMessageBox>
#include <QString>

namespace plaintext {

// A tool tip that shows `text` literally, line breaks kept.
QString toolTip(const QString& text);

// Every text of `box` (text, informative text) is shown literally. Call it once the texts are set.
void makePlain(QMessageBox& box);

// A modal box with an OK button whose texts are shown literally.
int messageBox(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text);

}  // namespace plaintext
