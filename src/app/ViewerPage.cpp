// The 3D viewer in the main window.
#include "app/ViewerPage.h"

#include "app/DesktopNotifier.h"
#include "screens/widgets/WaitingView.h"
#include "viewer/model/QVLObjectSceneViewController.h"
#include "viewer/model/UserNotifier.h"
#include "viewer/ui/QVLMeshingView.h"
#include "viewer/ui/QVLObjectSceneView.h"

namespace qv::app {

namespace {

// The end of a meshing is told on the desktop as the end of a calibration is.
class MeshingNotifier final : public qv::viewer::UserNotifier {
public:
  void deliverNotification(const std::string& title, const std::string& text) override { desktop_.notify(title, text); }

private:
  DesktopNotifier desktop_;
};

}  // namespace

std::shared_ptr<ViewerPage> ViewerPage::create(QWidget* parent, TBCoreDataStoreS1& store, qv::Settings& settings,
                                               ViewerHooks hooks) {
  std::shared_ptr<ViewerPage> page(new ViewerPage(std::move(hooks)));
  qv::viewer::setUserNotifier(std::make_shared<MeshingNotifier>());
  QVLMeshingView::setWaitingIndicatorFactory([](QWidget* p) -> QWidget* { return new qv::screens::WaitingView(p); });
  QVLObjectSceneViewController::Options options;
  options.store = &store;
  options.settings = &settings;
  auto controller = QVLObjectSceneViewController::create(std::move(options));
  controller->setDelegate(page.get());
  page->controller_ = controller;
  page->view_ = new QVLObjectSceneView(std::move(controller), parent);
  return page;
}

ViewerPage::~ViewerPage() {
  // The controller may outlive this page in work still queued for it: it must not call back here.
  if (auto controller = controller_.lock()) controller->setDelegate(nullptr);
}

QVLObjectSceneView* ViewerPage::view() const { return view_.data(); }

void ViewerPage::loadScan(const qv::ObjectID& scan) {
  if (view_) view_->loadScan(scan);
}
bool ViewerPage::canOpenFile() const { return view_ && view_->canOpenFile(); }
void ViewerPage::resetViewer() {
  if (view_) view_->resetViewer();
}
void ViewerPage::enableHeaderUI() {
  if (view_) view_->enableHeaderUI();
}
void ViewerPage::windowDidResize() {
  if (view_) view_->windowDidResize();
}
bool ViewerPage::meshNeedsSaving() const { return view_ && view_->meshNeedsSaving(); }

void ViewerPage::saveAnyUnsavedChanges(std::function<void(bool cancelled)> done) {
  // With the viewer gone there is nothing left to save.
  if (!view_) {
    if (done) done(false);
    return;
  }
  view_->saveAnyUnsavedChanges(std::move(done));
}

bool ViewerPage::validateMenuItem(int tag, const std::string& action) const {
  return view_ && view_->controller()->validateMenuItem(tag, action);
}

void ViewerPage::performEditAction(const std::string& action) {
  if (!view_) return;
  if (action == "undo:") view_->controller()->undo();
  if (action == "redo:") view_->controller()->redo();
}

std::string ViewerPage::undoActionName() const {
  return view_ && view_->controller()->canUndo() ? view_->controller()->undoActionName() : std::string();
}

bool ViewerPage::resetApplicationStateForObjectSceneViewController() {
  return hooks_.isOpenPanelShown && hooks_.isOpenPanelShown();
}
void ViewerPage::openExistingScanForObjectSceneViewController() {
  if (hooks_.openExistingScan) hooks_.openExistingScan();
}
void ViewerPage::showHudScreenForObjectSceneViewController() {
  if (hooks_.showHudScreen) hooks_.showHudScreen();
}

}  // namespace qv::app
