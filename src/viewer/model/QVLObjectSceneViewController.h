// The 3D viewer's rules and state: loading a stored scan into display records and a scene,
// cropping and drawing it, turning and zooming it, the layer table, the header and its guards,
// and saving, exporting and the viewer state. No Qt here: the widget shows what this decides.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/Queue.h"
#include "platform/Settings.h"
#include "store/Double3.h"
#include "store/ObjectID.h"
#include "viewer/model/CleaningEdits.h"
#include "viewer/model/DisplayRecords.h"
#include "viewer/model/QVLMeshingViewController.h"
#include "viewer/model/ObjectSceneDisplay.h"
#include "viewer/model/QVLLayerState.h"
#include "viewer/model/SceneModel.h"
#include "viewer/model/SearchCloud.h"
#include "viewer/model/ViewProjection.h"

class QVLFileExporter;
class TBCoreDataStoreS1;

// Modifier keys of mouse and key events.
struct QVLModifiers {
  bool shift = false, control = false, option = false, command = false;
};

class QVLObjectSceneViewController : public std::enable_shared_from_this<QVLObjectSceneViewController>,
                                     public QVLMeshingProtocol {
public:
  // Makes the writer for an extension ("qvkx", "qvk", "xyz", "ply", "pcd", "obj", "stl"), or
  // nothing when there is none.
  using WriterFactory = std::function<std::unique_ptr<QVLFileExporter>(const std::string& extension,
                                                                       const qv::ObjectID& scanObjectId)>;
  struct Options {
    TBCoreDataStoreS1* store = nullptr;  // the default store when null
    qv::Settings* settings = nullptr;    // the user's settings when null
    WriterFactory writers;               // the file formats' writers when empty
    int meshingThreads = 0;              // threads of the surface reconstruction; 0 for every core
  };

  static std::shared_ptr<QVLObjectSceneViewController> create(Options options);
  static std::shared_ptr<QVLObjectSceneViewController> create();
  ~QVLObjectSceneViewController();

  void setDisplay(qv::viewer::ObjectSceneDisplay* display) { display_ = display; }
  void setDelegate(qv::viewer::ObjectSceneDelegate* delegate) { delegate_ = delegate; }

  // ---- Entries of the application delegate ----
  void loadScan(std::optional<qv::ObjectID> scanObjectId);
  void resetViewer();
  bool canOpenFile() const;
  void enableHeaderUI();
  void windowDidResize();
  bool meshNeedsSaving() const { return meshNeedsSaving_; }
  // With unsaved point edits asks "Save Changes"; the completion gets true when the user cancelled.
  // "Save" saves (through a save panel) and completes with false once the scan is saved, or
  // with true when the save was cancelled or failed, so a quit waiting on it never hangs.
  void saveAnyUnsavedChanges(std::function<void(bool cancelled)> completion);

  // ---- Viewer state ----
  void saveViewerState(std::function<void()> completion);
  void resetScene();
  void closeSceneAndReturnHome();

  // ---- Drawing ----
  // Builds or reuses the records and orders, the drawn list, layer counts, home position and
  // nodes; runs on the point-management queue, never on the main thread.
  void renderScanObject();
  void renderCroppedNodes(std::function<void()> completion = {});
  void renderCroppedNodesWithTopYCutoff(float top, float bottom, float radius);
  qv::scene::NodePtr renderPointsForIndices(const qv::scene::IndexBufferPtr& indices);
  qv::scene::NodePtr renderVertices(const qv::SharedData& vertices, const qv::scene::IndexBufferPtr& indices,
                                    std::size_t numberOfIndices, std::optional<qv::scene::Material> material,
                                    int primitiveType, std::shared_ptr<const qv::scene::Image> texture,
                                    std::shared_ptr<const std::vector<double>> textureCoordinates = {});
  qv::scene::NodePtr addCoordinateLinesToNode(const qv::scene::NodePtr& node, double length);

  // ---- Navigation ----
  void setPitchAngle(float pitch);
  float pitchAngle() const { return pitchAngle_; }
  void setYawAngle(float yaw) { yawAngle_ = yaw; }
  float yawAngle() const { return yawAngle_; }
  qv::Double3 cameraPosition() const;
  void setCameraPosition(qv::Double3 position);
  void updateObjectTransform();
  void adjustPixelSize();
  void panTheObject(double dx, double dy);
  void mouseDown(float x, float y);
  // A drag by (dx, dy) points at (x, y) in a view of the display's size.
  void mouseDragged(float x, float y, float dx, float dy, QVLModifiers modifiers);
  void mouseUp(QVLModifiers modifiers);
  void rightMouseDragged(float dx, float dy) { panTheObject(dx, dy); }
  void scrollWheel(double dy);
  // Answers whether the key was taken.
  bool keyDown(const std::string& characters, QVLModifiers modifiers);
  bool keyUp(int keyCode);
  void flagsChanged(QVLModifiers modifiers);
  // Backspace and Delete: the brushed selection is deleted, as the Delete button does.
  void deleteBackward() { deletePointsButtonPressed(); }
  void deleteForward() { deletePointsButtonPressed(); }
  // The renderer drew a frame.
  void didRenderScene();
  // Projects a point of the object node's space on the current view (any thread).
  qv::viewer::ViewPoint projectPointX(float x, float y, float z) const;
  qv::viewer::ViewSnapshot viewSnapshot() const;

  // ---- Header, panels and menus ----
  void homeButtonPressed();
  void openButtonPressed();
  void appearanceButtonPressed();
  void colorWellPressed(qv::scene::Colour colour);
  // The layer list: opens (for two or more visible layers) or closes it, folding the cleaning
  // sub-panels away; the Clean panel itself stays open.
  void pointCloudButtonPressed();
  // Before the aligning screen opens: false when it must not (changes being applied, an open
  // panel up, or the screen already shown); else the cleaning and right panels are closed first.
  bool alignButtonPressed();
  // The height the layer table opens to (rows of the given height), 0 when it stays closed.
  double layerTableTargetHeight(double rowHeight) const;
  void updateButtons();
  void updateWindowTitleForScanObject();
  // Enabled state of a menu item by its tag (0 when it has none) and its command name.
  bool validateMenuItem(int tag, const std::string& action) const;

  // Layer table rows: the layers with visible points, in layer order.
  std::vector<QVLLayerState> layerRows() const;
  std::vector<QVLLayerState> layerStates() const;
  void layerTableDidClickRow(int row);

  // ---- Export and save ----
  qv::viewer::ExportChoices exportChoices() const;
  void exportButtonPressed();
  void exportFileFormatSelected(const std::string& identifier);
  void savePointsForFileType(const std::string& extension, std::function<void(bool saved)> completion = {});
  // Runs on a background queue; the completion (main queue) tells whether the file was written.
  void savePointsToFilePath(const std::string& path, const std::string& originalFilePath, const std::string& extension,
                            std::function<void(bool saved)> completion = {});
  std::unique_ptr<QVLFileExporter> writerForExtension(const std::string& extension) const;
  // Saves the presented mesh ("obj" for meshing types 1 and 2, the first with textures; "stl" for
  // 3) through a save panel; nothing for type 0. The completion tells whether a file was written.
  void saveMesh(std::function<void(bool saved)> completion = {});
  // Asks about each file in turn whether to replace it: `replace` once every answer is Yes,
  // `keep` at the first No (or with no display to ask).
  void askToReplaceEach(std::vector<std::string> files, std::function<void()> replace, std::function<void()> keep);
  int meshingType() const { return meshingType_; }
  void setMeshingType(int type) { meshingType_ = type; }

  // ---- Meshing (the sheet, the meshing road, the mesh in place of the points) ----
  // Opens the meshing sheet for an export format ("textured_obj", "untextured_obj", "stl");
  // nothing while a sheet is shown.
  void showMeshingViewControllerForType(const std::string& identifier);
  void performMeshingWithOctreeDepth(std::int64_t octreeDepth, std::int64_t samplesPerNode,
                                     Completion completion) override;
  void dismissMeshingViewControllerAndSaveMeshedFile(bool save) override;
  // Deletes the scan's meshed file and forgets its path (behind the store's private queue).
  void removeUnsavedMeshedFile();
  // Leaving a shown mesh: from the toolbar's back button an unsaved mesh asks first.
  void backToPointCloudButtonPressed(bool fromBackButton);
  void saveMeshButtonPressed();
  std::shared_ptr<QVLMeshingViewController> meshingViewController() const;
  bool meshPresentsTextures() const { return meshPresentsTextures_; }
  void setMeshPresentsTextures(bool textured) { meshPresentsTextures_ = textured; }
  // The meshing type of an export format identifier.
  static int meshingTypeForIdentifier(const std::string& identifier);
  // The display indices of a meshed blob: each whole triangle's corners reversed, the records of
  // a trailing partial triangle left at 0.
  static std::vector<std::uint32_t> meshIndexList(std::size_t meshedByteLength);

  // ---- Crop values (the setters clamp to their ranges and draw again) ----
  void setYCutOff(float value);
  void setTopYCutOff(float value);
  void setRadiusCutOff(float value);
  float yCutOff() const { return yCutOff_; }
  float topYCutOff() const { return topYCutOff_; }
  float radiusCutOff() const { return radiusCutOff_; }
  float minYValue() const { return minYValue_; }
  float maxYValue() const { return maxYValue_; }
  float maxRadiusValue() const { return maxRadiusValue_; }

  // ---- Cleaning: the Clean panel, the brush, auto-clean, undo and Apply ----
  // (QVLObjectSceneViewControllerCleaning.cpp)
  void cleanButtonPressed();
  void croppingButtonPressed();
  void autoCleanButtonPressed();
  void brushCleaningButtonPressed();
  void autoCleanModelButtonPressed(const std::string& identifier);
  void deletePointsButtonPressed();
  void clearSelectionButtonPressed();
  void resetChangesButtonPressed();
  void cancelChangesButtonPressed();
  void applyChangesPressed();
  void undo();
  void redo();
  // The undo step's name ("Add Points", ...) and whether undo and redo would do anything.
  std::string undoActionName() const;
  bool canUndo() const { return canUndo_; }
  bool canRedo() const { return canRedo_; }
  std::string yCutOffText() const;
  std::string topYCutOffText() const;
  std::string radiusCutOffText() const;
  void setYCutOffText(const std::string& text);
  void setTopYCutOffText(const std::string& text);
  void setRadiusCutOffText(const std::string& text);
  // Marks outliers removed (runs on a background queue; `done` follows on the main queue).
  void autoCleanWithMean(int meanK, double multiplier, std::function<void()> done = {});
  void closeAllCleaningPanels(std::function<void()> completion = {});
  void resetCleaningState();
  qv::viewer::CleaningPanels cleaningPanels() const { return cleaningPanels_; }
  qv::viewer::CleaningButtons cleaningButtons() const { return cleaningButtons_; }
  void updateBrushCursor();
  // Forgets the stroke being painted and takes it off the screen.
  void clearBrushStroke();
  qv::viewer::BrushCursor brushCursor() const { return brushCursor_; }
  std::uint64_t numberOfFilteredVerticesBeforeClean() const { return numberOfFilteredVerticesBeforeClean_; }
  // Point-management queue: projects the octree for the current view (at once when the view has
  // not changed since the last complete pass, unless forced).
  bool projectPoints();
  void projectPointsByForce(bool force, bool* succeeded, bool* removedPoints);
  std::int32_t currentProjectionId() const { return currentProjectionId_; }
  bool projectionIsComplete() const { return projectionIsComplete_; }
  // Point-management queue: marks the stroke's points not yet tested; true when any was new.
  bool removeAllBrushPoints();
  void resolveSelectedPoints();
  void clearManuallySelectedPoints();
  // Main queue: a point of the stroke at (x, y) in the scene view.
  void paintBrushPoint(float x, float y);
  // A finished stroke is still being turned into the selection: true from its mouse-up until the
  // crop pass that draws its selection has ended (or the brush was put away). The selected count
  // is the stroke's own only once this is false.
  bool isBrushSelectionPending() const { return strokesDrawn_ < strokesEnded_; }

  // ---- State (for the widget and tests) ----
  std::optional<qv::ObjectID> scanObjectId() const;
  std::string scanObjectFilePath() const;
  bool isDoneLoading() const { return isDoneLoading_; }
  bool isRendering() const { return isRendering_; }
  bool isSaving() const { return isSaving_; }
  bool isPresentingMeshedObject() const { return isPresentingMeshedObject_; }
  void setPresentingMeshedObject(bool shown) { isPresentingMeshedObject_ = shown; }
  void setMeshNeedsSaving(bool needs) { meshNeedsSaving_ = needs; }
  void setAligningScreenShown(bool shown) { aligningScreenShown_ = shown; }
  bool isApplyingChanges() const { return isApplyingChanges_; }
  // A crop pass is drawing: Apply and new crops are not taken until it ends.
  bool isCropPassRunning() const { return croppingIsDisabled_; }
  bool modelHasSlices() const { return modelHasSlices_; }
  bool modelHasTextures() const { return modelHasTextures_; }
  int brushCleaningState() const { return brushCleaningState_; }
  void setBrushCleaningState(int state) { brushCleaningState_ = state; }
  int brushCleaningAction() const { return brushCleaningAction_; }
  std::uint64_t cleaningBrushSize() const { return cleaningBrushSize_; }
  bool isDragging() const { return isDragging_; }
  qv::viewer::RightPanel rightPanel() const { return rightPanel_; }
  std::uint64_t numberOfFilteredVertices() const { return numberOfFilteredVertices_; }
  std::uint64_t numberOfSelectedVertices() const { return numberOfSelectedVertices_; }
  std::uint64_t numberOfPresentVertices() const { return numberOfPresentVertices_; }
  std::string pointCountLabel() const;
  qv::Double3 objectsNodeHomePosition() const;
  qv::scene::Colour backgroundColour() const;
  float pointSize() const { return pointSize_; }
  const qv::scene::ScenePtr& scene() const { return scene_; }
  qv::scene::NodePtr objectsNode() const;
  qv::scene::NodePtr objectNode() const;
  qv::scene::NodePtr selectedObjectNode() const;
  qv::scene::NodePtr normalRenderObject() const;
  qv::scene::NodePtr cameraNode() const;
  const qv::QueuePtr& pointManagementQueue() const { return pointManagementQueue_; }
  const qv::viewer::SearchCloud& searchCloud() const { return searchCloud_; }
  // Runs on the point-management queue and waits: the only way to look at the records.
  void withRecords(const std::function<void(std::vector<QVLSortableIndexEntry>& records,
                                            const qv::viewer::SortOrders& orders,
                                            const std::vector<std::uint32_t>& vertexIndexData)>& code);

  // The user's settings (the viewer's own, in tests).
  qv::Settings& settings() const;

private:
  explicit QVLObjectSceneViewController(Options options);

  TBCoreDataStoreS1& store() const;
  void loadOnBackgroundQueue(qv::ObjectID id, std::uint64_t load, qv::TimePoint busyShownAt);
  void finishLoading(std::uint64_t load, qv::TimePoint busyShownAt);
  void fitCameraToDrawnPoints();
  void failLoading(std::uint64_t load, const std::string& reason);
  void applyCropRanges(float minY, float maxY, float maxRadiusSquared);
  void replaceObjectNode(const qv::scene::NodePtr& node, bool keepTransform);
  void replaceSelectedNode(const qv::scene::NodePtr& node);
  void buildNormalLines();
  void queueReprojection();
  void closeRightPanel(std::function<void()> completion);
  void writeThumbnail(const std::string& path);
  bool headerActionsBlocked() const;
  qv::scene::VertexBufferPtr vertexBuffer();
  qv::Double3 homePositionOrPrevious(const std::optional<qv::Double3>& home);

  Options options_;
  qv::viewer::ObjectSceneDisplay* display_ = nullptr;
  qv::viewer::ObjectSceneDelegate* delegate_ = nullptr;
  qv::QueuePtr pointManagementQueue_;

  // Identity and loading (main queue; the load reads them under the lock).
  mutable std::mutex stateLock_;
  std::optional<qv::ObjectID> scanObjectId_;
  std::string scanObjectFilePath_;
  std::string pcdFilePath_;
  // Each loadScan call numbers its load; only the newest one may finish, and loads run one at a
  // time on loadQueue_, so two loads never draw into the same scene at once.
  std::atomic<std::uint64_t> loadNumber_{0};
  qv::QueuePtr loadQueue_;
  std::atomic<bool> isDoneLoading_{false}, isRendering_{false}, shouldReturnHome_{false};
  std::atomic<bool> isPresentingMeshedObject_{false}, isApplyingChanges_{false}, isSaving_{false};
  std::atomic<bool> meshNeedsSaving_{false}, modelHasTextures_{false}, modelHasSlices_{false};
  std::atomic<bool> projectionIsComplete_{false}, shouldUpdateCameraDistance_{false}, croppingIsDisabled_{false};
  std::atomic<bool> aligningScreenShown_{false};
  std::atomic<int> meshingType_{0};
  std::atomic<bool> meshPresentsTextures_{false};
  std::shared_ptr<QVLMeshingViewController> meshingViewController_;  // main queue

  // Point data: touched only on the point-management queue (the load runs its record work there).
  qv::SharedData vertexData_;
  qv::scene::VertexBufferPtr vertexBuffer_;
  std::vector<QVLSortableIndexEntry> sortableIndexData_, sortableIndexDataBackup_;
  qv::viewer::SortOrders orders_;
  std::vector<qv::SharedData> vertexReferenceArray_;
  std::vector<std::uint32_t> vertexIndexData_;
  bool neighbourOrderIsPermutation_ = false;
  bool recordsChanged_ = false;
  std::atomic<std::uint64_t> numberOfFilteredVertices_{0}, numberOfSelectedVertices_{0}, numberOfPresentVertices_{0};
  qv::viewer::SearchCloud searchCloud_;
  std::vector<QVLLayerState> layerStates_;  // under stateLock_

  // Scene.
  qv::scene::ScenePtr scene_;
  qv::scene::NodePtr objectsNode_, objectNode_, selectedObjectNode_, normalRenderObject_, cameraNode_;
  qv::Double3 objectsNodeHomePosition_;  // under stateLock_
  qv::scene::Colour backgroundColour_{0.9f, 0.9f, 0.9f, 1};

  // View state (main queue; the load sets it before it draws).
  std::atomic<float> pitchAngle_{0}, yawAngle_{0}, renderedPitchAngle_{0}, renderedYawAngle_{0};
  qv::Double3 cameraPosition_{0, 0, 100};  // under stateLock_
  std::atomic<float> pointSize_{1};
  std::string pointCountLabel_;  // under stateLock_

  // Crop values: written on the main queue, read by the crop driver (a stale read is redone).
  std::atomic<float> yCutOff_{0}, topYCutOff_{0}, radiusCutOff_{0};
  std::atomic<float> minYValue_{0}, maxYValue_{0}, minRadiusValue_{0}, maxRadiusValue_{0};
  bool pushingTop_ = false, pushingBottom_ = false;

  // Cleaning (QVLObjectSceneViewControllerCleaning.cpp).
  void applyOnBackgroundQueue();
  void recordCleaningStep(qv::viewer::CleaningStep step);
  void publishUndoState();
  void showCleaningState();
  void setCleaningPanels(qv::viewer::CleaningPanels panels);
  void projectUntilDone(bool force, bool renderWhenRemoved);
  bool projectionMatchesView();
  void resolveStroke();
  // Point-management queue, after a stroke was resolved: draws the selection, then counts every
  // stroke ended so far as drawn.
  void drawResolvedStrokes();
  void markStrokesDrawn(std::uint64_t ended);
  void clearStaleScreenPositions();
  qv::viewer::CleaningHistory cleaningHistory_;  // point-management queue
  std::vector<qv::viewer::BrushPoint> brushPointsToClean_, brushPointsCleaned_;  // under brushLock_
  mutable std::mutex brushLock_;
  qv::viewer::ViewSnapshot projectedView_;  // point-management queue: the view of the last pass
  std::weak_ptr<const qv::Data> screenPositionsFor_;  // point-management queue
  std::atomic<std::int32_t> currentProjectionId_{0};
  // Strokes ended by a mouse-up (main queue) and, of those, the ones whose selection is drawn.
  std::atomic<std::uint64_t> strokesEnded_{0}, strokesDrawn_{0};
  std::atomic<std::uint64_t> numberOfFilteredVerticesBeforeClean_{0};
  std::atomic<bool> canUndo_{false}, canRedo_{false};
  std::string undoActionName_;  // main queue
  qv::viewer::CleaningPanels cleaningPanels_;    // main queue
  qv::viewer::CleaningButtons cleaningButtons_;  // main queue
  qv::viewer::BrushCursor brushCursor_;          // main queue

  // Brush input and panels.
  std::atomic<int> brushCleaningState_{0}, brushCleaningAction_{2};
  std::atomic<std::uint64_t> cleaningBrushSize_{10};
  bool isDragging_ = false;
  qv::viewer::RightPanel rightPanel_ = qv::viewer::RightPanel::Closed;
};
