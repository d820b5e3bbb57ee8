#include "AppStyle.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

static void initResources() {
  Q_INIT_RESOURCE(tarnwick);
}

namespace appstyle {

QFont classicFont(int pixelHeight) {
  const QString classic = QStringLiteral("MS Sans Serif");
  static const bool installed = QFontDatabase::families().contains(classic);
  if (installed) {
    QFont font(classic);
    font.setPixelSize(pixelHeight);
    return font;
  }
  // The layouts' label and button widths were measured in the classic font ("Send Command" is 75
  // pixels wide at 11 pixels). A wider substitute keeps the height and is narrowed until its text
  // fits the same room.
  QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setPixelSize(pixelHeight);
  const QString sample = QStringLiteral("Send Command");
  const int room = 75 * pixelHeight / 11;
  for (int stretch = 100; stretch >= 75; stretch -= 1) {
    font.setStretch(stretch);
    if (QFontMetrics(font).horizontalAdvance(sample) <= room) break;
  }
  return font;
}

namespace {

// The arrow on a 16 x 16 grid: a head from (8,1) down to the corners (2,8) and (14,8), a shaft 4 wide.
QPainterPath arrowPath() {
  QPainterPath path;
  path.moveTo(8, 1.5);
  path.lineTo(14, 8);
  path.lineTo(10, 8);
  path.lineTo(10, 14.5);
  path.lineTo(6, 14.5);
  path.lineTo(6, 8);
  path.lineTo(2, 8);
  path.closeSubpath();
  return path;
}

QPixmap arrowPixmap(bool enabled, qreal scale) {
  QPixmap pixmap(QSize(16, 16) * scale);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.scale(scale, scale);
  if (enabled) {
    painter.setPen(QPen(QColor(128, 0, 0), 1));
    painter.setBrush(QColor(230, 0, 0));
  } else {
    painter.setPen(QPen(QColor(128, 128, 128), 1));
    painter.setBrush(Qt::NoBrush);
  }
  painter.drawPath(arrowPath());
  return pixmap;
}

}  // namespace

QIcon setTimeIcon() {
  QIcon icon;
  for (qreal scale : {1.0, 2.0}) {
    icon.addPixmap(arrowPixmap(true, scale), QIcon::Normal);
    icon.addPixmap(arrowPixmap(true, scale), QIcon::Active);
    icon.addPixmap(arrowPixmap(false, scale), QIcon::Disabled);
  }
  return icon;
}

QIcon applicationIcon() {
  initResources();
  return QIcon(QStringLiteral(":/tarnwick.png"));
}

}  // namespace appstyle
