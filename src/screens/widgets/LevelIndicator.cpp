// The progress bar.
#include "screens/widgets/LevelIndicator.h"

#include <QPaintEvent>
#include <QPainter>

#include "screens/widgets/QtColours.h"

namespace qv::screens {

LevelIndicator::LevelIndicator(QWidget* parent) : QWidget(parent) {}

void LevelIndicator::setValue(double value) {
  value_ = value;
  update();
}
void LevelIndicator::setMaxValue(double max) {
  max_ = max;
  update();
}

void LevelIndicator::paintEvent(QPaintEvent* event) {
  QPainter p(this);
  p.fillRect(event->rect(), accentGreenColour());
  p.setPen(QPen(Qt::white, 2.0));
  p.drawRect(QRectF(rect()).adjusted(1, 1, -1, -1));
  const QRectF inner = QRectF(rect()).adjusted(4, 4, -4, -4);
  const double bar = levelIndicatorBarWidth(value_, max_, width());
  p.fillRect(QRectF(inner.topLeft(), QSizeF(bar, inner.height())), Qt::white);
}

}  // namespace qv::screens
