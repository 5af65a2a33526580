// The 3D viewer screen: the header of buttons, the scene, the point count, the layer list, the
// right-hand panel, the busy view, the export popover and the viewer's dialogs. It shows what
// QVLObjectSceneViewController decides and forwards the user's input to it.
#pragma once

#include <QFrame>
#include <QWidget>
#include <atomic>
#include <map>
#include <memory>
#include <string>

#include "core/QVLObjectSceneViewControllerInterface.h"
#include "viewer/model/ObjectSceneDisplay.h"
#include "viewer/model/QVLObjectSceneViewController.h"

class QLabel;
class QListWidget;
class QPushButton;
class QVLBrushStrokeOverlay;
class QVLCleaningPanel;
class QVLSceneRenderer;
class QVLMeshingView;
class QVLSaveMeshView;

class QVLObjectSceneView : public QWidget,
                           public qv::viewer::ObjectSceneDisplay,
                           public QVLObjectSceneViewControllerInterface {
  Q_OBJECT
public:
  explicit QVLObjectSceneView(std::shared_ptr<QVLObjectSceneViewController> controller, QWidget* parent = nullptr);
  ~QVLObjectSceneView() override;

  const std::shared_ptr<QVLObjectSceneViewController>& controller() const { return controller_; }
  QVLSceneRenderer* renderer() const { return renderer_; }
  QWidget* busyView() const { return busyView_; }
  QWidget* exportPopover() const { return exportPopover_; }
  QListWidget* layerTable() const { return layerTable_; }
  QWidget* rightPanel() const { return rightPanel_; }
  QLabel* pointCountLabel() const { return pointCount_; }
  // The meshing sheet and the save-mesh overlay while they are up, else null.
  QVLMeshingView* meshingView() const { return meshingView_; }
  QVLSaveMeshView* saveMeshView() const { return saveMeshView_; }
  // A header or popover button by its name ("home", "open", "export", "layers", "appearance",
  // or an export identifier such as "ply").
  QPushButton* button(const std::string& name) const;

  // What the application core asks of the viewer.
  void loadScan(const qv::ObjectID& scan) override { controller_->loadScan(scan); }
  void resetViewer() override { controller_->resetViewer(); }
  bool canOpenFile() const override { return controller_->canOpenFile(); }
  void enableHeaderUI() override { controller_->enableHeaderUI(); }
  void windowDidResize() override { controller_->windowDidResize(); }
  bool meshNeedsSaving() const override { return controller_->meshNeedsSaving(); }
  void saveAnyUnsavedChanges(std::function<void(bool userCancelled)> completion) override {
    controller_->saveAnyUnsavedChanges(std::move(completion));
  }

  // What the viewer's rules ask of the screen.
  void showBusyView(const std::string& text, std::function<void()> shown) override;
  void dismissBusyView(std::function<void()> dismissed) override;
  void setPointCountLabel(const std::string& text) override;
  void setHeaderButtons(qv::viewer::HeaderButtons buttons) override;
  void setHeaderBlocked(bool blocked) override;
  void setHomeButtonEnabled(bool enabled) override;
  void setBackgroundColour(qv::scene::Colour colour) override;
  void reloadLayerTable() override;
  void showRightPanel(qv::viewer::RightPanel panel) override;
  void showExportPopover(const qv::viewer::ExportChoices& choices) override;
  void closeExportPopover() override;
  bool isExportPopoverShown() const override;
  void setNeedsDisplay() override;
  void setPointRendering(float pointSizePixels, bool smoothing) override;
  void setWindowTitle(const std::string& title) override;
  float viewWidth() const override;
  float viewHeight() const override;
  double backingScale() const override;
  std::optional<qv::scene::Image> sceneImage() override;
  void askToSaveChanges(const std::string& informativeText,
                        std::function<void(qv::viewer::SaveChangesAnswer)> answer) override;
  void askForSavePath(const std::string& proposedPath, const std::string& extension,
                      std::function<void(std::optional<std::string>)> answer) override;
  void askToReplaceFile(const std::string& fileName, std::function<void(bool)> answer) override;
  void showAlert(const std::string& message, const std::string& informativeText,
                 std::function<void()> dismissed) override;
  void showMeshingSheet(const std::shared_ptr<QVLMeshingViewController>& sheet) override;
  void dismissMeshingSheet(std::function<void()> dismissed) override;
  void showSaveMeshView() override;
  void dismissSaveMeshView() override;

  // The Clean panel and the brush.
  QVLCleaningPanel* cleaningPanel() const { return cleaningPanel_; }
  void showCleaningPanels(const qv::viewer::CleaningPanels& panels) override;
  void setCleaningButtons(const qv::viewer::CleaningButtons& buttons) override;
  void cropValuesChanged() override;
  void setBrushCursor(const qv::viewer::BrushCursor& cursor) override;
  void setBrushStroke(const std::vector<qv::viewer::BrushPoint>& points, float radius) override;

protected:
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void buildHeader();
  void buildPanels();
  void buildBusyView();
  void buildExportPopover();
  void layOutOverlays();
  void toggleLayerTable();
  void animateLayerTable(int targetHeight);
  void fade(QWidget* widget, double from, double to, std::function<void()> done);

  std::shared_ptr<QVLObjectSceneViewController> controller_;
  QWidget* header_ = nullptr;
  QWidget* leftVeil_ = nullptr;
  QWidget* rightVeil_ = nullptr;
  QWidget* meshToolbar_ = nullptr;
  QWidget* sceneArea_ = nullptr;
  QVLSceneRenderer* renderer_ = nullptr;
  QLabel* pointCount_ = nullptr;
  QListWidget* layerTable_ = nullptr;
  QWidget* rightPanel_ = nullptr;
  QWidget* appearancePanel_ = nullptr;
  QVLCleaningPanel* cleaningPanel_ = nullptr;
  QVLBrushStrokeOverlay* brushOverlay_ = nullptr;
  QPushButton* colourWell_ = nullptr;
  QWidget* busyView_ = nullptr;
  QLabel* busyText_ = nullptr;
  QFrame* exportPopover_ = nullptr;
  QVLMeshingView* meshingView_ = nullptr;
  QVLSaveMeshView* saveMeshView_ = nullptr;
  std::map<std::string, QPushButton*> buttons_;
  QPoint lastDrag_;
  bool rightDragging_ = false;
  int layerTableHeight_ = 0;
  // The header row's state and the Clean panel's say on its own button (both must let it act).
  qv::viewer::HeaderButtons headerButtons_ = qv::viewer::HeaderButtons::ShownDisabled;
  bool cleanButtonEnabled_ = true;
  // The scene's size as last laid out: read by projections on the point-management queue, which
  // must not ask the widget itself from another thread.
  std::atomic<float> sceneWidth_{0}, sceneHeight_{0};
  std::atomic<double> sceneScale_{1};
};
