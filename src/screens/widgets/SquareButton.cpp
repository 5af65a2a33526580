// The flat square button.
#include "screens/widgets/SquareButton.h"

#include <QPainter>

#include "screens/widgets/QtColours.h"

namespace qv::screens {

SquareButton::SquareButton(const QString& title, QWidget* parent)
    : QPushButton(title, parent), style_(kDefaultSquareButtonStyle) {
  setCursor(Qt::PointingHandCursor);
  setFlat(true);
  setButtonStyle(kDefaultSquareButtonStyle);
}

void SquareButton::setButtonStyle(int style) {
  style_ = style;
  // Styles outside the four keep the colours the button had.
  auto colours = squareButtonColours(style, false);
  if (colours.title) title_ = toQColor(*colours.title);
  if (colours.background) background_ = toQColor(*colours.background);
  emit buttonStyleChanged(style);
  update();
}

QSize SquareButton::sizeHint() const {
  const QSize title = fontMetrics().size(Qt::TextSingleLine, text().isEmpty() ? QStringLiteral("M") : text());
  return {title.width() + 36, title.height() + 20};
}

void SquareButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setOpacity(squareButtonAlpha(isEnabled()));
  QColor background = background_;
  if (isDown())
    if (auto pressed = squareButtonColours(style_, true).background) background = toQColor(*pressed);
  p.fillRect(rect(), background);
  if (hasFocus()) {
    p.setPen(QPen(accentGreenColour(0.7), 2));
    p.drawRect(rect().adjusted(1, 1, -1, -1));
  }
  QRect content = rect().adjusted(8, 4, -8, -4);
  if (!icon().isNull()) {
    const QSize iconArea = iconSize();
    QRect iconRect(content.left() + (content.width() - iconArea.width()) / 2, content.top(), iconArea.width(), iconArea.height());
    icon().paint(&p, iconRect);
    content.setTop(iconRect.bottom() + 6);
  }
  p.setPen(title_);
  p.setFont(font());
  p.drawText(content, Qt::AlignCenter | Qt::TextWordWrap, text());
}

}  // namespace qv::screens
