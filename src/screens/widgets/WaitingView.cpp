// The waiting sign.
#include "screens/widgets/WaitingView.h"

#include <QPainter>
#include <QPainterPath>

#include "screens/ControlRules.h"

namespace qv::screens {

WaitingView::WaitingView(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_TranslucentBackground);
  connect(&timer_, &QTimer::timeout, this, [this] { setCounter(waitingCounterAfter(counter_)); });
  timer_.start(200);
}

void WaitingView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const double w = width(), h = height();
  const double triangleHeight = 43.30127018922193;  // 50 × sin 60°
  // Drawn with y growing downwards: the apex is at the top.
  const QPointF a((w - 50) / 2, (h + triangleHeight) / 2), b((w + 50) / 2, a.y()), c(w / 2, (h - triangleHeight) / 2);
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  for (const QPointF& corner : {a, b, c}) p.drawEllipse(QRectF(corner.x() - 7, corner.y() - 7.5, 15, 15));
  const WaitingSides lit = waitingSidesLit(counter_);
  QPen pen(Qt::white, 8);
  pen.setCapStyle(Qt::FlatCap);
  p.setPen(pen);
  const double dx = 5.5, dy = 9.526279441628825;
  if (lit.base) p.drawLine(QPointF(a.x() + 11, a.y()), QPointF(b.x() - 11, a.y()));
  if (lit.left) p.drawLine(QPointF(a.x() + dx, a.y() - dy), QPointF(c.x() - dx, c.y() + dy));
  if (lit.right) p.drawLine(QPointF(c.x() + dx, c.y() + dy), QPointF(b.x() - dx, b.y() - dy));
}

}  // namespace qv::screens
