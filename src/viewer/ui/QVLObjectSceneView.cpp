// The 3D viewer screen.
#include "viewer/ui/QVLObjectSceneView.h"

#include <QColorDialog>
#include <QFileDialog>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QTimer>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <QWindow>
#include <string_view>

#include "viewer/ui/FilePanel.h"
#include "viewer/ui/KeyModifiers.h"
#include "viewer/ui/QVLMeshingView.h"
#include "viewer/ui/QVLCleaningPanel.h"
#include "viewer/ui/QVLAligningView.h"
#include "viewer/ui/QVLSceneRenderer.h"

using qv::viewer::HeaderButtons;
using qv::viewer::RightPanel;
using qv::viewer::SaveChangesAnswer;

namespace {

constexpr int kHeaderHeight = 44;
constexpr int kRightPanelWidth = 250;
constexpr int kPanelAnimationMs = 500;
constexpr int kFadeMs = 300;
constexpr int kLayerRowHeight = 24;
const char* kAccentVeil = "background-color: rgba(17, 217, 127, 128);";

QColor toQColor(qv::scene::Colour c) { return QColor::fromRgbF(c.red, c.green, c.blue, c.alpha); }

bool isModifierKey(int key) { return key == Qt::Key_Shift || key == Qt::Key_Control; }

// The keys held once a Shift or Control press or release has taken effect: the event's own
// modifiers may or may not count the key that changed, depending on the window system.
QVLModifiers modifiersAfter(const QKeyEvent* e) {
  QVLModifiers m = modifiersOf(e->modifiers());
  const bool down = e->type() == QEvent::KeyPress;
  if (e->key() == Qt::Key_Shift) m.shift = down;
  if (e->key() == Qt::Key_Control) m.control = down;
  return m;
}

}  // namespace

QVLObjectSceneView::QVLObjectSceneView(std::shared_ptr<QVLObjectSceneViewController> controller, QWidget* parent)
    : QWidget(parent), controller_(std::move(controller)) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  buildHeader();
  layout->addWidget(header_);

  auto* body = new QHBoxLayout;
  body->setContentsMargins(0, 0, 0, 0);
  body->setSpacing(0);
  sceneArea_ = new QWidget(this);
  auto* sceneLayout = new QVBoxLayout(sceneArea_);
  sceneLayout->setContentsMargins(0, 0, 0, 0);
  renderer_ = new QVLSceneRenderer(sceneArea_);
  renderer_->setFocusPolicy(Qt::StrongFocus);
  renderer_->setMouseTracking(false);
  renderer_->installEventFilter(this);
  sceneLayout->addWidget(renderer_);
  brushOverlay_ = new QVLBrushStrokeOverlay(sceneArea_);
  brushOverlay_->setObjectName("brushStrokeOverlay");
  body->addWidget(sceneArea_, 1);
  buildPanels();
  body->addWidget(rightPanel_);
  layout->addLayout(body, 1);

  pointCount_ = new QLabel(sceneArea_);
  pointCount_->setStyleSheet("color: rgb(60, 60, 60); background: transparent; padding: 6px;");
  pointCount_->setAttribute(Qt::WA_TransparentForMouseEvents);
  layerTable_ = new QListWidget(sceneArea_);
  layerTable_->setFixedWidth(200);
  layerTable_->setMaximumHeight(0);
  layerTable_->setStyleSheet("QListWidget { background: white; border: none; }"
                             "QListWidget::item:selected { background: rgb(17, 217, 127); color: white; }");
  connect(layerTable_, &QListWidget::itemClicked, this,
          [this](QListWidgetItem* item) { controller_->layerTableDidClickRow(layerTable_->row(item)); });

  buildBusyView();
  buildExportPopover();

  renderer_->setSceneSource([weak = std::weak_ptr<QVLObjectSceneViewController>(controller_)] {
    auto c = weak.lock();
    return c ? c->scene() : nullptr;
  });
  renderer_->setDidRender([weak = std::weak_ptr<QVLObjectSceneViewController>(controller_)] {
    if (auto c = weak.lock()) c->didRenderScene();
  });
  controller_->setDisplay(this);
  setHeaderBlocked(true);
  setHeaderButtons(HeaderButtons::ShownDisabled);
  setMinimumSize(480, 360);
}

QVLObjectSceneView::~QVLObjectSceneView() { controller_->setDisplay(nullptr); }

QPushButton* QVLObjectSceneView::button(const std::string& name) const {
  auto it = buttons_.find(name);
  return it == buttons_.end() ? nullptr : it->second;
}

void QVLObjectSceneView::buildHeader() {
  header_ = new QWidget(this);
  header_->setFixedHeight(kHeaderHeight);
  header_->setAttribute(Qt::WA_StyledBackground);
  header_->setObjectName("viewerHeader");
  header_->setStyleSheet(
      "#viewerHeader { background-color: rgb(48, 52, 56); }"
      "QPushButton { color: white; background: transparent; border: none; padding: 4px 12px; font-weight: bold; }"
      "QPushButton:disabled { color: rgba(255, 255, 255, 90); }"
      "QPushButton:hover { color: rgb(17, 217, 127); }");
  auto* row = new QHBoxLayout(header_);
  row->setContentsMargins(8, 0, 8, 0);
  const auto add = [&](const char* name, const char* title, auto slot) {
    auto* b = new QPushButton(tr(title), header_);
    b->setObjectName(name);
    b->setCursor(Qt::PointingHandCursor);
    connect(b, &QPushButton::clicked, this, slot);
    buttons_[name] = b;
    row->addWidget(b);
    return b;
  };
  add("home", "Home", [this] { controller_->homeButtonPressed(); });
  add("open", "Open", [this] { controller_->openButtonPressed(); });
  add("export", "Export", [this] { controller_->exportButtonPressed(); });
  row->addStretch(1);
  add("layers", "Layers", [this] { toggleLayerTable(); });
  add("clean", "Clean", [this] { controller_->cleanButtonPressed(); });
  add("align", "Align", [this] {
    if (controller_->alignButtonPressed()) QVLAligningView::open(this);
  });
  add("appearance", "Appearance", [this] { controller_->appearanceButtonPressed(); });

  // Shown while a mesh is presented in place of the point tools.
  meshToolbar_ = new QWidget(header_);
  meshToolbar_->setAttribute(Qt::WA_StyledBackground);
  meshToolbar_->setObjectName("meshToolbar");
  meshToolbar_->setStyleSheet("#meshToolbar { background-color: rgb(48, 52, 56); }");
  auto* meshRow = new QHBoxLayout(meshToolbar_);
  meshRow->setContentsMargins(8, 0, 8, 0);
  for (auto [name, title] : {std::pair{"backToPointCloud", "Back to Point Cloud"}, std::pair{"saveMesh", "Save Mesh"}}) {
    auto* b = new QPushButton(tr(title), meshToolbar_);
    b->setObjectName(name);
    b->setCursor(Qt::PointingHandCursor);
    buttons_[name] = b;
    meshRow->addWidget(b);
  }
  meshRow->addStretch(1);
  connect(buttons_["backToPointCloud"], &QPushButton::clicked, this, [this] { controller_->backToPointCloudButtonPressed(true); });
  connect(buttons_["saveMesh"], &QPushButton::clicked, this, [this] { controller_->saveMeshButtonPressed(); });
  meshToolbar_->hide();

  // The veils block the header until a scan has loaded.
  leftVeil_ = new QWidget(header_);
  rightVeil_ = new QWidget(header_);
  for (QWidget* veil : {leftVeil_, rightVeil_}) {
    veil->setAttribute(Qt::WA_StyledBackground);
    veil->setStyleSheet(kAccentVeil);
  }
}

void QVLObjectSceneView::buildPanels() {
  rightPanel_ = new QWidget(this);
  rightPanel_->setAttribute(Qt::WA_StyledBackground);
  rightPanel_->setObjectName("rightPanel");
  rightPanel_->setStyleSheet("#rightPanel { background-color: rgb(245, 245, 245); }");
  rightPanel_->setMaximumWidth(0);
  rightPanel_->setMinimumWidth(0);
  auto* panelLayout = new QVBoxLayout(rightPanel_);
  panelLayout->setContentsMargins(0, 0, 0, 0);

  appearancePanel_ = new QWidget(rightPanel_);
  appearancePanel_->setFixedWidth(kRightPanelWidth);
  auto* appearance = new QVBoxLayout(appearancePanel_);
  appearance->setContentsMargins(16, 16, 16, 16);
  auto* title = new QLabel(tr("Appearance"), appearancePanel_);
  title->setStyleSheet("font-weight: bold; font-size: 14px; color: rgb(40, 40, 40);");
  appearance->addWidget(title);
  auto* label = new QLabel(tr("Background colour"), appearancePanel_);
  label->setStyleSheet("color: rgb(80, 80, 80);");
  appearance->addWidget(label);
  colourWell_ = new QPushButton(appearancePanel_);
  colourWell_->setObjectName("colourWell");
  colourWell_->setFixedSize(64, 28);
  buttons_["colourWell"] = colourWell_;
  connect(colourWell_, &QPushButton::clicked, this, [this] {
    auto* dialog = new QColorDialog(toQColor(controller_->backgroundColour()), this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setOption(QColorDialog::NoButtons);
    connect(dialog, &QColorDialog::currentColorChanged, this, [this](const QColor& c) {
      controller_->colorWellPressed({static_cast<float>(c.redF()), static_cast<float>(c.greenF()),
                                     static_cast<float>(c.blueF()), 1.0f});
    });
    dialog->show();
  });
  appearance->addWidget(colourWell_);
  appearance->addStretch(1);
  panelLayout->addWidget(appearancePanel_);
  appearancePanel_->hide();
  cleaningPanel_ = new QVLCleaningPanel(controller_, rightPanel_);
  cleaningPanel_->setFixedWidth(kRightPanelWidth);
  panelLayout->addWidget(cleaningPanel_);
  cleaningPanel_->hide();
}

void QVLObjectSceneView::buildBusyView() {
  busyView_ = new QWidget(this);
  busyView_->setAttribute(Qt::WA_StyledBackground);
  busyView_->setObjectName("busyView");
  busyView_->setStyleSheet("#busyView { background-color: rgba(128, 128, 128, 102); }");
  auto* layout = new QVBoxLayout(busyView_);
  auto* panel = new QWidget(busyView_);
  panel->setAttribute(Qt::WA_StyledBackground);
  panel->setObjectName("busyPanel");
  panel->setStyleSheet("#busyPanel { background-color: white; border-radius: 6px; }");
  auto* panelLayout = new QVBoxLayout(panel);
  panelLayout->setContentsMargins(32, 20, 32, 20);
  busyText_ = new QLabel(panel);
  busyText_->setStyleSheet("font-size: 15px; color: rgb(40, 40, 40);");
  busyText_->setAlignment(Qt::AlignCenter);
  panelLayout->addWidget(busyText_);
  layout->addStretch(1);
  layout->addWidget(panel, 0, Qt::AlignHCenter);
  layout->addStretch(1);
  busyView_->setGraphicsEffect(new QGraphicsOpacityEffect(busyView_));
  busyView_->hide();
}

void QVLObjectSceneView::buildExportPopover() {
  exportPopover_ = new QFrame(this, Qt::Popup);
  exportPopover_->setObjectName("exportPopover");
  exportPopover_->setStyleSheet("#exportPopover { background: white; border: 1px solid rgb(200, 200, 200); }"
                                "QPushButton { min-height: 40px; min-width: 150px; }");
  auto* layout = new QVBoxLayout(exportPopover_);
  layout->setContentsMargins(8, 8, 8, 8);
  layout->setSpacing(5);
  const std::pair<const char*, const char*> formats[] = {
      {"qvkx", "Project (qvkx)"}, {"qvk", "Scan (qvk)"}, {"ply", "PLY points"}, {"pcd", "PCD points"}, {"xyz", "XYZ points"},
      {"textured_obj", "Textured mesh (obj)"}, {"untextured_obj", "Mesh (obj)"}, {"stl", "Mesh (stl)"}};
  // Each group under its label, with a thin line 5 points above and below the label.
  const auto section = [&](const char* name, const QString& title) {
    const auto line = [&] {
      auto* rule = new QFrame(exportPopover_);
      rule->setFrameShape(QFrame::HLine);
      rule->setStyleSheet("color: rgb(190, 190, 190);");
      layout->addWidget(rule);
    };
    line();
    auto* label = new QLabel(title, exportPopover_);
    label->setObjectName(name);
    label->setStyleSheet("color: rgb(110, 110, 110); font-weight: bold; padding: 0 2px;");
    layout->addWidget(label);
    line();
  };
  for (const auto& [id, title] : formats) {
    if (std::string_view(id) == "qvkx") section("labelPointCloud", tr("Point Cloud"));
    if (std::string_view(id) == "textured_obj") section("labelMeshed", tr("Mesh"));
    auto* b = new QPushButton(tr(title), exportPopover_);
    b->setObjectName(id);
    buttons_[id] = b;
    layout->addWidget(b);
    connect(b, &QPushButton::clicked, this, [this, id = std::string(id)] { controller_->exportFileFormatSelected(id); });
  }
}

void QVLObjectSceneView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layOutOverlays();
  controller_->windowDidResize();
}

void QVLObjectSceneView::layOutOverlays() {
  busyView_->setGeometry(rect());
  brushOverlay_->setGeometry(renderer_->geometry());
  brushOverlay_->raise();
  const int half = header_->width() / 2;
  leftVeil_->setGeometry(0, 0, half, header_->height());
  rightVeil_->setGeometry(half, 0, header_->width() - half, header_->height());
  meshToolbar_->setGeometry(header_->rect());
  if (meshingView_) meshingView_->setGeometry(rect());
  if (saveMeshView_) saveMeshView_->setGeometry(rect());
  pointCount_->adjustSize();
  pointCount_->move(8, sceneArea_->height() - pointCount_->height() - 4);
  layerTable_->setGeometry(8, 8, 200, layerTableHeight_);
}

void QVLObjectSceneView::fade(QWidget* widget, double from, double to, std::function<void()> done) {
  auto* effect = static_cast<QGraphicsOpacityEffect*>(widget->graphicsEffect());
  auto* animation = new QPropertyAnimation(effect, "opacity", widget);
  animation->setDuration(kFadeMs);
  animation->setStartValue(from);
  animation->setEndValue(to);
  animation->setEasingCurve(QEasingCurve::InOutQuad);
  connect(animation, &QPropertyAnimation::finished, widget, [done = std::move(done)] {
    if (done) done();
  });
  animation->start(QAbstractAnimation::DeleteWhenStopped);
}

void QVLObjectSceneView::showBusyView(const std::string& text, std::function<void()> shown) {
  busyText_->setText(QString::fromStdString(text));
  busyView_->setGeometry(rect());
  busyView_->raise();
  busyView_->show();
  fade(busyView_, 0.0, 1.0, std::move(shown));
}

void QVLObjectSceneView::dismissBusyView(std::function<void()> dismissed) {
  if (!busyView_->isVisible()) {
    if (dismissed) dismissed();
    return;
  }
  fade(busyView_, 1.0, 0.0, [this, dismissed = std::move(dismissed)] {
    busyView_->hide();
    if (dismissed) dismissed();
  });
}

void QVLObjectSceneView::setPointCountLabel(const std::string& text) {
  pointCount_->setText(QString::fromStdString(text));
  layOutOverlays();
}

void QVLObjectSceneView::setHeaderButtons(HeaderButtons state) {
  // Every button of the header row follows it, Clean included: shown disabled while a scan loads
  // or saves, since the veil over the header then takes their clicks and none may look as if it
  // would act (as Clean did while the points came back after "Back to Point Cloud"); hidden while
  // the mesh toolbar stands in their place.
  headerButtons_ = state;
  const bool mesh = state == HeaderButtons::MeshToolbar;
  for (const char* name : {"home", "open", "export", "layers", "clean", "align", "appearance"}) {
    buttons_[name]->setVisible(!mesh);
    buttons_[name]->setEnabled(state == HeaderButtons::ShownEnabled);
  }
  buttons_["clean"]->setEnabled(state == HeaderButtons::ShownEnabled && cleanButtonEnabled_);
  meshToolbar_->setVisible(mesh);
  // The count is of points; a mesh in their place has none to count.
  pointCount_->setVisible(!mesh);
}

void QVLObjectSceneView::setHeaderBlocked(bool blocked) {
  leftVeil_->setVisible(blocked);
  rightVeil_->setVisible(blocked);
  if (blocked) {
    leftVeil_->raise();
    rightVeil_->raise();
  }
}

void QVLObjectSceneView::setHomeButtonEnabled(bool enabled) { buttons_["home"]->setEnabled(enabled); }

void QVLObjectSceneView::setBackgroundColour(qv::scene::Colour colour) {
  colourWell_->setStyleSheet(QString("background-color: %1; border: 1px solid rgb(160, 160, 160);")
                                 .arg(toQColor(colour).name()));
  // The point count stays readable on any background.
  const double luminance = 0.299 * colour.red + 0.587 * colour.green + 0.114 * colour.blue;
  pointCount_->setStyleSheet(luminance < 0.5 ? "color: rgb(235, 235, 235); background: transparent; padding: 6px;"
                                             : "color: rgb(60, 60, 60); background: transparent; padding: 6px;");
  renderer_->update();
}

void QVLObjectSceneView::reloadLayerTable() {
  if (cleaningPanel_) cleaningPanel_->reloadLayers();
  layerTable_->clear();
  for (const QVLLayerState& layer : controller_->layerRows()) {
    auto* item = new QListWidgetItem(QString::fromUtf8("\u2713  ") + QString::fromStdString(layer.layerName()));
    item->setSizeHint(QSize(200, kLayerRowHeight));
    QColor check = layer.isEnabled ? QColor(40, 40, 40) : QColor(40, 40, 40, 51);
    item->setForeground(check);
    layerTable_->addItem(item);
  }
}

void QVLObjectSceneView::toggleLayerTable() { controller_->pointCloudButtonPressed(); }

void QVLObjectSceneView::animateLayerTable(int target) {
  if (target == layerTableHeight_) return;
  auto* animation = new QVariantAnimation(this);
  animation->setDuration(kFadeMs);
  animation->setStartValue(layerTableHeight_);
  animation->setEndValue(target);
  animation->setEasingCurve(QEasingCurve::InOutQuad);
  connect(animation, &QVariantAnimation::valueChanged, layerTable_, [this](const QVariant& value) {
    layerTable_->setMaximumHeight(value.toInt());
    layerTable_->setGeometry(8, 8, 200, value.toInt());
  });
  layerTableHeight_ = target;
  layerTable_->raise();
  animation->start(QAbstractAnimation::DeleteWhenStopped);
}

void QVLObjectSceneView::showRightPanel(RightPanel panel) {
  const bool open = panel != RightPanel::Closed;
  if (open) {
    appearancePanel_->setVisible(panel == RightPanel::Appearance);
    cleaningPanel_->setVisible(panel == RightPanel::Cleaning);
  }
  auto* animation = new QPropertyAnimation(rightPanel_, "maximumWidth", this);
  animation->setDuration(kPanelAnimationMs);
  animation->setStartValue(rightPanel_->maximumWidth());
  animation->setEndValue(open ? kRightPanelWidth : 0);
  animation->setEasingCurve(QEasingCurve::InOutQuad);
  connect(animation, &QPropertyAnimation::finished, this, [this, open] {
    rightPanel_->setMinimumWidth(open ? kRightPanelWidth : 0);
    if (!open) appearancePanel_->hide();
    if (!open) cleaningPanel_->hide();
  });
  if (!open) rightPanel_->setMinimumWidth(0);
  animation->start(QAbstractAnimation::DeleteWhenStopped);
  if (panel == RightPanel::Cleaning)
    cleaningPanel_->setFocus();
  else if (open)
    colourWell_->setFocus();
  else
    renderer_->setFocus();
}

void QVLObjectSceneView::showExportPopover(const qv::viewer::ExportChoices& choices) {
  buttons_["qvk"]->setVisible(choices.qvk);
  buttons_["qvkx"]->setVisible(choices.qvkx);
  buttons_["textured_obj"]->setVisible(choices.texturedObj);
  exportPopover_->adjustSize();
  QPushButton* anchor = buttons_["export"];
  exportPopover_->move(anchor->mapToGlobal(QPoint(0, anchor->height())));
  exportPopover_->show();
}

void QVLObjectSceneView::closeExportPopover() { exportPopover_->hide(); }

bool QVLObjectSceneView::isExportPopoverShown() const { return exportPopover_->isVisible(); }

void QVLObjectSceneView::setNeedsDisplay() { renderer_->update(); }

void QVLObjectSceneView::setPointRendering(float pointSizePixels, bool smoothing) {
  renderer_->setPointRendering(pointSizePixels, smoothing);
}

void QVLObjectSceneView::setWindowTitle(const std::string& title) {
  if (QWidget* w = window()) w->setWindowTitle(QString::fromStdString(title));
}

float QVLObjectSceneView::viewWidth() const { return sceneWidth_; }
float QVLObjectSceneView::viewHeight() const { return sceneHeight_; }
double QVLObjectSceneView::backingScale() const { return sceneScale_; }

std::optional<qv::scene::Image> QVLObjectSceneView::sceneImage() {
  if (!renderer_->isReady()) return std::nullopt;
  const QImage frame = renderer_->grabFramebuffer().convertToFormat(QImage::Format_RGB888);
  if (frame.isNull()) return std::nullopt;
  qv::scene::Image image;
  image.width = frame.width();
  image.height = frame.height();
  image.channels = 3;
  image.pixels.resize(static_cast<std::size_t>(image.width) * image.height * 3);
  for (int y = 0; y < image.height; ++y)
    std::memcpy(image.pixels.data() + static_cast<std::size_t>(y) * image.width * 3, frame.constScanLine(y),
                static_cast<std::size_t>(image.width) * 3);
  return image;
}

void QVLObjectSceneView::askToSaveChanges(const std::string& informativeText,
                                          std::function<void(SaveChangesAnswer)> answer) {
  auto* box = new QMessageBox(QMessageBox::Warning, tr("Save Changes"), tr("Save Changes"), QMessageBox::NoButton, this);
  box->setInformativeText(QString::fromStdString(informativeText));
  QPushButton* save = box->addButton(tr("Save"), QMessageBox::AcceptRole);
  QPushButton* dontSave = box->addButton(tr("Don't Save"), QMessageBox::DestructiveRole);
  box->addButton(tr("Cancel"), QMessageBox::RejectRole);
  box->setDefaultButton(save);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::WindowModal);
  connect(box, &QMessageBox::finished, this, [this, box, save, dontSave, answer = std::move(answer)](int) {
    const QAbstractButton* clicked = box->clickedButton();
    const SaveChangesAnswer chosen = clicked == save ? SaveChangesAnswer::Save
                                     : clicked == dontSave ? SaveChangesAnswer::DontSave : SaveChangesAnswer::Cancel;
    // Answered once the question has closed, so that a save panel it leads to is not opened
    // from inside the closing question.
    QTimer::singleShot(0, this, [answer, chosen] { answer(chosen); });
  });
  box->open();
}

void QVLObjectSceneView::askForSavePath(const std::string& proposedPath, const std::string& extension,
                                        std::function<void(std::optional<std::string>)> answer) {
  QFileDialog* dialog = qv::viewer::makeFilePanel(this);
  dialog->setObjectName("savePanel");
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setLabelText(QFileDialog::Accept, tr("Save Scan"));
  const QString ext = QString::fromStdString(extension);
  dialog->setNameFilter(QString("%1 (*.%2)").arg(ext.toUpper(), ext));
  dialog->setDefaultSuffix(ext);
  qv::viewer::proposeFile(dialog, proposedPath);
  qv::viewer::openFilePanel(dialog, std::move(answer));
}

void QVLObjectSceneView::askToReplaceFile(const std::string& fileName, std::function<void(bool)> answer) {
  auto* box = qv::viewer::makeReplaceQuestion(this, tr("Quorvel"), QString::fromStdString(fileName));
  connect(box, &QMessageBox::finished, this, [box, answer = std::move(answer)](int) {
    const bool replace = box->clickedButton() == box->button(QMessageBox::Yes);
    // Answered once the question has closed, as the save panel's own question is.
    QTimer::singleShot(0, box->parent(), [answer, replace] { answer(replace); });
  });
  box->open();
}

void QVLObjectSceneView::showAlert(const std::string& message, const std::string& informativeText,
                                   std::function<void()> dismissed) {
  auto* box = new QMessageBox(QMessageBox::Warning, tr("Quorvel"), QString::fromStdString(message), QMessageBox::Ok, this);
  box->setInformativeText(QString::fromStdString(informativeText));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::WindowModal);
  connect(box, &QMessageBox::finished, this, [dismissed = std::move(dismissed)](int) {
    if (dismissed) dismissed();
  });
  box->open();
}

void QVLObjectSceneView::showMeshingSheet(const std::shared_ptr<QVLMeshingViewController>& sheet) {
  if (meshingView_) return;
  meshingView_ = new QVLMeshingView(sheet, this);
  meshingView_->setGraphicsEffect(new QGraphicsOpacityEffect(meshingView_));
  meshingView_->setGeometry(rect());
  meshingView_->raise();
  meshingView_->show();
  meshingView_->performMeshingButton()->setFocus();
  fade(meshingView_, 0.0, 1.0, {});
}

void QVLObjectSceneView::dismissMeshingSheet(std::function<void()> dismissed) {
  QVLMeshingView* sheet = std::exchange(meshingView_, nullptr);
  renderer_->setFocus();
  if (!sheet) {
    if (dismissed) dismissed();
    return;
  }
  fade(sheet, 1.0, 0.0, [sheet, dismissed = std::move(dismissed)] {
    sheet->deleteLater();
    if (dismissed) dismissed();
  });
}

void QVLObjectSceneView::showSaveMeshView() {
  if (saveMeshView_) return;
  saveMeshView_ = new QVLSaveMeshView([this] { controller_->saveMeshButtonPressed(); },
                                      [this] { controller_->backToPointCloudButtonPressed(false); }, this);
  saveMeshView_->setGraphicsEffect(new QGraphicsOpacityEffect(saveMeshView_));
  saveMeshView_->setGeometry(rect());
  saveMeshView_->raise();
  saveMeshView_->show();
  fade(saveMeshView_, 0.0, 1.0, {});
}

void QVLObjectSceneView::dismissSaveMeshView() {
  QVLSaveMeshView* overlay = std::exchange(saveMeshView_, nullptr);
  if (!overlay) return;
  fade(overlay, 1.0, 0.0, [overlay] { overlay->deleteLater(); });
}

bool QVLObjectSceneView::eventFilter(QObject* watched, QEvent* event) {
  if (watched != renderer_) return QWidget::eventFilter(watched, event);
  switch (event->type()) {
    case QEvent::Resize:
    case QEvent::Show:
      sceneWidth_ = static_cast<float>(renderer_->width());
      sceneHeight_ = static_cast<float>(renderer_->height());
      sceneScale_ = renderer_->devicePixelRatioF();
      return QWidget::eventFilter(watched, event);
    case QEvent::MouseButtonPress: {
      auto* e = static_cast<QMouseEvent*>(event);
      lastDrag_ = e->position().toPoint();
      rightDragging_ = e->button() == Qt::RightButton;
      if (!rightDragging_) controller_->mouseDown(static_cast<float>(e->position().x()), static_cast<float>(e->position().y()));
      renderer_->setFocus();
      return true;
    }
    case QEvent::MouseMove: {
      auto* e = static_cast<QMouseEvent*>(event);
      const QPoint at = e->position().toPoint(), delta = at - lastDrag_;
      lastDrag_ = at;
      if (rightDragging_)
        controller_->rightMouseDragged(delta.x(), delta.y());
      else
        controller_->mouseDragged(at.x(), at.y(), delta.x(), delta.y(), modifiersOf(e->modifiers()));
      renderer_->update();
      return true;
    }
    case QEvent::MouseButtonRelease: {
      auto* e = static_cast<QMouseEvent*>(event);
      if (!rightDragging_) controller_->mouseUp(modifiersOf(e->modifiers()));
      rightDragging_ = false;
      return true;
    }
    case QEvent::Wheel: {
      auto* e = static_cast<QWheelEvent*>(event);
      // A wheel notch (15 degrees) moves the camera 15 units; turning the wheel away zooms in.
      controller_->scrollWheel(-e->angleDelta().y() / 8.0);
      renderer_->update();
      return true;
    }
    case QEvent::KeyPress: {
      auto* e = static_cast<QKeyEvent*>(event);
      if (isModifierKey(e->key())) {
        controller_->flagsChanged(modifiersAfter(e));
        return false;
      }
      if (e->key() == Qt::Key_Backspace) {
        controller_->deleteBackward();
        return true;
      }
      if (e->key() == Qt::Key_Delete) {
        controller_->deleteForward();
        return true;
      }
      if (e->key() == Qt::Key_Escape) {
        // Escape lets go of the brush's selection, as the Clear button does.
        controller_->clearSelectionButtonPressed();
        return true;
      }
      std::string text = e->text().toStdString();
      if (e->key() == Qt::Key_C) text.assign(1, e->modifiers().testFlag(Qt::ShiftModifier) ? 'C' : 'c');
      const bool taken = controller_->keyDown(text, modifiersOf(e->modifiers()));
      renderer_->update();
      return taken;
    }
    case QEvent::KeyRelease: {
      auto* e = static_cast<QKeyEvent*>(event);
      if (isModifierKey(e->key())) {
        controller_->flagsChanged(modifiersAfter(e));
        return false;
      }
      if (e->key() == Qt::Key_Space && !e->isAutoRepeat()) return controller_->keyUp(49);
      return false;
    }
    default:
      return QWidget::eventFilter(watched, event);
  }
}

void QVLObjectSceneView::showCleaningPanels(const qv::viewer::CleaningPanels& panels) {
  cleaningPanel_->showPanels(panels);
  // With the Clean panel open its own list shows the layers; else the list over the scene does.
  const bool overScene = panels.layerTable && controller_->rightPanel() != RightPanel::Cleaning;
  animateLayerTable(overScene ? static_cast<int>(controller_->layerTableTargetHeight(kLayerRowHeight)) : 0);
  // The brush paints in the scene: it takes the keys (space, [ and ]) from there.
  if (panels.brush) renderer_->setFocus();
}

void QVLObjectSceneView::setCleaningButtons(const qv::viewer::CleaningButtons& buttons) {
  cleanButtonEnabled_ = buttons.clean;
  buttons_["clean"]->setEnabled(buttons.clean && headerButtons_ == HeaderButtons::ShownEnabled);
  cleaningPanel_->setButtons(buttons);
}

void QVLObjectSceneView::cropValuesChanged() { cleaningPanel_->refreshCropValues(); }

void QVLObjectSceneView::setBrushCursor(const qv::viewer::BrushCursor& cursor) {
  if (cursor.kind == qv::viewer::BrushCursor::Kind::Default)
    renderer_->unsetCursor();
  else
    renderer_->setCursor(cursorForBrush(cursor, renderer_->devicePixelRatioF()));
}

void QVLObjectSceneView::setBrushStroke(const std::vector<qv::viewer::BrushPoint>& points, float radius) {
  brushOverlay_->setGeometry(renderer_->geometry());
  brushOverlay_->raise();
  brushOverlay_->setStroke(points, radius);
}
