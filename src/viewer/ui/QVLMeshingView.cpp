// The meshing sheet and the save-mesh overlay.
#include "viewer/ui/QVLMeshingView.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>

#include "viewer/model/QVLMeshingViewController.h"

namespace {

QVLMeshingView::IndicatorFactory& indicatorFactory() {
  static QVLMeshingView::IndicatorFactory factory;
  return factory;
}

QWidget* panel(QWidget* parent, const char* name, const char* colour) {
  auto* w = new QWidget(parent);
  w->setObjectName(name);
  w->setAttribute(Qt::WA_StyledBackground);
  w->setStyleSheet(QString("#%1 { background-color: %2; border-radius: 6px; }").arg(name, colour));
  return w;
}

QLabel* text(const QString& s, QWidget* parent, const char* style) {
  auto* label = new QLabel(s, parent);
  label->setWordWrap(true);
  label->setStyleSheet(style);
  return label;
}

}  // namespace

QString meshingPrimaryButtonStyle() {
  return "QPushButton { color: white; background-color: rgb(17, 217, 127); border: none; border-radius: 3px;"
         " padding: 8px 18px; min-height: 18px; font-weight: bold; }"
         "QPushButton:disabled { background-color: rgba(17, 217, 127, 153); }";
}

QString meshingSecondaryButtonStyle() {
  return "QPushButton { color: rgb(90, 90, 90); background-color: rgb(222, 222, 222); border: none; border-radius: 3px;"
         " padding: 8px 18px; min-height: 18px; font-weight: bold; }";
}

void QVLMeshingView::setWaitingIndicatorFactory(IndicatorFactory factory) { indicatorFactory() = std::move(factory); }

QVLMeshingView::QVLMeshingView(std::shared_ptr<QVLMeshingViewController> sheet, QWidget* parent)
    : QWidget(parent), sheet_(std::move(sheet)) {
  setObjectName("meshingSheet");
  setAttribute(Qt::WA_StyledBackground);
  // The viewer shows through, greyed: grey of white 0.5 at alpha 0.4.
  setStyleSheet("#meshingSheet { background-color: rgba(128, 128, 128, 102); }");
  auto* outer = new QVBoxLayout(this);
  outer->addStretch(1);

  messageView_ = panel(this, "meshingMessage", "white");
  messageView_->setFixedWidth(460);
  auto* message = new QVBoxLayout(messageView_);
  message->setContentsMargins(24, 20, 24, 20);
  message->setSpacing(12);
  message->addWidget(text(tr("Meshing"), messageView_, "font-size: 16px; font-weight: bold; color: rgb(40, 40, 40);"));
  bodyText_ = text(tr(sheet_->meshingBodyText().c_str()), messageView_, "font-size: 13px; color: rgb(60, 60, 60);");
  message->addWidget(bodyText_);

  // The settings on grey of white 0.87.
  auto* parameters = panel(messageView_, "poissonParameters", "rgb(222, 222, 222)");
  auto* grid = new QVBoxLayout(parameters);
  grid->setContentsMargins(16, 12, 16, 12);
  const auto slider = [&](const QString& title, int low, int high, std::int64_t value, QLabel*& valueText) {
    grid->addWidget(text(title, parameters, "font-weight: bold; color: rgb(50, 50, 50);"));
    auto* s = new QSlider(Qt::Horizontal, parameters);
    s->setRange(low, high);
    s->setPageStep(1);
    s->setTickPosition(QSlider::TicksBelow);
    s->setValue(static_cast<int>(std::clamp<std::int64_t>(value, low, high)));
    grid->addWidget(s);
    valueText = text({}, parameters, "color: rgb(70, 70, 70);");
    valueText->setMinimumHeight(18);
    grid->addWidget(valueText);
    return s;
  };
  detailsSlider_ = slider(tr("Detail level"), QVLMeshingViewController::kMinOctreeDepth,
                          QVLMeshingViewController::kMaxOctreeDepth, sheet_->octreeDepth(), detailText_);
  smoothingSlider_ = slider(tr("Smoothing level"), QVLMeshingViewController::kMinSamplesPerNode,
                            QVLMeshingViewController::kMaxSamplesPerNode, sheet_->samplesPerNode(), smoothingText_);
  message->addWidget(parameters);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  cancelButton_ = new QPushButton(tr("Cancel"), messageView_);
  cancelButton_->setObjectName("meshingCancel");
  cancelButton_->setStyleSheet(meshingSecondaryButtonStyle());
  performButton_ = new QPushButton(tr("Start Meshing"), messageView_);
  performButton_->setObjectName("meshingStart");
  performButton_->setStyleSheet(meshingPrimaryButtonStyle());
  performButton_->setDefault(true);
  buttons->addWidget(cancelButton_);
  buttons->addWidget(performButton_);
  message->addLayout(buttons);
  outer->addWidget(messageView_, 0, Qt::AlignHCenter);

  waitingView_ = panel(this, "meshingWaiting", "white");
  waitingView_->setFixedWidth(320);
  auto* waiting = new QVBoxLayout(waitingView_);
  waiting->setContentsMargins(24, 20, 24, 20);
  // The waiting sign is drawn in white: it stands on a disc of the accent green, as on the
  // main screen, or it would vanish into the white panel.
  auto* sign = new QWidget(waitingView_);
  sign->setObjectName("meshingSign");
  sign->setAttribute(Qt::WA_StyledBackground);
  sign->setStyleSheet("#meshingSign { background-color: rgb(17, 217, 127); border-radius: 50px; }");
  sign->setFixedSize(100, 100);
  auto* signLayout = new QVBoxLayout(sign);
  signLayout->setContentsMargins(0, 0, 0, 0);
  QWidget* indicator = nullptr;
  if (indicatorFactory()) indicator = indicatorFactory()(sign);
  if (!indicator) {
    auto* bar = new QProgressBar(sign);
    bar->setRange(0, 0);
    bar->setTextVisible(false);
    bar->setFixedWidth(72);
    indicator = bar;
  }
  signLayout->addWidget(indicator, 0, Qt::AlignCenter);
  waiting->addWidget(sign, 0, Qt::AlignHCenter);
  waiting->addWidget(text(tr("Meshing..."), waitingView_, "font-size: 15px; color: rgb(40, 40, 40); qproperty-alignment: AlignCenter;"));
  outer->addWidget(waitingView_, 0, Qt::AlignHCenter);
  outer->addStretch(1);

  // The sliders write the settings; the texts come back through the presenter's observation.
  connect(detailsSlider_, &QSlider::valueChanged, this, [this](int v) { sheet_->setOctreeDepth(v); });
  connect(smoothingSlider_, &QSlider::valueChanged, this, [this](int v) { sheet_->setSamplesPerNode(v); });
  connect(cancelButton_, &QPushButton::clicked, this, [this] { sheet_->cancelButtonPressed(); });
  connect(performButton_, &QPushButton::clicked, this, [this] { sheet_->performMeshingButtonPressed(); });
  sheet_->setOnChange([this] { refresh(); });
  refresh();
}

// The presenter may outlive the widget (the viewer lets go of it after the fade).
QVLMeshingView::~QVLMeshingView() { sheet_->setOnChange({}); }

void QVLMeshingView::refresh() {
  detailText_->setText(tr(sheet_->detailLevelText().c_str()));
  smoothingText_->setText(QString::fromStdString(sheet_->smoothingLevelText()));
  const bool waiting = sheet_->isShowingWaitingView();
  messageView_->setVisible(!waiting);
  waitingView_->setVisible(waiting);
  // A setting changed elsewhere moves the slider too, without writing it back.
  for (auto [s, v] : {std::pair{detailsSlider_, sheet_->octreeDepth()}, std::pair{smoothingSlider_, sheet_->samplesPerNode()}}) {
    const QSignalBlocker block(s);
    s->setValue(static_cast<int>(std::clamp<std::int64_t>(v, s->minimum(), s->maximum())));
  }
}

QVLSaveMeshView::QVLSaveMeshView(std::function<void()> save, std::function<void()> leave, QWidget* parent)
    : QWidget(parent) {
  setObjectName("saveMeshView");
  setAttribute(Qt::WA_StyledBackground);
  setStyleSheet("#saveMeshView { background-color: rgba(128, 128, 128, 102); }");
  auto* outer = new QVBoxLayout(this);
  outer->addStretch(1);
  auto* box = panel(this, "saveMeshPanel", "white");
  box->setFixedWidth(380);
  box->setMinimumHeight(190);
  auto* layout = new QVBoxLayout(box);
  layout->setContentsMargins(24, 20, 24, 20);
  layout->setSpacing(12);
  layout->addWidget(text(tr("Mesh not saved"), box, "font-size: 16px; font-weight: bold; color: rgb(40, 40, 40);"));
  layout->addWidget(text(tr("Going back to the point cloud discards the mesh. Do you want to save it first?"), box,
                         "font-size: 13px; color: rgb(60, 60, 60);"));
  auto* row = new QHBoxLayout;
  row->addStretch(1);
  leave_ = new QPushButton(tr("Leave"), box);
  leave_->setObjectName("saveMeshLeave");
  leave_->setStyleSheet(meshingSecondaryButtonStyle());
  save_ = new QPushButton(tr("Save Mesh"), box);
  save_->setObjectName("saveMeshSave");
  save_->setStyleSheet(meshingPrimaryButtonStyle());
  save_->setDefault(true);
  row->addWidget(leave_);
  row->addWidget(save_);
  layout->addLayout(row);
  outer->addWidget(box, 0, Qt::AlignHCenter);
  outer->addStretch(1);
  connect(save_, &QPushButton::clicked, this, [save = std::move(save)] { save(); });
  connect(leave_, &QPushButton::clicked, this, [leave = std::move(leave)] { leave(); });
  setMinimumSize(minimumOverlaySize());
}
