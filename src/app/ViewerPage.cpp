// The 3D viewer in the main window.
#include "app/ViewerPage.h"

#include "viewer/model/QVLObjectSceneViewController.h"
#include "viewer/ui/QVLObjectSceneView.h"

namespace qv::app {

std::shared_ptr<ViewerPage> ViewerPage::create(QWidget* parent, TBCoreDataStoreS1& store, qv::Settings& settings,
                                               ViewerHooks hooks) {
  std::shared_ptr<ViewerPage> page(new ViewerPage(std::move(hooks)));
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
