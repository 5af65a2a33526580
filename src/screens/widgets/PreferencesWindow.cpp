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

#include "screens/widgets/FormatterValidators.h"
#include "screens/widgets/QtColours.h"

namespace qv::screens {

QCheckBox* SettingsBoundPane::boundCheck(const char* key, const QString& text, QWidget* parent) {
  auto* box = new QCheckBox(text, parent);
  refreshers_[key] = [this, box, key] { box->setChecked(settings_.boolForKey(key)); };
  refreshers_[key]();
  connect(box, &QCheckBox::toggled, this, [this, key](bool on) {
    if (settings_.boolForKey(key) != on) settings_.setValue(key, on);
  });
  return box;
}

QSpinBox* SettingsBoundPane::boundSpin(const char* key, int low, int high, QWidget* parent) {
  auto* spin = new QSpinBox(parent);
  spin->setRange(low, high);
  // A stored value outside the range is shown clamped but not written back by merely showing it.
  refreshers_[key] = [this, spin, key] {
    const QSignalBlocker block(spin);
    spin->setValue(static_cast<int>(settings_.integerForKey(key)));
  };
  refreshers_[key]();
  connect(spin, &QSpinBox::valueChanged, this, [this, key](int v) {
    if (settings_.integerForKey(key) != v) settings_.setValue(key, v);
  });
  return spin;
}

QLineEdit* SettingsBoundPane::boundField(const PreferenceField& field, QWidget* parent) {
  auto* edit = new QLineEdit(parent);
  edit->setMaximumWidth(90);
  switch (field.kind) {
    case PreferenceFieldKind::Exposure: edit->setValidator(new ExposureValidator(edit)); break;
    case PreferenceFieldKind::ExposureList:
      edit->setValidator(new ExposureListValidator(edit));
      edit->setMaximumWidth(120);
      break;
    case PreferenceFieldKind::RotationStep: edit->setValidator(new DegreeValidator(edit)); break;
  }
  refreshers_[field.key] = [this, edit, field] {
    edit->setText(QString::fromStdString(preferenceFieldText(settings_, field)));
  };
  refreshers_[field.key]();
  connect(edit, &QLineEdit::editingFinished, this, [this, edit, field] {
    std::string error;
    if (!commitPreferenceField(settings_, field, edit->text().toStdString(), &error)) {
      // A refused text goes back to what is stored; the message says why.
      edit->setToolTip(tr(error.c_str()));
      refreshers_[field.key]();
    } else {
      edit->setToolTip({});
    }
  });
  return edit;
}

void SettingsBoundPane::followSettings() {
  std::vector<std::string> keys;
  for (const auto& [key, refresher] : refreshers_) keys.push_back(key);
  // Settings change on any thread (a scan writes its tuned exposures from its own queue).
  bindings_ = std::make_unique<PreferenceBindings>(settings_, std::move(keys), [this](const std::string& key) {
    QMetaObject::invokeMethod(this, [this, key] { refresh(key); }, Qt::QueuedConnection);
  });
}

void SettingsBoundPane::refresh(const std::string& key) {
  // Filling a check box tells its toggled signal, so the controls it enables follow; its
  // writer sees the value already stored and writes nothing.
  if (auto it = refreshers_.find(key); it != refreshers_.end()) it->second();
}

void SettingsBoundPane::refreshAll() {
  for (const auto& entry : refreshers_) refresh(entry.first);
}

void SettingsBoundPane::showEvent(QShowEvent* event) {
  refreshAll();
  QWidget::showEvent(event);
}

GeneralPreferencesPane::GeneralPreferencesPane(qv::Settings& settings, GeneralPreferencesDelegate* delegate, QWidget* parent)
    : SettingsBoundPane(settings, parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(20, 16, 20, 16);

  auto* scanning = new QGroupBox(tr("Scanning"), this);
  auto* scanForm = new QFormLayout(scanning);
  scanForm->addRow(boundCheck("EnableColourScans", tr("Capture colour"), scanning));
  scanForm->addRow(boundCheck("EnableAdaptiveScanning", tr("Adaptive rotation (finer where the surface changes)"), scanning));
  auto* fixedStep = boundCheck("OverrideScanRotationAndHeight", tr("Use a fixed rotation step"), scanning);
  scanForm->addRow(fixedStep);
  degreesToRotateTextField_ = boundField({"ScanRotationInDegrees", PreferenceFieldKind::RotationStep}, scanning);
  auto* stepLabel = new QLabel(tr("Rotation step (degrees):"), scanning);
  rotationLabels_.push_back(stepLabel);
  scanForm->addRow(stepLabel, degreesToRotateTextField_);
  layout->addWidget(scanning);

  auto* exposures = new QGroupBox(tr("Exposures"), this);
  auto* exposureForm = new QFormLayout(exposures);
  auto* manualExposures = boundCheck("OverrideAutoTuning", tr("Set the exposures myself"), exposures);
  exposureForm->addRow(manualExposures);
  // A laser's field holds its exposure and, after a comma, its alternate one ("50,200").
  laser1ExposureTextField_ = boundField({"CameraLaser1ExposureSetting", PreferenceFieldKind::ExposureList}, exposures);
  auto* laser2 = boundField({"CameraLaser2ExposureSetting", PreferenceFieldKind::ExposureList}, exposures);
  auto* colour = boundField({"CameraNonLaserExposureSetting", PreferenceFieldKind::Exposure}, exposures);
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
  appForm->addWidget(boundCheck("CheckForUpdatesOnStartup", tr("Check for updates when Quorvel starts"), application));
  appForm->addWidget(boundCheck("EnableCrashReporting", tr("Offer to send a report after a crash"), application));
  layout->addWidget(application);

  auto* reset = new QPushButton(tr("Reset Scanner"), this);
  reset->setToolTip(tr("Restarts the scanner's firmware; use it when the scanner stops answering"));
  layout->addWidget(reset, 0, Qt::AlignLeft);
  layout->addStretch(1);

  followSettings();
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

ViewerPreferencesPane::ViewerPreferencesPane(qv::Settings& settings, QWidget* parent) : SettingsBoundPane(settings, parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(20, 16, 20, 16);
  auto* display = new QGroupBox(tr("Display"), this);
  auto* form = new QFormLayout(display);
  // The viewer draws four point sizes; any other value would draw one-pixel points.
  form->addRow(tr("Point size:"), boundSpin("ViewPointSize", 1, 4, display));
  form->addRow(boundCheck("ObjectViewShouldPresentNormals", tr("Show normals"), display));
  layout->addWidget(display);
  auto* meshing = new QGroupBox(tr("Meshing"), this);
  auto* meshForm = new QFormLayout(meshing);
  meshForm->addRow(tr("Octree depth:"), boundSpin("MeshingOctreeDepth", 4, 12, meshing));
  meshForm->addRow(tr("Samples per node:"), boundSpin("MeshingSamplesPerNode", 1, 20, meshing));
  layout->addWidget(meshing);
  auto* files = new QGroupBox(tr("Files"), this);
  auto* fileForm = new QVBoxLayout(files);
  fileForm->addWidget(boundCheck("EnableQvkExports", tr("Offer the qvk format when exporting"), files));
  layout->addWidget(files);
  layout->addStretch(1);
  followSettings();
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
