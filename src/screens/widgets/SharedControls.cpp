// The small shared views.
#include "screens/widgets/SharedControls.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QWheelEvent>

#include "screens/widgets/QtColours.h"

namespace qv::screens {

HudButton::HudButton(const QString& title, QWidget* parent) : QPushButton(title, parent) { setFlat(true); }

void HudButton::mouseDoubleClickEvent(QMouseEvent* event) { event->accept(); }

void HudButton::paintEvent(QPaintEvent*) {
  QStylePainter p(this);
  QStyleOptionButton option;
  initStyleOption(&option);
  // White, and half transparent while disabled.
  option.palette.setColor(QPalette::ButtonText, QColor::fromRgbF(1, 1, 1, isEnabled() ? 1.0f : 0.5f));
  p.drawControl(QStyle::CE_PushButton, option);
}

ClickTableView::ClickTableView(QWidget* parent) : QTableView(parent) {
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::SingleSelection);
}

void ClickTableView::mousePressEvent(QMouseEvent* event) {
  const int row = rowAt(event->position().toPoint().y());  // before the base moves anything
  QTableView::mousePressEvent(event);
  if (row >= 0) emit didClickRow(row);
}

void ClickTableView::focusInEvent(QFocusEvent* event) {
  QTableView::focusInEvent(event);
  QPalette p = palette();
  p.setColor(QPalette::Highlight, accentGreenColour());
  setPalette(p);
}

void ClickTableView::focusOutEvent(QFocusEvent* event) {
  QTableView::focusOutEvent(event);
  QPalette p = palette();
  p.setColor(QPalette::Highlight, Qt::white);
  p.setColor(QPalette::HighlightedText, palette().color(QPalette::Text));
  setPalette(p);
}

void NotificationSlider::mouseReleaseEvent(QMouseEvent* event) {
  QSlider::mouseReleaseEvent(event);
  emit mouseClicked();
}

void NotificationTextField::focusInEvent(QFocusEvent* event) {
  QLineEdit::focusInEvent(event);
  emit didBecomeFirstResponder();
}

NonInteractiveLabel::NonInteractiveLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
  setAttribute(Qt::WA_TransparentForMouseEvents);
}

void PassiveScrollArea::wheelEvent(QWheelEvent* event) {
  if (active_)
    QApplication::sendEvent(active_->viewport(), event);
  else
    QAbstractScrollArea::wheelEvent(event);
}

bool OpaqueView::event(QEvent* event) {
  switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::MouseButtonRelease:
    case QEvent::Wheel:
      event->accept();
      return true;
    default:
      return QWidget::event(event);
  }
}

void WindowBackgroundView::paintEvent(QPaintEvent*) { QPainter(this).fillRect(rect(), accentGreenColour()); }

PointSelectionOverlayView::PointSelectionOverlayView(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setAttribute(Qt::WA_TranslucentBackground);
}

void PointSelectionOverlayView::addPoint(double x, double y, double radius) {
  const auto r = model_.addPoint(x, y, radius);
  update(QRectF(r.x, r.y, r.width, r.height).toAlignedRect().adjusted(-1, -1, 1, 1));
}

void PointSelectionOverlayView::removeAllPoints() {
  model_.removeAllPoints();
  update();
}

void PointSelectionOverlayView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  QPainterPath path;
  for (const auto& point : model_.visiblePoints())
    path.addEllipse(QRectF(point.x - point.radius, point.y - point.radius, 2 * point.radius, 2 * point.radius));
  p.fillPath(path, QColor::fromRgbF(1, 0, 0, 0.5f));
}

void ExportPopoverView::paintEvent(QPaintEvent* event) {
  QPainter p(this);
  p.fillRect(event->rect(), Qt::white);
  p.setPen(QPen(Qt::darkGray, 0.5));
  for (QWidget* label : {labelPointCloud_.data(), labelMeshed_.data()}) {
    if (!label) continue;
    const QRect r = label->geometry();
    p.drawLine(QPointF(0, r.top() - 5), QPointF(r.width(), r.top() - 5));
    p.drawLine(QPointF(0, r.bottom() + 5), QPointF(r.width(), r.bottom() + 5));
  }
}

CloudTableCellView::CloudTableCellView(int layerIndex, const QString& name, QWidget* parent)
    : QWidget(parent), layerIndex_(layerIndex) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(6, 2, 6, 2);
  layerName_ = new QLabel(name, this);
  layout->addWidget(layerName_);
}

}  // namespace qv::screens
