// Fonts and images of the windows.
#pragma once

#include <QFont>
#include <QIcon>

namespace appstyle {

// The dialog font of the layouts ("MS Sans Serif") at a pixel height, or the system's sans serif
// font at that height where it is not installed.
QFont classicFont(int pixelHeight);
// The Set Time button's image: a red upward arrow, a grey outline when the button is disabled.
QIcon setTimeIcon();
// The program's icon (embedded resource).
QIcon applicationIcon();

}  // namespace appstyle
