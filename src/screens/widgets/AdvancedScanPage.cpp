// The manual scan screen's page.
#include "screens/widgets/AdvancedScanPage.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QScrollArea>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include "screens/ScreenTiming.h"
#include "screens/widgets/LevelIndicator.h"
#include "screens/widgets/QtColours.h"
#include "screens/widgets/SharedControls.h"
#include "screens/widgets/SquareButton.h"

namespace qv::screens {

using F = AdvancedScanField;

QImage imageFromDisplayImage(const DisplayImage& image) {
  if (!image || image->empty() || image->type() != CV_8UC4) return {};
  return QImage(image->data, image->cols, image->rows, static_cast<qsizetype>(image->step), QImage::Format_RGB32).copy();
}

// ---- thumbnail and large picture ----

AdvancedScanThumbnail::AdvancedScanThumbnail(QWidget* parent) : QAbstractButton(parent) {
  setCursor(Qt::PointingHandCursor);
  setFixedSize(136, 104);
  spin_.setInterval(80);
  connect(&spin_, &QTimer::timeout, this, [this] {
    phase_ = (phase_ + 1) % 12;
    update();
  });
  spin_.start();
}

void AdvancedScanThumbnail::setPicture(const QImage& image) {
  image_ = image;
  update();
}

void AdvancedScanThumbnail::setBusy(bool busy, double alpha) {
  busy_ = busy, alpha_ = alpha;
  if (busy)
    spin_.start();
  else
    spin_.stop();
  update();
}

void AdvancedScanThumbnail::setHighlighted(bool highlighted) {
  highlighted_ = highlighted;
  update();
}

void AdvancedScanThumbnail::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.fillRect(rect(), highlighted_ ? QColor(Qt::white) : QColor(255, 255, 255, 0));
  const QRect inner = rect().adjusted(4, 4, -4, -4);
  p.fillRect(inner, QColor(40, 40, 40));
  if (!image_.isNull()) {
    p.setOpacity(alpha_);
    const QSize size = image_.size().scaled(inner.size(), Qt::KeepAspectRatio);
    const QRect target(inner.center() - QPoint(size.width() / 2, size.height() / 2), size);
    p.drawImage(target, image_);
    p.setOpacity(1.0);
  }
  if (busy_) {
    const QPoint c = inner.center();
    for (int i = 0; i < 12; ++i) {
      p.save();
      p.translate(c);
      p.rotate(30.0 * i);
      QColor spoke(255, 255, 255);
      spoke.setAlphaF(float(0.15 + 0.85 * ((i + 12 - phase_) % 12) / 11.0));
      p.setPen(QPen(spoke, 2.5, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(0, 6, 0, 11);
      p.restore();
    }
  }
}

void AdvancedScanImageView::setPicture(const QImage& image, double alpha) {
  image_ = image, alpha_ = alpha;
  update();
}

QRect AdvancedScanImageView::pictureRect() const {
  const QSize size = (image_.isNull() ? QSize(4, 3) : image_.size()).scaled(rect().size(), Qt::KeepAspectRatio);
  return QRect(rect().center() - QPoint(size.width() / 2, size.height() / 2), size);
}

void AdvancedScanImageView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(pictureRect(), QColor(30, 30, 30));
  if (image_.isNull()) return;
  p.setRenderHint(QPainter::SmoothPixmapTransform);
  p.setOpacity(alpha_);
  p.drawImage(pictureRect(), image_);
}

// ---- the page ----

AdvancedScanPage::AdvancedScanPage(std::shared_ptr<AdvancedScanDelegate> delegate, qv::Settings& settings,
                                   QWidget* parent)
    : QWidget(parent), presenter_(AdvancedScanPresenter::create(std::move(delegate), settings)) {
  setObjectName("AdvancedScanPage");
  setAutoFillBackground(true);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, QColor(236, 236, 236));
  setPalette(palette);

  auto* root = new QHBoxLayout(this);
  root->setContentsMargins(12, 12, 12, 12);
  root->setSpacing(12);
  auto* scroll = new QScrollArea(this);
  scroll->setWidget(buildOptions());
  scroll->setWidgetResizable(true);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll->setFixedWidth(360);
  scroll->setFrameShape(QFrame::NoFrame);
  root->addWidget(scroll);

  auto* right = new QVBoxLayout;
  root->addLayout(right, 1);
  message_ = new QLabel(this);
  message_->setWordWrap(true);
  message_->setStyleSheet("color: #b00020; font-weight: bold;");
  message_->hide();
  right->addWidget(message_);
  large_ = new AdvancedScanImageView(this);
  large_->setMinimumSize(320, 240);
  large_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
  right->addWidget(large_, 1);
  auto* strip = new QHBoxLayout;
  strip->setSpacing(6);
  const char* tips[6] = {"Colour picture", "Laser 1", "Laser 2", "Laser 1 alternate", "Laser 2 alternate", "Laser points found"};
  for (int slot = 0; slot < 6; ++slot) {
    auto* thumbnail = new AdvancedScanThumbnail(this);
    thumbnail->setToolTip(tr(tips[slot]));
    thumbnail->setObjectName(QString("Thumbnail%1").arg(slot + 1));
    connect(thumbnail, &QAbstractButton::clicked, this, [this, slot] { presenter_->displayImageButtonPressed(slot + 1); });
    thumbnails_[static_cast<std::size_t>(slot)] = thumbnail;
    strip->addWidget(thumbnail);
  }
  strip->addStretch(1);
  right->addLayout(strip);

  auto* lower = new QHBoxLayout;
  summary_ = new QTextBrowser(this);
  summary_->setObjectName("AnalysisSummary");
  summary_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  summary_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  summary_->setFixedHeight(118);
  lower->addWidget(summary_, 1);
  auto* motion = new QGridLayout;
  motion->addWidget(new QLabel(tr("Head"), this), 0, 0, 1, 2, Qt::AlignCenter);
  motion->addWidget(makeButton(AdvancedScanButton::Up, tr("Up"), "Up"), 1, 0, 1, 2);
  motion->addWidget(makeButton(AdvancedScanButton::Down, tr("Down"), "Down"), 2, 0, 1, 2);
  motion->addWidget(new QLabel(tr("Bed"), this), 3, 0, 1, 2, Qt::AlignCenter);
  motion->addWidget(makeButton(AdvancedScanButton::LeftLeft, tr("<< 15°"), "LeftLeft"), 4, 0);
  motion->addWidget(makeButton(AdvancedScanButton::Left, tr("< 5°"), "Left"), 4, 1);
  motion->addWidget(makeButton(AdvancedScanButton::Right, tr("5° >"), "Right"), 5, 1);
  motion->addWidget(makeButton(AdvancedScanButton::RightRight, tr("15° >>"), "RightRight"), 5, 0);
  lower->addLayout(motion);
  right->addLayout(lower);

  auto* bar = new QHBoxLayout;
  bar->addWidget(makeButton(AdvancedScanButton::Home, tr("Back"), "Home"));
  bar->addStretch(1);
  bar->addWidget(makeButton(AdvancedScanButton::RestoreDefaults, tr("Restore Defaults"), "RestoreDefaults"));
  bar->addWidget(makeButton(AdvancedScanButton::AutoTuning, tr("Auto Tune"), "AutoTuning"));
  bar->addWidget(makeButton(AdvancedScanButton::Start, tr("Start Scan"), "Start"));
  right->addLayout(bar);

  // The tuning panel lies over the whole screen while the exposures are tuned.
  tuningPanel_ = new QWidget(this);
  tuningPanel_->setObjectName("AutoTuningPanel");
  tuningPanel_->setAutoFillBackground(true);
  QPalette green = tuningPanel_->palette();
  green.setColor(QPalette::Window, accentGreenColour());
  tuningPanel_->setPalette(green);
  auto* tuningLayout = new QVBoxLayout(tuningPanel_);
  tuningLayout->addStretch(1);
  auto* tuningTitle = new QLabel(tr("Finding the best exposures..."), tuningPanel_);
  tuningTitle->setStyleSheet("color: white; font-size: 18px; font-weight: bold;");
  tuningLayout->addWidget(tuningTitle, 0, Qt::AlignCenter);
  tuningProgress_ = new LevelIndicator(tuningPanel_);
  tuningProgress_->setMaxValue(100.0);
  tuningLayout->addWidget(tuningProgress_, 0, Qt::AlignCenter);
  auto* cancel = new SquareButton(tr("Cancel"), tuningPanel_);
  cancel->setObjectName("CancelAutoTune");
  connect(cancel, &QPushButton::clicked, this, [this] { presenter_->cancelAutoTuneButtonPressed(); });
  tuningLayout->addWidget(cancel, 0, Qt::AlignCenter);
  tuningLayout->addStretch(1);
  tuningPanel_->hide();

  for (int slot = 0; slot < 6; ++slot) updateThumbnail(slot, nullptr, true, 0.4);
  presenter_->attachView(this);
  presenter_->loadView();
  settingsChanged();
}

AdvancedScanPage::~AdvancedScanPage() { presenter_->detachView(); }

QPushButton* AdvancedScanPage::makeButton(AdvancedScanButton kind, const QString& title, const QString& identifier) {
  QPushButton* button;
  if (kind == AdvancedScanButton::Start || kind == AdvancedScanButton::AutoTuning ||
      kind == AdvancedScanButton::RestoreDefaults) {
    auto* square = new SquareButton(title, this);
    square->setButtonStyle(2);
    button = square;
  } else {
    button = new QPushButton(title, this);
  }
  button->setObjectName(identifier);
  buttons_[kind] = button;
  connect(button, &QPushButton::clicked, this, [this, kind, identifier] {
    const std::string id = identifier.toStdString();
    switch (kind) {
      case AdvancedScanButton::Start: presenter_->startScanButtonPressed(); break;
      case AdvancedScanButton::AutoTuning: presenter_->autoTuningButtonPressed(); break;
      case AdvancedScanButton::RestoreDefaults: presenter_->restoreDefaultsButtonPressed(); break;
      case AdvancedScanButton::Home: presenter_->homeButtonPressed(); break;
      case AdvancedScanButton::Up:
      case AdvancedScanButton::Down: presenter_->moveHeadButtonPressed(id); break;
      default: presenter_->rotateBedButtonPressed(id); break;
    }
  });
  return button;
}

QWidget* AdvancedScanPage::settingRow(const QString& title, F field, int tableSize) {
  auto* row = new QWidget;
  auto* layout = new QGridLayout(row);
  layout->setContentsMargins(0, 2, 0, 2);
  layout->addWidget(new QLabel(title, row), 0, 0, 1, 2);
  auto* text = new NotificationTextField(row);
  text->setObjectName(fieldIdentifier(field));
  text->setFixedWidth(72);
  fields_[field] = text;
  connect(text, &NotificationTextField::didBecomeFirstResponder, this,
          [this, field] { presenter_->textFieldDidBecomeFirstResponder(field); });
  connect(text, &QLineEdit::editingFinished, this, [this, field, text] {
    if (text->text().toStdString() != presenter_->text(field)) presenter_->setText(field, text->text().toStdString());
  });
  if (tableSize > 0) {
    auto* slider = new NotificationSlider(Qt::Horizontal, row);
    slider->setObjectName(QString(fieldIdentifier(field)) + "Slider");
    slider->setRange(0, tableSize - 1);
    slider->setTickPosition(QSlider::TicksBelow);
    slider->setTickInterval(1);
    slider->setPageStep(1);
    sliders_[field] = slider;
    connect(slider, &QSlider::valueChanged, this, [this, field](int index) {
      if (index != presenter_->index(field)) presenter_->setIndex(field, index);
    });
    connect(slider, &NotificationSlider::mouseClicked, this, [this, slider] {
      presenter_->mouseClickedForSlider(slider->objectName().toStdString());
    });
    layout->addWidget(slider, 1, 0);
    layout->addWidget(text, 1, 1);
  } else {
    layout->addWidget(text, 0, 2);
  }
  return row;
}

QWidget* AdvancedScanPage::buildOptions() {
  auto* options = new QWidget;
  options->setObjectName("ScanOptions");
  auto* layout = new QVBoxLayout(options);
  layout->setContentsMargins(4, 4, 12, 4);
  const int exposures = static_cast<int>(AdvancedScanPresenter::exposures().size());
  auto heading = [&](const QString& text) {
    auto* label = new QLabel(text, options);
    label->setStyleSheet("font-weight: bold; margin-top: 8px;");
    layout->addWidget(label);
  };
  auto panel = [&](std::initializer_list<QWidget*> rows) {
    auto* box = new QWidget(options);
    auto* boxLayout = new QVBoxLayout(box);
    boxLayout->setContentsMargins(12, 0, 0, 0);
    for (QWidget* row : rows) boxLayout->addWidget(row);
    layout->addWidget(box);
    return box;
  };

  heading(tr("Laser exposure"));
  layout->addWidget(settingRow(tr("Laser 1"), F::Laser1Exposure, exposures));
  lock_ = new QCheckBox(tr("Laser 2 follows laser 1"), options);
  lock_->setObjectName("Laser2Lock");
  connect(lock_, &QCheckBox::clicked, this, [this](bool locked) {
    presenter_->setLaserExposuresAreUnlocked(!locked);
    presenter_->laser2LockButtonPressed();
  });
  layout->addWidget(lock_);
  layout->addWidget(settingRow(tr("Laser 2"), F::Laser2Exposure, exposures));

  highContrast_ = new QCheckBox(tr("High contrast scanning"), options);
  highContrast_->setObjectName("EnableHighContrastScanning");
  connect(highContrast_, &QCheckBox::clicked, this, [this](bool on) { presenter_->setEnableHighContrastScanning(on); });
  layout->addWidget(highContrast_);
  alternateLock_ = new QCheckBox(tr("Laser 2 follows laser 1"));
  alternateLock_->setObjectName("Laser2AlternateLock");
  connect(alternateLock_, &QCheckBox::clicked, this, [this](bool locked) {
    presenter_->setLaserExposuresAreUnlocked(!locked);
    presenter_->laser2AlternateLockButtonPressed();
  });
  highContrastPanel_ = panel({settingRow(tr("Laser 1 alternate"), F::Laser1AlternateExposure, exposures), alternateLock_,
                              settingRow(tr("Laser 2 alternate"), F::Laser2AlternateExposure, exposures)});

  colour_ = new QCheckBox(tr("Colour scans"), options);
  colour_->setObjectName("EnableColourScans");
  connect(colour_, &QCheckBox::clicked, this, [this](bool on) { presenter_->setEnableColourScans(on); });
  layout->addWidget(colour_);
  colourPanel_ = panel({settingRow(tr("Colour exposure"), F::ColourCapture, exposures),
                        settingRow(tr("White balance"), F::WhiteBalance,
                                   static_cast<int>(AdvancedScanPresenter::whiteBalanceValues().size()))});

  adaptive_ = new QCheckBox(tr("Adaptive scanning"), options);
  adaptive_->setObjectName("EnableAdaptiveScanning");
  connect(adaptive_, &QCheckBox::clicked, this, [this](bool on) { presenter_->setEnableAdaptiveScan(on); });
  layout->addWidget(adaptive_);
  adaptivePanel_ = panel({settingRow(tr("Smallest step (degrees)"), F::MinAverageRotation, 0),
                          settingRow(tr("Largest step (degrees)"), F::MaxAverageRotation, 0)});
  fixedPanel_ = panel({settingRow(tr("Bed rotation (degrees)"), F::BedRotation,
                                  static_cast<int>(AdvancedScanPresenter::rotationAngles().size()))});
  layout->addStretch(1);
  return options;
}

void AdvancedScanPage::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  tuningPanel_->setGeometry(rect());
}

void AdvancedScanPage::setButtonEnabled(AdvancedScanButton button, bool enabled) { buttons_.at(button)->setEnabled(enabled); }

void AdvancedScanPage::focusField(F field) {
  NotificationTextField* text = fields_.at(field);
  if (!text->isVisibleTo(this) || !text->isEnabled()) return;
  text->setFocus(Qt::OtherFocusReason);
  // Without an active window Qt sends no focus event; the screen is told all the same.
  if (!text->hasFocus()) presenter_->textFieldDidBecomeFirstResponder(field);
}

bool AdvancedScanPage::isFieldFocused(F field) const { return fields_.at(field)->hasFocus(); }

void AdvancedScanPage::clearFocus() {
  if (QWidget* focused = focusWidget()) focused->clearFocus();
}

void AdvancedScanPage::settingsChanged() {
  for (auto& [field, text] : fields_) {
    const QString value = QString::fromStdString(presenter_->text(field));
    if (text->text() != value) text->setText(value);
  }
  for (auto& [field, slider] : sliders_) {
    const QSignalBlocker quiet(slider);
    slider->setValue(static_cast<int>(presenter_->index(field)));
  }
  const bool unlocked = presenter_->laserExposuresAreUnlocked();
  lock_->setChecked(!unlocked);
  alternateLock_->setChecked(!unlocked);
  fields_.at(F::Laser2Exposure)->setEnabled(unlocked);
  sliders_.at(F::Laser2Exposure)->setEnabled(unlocked);
  const bool alternateUnlocked = presenter_->alternateLaserExposuresAreUnlocked();
  fields_.at(F::Laser2AlternateExposure)->setEnabled(alternateUnlocked);
  sliders_.at(F::Laser2AlternateExposure)->setEnabled(alternateUnlocked);
  adaptive_->setChecked(presenter_->enableAdaptiveScan());
  colour_->setChecked(presenter_->enableColourScans());
  highContrast_->setChecked(presenter_->enableHighContrastScanning());
}

void AdvancedScanPage::setOptionShown(AdvancedScanOption option, bool shown, bool animated, std::function<void()> done) {
  QWidget* in = nullptr;
  QWidget* out = nullptr;
  switch (option) {
    case AdvancedScanOption::Adaptive:
      in = shown ? adaptivePanel_ : fixedPanel_, out = shown ? fixedPanel_ : adaptivePanel_;
      break;
    case AdvancedScanOption::Colour:
      (shown ? in : out) = colourPanel_;
      thumbnails_[0]->setVisible(shown);
      break;
    case AdvancedScanOption::HighContrast:
      (shown ? in : out) = highContrastPanel_;
      thumbnails_[3]->setVisible(shown);
      thumbnails_[4]->setVisible(shown);
      break;
  }
  if (out) out->hide();
  const int duration_ms = animationMilliseconds(0.2);
  if (!in || !animated || duration_ms <= 0) {
    if (in) in->show();
    if (done) done();
    return;
  }
  // The panel grows open in 0.2 s; the focus moves once it is there.
  in->setMaximumHeight(0);
  in->show();
  auto* grow = new QPropertyAnimation(in, "maximumHeight", in);
  grow->setDuration(duration_ms);
  grow->setStartValue(0);
  grow->setEndValue(in->sizeHint().height());
  connect(grow, &QPropertyAnimation::finished, in, [in, done] {
    in->setMaximumHeight(QWIDGETSIZE_MAX);
    if (done) done();
  });
  grow->start(QAbstractAnimation::DeleteWhenStopped);
}

void AdvancedScanPage::updateThumbnail(int slot, const DisplayImage& image, bool busy, double alpha) {
  AdvancedScanThumbnail* thumbnail = thumbnails_.at(static_cast<std::size_t>(slot));
  if (image) thumbnail->setPicture(imageFromDisplayImage(image));
  thumbnail->setBusy(busy, alpha);
}

void AdvancedScanPage::showLargeImage(const DisplayImage& image, double alpha) {
  if (!image) {
    large_->setPicture({}, alpha);
    return;
  }
  large_->setPicture(imageFromDisplayImage(image), alpha);
}

void AdvancedScanPage::setHighlightedSlot(std::optional<int> slot) {
  for (int i = 0; i < 6; ++i) thumbnails_[static_cast<std::size_t>(i)]->setHighlighted(slot && *slot == i);
}

void AdvancedScanPage::showSummaryPage(const std::string& html, const std::optional<std::filesystem::path>& base) {
  if (base) {
    summary_->setSearchPaths({QString::fromStdString(base->string())});
    summary_->document()->setBaseUrl(QUrl::fromLocalFile(QString::fromStdString(base->string()) + "/"));
  } else {
    summary_->setSearchPaths({});
    summary_->document()->setBaseUrl(QUrl());
  }
  summary_->setHtml(QString::fromStdString(html));
}

void AdvancedScanPage::setTuningPanelShown(bool shown) {
  tuningPanel_->setGeometry(rect());
  tuningPanel_->setVisible(shown);
  if (shown) {
    tuningProgress_->setValue(0.0);
    tuningPanel_->raise();
  }
}

void AdvancedScanPage::setTuningProgress(double percent) { tuningProgress_->setValue(percent); }

void AdvancedScanPage::showMessage(const std::string& text) {
  message_->setText(QString::fromStdString(text));
  message_->setVisible(!text.empty());
}

}  // namespace qv::screens
