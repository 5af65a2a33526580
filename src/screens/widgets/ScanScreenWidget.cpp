// The scan screen's page.
#include "screens/widgets/ScanScreenWidget.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QResizeEvent>
#include <QVBoxLayout>
#include <QWheelEvent>

#include "platform/Queue.h"
#include "screens/widgets/LevelIndicator.h"
#include "screens/widgets/QtColours.h"
#include "screens/widgets/SquareButton.h"
#include "screens/widgets/WaitingView.h"
#include "viewer/ui/KeyModifiers.h"
#include "viewer/ui/QVLSceneRenderer.h"

namespace qv::screens {

namespace {

constexpr int kFrameWidth = 1280, kFrameHeight = 960;
constexpr std::size_t kFrameBytes = std::size_t{kFrameWidth} * kFrameHeight * 4;
const QColor kPanelColour(250, 249, 244);

void fill(QWidget* widget, const QColor& colour) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::Window, colour);
  widget->setPalette(palette);
  widget->setAutoFillBackground(true);
}

QLabel* label(const QString& text, int pointSize, bool bold, QWidget* parent, const QColor& colour = QColor(40, 40, 40)) {
  auto* l = new QLabel(text, parent);
  QFont font = l->font();
  font.setPointSize(pointSize);
  font.setBold(bold);
  l->setFont(font);
  QPalette palette = l->palette();
  palette.setColor(QPalette::WindowText, colour);
  l->setPalette(palette);
  l->setWordWrap(true);
  return l;
}

SquareButton* makeButton(const QString& title, int style, QWidget* parent) {
  auto* b = new SquareButton(title, parent);
  b->setButtonStyle(style);
  b->setMinimumSize(110, 34);
  return b;
}

// A camera frame as an image: 4 bytes a pixel in the order blue, green, red, alpha. The alpha is
// ignored, so a frame with no alpha written still shows. Frames of another size show nothing.
QPixmap pixmapOfFrame(const qv::Data& frame, QSize box) {
  if (frame.size() != kFrameBytes) return {};
  const QImage image(frame.data(), kFrameWidth, kFrameHeight, kFrameWidth * 4, QImage::Format_RGB32);
  return QPixmap::fromImage(image.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation));
}

}  // namespace

ScanScreenWidget::ScanScreenWidget(std::shared_ptr<ScanScreenPresenter> presenter, qv::Settings& settings,
                                   QWidget* parent)
    : QWidget(parent), presenter_(std::move(presenter)), settings_(settings) {
  setObjectName("ScanScreen");
  fill(this, kPanelColour);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  startPage_ = buildStartPage();
  scanPage_ = buildScanPage();
  layout->addWidget(startPage_);
  layout->addWidget(scanPage_);
  saveOverlay_ = buildSaveOverlay();

  // Settings may change on any thread; the scene is touched on this one.
  QPointer<ScanScreenWidget> guard(this);
  settingsToken_ = settings_.addChangeListener([guard](const std::string& key) {
    if (key != "ViewerDefaultColour" && key != "ViewPointSize" && key != "Enable3DPointSmoothing") return;
    qv::mainQueue()->async([guard, key] {
      if (!guard) return;
      if (key == "ViewerDefaultColour") {
        if (auto scene = guard->presenter_->scene().scene()) scene->setBackground(guard->presenter_->scene().backgroundColour());
      }
      guard->applyPointSize();
      guard->redraw();
    });
  });
  presenter_->setView(this);
  applyPointSize();
}

ScanScreenWidget::~ScanScreenWidget() {
  settings_.removeChangeListener(settingsToken_);
  presenter_->setView(nullptr);
}

QWidget* ScanScreenWidget::buildStartPage() {
  auto* page = new QWidget(this);
  page->setObjectName("chooseQualityPanel");
  fill(page, kPanelColour);
  auto* outer = new QVBoxLayout(page);
  outer->setContentsMargins(48, 40, 48, 32);
  outer->setSpacing(24);
  outer->addWidget(label(tr("Choose the quality of your scan"), 22, true, page));
  outer->addWidget(label(tr("Stand the object in the middle of the turntable. A finer step takes longer and "
                            "stores more points."),
                         12, false, page, QColor(90, 90, 90)));
  auto* row = new QHBoxLayout;
  row->setSpacing(20);
  const struct {
    QString title, step, text;
  } choices[] = {
      {tr("Quick"), tr("3° steps"), tr("A first look at the object: 120 views a turn.")},
      {tr("Medium"), tr("1° steps"), tr("Most objects: 360 views a turn, fine detail.")},
      {tr("High"), tr("0.5° steps"), tr("The finest detail: 720 views a turn, for small objects.")},
  };
  for (int i = 0; i < 3; ++i) {
    auto* panel = new QWidget(page);
    panel->setObjectName(i == 0 ? "simpleQualityPanel" : i == 1 ? "mediumQualityPanel" : "highQualityPanel");
    fill(panel, Qt::white);
    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(10);
    column->addWidget(label(choices[i].title, 18, true, panel));
    column->addWidget(label(choices[i].step, 13, true, panel, accentGreenColour()));
    column->addWidget(label(choices[i].text, 11, false, panel, QColor(90, 90, 90)));
    column->addStretch(1);
    quality_[i] = makeButton(tr("Start"), i == 0 ? 1 : 3, panel);
    column->addWidget(quality_[i]);
    row->addWidget(panel, 1);
  }
  connect(quality_[0], &QAbstractButton::clicked, this, [this] { presenter_->simpleQualityScanButtonPressed(); });
  connect(quality_[1], &QAbstractButton::clicked, this, [this] { presenter_->mediumQualityScanButtonPressed(); });
  connect(quality_[2], &QAbstractButton::clicked, this, [this] { presenter_->highQualityScanButtonPressed(); });
  outer->addLayout(row, 1);
  auto* bottom = new QHBoxLayout;
  bottom->addStretch(1);
  startCancel_ = makeButton(tr("Cancel"), 4, page);
  connect(startCancel_, &QAbstractButton::clicked, this, [this] { presenter_->cancelButtonPressed(); });
  bottom->addWidget(startCancel_);
  outer->addLayout(bottom);
  return page;
}

QWidget* ScanScreenWidget::buildScanPage() {
  auto* page = new QWidget(this);
  page->setObjectName("scanView");
  auto* row = new QHBoxLayout(page);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(0);

  auto* left = new QVBoxLayout;
  left->setSpacing(0);
  renderer_ = new QVLSceneRenderer(page);
  renderer_->setObjectName("sceneView");
  renderer_->setFocusPolicy(Qt::StrongFocus);
  renderer_->setSceneSource([weak = std::weak_ptr<ScanScreenPresenter>(presenter_)]() -> scene::ScenePtr {
    auto presenter = weak.lock();
    return presenter ? presenter->scene().scene() : nullptr;
  });
  renderer_->installEventFilter(this);
  left->addWidget(renderer_, 1);

  auto* bar = new QWidget(page);
  bar->setObjectName("toolbarContainer");
  fill(bar, QColor(58, 60, 62));
  auto* barLayout = new QHBoxLayout(bar);
  barLayout->setContentsMargins(16, 10, 16, 10);
  barLayout->setSpacing(10);
  pause_ = makeButton(tr("Pause"), 1, bar);
  play_ = makeButton(tr("Resume"), 1, bar);
  cancel_ = makeButton(tr("Cancel"), 2, bar);
  finish_ = makeButton(tr("Finish"), 1, bar);
  for (auto* b : {pause_, play_, cancel_, finish_}) barLayout->addWidget(b);
  auto* progressColumn = new QVBoxLayout;
  progressColumn->setSpacing(4);
  status_ = label({}, 11, false, bar, Qt::white);
  status_->setObjectName("progressLabel");
  progress_ = new LevelIndicator(bar);
  progress_->setObjectName("progressIndicator");
  progress_->setMaxValue(1.0);
  progressColumn->addWidget(status_);
  progressColumn->addWidget(progress_);
  barLayout->addLayout(progressColumn, 1);
  details_ = makeButton(tr("Details"), 2, bar);
  barLayout->addWidget(details_);
  left->addWidget(bar);
  row->addLayout(left, 1);

  rightPanel_ = new QWidget(page);
  rightPanel_->setObjectName("advancedPanel");
  fill(rightPanel_, accentGreenColour());
  rightPanel_->setFixedWidth(0);
  auto* panel = new QVBoxLayout(rightPanel_);
  panel->setContentsMargins(10, 16, 10, 16);
  panel->setSpacing(8);
  panel->addWidget(label(tr("Laser"), 11, true, rightPanel_, Qt::white));
  monitor1_ = new QLabel(rightPanel_);
  monitor1_->setObjectName("monitorImageView1");
  monitor1_->setFixedSize(240, 180);
  panel->addWidget(monitor1_);
  panel->addWidget(label(tr("Camera"), 11, true, rightPanel_, Qt::white));
  monitor2_ = new QLabel(rightPanel_);
  monitor2_->setObjectName("monitorImageView2");
  monitor2_->setFixedSize(240, 180);
  panel->addWidget(monitor2_);
  panel->addStretch(1);
  row->addWidget(rightPanel_);

  connect(pause_, &QAbstractButton::clicked, this, [this] { presenter_->pauseButtonPressed(); });
  connect(play_, &QAbstractButton::clicked, this, [this] { presenter_->playButtonPressed(); });
  connect(cancel_, &QAbstractButton::clicked, this, [this] { presenter_->cancelButtonPressed(); });
  connect(finish_, &QAbstractButton::clicked, this, [this] { presenter_->finishButtonPressed(); });
  connect(details_, &QAbstractButton::clicked, this, [this] { presenter_->toggleAdvanced(); });
  return page;
}

QWidget* ScanScreenWidget::buildSaveOverlay() {
  auto* overlay = new QWidget(this);
  overlay->setObjectName("saveScanView");
  fill(overlay, QColor::fromRgbF(0.5f, 0.5f, 0.5f, 0.4f));
  auto* centre = new QVBoxLayout(overlay);
  centre->setAlignment(Qt::AlignCenter);

  savePromptPanel_ = new QWidget(overlay);
  savePromptPanel_->setObjectName("savePromptPanel");
  fill(savePromptPanel_, Qt::white);
  savePromptPanel_->setFixedWidth(460);
  auto* prompt = new QVBoxLayout(savePromptPanel_);
  prompt->setContentsMargins(28, 24, 28, 24);
  prompt->setSpacing(14);
  prompt->addWidget(label(tr("Save your scan"), 18, true, savePromptPanel_));
  prompt->addWidget(label(tr("The scan is saved as a file and then opened in the 3D viewer, where you can clean, "
                             "mesh and export it."),
                          11, false, savePromptPanel_, QColor(90, 90, 90)));
  auto* buttons = new QHBoxLayout;
  auto* discard = makeButton(tr("Discard Scan"), 4, savePromptPanel_);
  auto* back = makeButton(tr("Back"), 4, savePromptPanel_);
  save_ = makeButton(tr("Save..."), 1, savePromptPanel_);
  buttons->addWidget(discard);
  buttons->addStretch(1);
  buttons->addWidget(back);
  buttons->addWidget(save_);
  prompt->addLayout(buttons);
  centre->addWidget(savePromptPanel_);

  savingPanel_ = new QWidget(overlay);
  savingPanel_->setObjectName("savingPanel");
  fill(savingPanel_, Qt::white);
  savingPanel_->setFixedWidth(460);
  auto* saving = new QHBoxLayout(savingPanel_);
  saving->setContentsMargins(28, 24, 28, 24);
  saving->addWidget(new WaitingView(savingPanel_));
  saving->addWidget(label(tr("Saving the scan..."), 16, true, savingPanel_), 1);
  centre->addWidget(savingPanel_);

  connect(save_, &QAbstractButton::clicked, this, [this] { presenter_->saveScanButtonPressed(); });
  connect(back, &QAbstractButton::clicked, this, [this] { presenter_->cancelFinishButtonPressed(); });
  connect(discard, &QAbstractButton::clicked, this, [this] { presenter_->discardScanButtonPressed(); });
  overlay->hide();
  return overlay;
}

QAbstractButton* ScanScreenWidget::button(int menuTag) const {
  switch (menuTag) {
    case ScanScreenPresenter::kPauseMenuTag: return pause_;
    case ScanScreenPresenter::kFinishMenuTag: return finish_;
    case ScanScreenPresenter::kCancelMenuTag: return presenter_->controls().startView ? startCancel_ : cancel_;
    case ScanScreenPresenter::kPlayMenuTag: return play_;
    case ScanScreenPresenter::kDetailsMenuTag: return details_;
    default: return nullptr;
  }
}

QAbstractButton* ScanScreenWidget::qualityButton(int quality) const { return quality >= 0 && quality < 3 ? quality_[quality] : nullptr; }
QAbstractButton* ScanScreenWidget::saveButton() const { return save_; }

void ScanScreenWidget::showControls(const ScanScreenControls& c) {
  startPage_->setVisible(c.startView);
  scanPage_->setVisible(!c.startView);
  pause_->setVisible(c.pause);
  play_->setVisible(c.play);
  cancel_->setVisible(c.cancel);
  finish_->setVisible(c.finish);
  details_->setVisible(c.details);
  status_->setVisible(c.progressLabel);
  status_->setText(QString::fromStdString(c.status));
  progress_->setVisible(c.progressBar);
  progress_->setValue(c.progress);
  saveOverlay_->setVisible(c.saveOverlay);
  savePromptPanel_->setVisible(c.savePrompt);
  savingPanel_->setVisible(c.saving);
  if (c.saveOverlay) {
    saveOverlay_->setGeometry(rect());
    saveOverlay_->raise();
  }
  if (!c.startView && !renderer_->hasFocus() && isVisible()) renderer_->setFocus();
}

void ScanScreenWidget::showMonitorImages(qv::SharedData laserImage, qv::SharedData monitorImage) {
  if (laserImage) monitor1_->setPixmap(pixmapOfFrame(*laserImage, monitor1_->size()));
  if (monitorImage) monitor2_->setPixmap(pixmapOfFrame(*monitorImage, monitor2_->size()));
}

void ScanScreenWidget::clearMonitorImages() {
  monitor1_->clear();
  monitor2_->clear();
}

void ScanScreenWidget::setRightPanelOpen(bool open) {
  if (panelAnimation_) panelAnimation_->stop();
  rightPanel_->setFixedWidth(open ? static_cast<int>(ScanScreenPresenter::kRightPanelWidth) : 0);
}

void ScanScreenWidget::animateRightPanel(bool open, double seconds, std::function<void()> done) {
  auto* animation = new QVariantAnimation(this);
  animation->setStartValue(rightPanel_->width());
  animation->setEndValue(open ? static_cast<int>(ScanScreenPresenter::kRightPanelWidth) : 0);
  animation->setDuration(static_cast<int>(seconds * 1000));
  animation->setEasingCurve(QEasingCurve::InOutQuad);
  connect(animation, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) { rightPanel_->setFixedWidth(v.toInt()); });
  connect(animation, &QVariantAnimation::finished, this, [this, open, done = std::move(done)] {
    rightPanel_->setFixedWidth(open ? static_cast<int>(ScanScreenPresenter::kRightPanelWidth) : 0);
    if (done) done();
  });
  panelAnimation_ = animation;
  animation->start(QAbstractAnimation::DeleteWhenStopped);
}

void ScanScreenWidget::chooseSaveLocation(const std::string& defaultName, const std::filesystem::path& folder,
                                          std::function<void(std::optional<std::string>)> done) {
  if (saveChooser_) {
    saveChooser_(defaultName, folder, std::move(done));
    return;
  }
  auto* dialog = new QFileDialog(window(), tr("Quorvel"), QString::fromStdString((folder / defaultName).string()));
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setNameFilters({tr("Scan project (*.qvkx)"), tr("Scan file (*.qvk)")});
  dialog->setDefaultSuffix("qvkx");
  dialog->setLabelText(QFileDialog::Accept, tr("Save Scan"));
  dialog->setWindowModality(Qt::WindowModal);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  connect(dialog, &QFileDialog::filterSelected, dialog,
          [dialog](const QString& filter) { dialog->setDefaultSuffix(filter.contains("qvkx") ? "qvkx" : "qvk"); });
  auto shared = std::make_shared<std::function<void(std::optional<std::string>)>>(std::move(done));
  connect(dialog, &QFileDialog::fileSelected, this, [shared](const QString& file) {
    if (*shared) std::exchange(*shared, nullptr)(file.toStdString());
  });
  connect(dialog, &QDialog::rejected, this, [shared] {
    if (*shared) std::exchange(*shared, nullptr)(std::nullopt);
  });
  dialog->open();
}

void ScanScreenWidget::previewChanged(double highlightFadeSeconds) {
  applyPointSize();
  if (fadeAnimation_) fadeAnimation_->stop();
  if (highlightFadeSeconds <= 0) {
    presenter_->preview().fadeHighlight(1.0f);
    redraw();
    return;
  }
  // The latest points flash red and fade into the background.
  auto* animation = new QVariantAnimation(this);
  animation->setStartValue(0.0);
  animation->setEndValue(1.0);
  animation->setDuration(static_cast<int>(highlightFadeSeconds * 1000));
  connect(animation, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
    presenter_->preview().fadeHighlight(static_cast<float>(v.toDouble()));
    redraw();
  });
  fadeAnimation_ = animation;
  animation->start(QAbstractAnimation::DeleteWhenStopped);
  redraw();
}

void ScanScreenWidget::sceneReset() {
  applyPointSize();
  redraw();
}

void ScanScreenWidget::applyPointSize() {
  const auto& scene = presenter_->scene();
  renderer_->setPointRendering(scene.pointSize(renderer_->devicePixelRatioF()), scene.pointSmoothing());
}

void ScanScreenWidget::redraw() { renderer_->update(); }

void ScanScreenWidget::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  saveOverlay_->setGeometry(rect());
}

bool ScanScreenWidget::eventFilter(QObject* watched, QEvent* event) {
  if (watched != renderer_) return QWidget::eventFilter(watched, event);
  auto& scene = presenter_->scene();
  switch (event->type()) {
    case QEvent::MouseButtonPress: {
      auto* e = static_cast<QMouseEvent*>(event);
      lastDrag_ = e->position().toPoint();
      rightDragging_ = e->button() == Qt::RightButton;
      dragging_ = e->button() == Qt::LeftButton;
      renderer_->setFocus();
      return true;
    }
    case QEvent::MouseMove: {
      auto* e = static_cast<QMouseEvent*>(event);
      const QPoint now = e->position().toPoint(), delta = now - lastDrag_;
      lastDrag_ = now;
      if (rightDragging_)
        scene.panTheObject(delta.x(), delta.y());
      else if (dragging_)
        scene.drag(delta.x(), delta.y(), renderer_->width(), renderer_->height(), modifiersOf(e->modifiers()));
      else
        return false;
      redraw();
      return true;
    }
    case QEvent::MouseButtonRelease:
      dragging_ = rightDragging_ = false;
      return true;
    case QEvent::Wheel: {
      // A notch (15 degrees) moves the camera 15 units; turning the wheel away brings it nearer.
      scene.scrollWheel(-static_cast<QWheelEvent*>(event)->angleDelta().y() / 8.0);
      applyPointSize();
      redraw();
      return true;
    }
    case QEvent::KeyPress: {
      auto* e = static_cast<QKeyEvent*>(event);
      if (e->key() != Qt::Key_C) return false;
      const bool shift = e->modifiers().testFlag(Qt::ShiftModifier);
      scene.resetViewKey(shift);
      if (shift) applyPointSize();
      redraw();
      return true;
    }
    default:
      return QWidget::eventFilter(watched, event);
  }
}

}  // namespace qv::screens
