// The page of a screen still to come.
#include "screens/widgets/PlaceholderPage.h"

#include <QPainter>
#include <QVBoxLayout>

#include "screens/widgets/QtColours.h"
#include "screens/widgets/SquareButton.h"

namespace qv::screens {

PlaceholderPage::PlaceholderPage(ScreenKind kind, QWidget* parent) : QWidget(parent), kind_(kind) {
  auto* layout = new QVBoxLayout(this);
  layout->addStretch(1);
  QString name = QString::fromUtf8(screenName(kind));
  name[0] = name[0].toUpper();
  auto* title = new QLabel(name, this);
  title->setStyleSheet("color: white; font-size: 26px; font-weight: 600;");
  detail_ = new QLabel(tr("This screen is not available in this version yet."), this);
  detail_->setStyleSheet("color: white; font-size: 14px;");
  auto* back = new SquareButton(tr("Back to the main screen"), this);
  back->setButtonStyle(3);
  connect(back, &QPushButton::clicked, this, &PlaceholderPage::homeRequested);
  layout->addWidget(title, 0, Qt::AlignHCenter);
  layout->addSpacing(8);
  layout->addWidget(detail_, 0, Qt::AlignHCenter);
  layout->addSpacing(24);
  layout->addWidget(back, 0, Qt::AlignHCenter);
  layout->addStretch(1);
}

void PlaceholderPage::loadScan(const qv::ObjectID&) {
  detail_->setText(tr("The scan was read and is kept with your recent scans;\n"
                      "the 3D viewer is not available in this version yet."));
  detail_->setAlignment(Qt::AlignCenter);
}

void PlaceholderPage::paintEvent(QPaintEvent*) { QPainter(this).fillRect(rect(), accentGreenColour()); }

}  // namespace qv::screens
