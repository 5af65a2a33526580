// The application's icon: a green disc with a turntable, an object and the two laser lines.
#include "screens/widgets/AppIcon.h"

#include <QPainter>
#include <QPainterPath>

#include "screens/widgets/QtColours.h"

namespace qv::screens {

QPixmap appIconPixmap(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 64.0, size / 64.0);
  p.setPen(Qt::NoPen);
  p.setBrush(accentGreenColour());
  p.drawRoundedRect(QRectF(2, 2, 60, 60), 14, 14);
  p.setBrush(Qt::white);
  p.drawEllipse(QRectF(12, 44, 40, 10));
  QPainterPath object;
  object.moveTo(26, 48);
  object.cubicTo(20, 38, 23, 28, 28, 22);
  object.lineTo(36, 22);
  object.cubicTo(41, 28, 44, 38, 38, 48);
  object.closeSubpath();
  p.setBrush(QColor(255, 255, 255, 210));
  p.drawPath(object);
  p.setPen(QPen(QColor(255, 64, 64), 2.2, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(12, 10), QPointF(30, 36));
  p.drawLine(QPointF(52, 10), QPointF(34, 36));
  return pixmap;
}

QIcon appIcon() {
  QIcon icon;
  for (int size : {16, 32, 48, 64, 128, 256}) icon.addPixmap(appIconPixmap(size));
  return icon;
}

}  // namespace qv::screens
