// The preferences window and its two panes.
#include "screens/widgets/PreferencesWindow.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QMoveEvent>
#include <QPainter>
#include <QPushButton>
#include <QSpinBox>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>
#include <charconv>

#include "screens/QVLDegreeFormatter.h"
#include "screens/widgets/FormatterValidators.h"
#include "screens/widgets/QtColours.h"

namespace qv::screens {
namespace {

QCheckBox* boundCheck(qv::Settings& settings, const char* key, const QString& text, QWidget* parent) {
  auto* box = new QCheckBox(text, parent);
  box->setChecked(settings.boolForKey(key));
  QObject::connect(box, &QCheckBox::toggled, parent, [&settings, key](bool on) { settings.setValue(key, on); });
  return box;
}

QSpinBox* boundSpin(qv::Settings& settings, const char* key, int low, int high, QWidget* parent) {
  auto* spin = new QSpinBox(parent);
  spin->setRange(low, high);
  spin->setValue(static_cast<int>(settings.integerForKey(key)));
  QObject::connect(spin, &QSpinBox::valueChanged, parent, [&settings, key](int v) { settings.setValue(key, v); });
  return spin;
}

// A text field holding a whole number (an exposure), written when editing ends.
QLineEdit* boundExposure(qv::Settings& settings, const char* key, QWidget* parent) {
  auto* field = new QLineEdit(QString::number(settings.integerForKey(key)), parent);
  field->setValidator(new ExposureValidator(field));
  field->setMaximumWidth(90);
  QObject::connect(field, &QLineEdit::editingFinished, parent, [&settings, key, field] {
    if (!field->text().isEmpty()) settings.setValue(key, field->text().toInt());
  });
  return field;
}

QString plainNumber(double v) {
  char buffer[32];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v);
  return ec == std::errc() ? QString::fromLatin1(buffer, int(end - buffer)) : QString();
}

}  // namespace

GeneralPreferencesPane::GeneralPreferencesPane(qv::Settings& settings, GeneralPreferencesDelegate* delegate, QWidget* parent)
    : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(20, 16, 20, 16);

  auto* scanning = new QGroupBox(tr("Scanning"), this);
  auto* scanForm = new QFormLayout(scanning);
  scanForm->addRow(boundCheck(settings, "EnableColourScans", tr("Capture colour"), scanning));
  scanForm->addRow(boundCheck(settings, "EnableAdaptiveScanning", tr("Adaptive rotation (finer where the surface changes)"), scanning));
  auto* fixedStep = boundCheck(settings, "OverrideScanRotationAndHeight", tr("Use a fixed rotation step"), scanning);
  scanForm->addRow(fixedStep);
  degreesToRotateTextField_ = new QLineEdit(plainNumber(settings.doubleForKey("ScanRotationInDegrees")), scanning);
  degreesToRotateTextField_->setValidator(new DegreeValidator(degreesToRotateTextField_));
  degreesToRotateTextField_->setMaximumWidth(90);
  connect(degreesToRotateTextField_, &QLineEdit::editingFinished, this, [this, &settings] {
    float v = 0;
    std::string error;
    if (QVLDegreeFormatter::getObjectValue(degreesToRotateTextField_->text().toStdString(), &v, &error))
      settings.setValue("ScanRotationInDegrees", static_cast<double>(v));
  });
  auto* stepLabel = new QLabel(tr("Rotation step (degrees):"), scanning);
  rotationLabels_.push_back(stepLabel);
  scanForm->addRow(stepLabel, degreesToRotateTextField_);
  layout->addWidget(scanning);

  auto* exposures = new QGroupBox(tr("Exposures"), this);
  auto* exposureForm = new QFormLayout(exposures);
  auto* manualExposures = boundCheck(settings, "OverrideAutoTuning", tr("Set the exposures myself"), exposures);
  exposureForm->addRow(manualExposures);
  laser1ExposureTextField_ = boundExposure(settings, "CameraLaser1ExposureSetting", exposures);
  auto* laser2 = boundExposure(settings, "CameraLaser2ExposureSetting", exposures);
  auto* colour = boundExposure(settings, "CameraNonLaserExposureSetting", exposures);
  exposureForm->addRow(tr("Laser 1:"), laser1ExposureTextField_);
  exposureForm->addRow(tr("Laser 2:"), laser2);
  exposureForm->addRow(tr("Colour photographs:"), colour);
  // A field that would not be used is not offered for editing.
  auto enableExposures = [this, laser2, colour](bool on) {
    for (QLineEdit* field : {laser1ExposureTextField_, laser2, colour}) field->setEnabled(on);
  };
  enableExposures(manualExposures->isChecked());
  connect(manualExposures, &QCheckBox::toggled, this, enableExposures);
  degreesToRotateTextField_->setEnabled(fixedStep->isChecked());
  connect(fixedStep, &QCheckBox::toggled, degreesToRotateTextField_, &QLineEdit::setEnabled);
  layout->addWidget(exposures);

  auto* application = new QGroupBox(tr("Application"), this);
  auto* appForm = new QVBoxLayout(application);
  appForm->addWidget(boundCheck(settings, "CheckForUpdatesOnStartup", tr("Check for updates when Quorvel starts"), application));
  appForm->addWidget(boundCheck(settings, "EnableCrashReporting", tr("Offer to send a report after a crash"), application));
  layout->addWidget(application);

  auto* reset = new QPushButton(tr("Reset Scanner"), this);
  reset->setToolTip(tr("Restarts the scanner's firmware; use it when the scanner stops answering"));
  layout->addWidget(reset, 0, Qt::AlignLeft);
  layout->addStretch(1);

  presenter_ = GeneralPreferencesPresenter::create(settings, *this);
  presenter_->setDelegate(delegate);
  connect(reset, &QPushButton::clicked, this, [this] { presenter_->resetConnection(); });
}

void GeneralPreferencesPane::focusLaser1ExposureField() { laser1ExposureTextField_->setFocus(); }
void GeneralPreferencesPane::focusDegreesToRotateField() { degreesToRotateTextField_->setFocus(); }
void GeneralPreferencesPane::setScanRotationLabelColour(Rgba colour) {
  const QColor c = toQColor(colour);
  for (auto* label : rotationLabels_)
    label->setStyleSheet(QString("color: rgba(%1, %2, %3, %4);").arg(c.red()).arg(c.green()).arg(c.blue()).arg(c.alpha()));
}

ViewerPreferencesPane::ViewerPreferencesPane(qv::Settings& settings, QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(20, 16, 20, 16);
  auto* display = new QGroupBox(tr("Display"), this);
  auto* form = new QFormLayout(display);
  form->addRow(tr("Point size:"), boundSpin(settings, "ViewPointSize", 1, 10, display));
  form->addRow(tr("Points shown while turning:"), boundSpin(settings, "MaximumNumberOfPointsToDisplay", 100, 2000000, display));
  form->addRow(boundCheck(settings, "ObjectViewShouldPresentNormals", tr("Show normals"), display));
  layout->addWidget(display);
  auto* meshing = new QGroupBox(tr("Meshing"), this);
  auto* meshForm = new QFormLayout(meshing);
  meshForm->addRow(tr("Octree depth:"), boundSpin(settings, "MeshingOctreeDepth", 4, 12, meshing));
  meshForm->addRow(tr("Samples per node:"), boundSpin(settings, "MeshingSamplesPerNode", 1, 20, meshing));
  layout->addWidget(meshing);
  auto* files = new QGroupBox(tr("Files"), this);
  auto* fileForm = new QVBoxLayout(files);
  fileForm->addWidget(boundCheck(settings, "EnableQvkExports", tr("Offer the qvk format when exporting"), files));
  layout->addWidget(files);
  layout->addStretch(1);
}

PreferencesWindow::PreferencesWindow(qv::Settings& settings, GeneralPreferencesDelegate* delegate, QWidget* parent)
    : QMainWindow(parent),
      presenter_({{GeneralPreferencesPresenter::kIdentifier, "General", {440, 520}, false, false},
                  {"ViewerPreferences", "Viewer", {440, 360}, false, false}},
                 "Preferences", settings) {
  setWindowTitle(QString::fromStdString(presenter_.windowTitle()));
  auto* toolbar = addToolBar(tr("Panes"));
  toolbar->setMovable(false);
  toolbar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  stack_ = new QStackedWidget(this);
  stack_->addWidget(new GeneralPreferencesPane(settings, delegate, stack_));
  stack_->addWidget(new ViewerPreferencesPane(settings, stack_));
  setCentralWidget(stack_);
  auto* group = new QActionGroup(this);
  const QStyle::StandardPixmap icons[] = {QStyle::SP_ComputerIcon, QStyle::SP_FileDialogDetailedView};
  for (std::size_t i = 0; i < presenter_.panes().size(); ++i) {
    auto* action = toolbar->addAction(style()->standardIcon(icons[i % 2]), tr(presenter_.panes()[i].label.c_str()));
    action->setCheckable(true);
    group->addAction(action);
    connect(action, &QAction::triggered, this, [this, i] { selectPane(i); });
    actions_.push_back(action);
  }
  if (auto first = presenter_.initialSelection()) selectPane(*first);
}

void PreferencesWindow::selectPane(std::size_t index) {
  auto layout = presenter_.select(index);
  if (!layout) return;
  actions_[index]->setChecked(true);
  stack_->setCurrentIndex(static_cast<int>(index));
  setWindowTitle(QString::fromStdString(presenter_.windowTitle()));
  laidOut_ = false;
  const int toolbarHeight = height() - stack_->height() > 0 && isVisible() ? height() - stack_->height() : 64;
  const QSize content(static_cast<int>(layout->contentSize.width), static_cast<int>(layout->contentSize.height));
  if (layout->resizable()) {
    setMinimumSize(static_cast<int>(layout->minimumContentSize.width), static_cast<int>(layout->minimumContentSize.height) + toolbarHeight);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  } else {
    setFixedSize(content.width(), content.height() + toolbarHeight);
  }
  resize(content.width(), content.height() + toolbarHeight);
  laidOut_ = true;
}

void PreferencesWindow::showWindow() {
  if (!placed_) {
    if (auto corner = presenter_.storedTopLeft()) move(static_cast<int>(corner->x), static_cast<int>(corner->y));
    placed_ = true;
  }
  show();
  raise();
  activateWindow();
}

void PreferencesWindow::moveEvent(QMoveEvent* event) {
  QMainWindow::moveEvent(event);
  if (isVisible()) presenter_.windowDidMove({double(frameGeometry().x()), double(frameGeometry().y())});
}

void PreferencesWindow::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  if (isVisible() && laidOut_) presenter_.paneDidResize({double(stack_->width()), double(stack_->height())});
}

}  // namespace qv::screens
