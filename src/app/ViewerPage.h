// The 3D viewer in the main window: its widget, its controller, and the one object through which
// the screen switching and the application core drive it. The viewer asks the shell for the
// open panel's state, the open flow and the main screen through the hooks.
#pragma once

#include <QPointer>
#include <functional>
#include <memory>
#include <string>

#include "core/QVLObjectSceneViewControllerInterface.h"
#include "screens/ScreenInterfaces.h"
#include "viewer/model/ObjectSceneDisplay.h"

class QVLObjectSceneView;
class QVLObjectSceneViewController;
class QWidget;
class TBCoreDataStoreS1;

namespace qv {
class Settings;
}

namespace qv::app {

struct ViewerHooks {
  std::function<bool()> isOpenPanelShown;
  std::function<void()> openExistingScan;
  std::function<void()> showHudScreen;
};

class ViewerPage final : public qv::screens::ViewerScreen,
                         public QVLObjectSceneViewControllerInterface,
                         private qv::viewer::ObjectSceneDelegate {
public:
  // The widget is made as a child of `parent`, which owns it; the page only watches it, so a
  // call after the window is gone does nothing.
  static std::shared_ptr<ViewerPage> create(QWidget* parent, TBCoreDataStoreS1& store, qv::Settings& settings,
                                            ViewerHooks hooks);
  ~ViewerPage() override;
  ViewerPage(const ViewerPage&) = delete;
  ViewerPage& operator=(const ViewerPage&) = delete;

  // The viewer's widget (null once the window has deleted it).
  QVLObjectSceneView* view() const;

  // ViewerScreen and the core's viewer interface alike.
  void loadScan(const qv::ObjectID& scan) override;
  bool canOpenFile() const override;
  void resetViewer() override;
  void enableHeaderUI() override;
  void windowDidResize() override;
  bool meshNeedsSaving() const override;
  void saveAnyUnsavedChanges(std::function<void(bool cancelled)> done) override;
  bool validateMenuItem(int tag, const std::string& action) const override;
  void performEditAction(const std::string& action) override;
  std::string undoActionName() const override;

private:
  explicit ViewerPage(ViewerHooks hooks) : hooks_(std::move(hooks)) {}

  bool resetApplicationStateForObjectSceneViewController() override;
  void openExistingScanForObjectSceneViewController() override;
  void showHudScreenForObjectSceneViewController() override;

  ViewerHooks hooks_;
  QPointer<QVLObjectSceneView> view_;
  std::weak_ptr<QVLObjectSceneViewController> controller_;
};

}  // namespace qv::app
