// The aligning overlay: its views, their fades, and the panels and alert it opens.
#include "viewer/ui/QVLAligningView.h"

#include <QApplication>
#include <QEvent>
#include <QFileDialog>
#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QVBoxLayout>

#include "viewer/ui/FilePanel.h"
#include "viewer/ui/QVLObjectSceneView.h"
#include "viewer/ui/QVLSceneRenderer.h"

namespace {

constexpr int kFadeMs = 300;
constexpr int kTopBarHeight = 44;

// Square buttons: white on the accent green, and grey on light grey.
const char* kChooseStyle =
    "QPushButton { color: white; background: rgb(17, 217, 127); border: none; padding: 8px 22px; font-weight: bold; }"
    "QPushButton:hover { background: rgb(14, 190, 110); }";
const char* kCancelStyle =
    "QPushButton { color: rgb(110, 110, 110); background: rgb(225, 225, 225); border: none; padding: 8px 22px; }"
    "QPushButton:hover { background: rgb(210, 210, 210); }";

QLabel* messageLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setAlignment(Qt::AlignCenter);
  label->setWordWrap(true);
  label->setStyleSheet("color: rgb(60, 60, 60); font-size: 15px; background: transparent;");
  return label;
}

QWidget* panel(QWidget* parent, const QString& colour) {
  auto* w = new QWidget(parent);
  w->setAttribute(Qt::WA_StyledBackground);
  w->setStyleSheet(QString("background-color: %1;").arg(colour));
  auto* effect = new QGraphicsOpacityEffect(w);
  effect->setOpacity(1.0);  // Qt's default would leave every panel see-through
  w->setGraphicsEffect(effect);
  return w;
}

QString windowBackground() { return QApplication::palette().color(QPalette::Window).name(); }

}  // namespace

QVLAligningView* QVLAligningView::open(QVLObjectSceneView* viewer, QVLAligningViewController::Options options,
                                       const std::function<bool()>& blocked) {
  if (!viewer) return nullptr;
  const auto& controller = viewer->controller();
  if (controller->isApplyingChanges() || (blocked && blocked()) || viewer->findChild<QVLAligningView*>())
    return nullptr;
  viewer->closeExportPopover();
  QPushButton* alignButton = viewer->button("align");
  if (alignButton) alignButton->setEnabled(false);

  if (!options.settings) options.settings = &controller->settings();
  auto* screen = new QVLAligningView(viewer, std::move(options));
  controller->setAligningScreenShown(true);
  screen->show();
  screen->raise();
  QPointer<QPushButton> button = alignButton;
  screen->fadeScreen(true, [button] {
    if (button) button->setEnabled(true);
  });
  return screen;
}

QVLAligningView::QVLAligningView(QVLObjectSceneView* viewer, QVLAligningViewController::Options options)
    : QWidget(viewer), viewer_(viewer), controller_(QVLAligningViewController::create(std::move(options))) {
  setObjectName("aligningView");
  setGeometry(viewer->rect());
  viewer->installEventFilter(this);

  backgroundView_ = panel(this, "rgb(128, 128, 128)");
  setOpacity(backgroundView_, 0.4);
  topBarBackgroundView_ = panel(this, windowBackground());
  setOpacity(topBarBackgroundView_, 0.4);

  messageView_ = panel(this, "white");
  messageView_->setObjectName("messageView");
  auto* message = new QVBoxLayout(messageView_);
  message->setContentsMargins(28, 24, 28, 24);
  message->setSpacing(18);
  message->addWidget(messageLabel(tr("Choose the second scan of this object. It is aligned onto the scan shown here, "
                                     "and both are merged into a new scan."),
                                  messageView_));
  auto* buttons = new QHBoxLayout();
  buttons->addStretch(1);
  cancelButton_ = new QPushButton(tr("Cancel"), messageView_);
  cancelButton_->setStyleSheet(kCancelStyle);
  chooseFileButton_ = new QPushButton(tr("Choose File…"), messageView_);
  chooseFileButton_->setStyleSheet(kChooseStyle);
  for (QPushButton* b : {cancelButton_, chooseFileButton_}) {
    b->setCursor(Qt::PointingHandCursor);
    buttons->addWidget(b);
  }
  buttons->addStretch(1);
  message->addLayout(buttons);
  connect(cancelButton_, &QPushButton::clicked, this, [this] { controller_->cancelButtonPressed(); });
  connect(chooseFileButton_, &QPushButton::clicked, this, [this] { controller_->chooseFileButtonPressed(); });

  waitingView_ = panel(this, windowBackground());
  waitingView_->setObjectName("waitingView");
  auto* waiting = new QVBoxLayout(waitingView_);
  waiting->addStretch(1);
  waiting->addWidget(messageLabel(tr("Aligning and merging the scans…"), waitingView_));
  auto* spinner = new QProgressBar(waitingView_);
  spinner->setRange(0, 0);
  spinner->setTextVisible(false);
  spinner->setFixedWidth(220);
  waiting->addWidget(spinner, 0, Qt::AlignHCenter);
  waiting->addStretch(1);
  setOpacity(waitingView_, 0.0);
  waitingView_->hide();

  savingMessageView_ = panel(this, "white");
  savingMessageView_->setObjectName("savingMessageView");
  auto* saving = new QVBoxLayout(savingMessageView_);
  saving->setContentsMargins(28, 24, 28, 24);
  saving->addWidget(messageLabel(tr("Saving the merged scan…"), savingMessageView_));
  savingMessageView_->hide();

  controller_->setDisplay(this);
  controller_->setDelegate(this);
  controller_->setSourceScanObjectId(viewer->controller()->scanObjectId());
  layOut();
}

QVLAligningView::~QVLAligningView() {
  controller_->setDisplay(nullptr);
  controller_->setDelegate(nullptr);
}

bool QVLAligningView::eventFilter(QObject* watched, QEvent* event) {
  if (watched == viewer_ && event->type() == QEvent::Resize) setGeometry(viewer_->rect());
  return QWidget::eventFilter(watched, event);
}

void QVLAligningView::resizeEvent(QResizeEvent*) { layOut(); }
void QVLAligningView::showEvent(QShowEvent*) { layOut(); }

void QVLAligningView::layOut() {
  backgroundView_->setGeometry(rect());
  waitingView_->setGeometry(rect());
  topBarBackgroundView_->setGeometry(0, 0, width(), kTopBarHeight);
  const int w = std::min(480, width() - 40);
  for (QWidget* box : {messageView_, savingMessageView_}) {
    box->setFixedWidth(w);
    box->setFixedHeight(box->heightForWidth(w) > 0 ? box->heightForWidth(w) : box->sizeHint().height());
    box->move((width() - w) / 2, (height() - box->height()) / 2);
  }
}

void QVLAligningView::setOpacity(QWidget* widget, double opacity) {
  static_cast<QGraphicsOpacityEffect*>(widget->graphicsEffect())->setOpacity(opacity);
}

void QVLAligningView::fade(QWidget* widget, double to, std::function<void()> done) {
  auto* effect = static_cast<QGraphicsOpacityEffect*>(widget->graphicsEffect());
  auto* animation = new QPropertyAnimation(effect, "opacity", widget);
  animation->setDuration(kFadeMs);
  animation->setStartValue(effect->opacity());
  animation->setEndValue(to);
  animation->setEasingCurve(QEasingCurve::InOutQuad);
  connect(animation, &QPropertyAnimation::finished, widget, [done = std::move(done)] {
    if (done) done();
  });
  animation->start(QAbstractAnimation::DeleteWhenStopped);
}

// Each view fades on its own: Qt draws a graphics effect inside another one at the wrong place.
void QVLAligningView::fadeScreen(bool in, std::function<void()> done) {
  const std::pair<QWidget*, double> views[] = {{backgroundView_, 0.4}, {topBarBackgroundView_, 0.4}, {messageView_, 1.0},
                                               {waitingView_, 1.0}, {savingMessageView_, 1.0}};
  bool first = true;
  for (auto [view, resting] : views) {
    if (!view->isVisible()) continue;
    if (in) setOpacity(view, 0.0);
    fade(view, in ? resting : 0.0, first ? std::move(done) : std::function<void()>());
    first = false;
  }
  if (first && done) done();
}

void QVLAligningView::showStage(Stage stage) {
  switch (stage) {
    case Stage::Asking:
      messageView_->show();
      break;
    case Stage::Waiting:
      savingMessageView_->hide();
      messageView_->show();
      backgroundView_->hide();
      waitingView_->show();
      waitingView_->raise();
      setOpacity(waitingView_, 0.0);
      setOpacity(messageView_, 1.0);
      fade(waitingView_, 1.0);
      fade(messageView_, 0.0);
      break;
    case Stage::Offering:
      setOpacity(waitingView_, 1.0);
      fade(waitingView_, 0.0, [this] { waitingView_->hide(); });
      break;
    case Stage::Saving:
      savingMessageView_->show();
      savingMessageView_->raise();
      messageView_->hide();
      backgroundView_->show();
      setOpacity(savingMessageView_, 0.0);
      setOpacity(backgroundView_, 0.4);
      fade(savingMessageView_, 1.0);
      break;
  }
}

void QVLAligningView::askForFileToAlign(const std::string& folder, std::function<void(std::optional<std::string>)> answer) {
  QFileDialog* dialog = qv::viewer::makeFilePanel(this);
  dialog->setDirectory(QString::fromStdString(folder));
  dialog->setFileMode(QFileDialog::ExistingFile);
  dialog->setLabelText(QFileDialog::Accept, tr("Select"));
  dialog->setNameFilter(tr("Scans (*.qvkx *.qvk)"));
  qv::viewer::openFilePanel(dialog, std::move(answer));
}

void QVLAligningView::askForMergedScanPath(const std::string& proposedPath, const std::vector<std::string>& extensions,
                                           std::function<void(std::optional<std::string>)> answer) {
  QFileDialog* dialog = qv::viewer::makeFilePanel(this);
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setLabelText(QFileDialog::Accept, tr("Save Scan"));
  QStringList filters;
  for (const std::string& e : extensions)
    filters << QString("%1 (*.%2)").arg(e == "qvkx" ? tr("Project") : tr("Scan"), QString::fromStdString(e));
  dialog->setNameFilters(filters);
  if (!extensions.empty()) dialog->setDefaultSuffix(QString::fromStdString(extensions.front()));
  qv::viewer::proposeFile(dialog, proposedPath);
  qv::viewer::openFilePanel(dialog, std::move(answer));
}

void QVLAligningView::showAlert(const std::string& message, const std::string& informativeText) {
  // On the viewer, not on this screen: the alert stays while the screen fades out.
  auto* box = new QMessageBox(QMessageBox::Warning, tr("Quorvel"), tr(message.c_str()), QMessageBox::Ok, viewer_);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setInformativeText(tr(informativeText.c_str()));
  box->setWindowModality(Qt::WindowModal);
  box->open();
}

void QVLAligningView::dismissAligningViewController() {
  QPointer<QVLAligningView> self = this;
  QMetaObject::invokeMethod(
      qApp,
      [self] {
        if (!self || self->closing_) return;
        self->closing_ = true;
        if (self->viewer_->renderer()) self->viewer_->renderer()->setFocus();
        self->fadeScreen(false, [self] {
          if (!self) return;
          self->viewer_->controller()->setAligningScreenShown(false);
          self->hide();
          self->deleteLater();
        });
      },
      Qt::QueuedConnection);
}

void QVLAligningView::loadScan(const qv::ObjectID& scanObjectId) {
  QPointer<QVLAligningView> self = this;
  QMetaObject::invokeMethod(
      qApp,
      [self, scanObjectId] {
        if (self) self->viewer_->controller()->loadScan(scanObjectId);
      },
      Qt::QueuedConnection);
}
