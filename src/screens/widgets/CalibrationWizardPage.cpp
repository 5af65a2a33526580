#include "screens/widgets/CalibrationWizardPage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QImageReader>
#include <QMovie>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>
#include <cmath>

#include "platform/Paths.h"
#include "screens/widgets/LevelIndicator.h"
#include "screens/widgets/QtColours.h"
#include "screens/widgets/SquareButton.h"

namespace qv::screens {

namespace {
constexpr int kFrameMilliseconds = 50;
constexpr int kFramesPerLoop = 60;  // a three-second loop
}  // namespace

// ---- the animated pictures ----

CalibrationAnimationView::CalibrationAnimationView(const QString& resourceName, QWidget* parent)
    : QWidget(parent), name_(resourceName) {
  setMinimumSize(sizeHint());
  timer_.setInterval(kFrameMilliseconds);
  connect(&timer_, &QTimer::timeout, this, [this] {
    frame_ = (frame_ + 1) % kFramesPerLoop;
    update();
  });
}

QString CalibrationAnimationView::resourceFileName(const QString& name, double devicePixelRatio) {
  if (devicePixelRatio < 2.0) return name;
  QString base = name;
  base.chop(4);  // ".gif"
  return base + "@2x.gif";
}

QString CalibrationAnimationView::resourceFolder() {
  return QString::fromStdString(qv::paths::resourceFolder().string());
}

void CalibrationAnimationView::load() {
  QString file = resourceFileName(name_, devicePixelRatioF());
  if (file == loaded_) return;
  loaded_ = file;
  delete movie_;
  movie_ = nullptr;
  QString path = QDir(resourceFolder()).filePath(file);
  if (QImageReader::supportedImageFormats().contains("gif") && QFileInfo::exists(path)) {
    movie_ = new QMovie(path, "gif", this);
    connect(movie_, &QMovie::frameChanged, this, [this] { update(); });
  }
}

void CalibrationAnimationView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  load();
  if (movie_)
    movie_->start();
  else
    timer_.start();
}

void CalibrationAnimationView::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  if (movie_) movie_->stop();
  timer_.stop();
}

void CalibrationAnimationView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  if (movie_) {
    // No scaling: the picture at its own size, centred.
    QPixmap pixmap = movie_->currentPixmap();
    QSizeF size = QSizeF(pixmap.size()) / pixmap.devicePixelRatioF();
    painter.drawPixmap(QPointF((width() - size.width()) / 2, (height() - size.height()) / 2), pixmap);
    return;
  }
  drawFrame(painter, double(frame_) / kFramesPerLoop);
}

// The turntable seen from the front and above, and the target on it: the box (two faces of
// checkerboard) or the card (one checkerboard on a stand). Each picture moves one thing.
void CalibrationAnimationView::drawFrame(QPainter& p, double phase) const {
  const double w = width(), h = height();
  const QPointF centre(w / 2, h * 0.68);
  const double rx = std::min(w * 0.38, 150.0), ry = rx * 0.28;
  // Ease in and out, with a rest at either end of the loop.
  auto ease = [](double t) {
    t = std::clamp((t - 0.15) / 0.6, 0.0, 1.0);
    return t * t * (3 - 2 * t);
  };
  double t = ease(phase);

  // Scanner head and the bed.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(60, 64, 70));
  p.drawRoundedRect(QRectF(w * 0.06, h * 0.08, w * 0.07, h * 0.72), 6, 6);
  p.setBrush(QColor(220, 40, 40));
  p.drawEllipse(QRectF(w * 0.085, h * 0.28, w * 0.02, w * 0.02));
  p.setBrush(QColor(90, 94, 100));
  p.drawEllipse(QRectF(centre.x() - rx, centre.y() - ry + 8, 2 * rx, 2 * ry));
  p.setBrush(QColor(150, 155, 160));
  p.drawEllipse(QRectF(centre.x() - rx, centre.y() - ry, 2 * rx, 2 * ry));

  auto checker = [&](const QPolygonF& quad, int cells) {
    // A projected grid inside a quadrilateral (bilinear corners: enough for a picture).
    auto at = [&](double u, double v) {
      QPointF top = quad[0] + (quad[1] - quad[0]) * u, bottom = quad[3] + (quad[2] - quad[3]) * u;
      return top + (bottom - top) * v;
    };
    p.setBrush(Qt::white);
    p.setPen(QPen(QColor(40, 40, 40), 1));
    p.drawPolygon(quad);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(30, 30, 30));
    for (int i = 0; i < cells; ++i)
      for (int j = 0; j < cells; ++j)
        if ((i + j) % 2 == 0) {
          double u0 = double(i) / cells, u1 = double(i + 1) / cells, v0 = double(j) / cells, v1 = double(j + 1) / cells;
          p.drawPolygon(QPolygonF({at(u0, v0), at(u1, v0), at(u1, v1), at(u0, v1)}));
        }
  };

  const bool card = name_.contains("Card");
  const bool turn = name_.startsWith("CalibrateStep2");
  const bool fitting = name_.startsWith("CardFitting");
  const double size = rx * 0.75;
  // Step 1 slides the target in from above onto the bed; step 2 turns it a quarter turn.
  double lift = (!turn && !fitting) ? (1 - t) * h * 0.18 : 0;
  double angle = turn ? t * M_PI / 2 : 0;
  QPointF base = centre - QPointF(0, lift);
  // A point on the bed at an angle and a distance from the centre, seen in the bed's ellipse.
  auto onBed = [&](double angle, double radius) {
    return base + QPointF(std::cos(angle) * radius, std::sin(angle) * radius * ry / rx);
  };
  auto standing = [&](QPointF from, QPointF to, double height) {
    return QPolygonF({from - QPointF(0, height), to - QPointF(0, height), to, from});
  };
  if (fitting) {
    // The card's stand folds up behind the card.
    double fold = t * 0.9;
    QPolygonF stand({base + QPointF(-size * 0.5, 0), base + QPointF(size * 0.5, 0),
                     base + QPointF(size * 0.5, -size * fold), base + QPointF(-size * 0.5, -size * fold)});
    p.setBrush(QColor(200, 170, 120));
    p.setPen(QPen(QColor(120, 90, 50), 1));
    p.drawPolygon(stand.translated(12, -6));
    checker(standing(base + QPointF(-size * 0.5, 0), base + QPointF(size * 0.5, 0), size), 7);
  } else if (card) {
    // The card stands across the bed; turning it shows its pattern ever more edge-on.
    double a = M_PI + angle * 0.5;
    checker(standing(onBed(a, size * 0.7), onBed(a + M_PI, size * 0.7), size * 1.1), 7);
  } else {
    // The box: the two faces beside its front corner, and its lid.
    double a = M_PI / 2 + angle;
    const double r = size * 0.75, height = size;
    QPointF corner[4];
    for (int k = 0; k < 4; ++k) corner[k] = onBed(a + k * M_PI / 2, r);
    checker(standing(corner[3], corner[0], height), 6);
    checker(standing(corner[0], corner[1], height), 6);
    p.setBrush(QColor(235, 235, 230));
    p.setPen(QPen(QColor(40, 40, 40), 1));
    QPointF up(0, height);
    p.drawPolygon(QPolygonF({corner[0] - up, corner[1] - up, corner[2] - up, corner[3] - up}));
  }
  if (turn) {
    // The arrow of the turn asked for.
    p.setPen(QPen(accentGreenColour().darker(130), 4, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    QRectF arc(centre.x() - rx * 1.05, centre.y() - ry * 1.3, rx * 2.1, ry * 2.6);
    p.drawArc(arc, 200 * 16, int(-t * 90 * 16) - 1);
  }
}

// ---- the page ----

CalibrationWizardPage::CalibrationWizardPage(CalibrationRunner& runner, CalibrationNotifier* notifier, QWidget* parent)
    : QWidget(parent), presenter_(CalibrationWizardPresenter::create(runner, notifier)) {
  auto* layout = new QVBoxLayout(this);
  stack_ = new QStackedWidget(this);
  layout->addWidget(stack_);
  stack_->addWidget(new QWidget(stack_));  // CalibrationPage::None

  const QString choose = tr("Choose the calibration target you have: the calibration box, or the calibration card.");
  for (auto [page, heading] :
       {std::pair{CalibrationPage::ExistingCalibrationType, tr("Recalibrate your scanner")},
        std::pair{CalibrationPage::FirstTimeCalibrationType, tr("Your scanner needs to be calibrated")}}) {
    QWidget* w = makePage(page, heading, choose, {});
    addButton(w, tr("Calibration Box"), 3, &CalibrationWizardPresenter::selectBoxButtonPressed);
    addButton(w, tr("Calibration Card"), 3, &CalibrationWizardPresenter::selectCardButtonPressed);
    addButton(w, tr("Cancel"), 4, &CalibrationWizardPresenter::doneButtonPressed);
  }
  QWidget* w = makePage(CalibrationPage::Step1Box, tr("Step 1: place the calibration box"),
                        tr("Put the box in the middle of the bed, with its two patterned faces towards the camera."),
                        "CalibrateStep1Box.gif");
  addButton(w, tr("Back"), 4, &CalibrationWizardPresenter::backButtonPressed);
  addButton(w, tr("Next"), 1, &CalibrationWizardPresenter::nextButtonPressed);
  w = makePage(CalibrationPage::Step1CardConstruction, tr("Build the calibration card"),
               tr("Fold the stand out of the back of the card so that the card stands upright."), "CardFitting.gif");
  addButton(w, tr("Back"), 4, &CalibrationWizardPresenter::backButtonPressed);
  addButton(w, tr("Next"), 1, &CalibrationWizardPresenter::nextButtonPressed);
  w = makePage(CalibrationPage::Step1Card, tr("Step 1: place the calibration card"),
               tr("Stand the card in the middle of the bed, its pattern towards the camera."), "CalibrateStep1Card.gif");
  addButton(w, tr("Back"), 4, &CalibrationWizardPresenter::backButtonPressed);
  addButton(w, tr("Next"), 1, &CalibrationWizardPresenter::nextButtonPressed);
  for (auto [page, text, animation] :
       {std::tuple{CalibrationPage::Step2Box, tr("Turn the box a quarter turn clockwise, keeping it in the middle."),
                   "CalibrateStep2Box.gif"},
        std::tuple{CalibrationPage::Step2Card, tr("Turn the card a quarter turn clockwise, keeping it in the middle."),
                   "CalibrateStep2Card.gif"}}) {
    w = makePage(page, tr("Step 2: turn the target"), text, animation);
    addButton(w, tr("Cancel"), 4, &CalibrationWizardPresenter::doneButtonPressed);
    addButton(w, tr("Start"), 1, &CalibrationWizardPresenter::nextButtonPressed);
  }

  // The running pass: title, status line, progress and Cancel.
  w = makePage(CalibrationPage::Scan, {}, {}, {});
  auto* column = static_cast<QVBoxLayout*>(w->layout());
  titleLabel_ = new QLabel(tr("Calibrating"), w);
  titleLabel_->setStyleSheet("color: white; font-size: 24px; font-weight: 600;");
  progressLabel_ = new QLabel(tr("Starting calibration"), w);
  progressLabel_->setStyleSheet("color: white; font-size: 14px;");
  progressIndicator_ = new LevelIndicator(w);
  progressIndicator_->setFixedWidth(420);
  column->insertWidget(1, titleLabel_, 0, Qt::AlignHCenter);
  column->insertWidget(2, progressLabel_, 0, Qt::AlignHCenter);
  column->insertWidget(3, progressIndicator_, 0, Qt::AlignHCenter);
  cancelActiveScanButton_ = addButton(w, tr("Cancel"), 3, &CalibrationWizardPresenter::cancelActiveCalibrationButtonPressed);

  w = makePage(CalibrationPage::Completed, tr("Calibration complete"),
               tr("The scanner is calibrated and ready to scan."), {});
  addButton(w, tr("Done"), 1, &CalibrationWizardPresenter::doneButtonPressed);
  w = makePage(CalibrationPage::Failed, tr("Calibration failed"), {}, {});
  failedMessageLabel_ = w->findChild<QLabel*>("text");
  addButton(w, tr("Try Again"), 4, &CalibrationWizardPresenter::resetContent);
  addButton(w, tr("Done"), 1, &CalibrationWizardPresenter::doneButtonPressed);

  presenter_->attachView(this);
}

CalibrationWizardPage::~CalibrationWizardPage() { presenter_->detachView(); }

QWidget* CalibrationWizardPage::makePage(CalibrationPage page, const QString& heading, const QString& text,
                                         const QString& animation) {
  auto* w = new QWidget(stack_);
  auto* column = new QVBoxLayout(w);
  column->addStretch(1);
  if (!heading.isEmpty()) {
    auto* label = new QLabel(heading, w);
    label->setObjectName("heading");
    column->addWidget(label, 0, Qt::AlignHCenter);
  }
  if (!animation.isEmpty()) column->addWidget(new CalibrationAnimationView(animation, w), 0, Qt::AlignHCenter);
  auto* body = new QLabel(text, w);
  body->setObjectName("text");
  body->setWordWrap(true);
  body->setAlignment(Qt::AlignCenter);
  body->setFixedWidth(520);
  body->setMinimumHeight(44);
  column->addWidget(body, 0, Qt::AlignHCenter);
  auto* buttons = new QHBoxLayout;
  buttons->setObjectName("buttons");
  buttons->addStretch(1);
  buttons->addStretch(1);
  column->addSpacing(16);
  column->addLayout(buttons);
  column->addStretch(1);
  stack_->addWidget(w);
  pages_[page] = w;
  return w;
}

SquareButton* CalibrationWizardPage::addButton(QWidget* page, const QString& title, int style,
                                               void (CalibrationWizardPresenter::*action)()) {
  auto* button = new SquareButton(title, page);
  button->setButtonStyle(style);
  std::weak_ptr<CalibrationWizardPresenter> weak = presenter_;
  connect(button, &QPushButton::clicked, this, [weak, action] {
    if (auto presenter = weak.lock()) ((*presenter).*action)();
  });
  auto* column = static_cast<QVBoxLayout*>(page->layout());
  auto* row = static_cast<QHBoxLayout*>(column->itemAt(column->count() - 2)->layout());
  row->insertWidget(row->count() - 1, button);
  return button;
}

void CalibrationWizardPage::showPage(CalibrationPage page, bool whiteBackground) {
  page_ = page;
  white_ = whiteBackground;
  auto found = pages_.find(page);
  stack_->setCurrentIndex(found == pages_.end() ? 0 : stack_->indexOf(found->second));
  // Texts read on white are dark; on the green they are white.
  const char* colour = white_ ? "#303030" : "white";
  for (auto& [kind, w] : pages_) {
    if (auto* heading = w->findChild<QLabel*>("heading"))
      heading->setStyleSheet(QString("color: %1; font-size: 24px; font-weight: 600;").arg(colour));
    if (auto* body = w->findChild<QLabel*>("text")) body->setStyleSheet(QString("color: %1; font-size: 14px;").arg(colour));
  }
  update();
}

void CalibrationWizardPage::setCancelButton(const std::string& title, bool enabled) {
  cancelActiveScanButton_->setText(QString::fromStdString(title));
  cancelActiveScanButton_->setEnabled(enabled);
}

void CalibrationWizardPage::setTitleText(const std::string& text) { titleLabel_->setText(QString::fromStdString(text)); }

void CalibrationWizardPage::setProgressText(const std::string& text) {
  progressLabel_->setText(QString::fromStdString(text));
}

void CalibrationWizardPage::setProgress(double fraction, bool visible) {
  progressIndicator_->setValue(fraction);
  // Keep the place of a hidden indicator so the page does not jump.
  QSizePolicy policy = progressIndicator_->sizePolicy();
  policy.setRetainSizeWhenHidden(true);
  progressIndicator_->setSizePolicy(policy);
  progressIndicator_->setVisible(visible);
}

void CalibrationWizardPage::setFailureMessage(const std::string& text) {
  failedMessageLabel_->setText(QString::fromStdString(text));
}

QPushButton* CalibrationWizardPage::button(const QString& title) const {
  auto found = pages_.find(page_);
  if (found == pages_.end()) return nullptr;
  for (auto* b : found->second->findChildren<QPushButton*>())
    if (b->text() == title && b->isVisible()) return b;
  return nullptr;
}

void CalibrationWizardPage::paintEvent(QPaintEvent*) {
  QPainter(this).fillRect(rect(), white_ ? QColor(Qt::white) : accentGreenColour());
}

}  // namespace qv::screens
