// The main screen's widget.
#include "screens/widgets/MainScreenWidget.h"

#include <QEnterEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPropertyAnimation>
#include <QVBoxLayout>

#include "screens/ScreenTiming.h"
#include "screens/widgets/QtColours.h"
#include "screens/widgets/ThumbnailImage.h"
#include "screens/widgets/WaitingView.h"

namespace qv::screens {

// One recent scan: its thumbnail with its name beneath, and a light frame fading in over the
// picture under the mouse. The name lies outside the picture, so no thumbnail ever hides it.
class RecentTile : public QWidget {
public:
  static constexpr int kSide = static_cast<int>(kTileSlotWidth) - 10;
  static constexpr int kNameHeight = 22;
  static constexpr int kHeight = kSide + 2 + kNameHeight;  // the picture, a gap, the name

  RecentTile(const MruItem& item, QWidget* parent) : QWidget(parent), item_(item) {
    setFixedSize(kSide, kHeight);
    setCursor(Qt::PointingHandCursor);
    setToolTip(QString::fromStdString(item.sourceFilePath.empty() ? item.filename : item.sourceFilePath));
    const QImage image = item.thumbnail ? readThumbnail(*item.thumbnail) : QImage();
    const QSize picture(kSide, kSide);
    image_ = image.isNull() ? MainScreenWidget::tileBackground(picture)
                            : QPixmap::fromImage(image.scaled(picture, Qt::KeepAspectRatioByExpanding,
                                                              Qt::SmoothTransformation));
    name_ = new QLabel(this);
    name_->setObjectName("tileName");
    name_->setGeometry(0, kSide + 2, kSide, kNameHeight);
    name_->setAlignment(Qt::AlignCenter);
    name_->setStyleSheet("color: white; background: transparent;");
    name_->setText(name_->fontMetrics().elidedText(QString::fromStdString(item.filename), Qt::ElideRight, kSide - 4));
  }
  std::function<void(const qv::ObjectID&)> onClick;
  void hideLabel() { name_->hide(); }
  QRect pictureRect() const { return {0, 0, kSide, kSide}; }

protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRect picture = pictureRect();
    p.drawPixmap(picture, image_,
                 QRect(QPoint((image_.width() - kSide) / 2, (image_.height() - kSide) / 2), picture.size()));
    if (frameAlpha_ > 0) {
      p.fillRect(picture, QColor::fromRgbF(0.9f, 0.9f, 0.9f, float(frameAlpha_ * 0.35)));
      p.setPen(QPen(QColor::fromRgbF(1, 1, 1, float(frameAlpha_)), 3));
      p.drawRect(QRectF(picture).adjusted(1.5, 1.5, -1.5, -1.5));
    }
  }
  void enterEvent(QEnterEvent*) override { animateFrame(0.7, 0.2); }
  void leaveEvent(QEvent*) override {
    frameAlpha_ = 0;
    update();
  }
  void mouseReleaseEvent(QMouseEvent*) override {
    if (onClick) onClick(item_.objectId);
  }

private:
  void animateFrame(double to, double seconds) {
    frameAlpha_ = 0;
    auto* animation = new QVariantAnimation(this);
    animation->setStartValue(0.0);
    animation->setEndValue(to);
    animation->setDuration(animationMilliseconds(seconds));
    connect(animation, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
      frameAlpha_ = v.toDouble();
      update();
    });
    animation->start(QAbstractAnimation::DeleteWhenStopped);
  }

  MruItem item_;
  QPixmap image_;
  QLabel* name_;
  double frameAlpha_ = 0;
};

namespace {

QLabel* whiteLabel(const QString& text, int pointSize, bool bold, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  QFont font = label->font();
  font.setPointSize(pointSize);
  font.setBold(bold);
  label->setFont(font);
  label->setStyleSheet("color: white;");
  return label;
}

}  // namespace

QPixmap MainScreenWidget::tileBackground(const QSize& size) {
  QPixmap pixmap(size);
  pixmap.fill(Qt::white);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const double w = size.width(), h = size.height();
  // A turntable seen from the side with a scanned object on it, in the accent green's pale tints.
  p.setPen(Qt::NoPen);
  p.setBrush(accentGreenColour(0.18));
  p.drawEllipse(QRectF(w * 0.18, h * 0.66, w * 0.64, h * 0.14));
  p.setBrush(accentGreenColour(0.35));
  QPainterPath vase;
  vase.moveTo(w * 0.42, h * 0.72);
  vase.cubicTo(w * 0.30, h * 0.55, w * 0.36, h * 0.38, w * 0.45, h * 0.28);
  vase.lineTo(w * 0.55, h * 0.28);
  vase.cubicTo(w * 0.64, h * 0.38, w * 0.70, h * 0.55, w * 0.58, h * 0.72);
  vase.closeSubpath();
  p.drawPath(vase);
  p.setPen(QPen(accentGreenColour(0.8), 2, Qt::DashLine));
  p.drawLine(QPointF(w * 0.25, h * 0.20), QPointF(w * 0.50, h * 0.50));
  p.drawLine(QPointF(w * 0.75, h * 0.20), QPointF(w * 0.50, h * 0.50));
  return pixmap;
}

MainScreenWidget::MainScreenWidget(std::shared_ptr<MainScreenPresenter> presenter, QWidget* parent)
    : QWidget(parent), presenter_(std::move(presenter)) {
  setObjectName("MainScreen");
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->setSpacing(0);

  auto* body = new QWidget(this);
  auto* layout = new QVBoxLayout(body);
  layout->setContentsMargins(48, 36, 48, 24);
  layout->setSpacing(14);
  layout->addWidget(whiteLabel(tr("Quorvel"), 28, true, body));
  layout->addWidget(whiteLabel(tr("Scan an object on the turntable, or open one you scanned before."), 12, false, body));
  layout->addSpacing(10);

  autoScanButton_ = new SquareButton(tr("Start Automatic Scan"), body);
  manualScanButton_ = new SquareButton(tr("Start Manual Scan"), body);
  autoScanButton_->setButtonStyle(1);
  manualScanButton_->setButtonStyle(1);
  cards_ = new QWidget(body);
  auto* cardRow = new QHBoxLayout(cards_);
  cardRow->setContentsMargins(0, 0, 0, 0);
  cardRow->setSpacing(18);
  cardRow->addWidget(makeCard(tr("Automatic scan"),
                              tr("The scanner tunes its exposures and turns the object by itself, in colour."),
                              autoScanButton_));
  cardRow->addWidget(makeCard(tr("Manual scan"),
                              tr("Choose the exposures, the rotation step and the head heights yourself."),
                              manualScanButton_));
  layout->addWidget(cards_);

  disabledButtonsView_ = new QWidget(cards_);
  disabledButtonsView_->setAttribute(Qt::WA_StyledBackground);
  {
    const QColor veil = accentGreenColour(0.5);
    disabledButtonsView_->setStyleSheet(QString("background-color: rgba(%1, %2, %3, 128);").arg(veil.red()).arg(veil.green()).arg(veil.blue()));
    auto* veilLayout = new QVBoxLayout(disabledButtonsView_);
    auto* veilText = whiteLabel(tr("Connect the scanner to start scanning"), 14, true, disabledButtonsView_);
    veilText_ = veilText;
    // A solid badge, so the message reads cleanly over the veiled cards.
    veilText->setStyleSheet(QString("color: white; background-color: %1; padding: 10px 22px; border-radius: 6px;")
                                .arg(accentGreenColour().darker(115).name()));
    veilLayout->addWidget(veilText, 0, Qt::AlignCenter);
  }

  auto* row = new QHBoxLayout();
  row->setSpacing(12);
  calibrateScannerButton_ = new SquareButton(tr("Calibrate Scanner"), body);
  openScanButton_ = new SquareButton(tr("Open Scan..."), body);
  calibrateScannerButton_->setButtonStyle(2);
  openScanButton_->setButtonStyle(2);
  row->addWidget(calibrateScannerButton_);
  row->addWidget(openScanButton_);
  row->addStretch(1);
  layout->addLayout(row);
  layout->addSpacing(8);

  recentTitle_ = whiteLabel(tr("Recent scans"), 14, true, body);
  layout->addWidget(recentTitle_);
  collectionView_ = new QWidget(body);
  collectionView_->setMinimumHeight(RecentTile::kHeight);
  tileLayout_ = new QHBoxLayout(collectionView_);
  tileLayout_->setContentsMargins(0, 0, 0, 0);
  tileLayout_->setSpacing(10);
  emptyRecent_ = whiteLabel(tr("Scans you open or make appear here."), 11, false, collectionView_);
  tileLayout_->addWidget(emptyRecent_);
  tileLayout_->addStretch(1);
  layout->addWidget(collectionView_);
  layout->addStretch(1);
  outer->addWidget(body, 1);

  bottomInfoPanel_ = new QFrame(this);
  bottomInfoPanel_->setAttribute(Qt::WA_StyledBackground);
  bottomInfoPanel_->setStyleSheet("background-color: white;");
  bottomInfoPanel_->setFixedHeight(0);
  auto* panelLayout = new QHBoxLayout(bottomInfoPanel_);
  panelLayout->setContentsMargins(16, 0, 8, 0);
  bottomInfoLabel_ = new QLabel(bottomInfoPanel_);
  bottomInfoLabel_->setStyleSheet("color: #262626;");
  bottomLabelOpacity_ = new QGraphicsOpacityEffect(bottomInfoLabel_);
  bottomInfoLabel_->setGraphicsEffect(bottomLabelOpacity_);
  hideBottomPanelButton_ = new QPushButton(QStringLiteral("\u00d7"), bottomInfoPanel_);
  hideBottomPanelButton_->setFlat(true);
  hideBottomPanelButton_->hide();
  panelLayout->addWidget(bottomInfoLabel_, 1);
  panelLayout->addWidget(hideBottomPanelButton_);
  outer->addWidget(bottomInfoPanel_);

  connect(autoScanButton_, &QPushButton::clicked, this, [this] { presenter_->startNewAutoScan(); });
  connect(manualScanButton_, &QPushButton::clicked, this, [this] { presenter_->startNewManualScan(); });
  connect(calibrateScannerButton_, &QPushButton::clicked, this, [this] { presenter_->showCalibrationScreen(); });
  connect(openScanButton_, &QPushButton::clicked, this, [this] { presenter_->openScanButtonPressed(); });

  presenter_->setImageValidator([](const std::filesystem::path& path) { return canReadThumbnail(path); });
  presenter_->attachView(this);
}

MainScreenWidget::~MainScreenWidget() { presenter_->detachView(); }

QWidget* MainScreenWidget::makeCard(const QString& title, const QString& detail, SquareButton* button) {
  auto* card = new QFrame(this);
  card->setAttribute(Qt::WA_StyledBackground);
  card->setStyleSheet("QFrame { background-color: white; }");
  auto* layout = new QVBoxLayout(card);
  layout->setContentsMargins(22, 18, 22, 18);
  auto* heading = new QLabel(title, card);
  QFont font = heading->font();
  font.setPointSize(16);
  font.setBold(true);
  heading->setFont(font);
  heading->setStyleSheet("color: #262626; background: transparent;");
  auto* text = new QLabel(detail, card);
  text->setWordWrap(true);
  text->setStyleSheet("color: #595959; background: transparent;");
  layout->addWidget(heading);
  layout->addWidget(text);
  layout->addSpacing(8);
  button->setParent(card);
  layout->addWidget(button, 0, Qt::AlignLeft);
  return card;
}

QWidget* MainScreenWidget::makeFirstRunView() {
  auto* view = new QWidget(this);
  view->setObjectName("FirstRunSetupView");
  view->setAttribute(Qt::WA_StyledBackground);
  view->setStyleSheet("#FirstRunSetupView { background-color: white; }");
  auto* layout = new QHBoxLayout(view);
  layout->setContentsMargins(60, 40, 60, 40);
  auto* sign = new QFrame(view);
  sign->setAttribute(Qt::WA_StyledBackground);
  const QColor green = accentGreenColour();
  sign->setStyleSheet(QString("background-color: %1; border-radius: 70px;").arg(green.name()));
  sign->setFixedSize(140, 140);
  auto* signLayout = new QVBoxLayout(sign);
  signLayout->addWidget(new WaitingView(sign), 0, Qt::AlignCenter);
  layout->addWidget(sign, 0, Qt::AlignVCenter);
  layout->addSpacing(36);
  auto* texts = new QVBoxLayout();
  auto* heading = new QLabel(tr("Welcome to Quorvel"), view);
  QFont font = heading->font();
  font.setPointSize(22);
  font.setBold(true);
  heading->setFont(font);
  heading->setStyleSheet("color: #262626;");
  auto* body = new QLabel(tr("Connect the scanner to this computer with its USB cable and switch it on.\n"
                             "Quorvel finds it by itself and connects; this takes a few seconds.\n\n"
                             "Meanwhile you can open a scan you saved before with File > Open."),
                          view);
  body->setStyleSheet("color: #595959; font-size: 14px;");
  body->setWordWrap(true);
  texts->addStretch(1);
  texts->addWidget(heading);
  texts->addSpacing(10);
  texts->addWidget(body);
  texts->addStretch(1);
  layout->addLayout(texts, 1);
  return view;
}

void MainScreenWidget::paintEvent(QPaintEvent*) { QPainter(this).fillRect(rect(), accentGreenColour()); }

void MainScreenWidget::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  placeOverlays();
}

void MainScreenWidget::placeOverlays() {
  disabledButtonsView_->setGeometry(cards_->rect());
  disabledButtonsView_->raise();
  if (firstRunSetupView_) {
    firstRunSetupView_->setGeometry(rect());
    firstRunSetupView_->raise();
  }
}

void MainScreenWidget::setScanButtonsEnabled(bool enabled) {
  calibrateScannerButton_->setEnabled(enabled);
  openScanButton_->setEnabled(enabled);
  autoScanButton_->setEnabled(enabled);
  manualScanButton_->setEnabled(enabled);
}

void MainScreenWidget::setScannerAttached(bool attached) {
  disabledButtonsView_->setVisible(!attached);
  autoScanButton_->setEnabled(attached);
  manualScanButton_->setEnabled(attached);
  calibrateScannerButton_->setTextColour(QColor::fromRgbF(0, 0, 0, attached ? 1.0f : 0.3f));
  placeOverlays();
}

void MainScreenWidget::setScannerConnecting(bool connecting) {
  veilText_->setText(connecting ? tr("Connecting to the scanner...") : tr("Connect the scanner to start scanning"));
}

void MainScreenWidget::setTiles(const std::vector<MruItem>& items) {
  for (auto* tile : tiles_) tile->deleteLater();
  tiles_.clear();
  for (const auto& item : items) {
    auto* tile = new RecentTile(item, collectionView_);
    tile->onClick = [this](const qv::ObjectID& id) { presenter_->openMruPressedForItem(id); };
    tileLayout_->insertWidget(static_cast<int>(tiles_.size()), tile);
    tiles_.push_back(tile);
  }
  emptyRecent_->setVisible(items.empty() && presenter_->canOpenNewScans() && !presenter_->mruItems().size());
}

void MainScreenWidget::hideTileLabels() {
  for (auto* tile : tiles_) tile->hideLabel();
}

double MainScreenWidget::tileRowWidth() const { return collectionView_->width(); }

void MainScreenWidget::showFirstRunView() {
  if (!firstRunSetupView_) firstRunSetupView_ = makeFirstRunView();
  openScanButton_->hide();
  calibrateScannerButton_->hide();
  collectionView_->hide();
  recentTitle_->hide();
  firstRunSetupView_->show();
  placeOverlays();
}

void MainScreenWidget::restoreAfterFirstRun() {
  openScanButton_->show();
  calibrateScannerButton_->show();
  collectionView_->show();
  recentTitle_->show();
}

bool MainScreenWidget::isFirstRunViewShown() const { return firstRunSetupView_ && firstRunSetupView_->isVisibleTo(this); }

void MainScreenWidget::fadeOutFirstRunView(double seconds, std::function<void()> done) {
  if (!firstRunSetupView_) {
    if (done) done();
    return;
  }
  auto* effect = new QGraphicsOpacityEffect(firstRunSetupView_);
  firstRunSetupView_->setGraphicsEffect(effect);
  auto* fade = new QPropertyAnimation(effect, "opacity", this);
  fade->setDuration(static_cast<int>(seconds * 1000));
  fade->setStartValue(1.0);
  fade->setEndValue(0.0);
  QPointer<QWidget> view = firstRunSetupView_;
  connect(fade, &QPropertyAnimation::finished, this, [this, view, done] {
    if (view) view->deleteLater();
    firstRunSetupView_ = nullptr;
    if (done) done();
  });
  fade->start(QAbstractAnimation::DeleteWhenStopped);
}

void MainScreenWidget::setBottomLabelText(const std::string& text) { bottomInfoLabel_->setText(QString::fromStdString(text)); }
std::string MainScreenWidget::bottomLabelText() const { return bottomInfoLabel_->text().toStdString(); }
void MainScreenWidget::setBottomLabelAlpha(double alpha) { bottomLabelOpacity_->setOpacity(alpha); }
void MainScreenWidget::setHideBottomPanelButtonHidden(bool hidden) { hideBottomPanelButton_->setHidden(hidden); }

void MainScreenWidget::animateBottomPanelHeight(double height, double seconds, std::function<void()> done) {
  const int ms = static_cast<int>(seconds * 1000);
  if (ms <= 0) {
    bottomInfoPanel_->setFixedHeight(static_cast<int>(height));
    if (done) done();
    return;
  }
  auto* animation = new QVariantAnimation(this);
  animation->setStartValue(bottomInfoPanel_->height());
  animation->setEndValue(static_cast<int>(height));
  animation->setDuration(ms);
  animation->setEasingCurve(QEasingCurve::InOutQuad);
  connect(animation, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) { bottomInfoPanel_->setFixedHeight(v.toInt()); });
  connect(animation, &QVariantAnimation::finished, this, [done] {
    if (done) done();
  });
  animation->start(QAbstractAnimation::DeleteWhenStopped);
}

void MainScreenWidget::animateBottomLabelAlpha(double alpha, double seconds, std::function<void()> done) {
  const int ms = static_cast<int>(seconds * 1000);
  if (ms <= 0) {
    bottomLabelOpacity_->setOpacity(alpha);
    if (done) done();
    return;
  }
  auto* animation = new QPropertyAnimation(bottomLabelOpacity_, "opacity", this);
  animation->setEndValue(alpha);
  animation->setDuration(ms);
  animation->setEasingCurve(QEasingCurve::InOutQuad);
  connect(animation, &QPropertyAnimation::finished, this, [done] {
    if (done) done();
  });
  animation->start(QAbstractAnimation::DeleteWhenStopped);
}

}  // namespace qv::screens
