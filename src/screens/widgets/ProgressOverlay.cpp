// The file-read overlay.
#include "screens/widgets/ProgressOverlay.h"

#include <QPainter>
#include <QVBoxLayout>

#include "screens/widgets/QtColours.h"

namespace qv::screens {

ProgressOverlay::ProgressOverlay(QWidget* parent) : QWidget(parent) {
  setObjectName("ProgressOverlay");
  auto* layout = new QVBoxLayout(this);
  layout->addStretch(1);
  label_ = new QLabel(tr("Opening scan..."), this);
  label_->setAlignment(Qt::AlignCenter);
  label_->setStyleSheet("color: white; font-size: 18px;");
  indicator_ = new LevelIndicator(this);
  indicator_->setFixedSize(360, 24);
  cancel_ = new SquareButton(tr("Cancel"), this);
  cancel_->setButtonStyle(3);
  cancel_->setFixedWidth(120);
  connect(cancel_, &QPushButton::clicked, this, &ProgressOverlay::cancelRequested);
  layout->addWidget(label_, 0, Qt::AlignHCenter);
  layout->addSpacing(12);
  layout->addWidget(indicator_, 0, Qt::AlignHCenter);
  layout->addSpacing(18);
  layout->addWidget(cancel_, 0, Qt::AlignHCenter);
  layout->addStretch(1);
}

void ProgressOverlay::paintEvent(QPaintEvent*) {
  // The window's own green, so the overlay hides what lies under it.
  QPainter(this).fillRect(rect(), accentGreenColour());
}

}  // namespace qv::screens
